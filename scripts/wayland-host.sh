#!/usr/bin/env bash
# A real Wayland compositor, headless, with outputs of 1280x720 at 60 Hz side by side (three on
# KWin and phoc, two on sway), for the tests of the KDE Plasma and wlroots backends.
#   wayland-host.sh start DIR kwin|phoc|sway
#       kwin: KWin 5.27 (kde_output_device_v2, kde_output_management_v2), virtual outputs
#             Virtual-0 at 0,0, Virtual-1 at 1280,0 and Virtual-2 at 2560,0, one mode each
#             (1280x720@60, id "0"); none takes a custom mode.
#             It takes positions, scales, rotations and disabling one output; it keeps the
#             last enabled output on and shifts a layout back to 0,0 (kscreen-doctor still
#             exits 0 then).
#       phoc: phoc 0.24 on wlroots 0.15 (zwlr_output_manager_v1), HEADLESS-1 at 0,0,
#             HEADLESS-2 at 1280,0 and HEADLESS-3 at 2560,0; a headless output lists only its
#             current mode and takes any custom mode. It refuses to disable an output, and
#             after that refusal every output sits at 0,0 until positioned again.
#       sway: sway 1.7 (zwlr_output_manager_v1), HEADLESS-1 and HEADLESS-2 only, run as
#             nobody when started as root (sway refuses root). Its output manager reports every
#             head disabled with one mode of 0x0 (no size, no refresh) and refuses every
#             configuration; sway's own view is on its IPC socket (DIR/swaysock, swaymsg).
#     What a test finds in DIR:
#       kind      kwin, phoc or sway
#       wayland   the absolute path of the compositor's socket: WAYLAND_DISPLAY for a client
#       runtime   a link to the compositor's XDG_RUNTIME_DIR, a private folder in /tmp (0700,
#                 owned by the compositor's user, removed on stop); a client of kwin or phoc
#                 may use it as its own, a root client of sway should not
#       pid       the compositor's PID
#       log       the compositor's output
#       swaysock  (sway) SWAYSOCK for swaymsg
#       skip      the reason, when the host cannot run here; the command still succeeds then,
#                 unless VELMORA_REQUIRE_XSERVER=1
#   wayland-host.sh run DIR COMMAND [ARG...]
#       runs COMMAND as a client of the host: WAYLAND_DISPLAY, XDG_RUNTIME_DIR (kwin, phoc),
#       QT_QPA_PLATFORM=wayland, libkscreen in process (kscreen-doctor), no X display or
#       session bus.
#   wayland-host.sh stop DIR    stop the compositor by its PID and wait until it is gone.
set -u
cmd=${1:?start|run|stop}
dir=${2:?state directory}
dir=$(mkdir -p "$dir" && cd "$dir" && pwd)
# Witnesses that fail before the compositor answers must not leave cores behind.
ulimit -c 0

skip() {
  echo "$1" > "$dir/skip"
  echo "wayland-host: $1" >&2
  [ "${VELMORA_REQUIRE_XSERVER:-0}" = 1 ] && exit 1
  exit 0
}

# The process name a kind runs under (KWin runs as a copy under the same name).
process_name() {
  case "$1" in
    kwin) echo kwin_wayland ;;
    *) echo "$1" ;;
  esac
}

# True while PID runs as NAME; an exited child not yet reaped by its new parent counts as gone.
running() {
  local pid=$1 name=$2
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] || return 1
  [ "$(sed 's/^.*) \(.\).*/\1/' "/proc/$pid/stat" 2>/dev/null)" != Z ]
}

# True while PID runs, whatever its name; an exited child not yet reaped counts as gone.
alive() {
  kill -0 "$1" 2>/dev/null || return 1
  [ "$(sed 's/^.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# Stops the compositor DIR/pid names, if it is still the one started there (a PID left from an
# earlier run may belong to somebody else by now).
stop_host() {
  [ -f "$dir/pid" ] && [ -f "$dir/kind" ] || { rm -f "$dir/pid"; remove_runtime; return 0; }
  local pid name
  pid=$(cat "$dir/pid")
  name=$(process_name "$(cat "$dir/kind")")
  if running "$pid" "$name" && kill "$pid" 2>/dev/null; then
    for _ in $(seq 1 200); do
      running "$pid" "$name" || break
      sleep 0.05
    done
    running "$pid" "$name" && kill -9 "$pid" 2>/dev/null
  fi
  rm -f "$dir/pid" "$dir/wayland" "$dir/swaysock"
  remove_runtime
}

# The runtime folder lies outside DIR: a compositor run as another user cannot reach a
# checkout in a folder only root may enter (/root), and a socket path has at most 107 bytes.
make_runtime() {
  local runtime
  runtime=$(mktemp -d /tmp/velmora-wayland.XXXXXX) || return 1
  ln -s "$runtime" "$dir/runtime"
}

runtime_dir() { readlink "$dir/runtime"; }

# Removes the runtime folder DIR/runtime links to, if it is still one of ours.
remove_runtime() {
  local runtime
  runtime=$(readlink "$dir/runtime" 2>/dev/null) || { rm -rf "$dir/runtime"; return 0; }
  case "$runtime" in
    /tmp/velmora-wayland.*) rm -rf "$runtime" ;;
  esac
  rm -f "$dir/runtime"
}

# The environment of a client: the caller's, without any other display or session bus.
client() {
  local kind wayland
  kind=$(cat "$dir/kind" 2>/dev/null)
  wayland=$(cat "$dir/wayland" 2>/dev/null)
  local env=(WAYLAND_DISPLAY="$wayland" QT_QPA_PLATFORM=wayland KSCREEN_BACKEND_INPROCESS=1)
  # KWin's and phoc's runtime folder is root's like the client's; sway's is nobody's.
  # libkscreen picks its Wayland backend by itself; named in KSCREEN_BACKEND, kscreen-doctor
  # 5.27 crashes on every change.
  [ "$kind" != sway ] && env+=(XDG_RUNTIME_DIR="$(runtime_dir)")
  env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_SOCKET -u KSCREEN_BACKEND "${env[@]}" "$@"
}

# The compositor's environment: nothing of the caller's session, configuration inside DIR.
compositor_env=()
set_compositor_env() {
  compositor_env=(PATH="$PATH" HOME="$dir/home" XDG_RUNTIME_DIR="$(runtime_dir)"
                  XDG_CONFIG_HOME="$dir/home/config" XDG_DATA_HOME="$dir/home/data"
                  XDG_CACHE_HOME="$dir/home/cache" XDG_STATE_HOME="$dir/home/state")
}

# How many outputs a kind starts with; VELMORA_HEADLESS_OUTPUTS sets phoc's and sway's.
outputs_of() {
  case "$1" in
    kwin) echo 3 ;;
    phoc) echo "${VELMORA_HEADLESS_OUTPUTS:-3}" ;;
    *) echo "${VELMORA_HEADLESS_OUTPUTS:-2}" ;;
  esac
}

wlroots_env() {
  echo WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS="$(outputs_of "$1")" WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1
}

start_kwin() {
  command -v kwin_wayland >/dev/null || skip "kwin_wayland is not installed (kwin-wayland)"
  command -v kscreen-doctor >/dev/null || skip "kscreen-doctor is not installed (kscreen)"
  # The installed binary carries cap_sys_resource, which a container refuses to exec; a copy
  # carries no file capabilities.
  cp -f "$(command -v kwin_wayland)" "$dir/kwin_wayland" || skip "cannot copy kwin_wayland into $dir"
  # QPainter: no GL rendering on a busy machine; no D-Bus: KWin runs without one.
  env -i "${compositor_env[@]}" KWIN_COMPOSE=Q \
    "$dir/kwin_wayland" --virtual --width 1280 --height 720 --output-count "$(outputs_of kwin)" \
    --socket velmora-wayland --no-lockscreen --no-global-shortcuts --no-kactivities \
    >"$dir/log" 2>&1 </dev/null &
  echo $! > "$dir/pid"
  echo "$(runtime_dir)/velmora-wayland" > "$dir/wayland"
}

start_phoc() {
  command -v phoc >/dev/null || skip "phoc is not installed (phoc)"
  command -v wlr-randr >/dev/null || skip "wlr-randr is not installed (wlr-randr)"
  # The "Hz" is required: phoc ignores a mode without it. Placed in order: phoc's own layout
  # puts a later output left of an earlier one.
  local n
  printf '[output:HEADLESS-1]\nmode = 1280x720@60Hz\nx = 0\ny = 0\n' > "$dir/phoc.ini"
  for n in $(seq 2 "$(outputs_of phoc)"); do
    printf '[output:HEADLESS-%d]\nx = %d\ny = 0\n' "$n" $(((n - 1) * 1280)) >> "$dir/phoc.ini"
  done
  env -i "${compositor_env[@]}" $(wlroots_env phoc) GSETTINGS_BACKEND=memory \
    phoc -C "$dir/phoc.ini" >"$dir/log" 2>&1 </dev/null &
  echo $! > "$dir/pid"
}

start_sway() {
  command -v sway >/dev/null || skip "sway is not installed (sway)"
  command -v wlr-randr >/dev/null || skip "wlr-randr is not installed (wlr-randr)"
  local as=() runtime
  runtime=$(runtime_dir)
  if [ "$(id -u)" = 0 ]; then
    command -v setpriv >/dev/null || skip "setpriv is not installed (util-linux)"
    id nobody >/dev/null 2>&1 || skip "sway refuses root and there is no user nobody"
    chown nobody: "$runtime"
    setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups test -w "$runtime" \
      || skip "sway runs as nobody, who cannot reach $runtime"
    as=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
  fi
  # In the runtime folder: the user nobody may not read DIR.
  printf 'xwayland disable\noutput HEADLESS-1 mode 1280x720@60Hz\n' > "$runtime/sway.config"
  # nobody's HOME does not exist; the runtime folder is the one place it may write.
  compositor_env+=(HOME="$runtime")
  env -i "${compositor_env[@]}" $(wlroots_env sway) \
    "${as[@]}" sway -c "$runtime/sway.config" >"$dir/log" 2>&1 </dev/null &
  echo $! > "$dir/pid"
}

# The socket a wlroots compositor chose for itself (the first free wayland-N).
find_socket() {
  local s
  for s in "$(runtime_dir)"/wayland-*; do
    [ -S "$s" ] && { echo "$s" > "$dir/wayland"; return 0; }
  done
  return 1
}

# Ready when the witness lists every output through the output-management protocol.
ready() {
  local kind=$1
  [ -f "$dir/wayland" ] || find_socket || return 1
  [ -S "$(cat "$dir/wayland")" ] || return 1
  local out n count
  count=$(outputs_of "$kind")
  case "$kind" in
    kwin) out=$(client timeout 10 kscreen-doctor -j 2>/dev/null) || return 1
          for n in $(seq 0 $((count - 1))); do grep -q "\"name\": \"Virtual-$n\"" <<<"$out" || return 1; done ;;
    *) out=$(client timeout 10 wlr-randr 2>/dev/null) || return 1
       for n in $(seq 1 "$count"); do grep -q "^HEADLESS-$n " <<<"$out" || return 1; done ;;
  esac
}

start() {
  local kind=$1
  stop_host
  rm -rf "$dir/skip" "$dir/wayland" "$dir/swaysock" "$dir/home" "$dir/log"
  echo "$kind" > "$dir/kind"
  mkdir -p "$dir/home"
  make_runtime || skip "cannot make a runtime folder in /tmp"
  set_compositor_env
  local began
  began=$(date +%s%N)
  "start_$kind"
  local pid
  pid=$(cat "$dir/pid")
  while [ $(($(date +%s%N) - began)) -lt 30000000000 ]; do
    if ready "$kind"; then
      if [ "$kind" = sway ]; then
        ls "$(runtime_dir)"/sway-ipc.*.sock 2>/dev/null | head -n 1 > "$dir/swaysock"
      fi
      echo "wayland-host: $kind ready on $(cat "$dir/wayland") (pid $pid, $((($(date +%s%N) - began) / 1000000)) ms)"
      return 0
    fi
    # Just started, the PID may still be env's, not yet the compositor's: alive is enough.
    if ! alive "$pid"; then
      tail -n 20 "$dir/log" >&2
      stop_host
      skip "$kind exited before it answered (see $dir/log)"
    fi
    sleep 0.1
  done
  tail -n 20 "$dir/log" >&2
  stop_host
  skip "$kind did not answer within 30 s (see $dir/log)"
}

case "$cmd" in
start)
  kind=${3:?kwin|phoc|sway}
  case "$kind" in
    kwin|phoc|sway) start "$kind" ;;
    *) echo "wayland-host: unknown compositor $kind" >&2; exit 2 ;;
  esac
  ;;
run)
  shift 2
  client "$@"
  ;;
stop)
  stop_host
  echo "wayland-host: stopped"
  ;;
*)
  echo "usage: $0 start DIR kwin|phoc|sway | run DIR COMMAND... | stop DIR" >&2
  exit 2
  ;;
esac
