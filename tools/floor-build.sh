#!/bin/sh
# Builds the shipped Linux libraries, x86-64, i386 and aarch64, inside the bullseye
# chroot (see tools/chroots.sh): g++ 10 against glibc 2.31's headers and
# libraries, whose C library binds the stat family to __xstat and whose
# unwinder does not call _dl_find_object, so the result needs nothing newer
# than GLIBC_2.17 (tests/check_library.sh enforces it). Each goes to
# build/floor-<processor>/ (src/libtarsil64.so and its .debug file, and the
# test variant the JVM tests load on the chroots' JVMs). Without the chroot
# (not root), prints a SKIP line and builds nothing.
#   floor-build.sh SOURCE_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$1" && pwd)
root=${TARSIL_CHROOTS:-/srv/tarsil-chroots}/bullseye
if [ "$(id -u)" -ne 0 ] || [ ! -f "$root/.tarsil-packages" ]; then
  echo "SKIP shipped Linux libraries for glibc 2.17: no bullseye chroot ($root; tools/chroots.sh makes it as root)"
  exit 0
fi
for processor in x86_64 i686 aarch64; do
  build=$source_dir/build/floor-$processor
  case $processor in
    x86_64) toolchain= ;;
    i686) toolchain=-DCMAKE_TOOLCHAIN_FILE=$source_dir/cmake/toolchains/linux-i386.cmake ;;
    aarch64) toolchain=-DCMAKE_TOOLCHAIN_FILE=$source_dir/cmake/toolchains/linux-aarch64.cmake ;;
  esac
  # JAVA_HOME of this machine may name a JDK the chroot lacks.
  sh "$here/in-chroot.sh" "$root" "$source_dir" --bind "$source_dir" -- env -u JAVA_HOME sh -c '
    [ -f "$1/build.ninja" ] || cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARSIL_LIBRARY_ONLY=ON $2 >/dev/null
    nice cmake --build "$1" -- -j2' sh "$build" "$toolchain"
done
