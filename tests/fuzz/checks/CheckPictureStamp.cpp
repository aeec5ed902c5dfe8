// Reading a picture's time stamp: the in-memory and the file reader agree on arbitrary bytes,
// and a header made by the writer reads back with its time whatever follows it.
#include <cstdio>
#include <cstring>
#include <memory>

#include "channels/PictureBlocks.h"
#include "recording/EventTree.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {

std::string pictureStamp(const uint8_t* data, size_t size) {
  // An exact-size copy, so any read past the end is seen by the address sanitizer.
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(bytes.get(), data, size);

  uint64_t memUs = 0, fileUs = 0, picUs = 0;
  const bool inMemory = eventtree::readEventTimeFromBytes(bytes.get(), size, &memUs);
  pictureblocks::readPictureTimeUs(bytes.get(), size, &picUs);

  const std::string file = scratchDir() + "/E00000.jpg";
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    if (size) std::fwrite(bytes.get(), 1, size, f);
    std::fclose(f);
    const bool fromFile = eventtree::readEventTime(file, &fileUs);
    if (fromFile != inMemory || (fromFile && fileUs != memUs))
      return "file and in-memory stamp readers disagree";
  }

  // Writer then readers: the first 8 bytes choose the time, the rest follows the header.
  uint64_t timeNs = 0;
  if (size) std::memcpy(&timeNs, data, size < 8 ? size : 8);
  std::vector<uint8_t> pic(pictureblocks::kHeaderSize);
  pictureblocks::initHeader(pic.data());
  pictureblocks::setFrameFields(pic.data(), timeNs, 7, 0);
  if (size > 8) pic.insert(pic.end(), data + 8, data + size);
  uint64_t back = 0;
  if (!pictureblocks::readPictureTimeUs(pic.data(), pic.size(), &back) || back != timeNs / 1000)
    return "written picture header does not read back";
  if (!eventtree::readEventTimeFromBytes(pic.data(), pic.size(), &back) || back != timeNs / 1000)
    return "written picture header not found by the event-time reader";
  return "";
}

}  // namespace fuzzcheck
