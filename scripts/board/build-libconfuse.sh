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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
src=$("$here/fetch-debian-source.sh" libconfuse)

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
