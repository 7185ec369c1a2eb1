#!/bin/sh
# Makes the Debian chroots of the JVM matrix and of the shipped Linux
# libraries' build, or reuses them: each is made once per machine, outside
# any work tree, so every clone on the machine shares them.
#   sid       Java 8 (it needs that suite's glibc, so it runs only there) and
#             JDK 26, 27 and 28 (early access)
#   bullseye  Java 11 and 17 on glibc 2.31; g++ 10 and glibc 2.31 build the
#             shipped Linux libraries (see tools/floor-build.sh)
#   trixie    Java 21 and 25
# debootstrap and chroot need root; without it each chroot is skipped with
# a SKIP line and the JVM tests report those JDKs as skipped.
#   chroots.sh [SUITE]...     (all three when none is named)
# TARSIL_CHROOTS overrides the folder (default /srv/tarsil-chroots).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
base=${TARSIL_CHROOTS:-/srv/tarsil-chroots}
suites=${*:-sid bullseye trixie}

if [ "$(id -u)" -ne 0 ]; then
  for suite in $suites; do echo "SKIP chroot $suite: not root (debootstrap and chroot need it)"; done
  exit 0
fi

packages() {
  case $1 in
    sid) echo openjdk-8-jdk-headless openjdk-26-jdk-headless openjdk-27-jdk-headless openjdk-28-jdk-headless ;;
    bullseye) echo openjdk-11-jdk-headless openjdk-17-jdk-headless g++ g++-i686-linux-gnu g++-aarch64-linux-gnu patchelf \
      cmake ninja-build make libdeflate-dev libdeflate-dev:i386 libdeflate-dev:arm64 ;;
    trixie) echo openjdk-21-jdk-headless openjdk-25-jdk-headless ;;
    *) echo "chroots.sh: unknown suite $1" >&2; exit 2 ;;
  esac
}

# Packages for another architecture can only be added once the chroot
# exists: debootstrap installs the native ones.
native() { for p in "$@"; do case $p in *:*) ;; *) printf '%s ' "$p" ;; esac; done; }
foreign_arches() { for p in "$@"; do case $p in *:*) echo "${p#*:}" ;; esac; done | sort -u; }


# One suite: made, completed with what is missing, or reused.
make_suite() {
  suite=$1
  wanted=$(packages "$suite")
  root=$base/$suite
  start=$(date +%s)
  if [ -f "$root/.tarsil-packages" ] && [ "$(cat "$root/.tarsil-packages")" = "$wanted" ]; then
    echo "chroot $suite: reused ($root)"
    return
  fi
  if [ ! -d "$root" ]; then
    # Made beside its place and moved there when debootstrap is done, so
    # that an interrupted run leaves no half-made chroot in its place.
    partial=$root.partial
    if [ -d "$partial" ]; then
      grep -o " $partial/[^ ]*" /proc/mounts | sort -r | while read -r m; do umount -l "$m" || true; done
      rm -rf --one-file-system "$partial"
    fi
    include=$(native $wanted | tr ' ' ',' | sed 's/,$//')
    debootstrap --variant=minbase --include="$include" "$suite" "$partial" >"$base/$suite.debootstrap.log" 2>&1 ||
      { tail -20 "$base/$suite.debootstrap.log"; echo "chroot $suite: debootstrap failed (log: $base/$suite.debootstrap.log)"; return 1; }
    mv "$partial" "$root"
  fi
  for arch in $(foreign_arches $wanted); do
    sh "$here/in-chroot.sh" "$root" / -- dpkg --add-architecture "$arch"
  done
  # The unstable suite's Release file may be past its Valid-Until on a
  # machine whose clock runs ahead of the mirror; it was signed all the same.
  sh "$here/in-chroot.sh" "$root" / -- apt-get -q -o Acquire::Check-Valid-Until=false update >/dev/null
  sh "$here/in-chroot.sh" "$root" / -- env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends $wanted >"$base/$suite.apt.log" 2>&1 ||
    { tail -20 "$base/$suite.apt.log"; echo "chroot $suite: apt-get install failed"; return 1; }
  sh "$here/in-chroot.sh" "$root" / -- apt-get clean
  echo "$wanted" >"$root/.tarsil-packages"
  echo "chroot $suite: made in $(( $(date +%s) - start )) s ($(du -sh --one-file-system "$root" | cut -f1))"
}

sh "$here/apt-install.sh" debootstrap
mkdir -p "$base"
# The suites are made side by side: most of the time goes to downloads and
# dpkg, which overlap well. Their lines come when all are done.
echo "chroots: $suites under $base (a few minutes each when not made yet)"
pids=
for suite in $suites; do
  packages "$suite" >/dev/null
  make_suite "$suite" >"$base/$suite.log" 2>&1 &
  pids="$pids $!"
done
status=0
for pid in $pids; do wait "$pid" || status=1; done
for suite in $suites; do cat "$base/$suite.log"; done
exit $status
