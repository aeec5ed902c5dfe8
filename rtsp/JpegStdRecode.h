#pragma once
// The standard Huffman tables of T.81 Annex K, and the lossless re-coding of a picture to
// them with libjpeg-turbo's coefficient transcoding: the quantised DCT coefficients are read
// and written again unchanged, only their entropy coding differs, so every decoder sees
// exactly the same pixels. RTP/JPEG receivers know only those tables (RtpJpeg.h); our encoder
// and many cameras code each picture with tables of its own.
//
// Threads: any; nothing is shared but the standard tables, made once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace jpegstd {

// True when bits (16 code-length counts) and vals (count symbols) are the standard table of
// the kind: AC or DC, colour or luminance.
bool isStandardTable(bool ac, bool chroma, const uint8_t bits[16], const uint8_t* vals, size_t count);

// Re-codes a baseline JPEG with the standard tables (no restart intervals, no markers but the
// tables, frame and scan). False with *why when libjpeg cannot read the picture or finds it
// damaged; out is then unspecified.
bool recode(const uint8_t* data, size_t size, std::vector<uint8_t>* out, std::string* why);

}  // namespace jpegstd
