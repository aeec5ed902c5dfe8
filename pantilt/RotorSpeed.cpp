#include "pantilt/RotorSpeed.h"

#include <cmath>

#include "pantilt/CRotor.h"

namespace rotor {

namespace {

// A magnitude whose speed bits (from `shift` up) hold `step`, with the bit below them set:
// complementing or negating it then leaves those bits alone.
uint32_t magnitudeOf(uint32_t step, unsigned shift) { return (step << shift) | (1u << (shift - 1)); }

// 1 .. count for a fraction above 0 (count speeds spread over (0, 1]).
uint32_t nthOf(double fraction, uint32_t count) {
  const double n = std::ceil(fraction * count);
  return n < 1 ? 1 : n > count ? count : static_cast<uint32_t>(n);
}

// The lowest speed step that a threshold table turns into code index `code`.
template <size_t N>
uint32_t firstStepOf(const uint8_t (&thresholds)[N], uint32_t code) {
  return code == 0 ? 0 : thresholds[code - 1];
}

uint32_t magnitudeFor(int type, RotorDrive drive, double f) {
  switch (type) {
    case kRotorPelcoD:
    case kRotorPelcoP:
      // Pan and tilt: speed bytes 1 .. 3F from bits 23 up; zoom: the 0 .. 3 of the zoom speed
      // command from bits 26 up.
      return drive == RotorDrive::PanTilt ? magnitudeOf(nthOf(f, 0x3F), 23)
                                          : magnitudeOf(nthOf(f, 4) - 1, 26);
    case kRotorAutoDome:
      // Codes 0 .. 15 (pan/tilt) and 0 .. 7 (zoom) through the threshold tables of the 0 .. 31
      // step; with a direction bit even code 0 moves.
      return drive == RotorDrive::PanTilt
                 ? magnitudeOf(firstStepOf(kPanTiltThresholds, nthOf(f, 16) - 1), 26)
                 : magnitudeOf(firstStepOf(kAutoDomeZoomThresholds, nthOf(f, 8) - 1), 26);
    case kRotorSpeedDome:
      // Pan/tilt codes 1 .. 15 (code 0 is speed 0); zoom commands carry no speed.
      return drive == RotorDrive::PanTilt ? magnitudeOf(firstStepOf(kPanTiltThresholds, nthOf(f, 15)), 26)
                                          : magnitudeOf(31, 26);
    default:
      return 0;
  }
}

}  // namespace

int32_t speedForFraction(int typeCode, RotorDrive drive, double fraction) {
  if (!(fraction == fraction) || fraction == 0) return 0;  // NaN and 0: stop
  const double f = std::fabs(fraction) > 1 ? 1 : std::fabs(fraction);
  const uint32_t m = magnitudeFor(typeCode, drive, f);
  if (m == 0) return 0;
  return fraction > 0 ? static_cast<int32_t>(m) : static_cast<int32_t>(~m);
}

int presetCount(int typeCode) {
  switch (typeCode) {
    case kRotorPelcoD:
    case kRotorPelcoP:
      return 32;  // above 32 most Pelco heads reserve numbers for special functions
    case kRotorAutoDome:
      return 99;
    case kRotorSpeedDome:
      return 95;
    default:
      return 0;
  }
}

}  // namespace rotor
