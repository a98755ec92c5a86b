#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#
#   fuzz/run-fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); TARGET is reader, run or both (default).
# The corpus grows in build-fuzz/corpus/TARGET and is kept between runs; it
# starts from the example files, the end-to-end fixtures and the saved
# inputs of tests/data/hostile/TARGET. A crashing input lands in
# build-fuzz/artifacts/, and the script then ends with status 1: save it in
# tests/data/hostile/TARGET/ (the regression tests replay every file there)
# once the fault is fixed. Set GAINWEIGHTS_FUZZ_BUILD to use another folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(reader run)
build=${GAINWEIGHTS_FUZZ_BUILD:-$root/build-fuzz}

# clang 14 with the libFuzzer and sanitizer runtimes, and libomp for clang's
# OpenMP.
"$root/scripts/setup.sh" clang-14 libclang-rt-14-dev libomp-14-dev

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DGAINWEIGHTS_FUZZ=ON -DGAINWEIGHTS_TESTS=OFF >/dev/null
ninja -C "$build" -j2 "${targets[@]/#/fuzz_}"

# Seeds, made anew at every start. The reader target takes a two-byte
# header (integers or reals, values per read; number of reads) before the
# text; the run target takes the two files joined by a 0xFF byte.
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/reader" "$seeds/run"
n=0
for dir in "$root"/examples/*/ "$root"/tests/data/e2e/*/; do
  [ -f "$dir/GParameter.csv" ] && [ -f "$dir/Pedigree&Record.csv" ] || continue
  n=$((n + 1))
  { cat "$dir/GParameter.csv"; printf '\377'; cat "$dir/Pedigree&Record.csv"; } >"$seeds/run/fixture-$n"
  { printf '\006\377'; cat "$dir/GParameter.csv"; } >"$seeds/reader/parameters-$n"   # reals, 4 per read
  { printf '\015\377'; cat "$dir/Pedigree&Record.csv"; } >"$seeds/reader/pedigree-$n"  # integers, 7 per read
done

status=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  logs=$build/logs/$target
  artifacts=$build/artifacts
  mkdir -p "$corpus" "$logs" "$artifacts"
  inputs=("$corpus" "$seeds/$target")
  [ -d "$root/tests/data/hostile/$target" ] && inputs+=("$root/tests/data/hostile/$target")
  echo "=== fuzz_$target for ${seconds}s (log: $logs/fuzz-0.log)"
  # One job and one worker: the machine is shared. The job's output goes to
  # fuzz-0.log in the current folder.
  (cd "$logs" && ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/fuzz_$target" -jobs=1 -workers=1 \
    -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 \
    -dict="$root/fuzz/values.dict" -artifact_prefix="$artifacts/$target-" "${inputs[@]}" >/dev/null 2>&1) || true
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
    "$logs/fuzz-0.log" || true
  echo "corpus: $(find "$corpus" -type f | wc -l) inputs"
  found=$(find "$artifacts" -name "$target-*" -type f | wc -l)
  if [ "$found" -gt 0 ]; then
    echo "FINDINGS for $target:"
    find "$artifacts" -name "$target-*" -type f
    grep -m1 -A25 -E 'ERROR: |runtime error|Finding|terminate called' "$logs/fuzz-0.log" || true
    status=1
  fi
done
exit $status
