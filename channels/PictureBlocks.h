#pragma once
// The two comment segments every published picture carries right behind its start-of-image
// marker: the 68-byte time-stamp segment and the text comment block. Pure functions; any
// thread may call them.
//
// Frame layout: FF D8 | time-stamp segment (68) | FF FE len text | rest of the JPEG.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pictureblocks {

constexpr size_t kSoiSize = 2;
constexpr size_t kStampSegmentSize = 68;
constexpr size_t kHeaderSize = kSoiSize + kStampSegmentSize;  // 70: SOI + time-stamp segment
constexpr uint32_t kStampConstant = 1881;

// Offsets inside the 70-byte header (SOI included).
constexpr size_t kOffMagic = 2 + 4;
constexpr size_t kOffConstant = 2 + 8;
constexpr size_t kOffTimeUs = 2 + 12;
constexpr size_t kOffSeq1 = 2 + 20;
constexpr size_t kOffSeq2 = 2 + 24;
constexpr size_t kOffFormat = 2 + 64;
static_assert(kOffFormat + 4 == kHeaderSize, "format word ends the time-stamp segment");

// The comment text: "#:T7IMG\r\nSECTION ID\r\nSWV=1.3.4.7\r\nCFL=TelvGate\r\nNAM=" name
// [ "\r\nET0=" camAddr ] "\r\nENDSECTION ID\r\nSECTION EVENT\r\n...\r\n\r\n".
std::string commentText(const std::string& name, const std::string* camAddr);

// IP channel form: FF FE, big-endian (text length + 2), the text without terminator.
// The name and address are cut so the segment length fits 16 bits.
std::vector<uint8_t> ipCommentSegment(const std::string& name, const std::string& camAddr);

// Analog encoder form: FF FE 00, one length byte (text length + 3), the text, a zero byte.
// Returns an empty vector when the text would not fit the one-byte length (>= 253 bytes).
std::vector<uint8_t> analogCommentSegment(const std::string& name);

// Writes SOI and the time-stamp segment with every constant field; per-frame fields zero.
void initHeader(uint8_t hdr[kHeaderSize]);

// Fills the per-frame fields of a header made by initHeader.
void setFrameFields(uint8_t hdr[kHeaderSize], uint64_t timeNs, uint32_t sequence,
                    uint32_t formatWord);

// ((height << 12) | (width & 4095)) << 8, OR the low byte of the previous word.
uint32_t imageFormatWord(uint32_t previousWord, unsigned width, unsigned height);

// Reads the time stamp (microseconds) back from a stored picture: FF D8, then FF FE whose
// segment starts with "TLF\0"; false when the picture does not carry it.
bool readPictureTimeUs(const uint8_t* data, size_t length, uint64_t* timeUs);

}  // namespace pictureblocks
