#!/bin/sh
# The installers against a stand-in apt-get (stand_in_apt.sh): a download
# that fails is tried again, each cross target is installed on its own, and
# only a package name that does not exist fails the install.
#   installer_test.sh TOOLS_DIR
set -u
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin" "$root/cross/zig-0.11.0" "$root/cross/libdeflate-1.14"
cp "$(dirname "$0")/stand_in_apt.sh" "$root/bin/stand-in" && chmod +x "$root/bin/stand-in"
for name in apt-get dpkg dpkg-query id; do ln -s stand-in "$root/bin/$name"; done
# The installers must never reach the machine's own apt-get.
[ "$(PATH="$root/bin:$PATH" command -v apt-get)" = "$root/bin/apt-get" ] || { echo "FAIL: no stand-in"; exit 1; }
# The macOS compilers are there already: that part is its apt-get line.
touch "$root/cross/zig-0.11.0/zig" "$root/cross/libdeflate-1.14/libdeflate.h" && chmod +x "$root/cross/zig-0.11.0/zig"
failures=0

# run VAR=VALUE... COMMAND...: against a fresh stand-in archive.
run() {
  rm -rf "$root/state" && mkdir "$root/state" && (cd "$root/state" && touch installed arches calls fetch-failures stale)
  env PATH="$root/bin:$PATH" FAKE_APT="$root/state" TARSIL_RETRY_PAUSE=0 TARSIL_CROSS_HOME="$root/cross" \
    "$@" >"$root/out" 2>&1
  status=$?
}
installed() { grep -qxF "$1" "$root/state/installed"; }
calls() { [ "$(grep -c " $1 " "$root/state/calls")" -eq "$2" ]; }
reports() { # reports OUTCOME TARGET...
  for target in $2; do grep -q "^$target $1" "$root/report" || return 1; done
}
check() { # check CASE STATUS CONDITION...: the last run's exit status and conditions
  case=$1 expected=$2 ok=1
  shift 2
  [ "$status" = "$expected" ] || { echo "FAIL $case: exit status $status, expected $expected"; ok=0; }
  for condition in "$@"; do eval "$condition" || { echo "FAIL $case: not so: $condition"; ok=0; }; done
  [ $ok = 1 ] || { failures=$((failures + 1)); sed 's/^/  | /' "$root/out"; }
}
apt_install="sh $1/apt-install.sh"
cross="sh $1/install-cross.sh --report $root/report"

run FAKE_APT_FLAKY=b=2 $apt_install a b
check "a download that fails twice is tried again" 0 "installed b" "calls install 3"
run FAKE_APT_FLAKY=b=3 $apt_install a b
check "downloads that keep failing: not to be had now" 3 "! installed b" "calls install 3"
run FAKE_APT_UNKNOWN=b $apt_install a b
check "a name the archive does not hold is the caller's mistake" 2 "calls install 1"
run FAKE_APT_LOST=i386 FAKE_APT_UNKNOWN=b:i386 $apt_install --arch i386 a b:i386
check "an index that does not come: tried again; a name missing with it is the mirror's" 3 \
  "calls update 3" "calls install 1"
run FAKE_UID=1000 $apt_install a
check "not root: nothing is run" 4 "calls install 0"
# The i386 index does not come: the update for i386 is tried three times,
# then one runs for arm64 and one for the machine's own architecture.
run FAKE_APT_LOST=i386 FAKE_APT_FLAKY=g++-mingw-w64-x86-64-posix=2 $cross
check "a target the mirror cannot serve costs only itself" 0 "reports skipped 'linux-i386 windows-i386'" \
  "reports installed 'linux-aarch64 windows-x86_64 macos-x86_64 macos-arm64 musl'" "calls update 5"
run FAKE_APT_UNKNOWN=qemu-user $cross
check "a name that does not exist fails the install, the others installed" 1 "reports failed linux-aarch64" \
  "reports installed 'linux-i386 windows-x86_64 windows-i386 macos-x86_64 macos-arm64 musl'"
run FAKE_UID=1000 $cross
check "not root: every target skipped, and that is no failure" 0 \
  "reports 'skipped not root' 'linux-i386 linux-aarch64 windows-x86_64 windows-i386 macos-x86_64 macos-arm64 musl'"
[ $failures = 0 ] && echo "all installer cases pass"
[ $failures = 0 ]
