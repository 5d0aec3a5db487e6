#!/usr/bin/env bash
# Every translation is finished, so no text ships untranslated:
#  1. each resources/translations/*.ts as committed has no unfinished, vanished or obsolete entry and no
#     empty translation;
#  2. lupdate run afresh over the sources (on a copy) finds no text the .ts lacks.
# Entries of the .ts that the sources do not (yet) hold are listed, without failing.
# Refresh the .ts files from the sources with: cmake --build <build> --target update_translations
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
lupdate=${LUPDATE:-$(command -v lupdate || echo /usr/lib/qt6/bin/lupdate)}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0

bad_entries() { # file pattern -> the source texts of the matching entries
  awk -v pat="$2" '
    /<source>/ { src = $0; sub(/.*<source>/, "", src); sub(/<\/source>.*/, "", src) }
    $0 ~ pat { print "    " src }' "$1"
}

for ts in "$root"/resources/translations/*.ts; do
  name=$(basename "$ts")
  n=$(grep -c '<message' "$ts" || true)
  for kind in unfinished vanished obsolete; do
    if grep -q "type=\"$kind\"" "$ts"; then
      echo "$name: $kind entries:"; bad_entries "$ts" "type=\"$kind\""; fail=1
    fi
  done
  if grep -Eq '<translation( [^>]*)?(/>|></translation>)' "$ts"; then
    echo "$name: empty translations:"; bad_entries "$ts" '<translation( [^>]*)?(/>|></translation>)'; fail=1
  fi

  # Afresh over the sources, on a copy next to a copy of the source folders. velmoractl has
  # catalogues of its own, over its own sources.
  rm -rf "$tmp"/*
  mkdir -p "$tmp/translations"
  cp "$ts" "$tmp/translations/"
  for d in app daemon display ui; do cp -r "$root/$d" "$tmp/"; done
  ctl=(app/ControlCommand.h app/ControlCommand.cpp app/velmoractl.cpp)
  if [[ $name == velmoractl_* ]]; then
    sources=("${ctl[@]/#/../}")
  else
    (cd "$tmp" && rm -f "${ctl[@]}")
    sources=(../app ../daemon ../display ../ui)
  fi
  (cd "$tmp/translations" && "$lupdate" -silent -extensions cpp,h,ui -locations relative \
      "${sources[@]}" -ts "$name" >/dev/null)
  if grep -q 'type="unfinished"' "$tmp/translations/$name"; then
    echo "$name: texts in the sources that it does not translate (run update_translations, then translate):"
    bad_entries "$tmp/translations/$name" 'type="unfinished"'
    fail=1
  fi
  if grep -q 'type="vanished"' "$tmp/translations/$name"; then
    echo "$name: note: translated texts that the sources do not hold (yet):"
    bad_entries "$tmp/translations/$name" 'type="vanished"'
  fi
  [ $fail = 0 ] && echo "$name: $n entries, all finished"
done
exit $fail
