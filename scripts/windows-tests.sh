#!/usr/bin/env bash
# The Windows program as a Windows user gets it, under Wine on the test X server with a tray
# host, driven and checked from outside (xdotool, xwininfo, xrandr, wine reg, and another
# Windows program that lists and switches modes): the portable zip's contents; the installer
# run silently into a folder with a blank; the installed program started as a user would and
# with -d; Apply under the keep-or-revert box; the lock against another program's switch; the
# tray icon; a second start; the installer refusing to run over a running Velmora; a second
# monitor held and a third one left alone; the silent uninstall.
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

# Modes as the X server shows them: "W H HZ" of output $1 (DUMMY0 unless given), empty when off.
xcurrent() {
  xrandr --current | awk -v o="${1:-DUMMY0}" '$1 == o { on = 1; next } /^[^ ]/ { on = 0 }
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
  LANG=$lang LC_ALL= LC_MESSAGES= LANGUAGE= wine "$exe_win" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null &
  vpid=$!
}
# The diagnostic lines of run $1, without the CRs of Windows' text mode.
lines() { tr -d '\r' <"$work/$1.err" 2>/dev/null; }
# Waits up to $3 s until a line of run $1 matches the extended regex $2.
wait_line() {
  local i
  for i in $(seq 1 $((${3:-20} * 10))); do
    lines "$1" | grep -qE "$2" && return 0
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
# Clicks (button $4, default 1) at ($2, $3) inside window $1 with the X server's pointer; the
# pointer arrives first, as a hand's would (Wine takes a click without it for none).
click_in() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  xdotool mousemove $((X + $2 - 3)) $((Y + $3 - 3))
  sleep 0.3
  xdotool mousemove $((X + $2)) $((Y + $3))
  sleep 0.3
  xdotool click ${5:+--repeat "$5" --delay 80} "${4:-1}"
}
# The X ids of the program's viewable top-level windows titled $1 (any title when empty).
windows_titled() {
  local id
  xwininfo -root -tree | awk -v t="\"$1\"" '/\("velmora\.exe" "velmora\.exe"\)/ && (t == "\"\"" || index($0, " " t ": (") > 0) { print $1 }' |
    while read -r id; do xwininfo -id "$id" | grep -q IsViewable && echo "$id"; done
}
wait_window() {
  local i id
  for i in $(seq 1 $((${2:-20} * 10))); do
    id=$(windows_titled "$1" | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
# Waits up to $2 s until X shows output $3 (DUMMY0 unless given) in "W H HZ" $1.
wait_mode() {
  local i
  for i in $(seq 1 $((${2:-10} * 20))); do
    [ "$(xcurrent "${3:-}")" = "$1" ] && return 0
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
main=$(wait_window Velmora 30) || { bad "the main window shows (see $work/first.err)"; finish; }
ok "the main window shows"
lines first | sed -nE 's/^([0-9]+): ([0-9]+) ([0-9]+) ([0-9]+) ([0-9]+)$/\1 \2 \3 \4 \5/p' >"$work/first-list.txt"
if [ -s "$work/first-list.txt" ] && cmp -s "$work/first-list.txt" "$work/other-list.txt"; then
  ok "the $(wc -l <"$work/first-list.txt") modes listed are EnumDisplaySettingsW's, in its order"
else
  bad "the modes listed differ from EnumDisplaySettingsW's: $(diff "$work/first-list.txt" "$work/other-list.txt" | head -n 4 | tr '\n' ';')"
fi
check "the first start says updateAutorun() once" test "$(lines first | grep -c '^updateAutorun()$')" = 1
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

# --- Apply under the keep-or-revert box --------------------------------------------------------
# Places in the window (its form, on this server's fonts): the first visible row of the table,
# the Apply button; in the box, the Cancel button.
row_x=60 row_y=67 apply_x=318 apply_y=42 cancel_x=214 cancel_y=68
sleep 2
import -window root "$work/window.png" 2>/dev/null
# Tries the first visible row: $box is the keep-or-revert box titled $1, $tried "W H HZ" of the
# mode tried, as X must show it.
trial() {
  local before row
  box= tried=
  before=$(lines first | grep -cE '^[0-9]+$')
  click_in "$main" $row_x $row_y
  click_in "$main" $apply_x $apply_y
  box=$(wait_window "$1" 10) || return 1
  row=$(lines first | grep -E '^[0-9]+$' | sed -n "$((before + 1))p")
  tried=$(awk -v r="$row" '$1 == r { print $2, $3, $5 }' "$work/first-list.txt")
}
if trial 显示设置; then
  ok "Apply opens the keep-or-revert box, titled 显示设置 in Chinese"
  import -window root "$work/box.png" 2>/dev/null
  check "X shows the mode tried ($tried)" wait_mode "$tried" 5
  click_in "$box" $cancel_x $cancel_y
  check "Cancel puts the mode in use back ($ow $oh $of)" wait_mode "$ow $oh $of" 5
else
  bad "Apply opens the keep-or-revert box (see $work/first.err)"
fi
if trial 显示设置; then
  t0=$(ms)
  if wait_mode "$ow $oh $of" 25; then
    waited=$(($(ms) - t0))
    check "unanswered, the box puts the mode back after 15 s (${waited} ms)" test "$waited" -ge 14000
  else
    bad "unanswered, the box puts the mode back within 25 s"
  fi
else
  bad "Apply opens the box a second time"
fi

# --- The tray: the icon docked in the tray host, its menu's Exit -------------------------------
# The tray host (trayer) docks the icon; a right click on it opens the menu, whose second entry
# is Exit.
panel=$(xwininfo -root -tree | awk '/\("panel" "trayer"\)/ { print $1; exit }')
tray_click() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$panel" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  xdotool mousemove $((X + WIDTH / 2 - 2)) $((Y + HEIGHT / 2 - 2))
  sleep 0.3
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
  sleep 0.3
  xdotool click ${2:+--repeat "$2" --delay 80} "$1"
}
docked=$(xwininfo -id "$panel" -children 2>/dev/null | grep -c '^ *0x')
check "the tray icon is docked in the tray host ($docked window(s) in its panel)" test "$docked" -ge 1
exit_from_tray() {
  local before menu try
  before=$(windows_titled "" | sort)
  # A second right click if the first was taken for something else (a double click just
  # before it, say).
  for try in 1 2; do
    tray_click 3
    for _ in $(seq 1 50); do
      menu=$(comm -13 <(echo "$before") <(windows_titled "" | sort) | head -n 1)
      [ -n "$menu" ] && break 2
      sleep 0.1
    done
  done
  [ -n "$menu" ] || return 1
  import -window root "$work/menu-$1.png" 2>/dev/null
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$menu" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  click_in "$menu" $((WIDTH / 2)) $((HEIGHT * 3 / 4))
}
if exit_from_tray first && wait_exit; then
  check "the tray menu's 退出 ends the program with 0" test "$code" = 0
else
  bad "the tray menu's 退出 ends the program"
  kill "$vpid" 2>/dev/null
fi

# --- In the background (-d), as at log-on: the lock --------------------------------------------
# A long interval: a restore within it comes from the display's announcement, not the poll.
wine reg add "$store\\Deamon" /v msec /t REG_DWORD /d 10000 /f >/dev/null 2>&1
start_velmora background en_US.UTF-8 -d
if wait_line background '^msec:10000$' 30 && wait_line background '^update\(\)' 10; then
  ok "-d locks the mode in use, polling every 10000 ms"
else
  bad "-d locks the mode in use (see $work/background.err)"
fi
check "-d shows no window" test -z "$(windows_titled Velmora)"
read -r fw fh _ ff < <(awk -v w="$ow" '$2 != w && $4 == 32 { print $2, $3, $4, $5; exit }' "$work/other-list.txt")
t0=$(ms)
wine "$other" push "$fw" "$fh" 32 "$ff" >"$work/push.out" 2>&1 </dev/null
pushed=$(($(ms) - t0))
if wait_mode "$ow $oh $of" 5; then
  restored=$(($(ms) - t0))
  ok "another Windows program's switch to $fw x $fh is put back ${restored} ms after it started (its run took ${pushed} ms)"
  check "... on the announcement, well within the 10 s poll" test "$restored" -lt 5000
else
  bad "another Windows program's switch to $fw x $fh is put back (X shows '$(xcurrent)')"
fi

# A second start hands over to the first and ends with 0.
first_pid=$vpid
start_velmora second en_US.UTF-8 -d
if wait_exit; then
  check "a second start ends with 0" test "$code" = 0
  check "... saying it handed over" test "$(lines second | grep -c '^Velmora is already running: handed over to it$')" = 1
else
  bad "a second start ends"
  kill "$vpid" 2>/dev/null
fi
vpid=$first_pid

# The installer does not run over a running Velmora: a silent run fails, nothing is replaced.
batch reinstall "\"$(win "$setup")\" /S /D=$dir_win"
reinstall=$?
check "a silent install while Velmora runs fails (exit code $reinstall)" test "$reinstall" != 0
check "... and Velmora still runs" kill -0 "$vpid"

# A double click on the icon shows the window.
tray_click 1 2
if main=$(wait_window Velmora 10); then
  ok "a double click on the tray icon shows the window"
  sleep 1
  import -window root "$work/shown.png" 2>/dev/null
else
  bad "a double click on the tray icon shows the window"
fi
if exit_from_tray background && wait_exit; then
  check "退出 ends the background instance with 0" test "$code" = 0
else
  bad "退出 ends the background instance"
  kill "$vpid" 2>/dev/null
fi

# Installed again over itself while nothing runs, as an update would be: it works, and what
# was there is replaced.
: >"$dir/Qt6Core.dll"
if batch update "\"$(win "$setup")\" /S /D=$dir_win"; then ok "installing over an installed Velmora exits 0"; else bad "installing over an installed Velmora exits $?"; fi
check "... and replaces its files" test -s "$dir/Qt6Core.dll"

# --- A copy in a folder every user may write gets no log-on entry ---------------------------------
shared=$drive/shared
mkdir -p "$shared"
chmod 1777 "$shared"
cp -r "$dir" "$shared/Velmora"
wine reg delete "$run_key" /v Velmora /f >/dev/null 2>&1
exe_win='C:\shared\Velmora\velmora.exe'
start_velmora shared en_US.UTF-8 -d
if wait_line shared '^msec:' 30; then
  check "a program in a folder others may write is not registered" test -z "$(reg_value "$run_key" Velmora)"
  check "... and says so once" test "$(lines shared | grep -c '^updateAutorun(): not registered: other users can write ')" = 1
else
  bad "the copy in a shared folder starts (see $work/shared.err)"
fi
kill "$vpid" 2>/dev/null
wait "$vpid" 2>/dev/null
vpid=
exe_win="$dir_win\\velmora.exe"

# --- A second monitor held, a third one not ----------------------------------------------------
# DUMMY1 and DUMMY2 on beside DUMMY0. Wine lists only the outputs that were on when its
# wineserver started: the host's is started anew.
for o in DUMMY1 DUMMY2; do
  for m in 1024x768_60 800x600_60; do xrandr --addmode "$o" "$m"; done
done
xrandr --output DUMMY0 --primary --output DUMMY1 --mode 800x600_60 --right-of DUMMY0 \
  --output DUMMY2 --mode 1024x768_60 --right-of DUMMY1
xrandr >/dev/null # the plain query probes: only then do they count as connected
wineserver -k
for _ in $(seq 1 100); do kill -0 "$(cat "$host/wineserver.pid")" 2>/dev/null || break; sleep 0.1; done
rm -f "$drive/users/root/velmora.lock"
wineserver -f -p >>"$host/wineserver.log" 2>&1 </dev/null &
echo $! >"$host/wineserver.pid"
wine "$other" outputs >"$work/outputs.raw" 2>/dev/null </dev/null
# "output NAME primary|- STATE IDENTITY|- W H B F ..."
outputs=$(tr -d '\r' <"$work/outputs.raw" | awk '$1 == "output"')
read -r _ _ _ _ ident2 w2 h2 b2 f2 _ < <(awk '$2 == "\\\\.\\DISPLAY2"' <<<"$outputs")
read -r _ _ _ _ _ w3 h3 _ f3 _ < <(awk '$2 == "\\\\.\\DISPLAY3"' <<<"$outputs")
if [ "$(awk '$4 == "Active"' <<<"$outputs" | wc -l)" = 3 ] && [ "$w2 $h2" = "800 600" ]; then
  # The key MonitorSettings gives it: Wine's monitor IDs carry no serial, so the identity
  # (none here: the dummy driver publishes no EDID) goes with the connector.
  [ "$ident2" = - ] && key=DISPLAY2 || key=$(printf '%s@DISPLAY2' "$ident2" | sed 's/[^A-Za-z0-9.-]/_/g')
  group="$store\\Monitors\\$key"
  for v in "PelsWidth $w2" "PelsHeight $h2" "BitsPerPel $b2" "DisplayFrequency $f2"; do
    wine reg add "$group" /v "${v% *}" /t REG_DWORD /d "${v#* }" /f >/dev/null 2>&1
  done
  wine reg add "$group" /v Identity /d "$([ "$ident2" = - ] || echo "$ident2")" /f >/dev/null 2>&1
  wine reg add "$group" /v Connector /d '\\.\DISPLAY2' /f >/dev/null 2>&1
  wine reg add "$group" /v Name /d DISPLAY2 /f >/dev/null 2>&1
  wine reg add "$group" /v Locked /d true /f >/dev/null 2>&1
  wine reg add "$store\\Deamon" /v msec /t REG_DWORD /d 1000 /f >/dev/null 2>&1
  start_velmora monitors en_US.UTF-8 -d
  if wait_line monitors '^update\(\\\\\.\\DISPLAY2\):now=([0-9]+),locked=\1$' 30; then
    ok "-d holds \\\\.\\DISPLAY2 at $w2 x $h2 (stored as Monitors\\$key) beside the primary at $ow x $oh"
    # To the mode DUMMY2 is in.
    t0=$(ms)
    wine "$other" on '\\.\DISPLAY2' push "$w3" "$h3" 32 "$f3" >"$work/push2.out" 2>&1 </dev/null
    check "another Windows program's switch of \\\\.\\DISPLAY2 to $w3 x $h3 lands" grep -q "^push $w3 $h3 32 $f3 Applied" <(tr -d '\r' <"$work/push2.out")
    if wait_mode "$w2 $h2 $f2" 5 DUMMY1; then
      ok "... and is put back to $w2 x $h2 $(($(ms) - t0)) ms after it started"
    else
      bad "... and is put back to $w2 x $h2 (X shows DUMMY1 at '$(xcurrent DUMMY1)')"
    fi
    check "... the primary keeps $ow x $oh" wait_mode "$ow $oh $of" 5
    # DUMMY2 (\\.\DISPLAY3) is held by nobody: another program's switch of it stays.
    wine "$other" on '\\.\DISPLAY3' push "$w2" "$h2" 32 "$f2" >"$work/push3.out" 2>&1 </dev/null
    # Two ticks later (a tick says one line per held monitor).
    before=$(lines monitors | grep -c '^update(')
    for _ in $(seq 1 50); do [ "$(lines monitors | grep -c '^update(')" -ge $((before + 4)) ] && break; sleep 0.1; done
    check "the unheld \\\\.\\DISPLAY3 keeps another program's switch to $w2 x $h2 over ticks" test "$(xcurrent DUMMY2)" = "$w2 $h2 $f2"
  else
    bad "-d holds \\\\.\\DISPLAY2 (see $work/monitors.err)"
  fi
  kill "$vpid" 2>/dev/null
  wait "$vpid" 2>/dev/null
  vpid=
else
  bad "Wine lists three outputs, \\\\.\\DISPLAY2 at 800 x 600 ($(tr '\n' ';' <<<"$outputs"))"
fi

# --- Uninstall, silently ----------------------------------------------------------------------------
wine reg add "$run_key" /v Velmora /d "\"$dir_win\\velmora.exe\" -d" /f >/dev/null 2>&1
if batch uninstall "\"$dir_win\\uninstall.exe\" /S"; then ok "the silent uninstall exits 0"; else bad "the silent uninstall exits $?"; fi
# The uninstaller runs on from a copy of itself: wait for the folder to go.
for _ in $(seq 1 100); do [ -e "$dir" ] || break; sleep 0.2; done
check "no file is left" test ! -e "$dir"
check "no Run value is left" test -z "$(reg_value "$run_key" Velmora)"
check "no Apps & features entry is left" test -z "$(reg_value "$uninstall_key" DisplayName)"
check "no Start-menu shortcut is left" test -z "$(find "$drive/users" -path '*Start Menu/Programs/Velmora.lnk' 2>/dev/null)"

finish
