#!/bin/sh
# Installs the cross toolchains and their runners on a Debian 12 machine:
# Linux i386 (with a 32-bit JDK 17), Linux aarch64 (with qemu and the arm64
# JDK 17), and Windows x86-64/i386 (MinGW, static zlib, wine). Does nothing
# when everything is there already. Needs root for apt-get.
#
# The multiarch installs come first: adding :i386 or :arm64 packages may
# upgrade their amd64 twins (the JDK included), so nothing is built before
# this script has finished.
set -eu

packages="g++-i686-linux-gnu libdeflate-dev:i386 openjdk-17-jre-headless:i386
g++-aarch64-linux-gnu libdeflate-dev:arm64 qemu-user openjdk-17-jre-headless:arm64
g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
wine wine64 wine32:i386"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-cross: missing packages and not root; install them with: dpkg --add-architecture i386 && dpkg --add-architecture arm64 && apt-get update && apt-get install$missing" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
dpkg --add-architecture arm64
apt-get update -q
apt-get install -y -q --no-install-recommends $missing
