#!/usr/bin/env bash
# The GNOME benchmark: on both Mutter hosts of the tests (Mutter as the window manager of a
# headless X server, and nested as a Wayland compositor), restore latency after a foreign
# DisplayConfig switch for Velmora and for a reference holder that polls GetCurrentState every
# 20 ms, in the same run; CPU time of Velmora and of Mutter while locked and idle. Leaves every
# sample in build-bench/results/gnome.json; bench/report.py then writes the "GNOME" section of
# docs/benchmarks.md. About 5 minutes; not run by CI. Needs root (Xorg).
#
#   bench/gnome.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_BENCH_OUT (default
# docs/benchmarks.md), VELMORA_BENCH_QUICK=1 for a short run that checks the script.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init gnome
switches=20
cpu_seconds=30
if [ "$quick" = 1 ]; then switches=3 cpu_seconds=5; fi

"$root/scripts/deps.sh" test >/dev/null

log "building in $build"
bench_build -- -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= -- velmora velmora_gnomewatch
velmora=$build/velmora
watch=$build/bench/velmora_gnomewatch

rm -rf "$work"
mkdir -p "$work"
trap bench_cleanup EXIT
host_start xserver.sh "$work/xserver"
host_start mutter.sh "$work/x11" x11 "$work/xserver"
host_start mutter.sh "$work/nested" nested "$work/xserver"
xdisplay=$(cat "$work/xserver/display")

# Velmora's environment on a host: $1 = x11 (backend forced or chosen) or nested.
velmora_env() {
  local host=$1 dir=$2 home=$3
  mkdir -p "$home/run" && chmod 700 "$home/run"
  local common=(HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run"
                DBUS_SESSION_BUS_ADDRESS="$(cat "$dir/bus")")
  if [ "$host" = nested ]; then
    echo "${common[@]}" WAYLAND_DISPLAY="$dir/runtime/$(cat "$dir/wayland")" DISPLAY="$(cat "$dir/xwayland")" \
      XAUTHORITY="$(cat "$dir/xauthority")" XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME QT_QPA_PLATFORM=wayland
  else
    echo "${common[@]}" DISPLAY="$xdisplay" XDG_SESSION_TYPE=x11 XDG_CURRENT_DESKTOP=GNOME QT_QPA_PLATFORM=xcb
  fi
}

start_velmora() { # host dir home extra-env... ; prints the PID
  local host=$1 dir=$2 home=$3
  shift 3
  # shellcheck disable=SC2046
  env -u VELMORA_FAKE_DISPLAY -u VELMORA_DISPLAY_BACKEND $(velmora_env "$host" "$dir" "$home") "$@" \
    "$velmora" -d >"$home/velmora.log" 2>&1 &
  local pid=$!
  for _ in $(seq 1 200); do
    [ -f "$home/velmora.log" ] && grep -q "msec:" "$home/velmora.log" && { echo "$pid"; return; }
    sleep 0.05
  done
  die "Velmora did not lock on $host (see $home/velmora.log)"
}

run_host() { # name dir locked foreign
  local host=$1 dir=$2 locked=$3 foreign=$4
  local bus mutter_pid
  bus=$(cat "$dir/bus")
  mutter_pid=$(cat "$dir/mutter.pid")
  "$watch" restore "$bus" "$locked" "$locked" 1 >/dev/null 2>&1 || true

  log "$host: Mutter idle, nothing attached"
  cpu_over "$cpu_seconds" "$work/$host-cpu-idle.txt" "$mutter_pid"

  log "$host: Velmora (GNOME backend) locked"
  local pid
  pid=$(start_velmora "$host" "$dir" "$work/home-$host" VELMORA_DISPLAY_BACKEND=gnome)
  started+=("$pid")
  "$watch" restore "$bus" "$locked" "$foreign" "$switches" >"$work/$host-velmora.txt"
  cpu_over "$cpu_seconds" "$work/$host-cpu-velmora.txt" "$pid" "$mutter_pid"
  kill "$pid"; wait "$pid" 2>/dev/null || true

  if [ "$host" = x11 ]; then
    log "$host: Velmora, platform chosen automatically (RandR)"
    pid=$(start_velmora "$host" "$dir" "$work/home-$host-auto")
    started+=("$pid")
    "$watch" restore "$bus" "$locked" "$foreign" "$switches" >"$work/$host-auto.txt"
    kill "$pid"; wait "$pid" 2>/dev/null || true
    record --rows "$host-auto=$work/$host-auto.txt"
  fi

  log "$host: reference holder, GetCurrentState every 20 ms"
  "$watch" hold "$bus" "$locked" 20 &
  pid=$!
  started+=("$pid")
  sleep 1
  "$watch" restore "$bus" "$locked" "$foreign" "$switches" >"$work/$host-reference.txt"
  cpu_over "$cpu_seconds" "$work/$host-cpu-reference.txt" "$pid" "$mutter_pid"
  kill "$pid"; wait "$pid" 2>/dev/null || true

  local k
  for k in velmora reference; do record --rows "$host-$k=$work/$host-$k.txt"; done
  for k in idle velmora reference; do record --rows "$host-cpu-$k=$work/$host-cpu-$k.txt"; done
}

run_host x11 "$work/x11" 1024x768@60 800x600@60,1400x900@60
run_host nested "$work/nested" 1920x1080@60 1280x720@60,1920x1080@59

record switches="$switches" cpu_seconds="$cpu_seconds" raw="$work" \
  mutter="$(dpkg-query -W -f='${Version}' mutter)"
bench_cleanup
trap - EXIT
bench_write
bench_report
