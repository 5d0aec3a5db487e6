# What the steps of windows-steps.sh share, sourced: the counts, the Wine host, the installed
# program started and stopped by its PID, the X server's view of the outputs, waiting for a
# condition. State that outlives a step (PIDs, exit codes, mode lists) lives in files under
# $work, since every step is a process of its own.
#   windows_lib_init BUILD_DIR   sets build, work, host, the paths and the store's keys.

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok   $*"; }
bad() { failed=$((failed + 1)); echo "FAIL $*"; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
  exit
}
skipped() {
  echo "windows-tests: SKIPPED: $1"
  exit 0
}

windows_lib_init() {
  build=$(cd "${1:?build dir}" && pwd)
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  work=$build/windows-tests
  host=$work/host
  other=$build/tests/tst_win32display.exe
  mkdir -p "$work"
  dir_win='C:\Velmora Test\Velmora'
  exe_win="$dir_win\\velmora.exe"
  ctl_win="$dir_win\\velmoractl.exe"
  run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
  uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmora'
  store='HKCU\Software\Orvanne\Velmora'
  needed="velmora.exe velmoractl.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll
    platforms/qwindows.dll styles/qwindowsvistastyle.dll libstdc++-6.dll libgcc_s_seh-1.dll
    libwinpthread-1.dll translations/qtbase_zh_CN.qm translations/qtbase_en.qm qt.conf LICENSE
    README.txt"
}

# The zip and the installer of the package step.
packages() {
  [ -f "$work/zip" ] && [ -f "$work/setup" ] || { bad "the package step made the zip and the installer"; finish; }
  zip=$(cat "$work/zip") setup=$(cat "$work/setup")
  version=$(basename "$setup" | sed -E 's/^velmora-(.*)-setup\.exe$/\1/')
}

# Enters the Wine host of the host step: its X server, prefix and wineserver.
enter_host() {
  [ -f "$host/skip" ] && skipped "$(cat "$host/skip")"
  [ -f "$host/env" ] || { bad "the Wine host runs (no $host/env)"; finish; }
  . "$host/env"
  drive=$WINEPREFIX/drive_c
  dir=$drive/Velmora\ Test/Velmora
}

win() { local p=$1; echo "Z:${p//\//\\}"; }
ms() { echo $(($(date +%s%N) / 1000000)); }

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

# "W H HZ" of output $1 (DUMMY0 unless given) as the X server shows it; empty when it is off.
xcurrent() {
  xrandr --current | awk -v o="${1:-DUMMY0}" '$1 == o { on = 1; next } /^[^ ]/ { on = 0 }
    on && /\*/ { for (i = 2; i <= NF; i++) if ($i ~ /\*/) { f = $i; sub(/[*+]+$/, "", f); split($1, s, "x"); sub(/_.*/, "", s[2]); printf "%s %s %d\n", s[1], s[2], f + 0.5; exit } }'
}
# Waits up to $2 s (10 unless given) until X shows output $3 (DUMMY0 unless given) in "W H HZ" $1.
wait_mode() {
  local i
  for i in $(seq 1 $((${2:-10} * 20))); do
    [ "$(xcurrent "${3:-}")" = "$1" ] && return 0
    sleep 0.05
  done
  return 1
}
# Waits up to $2 s until the command $1 (a string for eval) succeeds.
wait_for() {
  local i
  for i in $(seq 1 $((${2:-10} * 10))); do
    eval "$1" && return 0
    sleep 0.1
  done
  return 1
}

# --- The installed program, by its PID -----------------------------------------------------------
# One run of velmora.exe in the background, in a language, that outlives the step: its PID goes
# to $work/NAME.pid, its exit code to $work/NAME.code when it ends, its diagnostic lines to
# $work/NAME.err. $1: run name, $2: LANG, then its arguments.
start_velmora() {
  local name=$1 lang=$2
  shift 2
  rm -f "$work/$name.pid" "$work/$name.code"
  (
    LANG=$lang LC_ALL= LC_MESSAGES= LANGUAGE= wine "$exe_win" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null &
    echo $! >"$work/$name.pid"
    wait $!
    echo $? >"$work/$name.code"
  ) >/dev/null 2>&1 </dev/null &
  wait_for "[ -s '$work/$name.pid' ]" 5
}
running() { [ -s "$work/$1.pid" ] && [ ! -f "$work/$1.code" ] && kill -0 "$(cat "$work/$1.pid")" 2>/dev/null; }
# Waits up to 20 s for run $1 to end; its exit code in $code.
wait_exit() {
  code=timeout
  wait_for "[ -f '$work/$1.code' ]" 20 || return 1
  code=$(cat "$work/$1.code")
}
# Ends run $1 by its PID if it still runs.
stop_velmora() {
  running "$1" && kill "$(cat "$work/$1.pid")" 2>/dev/null
  wait_for "[ -f '$work/$1.code' ]" 10 || { [ -s "$work/$1.pid" ] && kill -9 "$(cat "$work/$1.pid")" 2>/dev/null; }
  return 0
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

# --- Windows on the X server ---------------------------------------------------------------------
# The X ids of the program's visible windows titled $1 (any title when empty).
windows_titled() {
  local id
  xdotool search --onlyvisible --classname '^velmora\.exe$' 2>/dev/null | while read -r id; do
    [ -z "$1" ] || [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$1" ] && echo "$id"
  done
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
# Clicks (button $4, default 1; $5 times) at ($2, $3) inside window $1 with the X server's
# pointer; the pointer arrives first, as a hand's would (Wine takes a click without it for none).
click_in() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  xdotool mousemove $((X + $2 - 3)) $((Y + $3 - 3))
  sleep 0.3
  xdotool mousemove $((X + $2)) $((Y + $3))
  sleep 0.3
  xdotool click ${5:+--repeat "$5" --delay 80} "${4:-1}"
}
# The tray host's panel (trayer), where the icon docks.
tray_panel() { xdotool search --classname '^panel$' 2>/dev/null | head -n 1; }
# Clicks button $1 ($2 times) on the middle of the tray panel.
tray_click() {
  local panel X Y WIDTH HEIGHT
  panel=$(tray_panel)
  eval "$(xdotool getwindowgeometry --shell "$panel" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  click_in "$panel" $((WIDTH / 2)) $((HEIGHT / 2)) "$1" "${2:-}"
}
# Opens the tray menu with a right click and picks its second entry, Exit. $1: screenshot name.
exit_from_tray() {
  local before menu try X Y WIDTH HEIGHT
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
  eval "$(xdotool getwindowgeometry --shell "$menu" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  click_in "$menu" $((WIDTH / 2)) $((HEIGHT * 3 / 4))
}

# velmoractl.exe as installed: $1 run name, then its arguments; standard input is at its end.
# Its output in $work/NAME.out and .err without CRs, its exit code in $ctl_code.
ctl() {
  local name=$1
  shift
  timeout 60 wine "$ctl_win" "$@" >"$work/$name.raw" 2>"$work/$name.rawerr" </dev/null
  ctl_code=$?
  tr -d '\r' <"$work/$name.raw" >"$work/$name.out"
  tr -d '\r' <"$work/$name.rawerr" >"$work/$name.err"
}
