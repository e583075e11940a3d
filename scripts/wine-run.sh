#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's private prefix
# (build-windows/wineprefix, made on first use): the test programs of the
# Windows build go through this (CMAKE_CROSSCOMPILING_EMULATOR), so ctest in
# build-windows/ never touches ~/.wine. Variables already set are kept.
# Stop the prefix's processes with: WINEPREFIX=.../wineprefix wineserver -k
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build-windows/wineprefix}
export WINEARCH=${WINEARCH:-win64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
