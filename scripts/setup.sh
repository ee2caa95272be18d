#!/usr/bin/env bash
# Install everything the driver needs to build, test, benchmark and run its
# demo on a fresh Debian machine. Safe to run again. With package names
# given (scripts/check-pappl.sh does), installs those instead.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libcups2-dev libpng-dev libjpeg-dev libgtest-dev libbenchmark-dev
  clang libclang-rt-dev
  cups cups-client cups-filters cups-ppdc ghostscript poppler-utils
  valgrind time curl
  libtasn1-doc
  libpappl-dev libpam0g-dev dpkg-dev lintian systemd man-db
  cups-ipp-utils python3 imagemagick iproute2 procps
)
[ $# -eq 0 ] || packages=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
