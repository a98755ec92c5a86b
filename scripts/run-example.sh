#!/usr/bin/env bash
# Builds the program and runs it on a copy of a bundled example
# (default: examples/herd), then shows the result file. An example that
# holds herd.txt (a pedigree with text identifiers) is prepared first.
#
#   scripts/run-example.sh [--sparse] [EXAMPLE]
#
# --sparse runs the example on the sparse path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
args=()
if [ "${1:-}" = "--sparse" ]; then
  args+=(--sparse)
  shift
fi
example=${1:-herd}
"$root/scripts/build.sh" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/examples/$example/GParameter.csv" "$work/"
if [ -f "$root/examples/$example/herd.txt" ]; then
  cp "$root/examples/$example/herd.txt" "$work/"
  (cd "$work" && "$root/build/gainweights" prepare herd.txt)
  echo
else
  cp "$root/examples/$example/Pedigree&Record.csv" "$work/"
fi
cd "$work"
status=0
"$root/build/gainweights" "${args[@]}" || status=$?
if [ -f Weighted_value.csv ]; then
  echo "--- Weighted_value.csv"
  cat Weighted_value.csv
fi
exit $status
