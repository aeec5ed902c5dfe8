#pragma once
// The ".erdinfo" index of a channel's recording tree: a 332-byte header followed by a
// 156-byte record, little-endian. Held in memory as plain structs and turned into bytes only
// through the coding functions below (never written as raw memory). Pure; any thread may call.
#include <cstddef>
#include <cstdint>

namespace erdinfo {

constexpr size_t kHeaderSize = 332;
constexpr size_t kRecordSize = 156;
constexpr size_t kFileSize = kHeaderSize + kRecordSize;  // 488
constexpr size_t kStampSize = 52;

constexpr uint32_t kMagic = 0x44747645;  // the bytes "EvtD" read little-endian
constexpr uint32_t kVersion = 0x01080002;

// Header offsets.
constexpr size_t kHdrMagic = 0;
constexpr size_t kHdrVersion = 4;
constexpr size_t kHdrHeaderSize = 8;
constexpr size_t kHdrRecordSize = 12;
constexpr size_t kHdrZero16 = 16;
constexpr size_t kHdrText1 = 20;      // 128 reserved bytes
constexpr size_t kHdrText2 = 148;     // 128 reserved bytes
constexpr size_t kHdrReserved = 276;  // 48 reserved bytes
constexpr size_t kHdrZero324 = 324;
constexpr size_t kHdrZero328 = 328;
static_assert(kHdrText2 == kHdrText1 + 128, "first text area is 128 bytes");
static_assert(kHdrReserved == kHdrText2 + 128, "second text area is 128 bytes");
static_assert(kHdrZero324 == kHdrReserved + 48, "reserved area is 48 bytes");
static_assert(kHdrZero328 + 4 == kHeaderSize, "header ends after the last word");

// Stamp offsets (inside a stamp).
constexpr size_t kStFrame = 0;
constexpr size_t kStSeconds = 4;
constexpr size_t kStMillis = 8;
constexpr size_t kStEvent = 12;
constexpr size_t kStFlag = 16;
constexpr size_t kStZero18 = 18;
constexpr size_t kStReserved = 20;  // 32 zero bytes
static_assert(kStReserved + 32 == kStampSize, "stamp is 52 bytes");

// Record offsets.
constexpr size_t kRecOldest = 0;
constexpr size_t kRecNewest = 4;
constexpr size_t kRecReserved8 = 8;  // 12 zero bytes
constexpr size_t kRecOldestStamp = 20;
constexpr size_t kRecReserved72 = 72;  // 12 zero bytes
constexpr size_t kRecNewestStamp = 84;
constexpr size_t kRecZero136 = 136;
constexpr size_t kRecUsedKB = 140;
constexpr size_t kRecReserved144 = 144;  // 12 zero bytes
static_assert(kRecOldestStamp == kRecReserved8 + 12, "reserved area before the oldest stamp");
static_assert(kRecReserved72 == kRecOldestStamp + kStampSize, "oldest stamp is 52 bytes");
static_assert(kRecNewestStamp == kRecReserved72 + 12, "reserved area before the newest stamp");
static_assert(kRecZero136 == kRecNewestStamp + kStampSize, "newest stamp is 52 bytes");
static_assert(kRecReserved144 == kRecUsedKB + 4, "reserved area after the used space");
static_assert(kRecReserved144 + 12 == kRecordSize, "record ends after its reserved area");

// The bytes "CLSD" at kRecReserved144: how earlier versions of the recorder marked a clean
// close inside the record. Read once after an upgrade (so that start does not measure the
// tree needlessly); every record written now leaves the whole area zero, and the mark lives
// in a file of its own beside the index (IndexFile).
constexpr uint32_t kOldCleanMark = 0x44534C43;

// Events are numbered 0 .. kEventCount-1 and wrap.
constexpr uint32_t kEventCount = 1000000;

struct Stamp {
  uint32_t frame = 0;
  uint32_t seconds = 0;  // since 1970-01-01 UTC
  uint32_t millis = 0;   // 0..999
  uint32_t event = 0;
  uint16_t flag = 1;     // always 1; never interpreted
};

struct Record {
  uint32_t oldest = 1;
  uint32_t newest = 0;
  Stamp oldestStamp;
  Stamp newestStamp;
  int32_t usedKB = 0;  // negative marks the file as inconsistent
};

// The record of a tree without events: oldest 1, newest 0, oldest stamp at nowSeconds.
Record freshRecord(uint32_t nowSeconds);

// Sets a stamp's seconds and milliseconds from a microsecond time.
void setStampTimeUs(Stamp& stamp, uint64_t timeUs);

void encodeHeader(uint8_t out[kHeaderSize]);
void encodeRecord(const Record& rec, uint8_t out[kRecordSize]);
// Reads a record back; never fails (every bit pattern is some record).
Record decodeRecord(const uint8_t in[kRecordSize]);
// True when a stored record carries kOldCleanMark.
bool hasOldCleanMark(const uint8_t in[kRecordSize]);
// The header-size field of a stored header (the only field this system checks).
uint32_t headerSizeField(const uint8_t in[kHeaderSize]);

inline uint32_t nextEvent(uint32_t n) { return (n + 1) % kEventCount; }
inline uint32_t previousEvent(uint32_t n) { return (n + kEventCount - 1) % kEventCount; }

}  // namespace erdinfo
