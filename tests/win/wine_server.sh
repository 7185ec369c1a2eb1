#!/bin/sh
# Starts the wine server of the tests' prefix ahead of them, detached from
# ctest's output pipes, and keeps it for a while after its last client. A
# server that the first wine of a test starts itself inherits that test's
# pipes, and ctest then waits for the server's own exit (seconds) after
# every test.
#   wine_server.sh PREFIX RUNNER
set -u
prefix=$1
runner=$2
mkdir -p "$prefix"
WINEPREFIX="$prefix" wineserver -p20 </dev/null >/dev/null 2>&1 || true
# Creates the prefix on first use, through the same runner as the tests.
"$runner" "$prefix" cmd /c exit 0 </dev/null >/dev/null 2>&1
exit 0
