#!/usr/bin/env bash
# Cross-builds libcap (the library only, static) for the board from Debian's
# own source package and installs it with its pkg-config file under the
# target prefix (default /opt/powerpc-linux-gnu), as build-libconfuse.sh does
# for libconfuse. Nothing is done when it is already installed.
set -euo pipefail

prefix=${1:-/opt/powerpc-linux-gnu}
# shellcheck source=scripts/board/debian-source.sh
source "$(dirname "$0")/debian-source.sh"
installed "$prefix" cap && exit 0

enter_source libcap2
# The name table generator runs on this machine (BUILD_CC); no shared
# library, no Go, no PAM module.
quiet make -C "$top/libcap" CROSS_COMPILE=powerpc-linux-gnu- BUILD_CC=gcc SHARED=no GOLANG=no PAM_CAP=no \
  prefix="$prefix" lib=lib install-static-cap
echo "libcap installed in $prefix"
