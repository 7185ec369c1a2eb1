#!/bin/sh
# Instructions, counted by callgrind, that a class load, a redefinition and a
# retransformation cost with the JDK's own agent (-javaagent) and with this
# library, each with the same no-op retransformation-capable transformer
# (BenchAgent, the Premain-Class of bench.jar and of tarsil-bench.jar).
# Instruction counts do not depend on the machine's load, and two runs agree
# to a few instructions per class, where wall-clock rounds scatter more than
# the set-ups differ. Prints each figure with its ratio to the JDK's agent's,
# then where each agent's instructions go (markdown tables, per class load
# and per redefinition). Figures only: nothing passes or fails on them.
#   sh tools/bench-instructions.sh LIBRARY TARSIL_BENCH_JAR BENCH_JAR [JAVA_HOME]
# JAVA_HOME defaults to Debian's JDK 17, whose HotSpot symbols come with
# openjdk-17-dbg (installed when missing, see bench-callgrind.sh). CLASSES
# (default 4000) and REDEFINITIONS (default 2000; one retransformation
# every tenth) can be set in the environment. 5 to 10 minutes on 2 cores.
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
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=bench-callgrind.sh
. "$here/bench-callgrind.sh"
cg_require_tools "$here" "$java_home"
java=$java_home/bin/java
classes=${CLASSES:-4000}
redefinitions=${REDEFINITIONS:-2000}
retransformations=$((redefinitions / 10))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Every JVM alike and each run like the last: no class data sharing (the
# library turns it off), compilations at the same points (one C1 thread,
# the program waiting for each), and one heap size, collected by the
# program's thread only.
flags="-Xshare:off -Xbatch -XX:+UseSerialGC -Xms512m -Xmx512m -XX:TieredStopAtLevel=1 -XX:CICompilerCount=1"
jdk_agent="-javaagent:$bench_jar"
tarsil_agent="-agentpath:$library -Dvesta.native.jar=$tarsil_bench_jar -Dvesta.bootcache.dir=$work/bootcache"
hook='JvmtiExport::post_class_file_load_hook('
redefine='JvmtiEnv::RedefineClasses('
retransform='JvmtiEnv::RetransformClasses('
tarsil_natives=Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_
jdk_natives=Java_sun_instrument_InstrumentationImpl_

# The library's bootstrap jar is made once, before anything is counted.
# shellcheck disable=SC2086
"$java" $flags $tarsil_agent -cp "$bench_jar" com.lindenforgesys.reload.bench.LoadMany 1 >/dev/null

# Runs one program under callgrind and keeps the part of its profile
# between its two System.gc() calls as $work/NAME.table (the call graph)
# and $work/NAME.total (all instructions in it). Contexts six callers deep
# let the breakdowns reach each agent's entry points.
#   measure NAME PROGRAM ARGUMENT [JVM_OPTION...]
measure() {
    name=$1
    program=com.lindenforgesys.reload.bench.$2
    argument=$3
    shift 3
    echo "counting $name ..."
    # shellcheck disable=SC2086
    cg_run "$work/$name.out" --separate-callers=6 --dump-before=JVM_GC --dump-after=JVM_GC -- \
        "$java" $flags "$@" -cp "$bench_jar" "$program" "$argument"
    # Parts: up to the first collection, the collection, the measured part,
    # the second collection, the rest.
    if [ ! -f "$work/$name.out.4" ] || [ -f "$work/$name.out.5" ]; then
        echo "$name: the profile is not in five parts: did something else call System.gc()?" >&2
        exit 1
    fi
    cg_table "$work/$name.out.3" >"$work/$name.table"
    cg_total "$work/$name.out.3" >"$work/$name.total"
}

# "CALLS INSTRUCTIONS" of a function in a measured part; the calls must be
# the number expected, or the set-up is not what it should be.
#   counted NAME FUNCTION EXPECTED_CALLS
counted() {
    # shellcheck disable=SC2046
    set -- "$1" "$2" "$3" $(cg_function "$work/$1.table" "$2")
    if [ "$4" -ne "$3" ]; then
        if [ "$4" -eq 0 ]; then
            echo "$1: no calls of $2 in the profile: are HotSpot's debug symbols installed?" >&2
        else
            echo "$1: $4 calls of $2 where $3 were expected" >&2
        fi
        exit 1
    fi
    echo "$4 $5"
}

measure plain LoadMany "$classes"
measure jdk-load LoadMany "$classes" "$jdk_agent"
# shellcheck disable=SC2086
measure tarsil-load LoadMany "$classes" $tarsil_agent
measure jdk-redefine RedefineBench "$redefinitions" "$jdk_agent"
# shellcheck disable=SC2086
measure tarsil-redefine RedefineBench "$redefinitions" $tarsil_agent

# The figures, each "CALLS INSTRUCTIONS"; a count that is not the one
# expected ends the run here.
jdk_hook=$(counted jdk-load "$hook" "$classes")
tarsil_hook=$(counted tarsil-load "$hook" "$classes")
jdk_redefine=$(counted jdk-redefine "$redefine" "$redefinitions")
tarsil_redefine=$(counted tarsil-redefine "$redefine" "$redefinitions")
jdk_redefine_native=$(counted jdk-redefine "${jdk_natives}redefineClasses0" "$redefinitions")
tarsil_redefine_native=$(counted tarsil-redefine "${tarsil_natives}redefineClassesImpl" "$redefinitions")
jdk_retransform=$(counted jdk-redefine "$retransform" "$retransformations")
tarsil_retransform=$(counted tarsil-redefine "$retransform" "$retransformations")
jdk_retransform_native=$(counted jdk-redefine "${jdk_natives}retransformClasses0" "$retransformations")
tarsil_retransform_native=$(counted tarsil-redefine "${tarsil_natives}retransformClassesImpl" "$retransformations")

# One figure line: what, the JDK agent's and the library's "CALLS
# INSTRUCTIONS", per call, and the ratio.
row() {
    echo "$1|$2|$3" | awk -F '|' '{
        split($2, j, " "); split($3, t, " ")
        jdk = j[2] / j[1]; tarsil = t[2] / t[1]
        printf "  %-44s %12.0f %14.0f %8.2f\n", $1, jdk, tarsil, tarsil / jdk
    }'
}

echo
echo "Instructions (callgrind), $("$java" -version 2>&1 | sed -n 2p)"
echo "every JVM with $flags"
printf "  %-44s %12s %14s %8s\n" "" "JDK's agent" "this library" "ratio"
echo "class load, $classes generated classes of 2 KB:"
row "class-file load hook, per class" "$jdk_hook" "$tarsil_hook"
row "whole load, per class" "$classes $(cat "$work/jdk-load.total")" "$classes $(cat "$work/tarsil-load.total")"
awk -v n="$classes" -v p="$(cat "$work/plain.total")" -v j="$(cat "$work/jdk-load.total")" 'BEGIN {
    printf "  %-44s %12.0f %14s %8.2f\n", "  no agent, whole load, per class", p / n, "", p / j }'
echo "redefinition, one class $redefinitions times, alternating two versions:"
row "HotSpot's RedefineClasses, per call" "$jdk_redefine" "$tarsil_redefine"
row "the agent's native method, per call" "$jdk_redefine_native" "$tarsil_redefine_native"
echo "retransformation, after every tenth redefinition:"
row "HotSpot's RetransformClasses, per call" "$jdk_retransform" "$tarsil_retransform"
row "the agent's native method, per call" "$jdk_retransform_native" "$tarsil_retransform_native"

# Where the instructions go: the JDK's agent has one environment with
# transformers (its retransformation-capable one); the library calls Java
# from both of its environments.
breakdown() {
    cg_breakdown "$work/$1.table" "$2" "$3" >"$work/$4"
}
breakdown jdk-load libinstrument eventHandlerClassFileLoadHook jdk-load.hook
breakdown tarsil-load libtarsil callback_ClassFileLoadHook_transform tarsil-load.main
breakdown tarsil-load libtarsil callback_ClassFileLoadHook_retransform tarsil-load.retransform
breakdown jdk-redefine libinstrument "${jdk_natives}redefineClasses0" jdk-redefine.native
breakdown tarsil-redefine libtarsil "${tarsil_natives}redefineClassesImpl" tarsil-redefine.native
breakdown jdk-redefine libinstrument eventHandlerClassFileLoadHook jdk-redefine.hook
breakdown tarsil-redefine libtarsil callback_ClassFileLoadHook_transform tarsil-redefine.main
breakdown tarsil-redefine libtarsil callback_ClassFileLoadHook_retransform tarsil-redefine.retransform

echo
echo "Per class load, in the agents' class-file load hooks (instructions per class):"
echo
cg_markdown "per class load" \
    "JDK's agent (\`eventHandlerClassFileLoadHook\`)" "$work/jdk-load.hook" \
    "library, main environment (\`callback_ClassFileLoadHook_transform\`)" "$work/tarsil-load.main" \
    "library, retransforming environment (\`callback_ClassFileLoadHook_retransform\`)" "$work/tarsil-load.retransform"
# HotSpot's own part of the hook: what its calls of the agents' callbacks
# leave of its inclusive count.
cat "$work/jdk-load.hook" "$work/tarsil-load.main" "$work/tarsil-load.retransform" |
    awk -v n="$classes" -v j="$jdk_hook" -v t="$tarsil_hook" '$1 == "@entry" { callbacks[++k] = $3 } END {
        split(j, J, " "); split(t, T, " ")
        printf "\nIn HotSpot'"'"'s hook around the callbacks, per class: %.0f with the JDK'"'"'s agent (one environment", (J[2] - callbacks[1]) / n
        printf " with transformers), %.0f with the library (two).\n", (T[2] - callbacks[2] - callbacks[3]) / n
    }'
echo
echo "Per redefinition, in the agents' native methods (instructions per call):"
echo
cg_markdown "per redefinition" \
    "JDK's agent (\`redefineClasses0\`)" "$work/jdk-redefine.native" \
    "library (\`redefineClassesImpl\`)" "$work/tarsil-redefine.native"
echo
echo "In the class-file load hooks while redefining and retransforming (instructions per hook call; each"
echo "redefinition calls every environment's hook, a retransformation the retransforming ones'):"
echo
cg_markdown "per hook call" \
    "JDK's agent" "$work/jdk-redefine.hook" \
    "library, main environment" "$work/tarsil-redefine.main" \
    "library, retransforming environment" "$work/tarsil-redefine.retransform"
