#!/bin/sh
# Installs the cross toolchains and their runners on a Debian 12 machine:
# Linux i386 (with a 32-bit JDK 17), Linux aarch64 (with qemu and the arm64
# JDK 17), and Windows x86-64/i386 (MinGW, static zlib, wine). Does nothing
# when everything is there already. Needs root for apt-get.
#
# Run it before building: adding :i386 or :arm64 packages may upgrade their
# amd64 twins (the JDK included).
set -eu
exec sh "$(dirname "$0")/apt-install.sh" --arch i386 --arch arm64 \
  g++-i686-linux-gnu libdeflate-dev:i386 openjdk-17-jre-headless:i386 \
  g++-aarch64-linux-gnu libdeflate-dev:arm64 qemu-user openjdk-17-jre-headless:arm64 \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev \
  wine wine64 wine32:i386
