#!/usr/bin/env bash
# Checks the module chain: no module folder (nor its tests/<module> folder)
# includes a header of a module listed after it in the top-level
# CMakeLists.txt (KV_MODULES). Prints every offending line; exits 1 if any.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t modules < <(sed -n '/^set(KV_MODULES/,/^)/p' CMakeLists.txt | sed '1d;$d' | awk '{print $1}')
[ ${#modules[@]} -gt 1 ] || { echo "no module list in CMakeLists.txt" >&2; exit 1; }
status=0
for ((i = 0; i < ${#modules[@]}; i++)); do
  dirs=("${modules[i]}")
  [ -d "tests/${modules[i]}" ] && dirs+=("tests/${modules[i]}")
  for ((j = i + 1; j < ${#modules[@]}; j++)); do
    if grep -rnE "#include \"${modules[j]}/" "${dirs[@]}"; then
      echo "^ ${modules[i]} includes ${modules[j]}, which comes after it" >&2
      status=1
    fi
  done
done
exit $status
