#!/usr/bin/env bash
# Builds Kestal and runs its main job, `kestal demo`, on the embedded engine.
# Extra arguments go to the demo (see `kestal demo --help`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKESTAL_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target kestal_tool
exec build-release/kestal demo "$@"
