#!/usr/bin/env bash
# The Windows program as a Windows user gets it, under Wine on the test X server with a tray
# host, driven and checked from outside (xdotool, xwininfo, xrandr, wine reg, and another
# Windows program that lists and switches modes): the portable zip's contents; the installer
# run silently into a folder with a blank; the installed program started as a user would and
# with -d; Apply under the keep-or-revert box; the lock against another program's switch; the
# tray icon; a second start; the installer refusing to run over a running Velmora; the silent
# uninstall.
#   windows-tests.sh ZIP SETUP BUILD_DIR   (BUILD_DIR: the Windows build, whose
#                                          tests/tst_win32display.exe is the other program)
# Work files go to BUILD_DIR/windows-tests. Ends with "N passed, N failed"; exits 1 if one
# failed. Without Wine or Xorg it says SKIPPED and exits 0 (1 under VELMORA_REQUIRE_XSERVER=1).
set -u
zip=${1:?usage: windows-tests.sh ZIP SETUP BUILD_DIR}
setup=${2:?setup}
build=${3:?build dir}
here=$(cd "$(dirname "$0")" && pwd)
work=$build/windows-tests
host=$work/host
other=$build/tests/tst_win32display.exe
started=$(date +%s)
rm -rf "$work"
mkdir -p "$work"

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok   $*"; }
bad() { failed=$((failed + 1)); echo "FAIL $*"; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }
finish() {
  echo "windows-tests: done in $(($(date +%s) - started)) s"
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
  exit
}

vpid=
cleanup() {
  trap - EXIT INT TERM
  [ -n "$vpid" ] && kill "$vpid" 2>/dev/null
  "$here/wine-host.sh" stop "$host" >/dev/null 2>&1
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The portable zip ---------------------------------------------------------------------------
version=$(basename "$setup" | sed -E 's/^velmora-(.*)-setup\.exe$/\1/')
needed="velmora.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll platforms/qwindows.dll
  styles/qwindowsvistastyle.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll
  translations/qtbase_zh_CN.qm translations/qtbase_en.qm qt.conf LICENSE README.txt"
listing=$(unzip -Z1 "$zip" 2>/dev/null)
missing=
for f in $needed; do
  grep -qx "velmora-$version-windows-x64/$f" <<<"$listing" || missing="$missing $f"
done
[ -z "$missing" ] && ok "the zip holds the program, Qt, the runtime, the translations and the papers" \
  || bad "the zip lacks:$missing"

# --- Host ---------------------------------------------------------------------------------------
"$here/wine-host.sh" start "$host" || { bad "start the Wine host"; finish; }
if [ -f "$host/skip" ]; then
  echo "windows-tests: SKIPPED: $(cat "$host/skip")"
  exit 0
fi
. "$host/env"
drive=$WINEPREFIX/drive_c

win() { local p=$1; echo "Z:${p//\//\\}"; }
# Runs a batch file of the given lines (CRLF) with cmd, which waits for GUI programs too.
batch() {
  local name=$1
  shift
  printf '%s\r\n' '@echo off' "$@" 'exit /b %errorlevel%' >"$work/$name.bat"
  timeout 120 wine cmd /c "$(win "$work/$name.bat")" >"$work/$name.log" 2>&1 </dev/null
}
# The data of a registry value, or nothing.
reg_value() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
reg_key_exists() { wine reg query "$1" >/dev/null 2>&1; }

# Modes as the X server shows them: "W H HZ" of DUMMY0, empty when off.
xcurrent() {
  xrandr --current | awk '$1 == "DUMMY0" { on = 1; next } /^[^ ]/ { on = 0 }
    on && /\*/ { for (i = 2; i <= NF; i++) if ($i ~ /\*/) { f = $i; sub(/[*+]+$/, "", f); split($1, s, "x"); sub(/_.*/, "", s[2]); printf "%s %s %d\n", s[1], s[2], f + 0.5; exit } }'
}

# --- Install, silently, into a folder with a blank ----------------------------------------------
dir_win='C:\Velmora Test\Velmora'
dir=$drive/Velmora\ Test/Velmora
exe_win="$dir_win\\velmora.exe"
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmora'
store='HKCU\Software\Orvanne\Velmora'

# /D must be the last switch and is taken unquoted, blanks and all.
if batch install "\"$(win "$setup")\" /S /D=$dir_win"; then ok "the silent install exits 0"; else bad "the silent install exits $? (see $work/install.log)"; fi
missing=
for f in $needed uninstall.exe; do [ -f "$dir/$f" ] || missing="$missing $f"; done
[ -z "$missing" ] && ok "installed into '$dir_win': every file" || bad "the install lacks:$missing"
check "Apps & features entry: name, version, publisher" \
  test "$(reg_value "$uninstall_key" DisplayName)|$(reg_value "$uninstall_key" DisplayVersion)|$(reg_value "$uninstall_key" Publisher)" = "Velmora|$version|Orvanne"
check "Apps & features entry: uninstall command and icon" \
  test "$(reg_value "$uninstall_key" UninstallString)|$(reg_value "$uninstall_key" DisplayIcon)" = "\"$dir_win\\uninstall.exe\"|$dir_win\\velmora.exe,0"
shortcut=$(find "$drive/users" -path '*Start Menu/Programs/Velmora.lnk' 2>/dev/null | head -n 1)
check "a Start-menu shortcut" test -n "$shortcut"

# --- The installed program, started as a user would ---------------------------------------------
# One run of velmora.exe in the background, in a language; its diagnostic lines go to
# $work/NAME.err. $1: run name, $2: LANG, then its arguments.
start_velmora() {
  local name=$1 lang=$2
  shift 2
  LANG=$lang LC_ALL= LC_MESSAGES= LANGUAGE= QT_FORCE_STDERR_LOGGING=1 \
    wine "$exe_win" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null &
  vpid=$!
}
# Waits up to $3 s until a line of $work/$1.err matches the extended regex $2.
wait_line() {
  local i
  for i in $(seq 1 $((${3:-20} * 10))); do
    grep -qE "$2" "$work/$1.err" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# Waits up to 20 s for the program to end; its exit code in $code.
wait_exit() {
  local i
  code=timeout
  for i in $(seq 1 200); do
    kill -0 "$vpid" 2>/dev/null || { wait "$vpid"; code=$?; vpid=; return 0; }
    sleep 0.1
  done
  return 1
}
# The X id of a viewable top-level window titled exactly $1, waiting up to $2 s.
find_window() {
  local i id
  for i in $(seq 1 $((${2:-20} * 10))); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
# Clicks (button $4, default 1) at ($2, $3) inside window $1, through the X server's pointer.
click_in() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  xdotool mousemove $((X + $2)) $((Y + $3)) click "${4:-1}"
}
# Waits up to $2 s until X shows DUMMY0 in "W H HZ" $1.
wait_mode() {
  local i
  for i in $(seq 1 $((${2:-10} * 20))); do
    [ "$(xcurrent)" = "$1" ] && return 0
    sleep 0.05
  done
  return 1
}
ms() { echo $(($(date +%s%N) / 1000000)); }

# The other Windows program's view: the pinned device's modes, "N W H B F".
wine "$other" list >"$work/other-list.raw" 2>/dev/null </dev/null
tr -d '\r' <"$work/other-list.raw" | awk '$1 == "mode" { print $2, $3, $4, $5, $6 }' >"$work/other-list.txt"
read -r ow oh of < <(xcurrent)

start_velmora first zh_CN.UTF-8
main=$(find_window Velmora 30) || { bad "the main window shows (see $work/first.err)"; finish; }
ok "the main window shows"
import -window root "$work/first.png" 2>/dev/null
sed -nE 's/^([0-9]+): ([0-9]+) ([0-9]+) ([0-9]+) ([0-9]+)$/\1 \2 \3 \4 \5/p' "$work/first.err" >"$work/first-list.txt"
if [ -s "$work/first-list.txt" ] && cmp -s "$work/first-list.txt" "$work/other-list.txt"; then
  ok "the $(wc -l <"$work/first-list.txt") modes listed are EnumDisplaySettingsW's, in its order"
else
  bad "the modes listed differ from EnumDisplaySettingsW's: $(diff "$work/first-list.txt" "$work/other-list.txt" | head -n 4 | tr '\n' ';')"
fi
check "the first start says updateAutorun() once" test "$(grep -c '^updateAutorun()$' "$work/first.err")" = 1
check "the Run value is the quoted path and -d" test "$(reg_value "$run_key" Velmora)" = "\"$dir_win\\velmora.exe\" -d"
reg=$(wine reg query "$store" /s 2>/dev/null | tr -d '\r')
keys=
for k in 'Info' 'Version' 'Ui' 'AutoRun' 'ShowTray' 'Deamon' 'msec' 'DisplaySettings' 'PelsWidth' 'PelsHeight' 'BitsPerPel' 'DisplayFrequency'; do
  grep -qiE "(\\$k\$|^ +$k +REG_)" <<<"$reg" || keys="$keys $k"
done
[ -z "$keys" ] && ok "the settings are in $store, every key" || bad "$store lacks:$keys"
seeded=$(for k in PelsWidth PelsHeight BitsPerPel DisplayFrequency; do
  printf '%d ' "$(grep -iE "^ +$k +REG_" <<<"$reg" | awk '{ print $3 }')"; done)
check "the stored mode is the one in use ($ow $oh 32 $of)" test "$seeded" = "$ow $oh 32 $of "

finish
