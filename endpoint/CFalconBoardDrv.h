#pragma once
// One frame-grabber board: its handle, the board-wide capture settings (video standard, image
// size, clip or scale) and its capture memory. Several analog channels (one per video input)
// share a board and take turns through its lock: a reconfiguration and every grab (input
// switch, freeze, copy) happen under it.
//
// The board calls the driver library only through the FalconApi table it is given, so tests can
// hand it the simulator's functions or a table with one entry replaced by a failing fake.
//
// Ownership: the board owns its handle and capture memory (released by the destructor with
// is_FreeImageMem and is_ExitBoard). The api table must outlive the board; every channel of the
// board must be destroyed before the board.
//
// A capture (is_FreezeVideo) is asked to wait a few frame periods at most, and runs on the
// board's capture thread (CFalconCaller): when the library does not come back in time, the
// board counts as stalled. It is then not called again until that capture has returned: its
// grabs and reconfigurations fail at once (the stall is logged once), and the destructor
// leaves the board and the library to it.
//
// Threads: any member may be called from any thread (channel threads, the configuration server,
// "/control/control" connection threads); each takes the board lock, which a grab holds for
// its captures' waits and margins at most (a few seconds). stalled() takes no lock. Construction and destruction belong to
// the start-up and shutdown on the GUI thread.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "endpoint/CFalconCaller.h"
#include "platform/FalconLib.h"

class CFalconBoardDrv {
 public:
  // The video inputs that get a channel (input 2 is never used).
  static constexpr int kInputs[4] = {0, 1, 3, 4};
  static constexpr unsigned kSettleMs = 50;  // after switching the input
  // A capture waits at most this many frame periods for its image: a camera without signal
  // costs a grab of its input this long, not the board for good.
  static constexpr unsigned kCaptureFrames = 4;
  // A capture that has not returned this long after its wait ended is stuck in the library.
  static constexpr unsigned kStallMarginMs = 1000;

  // The board-wide capture format as it was last applied by reconf().
  struct Format {
    int videoStd = 3;       // 0 PAL, 1 NTSC, 2 SECAM, 3 none yet
    int captureMode = 4;    // 4 full frames, 2 one field (every second line)
    int imageSize = 0;      // code of the image size table: 1, 4, 5 or 8
    bool clip = false;
    int width = 0, height = 0;          // captured image size
    int fullWidth = 0, fullHeight = 0;  // the standard's full frame
    uint32_t generation = 0;            // counts successful reconfigurations
  };

  // handle comes from is_InitBoard; number is used in the settings section names of the board's
  // channels (start-up passes the handle; tests pick their own).
  CFalconBoardDrv(const FalconApi& api, FALCON_BOARD handle, int number);
  ~CFalconBoardDrv();
  CFalconBoardDrv(const CFalconBoardDrv&) = delete;
  CFalconBoardDrv& operator=(const CFalconBoardDrv&) = delete;

  // Prepares the board's colour and display mode and reads the board settings
  // ("CnlVideoStandard", "ImageSize", "ImageClipScale") from the given settings section; a
  // changed value raises the reconfigure flag. False (logged) on a failing call or an invalid
  // setting; the previous settings then stay.
  bool init(const std::string& section);
  // Applies the settings to the board when the reconfigure flag is set; true at once otherwise.
  // False (logged with the library's error text) when a call fails; the flag then stays set.
  bool reconf();
  // Grabs one image of the given input into dest (at least width x height x 4 bytes of the
  // current format): switches the input if needed, freezes one image and copies it. timeNs
  // receives the grab time; generation the format generation the image was taken with.
  // False at once while the board is stalled.
  bool grab(int input, uint8_t* dest, uint64_t* timeNs, uint32_t* generation);
  // True while a capture that did not return in time is still inside the library.
  bool stalled() const { return m_caller.busy(); }

  // Channels count themselves in and out (constructor and destructor), so the shutdown can
  // tell when the board is no longer used.
  void attachChannel() { ++m_channels; }
  void detachChannel() { --m_channels; }
  int channelCount() const { return m_channels.load(); }

  Format format() const;
  bool reconfPending() const;
  // "IDS Falcon Quattro drv " followed by the handle: the source of the board's log lines.
  std::string name() const;
  int number() const { return m_number; }
  FALCON_BOARD handle() const { return m_handle; }
  // The settings section of one input's channel: "Channel 0 <board> <input>".
  std::string sectionOf(int input) const;
  // Writes one board setting into the sections of every input of this board, so that the
  // board's channels never disagree.
  void storeBoardSetting(const std::string& key, const std::string& value) const;
  // Brings the board settings of all input sections in line before the first init: for each
  // key, the value of the first input (in the order of kInputs) that has one goes to all.
  // A settings file written by hand may carry a key in one section only.
  void harmoniseSettings() const;

 private:
  bool selectInputLocked(int input);
  // One capture within the wait (in 10 ms units, as is_FreezeVideo takes it); false on an
  // error or when the board is stalled. stalledLocked() notes a stall's end.
  bool captureLocked();
  int captureWaitLocked() const;
  bool stalledLocked();
  bool failed(const char* call, const char* function);  // logs "<call>() failed. <text>"
  std::string logSource() const;

  const FalconApi& m_api;
  const FALCON_BOARD m_handle;
  const int m_number;
  unsigned char m_info[FALCON_BOARDINFO_SIZE] = {};
  std::atomic<int> m_channels{0};
  CFalconCaller m_caller;  // thread-safe on its own

  mutable std::mutex m_lock;  // the board lock
  // State below is guarded by m_lock.
  int m_input = -1;
  bool m_reconf = false;
  bool m_ready = false;   // the last reconfiguration went through completely
  char* m_mem = nullptr;
  int m_memId = 0;
  bool m_stallLogged = false;
  Format m_fmt;           // as applied by the last successful reconf
  int m_videoStd = 3;     // as read by init
  int m_imageSize = 0;
  bool m_clip = false;
};
