#!/usr/bin/env bash
# Checks a built velmora .deb without installing it: lintian (no error; warnings are printed),
# the control fields, the file list, the compiled translations inside the program, the
# manual page as shipped.
#   check-package.sh DEB [BUILD_DIR]    BUILD_DIR: where the .qm files were compiled
set -eu
deb=${1:?path of the .deb}
build=${2:-$(dirname "$deb")}
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(Velmora VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
id=org.orvanne.Velmora
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
problem() { echo "check-package: $*" >&2; fail=1; }

# lintian: errors fail; warnings and the rest are shown for a person to judge.
lintian --pedantic --info --tag-display-limit 0 "$deb" > "$tmp/lintian" 2>&1 || true
grep -v '^running with root privileges' "$tmp/lintian" | grep -E '^[EWIP]: ' || true
grep -q '^E: ' "$tmp/lintian" && problem "lintian reports errors"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmora ] || problem "Package is $(field Package)"
[ "$(field Version)" = "$version-1" ] || problem "Version $(field Version) is not $version-1"
[ "$(field Section)" = utils ] || problem "Section is $(field Section)"
for dep in libqt6widgets6 libqt6gui6 libxcb-randr0 qt6-wayland; do
  field Depends | grep -q "\b$dep\b" || problem "Depends lacks $dep: $(field Depends)"
done

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' > "$tmp/files"
for f in /usr/bin/velmora /usr/bin/velmoractl /usr/share/applications/$id.desktop \
         /usr/share/metainfo/$id.metainfo.xml /usr/share/man/man1/velmora.1.gz \
         /usr/share/man/man1/velmoractl.1.gz /usr/share/bash-completion/completions/velmoractl \
         /usr/share/doc/velmora/copyright /usr/share/doc/velmora/changelog.Debian.gz \
         /usr/share/icons/hicolor/scalable/apps/velmora.svg; do
  grep -qx "$f" "$tmp/files" || problem "the package lacks $f"
done
for size in 16 24 32 48 64 128 256; do
  grep -qx "/usr/share/icons/hicolor/${size}x${size}/apps/velmora.png" "$tmp/files" \
    || problem "the package lacks the ${size}x${size} icon"
done

dpkg-deb -x "$deb" "$tmp/root"
# The translations are compiled into the program (uncompressed): each .qm is in it as it is.
for ts in "$root"/resources/translations/*.ts; do
  qm="$build/$(basename "$ts" .ts).qm"
  [ -f "$qm" ] || { problem "$qm was not built"; continue; }
  size=$(stat -c %s "$qm")
  program=velmora
  [[ $(basename "$ts") == velmoractl_* ]] && program=velmoractl
  grep -qF "$(od -An -tx1 -v "$qm" | tr -d ' \n')" <(od -An -tx1 -v "$tmp/root/usr/bin/$program" | tr -d ' \n') \
    || problem "/usr/bin/$program does not carry $(basename "$qm") ($size bytes)"
done
for program in velmora velmoractl; do
  file "$tmp/root/usr/bin/$program" | grep -q 'stripped' || problem "$program is not stripped"
  file "$tmp/root/usr/bin/$program" | grep -q 'not stripped' && problem "$program is not stripped"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
               "$tmp/root/usr/share/man/man1/$program.1.gz" 2>&1 >/dev/null) || problem "man -l $program.1 failed"
  [ -z "$warnings" ] || problem "man -l $program.1: $warnings"
done
bash -n "$tmp/root/usr/share/bash-completion/completions/velmoractl" || problem "the bash completion does not parse"
# The copyright file: machine-readable, the licence of LICENSE word for word.
copyright=$tmp/root/usr/share/doc/velmora/copyright
grep -qx 'Copyright: [0-9-]* Orvanne' "$copyright" || problem "copyright names no Orvanne copyright"
[ "$(sed -n '/^Permission/,$p' "$root/LICENSE" | tr -s ' \n' ' ')" = \
  "$(sed -n '/^ Permission/,$p' "$copyright" | sed 's/^ \.\{0,1\}//' | tr -s ' \n' ' ')" ] \
  || problem "the copyright file's licence text is not that of LICENSE"

[ $fail = 0 ] && echo "check-package: $(basename "$deb") is fine ($(wc -l < "$tmp/files") entries)"
exit $fail
