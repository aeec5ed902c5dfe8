#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test.
# Idempotent: when everything is present it returns after one dpkg query.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config          # compiler and build system
  ccache                                    # faster rebuilds
  libfox-1.6-dev                            # GUI toolkit: settings registry, threads, main window
  googletest libgtest-dev libgmock-dev      # unit tests
  libbenchmark-dev                          # benchmarks under bench/
  libjpeg62-turbo-dev                       # reference decoder/encoder in tests and benchmarks
  lomiri-wallpapers-16.04                   # photographs: the encoder benchmark's camera-like input
  curl ffmpeg                               # real stream clients in tests
  xvfb x11-apps imagemagick xdotool         # window test under a virtual display, screenshots
  chromium                                  # browser test of the configuration pages
  xdg-utils                                 # "open URL" from the main window
  procps psmisc                             # pgrep/kill in black-box tests
  clang libclang-rt-14-dev                  # libFuzzer targets (scripts/fuzz.sh)
  motion                                    # peer MJPEG server the endpoint benchmark compares with
  dpkg-dev fakeroot lintian                 # Debian package: shlibdeps, checks (scripts/package.sh)
  systemd                                   # systemd-analyze verify of the service unit
  prometheus                                # promtool checks the /metrics exposition format
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
