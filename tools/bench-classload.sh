#!/bin/sh
# Class-definition time with this library against the JDK's own agent path,
# on the wall clock: a secondary figure to tools/bench-instructions.sh, whose
# instruction counts tell the set-ups apart where these rounds scatter.
# Runs LoadMany (bench.jar) in interleaved rounds under three
# configurations: a plain JVM, this library (tarsil-bench.jar as its Java
# side), and -javaagent:bench.jar; both agents register the same no-op
# retransforming transformer (BenchAgent). Prints the median ns/class of
# each, each agent's overhead over the plain JVM, and the ratio of this
# library's overhead to the JDK agent's. Figures only: nothing here passes
# or fails on timing.
#   sh tools/bench-classload.sh LIBRARY TARSIL_BENCH_JAR BENCH_JAR [JAVA_HOME]
# JAVA_HOME defaults to the Debian JDK 17. CLASSES (default 30000) and
# ROUNDS (default 15) can be set in the environment; the three
# configurations take turns in every round, so a disturbance hits all three
# alike.
set -eu
if [ $# -lt 3 ] || [ $# -gt 4 ]; then
    echo "usage: $0 LIBRARY TARSIL_BENCH_JAR BENCH_JAR [JAVA_HOME]" >&2
    exit 2
fi
library=$1
tarsil_bench_jar=$2
bench_jar=$3
java_home=${4:-/usr/lib/jvm/java-17-openjdk-amd64}
for needed in "$library" "$tarsil_bench_jar" "$bench_jar" "$java_home/bin/java"; do
    if [ ! -f "$needed" ]; then
        echo "$0: $needed is missing" >&2
        exit 2
    fi
done
java=$java_home/bin/java
classes=${CLASSES:-30000}
rounds=${ROUNDS:-15}
main=com.lindenforgesys.reload.bench.LoadMany

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bootcache"

# Prints the ns/class figure of one run; fails when the run prints none.
measure() {
    out=$("$java" "$@" -cp "$bench_jar" "$main" "$classes") || {
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
    native=$(measure -agentpath:"$library" -Dvesta.native.jar="$tarsil_bench_jar" \
        -Dvesta.bootcache.dir="$work/bootcache")
    jdk=$(measure -javaagent:"$bench_jar")
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
