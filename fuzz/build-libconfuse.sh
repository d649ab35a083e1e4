#!/usr/bin/env bash
# Builds libconfuse, the hub's configuration parser, from Debian's source
# package with the fuzzing build's instrumentation (coverage and sanitizers),
# static, into PREFIX: include/confuse.h, lib/libconfuse.a and
# lib/pkgconfig/libconfuse.pc. A fuzzing build configured with
# PKG_CONFIG_PATH=PREFIX/lib/pkgconfig links it instead of Debian's shared
# library, so the configuration harness is guided by the parser's own code and
# its memory errors are caught. Nothing is done when PREFIX already has it.
#
#   fuzz/build-libconfuse.sh PREFIX CC "CFLAGS"
#
# Needs flex, and deb-src entries for `apt-get source` (added as the board
# stage adds them). The mirror may serve only the upstream tarball of the
# source package; that is what is built then (Debian's own patches are not
# applied), and the script says so.
set -euo pipefail

prefix=$1
cc=$2
cflags=$3
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -f "$prefix/lib/libconfuse.a" ] && [ -f "$prefix/lib/pkgconfig/libconfuse.pc" ]; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
top=$("$root/scripts/board/fetch-libconfuse-source.sh")
src=$top/src
version=$(sed -n 's/^AC_INIT([^,]*, *\([0-9.]*\).*/\1/p' "$top/configure.ac")

# What configure would find on Debian 12, as compile definitions.
defs=(-D_GNU_SOURCE -DHAVE_UNISTD_H -DHAVE_STRING_H -DHAVE_STRINGS_H -DHAVE_SYS_STAT_H
      -DHAVE_FMEMOPEN -DHAVE_REALLOCARRAY -DHAVE_STRCASECMP -DHAVE_STRDUP -DHAVE_STRNDUP
      -DHAVE_SETENV -DHAVE_UNSETENV
      "-DPACKAGE=\"confuse\"" "-DPACKAGE_VERSION=\"$version\"" "-DPACKAGE_STRING=\"libConfuse $version\""
      "-DLOCALEDIR=\"/usr/share/locale\"")
flex -Pcfg_yy -o "$src/lexer.c" "$src/lexer.l"
# A simple option (CFG_SIMPLE_BOOL and its kin) is stored through a pointer
# to the library's value union aimed at the caller's own variable: for a
# 4-byte cfg_bool_t that is a "misaligned" member access by the sanitizer's
# rules, though the store itself is the variable's size. That is how the
# library works for every caller, so its alignment check is left out here,
# for the library alone.
# shellcheck disable=SC2086  # CFLAGS is a list of flags
"$cc" $cflags -fno-sanitize=alignment "${defs[@]}" -I"$src" -c "$src/confuse.c" -o confuse.o
# shellcheck disable=SC2086
"$cc" $cflags -fno-sanitize=alignment "${defs[@]}" -I"$src" -c "$src/lexer.c" -o lexer.o

mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
ar rcs "$prefix/lib/libconfuse.a" confuse.o lexer.o
cp "$src/confuse.h" "$prefix/include/"
cat > "$prefix/lib/pkgconfig/libconfuse.pc" <<PC
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: confuse
Version: $version
Description: configuration file parser library (instrumented for fuzzing)
Libs: -L\${libdir} -lconfuse
Cflags: -I\${includedir}
PC
echo "libconfuse $version instrumented in $prefix"
