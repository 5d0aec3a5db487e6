#!/usr/bin/env bash
# The Windows program as a Windows user gets it, under Wine on the test X server with a tray
# host, driven and checked from outside (xdotool, xrandr, wine reg, and another Windows program
# that lists and switches modes). Each step is one CTest test of the Windows build, in the order
# its fixtures give (tests/CMakeLists.txt):
#   windows-steps.sh STEP BUILD_DIR   (BUILD_DIR: the Windows build, whose
#                                     tests/tst_win32display.exe is the other program)
# Work files go to BUILD_DIR/windows-tests. Each step ends with "N passed, N failed" and exits 1
# if one failed; without Wine or Xorg it says SKIPPED and exits 0 (1 under
# VELMORA_REQUIRE_XSERVER=1, through wine-host.sh).
set -u
step=${1:?usage: windows-steps.sh STEP BUILD_DIR}
. "$(dirname "$0")/windows-lib.sh"
windows_lib_init "${2:?build dir}"

# --- The zip and the installer, built ------------------------------------------------------------
step_package() {
  local made
  rm -f "$work/zip" "$work/setup"
  mapfile -t made < <(VELMORA_WINDOWS_BUILD_DIR=$build "$here/package-windows.sh" | tail -n 2)
  if [ "${#made[@]}" = 2 ] && [ -f "${made[0]}" ] && [ -f "${made[1]}" ]; then
    echo "${made[0]}" >"$work/zip"
    echo "${made[1]}" >"$work/setup"
    ok "package-windows.sh makes $(basename "${made[0]}") and $(basename "${made[1]}")"
  else
    bad "package-windows.sh makes the zip and the installer"
  fi
}

# --- The portable zip ----------------------------------------------------------------------------
step_zip() {
  local listing missing= f
  packages
  listing=$(unzip -Z1 "$zip" 2>/dev/null)
  for f in $needed; do
    grep -qx "velmora-$version-windows-x64/$f" <<<"$listing" || missing="$missing $f"
  done
  [ -z "$missing" ] && ok "the zip holds the program, velmoractl, Qt, the runtime, the translations and the papers" \
    || bad "the zip lacks:$missing"
}

# --- The Wine host of the steps ------------------------------------------------------------------
step_host_start() {
  "$here/wine-host.sh" start "$host" || { bad "start the Wine host"; finish; }
  [ -f "$host/skip" ] && skipped "$(cat "$host/skip")"
  ok "the Wine host runs"
}
step_host_stop() {
  local run
  for run in "$work"/*.pid; do
    [ -e "$run" ] && stop_velmora "$(basename "$run" .pid)"
  done
  "$here/wine-host.sh" stop "$host"
}

# --- Install, silently, into a folder with a blank -----------------------------------------------
step_install() {
  local missing= f shortcut
  packages
  enter_host
  # /D must be the last switch and is taken unquoted, blanks and all.
  if batch install "\"$(win "$setup")\" /S /D=$dir_win"; then ok "the silent install exits 0"; else bad "the silent install exits $? (see $work/install.log)"; fi
  for f in $needed uninstall.exe; do [ -f "$dir/$f" ] || missing="$missing $f"; done
  [ -z "$missing" ] && ok "installed into '$dir_win': every file, velmoractl.exe too" || bad "the install lacks:$missing"
  check "Apps & features entry: name, version, publisher" \
    test "$(reg_value "$uninstall_key" DisplayName)|$(reg_value "$uninstall_key" DisplayVersion)|$(reg_value "$uninstall_key" Publisher)" = "Velmora|$version|Orvanne"
  check "Apps & features entry: uninstall command and icon" \
    test "$(reg_value "$uninstall_key" UninstallString)|$(reg_value "$uninstall_key" DisplayIcon)" = "\"$dir_win\\uninstall.exe\"|$dir_win\\velmora.exe,0"
  shortcut=$(find "$drive/users" -path '*Start Menu/Programs/Velmora.lnk' 2>/dev/null | head -n 1)
  check "a Start-menu shortcut" test -n "$shortcut"
}

# --- The installed program, started as a user would ----------------------------------------------
step_program() {
  local main reg keys= k seeded ow oh of
  enter_host
  # The other Windows program's view: the pinned device's modes, "N W H B F".
  wine "$other" list >"$work/other-list.raw" 2>/dev/null </dev/null
  tr -d '\r' <"$work/other-list.raw" | awk '$1 == "mode" { print $2, $3, $4, $5, $6 }' >"$work/other-list.txt"
  xcurrent >"$work/start-mode"
  read -r ow oh of <"$work/start-mode"

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
  for k in 'Info' 'Version' 'Ui' 'AutoRun' 'ShowTray' 'Deamon' 'msec' 'DisplaySettings' 'PelsWidth' 'PelsHeight' 'BitsPerPel' 'DisplayFrequency'; do
    grep -qiE "(\\$k\$|^ +$k +REG_)" <<<"$reg" || keys="$keys $k"
  done
  [ -z "$keys" ] && ok "the settings are in $store, every key" || bad "$store lacks:$keys"
  seeded=$(for k in PelsWidth PelsHeight BitsPerPel DisplayFrequency; do
    printf '%d ' "$(grep -iE "^ +$k +REG_" <<<"$reg" | awk '{ print $3 }')"; done)
  check "the stored mode is the one in use ($ow $oh 32 $of)" test "$seeded" = "$ow $oh 32 $of "
}
step_program_stop() { enter_host; stop_velmora first; }

# --- Apply under the keep-or-revert box ----------------------------------------------------------
# Places in the window (its form, on this server's fonts): the first visible row of the table,
# the Apply button; in the box, the Cancel button. Widgets, not windows: X knows no title for them.
row_x=60 row_y=67 apply_x=318 apply_y=42 cancel_x=214 cancel_y=68
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
step_apply() {
  local main ow oh of t0 waited
  enter_host
  running first || { bad "the first start runs (see $work/first.err)"; finish; }
  read -r ow oh of <"$work/start-mode"
  main=$(wait_window Velmora 10) || { bad "the main window shows"; finish; }
  sleep 2
  import -window root "$work/window.png" 2>/dev/null
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
}

# --- The tray: the icon docked in the tray host, its menu's Exit ---------------------------------
step_tray() {
  local docked
  enter_host
  running first || { bad "the first start runs (see $work/first.err)"; finish; }
  docked=$(xwininfo -id "$(tray_panel)" -children 2>/dev/null | grep -c '^ *0x')
  check "the tray icon is docked in the tray host ($docked window(s) in its panel)" test "$docked" -ge 1
  if exit_from_tray first && wait_exit first; then
    check "the tray menu's 退出 ends the program with 0" test "$code" = 0
  else
    bad "the tray menu's 退出 ends the program"
  fi
}

# --- In the background (-d), as at log-on: the lock ----------------------------------------------
step_daemon() {
  local ow oh of fw fh ff t0 pushed restored
  enter_host
  read -r ow oh of <"$work/start-mode"
  # A long interval: a restore within it comes from the display's announcement, not the poll.
  wine reg add "$store\\Deamon" /v msec /t REG_DWORD /d 10000 /f >/dev/null 2>&1
  start_velmora background en_US.UTF-8 -d
  if wait_line background '^msec:10000$' 30 && wait_line background '^update\(\)' 10; then
    ok "-d locks the mode in use, polling every 10000 ms"
  else
    bad "-d locks the mode in use (see $work/background.err)"
  fi
  check "-d shows no window" test -z "$(windows_titled Velmora)"
}
step_lock() {
  local ow oh of fw fh ff t0 pushed restored
  enter_host
  running background || { bad "the background start runs (see $work/background.err)"; finish; }
  read -r ow oh of <"$work/start-mode"
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
}

# A second start hands over to the first and ends with 0.
step_second_start() {
  enter_host
  running background || { bad "the background start runs (see $work/background.err)"; finish; }
  start_velmora second en_US.UTF-8 -d
  if wait_exit second; then
    check "a second start ends with 0" test "$code" = 0
    check "... saying it handed over" test "$(lines second | grep -c '^Velmora is already running: handed over to it$')" = 1
  else
    bad "a second start ends"
    stop_velmora second
  fi
}

# The installer does not run over a running Velmora: a silent run fails, nothing is replaced.
step_reinstall_refused() {
  local reinstall
  packages
  enter_host
  running background || { bad "the background start runs (see $work/background.err)"; finish; }
  batch reinstall "\"$(win "$setup")\" /S /D=$dir_win"
  reinstall=$?
  check "a silent install while Velmora runs fails (exit code $reinstall)" test "$reinstall" != 0
  check "... and Velmora still runs" running background
}

# A double click on the icon shows the window; the menu's Exit ends the background instance.
step_tray_daemon() {
  enter_host
  running background || { bad "the background start runs (see $work/background.err)"; finish; }
  tray_click 1 2
  if wait_window Velmora 10 >/dev/null; then
    ok "a double click on the tray icon shows the window"
    sleep 1
    import -window root "$work/shown.png" 2>/dev/null
  else
    bad "a double click on the tray icon shows the window"
  fi
  if exit_from_tray background && wait_exit background; then
    check "退出 ends the background instance with 0" test "$code" = 0
  else
    bad "退出 ends the background instance"
  fi
}
step_daemon_stop() { enter_host; stop_velmora background; stop_velmora second; }

# Installed again over itself while nothing runs, as an update would be: it works, and what was
# there is replaced.
step_update() {
  packages
  enter_host
  : >"$dir/Qt6Core.dll"
  if batch update "\"$(win "$setup")\" /S /D=$dir_win"; then ok "installing over an installed Velmora exits 0"; else bad "installing over an installed Velmora exits $?"; fi
  check "... and replaces its files" test -s "$dir/Qt6Core.dll"
}

# --- A copy in a folder every user may write gets no log-on entry --------------------------------
step_shared_folder() {
  local shared
  enter_host
  shared=$drive/shared
  mkdir -p "$shared"
  chmod 1777 "$shared"
  rm -rf "$shared/Velmora"
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
  stop_velmora shared
}

# --- A second monitor held, a third one not ------------------------------------------------------
# Three outputs on: DUMMY1 and DUMMY2 beside DUMMY0. Wine lists only the outputs that were on
# when its wineserver started: the host's is started anew, and the lock file of the Velmora it
# ended goes with it.
three_outputs() {
  local o m
  for o in DUMMY1 DUMMY2; do
    for m in 1024x768_60 800x600_60; do xrandr --addmode "$o" "$m"; done
  done
  xrandr --output DUMMY0 --primary --output DUMMY1 --mode 800x600_60 --right-of DUMMY0 \
    --output DUMMY2 --mode 1024x768_60 --right-of DUMMY1
  xrandr >/dev/null # the plain query probes: only then do they count as connected
  restart_wineserver
}
restart_wineserver() {
  wineserver -k
  wait_for "! kill -0 $(cat "$host/wineserver.pid") 2>/dev/null" 10
  rm -f "$drive/users/root/velmora.lock"
  wineserver -f -p >>"$host/wineserver.log" 2>&1 </dev/null &
  echo $! >"$host/wineserver.pid"
}
step_display2() {
  local ow oh of outputs ident2 w2 h2 b2 f2 w3 h3 f3 key group v t0 before
  enter_host
  read -r ow oh of <"$work/start-mode"
  three_outputs
  wine "$other" outputs >"$work/outputs.raw" 2>/dev/null </dev/null
  # "output NAME primary|- STATE IDENTITY|- W H B F ..."
  outputs=$(tr -d '\r' <"$work/outputs.raw" | awk '$1 == "output"')
  read -r _ _ _ _ ident2 w2 h2 b2 f2 _ < <(awk '$2 == "\\\\.\\DISPLAY2"' <<<"$outputs")
  read -r _ _ _ _ _ w3 h3 _ f3 _ < <(awk '$2 == "\\\\.\\DISPLAY3"' <<<"$outputs")
  if [ "$(awk '$4 == "Active"' <<<"$outputs" | wc -l)" != 3 ] || [ "$w2 $h2" != "800 600" ]; then
    bad "Wine lists three outputs, \\\\.\\DISPLAY2 at 800 x 600 ($(tr '\n' ';' <<<"$outputs"))"
    finish
  fi
  echo "$w2 $h2 $b2 $f2" >"$work/display2-mode"
  echo "$w3 $h3 $f3" >"$work/display3-mode"
  # The key MonitorSettings gives it: Wine's monitor IDs carry no serial, so the identity
  # (none here: the dummy driver publishes no EDID) goes with the connector.
  [ "$ident2" = - ] && key=DISPLAY2 || key=$(printf '%s@DISPLAY2' "$ident2" | sed 's/[^A-Za-z0-9.-]/_/g')
  echo "$key" >"$work/display2-key"
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
    wait_for "[ \$(lines monitors | grep -c '^update(') -ge $((before + 4)) ]" 5
    check "the unheld \\\\.\\DISPLAY3 keeps another program's switch to $w2 x $h2 over ticks" test "$(xcurrent DUMMY2)" = "$w2 $h2 $f2"
  else
    bad "-d holds \\\\.\\DISPLAY2 (see $work/monitors.err)"
  fi
  stop_velmora monitors
}

# --- velmoractl.exe on the installed program -----------------------------------------------------
# Counts the update lines of run $1 until $2 more ticks have passed (at most 10 s).
# Run $1's output lines with the connector's \\.\ left off.
plain() { sed 's/^\\\\\.\\//' "$work/$1.out"; }
ticks() { local before; before=$(lines "$1" | grep -c '^update('); wait_for "[ \$(lines $1 | grep -c '^update(') -ge $((before + $2)) ]" 10; }
step_velmoractl() {
  local w2 h2 b2 f2 w3 h3 f3 key group t0
  enter_host
  [ -f "$work/display2-mode" ] || { bad "the three outputs of the display2 step are on"; finish; }
  read -r w2 h2 b2 f2 <"$work/display2-mode"
  read -r w3 h3 f3 <"$work/display3-mode"
  key=$(cat "$work/display2-key")
  group="$store\\Monitors\\$key"
  wine reg add "$store\\Deamon" /v msec /t REG_DWORD /d 1000 /f >/dev/null 2>&1

  ctl list list
  check "velmoractl.exe list shows DISPLAY2 on at ${w2}x${h2} (exit $ctl_code)" \
    grep -qE "^DISPLAY2 .* on .*${w2}x${h2}@${f2}" <(plain list)
  # Without Velmora: release, then hold, change the store only.
  ctl release-offline release DISPLAY2
  check "without Velmora, release DISPLAY2 exits 0 and stores Locked false" \
    test "$ctl_code|$(reg_value "$group" Locked)" = "0|false"
  ctl hold-offline hold DISPLAY2
  check "without Velmora, hold DISPLAY2 exits 0 and says the hold starts with it" \
    grep -qxF "Velmora is not running; the hold starts with it (velmora -d)" "$work/hold-offline.out"
  check "... and stores the hold in $group (Locked true, $w2 x $h2)" \
    test "$ctl_code|$(reg_value "$group" Locked)|$(printf '%d' "$(reg_value "$group" PelsWidth)")" = "0|true|$w2"
  ctl release-again release DISPLAY2

  start_velmora ctl en_US.UTF-8 -d
  if ! wait_line ctl '^msec:1000$' 30; then
    bad "velmora.exe -d starts for velmoractl (see $work/ctl.err)"
    stop_velmora ctl
    finish
  fi
  ctl hold-running hold DISPLAY2
  check "with Velmora running, hold DISPLAY2 goes to it (exit $ctl_code: $(head -n 1 "$work/hold-running.out"))" \
    grep -qE "^DISPLAY2 held at ${w2}x${h2}@${f2}" <(plain hold-running)
  ctl status status
  check "... status lists DISPLAY2 held" grep -qE "^DISPLAY2 +${w2}x${h2}@${f2}:${b2} +held" <(plain status)
  t0=$(ms)
  wine "$other" on '\\.\DISPLAY2' push "$w3" "$h3" 32 "$f3" >"$work/ctl-push.out" 2>&1 </dev/null
  if wait_mode "$w2 $h2 $f2" 10 DUMMY1; then
    ok "... another Windows program's switch of DISPLAY2 is put back $(($(ms) - t0)) ms after it started"
  else
    bad "... another Windows program's switch of DISPLAY2 is put back (X shows DUMMY1 at '$(xcurrent DUMMY1)')"
  fi
  ctl release-running release DISPLAY2
  check "release DISPLAY2 exits 0 (exit $ctl_code)" test "$ctl_code" = 0
  wine "$other" on '\\.\DISPLAY2' push "$w3" "$h3" 32 "$f3" >"$work/ctl-push2.out" 2>&1 </dev/null
  ticks ctl 2
  check "... then another program's switch of DISPLAY2 to $w3 x $h3 stays over ticks" wait_mode "$w3 $h3 $f3" 2 DUMMY1
  ctl keep hold DISPLAY2 "${w2}x${h2}@${f2}"
  check "hold DISPLAY2 ${w2}x${h2}@${f2} with no answer (end of input) exits 1 (exit $ctl_code)" test "$ctl_code" = 1
  check "... asks Keep this mode? [y/N]" grep -qF "Keep this mode? [y/N]" "$work/keep.err"
  check "... and switches DISPLAY2 back to $w3 x $h3" wait_mode "$w3 $h3 $f3" 5 DUMMY1
  ctl status-after status
  check "... and holds nothing new" test -z "$(plain status-after | grep -E '^DISPLAY2 ' | grep -w held)"
  ctl bad-mode hold DISPLAY2 wide
  check "a bad MODE exits 2 (exit $ctl_code) and says so on standard error" \
    test "$ctl_code|$(grep -c '^velmoractl: ' "$work/bad-mode.err")|$(wc -c <"$work/bad-mode.out")" = "2|1|0"
  ctl not-offered hold DISPLAY2 7x7
  check "a MODE DISPLAY2 does not offer exits 1 (exit $ctl_code) and says so" \
    test "$ctl_code|$(grep -c 'DISPLAY2 does not offer 7x7' "$work/not-offered.err")" = "1|1"
  check "... and DISPLAY2 stays in $w3 x $h3" test "$(xcurrent DUMMY1)" = "$w3 $h3 $f3"
  stop_velmora ctl
}

# --- The arrangement of two monitors held --------------------------------------------------------
# DUMMY2 off, DUMMY1 right of DUMMY0 (Wine sees it so from its wineserver's next start): \\.\DISPLAY1 and \\.\DISPLAY2 on.
# Another Windows program moves \\.\DISPLAY2 under the primary; Velmora puts it back, once.
geometry() { xrandr --current | awk -v o="$1" '$1 == o && $2 == "connected" { for (i = 3; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+[+-]/) { print $i; exit } }'; }
restores() { lines "$1" | grep -c '^hold: putting back the arrangement of 2 monitors: '; }
step_arrangement() {
  local g0 g1 h1 below
  enter_host
  xrandr --output DUMMY2 --off --output DUMMY1 --right-of DUMMY0
  restart_wineserver
  wine reg add "$store\\Deamon" /v msec /t REG_DWORD /d 1000 /f >/dev/null 2>&1
  start_velmora arranged en_US.UTF-8 -d
  if ! wait_line arranged '^msec:1000$' 30; then
    bad "velmora.exe -d starts for the arrangement (see $work/arranged.err)"
    stop_velmora arranged
    finish
  fi
  g0=$(geometry DUMMY0) g1=$(geometry DUMMY1)
  h1=${g1%%+*} below=${g0%%+*}
  below=${below#*x}
  ctl arrangement-hold hold --arrangement
  check "velmoractl.exe hold --arrangement holds \\\\.\\DISPLAY1 at $g0 and \\\\.\\DISPLAY2 at $g1 (exit $ctl_code: $(head -n 1 "$work/arrangement-hold.out"))" \
    test "$ctl_code|$(head -n 1 "$work/arrangement-hold.out")" = "0|the arrangement of 2 monitors held"
  ctl arrangement-status status
  check "... status shows it held" grep -qF 'arrangement of \\.\DISPLAY1+\\.\DISPLAY2  held  never restored' "$work/arrangement-status.out"
  wine "$other" place '\\.\DISPLAY2' 0 "$below" >"$work/place.raw" 2>&1 </dev/null
  sed -i 's/\r$//' "$work/place.raw"
  check "another Windows program moves \\\\.\\DISPLAY2 under the primary ($(grep '^placed ' "$work/place.raw"))" grep -q '^ok ' "$work/place.raw"
  if wait_for "[ \"\$(geometry DUMMY1)\" = '$g1' ] && [ \"\$(geometry DUMMY0)\" = '$g0' ]" 10; then
    ok "... and Velmora puts it back: X shows DUMMY0 at $g0, DUMMY1 at $g1"
  else
    bad "... and Velmora puts it back (X shows DUMMY0 at $(geometry DUMMY0), DUMMY1 at $(geometry DUMMY1))"
  fi
  ticks arranged 3
  check "... in one restore ($(restores arranged))" test "$(restores arranged)" = 1
  ctl arrangement-restored status
  check "... status says when" grep -qF 'arrangement of \\.\DISPLAY1+\\.\DISPLAY2  held  last restored ' "$work/arrangement-restored.out"
  ctl arrangement-release release --arrangement
  check "release --arrangement exits 0 (exit $ctl_code)" test "$ctl_code" = 0
  wine "$other" place '\\.\DISPLAY2' 0 "$below" >"$work/place2.raw" 2>&1 </dev/null
  ticks arranged 3
  check "... then another program's move stays over ticks (DUMMY1 at $(geometry DUMMY1))" test "$(geometry DUMMY1)" = "$h1+0+$below"
  stop_velmora arranged
}

# --- Uninstall, silently ----------------------------------------------------------------------------
step_uninstall() {
  enter_host
  wine reg add "$run_key" /v Velmora /d "\"$dir_win\\velmora.exe\" -d" /f >/dev/null 2>&1
  if batch uninstall "\"$dir_win\\uninstall.exe\" /S"; then ok "the silent uninstall exits 0"; else bad "the silent uninstall exits $?"; fi
  # The uninstaller runs on from a copy of itself: wait for the folder to go.
  wait_for "[ ! -e '$dir' ]" 20
  check "no file is left, velmoractl.exe neither" test ! -e "$dir"
  check "no Run value is left" test -z "$(reg_value "$run_key" Velmora)"
  check "no Apps & features entry is left" test -z "$(reg_value "$uninstall_key" DisplayName)"
  check "no Start-menu shortcut is left" test -z "$(find "$drive/users" -path '*Start Menu/Programs/Velmora.lnk' 2>/dev/null)"
}

fn=step_${step//-/_}
declare -F "$fn" >/dev/null || { echo "windows-steps: no step $step" >&2; exit 2; }
started=$(date +%s)
"$fn"
echo "windows-steps: $step done in $(($(date +%s) - started)) s"
finish
