#!/usr/bin/env bash
# A real Mutter on a test X server, in a session bus of its own, for the GNOME tests.
#   mutter.sh start DIR x11|nested XSERVER_DIR [MONITORS]
#       x11:    Mutter as the X server's window manager; its DisplayConfig drives RandR.
#       nested: Mutter as a nested Wayland compositor (a window on the X server) with
#               MONITORS (default two) fake monitors whose modes are fixed below; XWayland
#               starts on demand.
#     DIR/bus gets the bus address, DIR/runtime is XDG_RUNTIME_DIR, DIR/wayland the Wayland
#     display, DIR/xwayland and DIR/xauthority XWayland's DISPLAY and XAUTHORITY (nested),
#     DIR/dbus.pid and DIR/mutter.pid the PIDs. When Mutter cannot run
#     here, DIR/skip gets the reason and the command still succeeds, unless
#     VELMORA_REQUIRE_XSERVER=1.
#   mutter.sh stop DIR           stop Mutter and the bus by their PIDs.
#   mutter.sh kill-mutter DIR    stop Mutter only (the bus stays).
#   mutter.sh start-mutter DIR   start Mutter again on the same bus, as it was started.
set -u
cmd=${1:?start|stop|kill-mutter|start-mutter}
dir=${2:?state directory}

fail() {
  echo "$1" > "$dir/skip"
  echo "mutter: $1" >&2
  [ "${VELMORA_REQUIRE_XSERVER:-0}" = 1 ] && exit 1
  exit 0
}

# Stops the process whose PID FILE holds, if it is still the NAME that was started there
# (a PID left from an earlier run may belong to somebody else by now).
stop_pid() {
  local file=$1 name=$2
  [ -f "$file" ] || return 0
  local pid
  pid=$(cat "$file")
  if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] && kill "$pid" 2>/dev/null; then
    for _ in $(seq 1 200); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null
  fi
  rm -f "$file"
}

name_owned() {
  DBUS_SESSION_BUS_ADDRESS=$(cat "$dir/bus") gdbus call --session --dest org.freedesktop.DBus \
    --object-path /org/freedesktop/DBus --method org.freedesktop.DBus.NameHasOwner \
    org.gnome.Mutter.DisplayConfig 2>/dev/null | grep -q true
}

start_mutter() {
  local kind display
  kind=$(cat "$dir/kind")
  display=$(cat "$dir/display")
  local args=(--x11 --replace)
  local env=()
  # A test may put a system-wide monitors.xml (GNOME's policy) here before starting Mutter.
  [ -d "$dir/system-config" ] && env+=(XDG_CONFIG_DIRS="$dir/system-config")
  local settings=memory
  if [ "$kind" = nested ]; then
    args=(--nested --wayland --wayland-display=velmora-wayland)
    # The logical layout (sizes are mode size / scale), as on a GNOME session with fractional
    # scaling; the X11 host has the physical one.
    mkdir -p "$dir/config/glib-2.0/settings"
    printf "[org/gnome/mutter]\nexperimental-features=['scale-monitor-framebuffer']\n" \
      > "$dir/config/glib-2.0/settings/keyfile"
    settings=keyfile
    env+=(MUTTER_DEBUG_DUMMY_MODE_SPECS=1920x1080@60:1920x1080@59.94:1280x720@60:1024x768@60:1920x1080@24:1920x1080@23.976
         MUTTER_DEBUG_NUM_DUMMY_MONITORS="$(cat "$dir/monitors" 2>/dev/null || echo 2)")
    echo velmora-wayland > "$dir/wayland"
  fi
  env -u WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS="$(cat "$dir/bus")" XDG_RUNTIME_DIR="$dir/runtime" \
      DISPLAY="$display" XDG_CONFIG_HOME="$dir/config" GSETTINGS_BACKEND=$settings "${env[@]}" \
      mutter "${args[@]}" >>"$dir/mutter.log" 2>&1 </dev/null &
  local pid=$!
  echo "$pid" > "$dir/mutter.pid"
  for _ in $(seq 1 300); do
    if name_owned; then
      if [ "$kind" = nested ]; then
        # XWayland, started on demand: the display a GNOME Wayland session's DISPLAY names.
        sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$dir/mutter.log" | tail -n 1 > "$dir/xwayland"
        ls "$dir/runtime"/.mutter-Xwaylandauth.* 2>/dev/null | head -n 1 > "$dir/xauthority"
      fi
      echo "mutter: $kind on $display ready (pid $pid)"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  tail -n 20 "$dir/mutter.log" >&2
  stop_pid "$dir/mutter.pid" mutter
  return 1
}

case "$cmd" in
start)
  kind=${3:?x11|nested}
  xdir=${4:?X server state directory}
  monitors=${5:-2}
  # One host per directory: a previous one still running is stopped first.
  stop_pid "$dir/mutter.pid" mutter
  stop_pid "$dir/dbus.pid" dbus-daemon
  mkdir -p "$dir"
  rm -rf "$dir/skip" "$dir/bus" "$dir/wayland" "$dir/xwayland" "$dir/xauthority" "$dir/runtime" "$dir/config" "$dir/system-config" \
         "$dir/mutter.log"
  [ -f "$xdir/skip" ] && fail "no test X server: $(cat "$xdir/skip")"
  [ -f "$xdir/display" ] || fail "no test X server (run the tests through ctest)"
  command -v mutter >/dev/null || fail "mutter is not installed (scripts/deps.sh test)"
  command -v dbus-daemon >/dev/null || fail "dbus-daemon is not installed (scripts/deps.sh test)"
  command -v gdbus >/dev/null || fail "gdbus is not installed (libglib2.0-bin)"
  echo "$kind" > "$dir/kind"
  echo "$monitors" > "$dir/monitors"
  cp "$xdir/display" "$dir/display"
  mkdir -p "$dir/runtime" "$dir/config"
  chmod 700 "$dir/runtime"
  chmod 700 "$dir/runtime"
  out=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 </dev/null) \
    || fail "dbus-daemon did not start"
  echo "$out" | sed -n 1p > "$dir/bus"
  echo "$out" | sed -n 2p > "$dir/dbus.pid"
  if ! start_mutter; then
    stop_pid "$dir/dbus.pid" dbus-daemon
    fail "mutter ($kind) did not start (see $dir/mutter.log)"
  fi
  ;;
stop)
  stop_pid "$dir/mutter.pid" mutter
  stop_pid "$dir/dbus.pid" dbus-daemon
  rm -f "$dir/bus"
  echo "mutter: stopped"
  ;;
kill-mutter)
  stop_pid "$dir/mutter.pid" mutter
  ;;
start-mutter)
  start_mutter
  ;;
*)
  echo "usage: $0 start DIR x11|nested XSERVER_DIR [MONITORS] | stop DIR | kill-mutter DIR | start-mutter DIR" >&2
  exit 2
  ;;
esac
