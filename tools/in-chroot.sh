#!/bin/sh
# Runs a command inside one of the Debian chroots, in a mount namespace of
# its own: /proc and the folders named are mounted there for this command
# only and vanish with it, so nothing stays mounted inside a chroot that
# could later be deleted with the folders it shows. Each folder appears at
# its own path, so paths mean the same inside and outside. The command
# replaces this script (no process is left between the caller and it), and
# starts in DIR.
#   in-chroot.sh ROOT DIR [--bind PATH]... -- COMMAND [ARG]...
set -eu
if [ -z "${TARSIL_CHROOT_NS:-}" ]; then
  TARSIL_CHROOT_NS=1 exec unshare --mount --propagation private sh "$0" "$@"
fi
unset TARSIL_CHROOT_NS
root=$1 dir=$2
shift 2
mount -t proc proc "$root/proc"
while [ "$1" = --bind ]; do
  mkdir -p "$root$2"
  mount --bind "$2" "$root$2"
  shift 2
done
[ "$1" = -- ] && shift
exec chroot "$root" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$dir" "$@"
