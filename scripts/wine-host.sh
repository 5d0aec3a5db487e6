#!/usr/bin/env bash
# Starts or stops a Wine host for Windows programs: the headless test X server with a tray host
# (trayer), a wineserver of its own and a fresh Wine prefix.
#   wine-host.sh start DIR   DIR/env gets the variables to run programs there (wine-run.sh
#                            reads it); without Xorg or Wine, DIR/skip gets the reason and the
#                            command still succeeds, unless VELMORA_REQUIRE_XSERVER=1.
#   wine-host.sh stop DIR    stops wineserver, trayer and the X server by their PIDs.
set -u
cmd=${1:?start|stop}
dir=${2:?state directory}
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  echo "$1" >"$dir/skip"
  echo "wine-host: $1" >&2
  [ "${VELMORA_REQUIRE_XSERVER:-0}" = 1 ] && exit 1
  exit 0
}

stop_pid() {
  local file=$1 pid
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  kill "$pid" 2>/dev/null
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
  rm -f "$file"
}

case "$cmd" in
start)
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  rm -f "$dir/skip" "$dir/env"
  command -v wine >/dev/null && command -v wineserver >/dev/null || skip "Wine is not installed (wine, wine64)"
  "$here/xserver.sh" start "$dir/xserver" >&2 || exit 1
  [ -f "$dir/xserver/skip" ] && skip "$(cat "$dir/xserver/skip")"
  display=$(cat "$dir/xserver/display")
  # Wine rescales the screen's size in mm; a DPI set first keeps that from shrinking to nothing.
  DISPLAY=$display xrandr --dpi 96
  if command -v trayer >/dev/null; then
    DISPLAY=$display trayer --edge bottom --align right --widthtype request --height 32 \
      >"$dir/trayer.log" 2>&1 </dev/null &
    echo $! >"$dir/trayer.pid"
  fi
  prefix=$dir/prefix
  rm -rf "$prefix"
  # wineserver works in the prefix: without the folder it ends at once (wine then starts one
  # of its own, not stopped by PID).
  mkdir -p "$prefix"
  # Sourced by the steps: every value quoted as the shell reads it (a checkout path may hold a blank).
  {
    printf 'export DISPLAY=%q\n' "$display"
    printf 'export WINEPREFIX=%q\n' "$prefix"
  } >"$dir/env"
  cat >>"$dir/env" <<'ENV'
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WAYLAND_DISPLAY
ENV
  . "$dir/env"
  # A persistent wineserver of the host's own: every program shares it; it is stopped by PID.
  wineserver -f -p >"$dir/wineserver.log" 2>&1 </dev/null &
  echo $! >"$dir/wineserver.pid"
  t0=$(date +%s)
  if ! timeout 180 wine wineboot.exe --init >"$dir/wineboot.log" 2>&1 </dev/null; then
    tail -n 20 "$dir/wineboot.log" >&2
    "$0" stop "$dir"
    skip "wineboot could not create the Wine prefix (see $dir/wineboot.log)"
  fi
  # Wine hands no QT_* variable of Unix on to Windows programs: Qt's switch that sends the
  # debug lines to standard error (where the tests read them) is set in the prefix instead.
  wine reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null 2>&1 </dev/null
  echo "wine-host: prefix created in $(($(date +%s) - t0)) s on $display"
  ;;
stop)
  [ -d "$dir" ] || exit 0
  if [ -f "$dir/wineserver.pid" ]; then
    (. "$dir/env" 2>/dev/null && wineserver -k 2>/dev/null)
    stop_pid "$dir/wineserver.pid"
  fi
  stop_pid "$dir/trayer.pid"
  "$here/xserver.sh" stop "$dir/xserver" >/dev/null
  rm -rf "$dir/prefix"
  ;;
*)
  echo "usage: wine-host.sh start|stop DIR" >&2
  exit 2
  ;;
esac
