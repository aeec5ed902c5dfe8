// The ".erdinfo" loader on arbitrary file contents: the accept/rebuild decision follows the
// stored header size, length and used space only, an accepted record is exactly what the
// bytes hold, and every record survives a write and a reload unchanged.
#include <cstdio>
#include <cstring>

#include "recording/ErdInfo.h"
#include "recording/IndexFile.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {
namespace {

bool sameStamp(const erdinfo::Stamp& a, const erdinfo::Stamp& b) {
  return a.frame == b.frame && a.seconds == b.seconds && a.millis == b.millis &&
         a.event == b.event && a.flag == b.flag;
}

bool sameRecord(const erdinfo::Record& a, const erdinfo::Record& b) {
  return a.oldest == b.oldest && a.newest == b.newest && sameStamp(a.oldestStamp, b.oldestStamp) &&
         sameStamp(a.newestStamp, b.newestStamp) && a.usedKB == b.usedKB;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

std::string erdInfo(const uint8_t* data, size_t size) {
  const std::string dir = scratchDir() + "/";
  FILE* f = std::fopen(IndexFile::pathIn(dir).c_str(), "wb");
  if (!f) return "";  // nothing to check without a scratch folder
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  using Load = IndexFile::Load;
  Load expected = Load::Missing;
  if (size >= erdinfo::kHeaderSize) {
    if (le32(data + erdinfo::kHdrHeaderSize) != erdinfo::kHeaderSize) expected = Load::Inconsistent;
    else if (size < erdinfo::kFileSize) expected = Load::Missing;
    else if (int32_t(le32(data + erdinfo::kHeaderSize + erdinfo::kRecUsedKB)) < 0) expected = Load::Inconsistent;
    else expected = Load::Accepted;
  }

  IndexFile index;
  erdinfo::Record rec;
  const Load state = index.load(dir, &rec);
  if (state != expected) return "load decision does not follow the header size, length and used space";
  if (index.isOpen() != (state == Load::Accepted)) return "file left open on refusal or closed on acceptance";

  erdinfo::Record decoded;
  if (size >= erdinfo::kFileSize) {
    decoded = erdinfo::decodeRecord(data + erdinfo::kHeaderSize);
    if (state == Load::Accepted && !sameRecord(rec, decoded)) return "accepted record differs from its bytes";
    uint8_t again[erdinfo::kRecordSize];
    erdinfo::encodeRecord(decoded, again);
    if (!sameRecord(erdinfo::decodeRecord(again), decoded)) return "record changes across encode/decode";
  }

  // A record written in place and one written by a rebuild both load back unchanged.
  if (state == Load::Accepted) {
    rec.oldest ^= 1;
    if (!index.writeRecord(rec)) return "writeRecord failed on an accepted file";
    erdinfo::Record back;
    if (index.load(dir, &back) != Load::Accepted || !sameRecord(back, rec))
      return "record written in place does not load back";
  } else if (size >= erdinfo::kRecordSize) {
    erdinfo::Record r = erdinfo::decodeRecord(data);
    if (r.usedKB < 0) r.usedKB = 0;
    if (index.rebuild(dir, r) != IndexFile::Rebuild::Written) return "rebuild failed";
    erdinfo::Record back;
    if (index.load(dir, &back) != Load::Accepted || !sameRecord(back, r))
      return "rebuilt index does not load back";
  }
  index.close();
  return "";
}

}  // namespace fuzzcheck
