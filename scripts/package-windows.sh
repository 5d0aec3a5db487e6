#!/usr/bin/env bash
# Builds Velmora for Windows (x86-64, with the Qt for Windows of qt-windows.sh) in
# build-windows/ (or $VELMORA_WINDOWS_BUILD_DIR) and packs it twice: a portable folder in a zip,
# and an NSIS installer. Prints the paths of the zip and of the installer as its last two lines.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_WINDOWS_BUILD_DIR:-$root/build-windows}
"$root/scripts/deps.sh" windows >&2
qt=$("$root/scripts/qt-windows.sh" | tail -n 1)

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DVELMORA_SANITIZE= >&2
cmake --build "$build" -j2 --target velmora velmoractl >&2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=velmora-$version-windows-x64
stage=$build/stage/$name
rm -rf "$build/stage"
cmake --install "$build" --prefix "$stage" --strip >&2

zip=$build/$name.zip
rm -f "$zip"
(cd "$build/stage" && zip -q -r -9 -X "$zip" "$name")
setup=$build/velmora-$version-setup.exe
rm -f "$setup"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$setup" \
  "$root/resources/packaging/windows/velmora.nsi" >&2
echo "$zip"
echo "$setup"
