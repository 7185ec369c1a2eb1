#!/bin/sh
# The conformance run's JDK copy (tools/conformance/library-jdk.sh): which
# arguments its bin/java rewrites, and that a rewritten -javaagent runs its
# agent's premain through the library and the forwarding agent.
#   rewrite_test.sh TOOLS_DIR LIBRARY CONFORMANCE_JAR MARKER_AGENT_JAR JAVA_HOME
set -u
tools=$1 library=$2 agent_jar=$3 marker=$4 java_home=$5
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
expect() { eval "$2" || { echo "FAIL $1"; failures=$((failures + 1)); }; }

# The launcher's arguments after the rewrite, one a line, by a stand-in java.
printf '#!/bin/sh\nprintf "%%s\\n" "$@"\n' >"$dir/args" && chmod 755 "$dir/args"
rewritten() {
  sh -c 'real_java=$1 library=L agent_jar=J bootcache=B log=$2; shift 2; . "$0"' \
    "$tools/conformance/rewrite-javaagent.sh" "$dir/args" "$dir/log" "$@" | tr '\n' ' '
}
library_of() { echo "-agentpath:L -Dvesta.native.jar=J -Dvesta.bootcache.dir=B -Dvesta.agent.manifest.jar=$1"; }
expect "an agent's options follow the first =, and the program's arguments are left alone" \
  '[ "$(rewritten -javaagent:a.jar=x=y -cp c Main -javaagent:b.jar)" = \
     "$(library_of a.jar) -Dvesta.conformance.agent.1=a.jar -Dvesta.conformance.agent.1.options=x=y -cp c Main -javaagent:b.jar " ]'
expect "agents are numbered in order; no = means no options, a bare = empty ones" \
  '[ "$(rewritten -javaagent:a.jar "-Dp=a b" -javaagent:b.jar= -jar app.jar -javaagent:c.jar)" = \
     "$(library_of a.jar) -Dvesta.conformance.agent.1=a.jar -Dp=a b -Dvesta.conformance.agent.2=b.jar -Dvesta.conformance.agent.2.options= -jar app.jar -javaagent:c.jar " ]'
# The JDK reads a Boot-Class-Path before the JVM runs: blanks separate the
# entries, continuation lines go on, %-escapes are decoded, relative entries
# start in the jar's folder.
mkdir -p "$dir/agent/empty"
printf 'Premain-Class: A\nBoot-Class-Path: lib/x.jar  /abs/y\n  z%%41\n' >"$dir/agent/manifest"
"$java_home/bin/jar" --create --file "$dir/agent/b.jar" --manifest "$dir/agent/manifest" -C "$dir/agent/empty" .
expect "an agent's Boot-Class-Path goes on the boot class path" \
  '[ "$(rewritten -javaagent:"$dir/agent/b.jar" Main)" = "$(library_of "$dir/agent/b.jar") \
-Dvesta.conformance.agent.1=$dir/agent/b.jar -Xbootclasspath/a:$dir/agent/lib/x.jar:/abs/y:$dir/agent/zA Main " ]'
expect "an option value that looks like an agent is a value" \
  '[ "$(rewritten -cp -javaagent:x.jar Main)" = "-cp -javaagent:x.jar Main " ]'
expect "options with a separate value do not end the options" \
  '[ "$(rewritten --module-path mp --add-modules m -javaagent:a.jar -m m/Main -javaagent:z.jar)" = \
     "--module-path mp --add-modules m $(library_of a.jar) -Dvesta.conformance.agent.1=a.jar -m m/Main -javaagent:z.jar " ]'

# A real JVM from the copy: two marker agents, each writing its JVM's process
# id to the file its options name, started by the forwarding agent through
# the library's premain hand-off, whose report lists every call.
sh "$tools/conformance/library-jdk.sh" "$java_home" "$dir/jdk" "$dir/work" "$library" "$agent_jar"
"$dir/jdk/bin/java" -Dvesta.test.report="$dir/report" -javaagent:"$marker=$dir/m1" -javaagent:"$marker=$dir/m2" \
  -XshowSettings:properties -version >"$dir/out" 2>&1
status=$?
expect "the JVM runs" '[ $status = 0 ] || { cat "$dir/out"; false; }'
expect "java.home is the copy's, so that the JVMs a test starts come back to the rewrite" \
  'grep -q "java.home = $dir/jdk\$" "$dir/out"'
expect "the library starts the forwarding agent, which starts both agents in order" \
  '[ "$(sed "s/ library=.*//" "$dir/report" | tr "\n" " ")" = "premain premainClass=com.lindenforgesys.reload.conformance.ForwardingAgent options=null premain premainClass=com.lindenforgesys.reload.marker.MarkerAgent options=$dir/m1 premain premainClass=com.lindenforgesys.reload.marker.MarkerAgent options=$dir/m2 " ]'
expect "each agent ran its premain once, in the JVM" \
  '[ -s "$dir/m1" ] && [ "$(cat "$dir/m1")" = "$(cat "$dir/m2")" ] && [ "$(wc -l <"$dir/m1")" = 1 ]'
[ $failures = 0 ] && echo "all rewrite cases pass"
[ $failures = 0 ]
