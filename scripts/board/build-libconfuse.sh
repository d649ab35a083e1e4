#!/usr/bin/env bash
# Cross-builds libconfuse for the board from Debian's own source package and
# installs it, static only, under the target prefix (default
# /opt/powerpc-linux-gnu), where the board toolchain file finds it through
# pkg-config. Debian ships no PowerPC build of it on this architecture.
# Nothing is done when it is already installed. Needs the cross compiler,
# autoconf, automake, libtool, autopoint, flex and gettext (the board stage
# installs them).
set -euo pipefail

prefix=${1:-/opt/powerpc-linux-gnu}
host=powerpc-linux-gnu
here=$(cd "$(dirname "$0")" && pwd)

if [ -f "$prefix/lib/libconfuse.a" ] && [ -f "$prefix/lib/pkgconfig/libconfuse.pc" ]; then
  exit 0
fi

# The source needs deb-src entries; add them once if apt does not know it.
if ! apt-cache showsrc libconfuse 2>/dev/null | grep -q '^Package: libconfuse'; then
  "$here/enable-deb-src.sh"
  apt-get update -qq
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The whole source package brings Debian's patches; where the mirror serves
# only the upstream tarball, build that.
if apt-get source -qq libconfuse >log 2>&1 && [ -d libconfuse-*/ ]; then
  src=$(echo libconfuse-*/)
  echo "libconfuse: Debian source package $(basename "$src")"
else
  rm -rf libconfuse*
  apt-get source -qq --tar-only libconfuse >log 2>&1 || { cat log >&2; exit 1; }
  tar xf libconfuse_*.orig.tar.*
  src=$(echo libconfuse-*/)
  echo "libconfuse: upstream tarball of Debian's source package (its Debian part could not be fetched)"
fi

# Each step's output goes to a log, shown only when the step fails.
quiet() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; echo "failed: $*" >&2; exit 1; }; }
cd "$src"
quiet autoreconf -fi
quiet ./configure --host="$host" --prefix="$prefix" \
  --enable-static --disable-shared --disable-nls --disable-examples
# Only the library and its pkg-config file: the docs need doxygen, the
# tests would have to run on the target.
quiet make -C src -j "$(nproc)"
quiet make -C src install
quiet make install-pkgconfigDATA
echo "libconfuse installed in $prefix"
