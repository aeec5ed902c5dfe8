#pragma once
// The pan/tilt command frame a viewer sends after the "/control/rotorcgi" response head
// (little-endian): magic "TlR\0", 4 ignored bytes, command code, first argument, second
// argument, 4 ignored bytes; 24 bytes in all.
//
// RotorFrameMatcher is the byte-wise reader, a pure state machine fed one byte at a time: four
// states look for the magic (a byte that does not continue it returns to the first state and
// is not looked at again), then the 20-byte body is collected. The reader that feeds it drops
// a body still incomplete after kBodyTimeoutMs with reset().
#include <cstddef>
#include <cstdint>

class CRotor;

struct RotorCommand {
  uint32_t code = 0;
  int32_t first = 0;
  int32_t second = 0;
};

// Command codes.
enum RotorCode : uint32_t {
  kCmdMove = 1, kCmdFocus = 2, kCmdZoom = 3, kCmdIris = 4, kCmdSetPreset = 5, kCmdGotoPreset = 6,
  kCmdNothing = 7, kCmdVariableDrive = 8, kCmdStopAll = 9
};

class RotorFrameMatcher {
 public:
  static constexpr size_t kMagicSize = 4;
  static constexpr size_t kBodySize = 20;
  static constexpr size_t kFrameSize = kMagicSize + kBodySize;
  static constexpr int kBodyTimeoutMs = 1000;

  // Feeds one byte; true when it completed a frame, which is then in *out.
  bool feed(uint8_t byte, RotorCommand* out);
  // Back to looking for the magic; a partial body is dropped.
  void reset() { m_state = 0; m_bodyLen = 0; }
  // True while a body is being collected (the magic was seen).
  bool inBody() const { return m_state == kMagicSize; }

 private:
  size_t m_state = 0;  // magic bytes matched so far (4: collecting the body)
  size_t m_bodyLen = 0;
  uint8_t m_body[kBodySize] = {};
};

// Builds a frame for a command (the client side: ptzctl, tests, benchmarks).
void encodeRotorFrame(const RotorCommand& cmd, uint8_t out[RotorFrameMatcher::kFrameSize]);

// Calls the driver operation a command stands for; unknown codes and code 7 do nothing.
void executeRotorCommand(CRotor& rotor, const RotorCommand& cmd);
