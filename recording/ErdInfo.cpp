#include "recording/ErdInfo.h"

#include <cassert>
#include <cstring>

#include "platform/ByteOrder.h"

namespace erdinfo {

Record freshRecord(uint32_t nowSeconds) {
  Record r;
  r.oldest = 1;
  r.newest = 0;
  r.oldestStamp.seconds = nowSeconds;
  r.oldestStamp.event = 1;
  r.usedKB = 0;
  return r;
}

void setStampTimeUs(Stamp& stamp, uint64_t timeUs) {
  assert(timeUs / 1000000 <= UINT32_MAX && "stamps hold 32-bit seconds");
  stamp.seconds = uint32_t(timeUs / 1000000);
  stamp.millis = uint32_t((timeUs / 1000) % 1000);
}

void encodeHeader(uint8_t out[kHeaderSize]) {
  std::memset(out, 0, kHeaderSize);
  putLE32(out + kHdrMagic, kMagic);
  putLE32(out + kHdrVersion, kVersion);
  putLE32(out + kHdrHeaderSize, uint32_t(kHeaderSize));
  putLE32(out + kHdrRecordSize, uint32_t(kRecordSize));
}

static void encodeStamp(const Stamp& s, uint8_t* out) {
  putLE32(out + kStFrame, s.frame);
  putLE32(out + kStSeconds, s.seconds);
  putLE32(out + kStMillis, s.millis);
  putLE32(out + kStEvent, s.event);
  putLE16(out + kStFlag, s.flag);
  putLE16(out + kStZero18, 0);
  std::memset(out + kStReserved, 0, kStampSize - kStReserved);
}

static Stamp decodeStamp(const uint8_t* in) {
  Stamp s;
  s.frame = getLE32(in + kStFrame);
  s.seconds = getLE32(in + kStSeconds);
  s.millis = getLE32(in + kStMillis);
  s.event = getLE32(in + kStEvent);
  s.flag = getLE16(in + kStFlag);
  return s;
}

void encodeRecord(const Record& rec, uint8_t out[kRecordSize]) {
  std::memset(out, 0, kRecordSize);
  putLE32(out + kRecOldest, rec.oldest);
  putLE32(out + kRecNewest, rec.newest);
  encodeStamp(rec.oldestStamp, out + kRecOldestStamp);
  encodeStamp(rec.newestStamp, out + kRecNewestStamp);
  putLE32(out + kRecUsedKB, uint32_t(rec.usedKB));
}

Record decodeRecord(const uint8_t in[kRecordSize]) {
  Record r;
  r.oldest = getLE32(in + kRecOldest);
  r.newest = getLE32(in + kRecNewest);
  r.oldestStamp = decodeStamp(in + kRecOldestStamp);
  r.newestStamp = decodeStamp(in + kRecNewestStamp);
  r.usedKB = int32_t(getLE32(in + kRecUsedKB));
  return r;
}

bool hasOldCleanMark(const uint8_t in[kRecordSize]) {
  return getLE32(in + kRecReserved144) == kOldCleanMark;
}

uint32_t headerSizeField(const uint8_t in[kHeaderSize]) { return getLE32(in + kHdrHeaderSize); }

}  // namespace erdinfo
