#!/usr/bin/env bash
# The wlroots benchmark: on the phoc host of the tests (headless, HEADLESS-1 at the origin),
# restore latency after another client's zwlr_output_manager_v1 switch for Velmora (a Wayland
# client of phoc, wlroots backend) and for a reference holder that reads the head every 20 ms,
# in the same run; CPU time of each holder and of phoc while locked and idle. Writes the
# "wlroots (phoc)" section of docs/benchmarks.md. About 3 minutes; not run by CI.
#
#   bench/wayland.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_BENCH_OUT (default
# docs/benchmarks.md), VELMORA_BENCH_QUICK=1 for a short run that checks the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BENCH_BUILD_DIR:-$root/build-bench}
work=$build/wayland
quick=${VELMORA_BENCH_QUICK:-0}
out=${VELMORA_BENCH_OUT:-$root/docs/benchmarks.md}
[ "$quick" = 1 ] && out=${VELMORA_BENCH_OUT:-$work/benchmarks-quick.md}
switches=20
cpu_seconds=30
if [ "$quick" = 1 ]; then switches=3 cpu_seconds=5; fi
locked=1280x720@60
foreign=1024x768@60,800x600@60
interval=1000

log() { echo "bench: $*" >&2; }
die() { echo "bench: $*" >&2; exit 1; }

"$root/scripts/deps.sh" test >/dev/null

log "building in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF \
  -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= >/dev/null
cmake --build "$build" -j1 --target velmora velmora_wlrwatch >/dev/null
velmora=$build/velmora
watch=$build/bench/velmora_wlrwatch

rm -rf "$work"
mkdir -p "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$root/scripts/wayland-host.sh" stop "$work/phoc" >/dev/null 2>&1 || true
}
trap cleanup EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
VELMORA_HEADLESS_OUTPUTS=3 VELMORA_REQUIRE_XSERVER=1 "$root/scripts/wayland-host.sh" start "$work/phoc" phoc >&2
socket=$(cat "$work/phoc/wayland")
phoc_pid=$(cat "$work/phoc/pid")

# shellcheck source=bench/cpu.sh
source "$root/bench/cpu.sh"

# p50 / p90 / max of column 4 of the watcher's lines (restore ms), and how many of the planned
# switches were restored within the watcher's 5 s (-1: not). A series that could not go on (the
# head not back in the locked mode before a switch) ends early; that is said too.
summary() {
  local lines restored
  lines=$(wc -l <"$1")
  restored=$(awk '$4 >= 0' "$1" | wc -l)
  awk '$4 >= 0 { print $4 }' "$1" | sort -n |
    awk '{ v[NR] = $1 } END {
      if (NR == 0) exit
      p50 = v[int((NR + 1) * 0.5)]; p90 = v[int((NR - 1) * 0.9) + 1]
      printf "p50 %.1f ms, p90 %.1f ms, max %.1f ms;", p50, p90, v[NR] }'
  printf ' %d of %d switches restored within 5 s' "$restored" "$switches"
  [ "$lines" -lt "$switches" ] && printf ' (the series ended after %d: %s)' "$lines" "$(tail -n 1 "${1%.txt}.err")"
  echo
}

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

# Ends PID and waits until it is gone (Velmora is started in a subshell: no child to wait for).
stop_pid() {
  kill "$1" 2>/dev/null || return 0
  wait "$1" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.05
  done
  die "$1 did not end within 5 s"
}

log "phoc idle, nothing attached"
idle=$(cpu_of "$phoc_pid")

log "Velmora locked ($interval ms poll)"
pid=$(start_velmora)
pids+=("$pid")
# The mode it locked is the one in use at its start: the catalogue's entry for 1280x720 at 60 Hz.
grep -q "^0: 1280 720 32 60$" "$work/home-velmora/velmora.log" ||
  die "Velmora does not list HEADLESS-1's mode (see $work/home-velmora/velmora.log)"
series velmora
cpu_velmora=$(cpu_of "$pid" "$phoc_pid")
stop_pid "$pid"

log "Velmora holding HEADLESS-1 and HEADLESS-2: one switched, then both at once"
pid=$(start_velmora two HEADLESS-2)
pids+=("$pid")
series multi-one
series multi-two HEADLESS-1,HEADLESS-2
stop_pid "$pid"
log "CPU holding one and three heads, at once"
pid=$(start_velmora one)
pid3=$(start_velmora three HEADLESS-2,HEADLESS-3)
pids+=("$pid" "$pid3")
cpu_multi=$(cpu_ns_of "$pid" "$pid3")
stop_pid "$pid"
stop_pid "$pid3"
read -r cpu_one cpu_three <<<"$cpu_multi"

log "reference holder, reads every 20 ms"
"$watch" hold "$socket" "$locked" 20 &
pid=$!
pids+=("$pid")
sleep 1
series reference
cpu_reference=$(cpu_of "$pid" "$phoc_pid")
stop_pid "$pid"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

section=$(mktemp)
{
  echo "## wlroots (phoc)"
  echo
  echo "Written by \`bench/wayland.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores shared with other"
  echo "work (load average $load_before before, $load_after after), phoc $(dpkg-query -W -f='${Version}' phoc)"
  echo "on wlroots $(dpkg-query -W -f='${Version}' libwlroots10), headless as in the tests (HEADLESS-1 at 0,0, HEADLESS-2"
  echo "at 1280,0, 1280x720 at 60 Hz). A foreign switch is a zwlr_output_manager_v1 configuration from"
  echo "another client that puts HEADLESS-1 into a custom mode (${foreign//,/ and }, in turn); the"
  echo "restore is timed from the return of that client's apply (its \`succeeded\` and one round trip"
  echo "after it) until the manager's \`done\` shows $locked again ($switches switches per row, 1.2 s of"
  echo "quiet before each: Velmora restores on an announcement at"
  echo "most once per poll interval, $interval ms here). Velmora runs with \`-d\` as a Wayland client of phoc"
  echo "and chooses its wlroots backend itself. CPU over ${cpu_seconds} s, locked and idle, in % of one core;"
  echo "phoc's idle figure is with nothing attached."
  echo
  echo "| holder | restore after a foreign switch | CPU holder | CPU phoc |"
  echo "|---|---|---|---|"
  echo "| Velmora, wlroots backend, $interval ms poll | $(summary "$work/velmora.txt") | ${cpu_velmora% *} % | ${cpu_velmora#* } % (idle $idle %) |"
  echo "| reference holder, 20 ms poll | $(summary "$work/reference.txt") | ${cpu_reference% *} % | ${cpu_reference#* } % (idle $idle %) |"
  echo
  echo "Several monitors, in the same run (phoc had a third headless output, HEADLESS-3, throughout); the other heads"
  echo "held through the store (\`Monitors/<key>\` groups written by \`velmora_wlrwatch store\` with"
  echo "app/MonitorSettings, each head in its mode at the start; checked held by a tick line each). One"
  echo "Velmora holding HEADLESS-1 and HEADLESS-2: first HEADLESS-1 switched, then both in one configuration,"
  echo "the restore lasting until both are in $locked again ($switches switches each, one series after the"
  echo "other). CPU: one Velmora holding HEADLESS-1 and another holding HEADLESS-1..3, running at the same"
  echo "time, over the same ${cpu_seconds} s, $interval ms poll; run time of every thread from \`/proc/PID/task/*/schedstat\`."
  echo
  echo "| switched at once | restore after a foreign switch |"
  echo "|---|---|"
  echo "| HEADLESS-1 | $(summary "$work/multi-one.txt") |"
  echo "| HEADLESS-1 and HEADLESS-2 | $(summary "$work/multi-two.txt") |"
  echo
  echo "| holds | CPU |"
  echo "|---|---|"
  echo "| one head | $cpu_one % |"
  echo "| three heads | $cpu_three % |"
  echo "| three / one | $(awk -v a="$cpu_three" -v b="$cpu_one" 'BEGIN { if (b > 0) printf "%.2f×", a / b; else print "–" }') |"
  echo
  echo "Raw series: \`$work/velmora.txt\`, \`reference.txt\`, \`multi-one.txt\` and \`multi-two.txt\`"
  echo "(n, foreign mode, foreign apply ms, restore ms; -1: not restored within 5 s)."
} >"$section"

# Replace the section in the output (up to the next "## " heading), else put it before the
# Wine section, else append it.
mkdir -p "$(dirname "$out")"
touch "$out"
awk -v file="$section" '
  BEGIN { while ((getline l < file) > 0) s = s l "\n" }
  /^## wlroots/ { printf "%s\n", s; skip = 1; done = 1; next }
  skip && /^## / { skip = 0 }
  !done && /^## Windows under Wine/ { printf "%s\n", s; done = 1 }
  !skip { print }
  END { if (!done) printf "\n%s", s }' "$out" >"$out.new"
mv "$out.new" "$out"
rm -f "$section"
log "wrote $out"
