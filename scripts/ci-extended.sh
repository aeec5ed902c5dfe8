#!/usr/bin/env bash
# The extended checks, for CI to call after the normal suite. Each step can also run alone:
#   scripts/ci-extended.sh [asan|tsan|fuzz|soak]...   (no argument: all four, in this order)
# Durations in a fresh clone on the 2-core development machine, compiler cache empty (warm:
# a second fresh clone with the cache the first left):
#   asan  AddressSanitizer + UBSan build and suite (scripts/test.sh --sanitize): 464 s (186 s)
#   tsan  ThreadSanitizer build and suite (scripts/test.sh --tsan): 327 s (152 s)
#   fuzz  every libFuzzer target for FUZZ_SECONDS (default 20) from its corpus, FUZZ_JOBS
#         (default: the processor count) at a time, one core each: about 170 s once built
#   soak  the real program under load for SOAK_MINUTES (default 2), table in
#         build/soak-table.md: 126 s when build/ is current
set -euo pipefail
cd "$(dirname "$0")/.."
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan fuzz soak)
for step in "${steps[@]}"; do
  start=$(date +%s)
  case "$step" in
    asan) bash scripts/test.sh --sanitize ;;
    tsan) bash scripts/test.sh --tsan ;;
    fuzz)
      bash scripts/fuzz.sh --build
      mkdir -p build-fuzz/logs
      # A run's output goes to its log, shown when the run fails; xargs fails when any did.
      bash scripts/fuzz.sh --list | xargs -P "${FUZZ_JOBS:-$(nproc)}" -I{} bash -c \
        'if bash scripts/fuzz.sh --run {} "$0" >build-fuzz/logs/{}.log 2>&1; then
           echo "fuzz {}: $(grep -o "stat::number_of_executed_units: [0-9]*" build-fuzz/logs/{}.log)"
         else echo "fuzz {} FAILED:"; tail -40 build-fuzz/logs/{}.log; exit 1; fi' \
        "${FUZZ_SECONDS:-20}"
      ;;
    soak) mkdir -p build && bash bench/soak.sh "${SOAK_MINUTES:-2}" build/soak-table.md ;;
    *) echo "unknown step '$step'" >&2; exit 2 ;;
  esac
  echo "ci-extended: $step took $(( $(date +%s) - start )) s"
done
