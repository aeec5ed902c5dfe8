#include "app/CLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "app/CSettings.h"
#include "net/TextHelpers.h"

CLogFile g_logFile;

namespace {

constexpr uint32_t kMegabyte = 1048576;
constexpr unsigned kMaxSizeMb = 5;
constexpr size_t kMaxLoadedLine = 511;  // loading stops at the first line this long or longer
const char* const kDefaultPath = "TelvGateLog.log";

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
  if (std::fseek(f, -1, SEEK_END) == 0 && std::fgetc(f) != '\n' && std::fseek(f, 0, SEEK_END) == 0) {
    std::fputc('\n', f);
    std::fflush(f);
  }
}

void appendSingleLine(std::string& out, const std::string& text) {
  for (char c : text) out += (c == '\r' || c == '\n') ? ' ' : c;
}

// A new log path is usable when a file of that name can be opened for writing. An existing
// file is opened without truncation and left as it was; a file created by the probe is removed.
bool pathUsable(const std::string& path) {
  if (path.empty()) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(path.c_str());
  return true;
}

}  // namespace

CLogFile::CLogFile() = default;

CLogFile::~CLogFile() {
  if (m_file) std::fclose(m_file);
}

std::string CLogFile::formatLine(time_t when, int level, const std::string& source,
                                 const std::string& message, const char* function) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
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

void CLogFile::log(int level, const std::string& source, const std::string& message,
                   const char* function) {
  std::string line = formatLine(std::time(nullptr), level, source, message, function);
  std::lock_guard<std::mutex> g(m_lock);
  m_byteCount += uint32_t(line.size());
  m_lines.push_back(line);
  if (m_sizeLimit != 0 && m_byteCount > m_sizeLimit) {
    const uint64_t keep = uint64_t(m_sizeLimit) * 58 / 64;
    while (!m_lines.empty() && m_byteCount > keep) {
      m_byteCount -= uint32_t(m_lines.front().size());
      m_lines.pop_front();
    }
    writeAllLocked();
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

void CLogFile::writeAllLocked() {
  if (m_path.empty()) return;
  if (m_file) std::fclose(m_file);
  m_file = std::fopen(m_path.c_str(), "w");
  if (m_file) {
    for (const auto& l : m_lines) {
      std::fwrite(l.data(), 1, l.size(), m_file);
      std::fputc('\n', m_file);
    }
    std::fclose(m_file);
  }
  m_file = std::fopen(m_path.c_str(), "a");
}

void CLogFile::init() {
  const std::string path = g_settings.readString("System", "LogFilePath", kDefaultPath);
  const unsigned sizeMb = std::min(g_settings.readUnsigned("System", "LogFileSize", 0), kMaxSizeMb);
  std::unique_lock<std::mutex> g(m_lock);
  m_sizeLimit = sizeMb * kMegabyte;
  if (path == m_path) return;
  FILE* f = std::fopen(path.c_str(), "a+");
  if (!f) {
    g.unlock();
    log(Warning, "log file", "Unable to open the file '" + path + "'", "CLogFile::init");
    return;
  }
  std::rewind(f);
  char buf[kMaxLoadedLine + 2];
  while (std::fgets(buf, sizeof buf, f)) {
    size_t n = std::strlen(buf);
    bool complete = n > 0 && buf[n - 1] == '\n';
    if (complete) --n;
    if (n >= kMaxLoadedLine) break;
    if (!complete && !std::feof(f)) break;
    m_lines.emplace_back(buf, n);
    m_byteCount += uint32_t(n);
  }
  endLastLine(f);
  std::fclose(f);
  if (m_file) std::fclose(m_file);
  m_path = path;
  m_file = std::fopen(m_path.c_str(), "a");
}

bool CLogFile::update(const std::map<std::string, std::string>& fields, std::string& html) {
  bool changed = false;
  std::string current = path();
  auto it = fields.find("sys_logFilePath");
  if (it != fields.end() && it->second != current) {
    if (pathUsable(it->second)) {
      html += "<P class=upd>Updated the <EM>Log file path</EM> value to '<STRONG>" +
              html_escape(it->second) + "'</STRONG></P>";
      g_settings.writeString("System", "LogFilePath", it->second);
      changed = true;
    } else {
      html += "<P class=warn>The <EM>Log file path</EM> string is not a valid file name.</P>";
    }
  }
  it = fields.find("sys_logFileSize");
  if (it != fields.end()) {
    const std::string& v = it->second;
    char* end = nullptr;
    errno = 0;
    unsigned long n = v.empty() || v[0] == '-' ? 0 : std::strtoul(v.c_str(), &end, 10);
    if (end && end != v.c_str() && errno == 0) {
      unsigned mb = unsigned(std::min<unsigned long>(n, kMaxSizeMb));
      if (mb * kMegabyte != sizeLimit()) {
        html += "<P class=upd>Updated the <EM>Log file max size [Mb]</EM> value to <STRONG>" +
                std::to_string(mb) + "</STRONG></P>";
        g_settings.writeUnsigned("System", "LogFileSize", mb);
        changed = true;
      }
    }
  }
  return changed;
}

std::string CLogFile::path() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_path;
}

uint32_t CLogFile::sizeLimit() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_sizeLimit;
}

uint32_t CLogFile::byteCount() const {
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
