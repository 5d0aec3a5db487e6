#!/usr/bin/env bash
# The Wayland test host in DIR (scripts/wayland-host.sh) runs, and the output-management
# protocol, seen by the host's witness tool, lists the outputs it was started with (three on
# KWin and phoc, two on sway).
#   check-wayland-host.sh DIR
set -u
dir=${1:?host directory}
host=$(cd "$(dirname "$0")/../scripts" && pwd)/wayland-host.sh

if [ -f "$dir/skip" ]; then
  echo "SKIPPED: $(cat "$dir/skip")"
  exit 0
fi
fail() {
  echo "FAIL: $1" >&2
  exit 1
}
[ -f "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null || fail "the host is not running"
kind=$(cat "$dir/kind")

# One line per output: name, enabled, current mode, position.
kscreen_outputs() {
  "$host" run "$dir" kscreen-doctor -o | sed 's/\x1b\[[0-9;]*m//g' | awk '
    $1 == "Output:" {
      mode = "-"; pos = "-"
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^[0-9]+:.*\*/) { mode = $i; sub(/^[0-9]+:/, "", mode); sub(/\*.*/, "", mode) }
        if ($i == "Geometry:") pos = $(i + 1)
      }
      print $3, $4, mode, pos
    }'
}

wlr_outputs() {
  "$host" run "$dir" wlr-randr | awk '
    function flush() { if (name != "") print name, enabled, mode, pos }
    /^[^ ]/ { flush(); name = $1; enabled = "-"; mode = "-"; pos = "-" }
    /^  Enabled:/ { enabled = $2 }
    /\(.*current.*\)/ { mode = $1 "@" $3 }
    /^  Position:/ { pos = $2 }
    END { flush() }'
}

# Sway from its own IPC (its output manager reports every head disabled at 0x0).
sway_outputs() {
  SWAYSOCK=$(cat "$dir/swaysock") swaymsg -p -t get_outputs | awk '
    function flush() { if (name != "") print name, mode, pos }
    /^Output / { flush(); name = $2; mode = "-"; pos = "-" }
    /Current mode:/ { mode = $3 "@" $5 }
    /Position:/ { pos = $2 }
    END { flush() }'
}

check() {
  local what=$1 actual=$2 expected=$3
  actual=$(sort <<<"$actual")
  [ "$actual" = "$expected" ] && return 0
  fail "$what lists
$actual
instead of
$expected"
}

case "$kind" in
kwin)
  check "kscreen-doctor" "$(kscreen_outputs)" "Virtual-0 enabled 1280x720@60 0,0
Virtual-1 enabled 1280x720@60 1280,0
Virtual-2 enabled 1280x720@60 2560,0"
  ;;
phoc)
  check "wlr-randr" "$(wlr_outputs)" "HEADLESS-1 yes 1280x720@60.000000 0,0
HEADLESS-2 yes 1280x720@60.000000 1280,0
HEADLESS-3 yes 1280x720@60.000000 2560,0"
  ;;
sway)
  check "wlr-randr" "$(wlr_outputs | cut -d' ' -f1)" "HEADLESS-1
HEADLESS-2"
  check "swaymsg" "$(sway_outputs)" "HEADLESS-1 1280x720@60.000 0,0
HEADLESS-2 1280x720@60.000 1280,0"
  ;;
*)
  fail "unknown host kind $kind"
  ;;
esac
echo "$kind: outputs as started"
