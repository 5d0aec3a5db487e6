#!/usr/bin/env bash
# The benchmark: builds Velmora (the working tree, and the poll-only program of an earlier
# revision for comparison), starts the headless X server of the tests with a tray host, runs
# every measurement (several held monitors among them) and writes its part of docs/benchmarks.md
# (the sections after "Commands", from other scripts or by hand, stay). About 8 minutes; not run by CI.
#
#   bench/run.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_BENCH_BEFORE (the
# revision without the event-triggered restore, default 0963eef), VELMORA_BENCH_OUT (default
# docs/benchmarks.md). VELMORA_BENCH_QUICK=1: a short run that checks the script (few samples,
# written to build-bench/run/benchmarks-quick.md unless VELMORA_BENCH_OUT says otherwise).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BENCH_BUILD_DIR:-$root/build-bench}
before_rev=${VELMORA_BENCH_BEFORE:-0963eef}
work=$build/run
quick=${VELMORA_BENCH_QUICK:-0}
if [ "$quick" = 1 ]; then
  out=${VELMORA_BENCH_OUT:-$work/benchmarks-quick.md}
else
  out=${VELMORA_BENCH_OUT:-$root/docs/benchmarks.md}
fi
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

log() { echo "bench: $*" >&2; }
die() { echo "bench: $*" >&2; exit 1; }
commands=()
note_command() { commands+=("$*"); }

"$root/scripts/deps.sh" run
for tool in git xrandr trayer taskset awk; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done

# ---- Build ------------------------------------------------------------------------------
generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
log "building the working tree in $build"
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= >/dev/null
cmake --build "$build" -j2 --target velmora velmora_bench velmora_xwatch >/dev/null
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
generator=()
if [ ! -f "$before_build/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S "$before_src" -B "$before_build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORA_BUILD_TESTS=OFF >/dev/null
cmake --build "$before_build" -j2 --target velmora >/dev/null
note_command "git archive $before_rev | tar -x -C build-bench/before-src && cmake -S build-bench/before-src -B build-bench/before-build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF && cmake --build build-bench/before-build -j2 --target velmora"

head_bin=$build/velmora
before_bin=$before_build/velmora
bench_bin=$build/bench/velmora_bench
xwatch=$build/bench/velmora_xwatch

# ---- X server, tray host, clean-up ---------------------------------------------------------
rm -rf "$work"
mkdir -p "$work"
started=()
stop_pid() {
  local p=$1
  kill "$p" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    kill -0 "$p" 2>/dev/null || break
    sleep 0.05
  done
  kill -9 "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
}
cleanup() {
  for p in "${started[@]}"; do stop_pid "$p"; done
  [ -f "$xdir/pid" ] && "$root/scripts/xserver.sh" stop "$xdir" >/dev/null
  return 0
}
trap cleanup EXIT

VELMORA_REQUIRE_XSERVER=1 "$root/scripts/xserver.sh" start "$xdir" >/dev/null
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

new_home() {
  local h
  h=$(mktemp -d "$work/home.XXXXXX")
  mkdir -p "$h/run" "$h/.config/Orvanne"
  chmod 700 "$h/run"
  echo "$h"
}
# The environment of a fresh user of the program: its own home and configuration.
home_env() {
  henv=(HOME="$1" XDG_CONFIG_HOME="$1/.config" XDG_RUNTIME_DIR="$1/run" QT_QPA_PLATFORM=xcb)
}
in_home() {
  home_env "$1"
  shift
  env -u VELMORA_FAKE_DISPLAY "${henv[@]}" "$@"
}
velmora_pid=
start_velmora() {
  local bin=$1 h=$2
  shift 2
  # Started by this shell itself (env execs the program): $! is the program's own PID.
  home_env "$h"
  env -u VELMORA_FAKE_DISPLAY "${henv[@]}" "$bin" "$@" >"$h/stdout" 2>"$h/stderr" &
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
# value KEY LINE: KEY=value out of a "RESULT k=v ..." line.
value() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
# lt A B: A < B; le A B: A <= B.
lt() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 < b + 0) }'; }
le() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 <= b + 0) }'; }
pct() { awk -v v="$1" 'BEGIN { printf "%.3f", v }'; }

# Everything the machine did meanwhile (other programs included), from /proc/stat.
cpu_line() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat; }
read -r busy0 steal0 total0 < <(cpu_line)
load0=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- In-process figures ---------------------------------------------------------------------
log "in-process figures"
set_locked_mode
"$bench_bin" >"$work/inprocess.txt" 2>"$work/inprocess.log"
note_command "build-bench/bench/velmora_bench 2>log   # offscreen widgets; display layer on \$DISPLAY"
# Where the scheduler puts this thread and the X server matters: pin both to one core, then
# to different cores.
placement=0
if [ "$(nproc)" -ge 2 ]; then
  placement=1
  all_cpus=$(taskset -pc "$xorg_pid" | sed 's/.*: //')
  taskset -pc 0 "$xorg_pid" >/dev/null
  taskset -c 0 "$bench_bin" --ticks >"$work/ticks-same-core.txt" 2>/dev/null
  taskset -c 1 "$bench_bin" --ticks >"$work/ticks-other-core.txt" 2>/dev/null
  taskset -pc "$all_cpus" "$xorg_pid" >/dev/null
  note_command "taskset -pc 0 <Xorg>; taskset -c 0 velmora_bench --ticks; taskset -c 1 velmora_bench --ticks; taskset -pc $all_cpus <Xorg>"
fi

# ---- Restore latency from outside -------------------------------------------------------
restore_series() {
  local label=$1 bin=$2 interval=$3 count=$4 h
  log "restore latency: $label at $interval ms, $count switches"
  h=$(new_home)
  [ "$interval" = 1000 ] || printf '[Deamon]\nmsec=%s\n' "$interval" >"$h/.config/Orvanne/Velmora.conf"
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
# Per process: utime+stime from /proc/PID/stat (clock ticks) and the sum of every thread's
# run time from /proc/PID/task/*/schedstat (ns).
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Threads that end (Qt's pooled threads retire after 30 s idle) take their run time with them:
# every thread's last seen figure is kept in $work/threads-PID and counted on.
runtime_ns() {
  local seen="$work/threads-$1" t
  touch "$seen"
  for t in /proc/"$1"/task/*; do
    echo "${t##*/} $(awk '{ print $1 }' "$t/schedstat" 2>/dev/null)"
  done | awk 'NF == 2' | cat "$seen" - | awk '{ last[$1] = $2 } END { for (t in last) print t, last[t] }' >"$seen.new"
  mv "$seen.new" "$seen"
  awk '{ s += $2 } END { printf "%.0f", s }' "$seen"
}
# Per thread: id, run time (ns), times it was put on a CPU, name.
threads() {
  local t
  for t in /proc/"$1"/task/*; do
    echo "${t##*/} $(awk '{ print $1, $3 }' "$t/schedstat") $(tr ' ' '_' <"$t/comm")"
  done
}
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
      echo "$(date +%s.%N) $(ticks "${p#*=}") $(runtime_ns "${p#*=}") $(ticks "$xorg_pid") $(runtime_ns "$xorg_pid")" \
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
load_multi0=$(cut -d' ' -f1-3 /proc/loadavg)
set_locked_mode
xrandr --output "$output" --primary
for o in DUMMY1 DUMMY2; do
  for m in "$locked_mode" ${foreign_modes//,/ }; do xrandr --addmode "$o" "$m"; done
done
xrandr --output DUMMY1 --mode "$locked_mode" --right-of "$output" --output DUMMY2 --mode "$locked_mode" --right-of DUMMY1
xrandr >/dev/null # the plain query probes the outputs: only then do they count as connected
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
load_multi1=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- Done with the server -----------------------------------------------------------------
read -r busy1 steal1 total1 < <(cpu_line)
load1=$(cut -d' ' -f1-3 /proc/loadavg)
machine_busy=$(awk -v b="$((busy1 - busy0))" -v t="$((total1 - total0))" 'BEGIN { printf "%.1f", b / t * 100 }')
machine_steal=$(awk -v b="$((steal1 - steal0))" -v t="$((total1 - total0))" 'BEGIN { printf "%.1f", b / t * 100 }')
set_locked_mode
cleanup
started=()
trap - EXIT

# ---- Report ---------------------------------------------------------------------------------
log "writing $out"
restore_result() { grep '^RESULT' "$work/restore-$1-$2.txt"; }
inproc() { awk -v k="$2" '$1 == "RESULT" && $2 == k { print $3 }' "$1"; }
# cpu_stats LABEL: velmora % over the whole run (stat), % over the whole run (schedstat),
# median / min / max of the per-window % (schedstat), X server % over the whole run (schedstat).
cpu_stats() {
  awk -v hz="$(getconf CLK_TCK)" '
    { t[NR] = $1; tk[NR] = $2; ns[NR] = $3; xns[NR] = $5 }
    END {
      n = NR; dt = t[n] - t[1]
      for (i = 2; i <= n; i++) w[i - 1] = (ns[i] - ns[i - 1]) / ((t[i] - t[i - 1]) * 1e9) * 100
      m = n - 1
      for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (w[j] < w[i]) { x = w[i]; w[i] = w[j]; w[j] = x }
      med = (m % 2) ? w[(m + 1) / 2] : (w[m / 2] + w[m / 2 + 1]) / 2
      printf "%.4f %.4f %.4f %.4f %.4f %.4f %.0f\n", (tk[n] - tk[1]) / hz / dt * 100,
        (ns[n] - ns[1]) / (dt * 1e9) * 100, med, w[1], w[m], (xns[n] - xns[1]) / (dt * 1e9) * 100, (tk[n] - tk[1])
    }' "$work/cpu-$1.txt"
}
read -r locked_stat locked_ns locked_med locked_min locked_max locked_x locked_ticks < <(cpu_stats locked)
read -r unlocked_stat unlocked_ns unlocked_med unlocked_min unlocked_max unlocked_x unlocked_ticks < <(cpu_stats unlocked)
read -r tray_stat tray_ns tray_med tray_min tray_max tray_x tray_ticks < <(cpu_stats tray)
read -r hold1_stat hold1_ns hold1_med hold1_min hold1_max hold1_x hold1_ticks < <(cpu_stats hold1)
read -r hold3_stat hold3_ns hold3_med hold3_min hold3_max hold3_x hold3_ticks < <(cpu_stats hold3)
hold_ratio=$(awk -v a="$hold3_ns" -v b="$hold1_ns" 'BEGIN { printf "%.2f", a / b }')
# Start-up: median, p10, p90, min, max of mapped_ms; the same of rss_kb.
series_stats() {
  sed -n "s/.* $1=\([^ ]*\).*/\1/p" "$work/startup.txt" | sort -g | awk '
    { v[NR] = $1 }
    END {
      n = NR
      for (k = 1; k <= 3; k++) {
        p = (k == 1) ? 0.5 : (k == 2) ? 0.1 : 0.9
        pos = p * (n - 1) + 1; lo = int(pos); hi = (lo < n) ? lo + 1 : n
        r[k] = v[lo] + (v[hi] - v[lo]) * (pos - lo)
      }
      printf "%.2f %.2f %.2f %.2f %.2f\n", r[1], r[2], r[3], v[1], v[n]
    }'
}
read -r map_med map_p10 map_p90 map_min map_max < <(series_stats mapped_ms)
read -r rss_med rss_p10 rss_p90 rss_min rss_max < <(series_stats rss_kb)
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k * 1024 / 1e6 }'; }
rss_locked=$(cat "$work/cpu-locked-rss.txt")
rss_unlocked=$(cat "$work/cpu-unlocked-rss.txt")
rss_tray=$(cat "$work/cpu-tray-rss.txt")

verdict() { if "$@"; then echo "met"; else echo "**missed**"; fi; }
restore_row() {
  local label=$1 interval=$2 what=$3 limit=$4 cmp=$5 r timeouts extra=""
  r=$(restore_result "$label" "$interval")
  timeouts=$(value timeouts "$r")
  [ "$timeouts" = 0 ] || extra=", $timeouts of the switches not restored in time"
  echo "| restore p50, $what, $interval ms | $( [ "$cmp" = lt ] && echo "<" || echo "≤") $limit ms | $(value p50 "$r") ms (p90 $(value p90 "$r"), max $(value max "$r"); $(value n "$r") switches$extra) | $(verdict "$cmp" "$(value p50 "$r")" "$limit") |"
}
tick_after=$(inproc "$work/inprocess.txt" tick_after_idle)
tick_b2b=$(inproc "$work/inprocess.txt" tick_idle)
table=$(inproc "$work/inprocess.txt" table_2000)
row_spread() { awk -v k="$2" '$1 == "RESULT" && $2 == k { printf "p10–p90 %.3f–%.3f", $4, $5 }' "$1"; }
tick_ok() { lt "$tick_after" 0.5 && lt "$tick_b2b" 0.5; }

# What follows this script's own part in the file (other scripts' sections, notes by hand) stays.
kept=$([ -f "$out" ] && awk '/^## Commands/ { own = 1; next } own && /^## / { keep = 1 } keep' "$out" || true)
{
  echo "# Benchmarks"
  echo
  echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') in $((SECONDS / 60)) min $((SECONDS % 60)) s."
  echo "Every figure up to \"Commands\" is what that run measured; run the script again to refresh them."
  echo "The sections after it name the runs they come from."
  if [ "$quick" = 1 ]; then
    echo
    echo "**A quick run (VELMORA_BENCH_QUICK=1): too few samples to stand for anything.**"
  fi
  echo
  echo "## Machine and programs"
  echo
  echo "| | |"
  echo "|---|---|"
  echo "| CPU | $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), \`nproc\` = $(nproc) |"
  echo "| memory | $(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) |"
  echo "| system | Debian $(cat /etc/debian_version 2>/dev/null || echo '?'), Linux $(uname -r) |"
  echo "| Qt | $(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || echo '?'), $(g++ --version | head -n 1) |"
  echo "| X server | $(Xorg -version 2>&1 | sed -n 's/^X.Org X Server /Xorg /p' | head -n 1), dummy video driver (\`scripts/xorg-dummy.conf\`), output $output, tray host trayer, no window manager |"
  echo "| \"after\" | working tree at $(git -C "$root" rev-parse --short HEAD) (event-triggered restore), RelWithDebInfo$(
       changed=$(git -C "$root" status --porcelain -- . ':!bench' ':!docs' | awk '{ print $2 }' | paste -sd' ')
       [ -z "$changed" ] || echo "; uncommitted changes outside bench/ and docs/: $changed") |"
  echo "| \"before\" | $(git -C "$root" rev-parse --short "$before_hash") (poll only), from \`git archive\`, RelWithDebInfo |"
  echo "| load meanwhile | all CPUs busy $machine_busy % of the time during the measurements (this benchmark and anything else on the machine), stolen by the hypervisor $machine_steal %; load average $load0 at the start, $load1 at the end |"
  echo
  echo "## Figures against the targets"
  echo
  echo "| figure | target | measured | |"
  echo "|---|---|---|---|"
  restore_row before 1000 "poll only (before)" 530 le
  restore_row before 100 "poll only (before)" 80 le
  restore_row head 1000 "event restore (after)" 50 lt
  restore_row head 100 "event restore (after)" 80 le
  echo "| one \`Deamon\` tick (mode in place) | < 0.5 ms | $(pct "$tick_after") ms after 100 ms idle ($(row_spread "$work/inprocess.txt" tick_after_idle)); $(pct "$tick_b2b") ms back to back ($(row_spread "$work/inprocess.txt" tick_idle)) | $(verdict tick_ok) |"
  echo "| CPU while locked (\`-d\`, nothing happens) | < 0.05 % of a core | $(pct "$locked_ns") % over ${cpu_seconds} s (per ${cpu_window} s: median $(pct "$locked_med"), $(pct "$locked_min")–$(pct "$locked_max")); /proc/PID/stat: $locked_ticks ticks = $(pct "$locked_stat") % | $(verdict lt "$locked_ns" 0.05) |"
  echo "| CPU while unlocked (window shown) | ≈ 0 (taken as < 0.005 %, a tenth of the locked budget) | $(pct "$unlocked_ns") % over ${cpu_seconds} s (per ${cpu_window} s: median $(pct "$unlocked_med"), $(pct "$unlocked_min")–$(pct "$unlocked_max")); /proc/PID/stat: $unlocked_ticks ticks = $(pct "$unlocked_stat") % | $(verdict lt "$unlocked_ns" 0.005) |"
  echo "| CPU while unlocked, in the tray (window hidden) | ≈ 0 (taken as < 0.005 %) | $(pct "$tray_ns") % over ${cpu_seconds} s (per ${cpu_window} s: median $(pct "$tray_med"), $(pct "$tray_min")–$(pct "$tray_max")); /proc/PID/stat: $tray_ticks ticks = $(pct "$tray_stat") % | $(verdict lt "$tray_ns" 0.005) |"
  echo "| CPU holding three monitors / holding one (\`-d\`, at once, same interval) | ≤ 1.2× | $hold_ratio× ($(pct "$hold3_ns") % / $(pct "$hold1_ns") % over ${cpu_seconds} s) | $(verdict le "$hold_ratio" 1.2) |"
  echo "| start to main window mapped | < 300 ms | $map_med ms (p10–p90 $map_p10–$map_p90, max $map_max; $startup_runs starts) | $(verdict lt "$map_med" 300) |"
  echo "| RSS after start (window shown) | < 40 MB | $(mb "$rss_med") MB (min–max $(mb "$rss_min")–$(mb "$rss_max"); $startup_runs starts); with \`-d\`: $(mb "$rss_locked") MB | $(verdict lt "$(mb "$rss_max")" 40) |"
  echo "| filling the table with 2,000 modes | < 100 ms | $(pct "$table") ms ($(row_spread "$work/inprocess.txt" table_2000)) | $(verdict lt "$table" 100) |"
  echo
  echo "MB = 10⁶ bytes. Spreads: p10–p90 over all calls or switches; for CPU, the ${cpu_window} s windows."
  echo
  echo "## Restore latency, measured from outside"
  echo
  echo "The program runs as a user would start it at log-on (\`velmora -d\`, fresh home, the mode in"
  echo "use \`$locked_mode\` locked; for 100 ms, \`[Deamon] msec=100\` written to"
  echo "\`~/.config/Orvanne/Velmora.conf\` before the start). \`bench/velmora_xwatch restore\` then"
  echo "runs \`xrandr --output $output --mode M\` (M in turn: ${foreign_modes//,/, }) and listens to"
  echo "RandR CRTC-change events on its own connection: t0 = the event that takes the locked mode"
  echo "off the CRTC, t1 = the event that puts it back; latency = t1 − t0 on the listener's clock."
  echo "Between switches it waits one interval + 50 ms + k·0.618 (mod 1) of an interval, so every"
  echo "switch is a fresh event for the one-restore-per-interval limit and the switches fall evenly"
  echo "over the phase of the poll timer."
  echo
  echo "| program | interval | switches | p50 ms | p90 ms | max ms | p10–p90 ms | min ms | not restored | xrandr start → switch, ms (p50) |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for label in before head; do
    for interval in 1000 100; do
      r=$(restore_result "$label" "$interval")
      launch=$(awk '$1 ~ /^[0-9]+$/ && $4 !~ /timeout/ { print $3 }' "$work/restore-$label-$interval.txt" | sort -g |
               awk '{ v[NR] = $1 } END { pos = 0.5 * (NR - 1) + 1; lo = int(pos); hi = lo < NR ? lo + 1 : NR; printf "%.1f", v[lo] + (v[hi] - v[lo]) * (pos - lo) }')
      name=$([ "$label" = before ] && echo "before (poll only)" || echo "after (event restore)")
      echo "| $name | $interval ms | $(value n "$r") | $(value p50 "$r") | $(value p90 "$r") | $(value max "$r") | $(value p10 "$r")–$(value p90 "$r") | $(value min "$r") | $(value timeouts "$r") | $launch |"
    done
  done
  echo
  for label in before head; do
    for interval in 1000 100; do
      echo "<details><summary>every switch: $label, $interval ms</summary>"
      echo
      echo '```'
      cat "$work/restore-$label-$interval.txt"
      echo '```'
      echo "</details>"
      echo
    done
  done
  echo "## In-process costs"
  echo
  echo "\`bench/velmora_bench\`: the program's own classes, each call timed on its own (steady clock),"
  echo "after a few untimed warm-up calls; X round trips counted by \`X11DisplayBackend::takeRoundTrips()\`."
  echo "Widgets on the offscreen platform; the display layer on the X server above. The program's debug"
  echo "lines are written to a file, as they are in the program."
  echo
  sed '/^RESULT/d' "$work/inprocess.txt"
  echo
  if [ "$placement" = 1 ]; then
    echo "### The same calls with this thread and the X server pinned"
    echo
    echo "Both on CPU 0:"
    echo
    sed '/^RESULT/d' "$work/ticks-same-core.txt"
    echo
    echo "The X server on CPU 0, the benchmark on CPU 1:"
    echo
    sed '/^RESULT/d' "$work/ticks-other-core.txt"
    echo
    same=$(inproc "$work/ticks-same-core.txt" current_index)
    other=$(inproc "$work/ticks-other-core.txt" current_index)
    rt=$(awk '$1 == "RESULT" && $2 == "current_index" { print $6 }' "$work/inprocess.txt")
    echo "Per X round trip (\`currentIndex()\` makes $rt): $(awk -v v="$same" -v n="$rt" 'BEGIN { printf "%.0f", v * 1000 / n }') µs on one core,"
    echo "$(awk -v v="$other" -v n="$rt" 'BEGIN { printf "%.0f", v * 1000 / n }') µs across cores. Unpinned, the scheduler picks either."
    echo
  fi
  echo "## CPU time and memory"
  echo
  echo "The program started with a fresh home at the seeded 1000 ms interval, nothing else happening"
  echo "on the display; sampled ${cpu_seconds} s from 3 s after the start. CPU % = run time / wall time"
  echo "(100 % = one core); run time from every thread's \`/proc/PID/task/*/schedstat\` (ns) and from"
  echo "\`/proc/PID/stat\` utime+stime ($((1000 / $(getconf CLK_TCK))) ms ticks, too coarse for these amounts)."
  echo
  echo "| state | CPU % (schedstat) | per ${cpu_window} s: median (min–max) | CPU % (stat) | X server CPU % meanwhile | VmRSS 2 s after start |"
  echo "|---|---|---|---|---|---|"
  echo "| locked (\`-d\`) | $(pct "$locked_ns") | $(pct "$locked_med") ($(pct "$locked_min")–$(pct "$locked_max")) | $(pct "$locked_stat") | $(pct "$locked_x") | $(mb "$rss_locked") MB |"
  echo "| unlocked (window shown) | $(pct "$unlocked_ns") | $(pct "$unlocked_med") ($(pct "$unlocked_min")–$(pct "$unlocked_max")) | $(pct "$unlocked_stat") | $(pct "$unlocked_x") | $(mb "$rss_unlocked") MB |"
  echo "| unlocked, in the tray | $(pct "$tray_ns") | $(pct "$tray_med") ($(pct "$tray_min")–$(pct "$tray_max")) | $(pct "$tray_stat") | $(pct "$tray_x") | $(mb "$rss_tray") MB |"
  echo
  echo "Run time by thread over the ${cpu_seconds} s (\`velmora\` is the GUI thread, \`QThread\` the lock"
  echo "thread that runs \`Deamon\`); \"on CPU\" counts how often the thread was put on a CPU."
  echo
  echo "| state | thread | run time ms | % of a core | on CPU per second |"
  echo "|---|---|---|---|---|"
  for label in locked unlocked tray; do
    awk -v state="$label" -v secs="$cpu_seconds" '
      FNR == NR { ns[$1] = $2; on[$1] = $3; next }
      { d = $2 - ns[$1]; o = $3 - on[$1]
        if (d > 0) printf "| %s | %s | %.2f | %.4f | %.1f |\n", state, $4, d / 1e6, d / (secs * 1e9) * 100, o / secs }
    ' "$work/cpu-$label-threads-start.txt" "$work/cpu-$label-threads-end.txt"
  done
  echo
  echo "## Start to window"
  echo
  echo "\`bench/velmora_xwatch startup\`: from just before the program is started (no \`-d\`) to the"
  echo "MapNotify of its main window (WM_CLASS velmora, ≥ 300 px wide) on the root window; VmRSS 1 s"
  echo "later; then SIGTERM. One warm-up start (not counted), then $startup_runs starts with the same home."
  echo
  echo "| | median | p10–p90 | min–max |"
  echo "|---|---|---|---|"
  echo "| start → window mapped | $map_med ms | $map_p10–$map_p90 ms | $map_min–$map_max ms |"
  echo "| VmRSS | $(mb "$rss_med") MB | $(mb "$rss_p10")–$(mb "$rss_p90") MB | $(mb "$rss_min")–$(mb "$rss_max") MB |"
  echo
  echo "## Several monitors"
  echo
  echo "DUMMY1 and DUMMY2 switched on beside $output (\`xrandr --addmode\` of $locked_mode and the foreign modes,"
  echo "\`--right-of\`), all three at $locked_mode, $output primary. The program holds $output as its own (the"
  echo "mode in use at its start) and the others through the store: \`[Monitors]\` groups written into"
  echo "\`~/.config/Orvanne/Velmora.conf\` of its fresh home before the start (the four values, Identity empty:"
  echo "the dummy driver publishes no EDID, so the key is the connector; Connector, Name, Locked=true). It"
  echo "was checked to hold them: a tick line with the held mode in place for each. Seeded 1000 ms interval."
  echo "Measured $load_multi0 → $load_multi1 (load average at the start and the end of this part); the"
  echo "machine was shared with other work meanwhile (see \"load meanwhile\" above)."
  echo
  echo "Restore latency, one program holding $output and DUMMY1: first only $output switched, then both in one"
  echo "\`xrandr --output $output --mode M --output DUMMY1 --mode M\` (one series after the other, the same"
  echo "switches and pauses as above). For two, t0 = the first CRTC change that takes a locked mode off"
  echo "either output, t1 = the change after which both have it again."
  echo
  echo "| switched at once | switches | p50 ms | p90 ms | max ms | p10–p90 ms | min ms | not restored |"
  echo "|---|---|---|---|---|---|---|---|"
  for k in one two; do
    r=$(grep '^RESULT' "$work/restore-multi-$k.txt")
    echo "| $([ "$k" = one ] && echo "$output" || echo "$output and DUMMY1") | $(value n "$r") | $(value p50 "$r") | $(value p90 "$r") | $(value max "$r") | $(value p10 "$r")–$(value p90 "$r") | $(value min "$r") | $(value timeouts "$r") |"
  done
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
  echo "CPU: two programs (\`-d\`, fresh homes) running at the same time, one holding $output only, the other"
  echo "$output, DUMMY1 and DUMMY2, with the same three outputs on; both sampled over the same ${cpu_seconds} s, as in"
  echo "\"CPU time and memory\" above."
  echo
  echo "| holds | CPU % (schedstat) | per ${cpu_window} s: median (min–max) | CPU % (stat) |"
  echo "|---|---|---|---|"
  echo "| one ($output) | $(pct "$hold1_ns") | $(pct "$hold1_med") ($(pct "$hold1_min")–$(pct "$hold1_max")) | $(pct "$hold1_stat") |"
  echo "| three ($output, DUMMY1, DUMMY2) | $(pct "$hold3_ns") | $(pct "$hold3_med") ($(pct "$hold3_min")–$(pct "$hold3_max")) | $(pct "$hold3_stat") |"
  echo "| three / one | ${hold_ratio}× | | |"
  echo
  echo "The X server meanwhile (both programs' requests): $(pct "$hold1_x") % of a core."
  echo
  echo "## Notes"
  echo
  r_before=$(restore_result before 1000)
  r_head=$(restore_result head 1000)
  tick_rt=$(awk '$1 == "RESULT" && $2 == "tick_idle" { print $6 }' "$work/inprocess.txt")
  echo "- Poll only, a foreign switch waits for the next tick, which can fall anywhere in the interval:"
  echo "  p50 ≈ interval / 2 plus the restoring tick ($(pct "$(inproc "$work/inprocess.txt" tick_restore)") ms median in-process). With the"
  echo "  restore on the display's announcement the tick runs at once: p50 at 1000 ms went from"
  echo "  $(value p50 "$r_before") ms (before) to $(value p50 "$r_head") ms (after)."
  echo "- One tick makes $tick_rt X round trip(s); its time is mostly waiting"
  echo "  for the X server.$([ "$placement" = 1 ] && echo " A round trip costs $(awk -v a="$(inproc "$work/ticks-other-core.txt" current_index)" \
       -v b="$(inproc "$work/ticks-same-core.txt" current_index)" 'BEGIN { printf "%.1f", a / b }') times as much when the calling thread
  and the server run on different cores as on one (pinned runs above). Unpinned, a figure lands on
  either side, which is why medians differ between runs of the script.")"
  cpu_share() {
    awk -v name="$2" 'FNR == NR { ns[$1] = $2; next } { d = $2 - ns[$1]; all += d; if ($4 == name) mine += d }
      END { printf "%.0f", (all > 0 ? mine / all * 100 : 0) }' \
      "$work/cpu-$1-threads-start.txt" "$work/cpu-$1-threads-end.txt"
  }
  echo "- While locked, the lock thread (\`QThread\`) has $(cpu_share locked QThread) % of the run time, the GUI thread"
  echo "  (\`velmora\`) $(cpu_share locked velmora) %; with the window in the tray the GUI thread has no timer of its own."
  echo "- While unlocked with the window shown, the GUI thread has $(cpu_share unlocked velmora) % of the run time: its one"
  echo "  repeating timer is the label refresh every 3 s ($(awk '$1 == "RESULT" && $2 == "update_info" { print $6 }' "$work/inprocess.txt") X round trip(s) each), which runs only while the window"
  echo "  is on screen. In the tray, unlocked, the program used $(pct "$tray_ns") % of a core."
  echo
  echo "## Commands"
  echo
  echo '```sh'
  echo "bench/run.sh"
  echo "# which ran:"
  printf '%s\n' "${commands[@]}"
  echo '```'
  if [ -n "$kept" ]; then
    echo
    echo "$kept"
  fi
} >"$out"
log "done in $((SECONDS / 60)) min $((SECONDS % 60)) s: $out"
