#!/usr/bin/env bash
# Cross-builds the dense kernels, the candidate stage's register tiles and
# their tests for aarch64 (Debian's g++-aarch64-linux-gnu, googletest from
# its sources) into build-aarch64/ and runs the tests under qemu-user, so
# that the NEON kernels are compared bit for bit with the plain forms on a
# machine without an ARM processor. Installs what it needs when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" --cross
build="$root/build-aarch64"
sysroot=/usr/aarch64-linux-gnu
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
  -DCMAKE_FIND_ROOT_PATH="$sysroot" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
  -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64;-L;$sysroot" \
  -DGAINWEIGHTS_KERNELS_ONLY=ON >/dev/null
ninja -C "$build" -j"$(nproc)" test_kernels
# Small orders only: the large-order inversion test takes minutes under
# emulation and adds no case the others miss.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" -E MatchesPlainOnLargeOrders
