#pragma once
// The zip form of an export: the recorded picture files named by their local time, stored
// (JPEG does not shrink), and text entries beside them; the SHA256 sums of the pictures are
// gathered as they are added. The pictures are copied into a spool file (unlinked at once)
// while they are read and hashed, and libzip takes each entry from there when it writes the
// archive: the cleaner may delete the recorded files meanwhile without changing a byte of the
// export.
//
// Threads: one thread (the export's). Each call that fails says why in *error.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "recordings/PictureCursor.h"

struct zip;
struct zip_source;

namespace recordings {

class ExportZip {
 public:
  ExportZip() = default;
  ExportZip(const ExportZip&) = delete;
  ExportZip& operator=(const ExportZip&) = delete;
  // Discards an archive not finished.
  ~ExportZip();

  // Creates (or truncates) the archive at path and its spool file beside it.
  bool open(const std::string& path, std::string* error);
  // Adds one picture, named by its recorded local time ("-2", "-3" … for the same second).
  bool add(const Picture& pic, std::string* error);
  // Adds a text file written at this time.
  bool addText(const std::string& name, const std::string& text, std::string* error);
  // "<sha256>  <name>\n" for every picture added, in order.
  const std::string& sums() const { return m_sums; }
  // Writes the archive.
  bool finish(std::string* error);

 private:
  bool addSource(const std::string& name, zip_source* src, time_t mtime, std::string* error);

  zip* m_za = nullptr;
  int m_spool = -1;
  uint64_t m_spoolLen = 0;
  std::string m_sums, m_lastName;
  unsigned m_repeat = 0;
  std::vector<std::string> m_texts;  // libzip reads the buffers at zip_close
};

}  // namespace recordings
