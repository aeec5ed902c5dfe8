#!/usr/bin/env bash
# The whole check: the layer check, the normal suite (the README's test command), then the
# extended checks: the AddressSanitizer + UBSan suite, the ThreadSanitizer suite, every fuzz
# target for 20 s and a 2-minute soak. Any failing step fails the run. This is what CI runs
# (.ci/run).
#
# Two steps go beside others to stay within the time a CI machine gives: the fuzz targets'
# clang build runs at the lowest priority beside the sanitizer suites (it takes what their
# test phases leave idle), and the fuzz runs, niced below the soak, beside the soak, which
# mostly waits on its sockets.
set -euo pipefail
cd "$(dirname "$0")/.."
# The steps beside others get process groups of their own (set -m while they start), so a
# failing step ends them whole.
side=()
trap 'for p in "${side[@]}"; do kill -- -"$p" 2>/dev/null || true; done' EXIT
start=$(date +%s)
# First, as it takes a moment only: no include points up the layers (docs/design.md).
bash scripts/check-layers.sh
bash scripts/test.sh
echo "ci: normal suite took $(( $(date +%s) - start )) s"

mkdir -p build-fuzz
set -m
nice -n 19 bash scripts/fuzz.sh --build >build-fuzz/ci-build.log 2>&1 </dev/null &
fuzz_build=$!
set +m
side+=("$fuzz_build")
bash scripts/ci-extended.sh asan tsan
t=$(date +%s)
wait "$fuzz_build" || { tail -40 build-fuzz/ci-build.log; echo "ci: fuzz build FAILED"; exit 1; }
echo "ci: fuzz build finished $(( $(date +%s) - t )) s after the sanitizer suites"

set -m
nice -n 10 bash scripts/ci-extended.sh fuzz >build-fuzz/ci-fuzz.log 2>&1 </dev/null &
fuzz_runs=$!
set +m
side+=("$fuzz_runs")
soak_ok=true
bash scripts/ci-extended.sh soak || soak_ok=false
fuzz_ok=true
wait "$fuzz_runs" || fuzz_ok=false
cat build-fuzz/ci-fuzz.log
$fuzz_ok || echo "ci: fuzz FAILED"
$soak_ok || echo "ci: soak FAILED"
echo "ci: whole run took $(( $(date +%s) - start )) s"
$fuzz_ok && $soak_ok
