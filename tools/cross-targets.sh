#!/bin/sh
# Builds (build) or tests (test) each cross target named whose toolchain is
# installed, and leaves in DIR, for tools/test-summary.sh, each target's
# test results (TARGET.xml) or the one line that says why it was not tested
# (TARGET.skip). A target whose toolchain is installed and that does not
# build stops the run; one whose tests fail fails it once every target has
# been tested.
#   cross-targets.sh build|test DIR TARGET...
# TARSIL_CROSS=0 leaves them all out. DIR/install.txt is the report of
# tools/install-cross.sh: it says why a toolchain is not installed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
step=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
shift 2

skip() {
  echo "SKIP $1: $2"
  echo "$2" >"$dir/$1.skip"
}

# Why TARGET's toolchain is missing: the installer's reason when it gave
# one, else what tools/cross-toolchain.sh found missing.
not_installed() {
  why=$(sed -n "s/^$1 \(skipped\|failed\) //p" "$dir/install.txt" 2>/dev/null)
  echo "${why:-${2#SKIP "$1": }}"
}

status=0
for target in "$@"; do
  # Skipped already when it was to be built.
  [ -f "$dir/$target.skip" ] && continue
  if [ "${TARSIL_CROSS:-1}" != 1 ]; then
    skip "$target" "TARSIL_CROSS=$TARSIL_CROSS"
    continue
  fi
  case $step in
    build)
      if found=$(sh "$here/cross-toolchain.sh" "$target"); then
        { cmake --preset "$target" && cmake --build --preset "$target"; } || exit 1
      else
        skip "$target" "$(not_installed "$target" "$found")"
      fi ;;
    test)
      if found=$(sh "$here/cross-toolchain.sh" --run "$target"); then
        ctest --preset "$target" --output-junit "$dir/$target.xml" || status=1
      else
        skip "$target" "${found#SKIP "$target": }"
      fi ;;
    *)
      echo "usage: cross-targets.sh build|test DIR TARGET..." >&2
      exit 2 ;;
  esac
done
exit $status
