#!/bin/sh
# Runs the demo against a distribution laid out as shipped:
#   DIST_DIR/lib/libtarsil64.so   the library
#   DIST_DIR/tarsil.jar           the agent jar, found in the parent folder of the library's folder
# It compiles the demo into DIST_DIR/demo/classes, starts one JVM on an
# empty bootstrap folder (it builds the bootstrap jar) and shows what the
# library logged, then starts DemoApp (which finds the jar) with the
# agent watching that folder, recompiles Greeting.java with a new greeting
# after three seconds, shows the library's log lines of that run, and exits
# with the application's status.
#   sh run-demo.sh DIST_DIR JAVA_HOME
set -eu
if [ $# -ne 2 ]; then
    echo "usage: $0 DIST_DIR JAVA_HOME" >&2
    exit 2
fi
dist=$(cd "$1" && pwd)
java_home=$2
here=$(cd "$(dirname "$0")" && pwd)
sources=$here/com/lindenforgesys/reload/demo
classes=$dist/demo/classes
for needed in "$dist/lib/libtarsil64.so" "$dist/tarsil.jar" "$java_home/bin/java" "$java_home/bin/javac"; do
    if [ ! -f "$needed" ]; then
        echo "$0: $needed is missing" >&2
        exit 2
    fi
done

rm -rf "$classes"
mkdir -p "$classes" "$dist/bootcache"
# Java 8 class files, from any JDK: --release 8 where javac knows it (9 and
# later); Java 8's own javac makes them anyway.
release=
if "$java_home/bin/javac" --release 8 -version >/dev/null 2>&1; then
    release="--release 8 -Xlint:-options"
fi
"$java_home/bin/javac" $release -d "$classes" "$sources/Greeting.java" "$sources/DemoApp.java"

changed=$(mktemp -d)
app=
jvm_output=$changed/jvm-output
# On any early exit the application must not outlive the script.
cleanup() {
    rm -rf "$changed"
    if [ -n "$app" ]; then
        kill "$app" 2>/dev/null || true
    fi
}
trap cleanup EXIT

# The bootstrap jar of this configuration is built by the first JVM that
# starts with it and found by every later one; the library's log file (one
# per JVM start, in the bootstrap folder) shows which happened.
show_log() {
    echo "--- $1: from $dist/bootcache/tarsil.boot.log ---"
    if [ ! -f "$dist/bootcache/tarsil.boot.log" ]; then
        echo "    (no log: the library did not start)"
        return
    fi
    grep -E 'No cached bootstrap jar|Renaming generated bootstrap|Bootstrap jar found from bootcache|Turning on boot class path emulation|Defining base class' \
        "$dist/bootcache/tarsil.boot.log" | sed 's/^/    /' || true
}
rm -f "$dist"/bootcache/tarsil-bootstrap-*.jar
first=0
"$java_home/bin/java" -agentpath:"$dist/lib/libtarsil64.so" \
    -Dvesta.reload.dirs="$classes" -Dvesta.bootcache.dir="$dist/bootcache" \
    -cp "$classes" -version >"$jvm_output" 2>&1 || first=$?
show_log "first JVM (empty bootstrap folder)"
if [ "$first" -ne 0 ]; then
    echo "$0: the first JVM failed with exit status $first; its output:" >&2
    sed 's/^/    /' "$jvm_output" >&2
    exit "$first"
fi

"$java_home/bin/java" -agentpath:"$dist/lib/libtarsil64.so" \
    -Dvesta.reload.dirs="$classes" -Dvesta.bootcache.dir="$dist/bootcache" \
    -cp "$classes" com.lindenforgesys.reload.demo.DemoApp &
app=$!

sleep 3
mkdir -p "$changed/com/lindenforgesys/reload/demo"
sed 's/Hello from the first version/Hello from the recompiled version/' "$sources/Greeting.java" \
    > "$changed/com/lindenforgesys/reload/demo/Greeting.java"
if ! grep -q 'Hello from the recompiled version' "$changed/com/lindenforgesys/reload/demo/Greeting.java"; then
    echo "$0: Greeting.java no longer holds the greeting this script changes" >&2
    exit 2
fi
echo "--- recompiling Greeting.java into $classes ---"
"$java_home/bin/javac" $release -d "$classes" "$changed/com/lindenforgesys/reload/demo/Greeting.java"

status=0
wait "$app" || status=$?
app=
show_log "second JVM (the demo application)"
if [ "$status" -ne 0 ]; then
    echo "$0: the demo application failed with exit status $status (its output is above)" >&2
fi
exit "$status"
