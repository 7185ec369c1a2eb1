#!/bin/sh
# Checks that the shipped library is self-contained: it needs nothing but the
# C library and the loader, exports only the agent's entry points, and can
# never be unloaded; with a glibc version, that it needs no symbol version
# of the C library newer than that.
#   check_library.sh LIBRARY [GLIBC_FLOOR]
set -u
lib=$1
max_glibc=${2:-}
if [ ! -f "$lib" ]; then
  echo "SKIP: $lib is not built"
  exit 77
fi
status=0
fail() { echo "FAIL: $*"; status=1; }

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $(echo $needed)"
for dep in $needed; do
  case $dep in
    libc.so.6|libm.so.6|libdl.so.2|libpthread.so.0) ;;
    # musl's loader (Alpine) cannot satisfy glibc's loader by name.
    ld-linux*) fail "depends on glibc's loader $dep" ;;
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
if [ -n "$max_glibc" ]; then
  newer=$(objdump -T "$lib" | awk '/GLIBC_/ { print $(NF-1), $NF }' | tr -d '()' | sed 's/^GLIBC_//' |
    while read -r version symbol; do
      [ "$(printf '%s\n%s\n' "$version" "$max_glibc" | sort -V | tail -1)" = "$max_glibc" ] ||
        echo "$symbol@GLIBC_$version"
    done)
  [ -z "$newer" ] || fail "needs symbol versions newer than GLIBC_$max_glibc: $(echo $newer)"
fi

# Shipped stripped, with its debug information in the .debug file it names.
readelf -S "$lib" | grep -q '\.debug_info' && fail "library is not stripped"
readelf -S "$lib" | grep -q '\.gnu_debuglink' || fail "library names no .debug file"

[ $status -eq 0 ] && echo "library contents: OK"
exit $status
