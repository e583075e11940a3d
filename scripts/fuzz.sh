#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for the given number of seconds,
# starting from its seed corpus (fuzz/<module>/corpus/<target>/, read only:
# new inputs go to a scratch folder). A crash, leak or time-out fails the run;
# the input that caused it is kept in BUILD_DIR/fuzz-findings/ and named in the
# output. With --build the fuzz build is configured (clang) and built first.
# Usage: scripts/fuzz.sh [--build] BUILD_DIR [SECONDS] [TARGET...]
#   scripts/fuzz.sh --build build-fuzz 10      # what scripts/test-all.sh runs
#   scripts/fuzz.sh build-fuzz 600 certificate_scan_fuzzer
set -euo pipefail
cd "$(dirname "$0")/.."
build=0
if [ "${1:-}" = "--build" ]; then
  build=1
  shift
fi
dir=${1:?build directory of a -DKV_FUZZ=ON build}
secs=${2:-60}
shift $(($# < 2 ? $# : 2))
wanted=("$@")

if [ $build -eq 1 ]; then
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DKV_FUZZ=ON -DKV_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j"${KV_JOBS:-2}"
fi

findings="$dir/fuzz-findings"
mkdir -p "$findings"
status=0
while IFS= read -r fuzzer; do
  name=$(basename "$fuzzer")
  if [ ${#wanted[@]} -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then continue; fi
  src=$(find fuzz -name "${name}.cpp" -print -quit)
  seeds=()
  [ -n "$src" ] && [ -d "$(dirname "$src")/corpus/$name" ] && seeds=("$(dirname "$src")/corpus/$name")
  work=$(mktemp -d)
  log="$work/log"
  if "$fuzzer" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/$name-" "$work" "${seeds[@]}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$name: ${runs:-?} runs in ${secs}s, no finding"
  else
    echo "$name: FINDING after $(grep -c . "$log") log lines; input kept in $findings/"
    tail -n 40 "$log"
    status=1
  fi
  rm -rf "$work"
done < <(find "$dir/fuzz" -type f -executable -name '*_fuzzer' | sort)
exit $status
