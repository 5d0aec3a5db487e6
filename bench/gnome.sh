#!/usr/bin/env bash
# The GNOME benchmark: on both Mutter hosts of the tests (Mutter as the window manager of a
# headless X server, and nested as a Wayland compositor), restore latency after a foreign
# DisplayConfig switch for Velmora and for a reference holder that polls GetCurrentState every
# 20 ms, in the same run; CPU time of Velmora and of Mutter while locked and idle. Writes the
# "GNOME" section of docs/benchmarks.md. About 5 minutes; not run by CI. Needs root (Xorg).
#
#   bench/gnome.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_BENCH_OUT (default
# docs/benchmarks.md), VELMORA_BENCH_QUICK=1 for a short run that checks the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BENCH_BUILD_DIR:-$root/build-bench}
work=$build/gnome
quick=${VELMORA_BENCH_QUICK:-0}
out=${VELMORA_BENCH_OUT:-$root/docs/benchmarks.md}
[ "$quick" = 1 ] && out=${VELMORA_BENCH_OUT:-$work/benchmarks-quick.md}
switches=20
cpu_seconds=30
if [ "$quick" = 1 ]; then switches=3 cpu_seconds=5; fi

log() { echo "bench: $*" >&2; }
die() { echo "bench: $*" >&2; exit 1; }

"$root/scripts/deps.sh" test >/dev/null

log "building in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF \
  -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= >/dev/null
cmake --build "$build" -j2 --target velmora velmora_gnomewatch >/dev/null
velmora=$build/velmora
watch=$build/bench/velmora_gnomewatch

rm -rf "$work"
mkdir -p "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$root/scripts/mutter.sh" stop "$work/nested" >/dev/null 2>&1 || true
  "$root/scripts/mutter.sh" stop "$work/x11" >/dev/null 2>&1 || true
  "$root/scripts/xserver.sh" stop "$work/xserver" >/dev/null 2>&1 || true
}
trap cleanup EXIT
export VELMORA_REQUIRE_XSERVER=1
"$root/scripts/xserver.sh" start "$work/xserver" >&2
"$root/scripts/mutter.sh" start "$work/x11" x11 "$work/xserver" >&2
"$root/scripts/mutter.sh" start "$work/nested" nested "$work/xserver" >&2
xdisplay=$(cat "$work/xserver/display")

# shellcheck source=bench/cpu.sh
source "$root/bench/cpu.sh"

# p50 / p90 / max of column 4 of the watcher's lines (restore ms), -1 counted as failures.
summary() {
  awk '$4 >= 0 { print $4 } $4 < 0 { f++ } END { if (f) print "failed " f > "/dev/stderr" }' "$1" | sort -n |
    awk '{ v[NR] = $1 } END {
      if (NR == 0) { print "n=0"; exit }
      p50 = v[int((NR + 1) * 0.5)]; p90 = v[int((NR - 1) * 0.9) + 1]
      printf "n=%d p50 %.1f ms, p90 %.1f ms, max %.1f ms", NR, p50, p90, v[NR] }'
}

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

results=()
run_host() { # name dir locked foreign
  local host=$1 dir=$2 locked=$3 foreign=$4
  local bus mutter_pid
  bus=$(cat "$dir/bus")
  mutter_pid=$(cat "$dir/mutter.pid")
  "$watch" restore "$bus" "$locked" "$locked" 1 >/dev/null 2>&1 || true

  log "$host: Mutter idle, nothing attached"
  local idle
  idle=$(cpu_of "$mutter_pid")

  log "$host: Velmora (GNOME backend) locked"
  local pid
  pid=$(start_velmora "$host" "$dir" "$work/home-$host" VELMORA_DISPLAY_BACKEND=gnome)
  pids+=("$pid")
  "$watch" restore "$bus" "$locked" "$foreign" "$switches" >"$work/$host-velmora.txt"
  local cpu_velmora
  cpu_velmora=$(cpu_of "$pid" "$mutter_pid")
  kill "$pid"; wait "$pid" 2>/dev/null || true

  local auto=""
  if [ "$host" = x11 ]; then
    log "$host: Velmora, platform chosen automatically (RandR)"
    pid=$(start_velmora "$host" "$dir" "$work/home-$host-auto")
    pids+=("$pid")
    "$watch" restore "$bus" "$locked" "$foreign" "$switches" >"$work/$host-auto.txt"
    auto=$(summary "$work/$host-auto.txt")
    kill "$pid"; wait "$pid" 2>/dev/null || true
  fi

  log "$host: reference holder, GetCurrentState every 20 ms"
  "$watch" hold "$bus" "$locked" 20 &
  pid=$!
  pids+=("$pid")
  sleep 1
  "$watch" restore "$bus" "$locked" "$foreign" "$switches" >"$work/$host-reference.txt"
  local cpu_reference
  cpu_reference=$(cpu_of "$pid" "$mutter_pid")
  kill "$pid"; wait "$pid" 2>/dev/null || true

  results+=("| $host | Velmora, GNOME backend | $(summary "$work/$host-velmora.txt") | ${cpu_velmora% *} % | ${cpu_velmora#* } % (idle $idle %) |")
  [ -n "$auto" ] && results+=("| $host | Velmora, chosen automatically: RandR | $auto | | |")
  results+=("| $host | reference holder, 20 ms poll | $(summary "$work/$host-reference.txt") | ${cpu_reference% *} % | ${cpu_reference#* } % (idle $idle %) |")
}

run_host x11 "$work/x11" 1024x768@60 800x600@60,1400x900@60
run_host nested "$work/nested" 1920x1080@60 1280x720@60,1920x1080@59

section=$(mktemp)
{
  echo "## GNOME (Mutter's DisplayConfig)"
  echo
  echo "Written by \`bench/gnome.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores shared with other work,"
  echo "mutter $(dpkg-query -W -f='${Version}' mutter). Hosts as in the tests: Mutter as the window manager"
  echo "of the headless X server (x11), and nested as a Wayland compositor with two fake monitors (nested;"
  echo "Velmora a Wayland client there, DISPLAY at XWayland). A foreign switch is an ApplyMonitorsConfig"
  echo "from another client; the restore is timed from its reply until MonitorsChanged shows the locked"
  echo "mode again ($switches switches per row, 1.2 s of quiet before each: Velmora restores on an"
  echo "announcement at most once per poll interval, 1 s here). CPU over ${cpu_seconds} s, locked"
  echo "and idle, in % of one core; Mutter's idle figure is with nothing attached."
  echo
  echo "| host | holder | restore after a foreign switch | CPU holder | CPU Mutter |"
  echo "|---|---|---|---|---|"
  printf '%s\n' "${results[@]}"
  echo
  echo "Raw series: \`$work/*.txt\` (n, foreign mode, foreign apply ms, restore ms)."
} >"$section"

# Replace the section in the output (up to the next "## " heading), or append it.
mkdir -p "$(dirname "$out")"
touch "$out"
awk -v file="$section" '
  BEGIN { while ((getline l < file) > 0) s = s l "\n" }
  /^## GNOME/ { printf "%s", s; skip = 1; done = 1; next }
  skip && /^## / { skip = 0 }
  !skip { print }
  END { if (!done) printf "\n%s", s }' "$out" >"$out.new"
mv "$out.new" "$out"
rm -f "$section"
log "wrote $out"
