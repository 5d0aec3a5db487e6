#!/usr/bin/env bash
# The Windows program under Wine next to the Linux program, on one X server in one run: start
# to window and memory, CPU while locked, and restore latency after another program's switch
# (under Wine: another Windows program's ChangeDisplaySettingsExW; on X11: xrandr); then the
# Windows program with three outputs on: restore latency of one and of two held monitors
# switched at once, CPU while holding one and three. Leaves every sample in
# build-bench/results/wine.json; bench/report.py then writes the section "## Windows under Wine"
# of docs/benchmarks.md. About 10 minutes; not run by CI. Needs root for Xorg, like the tests.
#
#   bench/wine.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_WINDOWS_BUILD_DIR (default
# build-windows), VELMORA_BENCH_OUT (default docs/benchmarks.md), VELMORA_BENCH_QUICK=1 (few
# samples, written to build-bench/wine/benchmarks-quick.md unless VELMORA_BENCH_OUT says).
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init wine
wbuild=${VELMORA_WINDOWS_BUILD_DIR:-$root/build-windows}
switches=12 startup_runs=6 cpu_seconds=60
[ "$quick" = 1 ] && switches=3 startup_runs=2 cpu_seconds=10
locked_mode=1024x768_60
foreign_modes=800x600_60,1600x900_60,1024x768_75
interval=1000

# ---- Build --------------------------------------------------------------------------------
"$root/scripts/deps.sh" windows
log "building the Linux program and the benchmark tools in $build"
bench_build -- -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= -- velmora velmora_xwatch
log "building the Windows program in $wbuild"
mapfile -t packages < <(VELMORA_WINDOWS_BUILD_DIR=$wbuild "$root/scripts/package-windows.sh" | tail -n 2)
cmake --build "$wbuild" -j"${VELMORA_BENCH_JOBS:-2}" --target tst_win32display >/dev/null
linux_bin=$build/velmora
xwatch=$build/bench/velmora_xwatch
zip=${packages[0]}
export VELMORA_WINE_OTHER=$wbuild/tests/tst_win32display.exe

# ---- Host: the test X server with a tray host and a Wine prefix ------------------------------
rm -rf "$work"
mkdir -p "$work"
host=$work/host
trap bench_cleanup EXIT
host_start wine-host.sh "$host"
set -a
. "$host/env"
set +a
xorg_pid=$(cat "$host/xserver/pid")
unzip -q "$zip" -d "$WINEPREFIX/drive_c"
folder=$(basename "$zip" .zip)
win_exe="C:\\$folder\\velmora.exe"
output=DUMMY0
load0=$(loadavg)

set_locked() { xrandr --output "$output" --mode "$locked_mode"; }
linux_home=$(new_home)
# A program of a kind ("linux" or "windows") with its arguments, as a command line.
program() {
  if [ "$1" = linux ]; then
    home_env "$linux_home"
    echo env "${henv[@]}" QT_QPA_PLATFORM=xcb "$linux_bin"
  else
    echo wine "$win_exe"
  fi
}
# Started in the background; its PID in $vpid (env and wine exec the program in place).
start() {
  local kind=$1
  shift
  # shellcheck disable=SC2046
  QT_FORCE_STDERR_LOGGING=1 $(program "$kind") "$@" >"$work/$kind.out" 2>"$work/$kind.err" </dev/null &
  vpid=$!
  started+=("$vpid")
}
stop() { stop_pid "$vpid"; }
wait_locked() {
  for _ in $(seq 1 200); do
    grep -q '^update():' "$work/$1.err" 2>/dev/null && return 0
    sleep 0.05
  done
  die "$1: no lock tick seen (see $work/$1.err)"
}
wineserver_pid() { cat "$host/wineserver.pid"; }
# sample_cpu PID FILE: the program, wineserver and Xorg over $cpu_seconds (cpu_over's lines).
sample_cpu() {
  cpu_over "$cpu_seconds" "$2" "$1" "$(wineserver_pid)" "$xorg_pid"
  kill -0 "$1" 2>/dev/null || die "the program ended during the CPU series ($2)"
}

# ---- Start to window and memory ---------------------------------------------------------------
set_locked
for kind in linux windows; do
  log "start to window: $kind, 1 warm-up + $startup_runs runs"
  # shellcheck disable=SC2046
  "$xwatch" startup 2000 $(program "$kind") >/dev/null 2>"$work/startup-$kind.err" || die "startup $kind (see $work/startup-$kind.err)"
  : >"$work/startup-$kind.txt"
  for _ in $(seq 1 "$startup_runs"); do
    # shellcheck disable=SC2046
    "$xwatch" startup 2000 $(program "$kind") >>"$work/startup-$kind.txt" 2>>"$work/startup-$kind.err"
  done
done

# ---- CPU while locked -------------------------------------------------------------------------
for kind in linux windows; do
  log "CPU while locked over $cpu_seconds s: $kind"
  set_locked
  start "$kind" -d
  wait_locked "$kind"
  sleep 3
  sample_cpu "$vpid" "$work/cpu-$kind.txt"
  awk '/^VmRSS:/ { print $2 }' "/proc/$vpid/status" >"$work/rss-$kind.txt"

  # ---- Restore latency, while the same process holds the mode ----
  log "restore latency: $kind, $switches switches"
  if [ "$kind" = windows ]; then
    VELMORA_XWATCH_SWITCH=$root/bench/wine-switch.sh "$xwatch" restore "$output" "$locked_mode" "$interval" \
      "$switches" "$foreign_modes" >"$work/restore-$kind.txt"
  else
    "$xwatch" restore "$output" "$locked_mode" "$interval" "$switches" "$foreign_modes" >"$work/restore-$kind.txt"
  fi
  stop
done

# ---- Several monitors (the Windows program) ----------------------------------------------------
# As bench/run.sh: DUMMY1 and DUMMY2 on beside DUMMY0, each listing the locked and the foreign
# modes, DUMMY0 primary. Wine lists only the outputs that were on when its wineserver started:
# the host's is started anew.
log "several monitors"
load_multi0=$(loadavg)
set_locked
three_outputs "$output" "$locked_mode" "$foreign_modes"
wineserver -k
for _ in $(seq 1 100); do kill -0 "$(wineserver_pid)" 2>/dev/null || break; sleep 0.1; done
rm -f "$WINEPREFIX/drive_c/users/root/velmora.lock"
wineserver -f -p >>"$host/wineserver.log" 2>&1 </dev/null &
echo $! >"$host/wineserver.pid"
store='HKCU\Software\Orvanne\Velmora'
# hold_others DEVICE...: the devices held as the store keeps other monitors. The dummy driver
# publishes no EDID: no identity, the key is the connector without "\\.\".
hold_others() {
  local d key v w=${locked_mode%%x*} rest=${locked_mode#*x}
  wine reg delete "$store\\Monitors" /f >/dev/null 2>&1 || true
  for d in "$@"; do
    key="$store\\Monitors\\${d#\\\\.\\}"
    for v in "PelsWidth $w" "PelsHeight ${rest%%_*}" "BitsPerPel 32" "DisplayFrequency ${rest#*_}"; do
      wine reg add "$key" /v "${v% *}" /t REG_DWORD /d "${v#* }" /f >/dev/null 2>&1
    done
    for v in "Identity " "Connector $d" "Name ${d#\\\\.\\}" "Locked true"; do
      wine reg add "$key" /v "${v%% *}" /d "${v#* }" /f >/dev/null 2>&1
    done
  done
}
# wait_held DEVICE...: a tick has found each device in its held mode (a mode it lists).
wait_held() {
  local d
  for d in "$@"; do
    for _ in $(seq 1 200); do
      grep -qF "update($d):" "$work/windows.err" 2>/dev/null &&
        tr -d '\r' <"$work/windows.err" | grep -F "update($d):" | tail -n 1 | grep -qE 'now=([0-9]+),locked=\1$' && continue 2
      sleep 0.05
    done
    die "the Windows program does not hold $d: $(tr -d '\r' <"$work/windows.err" | grep -F "update($d)" | tail -n 1)"
  done
}
multi_windows() {
  hold_others "$@"
  start windows -d
  wait_locked windows
  wait_held "$@"
}
# Restore latency with DUMMY0 and DUMMY1 held: one of them switched, then both in one apply of
# the other program.
multi_windows '\\.\DISPLAY2'
sleep 0.5
log "restore latency, several monitors: $switches switches of $output, then of $output and DUMMY1 at once"
VELMORA_XWATCH_SWITCH=$root/bench/wine-switch.sh "$xwatch" restore "$output" "$locked_mode" "$interval" \
  "$switches" "$foreign_modes" >"$work/restore-multi-one.txt"
VELMORA_XWATCH_SWITCH=$root/bench/wine-switch.sh "$xwatch" restore "$output,DUMMY1" "$locked_mode" "$interval" \
  "$switches" "$foreign_modes" >"$work/restore-multi-two.txt"
kill -0 "$vpid" 2>/dev/null || die "the Windows program (two monitors) ended during the restore series"
stop
# CPU holding one and three monitors: one after the other, for a second instance of the program
# in the same Wine prefix hands over to the first.
for held in one three; do
  log "CPU over $cpu_seconds s: the Windows program holding $held monitor(s)"
  if [ "$held" = one ]; then multi_windows; else multi_windows '\\.\DISPLAY2' '\\.\DISPLAY3'; fi
  sleep 2
  sample_cpu "$vpid" "$work/cpu-hold-$held.txt"
  [ "$held" = three ] && wait_held '\\.\DISPLAY2' '\\.\DISPLAY3' # still held at the end
  stop
done
wine reg delete "$store\\Monitors" /f >/dev/null 2>&1 || true
xrandr --output DUMMY1 --off --output DUMMY2 --off
load_multi1=$(loadavg)
load1=$(loadavg)
bench_cleanup
trap - EXIT

record switches="$switches" startup_runs="$startup_runs" cpu_seconds="$cpu_seconds" interval="$interval" \
  output="$output" locked_mode="$locked_mode" folder="$folder" wine="$(wine --version 2>/dev/null | sed 's/^wine-//')" \
  load_start="$load0" load_end="$load1" load_multi_start="$load_multi0" load_multi_end="$load_multi1"
for kind in linux windows; do
  record --startup "startup-$kind=$work/startup-$kind.txt" --rows "cpu-$kind=$work/cpu-$kind.txt" \
    --rows "rss-$kind=$work/rss-$kind.txt" --restore "restore-$kind=$work/restore-$kind.txt"
done
record --restore restore-multi-one="$work/restore-multi-one.txt" --restore restore-multi-two="$work/restore-multi-two.txt" \
  --rows cpu-hold-one="$work/cpu-hold-one.txt" --rows cpu-hold-three="$work/cpu-hold-three.txt"
bench_write
bench_report
