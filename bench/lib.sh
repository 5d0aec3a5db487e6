# What the benchmark scripts share (sourced): their folders, building, the hosts they start and
# stop, private homes, CPU time of processes, and the results file each run leaves for
# bench/report.py. Call bench_init NAME first.
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_BENCH_QUICK=1 (a short run
# that checks the script), VELMORA_BENCH_JOBS (build jobs, default 2).

bench_init() {
  bench_name=$1
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  build=${VELMORA_BENCH_BUILD_DIR:-$root/build-bench}
  work=$build/$bench_name
  quick=${VELMORA_BENCH_QUICK:-0}
  results=$build/results
  SECONDS=0
  started=()
  hosts=()
  records=()
}

log() { echo "bench: $*" >&2; }
die() { echo "bench: $*" >&2; exit 1; }

# bench_build [SOURCE BUILD] -- CMAKE-OPTION... -- TARGET...: configures (Ninja for a new
# folder, when there) and builds the targets, quietly.
bench_build() {
  local src=$root dir=$build opts=() generator=()
  if [ "$1" != -- ]; then src=$1 dir=$2; shift 2; fi
  shift
  while [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
  cmake -S "$src" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${opts[@]}" >/dev/null
  cmake --build "$dir" -j"${VELMORA_BENCH_JOBS:-2}" --target "$@" >/dev/null
}

# ---- Processes and hosts ----------------------------------------------------------------------
# Ends PID: SIGTERM, up to 5 s to go, then SIGKILL.
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
# host_start SCRIPT DIR ARG...: scripts/SCRIPT start DIR ARG..., which returns once the host is
# ready; stopped again by bench_cleanup, the last started first.
host_start() {
  local script=$1 dir=$2
  shift 2
  VELMORA_REQUIRE_XSERVER=1 "$root/scripts/$script" start "$dir" "$@" >&2
  hosts=("$script $dir" "${hosts[@]}")
}
bench_cleanup() {
  local p h
  for p in "${started[@]}"; do stop_pid "$p"; done
  for h in "${hosts[@]}"; do "$root/scripts/${h%% *}" stop "${h#* }" >/dev/null 2>&1 || true; done
  started=() hosts=()
  return 0
}

# new_home [MSEC]: a fresh private home (its runtime folder, the settings folder; the poll
# interval written when given); prints its path.
new_home() {
  local h
  h=$(mktemp -d "$work/home.XXXXXX")
  mkdir -p "$h/run" "$h/.config/Orvanne"
  chmod 700 "$h/run"
  [ -z "${1:-}" ] || printf '[Deamon]\nmsec=%s\n' "$1" >"$h/.config/Orvanne/Velmora.conf"
  echo "$h"
}
# home_env HOME: the environment of a user of that home, in henv.
home_env() {
  henv=(HOME="$1" XDG_CONFIG_HOME="$1/.config" XDG_RUNTIME_DIR="$1/run")
}

# ---- CPU time ---------------------------------------------------------------------------------
# Clock ticks of a process (user + system).
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
hz=$(getconf CLK_TCK)
# runtime_ns PID [SEEN]: every thread's run time from /proc/PID/task/*/schedstat (ns). With
# SEEN, threads that ended meanwhile (Qt's pooled threads retire after 30 s idle) still count:
# each thread's last figure is kept in that file.
runtime_ns() {
  local seen=${2:-} t
  if [ -z "$seen" ]; then
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'
    return
  fi
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
# cpu_over SECONDS FILE PID...: the PIDs' clock ticks and run time (ns) before and after
# SECONDS of sleep, one line each: "pid ticks0 ticks1 ns0 ns1 wall-ns".
cpu_over() {
  local s=$1 file=$2 p i t0 t1
  shift 2
  local tk0=() ns0=() pids=("$@")
  t0=$(date +%s%N)
  for p in "${pids[@]}"; do tk0+=("$(ticks "$p")") ns0+=("$(runtime_ns "$p")"); done
  sleep "$s"
  : >"$file"
  for i in "${!pids[@]}"; do
    p=${pids[$i]}
    echo "$p ${tk0[$i]} $(ticks "$p") ${ns0[$i]} $(runtime_ns "$p")" >>"$file"
  done
  t1=$(date +%s%N)
  sed -i "s/\$/ $((t1 - t0))/" "$file"
}

# ---- The results file ---------------------------------------------------------------------------
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

# three_outputs PRIMARY MODE FOREIGN_MODES: DUMMY1 and DUMMY2 on beside PRIMARY (the primary),
# each in MODE and listing it and each of the comma-separated FOREIGN_MODES.
three_outputs() {
  local primary=$1 mode=$2 foreign=$3 o m
  xrandr --output "$primary" --primary
  for o in DUMMY1 DUMMY2; do
    for m in "$mode" ${foreign//,/ }; do xrandr --addmode "$o" "$m"; done
  done
  xrandr --output DUMMY1 --mode "$mode" --right-of "$primary" --output DUMMY2 --mode "$mode" --right-of DUMMY1
  xrandr >/dev/null # the plain query probes the outputs: only then do they count as connected
}
# record KEY=VALUE | --KIND NAME=FILE ...: adds to what bench_write puts in the results file
# (bench/record.py says the kinds).
record() { records+=("$@"); }
# bench_write: build-bench/results/NAME.json with the run's date, length, load and machine.
bench_write() {
  mkdir -p "$results"
  python3 "$root/bench/record.py" "$results/$bench_name.json" \
    script="bench/$bench_name.sh" date="$(date -u '+%Y-%m-%d %H:%M UTC')" seconds="$SECONDS" quick="$quick" \
    nproc="$(nproc)" kernel="$(uname -r)" debian="$(cat /etc/debian_version 2>/dev/null || echo '?')" \
    cpu_model="$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)" \
    mem_kb="$(awk '/^MemTotal:/ { print $2 }' /proc/meminfo)" clk_tck="$hz" "${records[@]}"
  log "results in $results/$bench_name.json"
}
# bench_report: docs/benchmarks.md from the results (quick runs: build-bench/NAME/benchmarks-quick.md).
bench_report() {
  local out=${VELMORA_BENCH_OUT:-$root/docs/benchmarks.md}
  [ "$quick" = 1 ] && out=${VELMORA_BENCH_OUT:-$work/benchmarks-quick.md}
  python3 "$root/bench/report.py" --results "$results" --out "$out" --only "$bench_name"
}
