#pragma once
// An in-process stand-in for the frame-grabber library: a FalconApi table whose functions
// record every call ("is_SetImagePos 64 48") and fail on request, so tests can drive the board
// driver and the analog channel through every failure without loading anything.
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/FalconLib.h"

namespace falconfake {

struct State {
  std::mutex lock;
  std::vector<std::string> calls;
  std::set<std::string> failing;  // names of calls that fail ("is_SetScaler")
  int boards = 1;
  int width = 0, height = 0;      // of the last is_AllocImageMem
  bool noise = false;             // CopyImageMem: random bytes instead of a flat grey
  bool holdFreeze = false;        // FreezeVideo does not return until released
  std::condition_variable released;
  uint32_t seed = 1;
};

inline State& state() {
  static State s;
  return s;
}

inline void reset() {
  State& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.calls.clear();
  s.failing.clear();
  s.boards = 1;
  s.noise = false;
  s.holdFreeze = false;
  s.released.notify_all();
}

inline void setFailing(const std::string& name, bool on) {
  std::lock_guard<std::mutex> g(state().lock);
  if (on)
    state().failing.insert(name);
  else
    state().failing.erase(name);
}

// A capture that does not return (on) until it is released (off).
inline void holdFreeze(bool on) {
  std::lock_guard<std::mutex> g(state().lock);
  state().holdFreeze = on;
  state().released.notify_all();
}

inline std::vector<std::string> calls() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().calls;
}

// The recorded calls that start with prefix.
inline std::vector<std::string> callsOf(const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& c : calls())
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  return out;
}

inline int record(const std::string& name, const std::string& args = "") {
  std::lock_guard<std::mutex> g(state().lock);
  state().calls.push_back(args.empty() ? name : name + " " + args);
  return state().failing.count(name) ? 7 : 0;
}

inline std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

inline const FalconApi& api() {
  static const FalconApi table = {
      [](FALCON_BOARD, int m) { return record("is_SetErrorReport", num(m)); },
      []() {
        record("is_GetNumberOfDevices");
        return state().boards;
      },
      [](FALCON_BOARD* b, void*) {
        static unsigned next = 1;
        const int rc = record("is_InitBoard");
        if (rc == 0) *b = next++;
        return rc;
      },
      [](FALCON_BOARD, void* info) {
        std::memset(info, 0, FALCON_BOARDINFO_SIZE);
        return 0;
      },
      [](FALCON_BOARD, int* code, char** text) {
        static char msg[] = "fake failure";
        *code = 7;
        *text = msg;
        return 0;
      },
      [](FALCON_BOARD, int m) { return record("is_SetColorMode", num(m)); },
      [](FALCON_BOARD, int m) { return record("is_SetDisplayMode", num(m)); },
      [](FALCON_BOARD, int m) { return record("is_SetVideoMode", num(m)); },
      [](FALCON_BOARD, int m) { return record("is_SetCaptureMode", num(m)); },
      [](FALCON_BOARD, char* mem, int) {
        delete[] mem;
        return record("is_FreeImageMem");
      },
      [](FALCON_BOARD, int w, int h, int bits, char** mem, int* id) {
        const int rc = record("is_AllocImageMem", num(w) + " " + num(h) + " " + num(bits));
        if (rc == 0) {
          *mem = new char[size_t(w) * h * 4];
          *id = 1;
          std::lock_guard<std::mutex> g(state().lock);
          state().width = w;
          state().height = h;
        }
        return rc;
      },
      [](FALCON_BOARD, char*, int) { return record("is_SetImageMem"); },
      [](FALCON_BOARD, int x, int y) { return record("is_SetImagePos", num(x) + " " + num(y)); },
      [](FALCON_BOARD, int w, int h) { return record("is_SetImageSize", num(w) + " " + num(h)); },
      [](FALCON_BOARD, float x, float y) { return record("is_SetScaler", num(x) + " " + num(y)); },
      [](FALCON_BOARD, int i) { return record("is_SetVideoInput", num(i)); },
      [](FALCON_BOARD, int w) {
        const int rc = record("is_FreezeVideo", num(w));
        std::unique_lock<std::mutex> g(state().lock);
        state().released.wait(g, [] { return !state().holdFreeze; });
        return rc;
      },
      [](FALCON_BOARD, char*, int, char* dest) {
        const int rc = record("is_CopyImageMem");
        if (rc != 0) return rc;
        std::lock_guard<std::mutex> g(state().lock);
        const size_t n = size_t(state().width) * state().height * 4;
        if (state().noise) {
          // Random colours in 2 x 2 squares: what survives the channel's smoothing.
          std::mt19937 gen(state().seed++);
          const int w = state().width, h = state().height;
          for (int y = 0; y < h; y += 2)
            for (int x = 0; x < w; x += 2) {
              const uint32_t v = gen();
              for (int dy = 0; dy < 2 && y + dy < h; ++dy)
                for (int dx = 0; dx < 2 && x + dx < w; ++dx)
                  std::memcpy(dest + (size_t(y + dy) * w + x + dx) * 4, &v, 4);
            }
        } else {
          std::memset(dest, 0x80, n);
        }
        return 0;
      },
      [](FALCON_BOARD, int, unsigned long) { return 0; },
      [](FALCON_BOARD) { return record("is_ExitBoard"); },
  };
  return table;
}

}  // namespace falconfake
