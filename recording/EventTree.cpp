#include "recording/EventTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/ByteOrder.h"

namespace eventtree {

namespace {

// A stored picture's segment chain is short (time stamp, comment block, tables); a file
// that needs more steps than this is not one of ours.
constexpr int kMaxSegmentsWalked = 64;

std::string threeDigits(uint32_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%03u", unsigned(v % 1000));
  return buf;
}

// Walks the segments after the start-of-image marker. `readAt` fills `len` bytes at `pos`
// and returns false on a short read.
template <typename ReadAt>
bool walkForStamp(ReadAt readAt, uint64_t* timeUs) {
  uint8_t b[4];
  if (!readAt(0, b, 2) || b[0] != 0xFF || b[1] != 0xD8) return false;
  uint64_t pos = 2;
  for (int i = 0; i < kMaxSegmentsWalked; ++i) {
    if (!readAt(pos, b, 4) || b[0] != 0xFF) return false;
    uint16_t segLen = getBE16(b + 2);  // counts its own two bytes
    if (segLen < 2) return false;
    if (b[1] == 0xFE && segLen >= 2 + 16) {
      uint8_t d[16];
      if (!readAt(pos + 4, d, 16)) return false;
      if (std::memcmp(d, "TLF", 4) == 0) {
        *timeUs = getLE64(d + 8);
        return true;
      }
    }
    pos += 2 + uint64_t(segLen);
  }
  return false;
}

bool isThreeCharDirName(const char* name) {
  return std::strlen(name) == 3 && name[0] != '.';
}

// A three-digit name gives its number; anything else is not a tree directory.
bool parseThreeDigits(const char* name, uint32_t* v) {
  uint32_t n = 0;
  for (int i = 0; i < 3; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    n = n * 10 + uint32_t(name[i] - '0');
  }
  *v = n;
  return true;
}

// Sub-directories (real directories, never links) with three-character names.
std::vector<std::string> listThreeCharDirs(const std::string& dir) {
  std::vector<std::string> out;
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return out;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return out;
  }
  while (dirent* e = readdir(d)) {
    if (!isThreeCharDirName(e->d_name)) continue;
    struct stat st;
    if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
    out.push_back(e->d_name);
  }
  closedir(d);
  return out;
}

uint64_t recordedBytes(const std::string& dir) {
  uint64_t total = 0;
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return 0;
  }
  while (dirent* e = readdir(d)) {
    if (!isRecordedFileName(e->d_name)) continue;
    struct stat st;
    if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      total += uint64_t(st.st_size);
  }
  closedir(d);
  return total;
}

std::string stripTrailingSeparators(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

}  // namespace

std::string topDir(const std::string& channelDir, uint32_t n) {
  return channelDir + threeDigits(n / 1000);
}

std::string eventDir(const std::string& channelDir, uint32_t n) {
  return topDir(channelDir, n) + "/" + threeDigits(n % 1000) + "/";
}

std::string sequenceFileName(int i) { return "M0000" + std::to_string(i) + ".jpg"; }

bool isRecordedFileName(const std::string& name) {
  if (name.size() != 10) return false;
  char c = name[0];
  if (c != 'E' && c != 'e' && c != 'M' && c != 'm') return false;
  if (name.compare(1, 3, "000") != 0) return false;
  // "??" matches any two characters, as the listing pattern does.
  std::string ext = name.substr(6);
  for (char& ch : ext) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  return ext == ".jpg";
}

std::string normalizePath(const std::string& path) {
  if (path.empty()) return path;
  std::string unified = path;
  for (char& c : unified)
    if (c == '\\') c = '/';
  bool absolute = unified[0] == '/';
  bool trailing = unified.back() == '/';
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= unified.size()) {
    size_t j = unified.find('/', i);
    if (j == std::string::npos) j = unified.size();
    std::string part = unified.substr(i, j - i);
    i = j + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);  // a relative path may climb; an absolute one stops at "/"
      }
      continue;
    }
    parts.push_back(part);
  }
  std::string out = absolute ? "/" : "";
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) out += '/';
    out += parts[k];
  }
  if (trailing && !out.empty() && out.back() != '/') out += '/';
  if (out.empty()) out = trailing ? "./" : ".";
  return out;
}

bool isAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool isAcceptableRoot(const std::string& path) {
  std::string unified = path;
  for (char& c : unified)
    if (c == '\\') c = '/';
  // ".." is refused outright rather than resolved: "/var/rec/../../etc" is "/etc".
  for (size_t i = 0; i <= unified.size();) {
    size_t j = unified.find('/', i);
    if (j == std::string::npos) j = unified.size();
    if (unified.compare(i, j - i, "..") == 0) return false;
    i = j + 1;
  }
  const std::string normal = normalizePath(unified);
  if (!isAbsolutePath(normal)) return false;
  const size_t end = normal.find('/', 1);
  const std::string top = normal.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  if (top.empty()) return false;  // "/" itself
  static const char* const kSystem[] = {"etc", "usr", "bin", "sbin", "boot", "dev", "proc", "sys",
                                        "run"};
  for (const char* s : kSystem)
    if (top == s) return false;
  return top.compare(0, 3, "lib") != 0;
}

bool createPath(const std::string& path) {
  std::string p = stripTrailingSeparators(path);
  if (p.empty()) return false;
  if (p == "/") return true;
  struct stat st;
  if (stat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = 1; pos <= p.size(); ++pos) {
    if (pos != p.size() && p[pos] != '/') continue;
    std::string part = p.substr(0, pos);
    if (mkdir(part.c_str(), 0750) == 0) chmod(part.c_str(), 0750);
    else if (errno != EEXIST) return false;
  }
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool readEventTimeFromBytes(const uint8_t* data, size_t length, uint64_t* timeUs) {
  auto readAt = [&](uint64_t pos, uint8_t* out, size_t n) {
    if (pos > length || n > length - pos) return false;
    std::memcpy(out, data + pos, n);
    return true;
  };
  return walkForStamp(readAt, timeUs);
}

bool readEventTime(const std::string& file, uint64_t* timeUs) {
  // O_NONBLOCK: a FIFO with this name must not hang the scan; O_NOFOLLOW: a link is not ours.
  int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    auto readAt = [&](uint64_t pos, uint8_t* out, size_t n) {
      ssize_t got = pread(fd, out, n, off_t(pos));
      return got == ssize_t(n);
    };
    ok = walkForStamp(readAt, timeUs);
  }
  close(fd);
  return ok;
}

ScanResult scanTree(const std::string& channelDir,
                    const std::function<void(const std::string&)>& unknown,
                    const std::function<bool(uint32_t event)>& skip,
                    const std::function<bool()>& stop) {
  ScanResult r;
  for (const std::string& top : listThreeCharDirs(channelDir)) {
    if (stop && stop()) break;
    uint32_t topNum;
    if (!parseThreeDigits(top.c_str(), &topNum)) {
      if (unknown) unknown(channelDir + top);
      continue;
    }
    std::string topPath = channelDir + top + "/";
    for (const std::string& sub : listThreeCharDirs(topPath)) {
      uint32_t subNum;
      if (!parseThreeDigits(sub.c_str(), &subNum)) {
        if (unknown) unknown(topPath + sub);
        continue;
      }
      if (stop && stop()) break;
      uint32_t ev = topNum * 1000 + subNum;
      if (skip && skip(ev)) continue;
      std::string evDir = topPath + sub + "/";
      uint64_t t;
      if (!readEventTime(evDir + "E00000.jpg", &t)) continue;
      if (!r.found || t < r.oldestUs) {
        r.oldestUs = t;
        r.oldestEvent = ev;
      }
      if (!r.found || t > r.newestUs) {
        r.newestUs = t;
        r.newestEvent = ev;
      }
      r.found = true;
      ++r.events;
      r.bytes += recordedBytes(evDir);
    }
  }
  return r;
}

uint64_t regularFileSize(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return uint64_t(st.st_size);
}

uint64_t removeTree(const std::string& path) {
  std::string p = stripTrailingSeparators(path);  // "link/" would resolve the link
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) {
    uint64_t size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    return unlink(p.c_str()) == 0 ? size : 0;
  }
  uint64_t total = 0;
  std::vector<std::string> names;
  int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    if (DIR* d = fdopendir(fd)) {
      while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.push_back(e->d_name);
      }
      closedir(d);
    } else {
      close(fd);
    }
  }
  for (const std::string& n : names) total += removeTree(p + "/" + n);
  rmdir(p.c_str());
  return total;
}

}  // namespace eventtree
