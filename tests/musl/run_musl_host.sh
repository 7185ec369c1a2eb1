#!/bin/sh
# Runs the musl test host on the shipped x86-64 library and checks how far
# Agent_OnLoad got: the log opened in the bootstrap folder the properties
# name, the agent jar's manifest read, the runtime hash computed and the
# cache's lock taken, and the end where this fake JVM has no java.home.
#   run_musl_host.sh HOST LIBRARY AGENT_JAR
set -u
host=$1 lib=$2 jar=$3
[ -f "$lib" ] || { echo "SKIP: $lib is not built"; exit 77; }
[ -x "$host" ] || { echo "SKIP: no musl test host (musl-tools not installed)"; exit 77; }
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
"$host" "$lib" "$folder/cache" "$jar" >"$folder/out" 2>&1
status=$?
cat "$folder/out"
fail() { echo "FAIL: $*"; exit 1; }
[ $status -eq 3 ] || fail "exit status $status, expected 3"
grep -q "\[FATAL\] ERROR: JVMTI: 98(JVMTI_ERROR_NOT_AVAILABLE): get java.home" "$folder/out" || fail "no end at java.home"
log=$folder/cache/tarsil.boot.log
[ -f "$log" ] || fail "no log in the bootstrap folder"
for line in "JVM vendor string = Musl Host" "Native agent is logging to file: $log" "Found tarsil.jar in $jar" \
    "Checking bootcache for " "No cached bootstrap jar, generating new one to: $folder/cache/tarsil-bootstrap-"; do
  grep -qF "$line" "$log" || fail "the log lacks: $line"
done
ls "$folder/cache" | grep -q '^tarsil-bootstrap-[0-9a-f]\{32\}\.lock$' || fail "no lock taken"
echo "musl host: OK"
