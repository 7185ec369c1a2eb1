#!/bin/sh
# Fetches the upstream tarball of one version of a Debian source package,
# the way tools/install-macos.sh gets libdeflate's: through a deb-src copy
# of the Debian sources the machine (or a chroot of tools/chroots.sh)
# already uses. The copy and the package indexes it brings live in a
# folder of their own under DEST, so that the system's apt configuration
# and indexes are left as they are. Only the main upstream tarball is
# downloaded (not the packaging or the component tarballs), by apt's own
# downloader against the hash the signed index gives; one already in DEST
# with that hash is kept.
#   apt-source.sh [--root CHROOT] DEST SOURCE [VERSION]
# Without VERSION, or when it cannot be downloaded, the newest version that
# can is taken. Prints the tarball's path on the last line of stdout. Exit status and the
# reason on stderr's last line as tools/apt-install.sh's: 2 for a source
# package or version the archive does not hold, 3 for what cannot be had
# now, 4 for not root (a chroot needs it).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
me=$(basename "$0")
. "$here/retry.sh"
root=""
if [ "${1:-}" = --root ]; then
  root=$2
  shift 2
fi
dest=$1 package=$2 wanted_version=${3:-}
if [ -n "$root" ] && [ "$(id -u)" -ne 0 ]; then
  echo "$me: running apt in $root needs root" >&2
  exit 4
fi
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
state=$dest/apt-state
rm -rf "$state"
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/parts"
retry_log=$state/log
trap 'rm -rf "$state"' EXIT

# The Debian entries of the system's sources, as deb-src entries: deb822
# (debian.sources) and one-line (sources.list) forms.
etc=$root/etc/apt
[ ! -f "$etc/sources.list.d/debian.sources" ] ||
  sed 's/^Types: deb$/Types: deb-src/' "$etc/sources.list.d/debian.sources" >"$state/parts/debian.sources"
[ ! -f "$etc/sources.list" ] || sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' "$etc/sources.list" >"$state/sources.list"
touch "$state/sources.list"

# As in tools/chroots.sh, the unstable suite's Release file may be past its
# Valid-Until on a machine whose clock runs ahead of the mirror; it was
# signed all the same.
apt() {
  command=$1
  shift
  set -- "$command" -q -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts="$state/parts" \
    -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" -o APT::Sandbox::User=root \
    -o Acquire::Check-Valid-Until=false "$@"
  if [ -n "$root" ]; then
    sh "$here/in-chroot.sh" "$root" / --bind "$dest" -- "$@"
  else
    "$@"
  fi
}

downloads_failed='Failed to fetch|Unable to fetch|Temporary failure resolving|Could not (connect|resolve)|Connection (failed|timed out|refused)|Hash Sum mismatch'
# A file the mirror does not have (404) is not asked for again.
transfer_failed='Temporary failure resolving|Could not (connect|resolve)|Connection (failed|timed out|refused)|Hash Sum mismatch| 5[0-9][0-9] '
# As in tools/apt-install.sh, an index that did not come leaves the others.
retrying "$downloads_failed" apt apt-get update >/dev/null
indexes_came=$retry_status

# One version's tarball into DEST; fails when its download does.
fetch() {
  retrying "$downloads_failed" apt apt-get source --print-uris "$package=$1" >/dev/null
  # 'URI' FILE SIZE SHA256:HASH, the upstream tarball being FILE
  # <package>_<upstream version>.orig.tar.<compression>.
  set -- $(grep "^'[^ ]*' ${package}_[^ ]*\.orig\.tar\.[a-z0-9]* " "$retry_log" | head -n 1)
  [ $# -ge 4 ] || return 1
  uri=$(echo "$1" | tr -d "'") file=$2 size=$3 hash=$4
  if [ -f "$dest/$file" ] && [ "$(sha256sum "$dest/$file" | cut -d ' ' -f 1)" = "${hash#SHA256:}" ]; then
    echo "$file: kept from an earlier run ($((size / 1048576)) MB)"
    return 0
  fi
  echo "Fetching $file ($((size / 1048576)) MB)"
  retrying "$transfer_failed" apt "${TARSIL_APT_HELPER:-/usr/lib/apt/apt-helper}" download-file "$uri" \
    "$dest/$file.partial" "$hash" >/dev/null
  if [ "$retry_status" -ne 0 ]; then
    echo "$me: could not download $uri: $(grep -m 1 '^E: ' "$retry_log" || true)"
    rm -f "$dest/$file.partial"
    return 1
  fi
  mv "$dest/$file.partial" "$dest/$file"
}

# The version asked for first, then the others the indexes hold, newest
# first: a mirror may hold a version's index entry and not its files (the
# security archive's, here).
versions=$(apt apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -rV | uniq)
if [ -z "$versions" ]; then
  echo "$me: the indexes list no source package $package" >&2
  # With every index there, a source the archive does not hold is ours.
  [ "$indexes_came" -eq 0 ] && exit 2
  exit 3
fi
for version in $wanted_version $(printf '%s\n' $versions | grep -vxF "${wanted_version:-none}"); do
  if fetch "$version"; then
    [ -z "$wanted_version" ] || [ "$version" = "$wanted_version" ] ||
      echo "$me: $package $wanted_version could not be had; using $version"
    echo "$dest/$file"
    exit 0
  fi
done
echo "$me: no version of $package could be downloaded ($(echo $versions))" >&2
exit 3
