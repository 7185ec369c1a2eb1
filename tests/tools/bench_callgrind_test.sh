#!/bin/sh
# tools/bench-callgrind.sh's reading of a callgrind profile: a function's
# calls and inclusive instructions (a call made while it runs counted as a
# call, not again as instructions), where an agent's instructions go under
# each of its entry points (calls told apart by their contexts), the
# markdown table of them, and counts beyond 2^31.
#   bench_callgrind_test.sh TOOLS_DIR
set -u
. "$1/bench-callgrind.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
jvm=/usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so
lib=/opt/tarsil/libtarsil64.so
hook='JvmtiExport::post_class_file_load_hook(Symbol*)'
main="callback_transform(int)'$hook"
re="callback_retransform(int)'$hook"
# Two class loads, each hook calling both of the agent's callbacks; the
# Java code the first one calls loads a class, whose hook HotSpot runs
# nested. logThrowable runs under both callbacks and once outside them.
cat >"$dir/profile" <<EOF
# callgrind format
version: 1
positions: line
events: Ir
summary: 3000001015

ob=$jvm
fl=klassFactory.cpp
fn=KlassFactory::create_from_stream()
1 10
cfn=$hook
calls=2 5
5 1000
cfn=Big()
calls=1 6
6 3000000000

fn=Big()
1 3000000000

fl=jvmtiExport.cpp
fn=$hook
1 100
cob=$lib
cfn=$main
calls=2 7
7 600
cfn=$re
calls=2 8
8 300

ob=$lib
fl=classFileLoadHook.cpp
fn=$main
1 40
cob=$jvm
cfn=jni_NewByteArray'$main
calls=2 3
3 100
cfn=jni_CallObjectMethodV'$main
calls=2 4
4 300
cob=$lib
cfn=logThrowable'$main
calls=2 5
5 160

fn=logThrowable'$main
1 40
cob=$jvm
cfn=jni_ExceptionCheck'logThrowable'$main
calls=6 2
2 120

fn=$re
1 100
cob=$jvm
cfn=jni_CallObjectMethodV'$re
calls=2 3
3 160
cob=$lib
cfn=logThrowable'$re
calls=2 4
4 40

fn=logThrowable'$re
1 20
cob=$jvm
cfn=jni_ExceptionCheck'logThrowable'$re
calls=2 2
2 20

fn=logThrowable'callback_VMInit
1 5
cob=$jvm
cfn=jni_ExceptionCheck'logThrowable'callback_VMInit
calls=1 2
2 10

ob=$jvm
fl=jni.cpp
fn=jni_NewByteArray'$main
1 100

fn=jni_ExceptionCheck'logThrowable'$main
1 120

fn=jni_ExceptionCheck'logThrowable'$re
1 20

fn=jni_ExceptionCheck'logThrowable'callback_VMInit
1 10

fn=jni_CallObjectMethodV'$re
1 160

fn=jni_CallObjectMethodV'$main
1 60
cfn=jni_invoke_nonstatic'jni_CallObjectMethodV'$main
calls=2 2
2 240

fn=jni_invoke_nonstatic'jni_CallObjectMethodV'$main
1 40
cfn=JavaCalls::call()'2'jni_invoke_nonstatic'jni_CallObjectMethodV'$main
calls=2 2
2 200

fn=JavaCalls::call()'2'jni_invoke_nonstatic'jni_CallObjectMethodV'$main
1 20
cob=???
cfn=0x0000000013c84b80'JavaCalls::call()'2
calls=2 3
3 180

ob=???
fl=???
fn=0x0000000013c84b80'JavaCalls::call()'2
1 150
cob=$jvm
cfn=$hook'2'0x0000000013c84b80
calls=1 4
4 30

ob=$jvm
fl=jvmtiExport.cpp
fn=$hook'2'0x0000000013c84b80
1 30
EOF
cg_table "$dir/profile" >"$dir/table"
cg_breakdown "$dir/table" libtarsil callback_transform >"$dir/main"
cg_breakdown "$dir/table" libtarsil callback_retransform >"$dir/re"
cg_markdown "per class" main "$dir/main" retransforming "$dir/re" >"$dir/markdown"
failures=0
expect() { eval "$2" || { echo "FAIL $1"; failures=$((failures + 1)); }; }
line() { grep -F "$(printf "$2")" "$dir/$1" >/dev/null; }
expect "a nested call counts as a call, its instructions once" \
  '[ "$(cg_function "$dir/table" "JvmtiExport::post_class_file_load_hook(")" = "3 1000" ]'
expect "a function is named by the start of its name" '[ "$(cg_function "$dir/table" "callback_transform")" = "2 600" ]'
expect "counts beyond 2^31 are kept whole" \
  '[ "$(cg_function "$dir/table" "Big(")" = "1 3000000000" ] && [ "$(cg_total "$dir/profile")" = 3000001015 ] &&
   line table "S\t$jvm\tBig()\t3000000000"'
expect "the entry point leads its breakdown" '[ "$(head -n 1 "$dir/main")" = "$(printf "@entry\t2\t600")" ]'
expect "calls through the agent's own functions count under the entry their context reaches" \
  'line main "jni_ExceptionCheck\t6\t120" && line re "jni_ExceptionCheck\t2\t20"'
expect "CallObjectMethodV and CallObjectMethod are one call" \
  'line main "jni_CallObjectMethod\t2\t300" && ! grep -q CallObjectMethodV "$dir/main"'
expect "the Java code is what JavaCalls::call runs under the entry" 'line main "@java\t2\t200" && line re "@java\t0\t0"'
expect "the agent's own code is its functions' own instructions under the entry" \
  'line main "@own\t0\t80" && line re "@own\t0\t120"'
expect "the sum of a breakdown is the entry point's count" \
  '[ "$(awk -F "\t" "\$1 != \"@entry\" && \$1 != \"@java\" { s += \$3 } END { print s }" "$dir/main")" = 600 ]'
expect "the table gives instructions per entry call, the costliest call first, the Java code after the Java call" \
  '[ "$(sed -n "3,6p" "$dir/markdown" | cut -d "|" -f 2-4 | tr -s " ")" = "$(printf "%s\n" \
    " the entry point, inclusive | 300 | 150 " \
    " \`jni_CallObjectMethod\` | 150 | 80 " \
    " &nbsp;&nbsp;of which the Java code it runs | 100 | 0 " \
    " \`jni_ExceptionCheck\` | 60 (3 calls) | 10 ")" ]'
expect "a call one column does not make leaves its cell empty" 'grep -q "^| \`jni_NewByteArray\` | 50 |  |$" "$dir/markdown"'
[ $failures = 0 ] && echo "all bench-callgrind cases pass" || cat "$dir/table" "$dir/main" "$dir/re" "$dir/markdown"
[ $failures = 0 ]
