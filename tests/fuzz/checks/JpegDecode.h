#pragma once
// Decodes a JPEG with libjpeg-turbo (errors end the decode through setjmp, so the check
// works in builds with and without exceptions). False when it is not a readable picture.
#include <cstddef>
#include <cstdint>

namespace fuzzcheck {
bool decodeJpeg(const uint8_t* data, size_t size, int* width, int* height);
}
