#!/usr/bin/env bash
# Fails when a binary holds a fused multiply-add instruction: the default
# path's numbers come from separately rounded products and sums only.
#
#   scripts/check-no-fma.sh OBJDUMP FILE...
#
# x86-64: vfmadd*, vfmsub*, vfnmadd*, vfnmsub* (FMA3 and FMA4); aarch64:
# fmla, fmls, fmadd, fmsub, fnmadd, fnmsub (vector and scalar).
set -euo pipefail
objdump=$1
shift
status=0
for f in "$@"; do
  listing=$("$objdump" -d --no-show-raw-insn "$f")
  found=$(grep -E -i '[[:space:]](v?fn?m(add|sub)[a-z0-9]*|fml[as])[[:space:]]' <<<"$listing" || true)
  if [ -n "$found" ]; then
    echo "$f: fused multiply-add instructions:" >&2
    echo "$found" | head -20 >&2
    status=1
  fi
done
exit $status
