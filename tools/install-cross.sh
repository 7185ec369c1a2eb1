#!/bin/sh
# Installs the cross toolchains and their runners on a Debian 12 machine:
# Linux i386 (with a 32-bit JDK 17), Linux aarch64 (with qemu and the arm64
# JDK 17), Windows x86-64/i386 (MinGW, static zlib, wine), macOS x86-64 and
# arm64 (tools/install-macos.sh), and the musl C library for the Linux
# library's Alpine test host. Does nothing when everything is there
# already. Needs root for apt-get.
#   install-cross.sh [--report FILE]
# Each target's packages are installed on their own, so that a package the
# mirror cannot serve costs only the targets that need it. FILE gets one
# line per target: "TARGET installed", or "TARGET skipped REASON" when the
# mirror cannot serve it now or this is not root, or "TARGET failed REASON"
# when the project names a package that does not exist; only the last
# makes the exit status non-zero.
#
# Run it before building: adding :i386 or :arm64 packages may upgrade their
# amd64 twins (the JDK included).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
report=/dev/null
if [ "${1:-}" = --report ]; then report=$2; fi
: >"$report"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The parts share one update of the package indexes.
export TARSIL_APT_UPDATED="$work/apt-updated"

packages() {
  case $1 in
    linux-i386) echo --arch i386 g++-i686-linux-gnu libdeflate-dev:i386 openjdk-17-jre-headless:i386 ;;
    linux-aarch64) echo --arch arm64 g++-aarch64-linux-gnu libdeflate-dev:arm64 qemu-user openjdk-17-jre-headless:arm64 ;;
    windows-x86_64) echo g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 ;;
    windows-i386) echo --arch i386 g++-mingw-w64-i686-posix libz-mingw-w64-dev wine wine32:i386 ;;
    musl) echo musl musl-tools patchelf ;;
  esac
}
targets_of() {
  case $1 in
    macos) echo macos-x86_64 macos-arm64 ;;
    *) echo "$1" ;;
  esac
}

failed=0
for part in linux-i386 linux-aarch64 windows-x86_64 windows-i386 macos musl; do
  status=0
  if [ $part = macos ]; then
    sh "$here/install-macos.sh" 2>"$work/why" || status=$?
  else
    # shellcheck disable=SC2046 # the options and names are words
    sh "$here/apt-install.sh" $(packages $part) 2>"$work/why" || status=$?
  fi
  cat "$work/why" >&2
  why=$(tail -n 1 "$work/why")
  why=${why#*.sh: }
  case $status in
    0) outcome=installed ;;
    2) outcome="failed $why"; failed=1 ;;
    4) outcome="skipped not root (install with: sudo sh tools/install-cross.sh)" ;;
    *) outcome="skipped ${why:-the installer exited with status $status}" ;;
  esac
  for target in $(targets_of $part); do
    echo "$target $outcome" >>"$report"
    echo "install-cross.sh: $target $outcome"
  done
done
exit $failed
