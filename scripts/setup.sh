#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing, benchmarking and
# emulating need. Safe to run again: apt skips what is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libusb-1.0-0-dev libudev-dev
  umockdev libumockdev-dev libglib2.0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth desktop-file-utils appstream
  dpkg-dev file
  clang-14 libclang-rt-14-dev   # the fuzz preset: libFuzzer, ASan, UBSan
  clang-format-14 codespell     # layout and spelling checks
  dbus python3-dbusmock         # a private bus with a mock logind, for the inhibitor tests
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
