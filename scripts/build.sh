#!/usr/bin/env bash
# Configures and builds into build/ (Release, tests on).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DGAINWEIGHTS_TESTS=ON >/dev/null
ninja -C "$root/build" -j"$(nproc)"
