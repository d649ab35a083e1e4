#!/usr/bin/env bash
# Unpacks libconfuse's source from Debian's source package into the current
# folder and prints the source tree's folder. The whole source package brings
# Debian's patches; where the mirror serves only the upstream tarball, that
# is used, and the script says so on standard error. Adds deb-src entries
# once when apt does not know the source package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if ! apt-cache showsrc libconfuse 2>/dev/null | grep -q '^Package: libconfuse'; then
  "$here/enable-deb-src.sh"
  apt-get update -qq
fi

if apt-get source -qq libconfuse >fetch.log 2>&1 && compgen -G 'libconfuse-*/debian' >/dev/null; then
  echo "libconfuse: Debian source package $(basename libconfuse-*/)" >&2
else
  rm -rf libconfuse*
  apt-get source -qq --tar-only libconfuse >fetch.log 2>&1 || { cat fetch.log >&2; exit 1; }
  tar xf libconfuse_*.orig.tar.*
  echo "libconfuse: upstream tarball of Debian's source package (its Debian part could not be fetched)" >&2
fi
echo libconfuse-*/
