#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for a bounded time from its seed corpus in fuzz/corpus/<target>. The corpus is
# copied to a scratch folder first, so a run never writes into the repository. Any crash, leak,
# sanitizer report or slow input fails the script; the input that did it is kept in
# build-fuzz/artifacts.
#
#   scripts/fuzz.sh                 every target, FUZZ_SECONDS (default 20) seconds each
#   scripts/fuzz.sh fuzz_receiver   only the targets named
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
seconds=${FUZZ_SECONDS:-20}
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DMM9_FUZZ=ON \
  -DMM9_SANITIZE=address,undefined -DMM9_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target fuzzers -j"$(nproc)"

# Each target and the longest input it is given.
declare -A max_len=(
  [fuzz_template]=12288  # the sample templates are up to 10 kB
  [fuzz_inspect]=4096
  [fuzz_receiver]=32768  # two largest messages
  [fuzz_profile]=2048
)
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then targets=(fuzz_template fuzz_inspect fuzz_receiver fuzz_profile); fi

scratch_base=/tmp
if [ -w /dev/shm ]; then scratch_base=/dev/shm; fi  # the settings file is rewritten per input
scratch=$(mktemp -d "$scratch_base/mm9fuzz-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
artifacts="$build/artifacts"
mkdir -p "$artifacts"

failed=()
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  if [ -z "${max_len[$target]:-}" ] || [ ! -d "fuzz/corpus/$name" ]; then
    echo "fuzz.sh: unknown target $target" >&2
    exit 2
  fi
  mkdir -p "$scratch/$name"
  cp -R "fuzz/corpus/$name/." "$scratch/$name/"
  log="$scratch/$name.log"
  echo "== $target: ${seconds}s"
  status=0
  MM9_FUZZ_SCRATCH="$scratch" ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -timeout=10 -rss_limit_mb=2048 -detect_leaks=1 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name-" "$scratch/$name" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ] ||
    grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$log"; then
    echo "$target FAILED (exit $status):"
    grep -vE '^#[0-9]+' "$log" | tail -60
    failed+=("$target")
  else
    grep -E '^stat::number_of_executed_units|^Done ' "$log" | tail -1
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]} (inputs in $artifacts)"
  exit 1
fi
echo "fuzzing: no faults found"
