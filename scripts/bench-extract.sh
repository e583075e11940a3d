#!/usr/bin/env bash
# Runs the extraction and matching benchmark: unpacks the FVC2000 B images
# into the build directory (never into the source tree) and prints the table;
# each FVC set is measured upright and in four lossless poses (--poses).
# Usage: scripts/bench-extract.sh [BUILD_DIR] [bench options, e.g. --fingers 20]
# The archive is taken from $KV_FVC_ARCHIVE, else ../shared/data/fvc2000-b.tar.xz
# beside the checkout; without it only the virtual reader's prints are measured.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
archive=${KV_FVC_ARCHIVE:-../shared/data/fvc2000-b.tar.xz}
cmake --build "$dir" --target extract_match_bench -j"${KV_JOBS:-2}"
fvc=()
if [ -d "$dir/data/fvc2000-b" ]; then
  fvc=(--fvc "$dir/data/fvc2000-b" --poses)
elif [ -f "$archive" ]; then
  mkdir -p "$dir/data"
  tar -xJf "$archive" -C "$dir/data"
  fvc=(--fvc "$dir/data/fvc2000-b" --poses)
else
  echo "no FVC2000 B archive at $archive: measuring the virtual reader only" >&2
fi
"$dir/bench/extract/extract_match_bench" "${fvc[@]}" "$@"
