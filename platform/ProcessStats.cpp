#include "platform/ProcessStats.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>

namespace platform {

ProcessStats readProcessStats() {
  ProcessStats s;
  FILE* status = std::fopen("/proc/self/status", "re");
  if (!status) return s;
  char line[256];
  bool threads = false, rss = false;
  while (std::fgets(line, sizeof line, status)) {
    unsigned long long v = 0;
    if (std::sscanf(line, "Threads: %llu", &v) == 1) {
      s.threads = v;
      threads = true;
    } else if (std::sscanf(line, "VmRSS: %llu kB", &v) == 1) {
      s.residentBytes = v * 1024;
      rss = true;
    }
  }
  std::fclose(status);
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return s;
  uint64_t n = 0;
  while (dirent* e = readdir(fds))
    if (e->d_name[0] != '.') ++n;
  closedir(fds);
  s.openFds = n > 0 ? n - 1 : 0;  // the listing's own descriptor is not the process's
  s.ok = threads && rss;
  return s;
}

}  // namespace platform
