#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the updater needs.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  libusb-1.0-0-dev
  umockdev libumockdev-dev
  usbip
  clang-14 libclang-rt-14-dev libfuzzer-14-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup: installed ${missing[*]}"
