#pragma once
// Invariant checks over arbitrary input bytes, one per parser. Each returns "" when every
// invariant held, else a text naming the broken one. The libFuzzer entry points (built with
// -DTELVGATE_FUZZ=ON) abort on a non-empty result; the corpus regression test of the normal
// suite feeds every stored corpus file to the same functions.
//
// Threads: one check at a time per process (they share process-wide state: the settings
// store, a loopback listener, a scratch folder).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzcheck {

using Check = std::string (*)(const uint8_t* data, size_t size);

// One check per line of tests/fuzz/targets.def.
#define FUZZ_TARGET(name, check) std::string check(const uint8_t* data, size_t size);
#include "tests/fuzz/targets.def"
#undef FUZZ_TARGET

struct Target {
  const char* name;  // also the corpus folder's name under tests/fuzz/corpus/
  Check check;
};
const std::vector<Target>& targets();

// A folder of its own below $TMPDIR (else /dev/shm, else /tmp), made once per process and
// removed at exit.
const std::string& scratchDir();

}  // namespace fuzzcheck
