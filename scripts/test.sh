#!/usr/bin/env bash
# Builds everything and runs every test twice: against the normal build,
# then against the same tests linked with AddressSanitizer and
# UndefinedBehaviorSanitizer and the instrumented program (both in build/,
# the tests' object files shared; see GAINWEIGHTS_SANITIZER_PASS in
# CMakeLists.txt). Set GAINWEIGHTS_SKIP_SANITIZE=1 for the first pass alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

# The distributed tests start mpirun; OpenMPI refuses to run as root (as
# CI does) unless told.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1

"$root/scripts/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j"$jobs" -LE sanitizer

if [ "${GAINWEIGHTS_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "=== sanitizer pass"
  cmake -S "$root" -B "$root/build" -DGAINWEIGHTS_SANITIZER_PASS=ON >/dev/null
  ninja -C "$root/build" -j"$jobs"
  # Any report fails the test that triggered it, with a stack trace.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:halt_on_error=1:detect_leaks=1:strict_string_checks=1}
  # OpenMPI and fontconfig keep some of their own allocations to the end of
  # the process; those leak reports, and only those, are suppressed.
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp:print_suppressions=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  ctest --test-dir "$root/build" --output-on-failure -j"$jobs" -L sanitizer
fi
