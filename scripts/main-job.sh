#!/usr/bin/env bash
# The main job: an emulated chip upgraded end to end by the real QuorvelCLI,
# through the real libusb, with the emulator's verdict on the flash.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target QuorvelCLI quorvel-emulate

mkdir -p build/demo
firmware="build/demo/sample firmware.bin"
./build/bin/quorvel-emulate --make-firmware "$firmware"
./build/bin/quorvel-emulate -- ./build/bin/QuorvelCLI --firmware "$firmware"
