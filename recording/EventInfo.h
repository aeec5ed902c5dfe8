#pragma once
// INFO.jpg, the small information file of one event: a JPEG stream without an image whose
// only segment is a comment with the event's counts and times. Pure; any thread may call.
#include <cstdint>
#include <string>
#include <vector>

namespace eventinfo {

struct Info {
  uint32_t sequenceFiles = 0;  // CNT: sequence files begun and finished (0..6)
  uint32_t firstFrame = 0;     // FFR: frame number of E00000.jpg
  uint32_t lastFrame = 0;      // LFR: frame number of the last frame taken
  uint64_t firstSeconds = 0;   // FTI, seconds since 1970 UTC
  uint64_t lastSeconds = 0;    // LTI
};

// The comment text (CR LF line ends).
std::string infoText(const Info& info);
// FF D8 FF FE, big-endian (text length + 2), the text, FF D9.
std::vector<uint8_t> infoFile(const Info& info);

}  // namespace eventinfo
