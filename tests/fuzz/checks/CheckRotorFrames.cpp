// The pan/tilt command-frame reader with a driver that records its calls. Input: a byte of
// reset positions (a body dropped by its time-out), then the stream. Only whole frames execute:
// each executed command is exactly the 24 bytes that ended where it completed, entirely after
// the previous frame and after any reset; each frame makes at most one driver call, whose
// arguments come from that frame; a frame built by the encoder reads back unchanged.
#include <cstring>
#include <vector>

#include "pantilt/CRotor.h"
#include "pantilt/RotorFrame.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {
namespace {

struct Call {
  int op;
  int32_t a, b;
};

class RecordingRotor : public CRotor {
 public:
  std::vector<Call> calls;
  bool init(int, int, int) override { return true; }
  bool move(int32_t pan, int32_t tilt) override { return add(1, pan, tilt); }
  bool focus(int32_t s) override { return add(2, s); }
  bool zoom(int32_t s) override { return add(3, s); }
  bool iris(int32_t s) override { return add(4, s); }
  bool set_preset(int32_t n) override { return add(5, n); }
  bool goto_preset(int32_t n) override { return add(6, n); }
  bool variable_drive(int32_t s) override { return add(8, s); }
  bool stop_all() override { return add(9, 0); }

 private:
  bool add(int op, int32_t a, int32_t b = 0) {
    calls.push_back({op, a, b});
    return true;
  }
};

int32_t le32(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

}  // namespace

std::string rotorFrames(const uint8_t* data, size_t size) {
  if (size < 1) return "";
  const unsigned resetEvery = data[0];  // 0: never
  const uint8_t* s = data + 1;
  const size_t n = size - 1;

  RotorFrameMatcher matcher;
  RecordingRotor rotor;
  size_t lastEnd = 0;  // stream position after the last frame or reset
  for (size_t i = 0; i < n; ++i) {
    if (resetEvery && i % (resetEvery * 4) == resetEvery * 4 - 1 && matcher.inBody()) {
      matcher.reset();
      lastEnd = i;
    }
    RotorCommand cmd;
    if (!matcher.feed(s[i], &cmd)) continue;
    const size_t end = i + 1;
    if (end < lastEnd + RotorFrameMatcher::kFrameSize) return "a frame overlaps an earlier frame or a reset";
    const uint8_t* f = s + end - RotorFrameMatcher::kFrameSize;
    if (std::memcmp(f, "TlR\0", 4) != 0) return "a frame executed without its magic";
    if (cmd.code != uint32_t(le32(f + 8)) || cmd.first != le32(f + 12) || cmd.second != le32(f + 16))
      return "executed command differs from the frame's bytes";
    const size_t before = rotor.calls.size();
    executeRotorCommand(rotor, cmd);
    if (rotor.calls.size() > before + 1) return "one frame made several driver calls";
    if (rotor.calls.size() == before + 1) {
      const Call& c = rotor.calls.back();
      if (c.op != int(cmd.code)) return "driver call does not match the command code";
      if (c.op != 9 && c.a != cmd.first) return "driver call lost the first argument";
      if (c.op == 1 && c.b != cmd.second) return "move lost the second argument";
    } else if (cmd.code >= 1 && cmd.code <= 9 && cmd.code != kCmdNothing) {
      return "a known command made no driver call";
    }
    lastEnd = end;
  }

  // The client side's encoder and the reader agree, whatever the reader was in the middle of.
  if (n >= 12) {
    RotorCommand want;
    want.code = uint32_t(le32(s));
    want.first = le32(s + 4);
    want.second = le32(s + 8);
    uint8_t frame[RotorFrameMatcher::kFrameSize];
    encodeRotorFrame(want, frame);
    matcher.reset();
    RotorCommand got;
    bool done = false;
    for (size_t i = 0; i < sizeof frame; ++i) done = matcher.feed(frame[i], &got);
    if (!done || got.code != want.code || got.first != want.first || got.second != want.second)
      return "encoded frame does not read back";
  }
  return "";
}

}  // namespace fuzzcheck
