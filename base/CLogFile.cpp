#include "base/CLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "base/TextHelpers.h"
#include "platform/Files.h"

CLogFile g_logFile;

namespace {

constexpr uint32_t kMegabyte = 1048576;
constexpr unsigned kMaxSizeMb = CLogFile::kMaxSizeMb;
const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* levelTag(int level) {
  switch (level) {
    case 0: return " (Fatal)   : ";
    case 1: return " (Error)   : ";
    case 2: return " (Warning) : ";
    case 3: return " (Info)    : ";
    default: return "";
  }
}

// A file whose last line was cut short (a crash in mid-write, a copy that lost its final line
// feed) gets that line ended, so the next line appended stands on a line of its own instead of
// being glued to the fragment. f is open for reading and appending.
void endLastLine(FILE* f) {
  const bool cut = std::fseek(f, -1, SEEK_END) == 0 && std::fgetc(f) != '\n';
  std::fseek(f, 0, SEEK_END);  // going from reading to writing takes a positioning call
  if (cut) {
    std::fputc('\n', f);
    std::fflush(f);
  }
}

void appendSingleLine(std::string& out, const std::string& text) {
  for (char c : text) out += (c == '\r' || c == '\n') ? ' ' : c;
}

bool oneOf(const std::string& word, const char* const* list, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (word == list[i]) return true;
  return false;
}

// Reads every line of f (cutting each to CLogFile::kMaxLoadedLine characters) and hands it to add.
template <typename Add>
void readLines(FILE* f, Add add) {
  std::string cur;
  for (int c; (c = std::getc(f)) != EOF;) {
    if (c == '\n') {
      add(cur);
      cur.clear();
    } else if (cur.size() < CLogFile::kMaxLoadedLine) {
      cur.push_back(char(c));
    }
  }
  if (!cur.empty()) add(cur);
}

// An existing file is taken over only when it is empty or its first line is a log line: the log
// is served without a login, so it must never show (or, by trimming, rewrite) another file.
bool holdsOurLog(FILE* f) {
  std::rewind(f);
  std::string first;
  int c;
  while ((c = std::getc(f)) != EOF && c != '\n' && first.size() < 600) first.push_back(char(c));
  const bool ok = (first.empty() && c == EOF) || CLogFile::looksLikeLogLine(first);
  std::rewind(f);
  return ok;
}

// Opens a log file: only a regular file (never blocking on a FIFO or device to find out),
// created when missing. An existing file is taken whatever it holds when anyContent is set (the
// start-up's own log, and the log a trim has just written), else only when it holds our log.
// The log is not for every local user: an existing file loses the other users' bits (a new one
// is made 0640). nullptr when refused or unopenable.
FILE* openLog(const std::string& path, bool anyContent) {
  int fd = -1;
  bool created = false;
  if (path.empty() ||
      platform::openRegularFile(path, true, &fd, &created) != platform::OpenResult::Opened)
    return nullptr;
  FILE* f = ::fdopen(fd, "a+");
  if (!f) {
    ::close(fd);
    return nullptr;
  }
  if (!created && !anyContent && !holdsOurLog(f)) {
    std::fclose(f);
    return nullptr;
  }
  struct stat st;
  if (!created && ::fstat(fd, &st) == 0 && (st.st_mode & 07) != 0)
    ::fchmod(fd, st.st_mode & 07770);  // may fail (another owner's file): it is used as it is
  return f;
}

}  // namespace

bool CLogFile::pathUsable(const std::string& path) {
  int fd = -1;
  bool created = false;
  if (path.empty() ||
      platform::openRegularFile(path, true, &fd, &created) != platform::OpenResult::Opened)
    return false;
  if (created) {
    ::close(fd);
    ::unlink(path.c_str());
    return true;
  }
  FILE* f = ::fdopen(fd, "r");
  if (!f) {
    ::close(fd);
    return false;
  }
  const bool ok = holdsOurLog(f);
  std::fclose(f);
  return ok;
}

CLogFile::CLogFile() = default;

CLogFile::~CLogFile() {
  if (m_file) std::fclose(m_file);
}

std::string CLogFile::formatLine(time_t when, int level, const std::string& source,
                                 const std::string& message, const char* function) {
  struct tm tmv;
  localtime_r(&when, &tmv);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%s %s %02d %02d:%02d:%02d %04d", kDays[tmv.tm_wday % 7],
                kMonths[tmv.tm_mon % 12], tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                tmv.tm_year + 1900);
  std::string line = stamp;
  line += levelTag(level);
  appendSingleLine(line, function ? function : "");
  line += " : ";
  appendSingleLine(line, source);
  line += " : ";
  appendSingleLine(line, message);
  return line;
}

bool CLogFile::looksLikeLogLine(const std::string& line) {
  // "Mon Dec 07 11:33:21 2026" and then at least "f : s : m"
  if (line.size() < 24 + 6) return false;
  if (!oneOf(line.substr(0, 3), kDays, 7) || !oneOf(line.substr(4, 3), kMonths, 12)) return false;
  static const char pattern[] = "Www Mmm 99 99:99:99 9999";
  for (size_t i = 0; i < 24; ++i) {
    const char p = pattern[i], c = line[i];
    if (p == '9' && !std::isdigit(static_cast<unsigned char>(c))) return false;
    if ((p == ' ' || p == ':') && c != p) return false;
  }
  const size_t first = line.find(" : ", 24);
  return first != std::string::npos && line.find(" : ", first + 3) != std::string::npos;
}

void CLogFile::log(int level, const std::string& source, const std::string& message,
                   const char* function) {
  m_linesLogged[(level >= Fatal && level <= Info) ? level : Info].fetch_add(
      1, std::memory_order_relaxed);
  std::string line = formatLine(std::time(nullptr), level, source, message, function);
  std::lock_guard<std::mutex> g(m_lock);
  m_byteCount += line.size();
  m_lines.push_back(line);
  if (m_sizeLimit != 0 && m_byteCount > m_sizeLimit) {
    const uint64_t keep = uint64_t(m_sizeLimit) * 58 / 64;
    while (!m_lines.empty() && m_byteCount > keep) {
      m_byteCount -= m_lines.front().size();
      m_lines.pop_front();
    }
    if (!rewriteFileLocked()) appendToFileLocked(line);
  } else {
    appendToFileLocked(line);
  }
}

void CLogFile::appendToFileLocked(const std::string& line) {
  if (!m_file) return;
  std::fwrite(line.data(), 1, line.size(), m_file);
  std::fputc('\n', m_file);
  std::fflush(m_file);
}

// The kept lines go to a new file that then replaces the log, so a crash in the middle leaves
// the old or the new file whole, never a truncated one. Where the folder takes no new file, the
// log is rewritten in place instead: it must not grow past its limit.
bool CLogFile::rewriteFileLocked() {
  if (m_path.empty() || !m_file) return false;
  std::string text;
  text.reserve(size_t(m_byteCount) + m_lines.size());
  for (const auto& l : m_lines) {
    text += l;
    text += '\n';
  }
  if (platform::replaceFileContent(m_path, text)) {
    // The open stream still points at the replaced file: switch to the new one, which is ours
    // whatever its first kept line reads like. Should that fail, later lines stay in memory
    // only, as after a failed open.
    std::fclose(m_file);
    m_file = openLog(m_path, true);
    return true;
  }
  std::fflush(m_file);
  if (!platform::rewriteInPlace(::fileno(m_file), text)) return false;
  std::fseek(m_file, 0, SEEK_END);
  return true;
}

void CLogFile::init() {
  const std::string path = readSettingText(syssettings::kSection, syssettings::kLogPath);
  const unsigned sizeMb =
      std::min(readSettingUnsigned(syssettings::kSection, syssettings::kLogSize), kMaxSizeMb);
  std::unique_lock<std::mutex> g(m_lock);
  m_sizeLimit = sizeMb * kMegabyte;
  if (path == m_path) return;
  // The first file is the one start-up was given: it is taken whatever its first line holds (a
  // log emptied with "echo >", a line of another program). A changed path is taken only for an
  // empty file or a log of ours, as the form's check requires.
  FILE* f = openLog(path, m_path.empty());
  if (!f) {
    g.unlock();
    log(Warning, "log file", "Unable to open the file '" + path + "'", "CLogFile::init");
    return;
  }
  // The new file's lines replace the old ones (a second name for the same file must not double
  // them); lines logged before the first file was open are newer, so they stay at the end.
  std::deque<std::string> lines;
  uint64_t count = 0;
  auto add = [&](const std::string& l) {
    lines.push_back(l);
    count += l.size();
    // A huge file is kept to the limit while it is read; the next line logged trims it properly.
    while (m_sizeLimit != 0 && count > m_sizeLimit && !lines.empty()) {
      count -= lines.front().size();
      lines.pop_front();
    }
  };
  std::rewind(f);
  readLines(f, add);
  endLastLine(f);
  if (m_path.empty())
    for (const auto& l : m_lines) add(l);
  m_lines.swap(lines);
  m_byteCount = count;
  if (m_file) std::fclose(m_file);
  m_path = path;
  m_file = f;
}

std::string CLogFile::path() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_path;
}

uint32_t CLogFile::sizeLimit() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_sizeLimit;
}

uint64_t CLogFile::byteCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_byteCount;
}

size_t CLogFile::lineCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_lines.size();
}

std::string CLogFile::logText(unsigned count) const {
  std::lock_guard<std::mutex> g(m_lock);
  std::string out;
  unsigned n = 0;
  for (auto it = m_lines.rbegin(); it != m_lines.rend(); ++it) {
    if (count != 0 && n == count) break;
    out += *it;
    out += '\n';
    ++n;
  }
  return out;
}

uint64_t CLogFile::linesLogged(int level) const {
  return m_linesLogged[(level >= Fatal && level <= Info) ? level : Info].load(
      std::memory_order_relaxed);
}
