#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing,
# and any further packages named as arguments.
set -euo pipefail
# OpenMPI and MUMPS's MPI build: the distributed sparse path (--distributed).
pkgs=(g++ cmake ninja-build libgtest-dev libbenchmark-dev libsuitesparse-dev libopenblas-openmp-dev
  openmpi-bin libopenmpi-dev libmumps-dev "$@")
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
