#!/usr/bin/env bash
# Builds the service and runs it in the foreground with the virtual reader:
# HTTP on port 8000 unless other options are given (they are passed on).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kestrav-service kv-wsq-decode -j"${KV_JOBS:-2}"
exec build/host/kestrav-service "$@"
