#!/bin/sh
# Stand-in for apt-get, apt-cache and apt-helper (the name it is called by)
# over the folder $FAKE_APT: versions (one source version a line, of the
# package "pkg") and mirror (the files the mirror serves); downloads gets a
# line per file asked for.
s=$FAKE_APT
command=$(basename "$0")
while [ "${1#-}" != "$1" ]; do
  [ "$1" = -o ] && shift
  shift
done
case $command/$1 in
  apt-get/update) exit 0 ;;
  apt-cache/showsrc)
    [ "$2" = pkg ] || exit 100
    sed 's/^/Package: pkg\nVersion: /' "$s/versions"
    ;;
  apt-get/source)
    version=${3#pkg=}
    grep -qxF "$version" "$s/versions" || { echo "E: Can not find version '$version' of package 'pkg'"; exit 100; }
    file=pkg_${version%-*}.orig.tar.xz
    hash=$(cat "$s/mirror/$file" 2>/dev/null | sha256sum | cut -d ' ' -f 1)
    echo "'http://mirror/pool/pkg_$version.dsc' pkg_$version.dsc 100 SHA256:0"
    echo "'http://mirror/pool/$file' $file 1048576 SHA256:$hash"
    ;;
  apt-helper/download-file)
    file=$(basename "$2")
    echo "$file" >>"$s/downloads"
    [ -f "$s/mirror/$file" ] || { echo "E: Failed to fetch $2  404  Not Found"; exit 100; }
    cp "$s/mirror/$file" "$3"
    ;;
  *) echo "stand-in: unexpected $command $*"; exit 100 ;;
esac
