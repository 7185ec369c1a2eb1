#!/bin/sh
# Starts a JVM on each Linux library of a distribution folder, as a user
# would (-agentpath, nothing else), on an empty bootstrap folder: the
# library must find tarsil.jar from where it lies, build the bootstrap jar
# and let the JVM run. The aarch64 JVM runs under qemu, and so must the JVM
# the library starts: it is given a java.home whose bin/java execs qemu.
#   check-dist.sh DIST_DIR
set -u
dist=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

run() {  # NAME LIBRARY JAVA [JVM OPTIONS...]
  name=$1 library=$2 java=$3
  shift 3
  if [ ! -f "$library" ]; then echo "check-dist: $name: no library, skipped"; return; fi
  if [ ! -x "$java" ] && ! command -v "$java" >/dev/null 2>&1; then echo "check-dist: $name: no JVM, skipped"; return; fi
  # A kernel without 32-bit support cannot start the i386 JVM at all.
  if ! timeout 300 "$java" "$@" -version >/dev/null 2>&1; then echo "check-dist: $name: the JVM does not start here, skipped"; return; fi
  folder=$work/$name
  mkdir -p "$folder"
  if timeout 300 "$java" "$@" "-agentpath:$library=debug" "-Dvesta.bootcache.dir=$folder" -version >"$folder/out" 2>&1 &&
     grep -q "tarsil-bootstrap-.*\.jar" "$folder/out"; then
    echo "check-dist: $name: OK"
  else
    echo "check-dist: $name: FAILED"; tail -20 "$folder/out"; status=1
  fi
}

# The Linux libraries are built for glibc 2.17 where the bullseye chroot
# can be made (as root).
here=$(cd "$(dirname "$0")" && pwd)
for library in "$dist/lib/libtarsil64.so" "$dist/lib/libtarsil32.so" "$dist/lib-aarch64/libtarsil64.so"; do
  [ -f "$library" ] || continue
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP check-dist: glibc 2.17 floor of $library: not root, so not built in the bullseye chroot"
  elif ! sh "$here/../tests/check_library.sh" "$library" 2.17 >"$work/floor" 2>&1; then
    echo "check-dist: $library: FAILED"; cat "$work/floor"; status=1
  fi
done

run x86-64 "$dist/lib/libtarsil64.so" /usr/lib/jvm/java-17-openjdk-amd64/bin/java
run i386 "$dist/lib/libtarsil32.so" /usr/lib/jvm/java-17-openjdk-i386/bin/java

arm64=/usr/lib/jvm/java-17-openjdk-arm64
if command -v qemu-aarch64 >/dev/null 2>&1 && [ -x "$arm64/bin/java" ]; then
  home=$work/arm64-home
  mkdir -p "$home/bin"
  for entry in "$arm64"/*; do [ "$(basename "$entry")" = bin ] || ln -s "$entry" "$home/"; done
  printf '#!/bin/sh\nexec qemu-aarch64 %s/bin/java "$@"\n' "$arm64" >"$home/bin/java"
  chmod +x "$home/bin/java"
  run aarch64 "$dist/lib-aarch64/libtarsil64.so" qemu-aarch64 "$arm64/bin/java" "-Djava.home=$home"
else
  echo "check-dist: aarch64: no qemu-aarch64 or arm64 JDK, skipped"
fi
exit $status
