#!/usr/bin/env bash
# Starts or stops the headless X server (Xorg with the dummy video driver) used by the tests.
#   xserver.sh start DIR   start a server; DIR/display gets ":N", DIR/pid its PID.
#                          When Xorg cannot run here (not root), DIR/skip gets the reason and
#                          the command still succeeds, unless VELMORA_REQUIRE_XSERVER=1.
#   xserver.sh stop DIR    stop it by its PID and wait until it is gone.
set -u
cmd=${1:?start|stop}
dir=${2:?state directory}
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  echo "$1" > "$dir/skip"
  echo "xserver: $1" >&2
  [ "${VELMORA_REQUIRE_XSERVER:-0}" = 1 ] && exit 1
  exit 0
}

case "$cmd" in
start)
  mkdir -p "$dir"
  rm -f "$dir/skip" "$dir/display" "$dir/pid"
  command -v Xorg >/dev/null || skip "Xorg is not installed (xserver-xorg-core, xserver-xorg-video-dummy)"
  [ "$(id -u)" = 0 ] || skip "Xorg with the dummy driver needs root here (running as $(id -un))"
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xorg ":$n" -noreset -nolisten tcp -config "$here/xorg-dummy.conf" \
       -logfile "$dir/Xorg.log" >"$dir/Xorg.out" 2>&1 </dev/null &
  pid=$!
  echo "$pid" > "$dir/pid"
  for _ in $(seq 1 200); do
    if DISPLAY=":$n" xrandr --current >/dev/null 2>&1; then
      # An interlaced mode (87 Hz fields of a 43.5 Hz frame) and a double-scan one (60 Hz from
      # 120 Hz of lines), which the driver does not take from the configuration.
      DISPLAY=":$n" xrandr --newmode 1024x768_87i 44.90 1024 1032 1208 1264 768 768 776 817 +hsync +vsync Interlace \
        && DISPLAY=":$n" xrandr --addmode DUMMY0 1024x768_87i \
        && DISPLAY=":$n" xrandr --newmode 320x240_60d 12.59 320 336 384 400 240 245 246 262 -hsync -vsync DoubleScan \
        && DISPLAY=":$n" xrandr --addmode DUMMY0 320x240_60d \
        || echo "xserver: could not add the interlaced and double-scan modes" >&2
      echo ":$n" > "$dir/display"
      echo "xserver: Xorg :$n ready (pid $pid)"
      exit 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null
  tail -n 20 "$dir/Xorg.log" >&2 2>/dev/null
  skip "Xorg :$n did not start (see $dir/Xorg.log)"
  ;;
stop)
  [ -f "$dir/pid" ] || exit 0
  pid=$(cat "$dir/pid")
  if kill "$pid" 2>/dev/null; then
    for _ in $(seq 1 200); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null
  fi
  rm -f "$dir/pid" "$dir/display"
  echo "xserver: stopped (pid $pid)"
  ;;
*)
  echo "usage: $0 start|stop DIR" >&2
  exit 2
  ;;
esac
