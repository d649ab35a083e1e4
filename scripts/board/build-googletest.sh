#!/usr/bin/env bash
# Cross-builds GoogleTest and GoogleMock for the board from the sources
# Debian's googletest package ships in /usr/src/googletest, and installs them
# under the target prefix (default /opt/powerpc-linux-gnu), where
# find_package(GTest) of a board build finds them. Nothing is done when they
# are already installed.
set -euo pipefail

prefix=${1:-/opt/powerpc-linux-gnu}
root=$(cd "$(dirname "$0")/../.." && pwd)

if [ -f "$prefix/lib/libgtest.a" ] && [ -f "$prefix/lib/libgmock.a" ] \
   && [ -d "$prefix/lib/cmake/GTest" ]; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quiet() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; echo "failed: $*" >&2; exit 1; }; }

quiet cmake -S /usr/src/googletest -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/powerpc-linux-gnu.cmake" \
  -DHUB_TARGET_PREFIX="$prefix" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_INSTALL_LIBDIR=lib
quiet cmake --build "$work/build"
quiet cmake --install "$work/build"
echo "GoogleTest installed in $prefix"
