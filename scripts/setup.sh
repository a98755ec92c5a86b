#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing,
# and any further packages named as arguments. --cross adds what
# scripts/cross-test.sh needs: the aarch64 cross compiler, qemu-user and
# googletest's sources. --runtime installs only what running a built
# gainweights needs (on a machine that runs a copy built elsewhere, or
# after cmake --install), and R for the R function in contrib/R.
#
#   scripts/setup.sh [--cross | --runtime] [PACKAGE...]
set -euo pipefail
# OpenMPI and MUMPS's MPI build: the distributed sparse path (--distributed);
# cairo: the picture of the candidates; R: the test of the R function.
pkgs=(g++ cmake ninja-build libgtest-dev libbenchmark-dev libsuitesparse-dev libopenblas-openmp-dev pkg-config
  libcairo2-dev openmpi-bin libopenmpi-dev libmumps-dev r-base-core)
if [ "${1:-}" = "--cross" ]; then
  pkgs+=(g++-aarch64-linux-gnu qemu-user googletest)
  shift
elif [ "${1:-}" = "--runtime" ]; then
  pkgs=(libstdc++6 libgomp1 libopenblas0-openmp libcholmod3 libcairo2 libmumps-5.5 libopenmpi3 openmpi-bin
    r-base-core)
  shift
fi
pkgs+=("$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
