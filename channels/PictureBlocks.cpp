#include "channels/PictureBlocks.h"

#include <cstring>

#include "base/Tables.h"
#include "platform/ByteOrder.h"

namespace pictureblocks {

std::string commentText(const std::string& name, const std::string* camAddr) {
  std::string t = "#:T7IMG\r\nSECTION ID\r\nSWV=";
  t += kTelvGateVersion;
  t += "\r\nCFL=TelvGate\r\nNAM=";
  t += name;
  if (camAddr) {
    t += "\r\nET0=";
    t += *camAddr;
  }
  t += "\r\nENDSECTION ID\r\nSECTION EVENT\r\nSYA=0\r\nSYP=0\r\nREC=CONT\r\nENDSECTION EVENT\r\n\r\n";
  return t;
}

std::vector<uint8_t> ipCommentSegment(const std::string& name, const std::string& camAddr) {
  // Settings bound the name to 50 characters; the address is cut defensively so the
  // big-endian length can never wrap.
  constexpr size_t kMaxText = 0xFFFF - 2;
  std::string addr = camAddr.substr(0, 1024);
  std::string text = commentText(name, &addr);
  if (text.size() > kMaxText) text.resize(kMaxText);
  std::vector<uint8_t> seg(4 + text.size());
  seg[0] = 0xFF;
  seg[1] = 0xFE;
  putBE16(&seg[2], uint16_t(text.size() + 2));
  std::memcpy(&seg[4], text.data(), text.size());
  return seg;
}

std::vector<uint8_t> analogCommentSegment(const std::string& name) {
  std::string text = commentText(name, nullptr);
  if (text.size() + 1 >= 253) return {};
  std::vector<uint8_t> seg(4 + text.size() + 1);
  seg[0] = 0xFF;
  seg[1] = 0xFE;
  seg[2] = 0x00;
  seg[3] = uint8_t(text.size() + 3);
  std::memcpy(&seg[4], text.data(), text.size());
  seg[4 + text.size()] = 0;
  return seg;
}

void initHeader(uint8_t hdr[kHeaderSize]) {
  std::memset(hdr, 0, kHeaderSize);
  hdr[0] = 0xFF;
  hdr[1] = 0xD8;
  hdr[2] = 0xFF;
  hdr[3] = 0xFE;
  putBE16(hdr + 4, 66);
  std::memcpy(hdr + kOffMagic, "TLF", 4);  // with its zero byte
  putLE32(hdr + kOffConstant, kStampConstant);
  putLE32(hdr + 2 + 36, 1);
  putLE32(hdr + 2 + 40, 0x90000000u);
  putLE32(hdr + 2 + 44, 1);
  putLE32(hdr + 2 + 48, 0x90000000u);
}

void setFrameFields(uint8_t hdr[kHeaderSize], uint64_t timeNs, uint32_t sequence,
                    uint32_t formatWord) {
  putLE64(hdr + kOffTimeUs, timeNs / 1000);
  putLE32(hdr + kOffSeq1, sequence);
  putLE32(hdr + kOffSeq2, sequence);
  putLE32(hdr + kOffFormat, formatWord);
}

uint32_t imageFormatWord(uint32_t previousWord, unsigned width, unsigned height) {
  return (((uint32_t(height) << 12) | (uint32_t(width) & 4095u)) << 8) | (previousWord & 0xFFu);
}

bool readPictureTimeUs(const uint8_t* data, size_t length, uint64_t* timeUs) {
  if (length < kOffTimeUs + 8) return false;
  if (data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF || data[3] != 0xFE) return false;
  if (std::memcmp(data + kOffMagic, "TLF", 4) != 0) return false;
  *timeUs = getLE64(data + kOffTimeUs);
  return true;
}

}  // namespace pictureblocks
