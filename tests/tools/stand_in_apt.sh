#!/bin/sh
# Stand-in for apt-get, dpkg, dpkg-query and id (the name it is called by)
# over the folder $FAKE_APT: installed, arches, calls (apt-get's command
# lines), fetch-failures and stale (the architectures a failed update left
# old: apt keeps every index of a release one of whose indexes did not come).
#   FAKE_APT_UNKNOWN  names the archive does not hold
#   FAKE_APT_FLAKY    PACKAGE=N: its download fails N times
#   FAKE_APT_LOST     an architecture whose index does not come
#   FAKE_UID          what id -u says (0)
s=$FAKE_APT
case $(basename "$0") in
  id) echo "${FAKE_UID:-0}"; exit ;;
  dpkg-query) grep -qxF "$3" "$s/installed" && printf 'install ok installed'; exit ;;
  dpkg) case $1 in --add-*) echo "$2" >>"$s/arches" ;; --print-foreign*) cat "$s/arches" ;; *) echo amd64 ;; esac; exit ;;
esac
echo "$*" >>"$s/calls"
arches=$(echo amd64 $(cat "$s/arches"))
while [ "${1#-}" != "$1" ]; do
  case $2 in APT::Architectures=*) arches=$(echo "${2#*=}" | tr , ' ') ;; esac
  [ "$1" = -o ] && shift
  shift
done
if [ "$1" = update ]; then
  others=$(grep -vxF "$(printf '%s\n' $arches)" "$s/stale")
  case " $arches " in *" ${FAKE_APT_LOST:-none} "*) ;; *) printf '%s\n' $others >"$s/stale"; exit 0 ;; esac
  printf '%s\n' $others $arches >"$s/stale"
  echo "E: Failed to fetch http://mirror/dists/stable/main/binary-$FAKE_APT_LOST/Packages.xz  File has unexpected size"
  exit 100
fi
shift
while [ "${1#-}" != "$1" ]; do shift; done
for package in "$@"; do
  case " ${FAKE_APT_UNKNOWN:-} " in *" $package "*) echo "E: Unable to locate package $package"; exit 100 ;; esac
  if [ "${package#*:}" != "$package" ] && grep -qxF "${package#*:}" "$s/stale"; then
    echo " $package : Depends: libc6 (>= 9) but it is not going to be installed"
    exit 100
  fi
  flaky=$(printf '%s\n' ${FAKE_APT_FLAKY:-} | sed -n "s/^$package=//p")
  if [ -n "$flaky" ] && [ "$(grep -cxF "$package" "$s/fetch-failures")" -lt "$flaky" ]; then
    echo "$package" >>"$s/fetch-failures"
    echo "E: Failed to fetch http://mirror/pool/$package.deb  Temporary failure resolving 'mirror'"
    exit 100
  fi
done
printf '%s\n' "$@" >>"$s/installed"
