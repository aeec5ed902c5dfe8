#pragma once
// The video muxer's output: an open file, or a stream handed the bytes in order. The muxer
// passes a picture's bytes straight from the cursor (direct mode), between the few bytes of its
// block headers. For a file the picture's bytes stay where the cursor read them: they are
// queued, the headers copied beside them, and several pictures go out with one writev when the
// cursor is about to reuse its buffer (flush()), from memory still in the cache and in few
// system calls. Bytes from the muxer's own buffers (the matroska muxer hands over whole
// clusters, one per picture) are copied and written up to kHeldMax at a time: each write into
// a file costs the file system a fixed amount (the inode's times, the journal), which at one
// write per picture made the export a fifth slower than copying its files. A stream gets each
// picture with the header bytes before it.
//
// One export's thread only.
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recordings/RecExport.h"

namespace recordings {

struct MuxSink {
  int fd = -1;
  const ExportStream* stream = nullptr;  // instead of fd
  const uint8_t* keptBegin = nullptr;    // bytes that stay put until flush()
  const uint8_t* keptEnd = nullptr;
  std::vector<uint8_t> held;  // copied bytes; never grown beyond kHeldMax, the queue points in
  std::vector<iovec> queue;
  size_t queued = 0;
  bool failed = false;
  int err = 0;

  static constexpr size_t kHoldBelow = 4096, kHeldMax = 1 << 20, kQueueMax = 256;
  static constexpr size_t kQueuedMax = 1 << 20;

  MuxSink() { held.reserve(kHeldMax); }

  // Takes size bytes at buf (kept in place when they lie in [keptBegin, keptEnd), else
  // copied); false once anything failed (err then holds the errno).
  bool add(const uint8_t* buf, size_t size);
  // Writes (or sends) everything taken so far.
  bool flush();

 private:
  bool send(const uint8_t* buf, size_t size);
  bool writeAll(iovec* p, int count);
};

// The muxer's write and seek callbacks over a MuxSink (opaque); seeking needs a file.
int muxSinkWrite(void* opaque, uint8_t* buf, int size);  // FFmpeg 5 passes it non-const
int64_t muxSinkSeek(void* opaque, int64_t offset, int whence);

}  // namespace recordings
