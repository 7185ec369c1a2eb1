#!/bin/sh
# Runs a Windows program under wine for the tests: headless, quiet, with a
# wine prefix of the build's own (created on first use; two tests starting
# at once must not both create it), and never for longer than ten minutes.
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  flock "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1; wineserver -w'
fi
exec timeout 600 wine "$@"
