#!/usr/bin/env bash
#   fuzz/build-libconfuse.sh PREFIX CC "CFLAGS"
# Builds libconfuse from Debian's source package (or its upstream tarball when
# that is all the mirror serves) with the given instrumentation, static, into
# PREFIX (include/, lib/, lib/pkgconfig/), once. A build configured with
# PKG_CONFIG_PATH=PREFIX/lib/pkgconfig links it instead of the shared library,
# so the configuration harness is guided by the parser's own code and its
# memory errors are caught. Needs flex and deb-src entries (scripts/board/).
set -euo pipefail

prefix=$1
cc=$2
cflags=$3
# shellcheck source=scripts/board/debian-source.sh
source "$(dirname "$0")/../scripts/board/debian-source.sh"
installed "$prefix" confuse && exit 0

enter_source libconfuse
src=$top/src
version=$(sed -n 's/^AC_INIT([^,]*, *\([0-9.]*\).*/\1/p' "$top/configure.ac")

# What configure would find on Debian 12, as compile definitions.
defs=(-D_GNU_SOURCE -DHAVE_UNISTD_H -DHAVE_STRING_H -DHAVE_STRINGS_H -DHAVE_SYS_STAT_H
      -DHAVE_FMEMOPEN -DHAVE_REALLOCARRAY -DHAVE_STRCASECMP -DHAVE_STRDUP -DHAVE_STRNDUP
      -DHAVE_SETENV -DHAVE_UNSETENV
      "-DPACKAGE=\"confuse\"" "-DPACKAGE_VERSION=\"$version\"" "-DPACKAGE_STRING=\"libConfuse $version\""
      "-DLOCALEDIR=\"/usr/share/locale\"")
flex -Pcfg_yy -o "$src/lexer.c" "$src/lexer.l"
# A simple option is stored through a pointer to the library's value union
# aimed at the caller's 4-byte variable: "misaligned" by the sanitizer's rules,
# though the store is the variable's size. The library alone skips that check.
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
