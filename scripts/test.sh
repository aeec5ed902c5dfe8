#!/usr/bin/env bash
# Installs what is needed, builds and runs the whole test suite.
#   scripts/test.sh            normal build in build/
#   scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan [REGEX]  ThreadSanitizer build in build-tsan/; REGEX: only those tests
#                              (ctest -R); any race report fails the test it came from
# The sanitizer builds are -O1 with debug information and assertions (reports keep their
# lines; -O1 is the level the sanitizers' own manuals suggest). They leave out, each for its
# reason:
#   DebianPackage.*  builds a release tree of its own with Debian's flags (no sanitizer in
#                    it), which would only repeat the normal suite's run at the cost of a build
#   RtspClients.AHundredRtsp..., RtspClients.GstreamerDecodesAMinute...  a rate test of 200
#                    viewers at 10/s and a minute of real-time decoding: five to fifteen times
#                    slower, the channel cannot keep those rates, so they would measure the build
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/test.sh [--sanitize | --tsan [REGEX]]"
# Anything else is refused before any work: a mistyped option must not run the normal suite.
case "${1:-}" in
  "") ;;
  --sanitize) [ $# -eq 1 ] || { echo "$usage" >&2; exit 2; } ;;
  --tsan) [ $# -le 2 ] || { echo "$usage" >&2; exit 2; } ;;
  -h|--help) echo "$usage"; exit 0 ;;
  *) echo "scripts/test.sh: unknown option '$1'" >&2; echo "$usage" >&2; exit 2 ;;
esac
bash scripts/install-deps.sh
build=build
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
sanitized=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g"
           -DTELVGATE_BUILD_BENCH=OFF)
ctest_args=()
sanitizer_excluded='^DebianPackage\.|^RtspClients\.(AHundredRtsp|GstreamerDecodesAMinute)|^RecordingsTwoMinutes\.'
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  opts=("${sanitized[@]}" -DTELVGATE_SANITIZE=ON)
  ctest_args=(-E "$sanitizer_excluded")
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
fi
if [ "${1:-}" = "--tsan" ]; then
  build=build-tsan
  opts=("${sanitized[@]}" -DTELVGATE_TSAN=ON)
  ctest_args=(-E "$sanitizer_excluded")
  # Suppressions cover the toolkit's own internals only; see the reasons in the file.
  export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:exitcode=66:second_deadlock_stack=1"
  [ -n "${2:-}" ] && ctest_args+=(-R "$2")
fi
cmake -S . -B "$build" "${opts[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ "$build" = build ]; then
  # The package test's release tree, built here so that the test itself only brings it up to
  # date: from nothing it takes longer than a test may run.
  bash scripts/package.sh build/deb-test >/dev/null
fi
cd "$build"
if [ "$build" = build ]; then
  exec ctest --output-on-failure -j"$(nproc)" --timeout 300 "${ctest_args[@]}"
fi
# Sanitizer builds run five to fifteen times slower, and some tests bound how long things may
# take. A test that failed without any sanitizer report runs once more, alone, and the retry
# is named in the output; any sanitizer report fails the run, retried or not.
no_reports() {  # fails, showing it, on any sanitizer report in the last ctest run's output
  ! grep -E 'WARNING: ThreadSanitizer|ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:' \
    Testing/Temporary/LastTest.log || { echo "sanitizer report above"; return 1; }
}
if ctest --output-on-failure -j"$(nproc)" --timeout 300 "${ctest_args[@]}"; then
  no_reports
  exit
fi
no_reports
echo "retrying once, alone: $(tr '\n' ' ' < Testing/Temporary/LastTestsFailed.log)"
ctest --output-on-failure --timeout 300 --rerun-failed
no_reports
