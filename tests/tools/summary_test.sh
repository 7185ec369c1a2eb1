#!/bin/sh
# tools/test-summary.sh over ctest's JUnit results: what counts as passed,
# failed and skipped, per target and per JDK, and the targets that did not
# run counted as skipped.
#   summary_test.sh TOOLS_DIR
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
testcase() { # testcase NAME STATUS [SKIPPED_MESSAGE [OUTPUT]]
  echo "<testcase name=\"$1\" classname=\"$1\" status=\"$2\">${3:+<skipped message=\"$3\"/>}"
  printf '<system-out>%s\n</system-out>\n</testcase>\n' "${4:-}"
}
{
  testcase unit.Passes run
  testcase unit.Fails fail
  testcase jvm_tests_NOT_BUILT notrun "Unable to find executable"
  testcase musl_host notrun SKIP_RETURN_CODE=77
  testcase Jdks/Agent.Loads/java_17 run
  testcase Jdks/Agent.Loads/sid_java_8 notrun SKIP_REGULAR_EXPRESSION_MATCHED \
    "$(printf 'harness.cpp:254: Skipped\nno chroot &amp; no root')"
} >"$dir/release.xml"
echo "not root" >"$dir/linux-i386.skip"
echo "TARSIL_CROSS=0" >"$dir/macos-arm64.skip"
mkdir "$dir/counts" && echo 40 >"$dir/counts/linux-i386"
out=$(sh "$1/test-summary.sh" "$dir" release linux-i386 macos-arm64)
status=$?
failures=0
expect() { eval "$2" || { echo "FAIL $1"; failures=$((failures + 1)); }; }
# Passed 2; failed the failure and the test ctest could not start; skipped
# 2, linux-i386's 40 of its last run and 1 for macos-arm64, never run.
expect "the last line is the overall count" '[ "$(echo "$out" | tail -n 1)" = "2 passed, 2 failed, 43 skipped" ]'
expect "a failed test fails the summary" '[ $status = 1 ]'
expect "a JDK none of whose tests ran says why" 'echo "$out" | grep sid_java_8 | grep -q "no chroot & no root"'
expect "each target not tested says why" \
  'echo "$out" | grep -q "^linux-i386 .*not root" && echo "$out" | grep -q "^macos-arm64 .*TARSIL_CROSS=0"'
expect "a run keeps its count for the runs that skip it" '[ "$(cat "$dir/counts/release")" = 6 ]'
[ $failures = 0 ] && echo "all summary cases pass" || echo "$out"
[ $failures = 0 ]
