#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test.
# Idempotent: when everything is present it returns after one dpkg query.
# Not listed: what every Debian 12 system has (the Essential and "required" packages: bash,
# coreutils, findutils, grep, sed, mawk, gzip, dpkg, apt), which the scripts use as well.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config          # compiler and build system
  ccache                                    # faster rebuilds
  libfox-1.6-dev                            # GUI toolkit: settings registry, threads, main window
  googletest libgtest-dev libgmock-dev      # unit tests
  libbenchmark-dev                          # benchmarks under bench/
  libjpeg62-turbo-dev                       # RTSP: lossless re-coding to standard tables; reference codec in tests
  lomiri-wallpapers-16.04                   # photographs: the encoder benchmark's camera-like input
  curl ffmpeg                               # real stream clients in tests
  xvfb x11-apps imagemagick xdotool         # window test under a virtual display, screenshots
  chromium                                  # browser test of the configuration pages
  xdg-utils                                 # "open URL" from the main window
  procps psmisc                             # pgrep/kill in black-box tests
  python3                                   # bench/soak.sh: free ports, 200 viewers, the flatness check
  man-db                                    # the install test renders the man page (man -l)
  clang libclang-rt-14-dev                  # libFuzzer targets (scripts/fuzz.sh)
  motion                                    # peer MJPEG server the endpoint benchmark compares with
  dpkg-dev fakeroot lintian                 # Debian package: shlibdeps, checks (scripts/package.sh)
  systemd                                   # systemd-analyze verify of the service unit
  prometheus                                # promtool checks the /metrics exposition format
  fail2ban                                  # fail2ban-regex checks the failed-login filter in the tests
  nginx                                     # TLS in front of the endpoint: bench_tls compares with it
  libxml2-dev                               # ONVIF service: SOAP parsing (entities off, size-limited)
  libssl-dev                                # ONVIF login digests; HTTPS of the configuration pages; SHA-256 of exports
  libavformat-dev libavcodec-dev            # recording exports: MKV and AVI muxing of the recorded JPEGs
  libzip-dev                                # recording exports: ZIP archives of the recorded pictures
  unzip                                     # export tests: unzip -t checks the archives
  iproute2                                  # ONVIF tests: loopback-only network namespace for discovery
  onvif-tools                               # ONVIF tests: onvif-util, a real discovery and media client
  nodejs                                    # ONVIF tests: runs the npm "onvif" client (tests/onvif-node)
  gstreamer1.0-tools gstreamer1.0-plugins-good  # RTSP tests: gst-launch-1.0 rtspsrc/rtpjpegdepay/jpegdec
  gir1.2-gst-rtsp-server-1.0 python3-gi     # RTSP benchmark: the server bench_rtsp compares with
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Debian's nodejs comes without npm (a nodejs of NodeSource's brings its own).
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The npm "onvif" client of the ONVIF tests, exactly as pinned by its package-lock.json; again
# only when the lock changed since the last install.
node_dir=$(dirname "$0")/../tests/onvif-node
if [ ! -f "$node_dir/node_modules/.package-lock.json" ] ||
   [ "$node_dir/package-lock.json" -nt "$node_dir/node_modules/.package-lock.json" ]; then
  (cd "$node_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi
