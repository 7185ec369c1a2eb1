#!/bin/sh
# Tomcat's start-up with this library against the JDK's own agent. Starts
# Debian's tomcat10 (installed when missing) with `catalina.sh run` from a
# CATALINA_BASE of its own: the package's configuration with the HTTP
# connector on a free loopback port, and one small web application
# (java/bench/webapp/, its servlet compiled here against Tomcat's API).
# Four set-ups take turns in every round: no agent; no agent with
# -Xshare:off (the library turns class data sharing off); the JDK's agent
# (-javaagent:noop-javaagent.jar); the library with its bootstrap jar
# already made (tarsil.jar with vesta.test.noop=true). Both agents register
# one no-op retransformation-capable transformer. The figure is Catalina's
# own "Server startup in [N] milliseconds": the median of each, and the
# ratios to the JDK's agent and to no agent with -Xshare:off. Wall-clock
# figures depend on what else runs on the machine. Then one start of each
# under callgrind counts instructions, from the JVM's start to its end
# (SIGTERM right after the start-up line): in all, and in HotSpot's
# class-file load hook for the agents. Figures only: nothing passes or
# fails on them.
#   sh tools/bench-tomcat.sh LIBRARY AGENT_JAR [NOOP_JAVAAGENT_JAR [JAVA_HOME]]
# ROUNDS (default 11) can be set in the environment; COUNT=0 leaves the
# callgrind starts out (some 7 minutes on 2 cores).
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
here=$(cd "$(dirname "$0")" && pwd)
rounds=${ROUNDS:-11}
count=${COUNT:-1}
sh "$here/apt-install.sh" tomcat10 || exit 1
catalina_home=/usr/share/tomcat10
java=$java_home/bin/java

work=$(mktemp -d)
pid=""
# A start still running when the script ends is stopped with it.
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# The base: the package's pristine configuration, the connector moved to
# port 0 (a free port the system picks) on the loopback address, so that
# starts never collide with a running Tomcat or with each other.
base=$work/base
mkdir -p "$base/logs" "$base/temp" "$base/work" "$base/webapps/bench/WEB-INF/classes"
cp -R "$catalina_home/etc" "$base/conf"
sed -i 's|<Connector port="8080" protocol="HTTP/1.1"|<Connector port="0" address="127.0.0.1" protocol="HTTP/1.1"|' \
    "$base/conf/server.xml"
if ! grep -q 'Connector port="0" address="127.0.0.1"' "$base/conf/server.xml"; then
    echo "$0: could not move the connector of $base/conf/server.xml to a loopback port" >&2
    exit 1
fi
webapp=$here/../java/bench/webapp
cp "$webapp/WEB-INF/web.xml" "$base/webapps/bench/WEB-INF/"
"$java_home/bin/javac" --release 11 -encoding UTF-8 -cp "$catalina_home/lib/servlet-api.jar" \
    -d "$base/webapps/bench/WEB-INF/classes" "$webapp"/src/com/lindenforgesys/reload/bench/web/*.java

plain=""
no_sharing="-Xshare:off"
javaagent="-javaagent:$noop_jar"
tarsil="-agentpath:$library -Dvesta.native.jar=$agent_jar -Dvesta.bootcache.dir=$work/bootcache -Dvesta.test.noop=true"

# Starts Tomcat with the JVM options given, waits for the start-up line
# (or the JVM's end, or TIMEOUT seconds), stops it with SIGTERM and waits
# for its end. catalina.sh run executes the JVM in its own process, so the
# process started is the JVM. Sets startup to N of "Server startup in [N]
# milliseconds"; the output is kept in LOG. Runs in this shell (not in a
# command substitution), so that the exit trap knows the JVM to stop.
#   start LOG OPTIONS [RUNJAVA]
start() {
    : >"$1"
    (
        export CATALINA_HOME="$catalina_home" CATALINA_BASE="$base" CATALINA_TMPDIR="$base/temp"
        export JAVA_HOME="$java_home" JAVA_OPTS="" CATALINA_OPTS="$2"
        unset JRE_HOME CATALINA_PID
        [ -z "${3:-}" ] || export _RUNJAVA="$3"
        exec "$catalina_home/bin/catalina.sh" run
    ) >"$1" 2>&1 &
    pid=$!
    waited=0
    until grep -q 'Server startup in \[[0-9]*\] milliseconds' "$1"; do
        if ! running "$pid" || [ "$waited" -ge "$((TIMEOUT * 10))" ]; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" || true
            pid=""
            echo "Tomcat did not start ($2); its output:" >&2
            tail -20 "$1" >&2
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    kill -TERM "$pid"
    wait "$pid" || true
    pid=""
    if ! grep -q '^bench web application started' "$1"; then
        echo "Tomcat started without the bench web application ($2); its output:" >&2
        tail -20 "$1" >&2
        exit 1
    fi
    startup=$(sed -n 's/.*Server startup in \[\([0-9]*\)\] milliseconds.*/\1/p' "$1")
}

# Whether a process runs: kill -0 also succeeds for one that has ended and
# waits to be reaped.
running() {
    state=$(sed -n 's/^[0-9]* (.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null)
    [ -n "$state" ] && [ "$state" != Z ]
}

median() {
    sort -n "$1" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

TIMEOUT=120
# The first start with the library makes its bootstrap jar; not counted.
start "$work/first.log" "$tarsil"
round=1
while [ "$round" -le "$rounds" ]; do
    line="round $round:"
    for setup in plain no_sharing javaagent tarsil; do
        eval "start \"\$work/run.log\" \"\$$setup\""
        echo "$startup" >>"$work/$setup"
        line="$line $setup $startup"
    done
    echo "$line ms"
    round=$((round + 1))
done

tomcat_version=$(dpkg-query -W -f='${Version}' tomcat10)
echo
echo "Tomcat $tomcat_version start-up, Catalina's \"Server startup in\" (ms), median of $rounds interleaved starts;"
echo "$("$java" -version 2>&1 | sed -n 2p); wall clock, load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v p="$(median "$work/plain")" -v s="$(median "$work/no_sharing")" \
    -v j="$(median "$work/javaagent")" -v t="$(median "$work/tarsil")" 'BEGIN {
    printf "  %-34s %8s %14s %22s\n", "", "median", "/ JDK'"'"'s agent", "/ no agent -Xshare:off"
    printf "  %-34s %8.0f %14.2f %22.2f\n", "no agent", p, p / j, p / s
    printf "  %-34s %8.0f %14.2f %22.2f\n", "no agent, -Xshare:off", s, s / j, 1
    printf "  %-34s %8.0f %14.2f %22.2f\n", "JDK'"'"'s agent (noop-javaagent.jar)", j, 1, j / s
    printf "  %-34s %8.0f %14.2f %22.2f\n", "this library (vesta.test.noop)", t, t / j, t / s
}'
[ "$count" = 0 ] && exit 0

# shellcheck source-path=SCRIPTDIR source=bench-callgrind.sh
. "$here/bench-callgrind.sh"
cg_require_tools "$here" "$java_home"
# As in bench-instructions.sh: compilations at the same points, one heap,
# collected by the program's threads.
flags="-Xbatch -XX:+UseSerialGC -Xms512m -Xmx512m -XX:TieredStopAtLevel=1 -XX:CICompilerCount=1"
# catalina.sh runs the JVM through this wrapper ($_RUNJAVA).
cat >"$work/callgrind-java" <<EOF
#!/bin/sh
exec nice -n 10 valgrind -q $cg_options --callgrind-out-file="\$TARSIL_CALLGRIND_OUT" "$java" "\$@"
EOF
chmod +x "$work/callgrind-java"
TIMEOUT=1800
# The library's bootstrap jar for these options, made before counting.
start "$work/first.log" "$flags $tarsil"

# Sets counts to "TOTAL HOOK_CALLS HOOK_INSTRUCTIONS" of one start under
# callgrind.
counted_start() {
    echo "counting $1 ..."
    TARSIL_CALLGRIND_OUT=$work/$1.out
    export TARSIL_CALLGRIND_OUT
    start "$work/$1.log" "$flags $2" "$work/callgrind-java"
    cg_table "$work/$1.out" >"$work/$1.table"
    counts="$(cg_total "$work/$1.out") $(cg_function "$work/$1.table" 'JvmtiExport::post_class_file_load_hook(')"
}
counted_start plain "$plain"
plain_count=$counts
counted_start no-sharing "$no_sharing"
no_sharing_count=$counts
counted_start javaagent "$javaagent"
javaagent_count=$counts
counted_start tarsil "$tarsil"
tarsil_count=$counts
case $javaagent_count in
    *" 0 0") echo "no class-file load hook in the profile: are HotSpot's debug symbols installed?" >&2
             exit 1 ;;
esac
echo
echo "Instructions (callgrind), one start each, from the JVM's start to its end; every JVM with $flags"
awk -v p="$plain_count" -v s="$no_sharing_count" -v j="$javaagent_count" -v t="$tarsil_count" 'BEGIN {
    split(p, P, " "); split(s, S, " "); split(j, J, " "); split(t, T, " ")
    printf "  %-24s %14s %8s %13s %12s %6s %8s\n", "", "total", "/ JDK", "/ -Xshare:off", "in the hook", "calls", "/ JDK"
    printf "  %-24s %14.0f %8.2f %13.2f\n", "no agent", P[1], P[1] / J[1], P[1] / S[1]
    printf "  %-24s %14.0f %8.2f %13.2f\n", "no agent, -Xshare:off", S[1], S[1] / J[1], 1
    printf "  %-24s %14.0f %8.2f %13.2f %12.0f %6.0f %8.2f\n", "JDK'"'"'s agent", J[1], 1, J[1] / S[1], J[3], J[2], 1
    printf "  %-24s %14.0f %8.2f %13.2f %12.0f %6.0f %8.2f\n", "this library", T[1], T[1] / J[1], T[1] / S[1], T[3], T[2], T[3] / J[3]
}'
