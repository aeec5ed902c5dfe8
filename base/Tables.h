#pragma once
// Process-wide lookup tables and the version text. Constant data: any thread may read them.
#include <cstdint>
#include <string>

// The program's version, as shown in log lines, the window title and picture comments.
extern const char* const kTelvGateVersion;  // "1.3.4.7"

// Channel type code (0..9) to display name; the code is the first number of a channel's
// settings section name.
constexpr int kCnlTypeCount = 10;
extern const char* const g_cnlTypeNames[kCnlTypeCount];

// Image size keyword to size code (1..13); 0 for an unknown keyword.
struct ImageSizeCode {
  const char* keyword;
  int code;
};
constexpr int kImageSizeCount = 13;
extern const ImageSizeCode g_imageSizeCodes[kImageSizeCount];

// Size code to width and height in pixels; index 0 (unknown) has no dimensions (0 x 0).
struct ImageDims {
  uint16_t width;
  uint16_t height;
};
extern const ImageDims g_imageSizeDims[kImageSizeCount + 1];

// Pan/tilt type code (0..5) to display name, and form keyword to code (unknown -> 0).
constexpr int kRotorTypeCount = 6;
extern const char* const g_rotorTypeNames[kRotorTypeCount];
struct RotorTypeCode {
  const char* keyword;
  int code;
};
extern const RotorTypeCode g_rotorTypeCodes[kRotorTypeCount];

// Analog video standard keyword to code.
struct VideoStdCode {
  const char* keyword;
  int code;
};
constexpr int kVideoStdCount = 3;
extern const VideoStdCode g_videoStdCodes[kVideoStdCount];

// Look-ups over the tables above.
int imageSizeCode(const std::string& keyword);   // 0 when unknown
const char* imageSizeKeyword(int code);          // "" when unknown
ImageDims imageSizeDims(int code);               // 0 x 0 when unknown
int rotorTypeCode(const std::string& keyword);   // 0 when unknown
const char* rotorTypeName(int code);             // nullptr outside 0..5
int videoStdCode(const std::string& keyword);    // -1 when unknown
const char* videoStdKeyword(int code);           // "" when unknown
const char* cnlTypeName(int code);               // nullptr outside 0..9
