#!/usr/bin/env bash
# The arrangement benchmark, in one run with one build: on the test X server (three outputs)
# and on the phoc host (three heads), restore latency of a held arrangement after another
# program reorders it (two monitors swap places; on X11 also another primary) next to the
# restore of a mode (a foreign switch of the mode-locked monitor, and of one held only by the
# arrangement); CPU time of `velmora -d` holding an arrangement of three next to one holding a
# mode only, both at once; and how spread out in time one foreign change's announcements are
# on X11, phoc, nested Mutter and KWin (what the arrangement's wait for a still display,
# Deamon::SettleMs, has to cover). Leaves every sample in build-bench/results/arrangement.json;
# bench/report.py then writes the section "Arrangements" of docs/benchmarks.md. About 12
# minutes; not run by CI. Needs root (Xorg).
#
#   bench/arrangement.sh
#
# Environment: VELMORA_BENCH_BUILD_DIR (default build-bench), VELMORA_BENCH_OUT (default
# docs/benchmarks.md), VELMORA_BENCH_QUICK=1 for a short run that checks the script.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init arrangement
switches=20 cpu_seconds=60 bursts=5
if [ "$quick" = 1 ]; then switches=3 cpu_seconds=10 bursts=1; fi
quiet=2000 # a burst ends after this long without an announcement
# Before each switch: more than the 2 intervals + SettleMs (2.3 s at the seeded 1000 ms) within
# which another change counts as undoing the last restore (a fight, given up after three).
pause=2600

"$root/scripts/deps.sh" test >/dev/null

log "building in $build"
bench_build -- -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=ON -DVELMORA_SANITIZE= -- velmora velmoractl velmora_layoutwatch
velmora=$build/velmora
ctl=$build/velmoractl
watch=$build/bench/velmora_layoutwatch

rm -rf "$work"
mkdir -p "$work"
trap bench_cleanup EXIT
load_before=$(loadavg)
settle_err=$work/settle.err

# Each host's environment for a client, in penv (set by the host's part below; env's -u
# options first).
penv=()
in_host() { env -u VELMORA_FAKE_DISPLAY -u VELMORA_DISPLAY_BACKEND "${penv[@]}" "$@"; }

# start_held HOME [arrangement]: velmora -d in HOME (mode lock of the primary); with
# "arrangement", the arrangement on screen held through velmoractl. Prints the PID.
start_held() {
  local h=$1 what=${2:-}
  home_env "$h"
  # Started by this shell itself (env execs it): $! is the program's own PID.
  env -u VELMORA_FAKE_DISPLAY -u VELMORA_DISPLAY_BACKEND "${penv[@]}" "${henv[@]}" "$velmora" -d >"$h/velmora.log" 2>&1 &
  local pid=$!
  for _ in $(seq 1 200); do
    grep -qs "^msec:" "$h/velmora.log" && break
    sleep 0.05
  done
  grep -qs "^msec:" "$h/velmora.log" || die "velmora did not lock (see $h/velmora.log)"
  [ "$(readlink "/proc/$pid/exe")" = "$(readlink -f "$velmora")" ] || die "$pid is not velmora"
  if [ "$what" = arrangement ]; then
    in_host "${henv[@]}" "$ctl" hold --arrangement >>"$h/ctl.log" 2>&1 || die "hold --arrangement failed (see $h/ctl.log)"
    for _ in $(seq 1 100); do
      in_host "${henv[@]}" "$ctl" status >"$h/status.txt" 2>&1 || true
      grep -q "arrangement of .*  held" "$h/status.txt" && break
      sleep 0.1
    done
    grep -q "arrangement of .*  held" "$h/status.txt" || die "the arrangement is not held (see $h/status.txt)"
  fi
  echo "$pid"
}

# series HOST KIND CHANGE: one restore series into HOST-restore-KIND.txt.
series() {
  log "$1: restore after '$3'"
  in_host "$watch" restore "$switches" "$pause" "$3" >"$work/$1-restore-$2.txt" 2>"$work/$1-restore-$2.err" ||
    log "$1 $2: the series ended early: $(tail -n 1 "$work/$1-restore-$2.err")"
}
# bursts HOST CHANGE...: each change (and the next to undo it) $bursts times, nothing held.
bursts() {
  local host=$1 all=() i
  shift
  for i in $(seq 1 "$bursts"); do all+=("$@"); done
  log "$host: announcements of $# changes, $bursts times"
  in_host "$watch" settle "$quiet" "${all[@]}" >"$work/$host-settle.txt" 2>>"$settle_err" ||
    log "$host: the settle series ended early: $(tail -n 1 "$settle_err")"
}
# cpu HOST HOST_PID: velmora -d holding a mode only and another holding the arrangement too, at once.
cpu() {
  local host=$1 host_pid=$2 one three
  log "$host: CPU over $cpu_seconds s, one mode lock next to an arrangement of three, at once"
  one=$(start_held "$(new_home)")
  started+=("$one")
  three=$(start_held "$(new_home)" arrangement)
  started+=("$three")
  sleep 2
  cpu_over "$cpu_seconds" "$work/$host-cpu.txt" "$one" "$three" "$host_pid"
  stop_pid "$one"
  stop_pid "$three"
}
# the layout at the end matches the one at the start: nothing was left changed
same_layout() { in_host "$watch" layout >"$work/$1-layout-end.txt"; cmp -s "$work/$1-layout.txt" "$work/$1-layout-end.txt" || die "$1: the layout changed: $(cat "$work/$1-layout-end.txt")"; }

# ---- X11: the test X server, three outputs ----------------------------------------------------
host_start xserver.sh "$work/xserver"
xdisplay=$(cat "$work/xserver/display")
xorg_pid=$(cat "$work/xserver/pid")
penv=(DISPLAY="$xdisplay" QT_QPA_PLATFORM=xcb VELMORA_DISPLAY_BACKEND=x11)
DISPLAY=$xdisplay three_outputs DUMMY0 1024x768_60 800x600_60
in_host "$watch" layout >"$work/x11-layout.txt"

bursts x11 "xrandr --output DUMMY2 --off" "xrandr --output DUMMY2 --mode 1024x768_60 --right-of DUMMY1" \
  "xrandr --output DUMMY2 --pos 0x768" "xrandr --output DUMMY2 --pos 2048x0" \
  "xrandr --output DUMMY0 --mode 800x600_60" "xrandr --output DUMMY0 --mode 1024x768_60"
same_layout x11

h=$(new_home)
pid=$(start_held "$h" arrangement)
started+=("$pid")
sleep 1
series x11 swap "xrandr --output DUMMY0 --pos 1024x0 --output DUMMY1 --pos 0x0"
series x11 primary "xrandr --output DUMMY1 --primary"
series x11 mode "xrandr --output DUMMY0 --mode 800x600_60"
series x11 mode-arranged "xrandr --output DUMMY1 --mode 800x600_60"
stop_pid "$pid"
x11_putback=$(grep -c "^hold: putting back the arrangement" "$h/velmora.log" || true)
same_layout x11
cpu x11 "$xorg_pid"

# ---- phoc: three headless heads ------------------------------------------------------------
VELMORA_HEADLESS_OUTPUTS=3 host_start wayland-host.sh "$work/phoc" phoc
# The runtime folder is phoc's, for wlr-randr (run by the watcher); Velmora has its home's.
penv=(-u DISPLAY -u DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY="$(cat "$work/phoc/wayland")"
      XDG_RUNTIME_DIR="$(readlink -f "$work/phoc/runtime")" QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland
      VELMORA_DISPLAY_BACKEND=wlroots)
in_host "$watch" layout >"$work/phoc-layout.txt"
wlr() { echo "wlr-randr $*"; }
# phoc refuses to switch a head off (and leaves every head at 0,0 after that): places and modes.
bursts phoc "$(wlr --output HEADLESS-3 --pos 0,720)" "$(wlr --output HEADLESS-3 --pos 2560,0)" \
  "$(wlr --output HEADLESS-3 --custom-mode 1024x768)" "$(wlr --output HEADLESS-3 --custom-mode 1280x720)"
same_layout phoc

h=$(new_home)
pid=$(start_held "$h" arrangement)
started+=("$pid")
sleep 1
series phoc swap "$(wlr --output HEADLESS-1 --pos 1280,0 --output HEADLESS-2 --pos 0,0)"
series phoc mode "$(wlr --output HEADLESS-1 --custom-mode 1024x768)"
series phoc mode-arranged "$(wlr --output HEADLESS-2 --custom-mode 1024x768)"
stop_pid "$pid"
phoc_putback=$(grep -c "^hold: putting back the arrangement" "$h/velmora.log" || true)
same_layout phoc
cpu phoc "$(cat "$work/phoc/pid")"
"$root/scripts/wayland-host.sh" stop "$work/phoc" >/dev/null 2>&1 || true

# ---- Nested Mutter (two monitors) and KWin (three virtual outputs): announcements only ----------
host_start mutter.sh "$work/mutter" nested "$work/xserver"
if [ ! -f "$work/mutter/skip" ]; then
  penv=(-u DISPLAY -u WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS="$(cat "$work/mutter/bus")" VELMORA_DISPLAY_BACKEND=gnome)
  in_host "$watch" layout >"$work/mutter-layout.txt"
  read -r m0 _ _ p0 _ < <(sed -n 1p "$work/mutter-layout.txt")
  read -r m1 _ _ p1 _ < <(sed -n 2p "$work/mutter-layout.txt")
  # No command-line tool here: ApplyMonitorsConfig through the watcher's own connection.
  bursts mutter "pos:$m1:0,${p0#*,}+pos:$m0:${p1%,*},${p1#*,}" "pos:$m0:${p0%,*},${p0#*,}+pos:$m1:${p1%,*},${p1#*,}" \
    "mode:$m1:1024x768@60" "mode:$m1:1920x1080@60"
fi
"$root/scripts/mutter.sh" stop "$work/mutter" >/dev/null 2>&1 || true

host_start wayland-host.sh "$work/kwin" kwin
# As scripts/wayland-host.sh runs a client there: libkscreen in process, for kscreen-doctor.
penv=(-u DISPLAY -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_SOCKET -u KSCREEN_BACKEND WAYLAND_DISPLAY="$(cat "$work/kwin/wayland")"
      XDG_RUNTIME_DIR="$(readlink -f "$work/kwin/runtime")" QT_QPA_PLATFORM=wayland KSCREEN_BACKEND_INPROCESS=1
      VELMORA_DISPLAY_BACKEND=kde)
in_host "$watch" layout >"$work/kwin-layout.txt"
bursts kwin "kscreen-doctor output.Virtual-2.disable" "kscreen-doctor output.Virtual-2.enable output.Virtual-2.position.2560,0" \
  "kscreen-doctor output.Virtual-2.position.0,720" "kscreen-doctor output.Virtual-2.position.2560,0"
load_after=$(loadavg)

bench_cleanup
trap - EXIT
record switches="$switches" cpu_seconds="$cpu_seconds" bursts="$bursts" quiet_ms="$quiet" pause_ms="$pause" \
  settle_ms="$(sed -n 's/.* SettleMs = \([0-9]*\);.*/\1/p' "$root/daemon/Deamon.h")" \
  load_start="$load_before" load_end="$load_after" raw="$work" head="$(git -C "$root" rev-parse --short HEAD)" \
  xorg="$(Xorg -version 2>&1 | sed -n 's/^X.Org X Server /Xorg /p' | head -n 1)" \
  x11_putback="$x11_putback" phoc_putback="$phoc_putback" \
  phoc="$(dpkg-query -W -f='${Version}' phoc || echo '?')" mutter="$(dpkg-query -W -f='${Version}' mutter || echo '?')" \
  kwin="$(dpkg-query -W -f='${Version}' kwin-wayland || echo '?')"
for host in x11 phoc mutter kwin; do
  record --rows "$host-settle=$work/$host-settle.txt" --text "$host-layout=$work/$host-layout.txt"
done
for k in x11-restore-swap x11-restore-primary x11-restore-mode x11-restore-mode-arranged \
  phoc-restore-swap phoc-restore-mode phoc-restore-mode-arranged; do
  record --rows "$k=$work/$k.txt" --text "$k-err=$work/$k.err"
done
record --rows x11-cpu="$work/x11-cpu.txt" --rows phoc-cpu="$work/phoc-cpu.txt" --text settle-err="$settle_err"
bench_write
bench_report
