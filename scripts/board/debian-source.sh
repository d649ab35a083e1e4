# shellcheck shell=bash
# Sourced by the scripts that build a library from Debian's source package.
#   installed PREFIX LIB    true when PREFIX holds libLIB.a and its pkg-config
#                           file: the build is then done already
#   enter_source PACKAGE    moves into a fresh work folder, removed on exit,
#                           and unpacks PACKAGE's source there; sets `work` and
#                           `top` (the source tree)
#   quiet CMD...            runs CMD, showing its output only when it fails
# The whole source package brings Debian's patches; where the mirror serves
# only the upstream tarball, that is used, and enter_source says so on
# standard error. deb-src entries are added once when apt does not know the
# source package.

debian_source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

installed() { [ -f "$1/lib/lib$2.a" ] && [ -f "$1/lib/pkgconfig/lib$2.pc" ]; }

quiet() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; echo "failed: $*" >&2; exit 1; }; }

enter_source() {
  local pkg=$1
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cd "$work" || exit 1
  if ! apt-cache showsrc "$pkg" 2>/dev/null | grep -q "^Package: $pkg\$"; then
    "$debian_source_dir/enable-deb-src.sh"
    apt-get update -qq
  fi
  if apt-get source -qq "$pkg" >fetch.log 2>&1 && compgen -G "$pkg-*/debian" >/dev/null; then
    echo "$pkg: Debian source package $(basename "$pkg"-*/)" >&2
  else
    rm -rf "$pkg"*
    apt-get source -qq --tar-only "$pkg" >fetch.log 2>&1 || { cat fetch.log >&2; exit 1; }
    tar xf "$pkg"_*.orig.tar.*
    echo "$pkg: upstream tarball of Debian's source package (its Debian part could not be fetched)" >&2
  fi
  # shellcheck disable=SC2034  # the caller's
  top=$(echo "$work/$pkg"-*/)
}
