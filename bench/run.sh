#!/usr/bin/env bash
# The benchmark: builds Velmora (the working tree, and the poll-only program of an earlier
# revision for comparison), starts the headless X server of the tests with a tray host, runs
# every measurement (several held monitors among them) and leaves every sample in
# build-bench/results/run.json; bench/report.py then writes its part of docs/benchmarks.md
# (the sections after "Commands", from other scripts or by hand, stay). About 8 minutes; not run by CI.
#
#   bench/run.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_BENCH_BEFORE (the
# revision without the event-triggered restore, default 0963eef), VELMORA_BENCH_OUT (default
# docs/benchmarks.md). VELMORA_BENCH_QUICK=1: a short run that checks the script (few samples,
# written to build-bench/run/benchmarks-quick.md unless VELMORA_BENCH_OUT says otherwise).
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init run
before_rev=${VELMORA_BENCH_BEFORE:-0963eef}
xdir=$build/xserver

locked_mode=1024x768_60
foreign_modes=800x600_60,1600x900_60,1024x768_75
switches_1000=30  # switches per restore series at the seeded 1000 ms
switches_100=50   # and at 100 ms
cpu_seconds=60
cpu_window=10
startup_runs=12
if [ "$quick" = 1 ]; then
  switches_1000=3 switches_100=5 cpu_seconds=10 cpu_window=5 startup_runs=2
fi

commands=()
note_command() { commands+=("$*"); }

"$root/scripts/deps.sh" run
for tool in git xrandr trayer taskset awk; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done

# ---- Build ------------------------------------------------------------------------------
log "building the working tree in $build"
bench_build -- -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= -- velmora velmora_bench velmora_xwatch
note_command "cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=ON && cmake --build build-bench -j2 --target velmora velmora_bench velmora_xwatch"

before_hash=$(git -C "$root" rev-parse "$before_rev^{commit}")
before_src=$build/before-src
before_build=$build/before-build
if [ "$(cat "$before_src/.revision" 2>/dev/null)" != "$before_hash" ]; then
  rm -rf "$before_src" "$before_build"
  mkdir -p "$before_src"
  git -C "$root" archive "$before_hash" | tar -x -C "$before_src"
  echo "$before_hash" > "$before_src/.revision"
fi
log "building $before_rev (poll only) in $before_build"
bench_build "$before_src" "$before_build" -- -DVELMORA_BUILD_TESTS=OFF -- velmora
note_command "git archive $before_rev | tar -x -C build-bench/before-src && cmake -S build-bench/before-src -B build-bench/before-build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF && cmake --build build-bench/before-build -j2 --target velmora"

head_bin=$build/velmora
before_bin=$before_build/velmora
bench_bin=$build/bench/velmora_bench
xwatch=$build/bench/velmora_xwatch

# ---- X server, tray host, clean-up ---------------------------------------------------------
rm -rf "$work"
mkdir -p "$work"
trap bench_cleanup EXIT

host_start xserver.sh "$xdir"
export DISPLAY
DISPLAY=$(cat "$xdir/display")
xorg_pid=$(cat "$xdir/pid")
output=$(xrandr --current | awk '/ connected/ && !found { print $1; found = 1 }')
[ -n "$output" ] || die "no connected output on $DISPLAY"
log "X server $DISPLAY (pid $xorg_pid), output $output"
note_command "scripts/xserver.sh start build-bench/xserver   # Xorg, dummy driver, scripts/xorg-dummy.conf"

trayer --edge bottom --align right --widthtype request --height 32 >/dev/null 2>&1 &
trayer_pid=$!
started+=("$trayer_pid")
note_command "trayer --edge bottom --align right --widthtype request --height 32 &"
sleep 1

in_home() {
  home_env "$1"
  shift
  env -u VELMORA_FAKE_DISPLAY "${henv[@]}" QT_QPA_PLATFORM=xcb "$@"
}
velmora_pid=
start_velmora() {
  local bin=$1 h=$2
  shift 2
  # Started by this shell itself (env execs the program): $! is the program's own PID.
  home_env "$h"
  env -u VELMORA_FAKE_DISPLAY "${henv[@]}" QT_QPA_PLATFORM=xcb "$bin" "$@" >"$h/stdout" 2>"$h/stderr" &
  velmora_pid=$!
  started+=("$velmora_pid")
  for _ in $(seq 1 100); do
    [ "$(readlink "/proc/$velmora_pid/exe" 2>/dev/null)" = "$(readlink -f "$bin")" ] && return 0
    sleep 0.01
  done
  die "$bin did not start"
}
wait_locked() {
  local h=$1 interval=$2
  for _ in $(seq 1 300); do
    grep -q "^msec:$interval\$" "$h/stderr" && return 0
    kill -0 "$velmora_pid" 2>/dev/null || die "velmora ended early: $(tail -n 5 "$h/stderr")"
    sleep 0.05
  done
  die "velmora did not lock at $interval ms: $(tail -n 5 "$h/stderr")"
}
set_locked_mode() { xrandr --output "$output" --mode "$locked_mode"; }

# Everything the machine did meanwhile (other programs included), from /proc/stat.
cpu_line() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat; }
read -r busy0 steal0 total0 < <(cpu_line)
load0=$(loadavg)

# ---- In-process figures ---------------------------------------------------------------------
log "in-process figures"
set_locked_mode
"$bench_bin" >"$work/inprocess.json" 2>"$work/inprocess.log"
note_command "build-bench/bench/velmora_bench 2>log   # offscreen widgets; display layer on \$DISPLAY"
# Where the scheduler puts this thread and the X server matters: pin both to one core, then
# to different cores.
placement=0
if [ "$(nproc)" -ge 2 ]; then
  placement=1
  all_cpus=$(taskset -pc "$xorg_pid" | sed 's/.*: //')
  taskset -pc 0 "$xorg_pid" >/dev/null
  taskset -c 0 "$bench_bin" --ticks >"$work/ticks-same-core.json" 2>/dev/null
  taskset -c 1 "$bench_bin" --ticks >"$work/ticks-other-core.json" 2>/dev/null
  taskset -pc "$all_cpus" "$xorg_pid" >/dev/null
  note_command "taskset -pc 0 <Xorg>; taskset -c 0 velmora_bench --ticks; taskset -c 1 velmora_bench --ticks; taskset -pc $all_cpus <Xorg>"
fi

# ---- Restore latency from outside -------------------------------------------------------
restore_series() {
  local label=$1 bin=$2 interval=$3 count=$4 h
  log "restore latency: $label at $interval ms, $count switches"
  h=$(new_home "$([ "$interval" = 1000 ] || echo "$interval")")
  set_locked_mode
  start_velmora "$bin" "$h" -d
  wait_locked "$h" "$interval"
  sleep 0.5
  "$xwatch" restore "$output" "$locked_mode" "$interval" "$count" "$foreign_modes" \
    >"$work/restore-$label-$interval.txt"
  kill -0 "$velmora_pid" 2>/dev/null || die "velmora ($label) ended during the restore series"
  stop_pid "$velmora_pid"
}
restore_series before "$before_bin" 1000 "$switches_1000"
restore_series before "$before_bin" 100 "$switches_100"
restore_series head "$head_bin" 1000 "$switches_1000"
restore_series head "$head_bin" 100 "$switches_100"
note_command "HOME=<fresh> velmora -d &   # [Deamon] msec=100 written first for the 100 ms series"
note_command "velmora_xwatch restore $output $locked_mode <interval> <switches> $foreign_modes   # runs xrandr --output $output --mode <M>"

# ---- Start to window, RSS ---------------------------------------------------------------
log "start to window: 1 warm-up + $startup_runs runs"
h=$(new_home)
set_locked_mode
in_home "$h" "$xwatch" startup 1000 "$head_bin" >"$work/startup-warmup.txt" 2>"$h/stderr"
: >"$work/startup.txt"
for _ in $(seq 1 "$startup_runs"); do
  in_home "$h" "$xwatch" startup 1000 "$head_bin" >>"$work/startup.txt" 2>>"$h/stderr"
done
note_command "velmora_xwatch startup 1000 build-bench/velmora   # $startup_runs times, same home, after one warm-up run"

# ---- CPU time over 60 s -------------------------------------------------------------------
# The program's windows (WM_CLASS velmora) as "id width height x y", from the window tree.
program_windows() {
  xwininfo -root -tree | sed -n 's/^ *\(0x[0-9a-f]*\) .*("velmora" "Velmora") *\([0-9]*\)x\([0-9]*\)+-*[0-9]*+-*[0-9]* *+\(-*[0-9]*\)+\(-*[0-9]*\).*/\1 \2 \3 \4 \5/p'
}
# Sends the main window to the tray as a user would: a double click on the tray icon.
hide_to_tray() {
  local icon main iw ih ix iy
  icon=$(program_windows | awk '$2 < 100 && $3 < 100' | head -n 1)
  main=$(program_windows | awk '$2 >= 300 { print $1 }' | head -n 1)
  [ -n "$icon" ] && [ -n "$main" ] || die "no tray icon or main window to hide"
  read -r _ iw ih ix iy <<<"$icon"
  xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click --repeat 2 --delay 80 1
  for _ in $(seq 1 100); do
    xwininfo -id "$main" | grep -q IsUnMapped && return 0
    sleep 0.05
  done
  die "the main window did not go to the tray"
}
# sample_cpu LABEL=PID...: every cpu_window s for cpu_seconds, each process's figures and the
# X server's into $work/cpu-LABEL.txt; the processes' threads at the start and the end.
sample_cpu() {
  local start w target now p
  for p in "$@"; do : >"$work/cpu-${p%=*}.txt"; done
  start=$(date +%s.%N)
  for w in $(seq 0 $((cpu_seconds / cpu_window))); do
    target=$(awk -v s="$start" -v w="$w" -v d="$cpu_window" 'BEGIN { printf "%.3f", s + w * d }')
    now=$(date +%s.%N)
    sleep "$(awk -v t="$target" -v n="$now" 'BEGIN { d = t - n; printf "%.3f", (d > 0 ? d : 0) }')"
    for p in "$@"; do
      echo "$(date +%s.%N) $(ticks "${p#*=}") $(runtime_ns "${p#*=}" "$work/threads-${p#*=}") $(ticks "$xorg_pid") $(runtime_ns "$xorg_pid" "$work/threads-$xorg_pid")" \
        >>"$work/cpu-${p%=*}.txt"
      if [ "$w" = 0 ]; then threads "${p#*=}" >"$work/cpu-${p%=*}-threads-start.txt"; fi
    done
  done
  for p in "$@"; do
    # A program that ended meanwhile leaves empty fields, and the figures would be nonsense.
    kill -0 "${p#*=}" 2>/dev/null || die "velmora (${p%=*}) ended during the CPU series"
    threads "${p#*=}" >"$work/cpu-${p%=*}-threads-end.txt"
  done
}
cpu_series() {
  local label=$1 h
  shift
  log "CPU over ${cpu_seconds} s: $label"
  h=$(new_home)
  set_locked_mode
  start_velmora "$head_bin" "$h" "$@"
  if [ "${1:-}" = -d ]; then wait_locked "$h" 1000; else sleep 1; fi
  [ "$label" = tray ] && hide_to_tray
  sleep 2
  kill -0 "$velmora_pid" 2>/dev/null || die "velmora ($label) ended early"
  awk '/^VmRSS:/ { print $2 }' "/proc/$velmora_pid/status" >"$work/cpu-$label-rss.txt"
  sample_cpu "$label=$velmora_pid"
  if [ "${1:-}" != -d ] && grep -q "^msec:" "$h/stderr"; then die "the unlocked run locked"; fi
  stop_pid "$velmora_pid"
}
cpu_series locked -d
cpu_series unlocked
cpu_series tray
note_command "HOME=<fresh> velmora -d & (locked) / velmora & (unlocked, window shown; then, for \"in the tray\", a double click on the tray icon); /proc/PID/stat and /proc/PID/task/*/schedstat every ${cpu_window} s for ${cpu_seconds} s"

# ---- Several monitors ------------------------------------------------------------------------
# DUMMY1 and DUMMY2 on beside DUMMY0 (as the tests connect DUMMY1), each listing the locked and
# the foreign modes; DUMMY0 primary, so that it is the monitor the program holds as its own.
log "several monitors"
load_multi0=$(loadavg)
set_locked_mode
three_outputs "$output" "$locked_mode" "$foreign_modes"
note_command "xrandr --addmode DUMMY1|DUMMY2 <$locked_mode and each foreign mode>; xrandr --output DUMMY1 --mode $locked_mode --right-of $output --output DUMMY2 --mode $locked_mode --right-of DUMMY1; xrandr --output $output --primary"
# hold_others HOME OUTPUT...: the outputs held as the store keeps other monitors. The dummy
# driver publishes no EDID: no identity, the key is the connector.
hold_others() {
  local h=$1 o w rest
  shift
  w=${locked_mode%%x*} rest=${locked_mode#*x}
  {
    echo "[Monitors]"
    for o in "$@"; do
      printf '%s\\PelsWidth=%s\n%s\\PelsHeight=%s\n%s\\BitsPerPel=32\n%s\\DisplayFrequency=%s\n' \
        "$o" "$w" "$o" "${rest%%_*}" "$o" "$o" "${rest#*_}"
      printf '%s\\Identity=\n%s\\Connector=%s\n%s\\Name=%s\n%s\\Locked=true\n' "$o" "$o" "$o" "$o" "$o" "$o"
    done
  } >>"$h/.config/Orvanne/Velmora.conf"
}
# wait_held HOME OUTPUT...: a tick has found each other output in its held mode (a mode it lists).
wait_held() {
  local h=$1 o
  shift
  for o in "$@"; do
    for _ in $(seq 1 100); do
      grep -q "^update($o):now=\([0-9][0-9]*\),locked=\1\$" "$h/stderr" && continue 2
      sleep 0.05
    done
    die "velmora does not hold $o: $(grep "update($o)" "$h/stderr" | tail -n 1)"
  done
}
multi_velmora() {
  multi_home=$(new_home)
  hold_others "$multi_home" "$@"
  start_velmora "$head_bin" "$multi_home" -d
  wait_locked "$multi_home" 1000
  wait_held "$multi_home" "$@"
}
# Restore latency with DUMMY0 and DUMMY1 held: one of them switched, then both in one xrandr call.
multi_velmora DUMMY1
sleep 0.5
"$xwatch" restore "$output" "$locked_mode" 1000 "$switches_1000" "$foreign_modes" >"$work/restore-multi-one.txt"
"$xwatch" restore "$output,DUMMY1" "$locked_mode" 1000 "$switches_1000" "$foreign_modes" >"$work/restore-multi-two.txt"
kill -0 "$velmora_pid" 2>/dev/null || die "velmora (two monitors) ended during the restore series"
stop_pid "$velmora_pid"
note_command "HOME=<fresh, [Monitors] DUMMY1 locked> velmora -d &; velmora_xwatch restore $output $locked_mode 1000 $switches_1000 $foreign_modes; velmora_xwatch restore $output,DUMMY1 ...   # runs xrandr --output $output --mode <M> --output DUMMY1 --mode <M>"
# CPU holding one and three monitors: both programs at once, sampled over the same seconds.
log "CPU over ${cpu_seconds} s: one and three monitors held, at once"
multi_velmora
one_pid=$velmora_pid
multi_velmora DUMMY1 DUMMY2
three_pid=$velmora_pid three_home=$multi_home
sleep 2
sample_cpu "hold1=$one_pid" "hold3=$three_pid"
# Still held at the end: the last tick's line for each other monitor.
for o in DUMMY1 DUMMY2; do
  grep "^update($o):" "$three_home/stderr" | tail -n 1 | grep -q "now=\([0-9][0-9]*\),locked=\1\$" ||
    die "velmora no longer holds $o at the end of the CPU series"
done
for p in "$one_pid" "$three_pid"; do
  kill -0 "$p" 2>/dev/null || die "velmora ($p) ended during the CPU series"
  stop_pid "$p"
done
note_command "HOME=<fresh> velmora -d & and HOME=<fresh, [Monitors] DUMMY1, DUMMY2 locked> velmora -d &, at once; /proc/PID/stat and /proc/PID/task/*/schedstat every ${cpu_window} s for ${cpu_seconds} s"
xrandr --output DUMMY1 --off --output DUMMY2 --off
load_multi1=$(loadavg)

# ---- Done with the server -----------------------------------------------------------------
read -r busy1 steal1 total1 < <(cpu_line)
load1=$(loadavg)
set_locked_mode
bench_cleanup
trap - EXIT

# ---- Results ---------------------------------------------------------------------------------
printf '%s\n' "${commands[@]}" >"$work/commands.txt"
record output="$output" locked_mode="$locked_mode" foreign_modes="$foreign_modes" \
  cpu_seconds="$cpu_seconds" cpu_window="$cpu_window" startup_runs="$startup_runs" placement="$placement" \
  load_start="$load0" load_end="$load1" load_multi_start="$load_multi0" load_multi_end="$load_multi1" \
  machine_busy="$((busy1 - busy0))" machine_steal="$((steal1 - steal0))" machine_total="$((total1 - total0))" \
  qt="$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || echo '?')" gxx="$(g++ --version | head -n 1)" \
  xorg="$(Xorg -version 2>&1 | sed -n 's/^X.Org X Server /Xorg /p' | head -n 1)" \
  head="$(git -C "$root" rev-parse --short HEAD)" before="$(git -C "$root" rev-parse --short "$before_hash")" \
  changed="$(git -C "$root" status --porcelain -- . ':!bench' ':!docs' | awk '{ print $2 }' | paste -sd' ')"
record --json inprocess="$work/inprocess.json" --text commands="$work/commands.txt" --startup startup="$work/startup.txt"
if [ "$placement" = 1 ]; then
  record --json ticks-same-core="$work/ticks-same-core.json" --json ticks-other-core="$work/ticks-other-core.json"
fi
for label in before head; do
  for interval in 1000 100; do record --restore "restore-$label-$interval=$work/restore-$label-$interval.txt"; done
done
record --restore restore-multi-one="$work/restore-multi-one.txt" --restore restore-multi-two="$work/restore-multi-two.txt"
for label in locked unlocked tray hold1 hold3; do
  record --rows "cpu-$label=$work/cpu-$label.txt"
done
for label in locked unlocked tray; do
  record --rows "cpu-$label-rss=$work/cpu-$label-rss.txt" \
    --rows "threads-$label-start=$work/cpu-$label-threads-start.txt" --rows "threads-$label-end=$work/cpu-$label-threads-end.txt"
done
bench_write
bench_report

