#!/bin/sh
# Makes the copy of a JDK through which tools/conformance.sh runs the JDK's
# tests with the library: the JDK's files hard-linked (copied when COPY is
# on another file system), so that java.home is the copy's and the JVMs a
# test starts from java.home or test.jdk come back to it; bin/java a script
# that turns each -javaagent into the library and the forwarding agent
# (rewrite-javaagent.sh beside this script). Relative links would point
# outside the copy and are made absolute. The library's bootstrap jar cache
# and the log of the rewritten options (rewritten.log) go in WORK.
#   library-jdk.sh JDK COPY WORK LIBRARY CONFORMANCE_JAR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
real=$1 copy=$2 work=$3 library=$4 agent_jar=$5
rm -rf "$copy"
mkdir -p "$(dirname "$copy")" "$work"
if [ "$(stat -c %d "$real/")" = "$(stat -c %d "$(dirname "$copy")")" ]; then
  cp -al "$real/." "$copy"
else
  cp -a "$real/." "$copy"
fi
(cd "$real" && find . -type l) | while read -r link; do
  target=$(readlink -f "$real/$link") && [ -e "$target" ] && ln -sfn "$target" "$copy/$link"
done
mv "$copy/bin/java" "$copy/bin/java.real"
mkdir -p -m 700 "$work/bootcache"
: >"$work/rewritten.log"
cat >"$copy/bin/java" <<SCRIPT
#!/bin/sh
real_java='$copy/bin/java.real'
library='$library'
agent_jar='$agent_jar'
bootcache='$work/bootcache'
log='$work/rewritten.log'
. '$here/rewrite-javaagent.sh'
SCRIPT
chmod 755 "$copy/bin/java"
