#pragma once
// The picture a channel publishes in place of a source without usable pictures (when the System
// setting "NoSignalPicture" is on): a dark screen with the channel's name, "NO SIGNAL" in large
// letters and the local time, so viewers keep their stream and see the outage and its time.
//
// One object per channel, used by one thread at a time (the signal watch).
#include <cstdint>
#include <string>
#include <vector>

#include "channels/CJpegEncoder.h"

// Draws the picture into width x height BGRX pixels.
void drawNoSignalPicture(uint8_t* bgrx, int width, int height, const std::string& name,
                         uint64_t timeNs);

class NoSignalPicture {
 public:
  static constexpr int kWidth = 640, kHeight = 480;
  static constexpr int kQuality = 50;

  // Encodes the picture for the name and the time into jpeg; false when the encoder fails.
  bool make(const std::string& name, uint64_t timeNs, std::vector<uint8_t>& jpeg,
            uint32_t* sequence);

 private:
  CJpegEncoder m_encoder;
  bool m_ready = false;
  std::string m_name;  // the name the encoder's comment text carries
  std::vector<uint8_t> m_pixels;
};
