#!/bin/sh
# Runs the demo against a distribution: DIST_DIR/lib/libtarsil64.so beside
# DIST_DIR/tarsil.jar. The application prints its greeting for ten seconds;
# after three the greeting is recompiled into the folder the agent watches.
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

rm -rf "$classes"
mkdir -p "$classes" "$dist/bootcache"
"$java_home/bin/javac" -d "$classes" "$sources/Greeting.java" "$sources/DemoApp.java"

"$java_home/bin/java" -agentpath:"$dist/lib/libtarsil64.so" \
    -Dvesta.reload.dirs="$classes" -Dvesta.bootcache.dir="$dist/bootcache" \
    -cp "$classes" com.lindenforgesys.reload.demo.DemoApp &
app=$!

sleep 3
changed=$(mktemp -d)
trap 'rm -rf "$changed"' EXIT
mkdir -p "$changed/com/lindenforgesys/reload/demo"
sed 's/Hello from the first version/Hello from the recompiled version/' "$sources/Greeting.java" \
    > "$changed/com/lindenforgesys/reload/demo/Greeting.java"
echo "--- recompiling Greeting.java ---"
"$java_home/bin/javac" -d "$classes" "$changed/com/lindenforgesys/reload/demo/Greeting.java"

status=0
wait "$app" || status=$?
exit "$status"
