#!/bin/sh
# Class-definition cost with this library against the JDK's own agent path.
# Runs ClassLoadBench in interleaved rounds under three configurations: a
# plain JVM, this library (tarsil.jar's agent with a no-op retransforming
# transformer, vesta.test.noop=true), and -javaagent:noop-javaagent.jar with
# the same no-op transformer. Prints the median ns/class of each, each
# agent's overhead over the plain JVM, and the ratio of this library's
# overhead to the JDK agent's. Figures only: nothing here passes or fails
# on timing.
#   sh tools/bench-classload.sh LIBRARY AGENT_JAR [TESTS_JAR [NOOP_JAVAAGENT_JAR [JAVA_HOME]]]
# TESTS_JAR and NOOP_JAVAAGENT_JAR default to tarsil-tests.jar and
# noop-javaagent.jar beside AGENT_JAR (the build puts them there), JAVA_HOME
# to the Debian JDK 17. CLASSES (default 30000) and ROUNDS (default 15) can
# be set in the environment; the three configurations take turns in every
# round, so a disturbance hits all three alike.
set -eu
if [ $# -lt 2 ] || [ $# -gt 5 ]; then
    echo "usage: $0 LIBRARY AGENT_JAR [TESTS_JAR [NOOP_JAVAAGENT_JAR [JAVA_HOME]]]" >&2
    exit 2
fi
library=$1
agent_jar=$2
jars=$(dirname "$agent_jar")
tests_jar=${3:-$jars/tarsil-tests.jar}
noop_jar=${4:-$jars/noop-javaagent.jar}
java_home=${5:-/usr/lib/jvm/java-17-openjdk-amd64}
for needed in "$library" "$agent_jar" "$tests_jar" "$noop_jar" "$java_home/bin/java"; do
    if [ ! -f "$needed" ]; then
        echo "$0: $needed is missing" >&2
        exit 2
    fi
done
java=$java_home/bin/java
classes=${CLASSES:-30000}
rounds=${ROUNDS:-15}
main=com.lindenforgesys.reload.test.ClassLoadBench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bootcache"

# Prints the ns/class figure of one run; fails when the run prints none.
measure() {
    out=$("$java" "$@" -cp "$tests_jar" "$main" "$classes") || {
        echo "benchmark run failed: $*" >&2
        exit 1
    }
    value=$(printf '%s\n' "$out" | sed -n 's/^ns\/class //p')
    if [ -z "$value" ]; then
        echo "no ns/class line from: $*" >&2
        exit 1
    fi
    echo "$value"
}

median() {
    sort -n "$1" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

round=1
while [ "$round" -le "$rounds" ]; do
    plain=$(measure)
    native=$(measure -agentpath:"$library" -Dvesta.native.jar="$agent_jar" \
        -Dvesta.bootcache.dir="$work/bootcache" -Dvesta.test.noop=true)
    jdk=$(measure -javaagent:"$noop_jar")
    echo "$plain" >> "$work/plain"
    echo "$native" >> "$work/native"
    echo "$jdk" >> "$work/jdk"
    echo "round $round: plain $plain, agentpath $native, javaagent $jdk ns/class"
    round=$((round + 1))
done

plain=$(median "$work/plain")
native=$(median "$work/native")
jdk=$(median "$work/jdk")
awk -v p="$plain" -v n="$native" -v j="$jdk" 'BEGIN {
    printf "median ns/class: plain %s, agentpath %s, javaagent %s\n", p, n, j
    printf "overhead over plain: agentpath %+.0f ns/class, javaagent %+.0f ns/class\n", n - p, j - p
    if (j - p > 0) printf "agentpath overhead / javaagent overhead: %.2f\n", (n - p) / (j - p)
    else print "agentpath overhead / javaagent overhead: undefined (the javaagent showed no overhead)"
}'
