#!/bin/sh
# Runs a Windows program under wine for the tests: headless, quiet, with a
# wine prefix of the build's own (created on first use; two tests starting
# at once must not both create it), and never for longer than ten minutes.
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The wine launcher starts the 32-bit loader first, which a kernel without
# 32-bit support cannot run; the 64-bit loader runs 64-bit programs alone.
loader=wine
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then loader=/usr/lib/wine/wine64; fi
export loader
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  flock "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || "$loader" wineboot --init >/dev/null 2>&1; wineserver -w'
fi
exec timeout 600 "$loader" "$@"
