#pragma once
// Speed arithmetic shared by the pan/tilt drivers: magnitudes of signed speeds, the 0..31 speed
// step and the threshold tables that map a step to a head's speed code. Pure functions.
#include <cstddef>
#include <cstdint>

namespace rotor {

// Magnitude of a negative speed as its bitwise complement (-v - 1): full scale either way is
// 2^31 - 1.
inline uint32_t complementMagnitude(int32_t v) {
  return v < 0 ? ~static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
}
// Magnitude of a negative speed as -v (the most negative value gives 2^31).
inline uint32_t negatedMagnitude(int32_t v) {
  return v < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(v)) : static_cast<uint32_t>(v);
}
// Speed step 0..31 (32 only for a negated most negative value).
inline uint32_t speedStep(uint32_t magnitude) { return magnitude >> 26; }

// Index of the first threshold greater than step; the last index when none is.
template <size_t N>
uint8_t thresholdIndex(const uint8_t (&thresholds)[N], uint32_t step) {
  for (size_t i = 0; i < N; ++i)
    if (thresholds[i] > step) return static_cast<uint8_t>(i);
  return static_cast<uint8_t>(N - 1);
}

// Pan/tilt thresholds shared by the AutoDome and SpeedDome drivers.
inline constexpr uint8_t kPanTiltThresholds[16] = {3,  7,  11, 14, 17, 19, 21, 23,
                                                   24, 25, 26, 27, 28, 29, 30, 33};
// AutoDome zoom thresholds.
inline constexpr uint8_t kAutoDomeZoomThresholds[8] = {3, 6, 9, 11, 13, 15, 17, 99};

// The drives a controller that thinks in fractions of full speed (the ONVIF service) steers.
enum class RotorDrive { PanTilt, Zoom };
// The signed speed that makes a driver of the given type (RotorType) run a drive at the head
// speed nearest to fraction (-1 .. 1) of its fastest: the fraction is spread evenly over the
// speeds the head's protocol can express, 0 stays 0 (stop), and any other fraction gives at
// least the slowest speed that moves the head. The value is built so that either way a driver
// takes the magnitude of a negative speed (complement or negation) gives the same step.
int32_t speedForFraction(int typeCode, RotorDrive drive, double fraction);
// The presets a head of the type keeps, numbered 1 to this count (0 for a type without driver).
int presetCount(int typeCode);

}  // namespace rotor
