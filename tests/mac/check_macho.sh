#!/bin/sh
# Checks a macOS dylib without a Mac: a 64-bit Mach-O dynamic library of the
# CPU type given, that exports exactly the agent's six entry points (no C++
# runtime symbol among them), loads nothing but libSystem, and imports only
# what libSystem's stub defines.
#   check_macho.sh DYLIB X86_64|ARM64 LIBSYSTEM_TBD
set -u
lib=$1 cpu=$2 tbd=$3
status=0
fail() { echo "FAIL: $*"; status=1; }
[ -f "$lib" ] || { echo "FAIL: $lib is not built"; exit 1; }

header=$(llvm-objdump --macho --private-header "$lib" | awk '$1 == "MH_MAGIC_64" { print $2, $5 }')
echo "header: $header"
[ "$header" = "$cpu DYLIB" ] || fail "not a $cpu dynamic library: '$header'"

exports=$(llvm-objdump --macho --exports-trie "$lib" | awk '/^0x/ { print $2 }' | sort | tr '\n' ' ')
echo "exports: $exports"
expected=$(sed 's/^/_/' "$(dirname "$0")/../expected_exports.txt" | sort | tr '\n' ' ')
[ "$exports" = "$expected" ] || fail "exported symbols are '$exports', expected '$expected'"

# The list names the library's own identity too.
identity=$(llvm-objdump --macho --dylib-id "$lib" | sed -n '2p')
dylibs=$(llvm-objdump --macho --dylibs-used "$lib" | sed -n '2,$p' | awk -v self="$identity" '$1 != self { print $1 }' |
  tr '\n' ' ')
echo "loads: $dylibs"
[ "$dylibs" = "/usr/lib/libSystem.B.dylib " ] || fail "loads more than libSystem: $dylibs"

# Every undefined symbol must be one the system library defines.
defined=$(mktemp)
trap 'rm -f "$defined"' EXIT
grep -o "[A-Za-z0-9_\$.]*" "$tbd" | sort -u >"$defined"
missing=$(llvm-nm -u "$lib" | awk '{ print $NF }' | sort -u | comm -23 - "$defined" | tr '\n' ' ')
echo "undefined symbols: $(llvm-nm -u "$lib" | wc -l)"
[ -z "$missing" ] || fail "symbols libSystem does not define: $missing"

[ $status -eq 0 ] && echo "macOS library contents: OK"
exit $status
