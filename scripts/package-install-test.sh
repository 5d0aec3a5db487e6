#!/usr/bin/env bash
# Installs the velmora .deb with dpkg, runs the installed program on the headless X server
# with a tray host (it lists the modes; it ends from the tray's Exit and on SIGTERM), then
# purges the package and checks that nothing of it is left. It changes the system: test.sh
# runs it only in CI (CI=true) or when asked (VELMORA_PACKAGE_INSTALL_TEST=1). Needs root.
#   package-install-test.sh DEB
set -eu
deb=$(realpath "${1:?path of the .deb}")
root=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" = 0 ] || { echo "package-install-test: needs root (dpkg -i)" >&2; exit 1; }
if dpkg-query -W -f='${Status}' velmora 2>/dev/null | grep -q ' installed$'; then
  echo "package-install-test: velmora is installed on this machine already; not touching it" >&2
  exit 1
fi

tmp=$(mktemp -d)
pids=()
installed=0
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -f "$tmp/x/pid" ] && "$root/scripts/xserver.sh" stop "$tmp/x" >/dev/null
  [ $installed = 1 ] && dpkg --purge velmora >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "package-install-test: $*" >&2; [ -f "$tmp/err" ] && tail -n 30 "$tmp/err" >&2; exit 1; }

# What the package brings, and which of its folders exist before it comes.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' > "$tmp/entries"
while read -r e; do [ -e "$e" ] && echo "$e"; done < "$tmp/entries" > "$tmp/before"
grep -qx /usr/bin/velmora "$tmp/before" && fail "/usr/bin/velmora exists before the install"

echo "== dpkg -i $(basename "$deb")"
dpkg -i "$deb" > "$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; installed=1; fail "dpkg -i failed"; }
installed=1
[ "$(command -v velmora)" = /usr/bin/velmora ] || fail "velmora is not /usr/bin/velmora on PATH"
dpkg -L velmora | grep -qx /usr/share/metainfo/org.orvanne.Velmora.metainfo.xml || fail "dpkg -L lacks the AppStream data"
man -w velmora >/dev/null 2>&1 || fail "man cannot find velmora(1)"

VELMORA_REQUIRE_XSERVER=1 "$root/scripts/xserver.sh" start "$tmp/x" >/dev/null
export DISPLAY=$(cat "$tmp/x/display")
trayer --edge bottom --align right --widthtype request --height 32 >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do xwininfo -root -tree | grep -q '("panel" "trayer")' && break; sleep 0.1; done

home=$tmp/home
mkdir -p "$home/run"
chmod 700 "$home/run"
start() { # the installed program, as a user would start it, in English
  env -u LANGUAGE -u LC_ALL -u LC_MESSAGES -u VELMORA_FAKE_DISPLAY -u VELMORA_DISPLAY_BACKEND \
    HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run" LANG=en_US.UTF-8 \
    QT_QPA_PLATFORM=xcb velmora "$@" 2> "$tmp/err" &
  vpid=$!
  pids+=($vpid)
}
wait_for() { # pattern seconds
  for _ in $(seq 1 $(($2 * 10))); do grep -q "$1" "$tmp/err" && return 0; sleep 0.1; done
  return 1
}
ended() { # rc: the program's exit status; fails when it does not end within 10 s
  for _ in $(seq 1 100); do kill -0 "$vpid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$vpid" 2>/dev/null && fail "velmora did not end"
  rc=0
  wait "$vpid" || rc=$?
}
tray_icon() { # "x y" of the centre of the program's window inside the tray host
  xwininfo -root -tree | awk '
    /\("panel" "trayer"\)/ { inpanel = 1 }
    inpanel && /\("velmora" "Velmora"\)/ {
      split($0, a, /[ \t]+/); for (i in a) if (a[i] ~ /^[0-9]+x[0-9]+$/) size = a[i]
      n = split($NF, pos, "+"); split(size, wh, "x")
      print pos[2] + int(wh[1] / 2), pos[3] + int(wh[2] / 2); exit }'
}

echo "== the installed program lists the modes, ends from the tray's Exit"
start
wait_for '^0: [0-9]* [0-9]* [0-9]* [0-9]*$' 10 || fail "the installed program listed no modes"
xy=""
for _ in $(seq 1 50); do xy=$(tray_icon); [ -n "$xy" ] && break; sleep 0.1; done
[ -n "$xy" ] || fail "no tray icon in the tray host"
windows_before=$(xwininfo -root -tree | grep -c '("velmora" "Velmora")')
xdotool mousemove $xy click 3
menu=""
for _ in $(seq 1 50); do
  # The popup: a new top-level window of the program, mapped.
  menu=$(xwininfo -root -tree | grep '("velmora" "Velmora")' | while read -r id rest; do
           xwininfo -id "$id" | grep -q 'IsViewable' || continue
           g=$(xwininfo -id "$id" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
                                         /Width:/ {w=$NF} /Height:/ {h=$NF} END {print x, y, w, h}')
           set -- $g
           [ "$3" -lt 375 ] && [ "$4" -gt 20 ] && [ "$4" -lt 200 ] && [ "$3" -gt 40 ] && { echo "$g"; break; }
         done)
  [ -n "$menu" ] && break
  sleep 0.1
done
[ -n "$menu" ] || fail "the tray menu did not open"
set -- $menu
xdotool mousemove $(($1 + $3 / 2)) $(($2 + $4 * 3 / 4)) click 1
ended
[ "$rc" = 0 ] || fail "Exit from the tray: exit status $rc"

echo "== the installed program, started with -d, ends on SIGTERM"
start -d
wait_for 'msec:' 10 || fail "the installed program did not lock with -d"
kill -TERM "$vpid"
ended
[ "$rc" = 0 ] || fail "SIGTERM: exit status $rc"
grep -q 'signal 15: quitting' "$tmp/err" || fail "SIGTERM did not go through the event loop"
grep -q 'Destroyed while thread' "$tmp/err" && fail "the lock thread was not stopped"

echo "== dpkg --purge velmora"
dpkg --purge velmora > "$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg --purge failed"; }
installed=0
dpkg-query -W -f='${Status}' velmora 2>/dev/null | grep -q ' installed$' && fail "velmora is still installed"
left=$(while read -r e; do [ -e "$e" ] && ! grep -qxF "$e" "$tmp/before" && echo "$e"; done < "$tmp/entries"; true)
[ -z "$left" ] || fail "left behind after the purge: $left"
echo "package-install-test: installed, ran, ended from the tray and on SIGTERM, removed without a trace"
