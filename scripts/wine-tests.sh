#!/usr/bin/env bash
# Cross-builds the Win32 display layer's test program with mingw-w64 and runs it under Wine on
# a headless X server (Wine's USER32 sits on RandR, so the modes are the X server's). What the
# program did to the screen is checked from outside with xrandr.
#   wine-tests.sh BUILD_DIR     work files go to BUILD_DIR/win32
# Ends with "N passed, N failed" (its own checks plus the program's); exits 1 if one failed.
# Without the tools and without root to install them it says SKIPPED and exits 0.
set -u
build=${1:?usage: wine-tests.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
mkdir -p "$build/win32"
work=$(cd "$build/win32" && pwd)
exe=$work/tst_win32display.exe
xdir=$work/xserver
started=$(date +%s)

cxx=x86_64-w64-mingw32-g++-posix
objdump=x86_64-w64-mingw32-objdump
packages="g++-mingw-w64-x86-64-posix wine wine64"

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok   $*"; }
bad() { failed=$((failed + 1)); echo "FAIL $*"; }
elapsed() { echo "$(($(date +%s) - started)) s"; }

finish() {
  echo "wine-tests: done in $(elapsed)"
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
  exit
}

skipped() {
  echo "wine-tests: SKIPPED: $1"
  exit 0
}

# --- Tools -------------------------------------------------------------------------------------
have_tools() {
  command -v "$cxx" && command -v "$objdump" && command -v wine && command -v wineserver
} >/dev/null
if ! have_tools; then
  if [ "$(id -u)" = 0 ]; then
    echo "wine-tests: installing $packages"
    export DEBIAN_FRONTEND=noninteractive
    # Other builds may hold the dpkg lock for a while: wait for it rather than fail.
    apt-get -o DPkg::Lock::Timeout=300 update -qq >"$work/apt.log" 2>&1 &&
      apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends $packages \
        >>"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log"; }
  fi
  have_tools || {
    echo "apt-get install -y --no-install-recommends $packages"
    skipped "mingw-w64 (posix threads) and Wine are not installed"
  }
fi
command -v xrandr >/dev/null || skipped "xrandr is not installed (x11-xserver-utils)"

# --- Build -------------------------------------------------------------------------------------
if "$cxx" -std=c++17 -static -O2 -Wall -Wextra -Wpedantic -I"$src/display" -I"$src/display/win32" -o "$exe" \
     "$src/tests/win32/tst_win32display.cpp" "$src/display/DisplayBackend.cpp" "$src/display/MonitorIdentity.cpp" \
     "$src/display/win32/Win32DisplayBackend.cpp"; then
  ok "build with $cxx -static"
else
  bad "build with $cxx -static"
  finish
fi
imports=$("$objdump" -p "$exe" | awk '/DLL Name:/ { print toupper($3) }' | sort -u | tr '\n' ' ')
if [ "$imports" = "KERNEL32.DLL MSVCRT.DLL USER32.DLL " ]; then
  ok "the .exe imports only KERNEL32, USER32 and msvcrt"
else
  bad "the .exe imports $imports"
fi

# --- X server and Wine prefix, torn down on every way out ---------------------------------------
prefix=
wspid=
waitpid=
cleanup() {
  trap - EXIT INT TERM
  [ -n "$waitpid" ] && kill "$waitpid" 2>/dev/null
  if [ -n "$wspid" ]; then
    WINEPREFIX=$prefix wineserver -k 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$wspid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$wspid" 2>/dev/null
    wait "$wspid" 2>/dev/null
  fi
  "$here/xserver.sh" stop "$xdir" >/dev/null
  [ -n "$prefix" ] && rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$here/xserver.sh" start "$xdir" || { bad "start the X server"; finish; }
[ -f "$xdir/skip" ] && skipped "$(cat "$xdir/skip")"
export DISPLAY
DISPLAY=$(cat "$xdir/display")
unset WAYLAND_DISPLAY
# Wine rescales the screen's size in mm; a DPI set first keeps that from shrinking to nothing.
xrandr --dpi 96

prefix=$(mktemp -d /tmp/velmora-wine.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Our own persistent wineserver, so that the runs below share it and it can be stopped by PID.
wineserver -f -p &
wspid=$!
for _ in $(seq 1 100); do
  [ -S "/proc/$wspid/cwd/socket" ] && break
  kill -0 "$wspid" 2>/dev/null || break
  sleep 0.1
done
[ -S "/proc/$wspid/cwd/socket" ] || { bad "start wineserver"; finish; }
t0=$(date +%s)
if timeout 120 wine wineboot.exe --init >"$work/wineboot.log" 2>&1; then
  echo "wine-tests: prefix $prefix created in $(($(date +%s) - t0)) s"
else
  bad "create the Wine prefix (see $work/wineboot.log)"
  finish
fi

# --- Helpers -------------------------------------------------------------------------------------
# The modes of an output (DUMMY0 unless given) as X has them: "XID W H HZ CURRENT" per mode,
# HZ rounded the way Wine rounds dot clock / (htotal * vtotal).
xmodes() {
  xrandr --current --verbose | awk -v name="${1:-DUMMY0}" '
    /^[^ \t]/ { out = ($1 == name); next }
    !out { next }
    /^  [^ \t]/ && $2 ~ /^\(0x/ {
      id = substr($2, 2, length($2) - 2); clock = $3; sub(/MHz/, "", clock)
      flags = $0; cur = ($0 ~ /\*current/) ? 1 : 0; next }
    /^ +h: / { for (i = 1; i < NF; i++) { if ($i == "width") w = $(i + 1); if ($i == "total") ht = $(i + 1) }; next }
    /^ +v: / { for (i = 1; i < NF; i++) { if ($i == "height") h = $(i + 1); if ($i == "total") vt = $(i + 1) }
      dots = ht * vt
      if (flags ~ /DoubleScan/) dots *= 2
      if (flags ~ /Interlace/) dots /= 2
      printf "%s %d %d %d %d\n", id, w, h, int(clock * 1000000 / dots + 0.5), cur }'
}
# "W H HZ" of the mode X has now on an output (DUMMY0 unless given); empty when it is off.
xcurrent() { xmodes "${1:-DUMMY0}" | awk '$5 == 1 { print $2, $3, $4; exit }'; }
# "WxH+X+Y" of an output; empty when it is off.
geometry() { xrandr --current | awk -v name="$1" '$1 == name { for (i = 3; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+[+-]/) { print $i; exit } }'; }
# Checks that X shows width, height and rounded refresh of "W H B F" (X cannot show B) on an
# output (DUMMY0 unless given as $3).
xcheck() {
  local want now out=${3:-DUMMY0}
  want=$(echo "$2" | awk '{ print $1, $2, $4 }')
  now=$(xcurrent "$out")
  if [ "$now" = "$want" ]; then ok "$1: xrandr shows $out in $now"; else bad "$1: xrandr shows $out in '$now', want '$want'"; fi
}
# Wine learns of a change made outside through explorer.exe, a little later. Runs the program
# with read-only commands until a line of its output matches the extended regex $2.
# $1: run name, $2: regex, then the commands.
wine_sees() {
  local name=$1 regex=$2 try
  shift 2
  for try in 1 2 3 4 5 6 7 8 9 10; do
    timeout 60 wine "$exe" "$@" </dev/null 2>"$work/$name.err" | tr -d '\r' >"$work/$name.out"
    grep -qE "$regex" "$work/$name.out" && return 0
    sleep 0.5
  done
  return 1
}
# Folds a finished run's own checks into the totals. $1: run name.
collect() {
  local name=$1 last
  tr -d '\r' <"$work/$name.raw" >"$work/$name.out"
  grep -E '^(ok  |FAIL) ' "$work/$name.out" | sed "s/^/  [$name] /"
  last=$(tail -n 1 "$work/$name.out")
  if [[ $last =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[2]))
  else
    bad "run $name did not finish (see $work/$name.raw, $work/$name.err)"
  fi
}
# One run of the program in a new Wine process. $1: run name, then its commands.
run() {
  local name=$1
  shift
  timeout 60 wine "$exe" "$@" >"$work/$name.raw" 2>"$work/$name.err" </dev/null
  collect "$name"
}
# A run that stops at its "wait" command until resume; meanwhile X can be changed from outside.
run_waiting() {
  local name=$1
  shift
  rm -f "$work/$name.in"
  mkfifo "$work/$name.in"
  timeout 60 wine "$exe" "$@" <"$work/$name.in" >"$work/$name.raw" 2>"$work/$name.err" &
  waitpid=$!
  exec 3>"$work/$name.in"
  for _ in $(seq 1 300); do
    if grep -q '^waiting' "$work/$name.raw" 2>/dev/null; then
      tr -d '\r' <"$work/$name.raw" >"$work/$name.out"
      return 0
    fi
    kill -0 "$waitpid" 2>/dev/null || break
    sleep 0.1
  done
  bad "run $name did not reach its wait (see $work/$name.raw, $work/$name.err)"
  kill "$waitpid" 2>/dev/null
  wait "$waitpid"
  waitpid=
  exec 3>&-
  return 1
}
resume() {
  echo go >&3
  exec 3>&-
  wait "$waitpid"
  waitpid=
  collect "$1"
}
# Field of an output line "KEY ..." of a run: field KEY name [index].
field() { awk -v k="$2" '$1 == k { print; exit }' "$work/$1.out" | cut -d' ' -f"$3"; }
# Entries "N W H B F" that a run listed.
listed() { awk '$1 == "mode" { print $2, $3, $4, $5, $6 }' "$work/$1.out"; }
# "W H B F" that the X modes make: each of them at 32, 16 and 8 bits per pixel.
expected_list() { xmodes | awk '{ for (b = 32; b >= 8; b /= 2) print $2, $3, b, $4 }' | sort; }
# Checks a run's list against X: numbers 0..C-1 in order, and the X modes at three depths.
check_list() {
  local name=$1 count numbers diff
  count=$(field "$name" count 2)
  numbers=$(listed "$name" | awk '$1 != NR - 1 { bad = 1 } END { print (bad ? "gap" : NR) }')
  if [ -n "$count" ] && [ "$numbers" = "$count" ]; then
    ok "$name: modes numbered 0 to $((count - 1)) without gaps, then the list ends"
  else
    bad "$name: numbering '$numbers', count '$count'"
  fi
  diff=$(diff <(listed "$name" | cut -d' ' -f2- | sort) <(expected_list) | grep '^[<>]' | head -n 5)
  if [ -z "$diff" ]; then
    ok "$name: the $count listed modes are X's $(xmodes | wc -l) modes at 32, 16 and 8 bpp"
  else
    bad "$name: listed modes differ from X's (< listed, > X): $(echo "$diff" | tr '\n' ';')"
  fi
}
# Wine keeps its own copy of X's mode list and renews it when a CRTC changes (explorer.exe gets
# the RandR event, a little later), not when a mode is only added or removed. So after such a
# change: switch away and back from outside, then list until the copy has caught up (a few tries).
resync() {
  local name=$1 back away cw ch try
  read -r cw ch _ < <(xcurrent)
  back=$(xmodes | awk '$5 == 1 { print $1 }')
  away=$(xmodes | awk -v w="$cw" -v h="$ch" '$2 != w || $3 != h { print $1; exit }')
  xrandr --output DUMMY0 --mode "$away"
  xrandr --output DUMMY0 --mode "$back"
  for try in 1 2 3 4 5 6; do
    timeout 60 wine "$exe" list >"$work/$name.raw" 2>"$work/$name.err" </dev/null
    tr -d '\r' <"$work/$name.raw" >"$work/$name.out"
    [ "$(listed "$name" | cut -d' ' -f2- | sort)" = "$(expected_list)" ] && break
    sleep 0.5
  done
  [ "$try" = 1 ] || echo "wine-tests: $name: Wine's mode list caught up on try $try"
  collect "$name"
  check_list "$name"
}
# Number of the first entry "N W H B F" of a run's list that meets the awk condition $2.
pick() { listed "$1" | awk "$2 { print \$1; exit }"; }
pick_last() { listed "$1" | awk "$2 { n = \$1 } END { print n }"; }
entry() { listed "$1" | awk -v n="$2" '$1 == n { print $2, $3, $4, $5 }'; }

# --- The runs ------------------------------------------------------------------------------------
read -r ow oh of < <(xcurrent)
oid=$(xmodes | awk '$5 == 1 { print $1 }')
echo "wine-tests: X starts in ${ow}x${oh} ${of} Hz (mode $oid)"

# The devices, listing and current settings.
run list devices list current outputs
check_list list
ndev=$(grep -c '^device ' "$work/list.out")
nout=$(xrandr --current | grep -c ' connected')
[ "$ndev" = "$nout" ] && ok "Wine lists $ndev display device(s) for X's $nout connected output(s)" \
  || bad "Wine lists $ndev display devices, X has $nout connected outputs"
cur=$(field list current 2-)
[ "$cur" = "$ow $oh 32 $of" ] && ok "current settings read $cur" || bad "current settings read '$cur', X has $ow $oh (32) $of"
out=$(awk '$1 == "output" && $3 == "primary" { print $4, $6, $7, $8, $9 }' "$work/list.out")
[ "$out" = "Active $ow $oh 32 $of" ] && ok "the primary output reads Active in $ow $oh 32 $of" \
  || bad "the primary output reads '$out', X has Active $ow $oh (32) $of"

# Applying listed modes: another size at 32 bpp, another size at 16 bpp, the first size at
# another refresh rate (the last one listed: Wine takes the first of a size when the rate is
# lost on the way). Each run is a new process, which must see what the last one did.
a=$(pick list "\$4 == 32 && !(\$2 == $ow && \$3 == $oh)")
aw=$(entry list "$a" | cut -d' ' -f1)
b=$(pick list "\$4 == 16 && !(\$2 == $ow && \$3 == $oh) && \$2 != $aw")
r=$(pick_last list "\$4 == 32 && \$2 == $ow && \$3 == $oh && \$5 != $of")
if [ -z "$a" ] || [ -z "$b" ] || [ -z "$r" ]; then
  bad "X offers the modes these tests need (another size, another refresh rate)"
  finish
fi
run apply-a apply "$a"
xcheck "apply $a" "$(entry list "$a")"
run apply-b current apply "$b"
read -r w h _ f < <(entry list "$a")
[ "$(field apply-b current 2-)" = "$w $h 32 $f" ] && ok "a new process reads the mode the last one applied" \
  || bad "a new process reads '$(field apply-b current 2-)' after apply $a"
xcheck "apply $b" "$(entry list "$b")"
run apply-r apply "$r" apply-missing request
xcheck "apply $r, then values not listed refused" "$(entry list "$r")"

# A change made outside Wine, seen by a new process; re-applying the current values keeps it.
read -r mid mw mh mf < <(xmodes | awk -v w="$ow" -v h="$oh" -v aw="$aw" '$2 != w && $2 != aw { print $1, $2, $3, $4; exit }')
xrandr --output DUMMY0 --mode "$mid"
run outside current reapply-current
[ "$(field outside current 2-)" = "$mw $mh 32 $mf" ] && ok "a new process reads the mode set with xrandr: $mw $mh 32 $mf" \
  || bad "after xrandr --mode $mid a new process reads '$(field outside current 2-)', want $mw $mh 32 $mf"
xcheck "re-apply of the current values" "$mw $mh 32 $mf"

# Which of two X modes with the same four values (twins, 59.92 and 60.00 Hz) a re-apply keeps
# cannot be seen here: Wine matches any record to the first of its modes with those values.

# A process started before an outside change still has the old mode as current settings
# (Wine caches it per process): its re-apply puts that mode back, which shows that a re-apply
# uses the settings the process reads.
read -r nid nw nh nf < <(xmodes | awk -v w="$mw" -v h="$mh" '$2 != w { print $1, $2, $3, $4; exit }')
if run_waiting cached current wait reapply-current; then
  xrandr --output DUMMY0 --mode "$nid"
  xcheck "xrandr --mode $nid while the process waits" "$nw $nh 32 $nf"
  resume cached
  xcheck "re-apply in the older process" "$mw $mh 32 $mf"
fi

# A mode that the X server loses after a process listed it must not be applied.
xrandr --newmode velmora_extra 62.25 1152 1216 1336 1520 648 651 656 684 -hsync +vsync
xrandr --addmode DUMMY0 velmora_extra
resync added
k=$(pick added '$2 == 1152 && $3 == 648 && $4 == 32')
remove_extra() {
  xrandr --delmode DUMMY0 velmora_extra
  xrandr --rmmode velmora_extra
}
if [ -n "$k" ] && run_waiting gone list wait refuse "$k"; then
  [ "$(entry gone "$k")" = "$(entry added "$k")" ] && ok "the waiting process lists the added mode as $k too" \
    || bad "the waiting process lists '$(entry gone "$k")' as $k"
  remove_extra
  resume gone
  xcheck "refused $k" "$mw $mh 32 $mf"
else
  [ -n "$k" ] || bad "the added mode 1152x648 is listed"
  remove_extra
fi

# A new process no longer lists the removed mode.
resync removed

# Both threads at once, then back to the mode X started in.
run threads threads
xcheck "threads" "$mw $mh 32 $mf"
# A switch made by another Windows program reaches a running process as WM_DISPLAYCHANGE.
if run_waiting announce watch wait announced; then
  run announcer push $(entry list "$a")
  resume announce
fi
orig=$(pick removed "\$2 == $ow && \$3 == $oh && \$4 == 32 && \$5 == $of")
if [ -n "$orig" ]; then
  run restore apply "$orig"
  xcheck "restore the original mode with apply $orig" "$ow $oh 32 $of"
else
  bad "the original mode $ow $oh 32 $of is listed"
fi

# The pinned output is switched off from outside while a process waits: it reads Off and
# applies nothing. A process started while it is off has nothing to pin (Wine lists the
# device, but not on the desktop).
if run_waiting off state wait off; then
  xrandr --output DUMMY0 --off
  wine_sees none '^pinned $' state || bad "off: Wine still shows a device on the desktop"
  resume off
  geo=$(geometry DUMMY0)
  [ -z "$geo" ] && ok "off: DUMMY0 is still off after the applies" || bad "off: the applies switched DUMMY0 on ($geo)"
  run none none outputs
  out=$(awk '$1 == "output" { print $2, $4 }' "$work/none.out" | tr '\n' ' ')
  [ "$out" = '\\.\DISPLAY1 Off ' ] && ok "none: the device off the desktop is listed Off" || bad "none: outputs read '$out'"
  geo=$(geometry DUMMY0)
  [ -z "$geo" ] && ok "none: DUMMY0 is still off" || bad "none: DUMMY0 was switched on ($geo)"
fi
xrandr --output DUMMY0 --mode "$oid"
wine_sees on "^state Active $ow $oh 32 $of\$" state || bad "Wine sees DUMMY0 on again"

# A second output, right of DUMMY0. Wine names the device of the X primary \\.\DISPLAY1.
xrandr --addmode DUMMY1 1024x768_60
xrandr --output DUMMY1 --mode 1024x768_60 --right-of DUMMY0
# The dummy driver reports DUMMY1 connected only from its next probe on; Wine asks with
# --current, which does not probe.
xrandr >/dev/null
attached() { awk '$1 == "device" && $3 ~ /[13579bdf]$/' "$work/$1.out" | wc -l; }
for _ in $(seq 1 20); do
  wine_sees two-seen '^device ' devices && [ "$(attached two-seen)" = 2 ] && break
  sleep 0.5
done
if [ "$(attached two-seen)" = 2 ]; then
  ok "Wine lists two devices on the desktop once DUMMY1 is on"
  read -r _ sw sh sf _ < <(xmodes | awk '$2 == 800 && $3 == 600 { print; exit }')
  other=$(xcurrent DUMMY1)
  run two devices set "$sw" "$sh" 32 "$sf"
  xcheck "two outputs: set $sw $sh 32 $sf" "$sw $sh 32 $sf"
  xcheck "two outputs: the other output" "$(echo "$other" | awk '{ print $1, $2, 32, $3 }')" DUMMY1
  echo "wine-tests: two outputs: DUMMY0 $(geometry DUMMY0), DUMMY1 $(geometry DUMMY1)"

  # The lock's process pins DUMMY0 (primary), then DUMMY1 becomes primary, then it applies:
  # the switch must reach DUMMY0 and leave DUMMY1's mode alone (Wine lays the outputs out
  # anew, so their positions may move). What the process reads back is left out: Wine renames
  # the devices under it, its reads then go by the new names and its applies by the old ones.
  read -r _ pw ph pf _ < <(xmodes | awk -v w="$ow" -v h="$oh" -v f="$of" '$2 == w && $3 == h && $4 != f { print; exit }')
  if run_waiting primary-later current wait push "$pw" "$ph" 32 "$pf"; then
    xrandr --output DUMMY1 --primary
    # A new process's \\.\DISPLAY1 is DUMMY1 once Wine has caught up.
    wine_sees renamed "^state Active $(echo "$other" | awk '{ print $1, $2, 32, $3 }')\$" state ||
      bad "primary-later: Wine does not follow the new X primary"
    resume primary-later
    xcheck "primary-later: the pinned output" "$pw $ph 32 $pf"
    xcheck "primary-later: the new primary" "$(echo "$other" | awk '{ print $1, $2, 32, $3 }')" DUMMY1
    echo "wine-tests: primary-later: DUMMY0 $(geometry DUMMY0), DUMMY1 $(geometry DUMMY1)"
  fi

  # A process started now pins the new primary: DUMMY1 changes, DUMMY0 does not.
  run primary-now devices set "$sw" "$sh" 32 "$sf"
  xcheck "primary-now: the pinned output" "$sw $sh 32 $sf" DUMMY1
  xcheck "primary-now: the other output" "$pw $ph 32 $pf"

  # Both outputs in one apply, after one whose second change cannot be, which switches neither.
  # The device Wine flags primary is the X primary's.
  xprimary=$(xrandr --current | awk '$2 == "connected" && $3 == "primary" { print $1; exit }')
  xother=$([ "$xprimary" = DUMMY0 ] && echo DUMMY1 || echo DUMMY0)
  run both both
  while read -r _ _ role w h b f; do
    if [ "$role" = primary ]; then xcheck "both: the primary" "$w $h $b $f" "$xprimary"; else xcheck "both: the other output" "$w $h $b $f" "$xother"; fi
  done < <(awk '$1 == "both"' "$work/both.out")
else
  bad "Wine lists two devices on the desktop once DUMMY1 is on ($(grep '^device ' "$work/two-seen.out" | tr '\n' ' ')seen)"
  xrandr --current | grep -E '^DUMMY[01] ' 
fi

finish
