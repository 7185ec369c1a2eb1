#!/bin/sh
# Removes a Linux library's NEEDED entry for glibc's dynamic loader
# (ld-linux*.so.*), which musl's loader cannot satisfy.
#   drop-loader-dependency.sh PATCHELF LIBRARY
set -eu
patchelf=$1 library=$2
for needed in $("$patchelf" --print-needed "$library"); do
  case $needed in
    ld-linux*) "$patchelf" --remove-needed "$needed" "$library" ;;
  esac
done
