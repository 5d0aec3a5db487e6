#!/usr/bin/env bash
# Installs what is missing, builds, and runs Velmora (arguments are passed on, e.g. -d).
# With no display at hand it starts the headless X server the tests use, with a tray host.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" run
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target velmora

pids=()
state="$build/run-xserver"
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -f "$state/pid" ] && "$root/scripts/xserver.sh" stop "$state" >/dev/null
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || ! xrandr --current >/dev/null 2>&1; then
  VELMORA_REQUIRE_XSERVER=1 "$root/scripts/xserver.sh" start "$state" >/dev/null
  export DISPLAY=$(cat "$state/display")
  trayer --edge bottom --align right --widthtype request --height 32 >/dev/null 2>&1 &
  pids+=($!)
  echo "No display found: started a headless X server on $DISPLAY (Xorg, dummy driver) with a"
  echo "tray host (trayer). Look at it with: DISPLAY=$DISPLAY import -window root shot.png"
  echo "Change its mode from outside with: DISPLAY=$DISPLAY xrandr --output DUMMY0 --mode 800x600_60"
fi
"$build/velmora" "$@"
