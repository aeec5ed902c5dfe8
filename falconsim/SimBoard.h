#pragma once
// One simulated frame-grabber board: its settings, image memories and the capture itself.
//
// Thread use: every method except handle() and lock() must be called with lock() held; the
// library's entry points do that, so different boards run concurrently and one board's calls
// are serialised even when the caller forgets to. Failing methods record their error (code and
// text) as the board's last error and return the code; successful ones return 0.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "falconsim/CaptureWindow.h"
#include "falconsim/HangRules.h"
#include "falconsim/InputFaults.h"

namespace falconsim {

class SimBoard {
 public:
  SimBoard(unsigned handle, int inputs);
  SimBoard(const SimBoard&) = delete;
  SimBoard& operator=(const SimBoard&) = delete;

  unsigned handle() const { return m_handle; }
  std::mutex& lock() { return m_lock; }

  int fail(int code, const std::string& text);
  int lastErrorCode() const { return m_errorCode; }
  const std::string& lastErrorText() const { return m_errorText; }

  int getBoardInfo(void* info);
  int setColorMode(int mode);
  int setDisplayMode(int mode);
  int setVideoMode(int standard);
  int setCaptureMode(int mode);
  int allocImageMem(int width, int height, int bits, char** mem, int* id);
  int freeImageMem(char* mem, int id);
  int setImageMem(char* mem, int id);
  int setImagePos(int x, int y);
  int setImageSize(int width, int height);
  int setScaler(float xFactor, float yFactor);
  int setVideoInput(int input);
  // wait FALCON_WAIT: sleeps until the next frame boundary of the standard on the monotonic
  // clock, then captures; 0: captures the current frame at once; a bounded wait (10 ms units)
  // as FALCON_WAIT, failing when the boundary lies beyond it. hang: how the current input's
  // capture hangs (HangRules.h); a hanging capture keeps the board's lock. fault: what is
  // wrong with the input's picture (InputFaults.h).
  int freezeVideo(int wait, Hang hang = Hang::None, Fault fault = Fault::None);
  int input() const { return m_input; }
  int copyImageMem(char* mem, int id, char* dest);
  int boardStatus(int what, unsigned long arg);

  int fullWidth() const;
  int fullHeight() const;
  uint64_t framePeriodNs() const;

 private:
  struct Memory {
    int id;
    int width, height;
    std::unique_ptr<char[]> data;
  };
  Memory* findMemory(char* mem, int id);

  const unsigned m_handle;
  const int m_inputs;
  std::mutex m_lock;
  // State below is protected by m_lock.
  int m_errorCode = 0;
  std::string m_errorText = "no error";
  int m_standard = 0;  // PAL
  int m_input = 0;
  CaptureWindow m_window;
  std::vector<Memory> m_memories;
  int m_nextId = 1;
  int m_activeId = 0;  // 0: no image memory set
  uint64_t m_openNs;
  std::vector<uint32_t> m_frame;  // full-frame drawing, reused
};

}  // namespace falconsim
