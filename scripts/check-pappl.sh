#!/usr/bin/env bash
# Build and test the printer application against another PAPPL than the
# distribution's: PAPPL is built from its source tarball into a private
# prefix (nothing is installed system-wide), this checkout is built against
# it in a build folder of its own, and the application's tests run there.
# For newer distributions and snaps, which ship PAPPL 1.4.
#
#   scripts/check-pappl.sh PAPPL-TARBALL [PREFIX] [-- CTEST-ARGUMENTS...]
#
# PREFIX is where PAPPL goes (default $TMPDIR/pappl-VERSION); a prefix that
# already holds that version is used as it is. The build folder is
# build-pappl-VERSION beside build/. The tests are the app label by default
# (ctest -L app -j2); arguments after -- replace that. The -dev packages
# PAPPL's configure needs are installed with scripts/setup.sh when missing
# (as root, or with sudo).
set -euo pipefail

usage() {
  echo "usage: $0 PAPPL-TARBALL [PREFIX] [-- CTEST-ARGUMENTS...]" >&2
  exit 2
}

main() {
[ $# -ge 1 ] || usage
tarball=$(realpath "$1")
shift
[ -f "$tarball" ] || { echo "$0: no file $tarball" >&2; exit 2; }
version=$(basename "$tarball" | sed -n 's/^pappl-\([0-9][0-9.]*\)\.tar\.gz$/\1/p')
[ -n "$version" ] || { echo "$0: $tarball is not named pappl-VERSION.tar.gz" >&2; exit 2; }
prefix=${TMPDIR:-/tmp}/pappl-$version
if [ $# -ge 1 ] && [ "$1" != "--" ]; then
  prefix=$1
  shift
fi
tests=(-L app -j2)
if [ $# -ge 1 ]; then
  [ "$1" = "--" ] || usage
  shift
  tests=("$@")
fi
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-pappl-$version

# What PAPPL's configure looks for, as Debian names it.
packages=(build-essential pkg-config libcups2-dev libjpeg-dev libpng-dev libusb-1.0-0-dev
  libgnutls28-dev libavahi-client-dev libpam0g-dev zlib1g-dev)
bash "$top/scripts/setup.sh" "${packages[@]}"

if [ "$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion pappl 2>/dev/null)" != "$version" ] ||
   [ "$(pkg-config --variable=prefix "$prefix/lib/pkgconfig/pappl.pc" 2>/dev/null)" != "$prefix" ]; then
  echo "== PAPPL $version into $prefix"
  src=$(mktemp -d "${TMPDIR:-/tmp}/pappl-src.XXXXXX")
  trap 'rm -rf "$src"' EXIT
  tar -xzf "$tarball" -C "$src"
  # State and sockets where Debian's PAPPL keeps them, so that a server
  # run as root behaves as it does with the distribution's library.
  (cd "$src/pappl-$version" &&
    ./configure --prefix="$prefix" --libdir="$prefix/lib" --with-dnssd=avahi --with-tls=gnutls \
      --with-papplstatedir=/var --with-papplsockdir=/run --disable-static >"$src/configure.log" 2>&1 ||
      { tail -n 40 "$src/configure.log"; exit 1; }
    nice -n 19 make -j2 -C pappl >"$src/make.log" 2>&1 || { tail -n 40 "$src/make.log"; exit 1; }
    make -C pappl install >"$src/install.log" 2>&1 || { tail -n 40 "$src/install.log"; exit 1; })
fi

echo "== the application against PAPPL $version ($build)"
# The build folder's programs find this PAPPL through their RPATH.
PKG_CONFIG_PATH=$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH} \
  cmake -S "$top" -B "$build" -G Ninja >"$prefix/cmake.log" 2>&1 || { tail -n 40 "$prefix/cmake.log"; exit 1; }
grep -q "^PAPPL_VERSION:INTERNAL=$version$" "$build/CMakeCache.txt" ||
  { echo "$0: the build found another PAPPL than $version" >&2; exit 1; }
nice -n 19 ninja -C "$build" -j2
echo "== tests: ctest ${tests[*]}"
nice -n 19 ctest --test-dir "$build" --output-on-failure "${tests[@]}"
}

main "$@"
