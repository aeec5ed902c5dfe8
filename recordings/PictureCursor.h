#pragma once
// Walks the pictures of a recording tree in time order: E00000.jpg, then the pictures stored
// back to back in M00001.jpg .. M00006.jpg, then the next event, each picture with the stamp of
// its time-stamp segment. Each file is read in pieces of kReadBytes into one buffer kept for
// the walk (the unread rest of a piece moved to its front), and split there, so a picture is
// handed out as it was recorded, byte for byte, from memory that is still in the processor's
// cache: an export costs about what copying the files costs.
//
// The recorder may still be writing the newest event (a picture cut off at the end of a file is
// left out) and the cleaner may delete the oldest events while this reads: an event whose
// directory goes away under the cursor ends the walk at what was read, and cutShort() says so.
//
// One thread per cursor.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "recordings/RecordingTree.h"

namespace recordings {

// Length of the JPEG picture that starts at p (FF D8 ... FF D9), found by walking its segments
// and the entropy-coded data; 0 when the bytes do not hold a complete picture.
size_t jpegLength(const uint8_t* p, size_t n);
// Width and height from the picture's frame header; false when it has none.
bool jpegSize(const uint8_t* p, size_t n, int* width, int* height);

struct Picture {
  const uint8_t* data = nullptr;  // valid until the cursor's next call (see setBeforeRefill)
  size_t size = 0;
  uint64_t us = 0;  // its stamp (the previous picture's when it has none)
  uint32_t event = 0;
};

class PictureCursor {
 public:
  // Largest file read: six times ten seconds of big pictures fit many times over.
  static constexpr size_t kMaxFileBytes = 256u << 20;
  // Bytes read at once; the buffer grows beyond it only for a picture that is larger.
  static constexpr size_t kReadBytes = 256u << 10;

  // *tree must outlive the cursor.
  explicit PictureCursor(const RecordingTree& tree) : m_tree(tree) {}
  ~PictureCursor() { dropFile(); }
  PictureCursor(const PictureCursor&) = delete;
  PictureCursor& operator=(const PictureCursor&) = delete;

  // Goes to the event holding fromUs; next() then starts with the first picture stamped at or
  // after fromUs. False when the tree has no readable event.
  bool seek(uint64_t fromUs);
  // The next picture; false at the end: the newest picture written so far was passed, or the
  // cleaner removed what came next (cutShort()).
  bool next(Picture* out);
  bool cutShort() const { return m_cut; }
  // f is called before the cursor overwrites bytes it has handed out (the pictures of the piece
  // of a file read last), so a caller may keep several pictures until then.
  void setBeforeRefill(std::function<void()> f) { m_beforeRefill = std::move(f); }
  // E00000.jpg files and sequence files read so far.
  uint64_t filesRead() const { return m_filesRead; }

 private:
  enum class Open { Read, Missing };
  Open openFile(const char* name);
  bool readMore();  // false at the end of the file
  void dropFile();
  bool advanceFile();  // false at the end

  const RecordingTree& m_tree;
  RecordingTree::Range m_range;
  uint32_t m_pos = 0;  // event position within m_range
  int m_file = -1;     // 0: E00000.jpg, 1..6: sequence files
  int m_fd = -1;       // the current file
  size_t m_fileLeft = 0;  // its bytes not read yet
  std::vector<uint8_t> m_buf;  // its bytes [m_off, m_bufLen) not handed out yet
  size_t m_bufLen = 0, m_off = 0;
  uint64_t m_fromUs = 0, m_lastUs = 0;
  bool m_any = false;  // a file of the walk was read
  bool m_cut = false, m_ended = false;
  uint64_t m_filesRead = 0;
  std::function<void()> m_beforeRefill;
};

}  // namespace recordings
