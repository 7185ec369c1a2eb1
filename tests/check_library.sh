#!/bin/sh
# Checks that the shipped library is self-contained: it needs nothing but the
# C library and the loader, exports only the agent's entry points, and can
# never be unloaded.
set -u
lib=$1
status=0
fail() { echo "FAIL: $*"; status=1; }

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $(echo $needed)"
for dep in $needed; do
  case $dep in
    libc.so.6|libm.so.6|libdl.so.2|libpthread.so.0|ld-linux-*.so.*|ld-linux.so.2) ;;
    *) fail "unexpected dependency $dep" ;;
  esac
done

exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
echo "exports: $exports"
expected=$(sort "$(dirname "$0")/expected_exports.txt" | tr '\n' ' ')
[ "$exports" = "$expected" ] || fail "exported symbols are '$exports', expected '$expected'"

readelf -d "$lib" | grep -q 'NODELETE' || fail "library is not marked NODELETE"
readelf -d "$lib" | grep -q 'TEXTREL' && fail "library has text relocations"

floor=$(objdump -T "$lib" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
echo "glibc floor: $floor"

[ $status -eq 0 ] && echo "library contents: OK"
exit $status
