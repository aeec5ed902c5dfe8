#pragma once
// The byte stream the camera stream reader takes its parts from: the camera connection
// (CamSocketStream) or bytes in memory (the fuzz target).
//
// Threads: one thread at a time (the reader's).
#include <cstddef>
#include <cstdint>
#include <string>

// Where the reader takes its bytes from. Time-outs bound the silence before an arrival.
class CamByteStream {
 public:
  virtual ~CamByteStream() = default;
  // Bytes that have arrived and were not taken yet, counted without waiting.
  virtual size_t ready() = 0;
  // Copies up to n of the next bytes to out without taking them, waiting up to timeoutMs for
  // the first one when none has arrived (0: no wait). The count; 0 when nothing came (ended()
  // tells whether the stream is over).
  virtual size_t look(uint8_t* out, size_t n, int timeoutMs) = 0;
  // Takes up to n bytes with one receive, waiting as look() does: the count, 0 as look().
  virtual size_t takeSome(uint8_t* out, size_t n, int timeoutMs) = 0;
  // Takes exactly n bytes, allowing timeoutMs of silence before each arrival: the count (less
  // than n when the stream ended, went silent or failed).
  virtual size_t take(uint8_t* out, size_t n, int timeoutMs) = 0;
  // Hands n bytes just taken out again first.
  virtual void putBack(const uint8_t* p, size_t n) = 0;
  // Whether the last call that came up short met the end of the stream.
  virtual bool ended() const = 0;
  // Why the last call came up short, for the log ("connection closed by the camera").
  virtual std::string failure() const = 0;
};
