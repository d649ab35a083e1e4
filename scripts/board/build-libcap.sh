#!/usr/bin/env bash
# Cross-builds libcap (the library only, static) for the board from Debian's
# own source package and installs it with its pkg-config file under the
# target prefix (default /opt/powerpc-linux-gnu), as build-libconfuse.sh does
# for libconfuse. Nothing is done when it is already installed.
set -euo pipefail

prefix=${1:-/opt/powerpc-linux-gnu}
here=$(cd "$(dirname "$0")" && pwd)

if [ -f "$prefix/lib/libcap.a" ] && [ -f "$prefix/lib/pkgconfig/libcap.pc" ]; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
src=$("$here/fetch-debian-source.sh" libcap2)
quiet() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; echo "failed: $*" >&2; exit 1; }; }
# The name table generator runs on this machine (BUILD_CC); no shared
# library, no Go, no PAM module.
quiet make -C "$src/libcap" CROSS_COMPILE=powerpc-linux-gnu- BUILD_CC=gcc SHARED=no GOLANG=no PAM_CAP=no \
  prefix="$prefix" lib=lib install-static-cap
echo "libcap installed in $prefix"
