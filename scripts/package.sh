#!/usr/bin/env bash
# Builds the Debian package: a Release build (in build-pkg/, or $VELMORA_PKG_BUILD_DIR) with
# Debian's hardening flags, installed under /usr and packed by CPack's DEB generator.
# Prints the path of the .deb as its last line.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_PKG_BUILD_DIR:-$root/build-pkg}
"$root/scripts/deps.sh" package >&2

# The compiler and linker flags every Debian package is built with (hardening included). The
# file prefix map that keeps the build folder out of the program is CMake's own: a flag string
# cannot hold a folder with a blank in its name.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=-fixfilepath,-fixdebugpath"
flags() { dpkg-buildflags --get "$1"; }
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVELMORA_BUILD_TESTS=OFF -DVELMORA_SANITIZE= -DVELMORA_MAP_SOURCE_PREFIX=ON \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >&2
cmake --build "$build" -j2 >&2
rm -f "$build"/velmora_*.deb
(cd "$build" && cpack -G DEB >&2)
deb=$(ls "$build"/velmora_*.deb)
echo "$deb"
