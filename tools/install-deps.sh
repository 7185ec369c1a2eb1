#!/bin/sh
# Installs what the build and the tests need on a fresh Debian 12 machine, and
# nothing when it is all there already. Needs root for apt-get.
set -eu

packages="cmake ninja-build g++ make binutils googletest libgtest-dev libgmock-dev openjdk-17-jdk-headless libdeflate-dev libbenchmark-dev clang-14 libclang-rt-14-dev zip unzip"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages and not root; install them with: apt-get install$missing" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends $missing
