#!/bin/sh
# The C and C++ compiler of the macOS targets: Zig's clang (from the npm
# package that tools/install-cross.sh installs), with its macOS headers. A
# dynamic library is linked with Debian's ld64.lld against Zig's libSystem
# stub and its libc++, built once per target: Zig's own Mach-O linker (0.11)
# knows no -exported_symbols_list and would export all of libc++.
#   macos-cc.sh ZIG_TARGET cc|c++ COMPILER ARGUMENTS...
set -eu
target=$1 language=$2
shift 2
base=${TARSIL_CROSS_HOME:-/opt/tarsil-cross}
zig=$base/zig-0.11.0/zig
cache=$base/zig-cache/$target
export ZIG_GLOBAL_CACHE_DIR="$cache" ZIG_LOCAL_CACHE_DIR="$cache"
case $target in
  x86_64-*) arch=x86_64 ;;
  aarch64-*) arch=arm64 ;;
  *) echo "macos-cc.sh: unknown target $target" >&2; exit 2 ;;
esac
minimum=11.0

link_dylib=0
for argument; do
  case $argument in -dynamiclib|-shared) link_dylib=1 ;; esac
done
if [ $link_dylib = 0 ]; then
  # CMake's compiler probe asks the linker to be verbose, which Zig refuses.
  set -- "$@" --end
  while [ "$1" != --end ]; do
    [ "$1" = -Wl,-v ] || set -- "$@" "$1"
    shift
  done
  shift
  exec "$zig" "$language" -target "$target.$minimum" "$@"
fi

# libc++, libc++abi and compiler-rt for the target, as Zig builds them when
# it links a C++ library itself; made once, under a lock.
runtime=$cache/runtime
if [ ! -f "$runtime/done" ]; then
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock 9
  if [ ! -f "$runtime/done" ]; then
    work=$(mktemp -d)
    echo 'int tarsil_runtime_probe() { return 0; }' >"$work/probe.cpp"
    "$zig" c++ -target "$target.$minimum" -shared -o "$work/probe.dylib" "$work/probe.cpp"
    mkdir -p "$runtime"
    for archive in libc++.a libc++abi.a libcompiler_rt.a; do
      found=$(find "$cache/o" -name "$archive" | head -1)
      [ -n "$found" ] || { echo "macos-cc.sh: Zig built no $archive" >&2; exit 1; }
      cp "$found" "$runtime/$archive"
    done
    rm -rf "$work"
    touch "$runtime/done"
  fi
  exec 9>&-
fi

# The link line as the compiler driver got it, for ld64.lld: objects and
# archives, -o, -install_name and the -Wl, options pass; compiler flags go.
set -- "$@" --end
output=
while [ "$1" != --end ]; do
  argument=$1
  shift
  case $argument in
    -o) output=$1; shift ;;
    -install_name|-compatibility_version|-current_version) set -- "$@" "$argument" "$1"; shift ;;
    -arch|-isysroot|-target) shift ;;
    -Wl,*)
      options=${argument#-Wl,}
      old_ifs=$IFS; IFS=,
      for option in $options; do set -- "$@" "$option"; done
      IFS=$old_ifs ;;
    *.o|*.a|*.tbd) set -- "$@" "$argument" ;;
    *) ;;
  esac
done
shift
# Named as a library a JVM loads by path: no build folder in its identity.
case " $* " in
  *" -install_name "*) ;;
  *) set -- -install_name "@rpath/$(basename "$output")" "$@" ;;
esac
exec ld64.lld-14 -dylib -arch "$arch" -platform_version macos "$minimum" "$minimum" -o "$output" "$@" \
  "$runtime/libc++.a" "$runtime/libc++abi.a" "$runtime/libcompiler_rt.a" "$base/zig-0.11.0/lib/libc/darwin/libSystem.11.tbd"
