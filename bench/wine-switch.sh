#!/usr/bin/env bash
# Switches OUTPUT of the test X server to the X mode named MODE the way another Windows program
# does: tst_win32display.exe (VELMORA_WINE_OTHER) applies its values through
# ChangeDisplaySettingsExW under the Wine of the environment (WINEPREFIX, DISPLAY). Several
# outputs are switched in one apply of that program.
#   wine-switch.sh OUTPUT[,OUTPUT...] MODE
set -eu
outputs=${1:?usage: wine-switch.sh OUTPUT[,OUTPUT...] MODE}
mode=${2:?usage: wine-switch.sh OUTPUT[,OUTPUT...] MODE}
# W H and the refresh rate as Wine rounds it: dot clock / (htotal * vtotal).
read -r w h hz < <(xrandr --current --verbose | awk -v name="$mode" '
  /^  [^ \t]/ && $2 ~ /^\(0x/ { take = ($1 == name); clock = $3; sub(/MHz/, "", clock); next }
  take && /^ +h: / { for (i = 1; i < NF; i++) { if ($i == "width") w = $(i + 1); if ($i == "total") ht = $(i + 1) }; next }
  take && /^ +v: / { for (i = 1; i < NF; i++) { if ($i == "height") h = $(i + 1); if ($i == "total") vt = $(i + 1) }
    printf "%d %d %d\n", w, h, int(clock * 1000000 / (ht * vt) + 0.5); exit }')
[ -n "${hz:-}" ] || { echo "wine-switch: no mode $mode" >&2; exit 1; }
# One output: the device that program pins (the X primary's). Several: Wine numbers the devices
# in the X order with the primary first, so with DUMMY0 primary DUMMYn is \\.\DISPLAY(n+1).
on=()
if [[ $outputs == *,* ]]; then
  devices=
  for o in ${outputs//,/ }; do devices=$devices${devices:+,}'\\.\DISPLAY'$((${o#DUMMY} + 1)); done
  on=(on "$devices")
fi
wine "${VELMORA_WINE_OTHER:?}" "${on[@]}" push "$w" "$h" 32 "$hz" >/dev/null
