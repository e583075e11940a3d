#!/usr/bin/env bash
# Builds the Windows program and its unit tests (scripts/build-windows.sh) and
# runs the tests under Wine, each test program as one CTest test. Installs
# Wine and Xvfb when they are missing.
#
# Wine runs in a private prefix, build-windows/wineprefix (made on the first
# run, which takes about ten seconds more; see scripts/wine-start.sh), and is
# stopped at the end for that prefix only. The tests run inside Xvfb so that
# the window and tray tests have a desktop; the others would not need one.
#
# Left out on Windows, each with its reason (printed when the build is
# configured, or as the skip message of the test):
# - platform_window_tests: the POSIX stand-ins for the window queue and the
#   notification area (the Win32 forms are exercised by host_tests);
# - *_posix_test.cpp and the POSIX_SOURCES of tests/*/CMakeLists.txt:
#   descriptors numbered past FD_SETSIZE and the no-desktop error box;
# - tests that drive curl, openssl s_client or Python skip themselves when
#   those programs are absent, as they are under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

./scripts/install-missing.sh wine wine64 xvfb xauth
./scripts/build-windows.sh

export WINEPREFIX=$root/build-windows/wineprefix
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true' EXIT

t0=$(date +%s)
# xvfb-run ends with the status of the command; the X server goes with it.
xvfb-run -a sh -c 'scripts/wine-start.sh &&
  ctest --test-dir build-windows -L unit --output-on-failure -j"${KV_JOBS:-2}" --timeout 600'
echo "Windows unit tests under Wine: $(($(date +%s) - t0)) s"
