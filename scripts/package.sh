#!/usr/bin/env bash
# Builds the Debian package telvgate_<version>_<arch>.deb in build-deb/ (or the folder given
# as the first argument) and prints its path. Release build with Debian's hardening flags,
# installed under /usr, configuration under /etc.
#   scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${1:-build-deb}
mkdir -p "$build"
build=$(cd "$build" && pwd)

# The window's about text shows the build date on purpose: -Wno-date-time after Debian's flags.
flags=()
if command -v dpkg-buildflags >/dev/null; then
  flags+=("-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -Wno-date-time")
  flags+=("-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS) -Wno-date-time")
  flags+=("-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now")
  flags+=("-DCMAKE_SHARED_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now")
fi

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_SYSCONFDIR=/etc -DTELVGATE_BUILD_TESTS=OFF -DTELVGATE_BUILD_BENCH=OFF \
  "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^project(TelvGate VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
deb="$build/telvgate_${version}_$(dpkg --print-architecture).deb"
test -f "$deb"
echo "$deb"
