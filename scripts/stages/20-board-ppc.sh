#!/usr/bin/env bash
# Board stage: cross-builds the hub's unit tests for the board (32-bit
# big-endian PowerPC; long, pointers and time_t 4 bytes, plain char
# unsigned) in build-ppc/, and runs them under qemu-ppc (the device-socket
# layer included, through the GPIO tests). It catches what the x86-64 build
# cannot: format and width faults, byte-order assumptions, signedness of
# char. Only the unit tests are built and run: the end-to-end suite adds
# minutes under the emulator and nothing the unit tests do not see here.
#
# Installs what it needs (cross compiler, qemu-user, the autotools that
# libconfuse's source needs), then builds the target's libconfuse and
# GoogleTest into $prefix once (scripts/board/).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${HUB_TARGET_PREFIX:-/opt/powerpc-linux-gnu}
build=${BOARD_BUILD_DIR:-$root/build-ppc}

t0=$(date +%s)
phase() { echo "board: $1 ($(( $(date +%s) - t0 )) s)"; }

packages=(g++-powerpc-linux-gnu qemu-user autoconf automake libtool autopoint flex gettext dpkg-dev googletest)
# libconfuse's source needs deb-src entries: add them before the one
# `apt-get update` that installing the packages runs.
if [ ! -f "$prefix/lib/libconfuse.a" ]; then
  "$root/scripts/board/enable-deb-src.sh"
fi
"$root/scripts/install-deps.sh" "${packages[@]}"
"$root/scripts/board/build-libconfuse.sh" "$prefix"
"$root/scripts/board/build-googletest.sh" "$prefix"
phase "tools and target libraries ready"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/powerpc-linux-gnu.cmake" \
  -DHUB_TARGET_PREFIX="$prefix" \
  -DHUB_CONFIG_FILE=hub.conf >/dev/null
ninja -C "$build" hub_unit_tests
phase "cross build done"

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 -R '^unit\.'
phase "tests passed under qemu"
