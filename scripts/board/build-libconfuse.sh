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
# shellcheck source=scripts/board/debian-source.sh
source "$(dirname "$0")/debian-source.sh"
installed "$prefix" confuse && exit 0

enter_source libconfuse
cd "$top"
quiet autoreconf -fi
quiet ./configure --host="$host" --prefix="$prefix" \
  --enable-static --disable-shared --disable-nls --disable-examples
# Only the library and its pkg-config file: the docs need doxygen, the
# tests would have to run on the target.
quiet make -C src -j "$(nproc)"
quiet make -C src install
quiet make install-pkgconfigDATA
echo "libconfuse installed in $prefix"
