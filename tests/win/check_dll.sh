#!/bin/sh
# Checks that a Windows build of the agent library is self-contained and
# exports only the agent's entry points: it may import system DLLs only (no
# MinGW runtime, winpthread or zlib DLL), and its export table names exactly
# Agent_OnLoad, Agent_OnUnload and the four natives, undecorated.
#   check_dll.sh OBJDUMP LIBRARY.dll
set -u
objdump=$1
lib=$2
status=0
fail() { echo "FAIL: $*"; status=1; }

headers=$("$objdump" -p "$lib") || { echo "FAIL: $objdump cannot read $lib"; exit 1; }

imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: *//p' | tr -d '\r')
echo "imports: $(echo $imports)"
[ -n "$imports" ] || fail "no import table found"
for dll in $imports; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|shell32.dll|advapi32.dll|user32.dll|ws2_32.dll|ntdll.dll|ole32.dll|shlwapi.dll|api-ms-win-*.dll) ;;
    *) fail "unexpected import of $dll" ;;
  esac
done

exports=$(printf '%s\n' "$headers" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] *//p' | sort | tr '\n' ' ')
echo "exports: $exports"
expected=$(sort "$(dirname "$0")/../expected_exports.txt" | tr '\n' ' ')
[ "$exports" = "$expected" ] || fail "exported symbols are '$exports', expected '$expected'"

[ $status -eq 0 ] && echo "DLL contents: OK"
exit $status
