#!/usr/bin/env bash
# Builds, once, a trimmed Qt for Windows (x86_64-w64-mingw32, posix threads) from Debian's own
# source of the Qt the Linux build uses, and prints its prefix as the last line.
#   qt-windows.sh            build if not cached; print the prefix
#   qt-windows.sh --check    print the prefix if it is cached, else fail (builds nothing)
# The result lives outside the checkout, in $VELMORA_CACHE_DIR (default
# ${XDG_CACHE_HOME:-~/.cache}/velmora), keyed by the Qt version and the options below, so later
# runs and CI on the same machine take seconds. The first build takes about 35 minutes on 2 cores.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cache=${VELMORA_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/velmora}
target=x86_64-w64-mingw32
jobs=${VELMORA_JOBS:-2}

log() { echo "qt-windows: $*" >&2; }

# Debian's host Qt provides moc, rcc, uic: host and target versions must match exactly.
"$here/deps.sh" build >&2
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
qt_version=${host_version%%+*}

# Everything the build leaves out. What Velmora needs: Core, Gui, Widgets, Network (the single
# instance's local socket), Test, the qwindows and qoffscreen platforms, the windowsvista style.
options=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_pkg_config=OFF -DFEATURE_tabletevent=OFF
  -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF
  -DFEATURE_icu=OFF -DFEATURE_zstd=OFF -DFEATURE_dbus=OFF -DFEATURE_sql=OFF
  -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_xml=OFF
  -DFEATURE_ssl=OFF -DFEATURE_openssl=OFF -DFEATURE_schannel=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF
  # direct2d builds the platform plugin a second time; without directwrite3 the GDI font
  # engine draws the text.
  -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF
)
key=$(printf '%s\n' "$qt_version" "${options[@]}" "v1" | sha256sum | cut -c1-12)
prefix=$cache/qt-$qt_version-$target-$key

# Qt's own translations (qttranslations is not built): Debian's, which do not depend on the
# platform, where a Qt installation keeps them, for programs run from their build folder.
add_translations() {
  mkdir -p "$prefix/translations"
  cp -u /usr/share/qt6/translations/qtbase_*.qm "$prefix/translations/"
}

if [ -f "$prefix/.complete" ]; then
  add_translations
  echo "$prefix"
  exit 0
fi
[ "${1:-}" = --check ] && { log "no Qt for Windows in $prefix"; exit 1; }

if [ "$(id -u)" != 0 ]; then
  log "the first build installs Debian packages and needs root"
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
packages=(g++-mingw-w64-x86-64-posix dpkg-dev ninja-build perl python3)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get -o DPkg::Lock::Timeout=600 update -q >&2
  apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}" >&2
fi

work=$cache/work-$qt_version-$key
rm -rf "$work"
mkdir -p "$work"
started=$(date +%s)

# Debian's source of exactly the host version, through a sources list of this build's own:
# the machine's apt configuration is left as it was.
apt_dir=$work/apt
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && sed -e 's/^Types:.*$/Types: deb-src/' "$f" >"$apt_dir/parts/$(basename "$f")"
done
if [ -f /etc/apt/sources.list ]; then
  sed -n -e 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list >"$apt_dir/parts/sources.list"
fi
private_apt=(-o "Dir::Etc::SourceList=$apt_dir/parts/sources.list"
             -o "Dir::Etc::SourceParts=$apt_dir/parts"
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
touch "$apt_dir/parts/sources.list"
log "reading Debian's source packages into $apt_dir"
apt-get "${private_apt[@]}" update -q >&2
(cd "$work" && apt-get "${private_apt[@]}" source -q "qt6-base=$host_version" >&2)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
[ -n "$src" ] || { log "apt-get source left no qt6-base-* folder in $work"; exit 1; }

# Inside the prefix: Qt's own toolchain file loads it on every later build of an app.
mkdir -p "$prefix"
toolchain=$prefix/mingw-toolchain.cmake
cat >"$toolchain" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $target-gcc-posix)
set(CMAKE_CXX_COMPILER $target-g++-posix)
set(CMAKE_RC_COMPILER $target-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$target)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF

# Every library Qt could take from the system is taken from its own bundled copy.
system_off=()
for name in $(grep -rhoE 'qt_feature\("system-[a-z0-9_-]+"' "$src" --include=configure.cmake |
              sed -E 's/.*"system-([^"]+)"/\1/' | sort -u); do
  system_off+=("-DFEATURE_system_${name//-/_}=OFF")
done

log "configuring Qt $qt_version for $target in $work/build"
cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  "${options[@]}" "${system_off[@]}" >"$work/configure.log" 2>&1 ||
  { tail -n 40 "$work/configure.log" >&2; log "configure failed (see $work/configure.log)"; exit 1; }
log "building with $jobs jobs (about 35 minutes on 2 cores)"
cmake --build "$work/build" -j "$jobs" >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log" >&2; log "build failed (see $work/build.log)"; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
  { tail -n 20 "$work/install.log" >&2; log "install failed"; exit 1; }
add_translations
touch "$prefix/.complete"
log "Qt $qt_version for $target built in $(( ($(date +%s) - started) / 60 )) min"
rm -rf "$work"
echo "$prefix"
