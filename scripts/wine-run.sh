#!/usr/bin/env bash
# Runs a Windows program on a Wine host of wine-host.sh, with the Qt for Windows and the
# compiler's runtime DLLs on its path; exits with the program's exit code.
#   wine-run.sh HOST_DIR QT_BIN_DIR CXX PROGRAM [ARGUMENTS...]
set -u
dir=${1:?host dir} qtbin=${2:?Qt bin dir} cxx=${3:?compiler}
shift 3
[ -f "$dir/skip" ] && { echo "SKIP   : $(cat "$dir/skip")"; exit 0; }
. "$dir/env" || exit 1
runtime=$(dirname "$("$cxx" -print-file-name=libstdc++-6.dll)")
pthread=$(dirname "$("$cxx" -print-file-name=libwinpthread-1.dll)")
win() { local p=$1; echo "Z:${p//\//\\}"; }
export WINEPATH="$(win "$qtbin");$(win "$runtime");$(win "$pthread")"
exec wine "$@"
