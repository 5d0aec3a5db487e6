#!/usr/bin/env bash
# The test compositor through a real wlroots client: its outputs listed, a mode switched, an
# output unplugged by a reload, and a clean stop.
#   smoke.sh <velmora-test-compositor>
set -eu
compositor=$1
if ! command -v wlr-randr >/dev/null; then
  echo "SKIP: wlr-randr is not installed"
  exit 77
fi

dir=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$dir WAYLAND_DISPLAY=smoke
config=$dir/outputs.json
state=$config.state
fail() { echo "FAIL: $*"; echo "state: $(cat "$state" 2>/dev/null)"; exit 1; }

dp1='{"name": "DP-1", "modes": [[1920,1080,60000],[1920,1080,59940],[1280,1024,75025]],
      "current": 0, "preferred": 0, "enabled": true, "x": 0, "y": 0}'
hdmi='{"name": "HDMI-A-1", "modes": [[1280,720,60000]], "current": 0, "enabled": true, "x": 1920, "y": 0}'
echo "{\"outputs\": [$dp1, $hdmi], \"primary\": \"DP-1\"}" > "$config"

# "ready" on a pipe held open: the compositor's stdout must not go away under it.
mkfifo "$dir/out"
"$compositor" --socket smoke --config "$config" > "$dir/out" &
pid=$!
exec 3< "$dir/out"
read -r -t 10 -u 3 line || fail "no ready line"
[ "$line" = ready ] || fail "first line: $line"

list=$(wlr-randr) || fail "wlr-randr cannot list"
echo "$list"
for want in 'DP-1 ' 'HDMI-A-1 ' '1920x1080 px, 60.000000 Hz (preferred, current)' '1920x1080 px, 59.939999 Hz' \
            '1280x1024 px, 75.025002 Hz' 'Position: 1920,0'; do
  grep -qF "$want" <<<"$list" || fail "wlr-randr does not list: $want"
done

wlr-randr --output DP-1 --mode 1280x1024@75.025 || fail "wlr-randr cannot switch DP-1"
grep -qE '"current":\[1280,1024,75025\],"enabled":true,[^}]*"name":"DP-1"' "$state" || fail "DP-1 not switched"
grep -qF '"applied":1,' "$state" || fail "applied is not 1"
wlr-randr | grep -qF '1280x1024 px, 75.025002 Hz (current)' || fail "wlr-randr does not see the switch"

# Unplugged on reload: gone for a client that starts afterwards.
echo "{\"outputs\": [$hdmi]}" > "$config"
kill -HUP "$pid"
for _ in $(seq 50); do
  grep -qF '"name":"DP-1"' "$state" || break
  sleep 0.1
done
grep -qF '"name":"DP-1"' "$state" && fail "DP-1 still in the state after the reload"
list=$(wlr-randr) || fail "wlr-randr cannot list after the reload"
grep -qF 'DP-1' <<<"$list" && fail "wlr-randr still lists DP-1"
grep -qF 'HDMI-A-1' <<<"$list" || fail "wlr-randr lost HDMI-A-1"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"
[ -e "$dir/smoke" ] && fail "socket left behind"
echo "PASS"
