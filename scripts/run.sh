#!/usr/bin/env bash
# Installs what is needed, builds and starts TelvGate. Without arguments the configuration
# server listens on all interfaces, port 8080 (http://localhost:8080/configure, login
# admin / qatrel); any arguments are passed to telvgate as they are.
# The simulated frame-grabber library (libfalcon.so) is built beside telvgate, where TelvGate
# looks first, so input 0 of board 0 is live at once; each analog channel prints its stream
# address when its socket is bound. For the demo every channel is also an RTSP stream
# (rtsp://HOST:8554/<channel>, the administrator's login): "RtspEnabled" is turned on in the
# settings unless they already hold a choice.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target telvgate fakecam
if [ $# -eq 0 ]; then
  set -- 0.0.0.0 8080
fi
# Demo settings, only when no settings file exists yet: the four analog inputs of the simulated
# board are switched on with fixed endpoint ports 8081 to 8084 (so the printed addresses stay
# the same across restarts) and the time on their pictures; input 0 records into demo-recordings/
# in the checkout. TelvGate itself lets the system choose ports otherwise.
settings="${HOME}/.foxrc/TELVORA/TelvGate"
if [ ! -e "$settings" ]; then
  mkdir -p "$(dirname "$settings")" demo-recordings
  port=8081
  for input in 0 1 3 4; do
    printf '[Channel 0 1 %s]\nCnlEnabled=true\nCnlIPPort=%s\nCnlOverlay=time\n' "$input" "$port"
    if [ "$input" = 0 ]; then
      printf 'CnlEventRecActive=true\nCnlEventRootPath=%s/demo-recordings\n' "$PWD"
    fi
    printf '\n'
    port=$((port + 1))
  done > "$settings"
  echo "Seeded $settings: analog inputs on ports 8081-8084, input 0 recording into $PWD/demo-recordings"
fi
if ! grep -q '^RtspEnabled=' "$settings" 2>/dev/null; then
  mkdir -p "$(dirname "$settings")"
  if grep -q '^\[System\]$' "$settings" 2>/dev/null; then
    sed -i 's/^\[System\]$/[System]\nRtspEnabled=true/' "$settings"
  else
    printf '[System]\nRtspEnabled=true\n\n' >>"$settings"
  fi
fi
exec build/telvgate "$@"
