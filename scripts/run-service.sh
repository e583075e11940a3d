#!/usr/bin/env bash
# Builds the service and runs it in the foreground with the virtual reader:
# HTTP on port 8000 unless other options are given (they are passed on).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${KV_JOBS:-2}"
if [ ! -x build/host/kestrav-service ]; then
  echo "kestrav-service is not built yet: the service host is still to come." >&2
  echo "Built so far: the foundation libraries and their tests (see README)." >&2
  exit 0
fi
exec build/host/kestrav-service "$@"
