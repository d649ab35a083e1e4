#!/usr/bin/env bash
# fetch-debian-source.sh PACKAGE: unpacks a library's source from Debian's
# source package PACKAGE into the current folder and prints the source tree's
# folder. The whole source package brings Debian's patches; where the mirror
# serves only the upstream tarball, that is used, and the script says so on
# standard error. Adds deb-src entries once when apt does not know the source
# package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pkg=$1

if ! apt-cache showsrc "$pkg" 2>/dev/null | grep -q "^Package: $pkg\$"; then
  "$here/enable-deb-src.sh"
  apt-get update -qq
fi

if apt-get source -qq "$pkg" >fetch.log 2>&1 && compgen -G "$pkg-*/debian" >/dev/null; then
  echo "$pkg: Debian source package $(basename "$pkg"-*/)" >&2
else
  rm -rf "$pkg"*
  apt-get source -qq --tar-only "$pkg" >fetch.log 2>&1 || { cat fetch.log >&2; exit 1; }
  tar xf "$pkg"_*.orig.tar.*
  echo "$pkg: upstream tarball of Debian's source package (its Debian part could not be fetched)" >&2
fi
echo "$pkg"-*/
