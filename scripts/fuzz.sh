#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for the given number of seconds.
# Usage: scripts/fuzz.sh BUILD_DIR [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?build directory of a -DKV_FUZZ=ON build}
secs=${2:-60}
status=0
while IFS= read -r fuzzer; do
  name=$(basename "$fuzzer")
  src=$(find fuzz -name "${name}.cpp" -print -quit)
  seeds=()
  [ -n "$src" ] && [ -d "$(dirname "$src")/corpus/$name" ] && seeds=("$(dirname "$src")/corpus/$name")
  work=$(mktemp -d)
  echo "=== $name for ${secs}s ==="
  "$fuzzer" -max_total_time="$secs" -print_final_stats=1 "$work" "${seeds[@]}" || status=1
  rm -rf "$work"
done < <(find "$dir/fuzz" -type f -executable -name '*_fuzzer' | sort)
exit $status
