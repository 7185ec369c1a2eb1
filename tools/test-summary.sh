#!/bin/sh
# The last lines of `make test`: per target, the tests that ran (passed or
# failed) and those skipped, from ctest's JUnit files, and the same per JDK
# of the JVM tests, with the reason when none of a JDK's tests ran; for each
# target not tested, the reason; then the overall count. Its skipped tests
# take in those of every target that did not run: as many as the target had
# at its last run on this machine, or 1 when it never ran here.
#   test-summary.sh DIR TARGET...
# DIR holds per target TARGET.xml (ctest --output-junit) or TARGET.skip (why
# it was not tested), install.txt (tools/install-cross.sh --report), and
# keeps counts/TARGET, the number of tests at the target's last run.
# Exit status 1 when a test failed or a target left no results.
set -u
dir=$1
shift
mkdir -p "$dir/counts"

# One JUnit file: the line "PASSED FAILED SKIPPED", then the target's line
# and its JDKs' lines. ctest marks as not run both the tests that skipped
# themselves and those it could not start; only the first are skips. A
# GoogleTest skip prints "FILE:LINE: Skipped" and then its message.
count_junit() {
  awk -v target="$1" '
    function attr(line, name) {
      if (!match(line, name "=\"[^\"]*\"")) return ""
      return substr(line, RSTART + length(name) + 2, RLENGTH - length(name) - 3)
    }
    function unescape(s) {
      gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&amp;/, "\\&", s)
      return s
    }
    function counts(p, f, s) { return sprintf("%5d run: %d passed, %d failed; %d skipped", p + f, p, f, s) }
    /<testcase / {
      status = attr($0, "status")
      outcome = status == "run" ? "passed" : status == "disabled" ? "skipped" : "failed"
      name = attr($0, "name")
      # GoogleTest writes the parameter of a parameterized test after " # ".
      sub(/ +# .*$/, "", name)
      jdk = match(name, /^Jdks\/[^\/]+\//) ? substr(name, RLENGTH + 1) : ""
      if (jdk != "" && !(jdk in seen)) { seen[jdk] = 1; jdks[++njdks] = jdk }
      in_output = 0; after_skip = 0; message = ""
    }
    /<skipped message="/ { outcome = attr($0, "message") ~ /^(SKIP_|Disabled)/ ? "skipped" : "failed" }
    /<system-out>/ { in_output = 1 }
    in_output {
      line = $0
      sub(/^[\t ]*(<system-out>)?/, "", line)
      if (after_skip && message == "" && line != "") message = unescape(line)
      if (line ~ /: Skipped$/) after_skip = 1
    }
    /<\/testcase>/ {
      n[outcome]++
      if (jdk != "") {
        of[jdk, outcome]++
        if (outcome == "skipped" && message != "" && !(jdk in why)) why[jdk] = message
      }
    }
    END {
      print n["passed"] + 0, n["failed"] + 0, n["skipped"] + 0
      printf "%-16s %s\n", target, counts(n["passed"], n["failed"], n["skipped"])
      for (i = 1; i <= njdks; i++) {
        jdk = jdks[i]
        ran = of[jdk, "passed"] + of[jdk, "failed"]
        printf "  JDK %-32s %s%s\n", jdk, counts(of[jdk, "passed"], of[jdk, "failed"], of[jdk, "skipped"]),
          ran == 0 && (jdk in why) ? ": " why[jdk] : ""
      }
    }' "$2"
}

passed=0 failed=0 skipped=0
lines=$(mktemp)
trap 'rm -f "$lines"' EXIT
echo
echo "Test summary:"
for target in "$@"; do
  if [ -f "$dir/$target.xml" ]; then
    count_junit "$target" "$dir/$target.xml" >"$lines"
    read -r p f s <"$lines"
    tail -n +2 "$lines"
    echo $((p + f + s)) >"$dir/counts/$target"
  elif [ -f "$dir/$target.skip" ]; then
    p=0 f=0
    if [ -f "$dir/counts/$target" ]; then
      s=$(cat "$dir/counts/$target")
      tests="its $s tests at its last run here counted as skipped"
    else
      s=1
      tests="never run here: counted as 1 skipped"
    fi
    printf '%-16s not tested: %s (%s)\n' "$target" "$(cat "$dir/$target.skip")" "$tests"
  else
    p=0 f=1 s=0
    printf '%-16s no test results: counted as 1 failed\n' "$target"
  fi
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
done
# The installer's parts that are no target, such as the release tests' musl
# host: their tests skip themselves, and this says why.
if [ -f "$dir/install.txt" ]; then
  while read -r part outcome why; do
    case " $* " in *" $part "*) continue ;; esac
    [ "$outcome" = installed ] || printf '%-16s not installed: %s\n' "$part" "$why"
  done <"$dir/install.txt"
fi
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
