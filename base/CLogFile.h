#pragma once
// The system's single log: one text line per event in a size-limited file, with a copy of
// the file's lines in memory (for trimming without re-reading and for the "/logs" page).
//
// Every member takes m_lock, so any thread may call any member. The log's lock is always the
// last lock taken in the system: callers may hold locks of their own when they log, and
// nothing outside this class (the settings store excepted, which takes only its own lock
// and never logs) is called while m_lock is held.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>

class CLogFile {
 public:
  enum Level { Fatal = 0, Error = 1, Warning = 2, Info = 3 };

  CLogFile();
  ~CLogFile();
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  // Appends one line "<24-char local time><level tag><function> : <source> : <message>".
  // A CR or LF inside source, message or function is replaced by a space, so a text that
  // came from a browser or a camera cannot forge a second line. Never fails towards the caller.
  void log(int level, const std::string& source, const std::string& message, const char* function);

  // Reads "LogFilePath" and "LogFileSize" (5 MB when missing) from section "System" and
  // (re)opens the file when the path changed. The lines held are then replaced by the file's
  // own (lines logged before the first init are kept after them); over-long lines are cut to
  // kMaxLoadedLine characters. A path is taken only when it names a regular file (also through
  // links); the first file (start-up's) whatever it holds, a changed one only when it is
  // empty, missing (it is created) or already a log of ours. Otherwise the previous file stays
  // in use and a Warning is logged.
  void init();
  static constexpr size_t kMaxLoadedLine = 510;

  // Largest "LogFileSize", in MB.
  static constexpr unsigned kMaxSizeMb = 5;
  // A new log path is usable when init() would take it. A file created by the probe is
  // removed; an existing file is left as it was.
  static bool pathUsable(const std::string& path);

  // Read access for the status and log pages.
  std::string path() const;
  uint32_t sizeLimit() const;  // bytes; 0 means no limit
  uint64_t byteCount() const;  // sum of the lengths of the lines held
  // The newest `count` lines (0: all), newest first, each followed by "\n".
  std::string logText(unsigned count) const;
  // Number of lines held (tests).
  size_t lineCount() const;
  // Lines logged at a level (0 Fatal .. 3 Info; others count as Info) since the process
  // started, trimmed ones included. Any thread.
  uint64_t linesLogged(int level) const;

  // Builds the line text as log() would at the given local time (tests and log()).
  static std::string formatLine(time_t when, int level, const std::string& source,
                                const std::string& message, const char* function);
  // True when the text starts like a line formatLine() builds (time stamp, then " : " twice).
  static bool looksLikeLogLine(const std::string& line);

 private:
  bool rewriteFileLocked();
  void appendToFileLocked(const std::string& line);

  mutable std::mutex m_lock;
  std::atomic<uint64_t> m_linesLogged[4] = {};  // by level; relaxed, only counted
  // State below is guarded by m_lock.
  std::deque<std::string> m_lines;
  FILE* m_file = nullptr;
  uint64_t m_byteCount = 0;  // 64 bits: a large existing file cannot wrap it
  uint32_t m_sizeLimit = 0;
  std::string m_path;
};

extern CLogFile g_logFile;
