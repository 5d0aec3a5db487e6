#!/usr/bin/env bash
# Runs a Windows program on a Wine host of wine-host.sh, with the Qt for Windows and the
# compiler's runtime DLLs on its path; exits with the program's exit code.
#   wine-run.sh [--qtest] HOST_DIR QT_BIN_DIR CXX PROGRAM [ARGUMENTS...]
# --qtest: PROGRAM is a QtTest suite. Its plain-text log goes to the debugger output on Windows
# when no console is attached (always so under Wine), so it is written to a file and shown.
set -u
qtest=0
[ "${1:-}" = --qtest ] && { qtest=1; shift; }
dir=${1:?host dir} qtbin=${2:?Qt bin dir} cxx=${3:?compiler}
shift 3
[ -f "$dir/skip" ] && { echo "wine-run: SKIPPED: $(cat "$dir/skip")"; exit 0; }
. "$dir/env" || exit 1
win() { local p=$1; echo "Z:${p//\//\\}"; }
runtime=$(dirname "$("$cxx" -print-file-name=libstdc++-6.dll)")
pthread=$(dirname "$("$cxx" -print-file-name=libwinpthread-1.dll)")
export WINEPATH="$(win "$qtbin");$(win "$runtime");$(win "$pthread")"
[ $qtest = 1 ] || exec wine "$@"

log=$(mktemp "$dir/qtest.XXXXXX")
wine "$@" -o "$(win "$log"),txt"
code=$?
tr -d '\r' <"$log"
rm -f "$log"
exit $code
