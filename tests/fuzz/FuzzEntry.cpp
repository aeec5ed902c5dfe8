// libFuzzer entry point of one target; TELVGATE_FUZZ_CHECK names its check function.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/checks/FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault = fuzzcheck::TELVGATE_FUZZ_CHECK(data, size);
  if (!fault.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
