#!/bin/sh
# tools/conformance/apt-source.sh against a stand-in apt: which version's
# upstream tarball it takes, what it downloads, and its exit statuses.
#   apt_source_test.sh TOOLS_DIR
set -u
tools=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin" "$root/state/mirror"
cp "$here/stand_in_apt_source.sh" "$root/bin/stand-in" && chmod 755 "$root/bin/stand-in"
for name in apt-get apt-cache apt-helper; do ln -s stand-in "$root/bin/$name"; done
# The script must never reach the machine's own apt.
[ "$(PATH="$root/bin:$PATH" command -v apt-cache)" = "$root/bin/apt-cache" ] || { echo "FAIL: no stand-in"; exit 1; }
printf '1.0-1\n3.0-1\n2.0-1\n' >"$root/state/versions"
echo one >"$root/state/mirror/pkg_1.0.orig.tar.xz"
echo two >"$root/state/mirror/pkg_2.0.orig.tar.xz"
fetch() {
  env PATH="$root/bin:$PATH" FAKE_APT="$root/state" TARSIL_APT_HELPER="$root/bin/apt-helper" TARSIL_RETRY_PAUSE=0 \
    sh "$tools/conformance/apt-source.sh" "$root/dest" "$@" >"$root/out" 2>&1
  status=$?
  : >>"$root/state/downloads"
  mv "$root/state/downloads" "$root/downloads"
}
failures=0
expect() { eval "$2" || { echo "FAIL $1"; cat "$root/out"; failures=$((failures + 1)); }; }

fetch pkg 3.0-1
expect "a version the mirror has no file of gives way to the newest it has" \
  '[ $status = 0 ] && [ "$(tail -n 1 "$root/out")" = "$root/dest/pkg_2.0.orig.tar.xz" ] &&
   [ "$(cat "$root/dest/pkg_2.0.orig.tar.xz")" = two ] && [ "$(cat "$root/downloads" | tr "\n" " ")" = "pkg_3.0.orig.tar.xz pkg_2.0.orig.tar.xz " ]'
expect "only the upstream tarball is downloaded, and the index state goes with the run" \
  '! grep -q dsc "$root/downloads" && [ ! -e "$root/dest/apt-state" ]'
fetch pkg 2.0-1
expect "a tarball already there with the index's hash is kept" '[ $status = 0 ] && [ ! -s "$root/downloads" ]'
echo changed >"$root/state/mirror/pkg_2.0.orig.tar.xz"
fetch pkg 2.0-1
expect "one whose hash differs is downloaded again" \
  '[ $status = 0 ] && [ "$(cat "$root/dest/pkg_2.0.orig.tar.xz")" = changed ]'
fetch other
expect "a source package the indexes do not list is the caller's mistake" '[ $status = 2 ]'
rm "$root/state/mirror/"*
fetch pkg
expect "no version to be had is the mirror's failure" '[ $status = 3 ] && [ "$(wc -l <"$root/downloads")" = 3 ]'
[ $failures = 0 ] && echo "all apt-source cases pass"
[ $failures = 0 ]
