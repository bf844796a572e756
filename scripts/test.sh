#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds warning-free under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test, then builds under ThreadSanitizer and runs the
# threaded tests again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build-asan -DMM9_SANITIZE=address,undefined -DMM9_WERROR=ON
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$jobs")
# The input readers under libFuzzer (clang), a bounded time each; any fault found fails here.
scripts/fuzz.sh
scripts/valgrind-run.sh  # one whole charge under valgrind memcheck, built without sanitizers

cmake -S . -B build-tsan -DMM9_SANITIZE=thread -DMM9_WERROR=ON
cmake --build build-tsan -j"$jobs"
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j"$jobs" -L threaded)
