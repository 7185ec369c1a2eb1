#!/bin/sh
# Copies the cross-built libraries into the distribution folder, each where
# a user's -agentpath expects it; prints a line for each one not built.
#   dist-layout.sh BUILD_DIR DIST_DIR
set -eu
build=$1
dist=$2
place() {
  if [ -f "$build/$1" ]; then
    mkdir -p "$dist/$(dirname "$2")"
    cp "$build/$1" "$dist/$2"
  else
    echo "dist: $2 left out ($build/$1 was not built)"
  fi
}
place linux-i386/src/libtarsil32.so lib/libtarsil32.so
place linux-aarch64/src/libtarsil64.so lib-aarch64/libtarsil64.so
place windows-x86_64/src/tarsil64.dll lib/tarsil64.dll
place windows-i386/src/tarsil32.dll lib/tarsil32.dll
