#!/bin/sh
# Start-up time of a JVM with this library when its bootstrap jar is already
# cached, against the same JVM without any agent and with the JDK's own
# -javaagent (noop-javaagent.jar). Each round starts `java -version` once per
# configuration, interleaved; prints the median wall-clock milliseconds of
# each and the library's overhead. Figures only: nothing passes or fails on
# timing. The library's own cost on the cache-hit path (folder, hash,
# existence test) is measured in-process by bootcache_bench.
#   sh tools/bench-startup.sh LIBRARY AGENT_JAR [NOOP_JAVAAGENT_JAR [JAVA_HOME]]
# ROUNDS (default 15) can be set in the environment.
set -eu
if [ $# -lt 2 ] || [ $# -gt 4 ]; then
    echo "usage: $0 LIBRARY AGENT_JAR [NOOP_JAVAAGENT_JAR [JAVA_HOME]]" >&2
    exit 2
fi
library=$1
agent_jar=$2
noop_jar=${3:-$(dirname "$agent_jar")/noop-javaagent.jar}
java_home=${4:-/usr/lib/jvm/java-17-openjdk-amd64}
for needed in "$library" "$agent_jar" "$noop_jar" "$java_home/bin/java"; do
    if [ ! -f "$needed" ]; then
        echo "$0: $needed is missing" >&2
        exit 2
    fi
done
java=$java_home/bin/java
rounds=${ROUNDS:-15}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tarsil="-agentpath:$library -Dvesta.native.jar=$agent_jar -Dvesta.bootcache.dir=$work/bootcache"

# Milliseconds of one run; the run's output is discarded, a failure stops all.
measure() {
    start=$(date +%s%N)
    "$java" "$@" -version >/dev/null 2>&1 || {
        echo "benchmark run failed: $*" >&2
        exit 1
    }
    end=$(date +%s%N)
    echo $(( (end - start) / 1000 ))
}

median() {
    sort -n "$1" | awk '{ v[NR] = $1 } END { if (NR % 2) m = v[(NR + 1) / 2]; else m = (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.1f", m / 1000 }'
}

# The first run generates the bootstrap jar; it is not counted.
# shellcheck disable=SC2086
measure $tarsil >/dev/null
round=1
while [ "$round" -le "$rounds" ]; do
    measure >>"$work/plain"
    # shellcheck disable=SC2086
    measure $tarsil >>"$work/tarsil"
    measure "-javaagent:$noop_jar" >>"$work/javaagent"
    round=$((round + 1))
done
plain=$(median "$work/plain")
with_tarsil=$(median "$work/tarsil")
with_javaagent=$(median "$work/javaagent")
echo "JVM start-up (java -version), median of $rounds runs, $("$java" -version 2>&1 | head -1)"
echo "  no agent:                     $plain ms"
echo "  this library, jar cached:     $with_tarsil ms  (+$(echo "$with_tarsil $plain" | awk '{ printf "%.1f", $1 - $2 }') ms)"
echo "  -javaagent:noop-javaagent:    $with_javaagent ms  (+$(echo "$with_javaagent $plain" | awk '{ printf "%.1f", $1 - $2 }') ms)"
