#!/usr/bin/env bash
# Regenerates the bitmap icons from resources/icon.svg. The results are committed, so a build
# needs neither rsvg-convert nor ImageMagick; run this after editing the drawing.
#   resources/icon.png               256x256 RGBA, the tray image compiled into the program
#   resources/velmora.ico            48x48 32-bit, the Windows program file icon
#   resources/hicolor/NxN/apps/velmora.png   sizes for the freedesktop icon theme
set -euo pipefail
res=$(cd "$(dirname "$0")/../resources" && pwd)
svg=$res/icon.svg

for tool in rsvg-convert convert; do
  command -v "$tool" >/dev/null || { echo "make-icons: $tool is missing" >&2; exit 1; }
done

render() { # size output
  # PNG32: always 8-bit RGBA, even where the picture would fit a palette.
  rsvg-convert -w "$1" -h "$1" "$svg" | convert png:- -strip PNG32:"$2"
}

render 256 "$res/icon.png"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
render 48 "$tmp/48.png"
# BMP-coded entry with its alpha channel: 32 bits per pixel.
convert "$tmp/48.png" -define icon:format=bmp -type TrueColorAlpha "$res/velmora.ico"

for size in 16 24 32 48 64 128 256; do
  mkdir -p "$res/hicolor/${size}x${size}/apps"
  render "$size" "$res/hicolor/${size}x${size}/apps/velmora.png"
done
echo "make-icons: done"
