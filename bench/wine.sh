#!/usr/bin/env bash
# The Windows program under Wine next to the Linux program, on one X server in one run: start
# to window and memory, CPU while locked, and restore latency after another program's switch
# (under Wine: another Windows program's ChangeDisplaySettingsExW; on X11: xrandr). Writes the
# section "## Windows under Wine" of docs/benchmarks.md (replacing an older one). About 6
# minutes; not run by CI. Needs root for Xorg, like the tests.
#
#   bench/wine.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_WINDOWS_BUILD_DIR (default
# build-windows), VELMORA_BENCH_OUT (default docs/benchmarks.md), VELMORA_BENCH_QUICK=1 (few
# samples, written to build-bench/wine/benchmarks-quick.md unless VELMORA_BENCH_OUT says).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BENCH_BUILD_DIR:-$root/build-bench}
wbuild=${VELMORA_WINDOWS_BUILD_DIR:-$root/build-windows}
work=$build/wine
quick=${VELMORA_BENCH_QUICK:-0}
switches=12 startup_runs=6 cpu_seconds=60
[ "$quick" = 1 ] && switches=3 startup_runs=2 cpu_seconds=10
if [ "$quick" = 1 ]; then out=${VELMORA_BENCH_OUT:-$work/benchmarks-quick.md}; else out=${VELMORA_BENCH_OUT:-$root/docs/benchmarks.md}; fi
locked_mode=1024x768_60
foreign_modes=800x600_60,1600x900_60,1024x768_75
interval=1000

log() { echo "bench: $*" >&2; }
die() { echo "bench: $*" >&2; exit 1; }

# ---- Build --------------------------------------------------------------------------------
"$root/scripts/deps.sh" windows
log "building the Linux program and the benchmark tools in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF \
  -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= >/dev/null
cmake --build "$build" -j2 --target velmora velmora_xwatch >/dev/null
log "building the Windows program in $wbuild"
mapfile -t packages < <(VELMORA_WINDOWS_BUILD_DIR=$wbuild "$root/scripts/package-windows.sh" | tail -n 2)
cmake --build "$wbuild" -j2 --target tst_win32display >/dev/null
linux_bin=$build/velmora
xwatch=$build/bench/velmora_xwatch
zip=${packages[0]}
export VELMORA_WINE_OTHER=$wbuild/tests/tst_win32display.exe

# ---- Host: the test X server with a tray host and a Wine prefix ------------------------------
rm -rf "$work"
mkdir -p "$work"
host=$work/host
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$root/scripts/wine-host.sh" stop "$host" >/dev/null 2>&1 || true
}
trap cleanup EXIT
VELMORA_REQUIRE_XSERVER=1 "$root/scripts/wine-host.sh" start "$host" >&2
set -a
. "$host/env"
set +a
xorg_pid=$(cat "$host/xserver/pid")
unzip -q "$zip" -d "$WINEPREFIX/drive_c"
folder=$(basename "$zip" .zip)
win_exe="C:\\$folder\\velmora.exe"
output=DUMMY0
load0=$(cut -d' ' -f1-3 /proc/loadavg)

set_locked() { xrandr --output "$output" --mode "$locked_mode"; }
linux_home=$work/home
mkdir -p "$linux_home/run" && chmod 700 "$linux_home/run"
# A program of a kind ("linux" or "windows") with its arguments, as a command line.
program() {
  if [ "$1" = linux ]; then
    echo env HOME="$linux_home" XDG_CONFIG_HOME="$linux_home/.config" XDG_RUNTIME_DIR="$linux_home/run" \
      QT_QPA_PLATFORM=xcb "$linux_bin"
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
  pids+=("$vpid")
}
stop() {
  kill "$vpid" 2>/dev/null || true
  for _ in $(seq 1 100); do kill -0 "$vpid" 2>/dev/null || break; sleep 0.05; done
  kill -9 "$vpid" 2>/dev/null || true
  wait "$vpid" 2>/dev/null || true
}
wait_locked() {
  for _ in $(seq 1 200); do
    grep -q '^update():' "$work/$1.err" 2>/dev/null && return 0
    sleep 0.05
  done
  die "$1: no lock tick seen (see $work/$1.err)"
}
runtime_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'; }
wineserver_pid() { cat "$host/wineserver.pid"; }

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
  ws0=$(runtime_ns "$(wineserver_pid)") x0=$(runtime_ns "$xorg_pid") p0=$(runtime_ns "$vpid") t0=$(date +%s%N)
  sleep "$cpu_seconds"
  ws1=$(runtime_ns "$(wineserver_pid)") x1=$(runtime_ns "$xorg_pid") p1=$(runtime_ns "$vpid") t1=$(date +%s%N)
  kill -0 "$vpid" 2>/dev/null || die "$kind ended during the CPU series"
  awk -v p=$((p1 - p0)) -v w=$((ws1 - ws0)) -v x=$((x1 - x0)) -v t=$((t1 - t0)) \
    'BEGIN { printf "%.3f %.3f %.3f\n", p / t * 100, w / t * 100, x / t * 100 }' >"$work/cpu-$kind.txt"
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
load1=$(cut -d' ' -f1-3 /proc/loadavg)
cleanup
trap - EXIT

# ---- Report -------------------------------------------------------------------------------
result() { sed -n "s/^RESULT .*$2=\([^ ]*\).*/\1/p" "$work/$1.txt"; }
# median and min-max of a key=value field over the startup lines
series() {
  sed -n "s/.* $2=\([^ ]*\).*/\1/p" "$work/startup-$1.txt" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR == 0) { print "n/a"; exit } m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.1f (%.1f–%.1f)", m, v[1], v[NR] }'
}
mb() { awk -v k="$1" 'BEGIN { printf "%.1f MB", k / 1024 }'; }
read -r cpu_l _ x_l <"$work/cpu-linux.txt"
read -r cpu_w ws_w x_w <"$work/cpu-windows.txt"
section=$work/section.md
{
  echo "## Windows under Wine"
  echo
  echo "\`bench/wine.sh\`, $(date -u '+%Y-%m-%d %H:%M') UTC, on the test X server (Xorg, dummy driver) with a"
  echo "tray host: the Linux program (RandR) and the Windows program ($folder.zip, unpacked) under"
  echo "Wine $(wine --version 2>/dev/null | sed 's/^wine-//') in a fresh prefix, one after the other. Load average before/after: $load0 / $load1."
  echo
  echo "| | Linux (X11) | Windows under Wine |"
  echo "|---|---|---|"
  echo "| start → main window mapped, ms: median (min–max), $startup_runs starts | $(series linux mapped_ms) | $(series windows mapped_ms) |"
  echo "| VmRSS 2 s after the start | $(series linux rss_kb | awk '{ printf "%.1f MB", $1 / 1024 }') | $(series windows rss_kb | awk '{ printf "%.1f MB", $1 / 1024 }') |"
  echo "| VmRSS while locked | $(mb "$(cat "$work/rss-linux.txt")") | $(mb "$(cat "$work/rss-windows.txt")") |"
  echo "| CPU while locked (\`-d\`, nothing happens), % of a core over $cpu_seconds s | $cpu_l (Xorg meanwhile $x_l) | $cpu_w, wineserver $ws_w (Xorg meanwhile $x_w) |"
  echo "| restore latency after another program's switch, ms: p50 / p90 / max ($switches switches, $interval ms interval) | $(result restore-linux p50) / $(result restore-linux p90) / $(result restore-linux max); $(result restore-linux n) restored, $(result restore-linux timeouts) not | $(result restore-windows p50) / $(result restore-windows p90) / $(result restore-windows max); $(result restore-windows n) restored, $(result restore-windows timeouts) not |"
  echo
  echo "The other program: \`xrandr --output DUMMY0 --mode M\` for Linux; for Windows"
  echo "\`tst_win32display.exe push W H 32 F\` under the same Wine (\`bench/wine-switch.sh\`), since a switch"
  echo "made outside Wine reaches no Windows program. Latency is from the CRTC change that left the"
  echo "locked mode to the one that brought it back, seen by \`velmora_xwatch\` through RandR events."
  echo "Under Wine each display call of the program goes through wineserver, whose CPU is shown"
  echo "beside it; Wine's own start (its DLLs, the prefix) is part of the start-up figure. Under Wine"
  echo "a running program sees another one's switch only through the size and depth that"
  echo "WM_DISPLAYCHANGE announces: a switch to the locked size at another refresh rate (1024x768_75)"
  echo "goes unseen there (README, Windows)."
  echo
  echo "Per-switch figures:"
  echo
  echo '```'
  cat "$work/restore-windows.txt"
  echo '```'
} >"$section"
if [ -f "$out" ] && grep -q '^## Windows under Wine' "$out"; then
  awk -v file="$section" '
    /^## Windows under Wine/ { while ((getline l < file) > 0) print l; skip = 1; next }
    skip && /^## / { skip = 0; print ""; }
    !skip { print }' "$out" >"$out.new"
  mv "$out.new" "$out"
else
  { [ -f "$out" ] && { cat "$out"; echo; }; cat "$section"; } >"$out.new"
  mv "$out.new" "$out"
fi
log "wrote $out"
