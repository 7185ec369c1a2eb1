#!/bin/sh
# Installs the Debian packages named that are not installed yet, and
# nothing when all are. Needs root for apt-get; without it, prints the
# command to run and fails.
#   apt-install.sh [--arch ARCH]... PACKAGE...
# --arch adds a foreign architecture first (for PACKAGE:ARCH names); the
# package indexes are updated for the machine's own and those named only.
# Downloads that fail are tried again (tools/retry.sh). The exit status
# says whose the failure is, for callers that install one part at a time;
# the last line on stderr says what it was:
#   2  a package name the archive does not hold: the caller's mistake
#   3  the mirror cannot serve the packages now (they cannot be resolved
#      with the indexes it served, or their downloads kept failing)
#   4  not root
# The calls that share a TARSIL_APT_UPDATED (a path, which names the files
# they keep) update the indexes once per set of architectures.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
me=$(basename "$0")
. "$here/retry.sh"
arches=""
while [ "${1:-}" = --arch ]; do
  arches="$arches $2"
  shift 2
done

missing=""
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  prefix=""
  for arch in $arches; do prefix="${prefix}dpkg --add-architecture $arch && "; done
  echo "$me: missing packages and not root; install them with: ${prefix}apt-get update && apt-get install$missing" >&2
  exit 4
fi
export DEBIAN_FRONTEND=noninteractive
retry_log=$(mktemp)
trap 'rm -f "$retry_log"' EXIT
downloads_failed='Failed to fetch|Unable to fetch|Temporary failure resolving|Could not (connect|resolve)|Connection (failed|timed out|refused)|Hash Sum mismatch'
for arch in $arches; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done

# A mirror that is being synced serves some index files that do not match
# its release file; apt-get update then fails, and apt keeps the old state
# of every index of that release, the other architectures' too. The update
# therefore fetches the indexes of the architectures named only (leaving
# the others' as they are), and the install goes on with what it has. The
# indexes that did not come are kept, one "SUITE/COMPONENT/binary-ARCH
# MESSAGE" line each: they tell a package that is missing from one from a
# package that does not exist.
native=$(dpkg --print-architecture)
wanted=$(echo $native $arches | tr ' ' ,)
stamp=${TARSIL_APT_UPDATED:+$TARSIL_APT_UPDATED.$wanted}
if [ -n "$stamp" ] && [ -f "$stamp" ]; then
  lost_indexes=$(cat "$stamp")
else
  retrying "$downloads_failed" apt-get -o DPkg::Lock::Timeout=900 -o APT::Architectures="$wanted" \
    -o APT::Get::List-Cleanup=false update -q
  lost_indexes=$(sed -n 's|^E: Failed to fetch .*/dists/\([^ ]*\)/[^/ ]*  *\(.*\)|\1 \2|p' "$retry_log" |
    sed 's/ \[IP: [^]]*\]$//')
  [ "$retry_status" -eq 0 ] ||
    echo "$me: apt-get update failed; installing with the package indexes it has" >&2
  [ -z "$stamp" ] || printf '%s\n' "$lost_indexes" >"$stamp"
fi

retrying "$downloads_failed" apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends $missing
[ "$retry_status" -eq 0 ] && exit 0

# A name apt-get cannot find is this project's mistake, unless the index of
# its architecture did not come.
for package in $(sed -n "s/^E: Unable to locate package \(.*\)/\1/p; s/^E: Package '\(.*\)' has no installation candidate/\1/p" "$retry_log"); do
  arch=${package#*:}
  [ "$arch" != "$package" ] || arch=$native
  if ! printf '%s\n' "$lost_indexes" | grep -Eq "/binary-($arch|all) "; then
    echo "$me: the archive has no package $package" >&2
    exit 2
  fi
done

# Otherwise the mirror cannot serve them now: say why, in one line, with
# the first unmet dependency of a package asked for, else the first one.
why=""
for package in $missing; do
  why=$(grep -m 1 -F " $package : " "$retry_log" | sed 's/^ *//')
  [ -z "$why" ] || break
done
[ -n "$why" ] || why=$(grep -m 1 -E '^ [^ ]+ : (Pre-?)?Depends' "$retry_log" | sed 's/^ *//')
[ -n "$why" ] || why=$(grep -m 1 '^E: ' "$retry_log" | sed 's/^E: //')
[ -n "$why" ] || why="apt-get exited with status $retry_status"
lost=$(printf '%s\n' "$lost_indexes" | sed -n '1s/^\([^ ]*\) \(.*\)/; the index \1 did not come: \2/p')
echo "$me: apt-get cannot install them now: $why$lost" >&2
exit 3
