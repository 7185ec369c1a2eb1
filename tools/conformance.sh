#!/bin/sh
# Runs the JDK's own java.lang.instrument tests with jtreg twice per JDK:
# once as written, with the JDK's -javaagent, and once with each test's
# agent started through the library instead, then compares the two.
#   conformance.sh [--build DIR] [--jdk 17|25]... [--subset | --test TEST...] [--junit FILE]
# --build names the build tree (default build/release): its library and its
# tarsil-conformance.jar. --jdk picks the JDKs (default 17 and 25). --subset
# runs the few tests `make test` runs instead of the whole folder, --test
# the tests named (java/lang/instrument/..., as the lines print them). --junit
# writes the comparison as a JUnit file for tools/test-summary.sh (a test
# fails when it passes with the JDK's agent only; the tests that fail with
# the JDK's agent too, or do not apply, count as skipped), or, when no JDK
# could run, the reason in the file of the same name ending in .skip.
#
# The tests come from Debian's source package of each JDK: openjdk-17 of
# this machine's archive for /usr/lib/jvm/java-17-openjdk-<arch>, openjdk-25
# of the trixie chroot's (tools/chroots.sh) for JDK 25. JDK 25 is run here
# as the Temurin 25 under /usr/lib/jvm, since the chroot's JDK needs that
# suite's C library and jtreg runs on this machine. The upstream tarballs
# (about 61 and 70 MB) are kept in build/conformance/cache; of each, only
# the test folders the instrument tests need are unpacked (about 6 MB).
# jtreg is Debian's jtreg7.
#
# For the second run jtreg is given a copy of the JDK, hard links but for
# bin/java (tools/conformance/library-jdk.sh), a script that turns every
# -javaagent into -agentpath with the library, the properties of the
# forwarding agent of tarsil-conformance.jar and the agent's Boot-Class-Path
# (tools/conformance/rewrite-javaagent.sh): the @run lines, the shell tests
# and the JVMs the tests start themselves (through test.jdk or java.home)
# all go through it.
# A test whose agent comes from an executable jar's Launcher-Agent-Class or
# from attaching to a running JVM never loads an -agentpath library: it is
# run once and listed as not applicable.
#
# Prints a line per test, "<test> jdk-agent=PASS library=FAIL", with the
# first error line of each failing run, and per JDK the summary "N tests:
# both pass A, only JDK's agent B, only library C, both fail D, not
# applicable E". Exit status 1 when a test passes with the JDK's agent but
# not through the library, or a run left no results.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
me=$(basename "$0")
build=$top/build/release
jdks=""
subset=0
named=""
junit=""
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --jdk) jdks="$jdks $2"; shift 2 ;;
    --subset) subset=1; shift ;;
    --test) named="$named $2"; shift 2 ;;
    --junit) junit=$2; shift 2 ;;
    *) echo "usage: $me [--build DIR] [--jdk 17|25]... [--subset | --test TEST...] [--junit FILE]" >&2; exit 2 ;;
  esac
done
jdks=${jdks:-17 25}
base=$top/build/conformance
arch=$(dpkg --print-architecture)
chroots=${TARSIL_CHROOTS:-/srv/tarsil-chroots}
jtreg_java=/usr/lib/jvm/java-17-openjdk-$arch/bin/java
library=$build/src/libtarsil64.so
agent_jar=$build/java/tarsil-conformance.jar
# What `make test` runs: the premain hand-off and its refusal, a
# transformer, redefinition and retransformation.
subset_tests="java/lang/instrument/PremainClass/NoPremainAgent.java
java/lang/instrument/SingleTransformerTest.java
java/lang/instrument/RedefineClassesTests.java
java/lang/instrument/VerifyLocalVariableTableOnRetransformTest.java"

for needed in "$library" "$agent_jar"; do
  [ -f "$needed" ] || { echo "$me: $needed is missing: build $build first" >&2; exit 2; }
done

# Where a JDK's tests come from and the JDK that runs them.
jdk_setup() {
  java_home="" chroot="" package="" binary=""
  case $1 in
    17) java_home=/usr/lib/jvm/java-17-openjdk-$arch package=openjdk-17 binary=openjdk-17-jdk-headless ;;
    25) java_home=/usr/lib/jvm/temurin-25-jdk-amd64 chroot=$chroots/trixie package=openjdk-25
      binary=openjdk-25-jdk-headless ;;
    *) echo "$me: no JDK $1 (17 or 25)" >&2; exit 2 ;;
  esac
}

# The test folders of the source package, unpacked once per tarball into
# DIR/test: java/lang/instrument with the test library, the jtreg extension
# and the suite's TEST.ROOT and problem list. The suite's groups name
# folders that are not kept, so they are left empty.
unpack_tests() {
  from=$1 into=$2
  [ "$(cat "$into/.unpacked-from" 2>/dev/null)" != "$(basename "$from")" ] || return 0
  rm -rf "$into"
  mkdir -p "$into"
  tar xJf "$from" -C "$into" --strip-components=1 --wildcards '*/test/jdk/java/lang/instrument/*' \
    '*/test/lib/*' '*/test/jtreg-ext/*' '*/test/jdk/TEST.ROOT' '*/test/jdk/ProblemList.txt'
  : >"$into/test/jdk/TEST.groups"
  basename "$from" >"$into/.unpacked-from"
}

# Whether a test never goes through -javaagent: its file (and, below the
# suite's own folder, its folder's files) name no -javaagent and load the
# agent from an executable jar or by attaching.
not_applicable() {
  na_file=$1
  na_dir=$(dirname "$na_file")
  if [ "$(basename "$na_dir")" = instrument ]; then
    set -- "$na_file"
  else
    set -- $(find "$na_dir" -maxdepth 1 -type f)
  fi
  ! grep -qs -e -javaagent "$@" &&
    grep -qsE 'Launcher-Agent-Class|VirtualMachine\.attach|loadAgent|Agent-Class' "$@"
}

# The tests' native libraries (lib<Name>.c beside them, as the JDK's build
# names them) into DIR, built against the JDK's headers. jtreg wants the
# folder for every /native test, even one that loads nothing of its own.
build_natives() {
  headers=$1/include natives=$2
  rm -rf "$natives"
  mkdir -p "$natives"
  for native_source in $(find "$suite/java/lang/instrument" -name 'lib*.c' -o -name 'lib*.cpp'); do
    native_name=$(basename "$native_source" | sed 's/\.[a-z]*$//')
    case $native_source in *.c) compiler=gcc ;; *) compiler=g++ ;; esac
    "$compiler" -shared -fPIC -O1 -I"$headers" -I"$headers/linux" -o "$natives/$native_name.so" "$native_source" ||
      echo "$me: could not build $native_source; its tests will fail with both agents"
  done
}

# One jtreg run into DIR (work, report, jtreg.log), fresh each time.
run_jtreg() {
  run=$1 run_jdk=$2
  shift 2
  rm -rf "$run/work" "$run/report"
  mkdir -p "$run"
  run_start=$(date +%s)
  JTREG_JAVA=$jtreg_java jtreg -jdk:"$run_jdk" -w:"$run/work" -r:"$run/report" -concurrency:1 -timeoutFactor:4 \
    -retain:fail,error -exclude:"$suite/ProblemList.txt" -nativepath:"$native" "$@" -dir:"$suite" $tests \
    >"$run/jtreg.log" 2>&1 || true
  echo "$(( $(date +%s) - run_start ))" >"$run/seconds"
  [ -f "$run/report/text/summary.txt" ]
}

# PASS or FAIL of a test in a run's summary, "" when it did not run.
outcome() {
  awk -v t="$1" '$1 == t { print ($2 == "Passed." ? "PASS" : "FAIL"); exit }' "$2/report/text/summary.txt"
}

# The line of a failing test's .jtr that says what went wrong: the first
# exception in its output, else the first line that speaks of an error or
# failure, else jtreg's own reason.
first_error() {
  jtr=$1/work/$(echo "$2" | sed 's/\.[a-z]*$//; s/#/_/').jtr
  [ -f "$jtr" ] || { echo "(no .jtr)"; return; }
  line=$(awk '
    /^----------(System\.out|System\.err|output):/ { out = 1; next }
    /^(----------|#section:|result: )/ { out = 0 }
    !out || /^[ \t]+at / { next }
    /(Exception|Error)(:|$| in thread)/ && exception == "" { exception = $0 }
    /(FAILED|FATAL|[Ff]ailed|[Ee]rror)/ && other == "" { other = $0 }
    END { print exception != "" ? exception : other }' "$jtr")
  [ -n "$line" ] || line=$(grep -m 1 '^test result: ' "$jtr" || true)
  echo "$line" | cut -c 1-300
}

junit_case() {
  case_name=$1 case_status=$2 case_text=$3
  case_text=$(printf '%s' "$case_text" | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g; s/"/\&quot;/g')
  printf '  <testcase name="%s" classname="conformance" status="%s">\n' "$case_name" "$case_status" >>"$junit_cases"
  [ "$case_status" != fail ] || printf '    <failure message="%s"/>\n' "$case_text" >>"$junit_cases"
  printf '    <system-out>%s</system-out>\n  </testcase>\n' "$case_text" >>"$junit_cases"
}

# Debian's jtreg 7 runs the tests of JDK 17 and of JDK 25 alike.
installed=0
sh "$here/apt-install.sh" jtreg7 || installed=$?
if [ "$installed" -ne 0 ]; then
  [ "$installed" -ne 2 ] || exit 2
  echo "SKIP conformance: jtreg7 cannot be installed now"
  [ -z "$junit" ] || { mkdir -p "$(dirname "$junit")"; rm -f "$junit"; echo "jtreg7 cannot be installed now" >"${junit%.xml}.skip"; }
  exit 0
fi

status=0
ran=0
skipped=""
junit_cases=$(mktemp)
trap 'rm -f "$junit_cases"' EXIT
for n in $jdks; do
  jdk_setup "$n"
  if [ ! -x "$java_home/bin/java" ]; then
    echo "SKIP conformance JDK $n: $java_home is not installed"
    skipped="$skipped JDK $n: $java_home is not installed;"
    continue
  fi
  if [ -n "$chroot" ] && [ ! -d "$chroot/var/lib/dpkg" ]; then
    echo "SKIP conformance JDK $n: the chroot $chroot, whose archive has the tests, is not made (tools/chroots.sh)"
    skipped="$skipped JDK $n: no chroot $chroot;"
    continue
  fi

  # The tests of the JDK's own version, or of the nearest the mirror serves.
  version=$(dpkg-query --admindir="$chroot/var/lib/dpkg" -W -f='${source:Version}' "$binary" 2>/dev/null || true)
  got=$(mktemp)
  fetched=0
  sh "$here/conformance/apt-source.sh" ${chroot:+--root "$chroot"} "$base/cache" "$package" $version >"$got" ||
    fetched=$?
  if [ "$fetched" -ne 0 ]; then
    rm -f "$got"
    [ "$fetched" -ne 2 ] || exit 2
    echo "SKIP conformance JDK $n: the source package $package cannot be had now"
    skipped="$skipped JDK $n: $package cannot be had now;"
    continue
  fi
  grep -v "^$base/cache/" "$got" || true
  tarball=$(tail -n 1 "$got")
  rm -f "$got"
  work=$base/jdk$n
  [ "$subset" = 0 ] && [ -z "$named" ] || work=$base/jdk$n-subset
  unpack_tests "$tarball" "$base/jdk$n/tests"
  suite=$base/jdk$n/tests/test/jdk
  if [ -n "$named" ]; then
    tests=$named
  elif [ "$subset" = 1 ]; then
    tests=$subset_tests
  else
    tests=java/lang/instrument
  fi

  # The tests that never load an -agentpath library are run once.
  mkdir -p "$work"
  : >"$work/not-applicable.txt"
  for file in $(cd "$suite" && grep -rlE '@test' --include='*.java' --include='*.sh' $tests | sort); do
    if not_applicable "$suite/$file"; then
      echo "$file 0000000 generic-all" >>"$work/not-applicable.txt"
    fi
  done

  echo "Conformance on JDK $n: $java_home, the tests of $(basename "$tarball")"
  native=$work/native
  build_natives "$java_home" "$native"
  sh "$here/conformance/library-jdk.sh" "$java_home" "$work/library-jdk" "$work" "$library" "$agent_jar"
  results_missing=0
  run_jtreg "$work/jdk-agent" "$java_home" || results_missing=1
  run_jtreg "$work/library" "$work/library-jdk" -exclude:"$work/not-applicable.txt" || results_missing=1
  if [ "$results_missing" = 1 ] || [ ! -s "$work/rewritten.log" ]; then
    echo "$me: JDK $n: a jtreg run left no results or rewrote no -javaagent (logs: $work/*/jtreg.log)" >&2
    status=1
    continue
  fi
  ran=1

  both=0 only_jdk=0 only_library=0 neither=0 na=0
  for test in $(cat "$work/jdk-agent/report/text/summary.txt" "$work/library/report/text/summary.txt" |
    awk '{ print $1 }' | sort -u); do
    jdk_result=$(outcome "$test" "$work/jdk-agent")
    library_result=$(outcome "$test" "$work/library")
    if grep -qF "${test%%#*} " "$work/not-applicable.txt"; then
      library_result=n/a
    fi
    echo "$test jdk-agent=${jdk_result:-NOTRUN} library=${library_result:-NOTRUN}"
    why=""
    [ "$jdk_result" != FAIL ] || { why="jdk-agent: $(first_error "$work/jdk-agent" "$test")"; echo "    $why"; }
    if [ "$library_result" = FAIL ]; then
      why="library: $(first_error "$work/library" "$test")"
      echo "    $why"
    fi
    case $jdk_result/$library_result in
      */n/a) na=$((na + 1)); junit_case "jdk$n/$test" disabled "not applicable: the agent never goes through -agentpath" ;;
      PASS/PASS) both=$((both + 1)); junit_case "jdk$n/$test" run "passes with both" ;;
      PASS/*) only_jdk=$((only_jdk + 1)); junit_case "jdk$n/$test" fail "$why" ;;
      */PASS) only_library=$((only_library + 1)); junit_case "jdk$n/$test" run "passes through the library only" ;;
      *) neither=$((neither + 1)); junit_case "jdk$n/$test" disabled "fails with the JDK's agent too: $why" ;;
    esac
  done
  total=$((both + only_jdk + only_library + neither + na))
  echo "JDK $n: $total tests: both pass $both, only JDK's agent $only_jdk, only library $only_library," \
    "both fail $neither, not applicable $na" \
    "(jtreg runs: $(cat "$work/jdk-agent/seconds") s with the JDK's agent, $(cat "$work/library/seconds") s through the library)"
  [ "$only_jdk" -eq 0 ] || status=1
done

if [ -n "$junit" ]; then
  mkdir -p "$(dirname "$junit")"
  rm -f "$junit" "${junit%.xml}.skip"
  if [ "$ran" = 1 ]; then
    { echo '<?xml version="1.0" encoding="UTF-8"?>'
      echo '<testsuite name="conformance">'
      cat "$junit_cases"
      echo '</testsuite>'; } >"$junit"
  elif [ "$status" = 0 ]; then
    echo "no JDK could run:${skipped%;}" >"${junit%.xml}.skip"
  fi
fi
exit $status
