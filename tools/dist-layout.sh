#!/bin/sh
# Copies the cross-built libraries into the distribution folder, each where
# a user's -agentpath expects it; prints a line for each one not built.
#   dist-layout.sh BUILD_DIR DIST_DIR
set -eu
build=$1
dist=$2
place() {  # TO FROM...: the first FROM that was built
  to=$1
  shift
  for from in "$@"; do
    if [ -f "$build/$from" ]; then
      mkdir -p "$dist/$(dirname "$to")"
      cp "$build/$from" "$dist/$to"
      return
    fi
  done
  echo "dist: $to left out (not built: $*)"
}
# Linux as built for glibc 2.17 in the bullseye chroot, else the cross build.
place lib/libtarsil32.so floor-i686/src/libtarsil32.so linux-i386/src/libtarsil32.so
place lib-aarch64/libtarsil64.so floor-aarch64/src/libtarsil64.so linux-aarch64/src/libtarsil64.so
place lib/tarsil64.dll windows-x86_64/src/tarsil64.dll
place lib/tarsil32.dll windows-i386/src/tarsil32.dll
# macOS: arm64 in a folder of its own beside lib/, as for Linux aarch64, so
# that the library finds tarsil.jar in its folder's parent.
place lib/libtarsil64.dylib macos-x86_64/src/libtarsil64.dylib
place lib-arm64/libtarsil64.dylib macos-arm64/src/libtarsil64.dylib
