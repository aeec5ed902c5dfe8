#pragma once
// The open ".erdinfo" file of one channel directory. Owned and used by the recording thread
// only (the cleaner never touches the file; it changes the in-memory record under the
// recorder's index lock).
//
// Crash safety: a rebuilt index is written to a temporary file and renamed over the old one,
// so the name always holds either the old or the complete new file; the record is then
// rewritten in place with one pwrite() of all 156 bytes, so a killed process leaves either
// the previous or the new record, never a torn one.
#include <cstdint>
#include <string>

#include "recording/ErdInfo.h"

class IndexFile {
 public:
  enum class Load {
    Accepted,      // header size 332 and a used space of 0 or more
    Missing,       // no file, or a short read: rebuild silently
    Inconsistent,  // header size wrong or used space negative: rebuild with a warning
  };

  IndexFile() = default;
  ~IndexFile() { close(); }
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;

  // Opens "<dir>.erdinfo" for reading and writing (no truncation) and reads it. On Accepted
  // the file stays open and *rec holds the stored record; otherwise it is closed.
  Load load(const std::string& dir, erdinfo::Record* rec);
  enum class Rebuild { Written, OpenFailed, WriteFailed };
  // Writes a fresh header and `rec` as the whole file (temporary file + rename) and opens it.
  // On failure errno tells why.
  Rebuild rebuild(const std::string& dir, const erdinfo::Record& rec);
  // Rewrites the record in place. False when fewer than 156 bytes were written.
  bool writeRecord(const erdinfo::Record& rec);
  bool isOpen() const { return m_fd >= 0; }
  void close();

  static std::string pathIn(const std::string& dir) { return dir + ".erdinfo"; }

 private:
  int m_fd = -1;
};
