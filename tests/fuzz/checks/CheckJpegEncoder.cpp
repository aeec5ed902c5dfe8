// The channel JPEG encoder on arbitrary sizes, qualities, capacities and pixels: init accepts
// exactly the documented ranges, a picture never exceeds its capacity and decodes with
// libjpeg-turbo at its size with a readable time stamp, and a refusal happens only when the
// picture does not fit (leaving the pixels as they were).
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "channels/CJpegEncoder.h"
#include "channels/PictureBlocks.h"
#include "tests/fuzz/checks/FuzzChecks.h"
#include "tests/fuzz/checks/JpegDecode.h"

namespace fuzzcheck {

std::string jpegEncoder(const uint8_t* data, size_t size) {
  if (size < 10) return "";
  const int quality = data[0] % 104;  // 0 and 101..103 are refused
  int width = (data[1] << 8 | data[2]) % 4100;
  int height = (data[3] << 8 | data[4]) % 4100;
  const int formatHeight = (data[5] << 8 | data[6]) % 4100;
  const uint32_t capacityPart = uint32_t(data[7]) << 8 | data[8];
  const uint8_t flags = data[9];
  const uint8_t* pixelBytes = data + 10;
  const size_t pixelCount = size - 10;
  const bool valid = quality >= 1 && quality <= 100 && width >= 1 && width <= 4095 &&
                     height >= 1 && height <= 4095 && formatHeight >= 1 && formatHeight <= 4095;
  // Keep each run short. Faults live mostly at small odd sizes (partial 8 x 8 and 16 x 16
  // blocks at the edges), so 63 inputs in 64 get at most 48 x 48 pixels (three blocks of 16
  // each way); the others keep their size up to 16 K pixels (one side may still be 4095: the
  // corpus gathers large inputs, so their share of the time grows beyond one in 64).
  const bool large = (flags & 0xFC) == 0xFC;
  if (valid && !large) {
    width = 1 + (width - 1) % 48;
    height = 1 + (height - 1) % 48;
  } else if (valid && width * height > 16384) {
    height = std::max(1, 16384 / width);
  }
  CJpegEncoder enc;
  if (flags & 1) enc.setForcePortable(true);
  if (enc.init(quality, width, height, formatHeight, "fuzz") != valid) return "init accepted a bad or refused a good set-up";
  if (!valid) return "";

  const size_t pixelBytesTotal = size_t(width) * height * 4;
  std::vector<uint8_t> pixels(pixelBytesTotal);
  for (size_t i = 0; i < pixelBytesTotal; ++i) pixels[i] = pixelCount ? pixelBytes[i % pixelCount] : 0;
  const std::vector<uint8_t> original = pixels;

  const size_t roomy = pixelBytesTotal * 2 + 65536;
  const size_t capacity = (flags & 2) ? roomy : size_t(capacityPart) * roomy / 65536;
  // Exactly capacity bytes, so a write at or past the end is seen by the address sanitizer.
  std::unique_ptr<uint8_t[]> out(new uint8_t[capacity ? capacity : 1]);
  size_t length = 0;
  uint32_t seq = 0;
  const uint64_t timeNs = 1700000000123456789ull;
  if (!enc.encode(pixels.data(), out.get(), capacity, &length, timeNs, &seq)) {
    if (pixels != original) return "a refused frame changed the pixels";
    std::unique_ptr<uint8_t[]> big(new uint8_t[roomy]);
    if (!enc.encode(pixels.data(), big.get(), roomy, &length, timeNs, &seq)) return "refused with ample room";
    if (length <= capacity) return "refused a picture that fitted its capacity";
    return "";
  }
  if (length > capacity) return "picture longer than its capacity";
  uint64_t us = 0;
  if (!pictureblocks::readPictureTimeUs(out.get(), length, &us) && length >= 2) {
    // The JFIF segment comes first; the stamp follows it.
    if (length < CJpegEncoder::kApp0Size || out[0] != 0xFF || out[1] != 0xD8) return "output without SOI";
  }
  int w = 0, h = 0;
  if (!decodeJpeg(out.get(), length, &w, &h)) return "output does not decode";
  if (w != width || h != height) return "decoded size differs";
  return "";
}

}  // namespace fuzzcheck
