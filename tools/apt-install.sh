#!/bin/sh
# Installs the Debian packages named that are not installed yet, and
# nothing when all are. Needs root for apt-get; without it, prints the
# command to run and fails.
#   apt-install.sh [--arch ARCH]... PACKAGE...
# --arch adds a foreign architecture first (for PACKAGE:ARCH names).
set -eu
arches=""
while [ "${1:-}" = --arch ]; do
  arches="$arches $2"
  shift 2
done

missing=""
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  prefix=""
  for arch in $arches; do prefix="${prefix}dpkg --add-architecture $arch && "; done
  echo "$(basename "$0"): missing packages and not root; install them with: ${prefix}apt-get update && apt-get install$missing" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
for arch in $arches; do dpkg --add-architecture "$arch"; done
apt-get -o DPkg::Lock::Timeout=900 update -q
apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends $missing
