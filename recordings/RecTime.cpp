#include "recordings/RecTime.h"

#include <cstdio>
#include <ctime>

namespace rectime {

namespace {

constexpr uint64_t kUsPerSecond = 1000000ull;
// Years accepted in ISO text: recordings are stamped from 1970 on; 9999 keeps four digits.
constexpr int kMinYear = 1970, kMaxYear = 9999;

// Reads exactly n decimal digits at p.
bool digits(const char*& p, int n, int* out) {
  int v = 0;
  for (int i = 0; i < n; ++i, ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + (*p - '0');
  }
  *out = v;
  return true;
}

// ".f" to ".ffffff" at p (optional): the microseconds.
bool fraction(const char*& p, uint64_t* us) {
  *us = 0;
  if (*p != '.') return true;
  ++p;
  int n = 0;
  uint64_t v = 0;
  while (*p >= '0' && *p <= '9') {
    if (++n > 6) return false;
    v = v * 10 + uint64_t(*p++ - '0');
  }
  if (n == 0) return false;
  for (; n < 6; ++n) v *= 10;
  *us = v;
  return true;
}

// Local broken-down time to seconds since 1970; false for a time that does not exist (fields
// out of range, which mktime would carry into the next field) or lies before 1970.
bool localSeconds(int y, int mo, int d, int h, int mi, int s, int64_t* out) {
  if (y < kMinYear || y > kMaxYear || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
      s > 59)
    return false;
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  const time_t v = mktime(&t);
  if (v == time_t(-1) || t.tm_mday != d || t.tm_mon != mo - 1 || v < 0) return false;
  *out = int64_t(v);
  return true;
}

std::string format(uint64_t us, const char* fmt) {
  const time_t s = time_t(us / kUsPerSecond);
  struct tm t;
  localtime_r(&s, &t);
  char buf[64];
  const size_t n = strftime(buf, sizeof buf, fmt, &t);
  return std::string(buf, n);
}

}  // namespace

bool parseTime(const std::string& text, uint64_t* us) {
  const char* p = text.c_str();
  if (text.empty() || text.size() > 32) return false;
  if (text.find('-') == std::string::npos) {
    uint64_t s = 0;
    int n = 0;
    while (*p >= '0' && *p <= '9') {
      if (++n > 12) return false;  // beyond year 30000
      s = s * 10 + uint64_t(*p++ - '0');
    }
    uint64_t f;
    if (n == 0 || !fraction(p, &f) || *p) return false;
    *us = s * kUsPerSecond + f;
    return true;
  }
  int y, mo, d, h, mi, s = 0;
  if (!digits(p, 4, &y) || *p++ != '-' || !digits(p, 2, &mo) || *p++ != '-' || !digits(p, 2, &d) ||
      *p++ != 'T' || !digits(p, 2, &h) || *p++ != ':' || !digits(p, 2, &mi))
    return false;
  if (*p == ':' && (++p, !digits(p, 2, &s))) return false;
  uint64_t f;
  if (!fraction(p, &f) || *p) return false;
  int64_t secs;
  if (!localSeconds(y, mo, d, h, mi, s, &secs)) return false;
  *us = uint64_t(secs) * kUsPerSecond + f;
  return true;
}

bool parseDay(const std::string& text, uint64_t* startUs) {
  const char* p = text.c_str();
  int y, mo, d;
  if (text.size() != 10 || !digits(p, 4, &y) || *p++ != '-' || !digits(p, 2, &mo) ||
      *p++ != '-' || !digits(p, 2, &d))
    return false;
  int64_t secs;
  if (!localSeconds(y, mo, d, 0, 0, 0, &secs)) return false;
  *startUs = uint64_t(secs) * kUsPerSecond;
  return true;
}

std::string isoLocal(uint64_t us) { return format(us, "%Y-%m-%dT%H:%M:%S"); }

std::string displayLocal(uint64_t us) {
  char ms[8];
  std::snprintf(ms, sizeof ms, ".%03u", unsigned(us / 1000 % 1000));
  return format(us, "%Y-%m-%d %H:%M:%S") + ms;
}

std::string fileLocal(uint64_t us, bool micro) {
  std::string out = format(us, "%Y-%m-%dT%H-%M-%S");
  if (micro) {
    char f[12];
    std::snprintf(f, sizeof f, ".%06u", unsigned(us % kUsPerSecond));
    out += f;
  }
  return out;
}

std::string dayOf(uint64_t us) { return format(us, "%Y-%m-%d"); }

uint64_t dayStart(uint64_t us) {
  uint64_t start = 0;
  return parseDay(dayOf(us), &start) ? start : us - us % (86400 * kUsPerSecond);
}

std::string unixText(uint64_t us) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%llu.%06u", static_cast<unsigned long long>(us / kUsPerSecond),
                unsigned(us % kUsPerSecond));
  return buf;
}

}  // namespace rectime
