#!/usr/bin/env bash
# Installs what is needed, builds and starts TelvGate. Without arguments the configuration
# server listens on all interfaces, port 8080 (http://localhost:8080/configure, login
# admin / qatrel); any arguments are passed to telvgate as they are.
# The simulated frame-grabber library (libfalcon.so) is built beside telvgate, where TelvGate
# looks first, so input 0 of board 0 is live at once; each analog channel prints its stream
# address when its socket is bound.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target telvgate fakecam
if [ $# -eq 0 ]; then
  set -- 0.0.0.0 8080
fi
exec build/telvgate "$@"
