#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs one of them from its corpus.
#   scripts/fuzz.sh TARGET [SECONDS]   (default 60 s; TARGET a name of tests/fuzz/targets.def)
#   scripts/fuzz.sh --build            builds every target, runs none
#   scripts/fuzz.sh --run TARGET [SECONDS]   runs an already built target
#   scripts/fuzz.sh --list
# Extra libFuzzer options may follow SECONDS (for example -runs=10000000 -timeout=600).
# New interesting inputs go to build-fuzz/corpus/TARGET (the committed corpus is only read);
# a fault's input is written as build-fuzz/fault-TARGET-*: fix the fault, then copy the input
# into tests/fuzz/corpus/TARGET so the normal suite keeps checking it.
set -euo pipefail
cd "$(dirname "$0")/.."
# The one list of targets; CMakeLists.txt builds fuzz_<name> for each of its lines.
targets() { sed -n 's/^FUZZ_TARGET(\([a-z0-9_]*\),.*/\1/p' tests/fuzz/targets.def; }
if [ "${1:-}" = "--list" ]; then targets; exit 0; fi

build() {  # targets...
  bash scripts/install-deps.sh
  cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVGATE_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTELVGATE_BUILD_TESTS=OFF -DTELVGATE_BUILD_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j"$(nproc)" --target "$@"
}
if [ "${1:-}" = "--build" ]; then
  build $(targets | sed 's/^/fuzz_/')
  exit 0
fi
run_only=false
if [ "${1:-}" = "--run" ]; then run_only=true; shift; fi
target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS]}
seconds=${2:-60}
shift $(( $# < 2 ? $# : 2 ))
targets | grep -qx -- "$target" || { echo "unknown target '$target' (scripts/fuzz.sh --list)" >&2; exit 2; }
$run_only || build "fuzz_$target"
mkdir -p "build-fuzz/corpus/$target"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
# Inputs up to 64 KB: room for several camera pictures or a long form, small enough for a
# loopback socket's buffer.
exec "build-fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build-fuzz/fault-$target-" \
  "$@" "build-fuzz/corpus/$target" "tests/fuzz/corpus/$target"
