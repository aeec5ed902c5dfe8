#pragma once
// The camera stream reader of the IP channels: takes the parts of a camera's multipart JPEG
// stream (a boundary line, a part head whose length line gives the size, the picture), or a
// picture without a length found by its own JPEG markers, from a byte stream. The stream is a
// small interface (CamByteStream.h), so the reader runs over the camera connection
// (CamSocketStream.h) as well as over bytes in memory (the fuzz target).
//
// A part is received straight into the caller's buffer. Once the head of a part has been seen,
// the bytes in front of the next body are expected to be as many again (a camera's heads hardly
// change length), so the next part comes with one receive that lands its body in place; a head
// of another length costs a move. Behind the part in hand, newer() takes the parts that have
// already arrived whole, so the newest one wins, without ever waiting for more.
//
// Threads: one thread at a time (the channel's own).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channels/CamByteStream.h"

class CamPartReader {
 public:
  // How the parts of a stream are framed.
  struct Framing {
    std::string boundary;                     // "--" + boundary; empty: one picture, the first line read counts as its boundary line
    const char* lengthName = "Content-Length:";  // the head line giving the length, any case
    bool lengthRequired = false;              // a header block with a length other than 0 (Sony's "DataLen:")
  };
  // What a part head line says about the part's length.
  enum class LengthLine { Other, Length, Bad };
  // A line of a part head (without its line end). "Content-Length:" lines of at least 16 bytes
  // give an unsigned decimal after optional blanks, so one whose value is empty or no number is
  // Bad; with lengthRequired an empty value is skipped (Other) and 0 is Bad. More than
  // capacity is Bad. *why says what was wrong.
  static LengthLine parseLengthLine(const char* line, size_t n, const Framing& framing, uint32_t capacity,
                                    uint32_t* length, std::string* why);

  enum class Head { Found, Blank, NotBoundary, Incomplete, Bad };
  struct HeadView {
    Head kind = Head::Incomplete;
    size_t used = 0;      // Found: bytes through the head's empty line; Blank: the blank lines; NotBoundary: through the first other line
    uint32_t length = 0;  // Found: the announced length, 0 for none
    std::string why;      // Bad: what was wrong
  };
  // Looks at stream bytes for blank lines, the boundary line and a part head ended by its empty
  // line: the one part-head scanner.
  static HeadView scanHead(const uint8_t* w, size_t n, const Framing& framing, uint32_t capacity);
  // The length of the JPEG picture at the start of n bytes found by its markers; 0 when it does
  // not end within them; SIZE_MAX when they are no JPEG picture.
  static size_t jpegEnd(const uint8_t* p, size_t n);

  // A new connection: nothing learnt from the last one carries over.
  void reset(const Framing& framing);
  const Framing& framing() const { return m_framing; }

  // Reads the next part into buf (capacity bytes; the headroom bytes in front of buf are
  // scratch space it may write to), waiting up to timeoutMs before each arrival. True with the
  // picture's length (up to three trailing zero bytes dropped, starting with FF D8).
  bool next(CamByteStream& in, uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutMs, uint32_t* len);

  enum class Behind {
    None,    // nothing more has arrived whole
    Newer,   // a newer picture replaced the one in buf (its length in *len)
    Ended,   // the stream ended behind the picture in buf
    Broken,  // what follows is no usable part (error() says why); the picture in buf stays good
    Lost,    // the connection failed while a newer part was taken: buf holds no picture
  };
  // Takes the next part behind the one in buf when it has arrived whole within *budget bytes
  // (kUnknownBudget at the first call: then what has arrived by now), never waiting.
  static constexpr size_t kUnknownBudget = SIZE_MAX;
  Behind newer(CamByteStream& in, uint8_t* buf, uint32_t capacity, uint32_t headroom, size_t* budget, uint32_t* len);

  // A JPEG picture without a length, found by its markers.
  bool jpegByMarkers(CamByteStream& in, uint8_t* buf, uint32_t capacity, int timeoutMs, uint32_t* len);

  const std::string& error() const { return m_error; }
  // Parts that arrived whole and were refused since the last call (not JPEG pictures).
  uint32_t takeRefused() {
    uint32_t n = m_refused;
    m_refused = 0;
    return n;
  }

  // Bytes looked at for a part head at once.
  static constexpr size_t kLookBytes = 1024;
  // The most one receive takes for a part whose head length is expected.
  static constexpr size_t kOnceBytes = 65536;

 private:
  bool predicted(CamByteStream& in, uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutMs,
                 uint32_t* len, bool* fallBack);
  bool byLines(CamByteStream& in, uint8_t* buf, uint32_t capacity, int timeoutMs, uint32_t* len);
  bool readLine(CamByteStream& in, std::string& line, size_t capacity, int timeoutMs);
  // Takes head and body of a part whose head is known, the head into the headroom when it fits.
  bool takePart(CamByteStream& in, uint8_t* buf, uint32_t headroom, size_t head, uint32_t length, int timeoutMs);
  bool body(CamByteStream& in, uint8_t* buf, uint32_t capacity, uint32_t length, int timeoutMs, uint32_t* len);
  bool finish(const uint8_t* buf, uint32_t length, uint32_t* len);
  bool failed(const std::string& what, CamByteStream& in);

  Framing m_framing;
  uint32_t m_lead = 0;  // bytes in front of the last body, when known and within the headroom
  uint32_t m_refused = 0;
  std::string m_error;
  std::vector<uint8_t> m_scratch;
};
