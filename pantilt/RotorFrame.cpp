#include "pantilt/RotorFrame.h"

#include <cstring>

#include "pantilt/CRotor.h"
#include "platform/ByteOrder.h"

namespace {
constexpr uint8_t kMagic[RotorFrameMatcher::kMagicSize] = {'T', 'l', 'R', 0};
// Body offsets (the frame's offsets minus the magic).
constexpr size_t kCodeAt = 4, kFirstAt = 8, kSecondAt = 12;
}  // namespace

bool RotorFrameMatcher::feed(uint8_t byte, RotorCommand* out) {
  if (m_state < kMagicSize) {
    // A byte that breaks the magic is dropped, not re-examined as a first magic byte.
    m_state = byte == kMagic[m_state] ? m_state + 1 : 0;
    m_bodyLen = 0;
    return false;
  }
  m_body[m_bodyLen++] = byte;
  if (m_bodyLen < kBodySize) return false;
  out->code = getLE32(m_body + kCodeAt);
  out->first = static_cast<int32_t>(getLE32(m_body + kFirstAt));
  out->second = static_cast<int32_t>(getLE32(m_body + kSecondAt));
  reset();
  return true;
}

void encodeRotorFrame(const RotorCommand& cmd, uint8_t out[RotorFrameMatcher::kFrameSize]) {
  std::memset(out, 0, RotorFrameMatcher::kFrameSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  uint8_t* body = out + RotorFrameMatcher::kMagicSize;
  putLE32(body + kCodeAt, cmd.code);
  putLE32(body + kFirstAt, static_cast<uint32_t>(cmd.first));
  putLE32(body + kSecondAt, static_cast<uint32_t>(cmd.second));
}

void executeRotorCommand(CRotor& rotor, const RotorCommand& cmd) {
  switch (cmd.code) {
    case kCmdMove: rotor.move(cmd.first, cmd.second); break;
    case kCmdFocus: rotor.focus(cmd.first); break;
    case kCmdZoom: rotor.zoom(cmd.first); break;
    case kCmdIris: rotor.iris(cmd.first); break;
    case kCmdSetPreset: rotor.set_preset(cmd.first); break;
    case kCmdGotoPreset: rotor.goto_preset(cmd.first); break;
    case kCmdVariableDrive: rotor.variable_drive(cmd.first); break;
    case kCmdStopAll: rotor.stop_all(); break;
    default: break;  // 7 and unknown codes: nothing
  }
}
