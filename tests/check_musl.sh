#!/bin/sh
# Checks that a Linux library of the distribution also loads where the C
# library is musl (Alpine's JVMs): every symbol it needs (weak ones aside)
# is one that musl's libc.so of the library's architecture defines. musl
# answers for libc, libdl and libpthread alike.
#   check_musl.sh LIBRARY
set -u
lib=$1
if [ ! -f "$lib" ]; then
  echo "SKIP: $lib is not built"
  exit 77
fi
case $(readelf -h "$lib" | sed -n 's/.*Machine: *//p') in
  *X86-64*) arch=x86_64 ;;
  *80386*) arch=i386 ;;
  *AArch64*) arch=aarch64 ;;
  *) echo "FAIL: unknown machine of $lib"; exit 1 ;;
esac
musl=/usr/lib/$arch-linux-musl/libc.so
if [ ! -f "$musl" ]; then
  echo "SKIP: no musl for $arch ($musl; tools/install-cross.sh installs it)"
  exit 77
fi
defined=$(mktemp)
trap 'rm -f "$defined"' EXIT
nm -D --defined-only "$musl" | awk '{ print $3 }' | sort -u >"$defined"
needed=$(nm -D --undefined-only "$lib" | awk '$1 == "U" { sub(/@.*/, "", $2); print $2 }' | sort -u)
missing=$(echo "$needed" | comm -23 - "$defined")
echo "symbols needed: $(echo "$needed" | wc -l)"
if [ -n "$missing" ]; then
  echo "FAIL: musl's $arch libc.so lacks: $(echo $missing)"
  exit 1
fi
echo "musl: OK"
