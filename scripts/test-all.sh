#!/usr/bin/env bash
# Checks the formatting of every C++ file, then builds and runs every test
# twice: a normal build (build/) and an AddressSanitizer + UBSan build
# (build-asan/); then a short pass of every fuzzer from its seeds (build-fuzz/,
# KV_FUZZ_SECONDS each, 10 by default); then cross-builds the Windows program
# and its installer and runs their unit, end-to-end and installer tests under
# Wine (scripts/test-windows.sh; KV_WINDOWS=OFF leaves that stage out). Exits
# non-zero on any failure, a file that is not formatted included.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${KV_JOBS:-2}

echo "=== formatting (clang-format 14) ==="
./scripts/check-format.sh

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600
}

echo "=== normal build ==="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON
echo "=== sanitizer build (ASan + UBSan) ==="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON -DKV_BENCH=OFF -DKV_WERROR=ON
echo "=== fuzzers, ${KV_FUZZ_SECONDS:-10} s each from their seeds ==="
./scripts/fuzz.sh --build build-fuzz "${KV_FUZZ_SECONDS:-10}"
echo "=== up to here: ${SECONDS} s ==="
if [ "${KV_WINDOWS:-ON}" != OFF ]; then
  echo "=== Windows program under Wine ==="
  ./scripts/test-windows.sh
  echo "=== all stages: ${SECONDS} s ==="
fi
