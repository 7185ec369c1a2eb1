#!/bin/sh
# Installs what the build and the tests need on a fresh Debian 12 machine, and
# nothing when it is all there already. Needs root for apt-get.
set -eu
exec sh "$(dirname "$0")/apt-install.sh" cmake ninja-build g++ make binutils googletest libgtest-dev libgmock-dev \
  openjdk-17-jdk-headless libdeflate-dev libbenchmark-dev clang-14 libclang-rt-14-dev zip unzip patchelf
