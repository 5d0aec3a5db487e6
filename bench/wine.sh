#!/usr/bin/env bash
# The Windows program under Wine next to the Linux program, on one X server in one run: start
# to window and memory, CPU while locked, and restore latency after another program's switch
# (under Wine: another Windows program's ChangeDisplaySettingsExW; on X11: xrandr); then the
# Windows program with three outputs on: restore latency of one and of two held monitors
# switched at once, CPU while holding one and three. Writes the section "## Windows under Wine"
# of docs/benchmarks.md (replacing an older one). About 10 minutes; not run by CI. Needs root for Xorg, like the tests.
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
# sample_cpu PID FILE: "% % %" of a core, the program, wineserver and Xorg, over $cpu_seconds.
sample_cpu() {
  local pid=$1 ws0 x0 p0 t0 ws1 x1 p1 t1
  ws0=$(runtime_ns "$(wineserver_pid)") x0=$(runtime_ns "$xorg_pid") p0=$(runtime_ns "$pid") t0=$(date +%s%N)
  sleep "$cpu_seconds"
  ws1=$(runtime_ns "$(wineserver_pid)") x1=$(runtime_ns "$xorg_pid") p1=$(runtime_ns "$pid") t1=$(date +%s%N)
  kill -0 "$pid" 2>/dev/null || die "the program ended during the CPU series ($2)"
  awk -v p=$((p1 - p0)) -v w=$((ws1 - ws0)) -v x=$((x1 - x0)) -v t=$((t1 - t0)) \
    'BEGIN { printf "%.3f %.3f %.3f\n", p / t * 100, w / t * 100, x / t * 100 }' >"$2"
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
load_multi0=$(cut -d' ' -f1-3 /proc/loadavg)
set_locked
xrandr --output "$output" --primary
for o in DUMMY1 DUMMY2; do
  for m in "$locked_mode" ${foreign_modes//,/ }; do xrandr --addmode "$o" "$m"; done
done
xrandr --output DUMMY1 --mode "$locked_mode" --right-of "$output" --output DUMMY2 --mode "$locked_mode" --right-of DUMMY1
xrandr >/dev/null # the plain query probes the outputs: only then do they count as connected
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
load_multi1=$(cut -d' ' -f1-3 /proc/loadavg)
load1=$(cut -d' ' -f1-3 /proc/loadavg)
cleanup
trap - EXIT

# ---- Report -------------------------------------------------------------------------------
result() { sed -n "s/^RESULT.* $2=\([^ ]*\).*/\1/p" "$work/$1.txt"; }
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
  echo
  echo "### Several monitors"
  echo
  echo "The Windows program only, as \"Several monitors\" of \`bench/run.sh\` does it on X11: DUMMY1 and DUMMY2"
  echo "switched on beside $output (\`xrandr --addmode\` of $locked_mode and the foreign modes, \`--right-of\`),"
  echo "all three at $locked_mode, $output primary, and wineserver started anew so that Wine lists them as"
  echo "\`\\\\.\\DISPLAY1\`..3. The program holds $output as its own (the mode in use at its \`-d\` start) and the"
  echo "others through the store: \`Monitors\\DISPLAYn\` keys written with \`wine reg add\` before the start"
  echo "(the four values, Identity empty: the dummy driver publishes no EDID; Connector, Name,"
  echo "Locked=true), checked to hold them (a tick line with the held mode in place for each)."
  echo "Load average at the start and the end of this part: $load_multi0 → $load_multi1."
  echo
  echo "Restore latency, the program holding $output and DUMMY1: first only $output switched, then both in one"
  echo "apply of the other program (\`tst_win32display.exe on \\\\.\\DISPLAY1,\\\\.\\DISPLAY2 push W H 32 F\`, one"
  echo "ChangeDisplaySettingsExW per device). For two, t0 = the first CRTC change that takes the locked mode off"
  echo "either output, t1 = the change after which both have it again."
  echo
  echo "| switched at once | switches | p50 ms | p90 ms | max ms | min ms | not restored |"
  echo "|---|---|---|---|---|---|---|"
  for k in one two; do
    echo "| $([ "$k" = one ] && echo "$output" || echo "$output and DUMMY1") | $(result "restore-multi-$k" n) | $(result "restore-multi-$k" p50) | $(result "restore-multi-$k" p90) | $(result "restore-multi-$k" max) | $(result "restore-multi-$k" min) | $(result "restore-multi-$k" timeouts) |"
  done
  echo
  echo "CPU while holding one ($output) and three ($output, DUMMY1, DUMMY2) monitors with the same three outputs"
  echo "on, $cpu_seconds s each, one run after the other (a second instance in the same prefix hands over to"
  echo "the first, so they cannot run at once as on X11), nothing switched meanwhile:"
  echo
  echo "| holds | program, % of a core | wineserver meanwhile | program + wineserver | Xorg meanwhile |"
  echo "|---|---|---|---|---|"
  for k in one three; do
    read -r p w x <"$work/cpu-hold-$k.txt"
    echo "| $k | $p | $w | $(awk -v p="$p" -v w="$w" 'BEGIN { printf "%.3f", p + w }') | $x |"
  done
  read -r p1 w1 _ <"$work/cpu-hold-one.txt"
  read -r p3 w3 _ <"$work/cpu-hold-three.txt"
  echo "| three / one | $(awk -v a="$p3" -v b="$p1" 'BEGIN { printf "%.2f×", a / b }') | | $(awk -v a="$p3" -v b="$p1" -v c="$w3" -v d="$w1" 'BEGIN { printf "%.2f×", (a + c) / (b + d) }') | |"
  echo
  for k in one two; do
    echo "<details><summary>every switch: $([ "$k" = one ] && echo "$output" || echo "$output and DUMMY1")</summary>"
    echo
    echo '```'
    cat "$work/restore-multi-$k.txt"
    echo '```'
    echo "</details>"
    echo
  done
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
