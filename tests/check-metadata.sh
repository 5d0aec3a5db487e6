#!/usr/bin/env bash
# The files that describe Velmora to the desktop and to software centres, and its manual page:
# the desktop entry (desktop-file-validate), the AppStream data (appstreamcli, offline; the
# release and the ids must match the project), and `man -l` rendering without warnings.
#   check-metadata.sh VERSION APP_ID
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
version=${1:?version}
id=${2:?application id}
fail=0
desktop=$root/resources/$id.desktop
metainfo=$root/resources/$id.metainfo.xml

out=$(desktop-file-validate "$desktop" 2>&1) || fail=1
[ -z "$out" ] || { echo "desktop-file-validate:"; echo "$out"; fail=1; }

appstreamcli validate --no-net --pedantic "$metainfo" || fail=1
for want in "<id>$id</id>" "<launchable type=\"desktop-id\">$id.desktop</launchable>" \
            "<binary>velmora</binary>" "<release version=\"$version\"" "<content_rating"; do
  grep -qF "$want" "$metainfo" || { echo "$metainfo lacks $want"; fail=1; }
done

# The manual page: groff's and man's warnings (-ww) are the failures.
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
             "$root/docs/velmora.1" 2>&1 >/dev/null) || fail=1
[ -z "$warnings" ] || { echo "man -l docs/velmora.1:"; echo "$warnings"; fail=1; }
grep -qF "\"Velmora $version\"" "$root/docs/velmora.1" || { echo "docs/velmora.1 is not for $version"; fail=1; }

[ $fail = 0 ] && echo "desktop entry, AppStream data and manual page are valid"
exit $fail
