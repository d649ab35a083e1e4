#!/usr/bin/env bash
# The unit tests cross-built for the board (32-bit big-endian PowerPC, 4-byte
# long and time_t, unsigned char) and run under qemu-ppc: byte order, widths,
# formats and signedness the x86-64 build cannot show; and the board's hub
# links. The target's libconfuse, libcap and GoogleTest are built into
# $prefix once (scripts/board/).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${HUB_TARGET_PREFIX:-/opt/powerpc-linux-gnu}
build=${BOARD_BUILD_DIR:-$root/build-ppc}

t0=$(date +%s)
phase() { echo "board: $1 ($(( $(date +%s) - t0 )) s)"; }

packages=(g++-powerpc-linux-gnu qemu-user autoconf automake libtool autopoint flex gettext dpkg-dev googletest)
# The libraries' sources need deb-src entries before the install's `apt-get update`.
if [ ! -f "$prefix/lib/libconfuse.a" ] || [ ! -f "$prefix/lib/libcap.a" ]; then
  "$root/scripts/board/enable-deb-src.sh"
fi
"$root/scripts/install-deps.sh" "${packages[@]}"
"$root/scripts/board/build-libconfuse.sh" "$prefix"
"$root/scripts/board/build-libcap.sh" "$prefix"
"$root/scripts/board/build-googletest.sh" "$prefix"
phase "tools and target libraries ready"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/powerpc-linux-gnu.cmake" \
  -DHUB_TARGET_PREFIX="$prefix" \
  -DHUB_CONFIG_FILE=hub.conf >/dev/null
ninja -C "$build" hub hub_unit_tests
phase "cross build done"

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 -R '^unit\.'
phase "tests passed under qemu"
