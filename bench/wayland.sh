#!/usr/bin/env bash
# The wlroots benchmark: on the phoc host of the tests (headless, HEADLESS-1 at the origin),
# restore latency after another client's zwlr_output_manager_v1 switch for Velmora (a Wayland
# client of phoc, wlroots backend) and for a reference holder that reads the head every 20 ms,
# in the same run; CPU time of each holder and of phoc while locked and idle. Leaves every
# sample in build-bench/results/wayland.json; bench/report.py then writes the "wlroots (phoc)"
# section of docs/benchmarks.md. About 3 minutes; not run by CI.
#
#   bench/wayland.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_BENCH_OUT (default
# docs/benchmarks.md), VELMORA_BENCH_QUICK=1 for a short run that checks the script.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init wayland
switches=20
cpu_seconds=30
if [ "$quick" = 1 ]; then switches=3 cpu_seconds=5; fi
locked=1280x720@60
foreign=1024x768@60,800x600@60
interval=1000

"$root/scripts/deps.sh" test >/dev/null

log "building in $build"
bench_build -- -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= -- velmora velmora_wlrwatch
velmora=$build/velmora
watch=$build/bench/velmora_wlrwatch

rm -rf "$work"
mkdir -p "$work"
trap bench_cleanup EXIT
load_before=$(loadavg)
VELMORA_HEADLESS_OUTPUTS=3 host_start wayland-host.sh "$work/phoc" phoc
socket=$(cat "$work/phoc/wayland")
phoc_pid=$(cat "$work/phoc/pid")

# One restore series against whatever holds the mode now, into NAME.txt (stderr in NAME.err);
# HEAD,HEAD: those heads switched in one configuration instead of the one at the origin.
series() {
  "$watch" restore "$socket" "$locked" "$foreign" "$switches" ${2:+"$2"} >"$work/$1.txt" 2>"$work/$1.err" ||
    log "$1: the series ended early: $(tail -n 1 "$work/$1.err")"
}

# Velmora as a Wayland client of phoc, in a home of its own (home-NAME) with the poll interval
# set and HEAD,HEAD... stored as locked monitors; prints the PID once it holds them all.
start_velmora() {
  local home=$work/home-${1:-velmora} heads=${2:-}
  mkdir -p "$home/run" "$home/.config/Orvanne"
  chmod 700 "$home/run"
  printf '[Deamon]\nmsec=%d\n' "$interval" >"$home/.config/Orvanne/Velmora.conf"
  [ -z "$heads" ] || "$watch" store "$socket" "$home/.config/Orvanne/Velmora.conf" "$heads" 2>>"$work/store.err" ||
    die "cannot store $heads (see $work/store.err)"
  env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS -u VELMORA_FAKE_DISPLAY -u VELMORA_DISPLAY_BACKEND \
    HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run" WAYLAND_DISPLAY="$socket" \
    QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland "$velmora" -d >"$home/velmora.log" 2>&1 &
  local pid=$!
  local h held
  for _ in $(seq 1 200); do
    held=0
    grep -q "msec:" "$home/velmora.log" 2>/dev/null && held=1
    for h in ${heads//,/ }; do
      grep -q "^update($h):now=\([0-9][0-9]*\),locked=\1\$" "$home/velmora.log" || held=0
    done
    [ "$held" = 1 ] && { echo "$pid"; return; }
    sleep 0.05
  done
  die "Velmora did not lock ${heads:-} (see $home/velmora.log)"
}

log "phoc idle, nothing attached"
cpu_over "$cpu_seconds" "$work/cpu-idle.txt" "$phoc_pid"

log "Velmora locked ($interval ms poll)"
pid=$(start_velmora)
started+=("$pid")
# The mode it locked is the one in use at its start: the catalogue's entry for 1280x720 at 60 Hz.
grep -q "^0: 1280 720 32 60$" "$work/home-velmora/velmora.log" ||
  die "Velmora does not list HEADLESS-1's mode (see $work/home-velmora/velmora.log)"
series velmora
cpu_over "$cpu_seconds" "$work/cpu-velmora.txt" "$pid" "$phoc_pid"
stop_pid "$pid"

log "Velmora holding HEADLESS-1 and HEADLESS-2: one switched, then both at once"
pid=$(start_velmora two HEADLESS-2)
started+=("$pid")
series multi-one
series multi-two HEADLESS-1,HEADLESS-2
stop_pid "$pid"
log "CPU holding one and three heads, at once"
pid=$(start_velmora one)
pid3=$(start_velmora three HEADLESS-2,HEADLESS-3)
started+=("$pid" "$pid3")
cpu_over "$cpu_seconds" "$work/cpu-multi.txt" "$pid" "$pid3"
stop_pid "$pid"
stop_pid "$pid3"

log "reference holder, reads every 20 ms"
"$watch" hold "$socket" "$locked" 20 &
pid=$!
started+=("$pid")
sleep 1
series reference
cpu_over "$cpu_seconds" "$work/cpu-reference.txt" "$pid" "$phoc_pid"
stop_pid "$pid"
load_after=$(loadavg)

bench_cleanup
trap - EXIT
record switches="$switches" cpu_seconds="$cpu_seconds" interval="$interval" locked="$locked" foreign="$foreign" \
  load_start="$load_before" load_end="$load_after" raw="$work" \
  phoc="$(dpkg-query -W -f='${Version}' phoc)" wlroots="$(dpkg-query -W -f='${Version}' libwlroots10)"
for k in velmora reference multi-one multi-two; do
  record --rows "$k=$work/$k.txt" --text "$k-err=$work/$k.err"
done
for k in idle velmora multi reference; do record --rows "cpu-$k=$work/cpu-$k.txt"; done
bench_write
bench_report
