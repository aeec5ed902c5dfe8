#pragma once
// The open ".erdinfo" file of one channel directory. Owned and used by the recording thread
// only (the cleaner never touches the file; it changes the in-memory record under the
// recorder's index lock).
//
// Crash safety: a rebuilt index is written to a temporary file and renamed over the old one,
// so the name always holds either the old or the complete new file; the record is then
// rewritten in place with one pwrite() of all 156 bytes, so a killed process leaves either
// the previous or the new record, never a torn one.
//
// Clean close: the index itself keeps its fixed layout (other programs read and write it), so
// the mark that the recorder closed it itself is a file beside it, ".erdinfo.closed", holding a
// copy of the record written last. It counts only while it equals the index's record, so an
// index written afterwards by anything else, or a mark cut short, reads as not closed cleanly.
// Files are made 0640 whatever the umask.
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
  // the file stays open, *rec holds the stored record and *closedCleanly (when given) says
  // whether the file was closed cleanly: the mark file holds this very record, or the record
  // carries the mark of earlier versions (erdinfo::kOldCleanMark). Otherwise it is closed. The
  // mark is used once: load removes it whatever the result.
  Load load(const std::string& dir, erdinfo::Record* rec, bool* closedCleanly = nullptr);
  enum class Rebuild { Written, OpenFailed, WriteFailed };
  // Writes a fresh header and `rec` as the whole file (temporary file + rename) and opens it.
  // On failure errno tells why.
  Rebuild rebuild(const std::string& dir, const erdinfo::Record& rec);
  // Rewrites the record in place. False when fewer than 156 bytes were written.
  bool writeRecord(const erdinfo::Record& rec);
  // Marks the file as closed cleanly with rec, the record just written. False on failure (the
  // next load then reads the file as not closed cleanly).
  bool writeCleanMark(const erdinfo::Record& rec);
  bool isOpen() const { return m_fd >= 0; }
  void close();

  static std::string pathIn(const std::string& dir) { return dir + ".erdinfo"; }
  static std::string markPathIn(const std::string& dir) { return dir + ".erdinfo.closed"; }

 private:
  int m_fd = -1;
  std::string m_dir;  // of the open file
};
