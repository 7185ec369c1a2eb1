#!/bin/sh
# Answers whether a cross target's toolchain and test runner are installed
# (tools/install-cross.sh installs them). Exit status 0 when they are;
# otherwise prints what is missing and exits 1. With --run, also whether
# this machine can run the target's programs.
#   cross-toolchain.sh [--run] TARGET
set -u
run=0
if [ "$1" = --run ]; then run=1; shift; fi
target=$1
missing=""
need_program() { command -v "$1" >/dev/null 2>&1 || missing="$missing $1"; }
need_file() { [ -e "$1" ] || missing="$missing $1"; }
# Some kernels are built without 32-bit x86 support: nothing 32-bit runs.
need_32bit_kernel() {
  [ -n "$missing" ] || [ $run = 0 ] && return
  if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo "SKIP $target: this machine's kernel cannot run 32-bit x86 programs"
    exit 1
  fi
}

case $target in
  linux-i386)
    need_program i686-linux-gnu-g++
    need_file /usr/lib/i386-linux-gnu/libdeflate.a
    need_file /usr/lib/jvm/java-17-openjdk-i386/bin/java
    need_32bit_kernel ;;
  linux-aarch64)
    need_program aarch64-linux-gnu-g++
    need_program qemu-aarch64
    need_file /usr/lib/aarch64-linux-gnu/libdeflate.a
    need_file /usr/lib/jvm/java-17-openjdk-arm64/bin/java ;;
  windows-x86_64)
    need_program x86_64-w64-mingw32-g++-posix
    need_file /usr/x86_64-w64-mingw32/lib/libz.a
    need_program wine
    need_file /usr/lib/wine/wine64 ;;
  windows-i386)
    need_program i686-w64-mingw32-g++-posix
    need_file /usr/i686-w64-mingw32/lib/libz.a
    need_program wine
    need_file /usr/lib/wine/wine
    need_32bit_kernel ;;
  macos-x86_64|macos-arm64)
    # Built here, never run: the tests are host-side checks of the dylibs.
    cross=${TARSIL_CROSS_HOME:-/opt/tarsil-cross}
    need_file "$cross/zig-0.11.0/zig"
    need_file "$cross/libdeflate-1.14/libdeflate.h"
    need_program ld64.lld-14
    need_program llvm-objdump
    need_program llvm-nm
    need_program llvm-ar-14 ;;
  *)
    echo "unknown target $target" >&2
    exit 2 ;;
esac

[ -z "$missing" ] && exit 0
echo "SKIP $target: not installed:$missing (install with: sudo sh tools/install-cross.sh)"
exit 1
