#include "tests/fuzz/checks/FuzzChecks.h"

#include <cstdlib>
#include <ftw.h>
#include <unistd.h>

namespace fuzzcheck {

const std::vector<Target>& targets() {
  static const std::vector<Target> all = {
#define FUZZ_TARGET(name, check) {#name, check},
#include "tests/fuzz/targets.def"
#undef FUZZ_TARGET
  };
  return all;
}

namespace {
std::string g_scratch;
void removeScratch() {
  if (g_scratch.empty()) return;
  nftw(g_scratch.c_str(),
       [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

// Several checks rewrite a file for every input. On a disk file system that truncating costs a
// wait for the device (with "discard" it is a synchronous trim), which held those targets to a
// few hundred inputs a second; a memory file system answers at once.
std::string scratchParent() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp && *tmp) return tmp;
  if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  return "/tmp";
}
}  // namespace

const std::string& scratchDir() {
  if (g_scratch.empty()) {
    std::string templ = scratchParent() + "/telvgate-fuzz-XXXXXX";
    if (mkdtemp(&templ[0])) {
      g_scratch = templ;
      std::atexit(removeScratch);
    } else {
      g_scratch = "/tmp";
    }
  }
  return g_scratch;
}

}  // namespace fuzzcheck
