#pragma once
// One published picture with its owned buffer. Not thread-safe on its own: a channel's two
// records are guarded by the channel's frame lock; a consumer's record is its own thread's.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

struct FrameRec {
  uint8_t* data = nullptr;  // one complete JPEG file; owned
  uint32_t capacity = 0;    // size of the buffer in bytes
  uint32_t length = 0;      // bytes of the picture; 0 means no picture
  uint32_t sequence = 0;    // picture number set by the producer
  uint64_t timestamp = 0;   // nanoseconds since 1970-01-01 00:00 UTC
  bool generated = false;   // made by the gateway (the no-signal picture), not by the source

  FrameRec() = default;
  ~FrameRec() { std::free(data); }
  FrameRec(const FrameRec&) = delete;
  FrameRec& operator=(const FrameRec&) = delete;

  // Makes the buffer exactly `bytes` long (contents are not kept). False when out of memory;
  // the record is then left empty.
  bool allocate(uint32_t bytes) {
    std::free(data);
    data = static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1));
    capacity = data ? bytes : 0;
    length = 0;
    return data != nullptr;
  }
};

// A published picture frozen for sharing: consumers that only pass a picture on (the push
// streams) hold one of these instead of copying the picture each. Never changed after it was
// made, so any number of threads may read it; it lives as long as its last holder.
struct SharedPicture {
  std::unique_ptr<uint8_t[]> data;
  uint32_t length = 0;
  uint32_t sequence = 0;
  uint64_t timestamp = 0;
};
