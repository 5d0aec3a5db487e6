#!/usr/bin/env bash
# Installs the Debian 12 packages a task needs, when they are missing.
#   deps.sh build|test|run|package|windows ...
# As root it installs them; otherwise it prints the apt-get line to run and fails.
set -eu
build=(cmake make g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
       libxcb1-dev libxcb-randr0-dev qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
       libwayland-dev libwayland-bin plasma-wayland-protocols)
# The Debian package and the checks of what it ships.
package=(dpkg-dev file lintian appstream desktop-file-utils man-db qt6-wayland)
# A headless X server with RandR, a tray host, and the tools that look at it from outside.
xserver=(xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-utils xauth xdotool
         trayer imagemagick fonts-wqy-zenhei)

# A real Mutter for the GNOME tests (window manager of the test X server, or nested Wayland
# compositor), its private session bus, gdbus, Qt's Wayland platform and XWayland.
gnome=(mutter dbus-daemon libglib2.0-bin qt6-wayland xwayland)

# A real wlroots output client, the witness of the Wayland test compositor.
wayland=(wlr-randr)

# Cross-building for Windows (the Qt for Windows itself: scripts/qt-windows.sh), packing the
# zip and the installer, and running them under Wine.
windows=(g++-mingw-w64-x86-64-posix wine wine64 nsis zip unzip)

want=()
for task in "$@"; do
  case "$task" in
    build) want+=("${build[@]}") ;;
    run) want+=("${build[@]}" "${xserver[@]}") ;;
    package) want+=("${build[@]}" "${package[@]}") ;;
    windows) want+=("${build[@]}" "${xserver[@]}" "${windows[@]}") ;;
    test) want+=("${build[@]}" "${xserver[@]}" "${gnome[@]}" "${wayland[@]}" "${windows[@]}" "${package[@]}") ;;
    *) echo "deps.sh: unknown task $task" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Unique, in order.
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | awk '!seen[$0]++')
line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" != 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && $line" >&2
  exit 1
fi
echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
