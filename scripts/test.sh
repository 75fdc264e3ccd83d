#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh            default build (build/)
#   scripts/test.sh asan       ASan + UBSan build (build-asan/)
#   scripts/test.sh tsan       TSan build (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
