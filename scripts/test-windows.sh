#!/usr/bin/env bash
# Builds the Windows program, its installer and its unit tests
# (scripts/build-windows.sh) and runs under Wine: the unit tests, each test
# program as one CTest test; the end-to-end suites of tests/e2e_host and
# tests/e2e_api against the .exe (their harness starts it through Wine,
# KV_SERVICE_COMMAND); and the installer's test, alone at the end. Installs
# Wine, Xvfb and xdotool when they are missing.
#
# Wine runs in a private prefix, build-windows/wineprefix (made on the first
# run, which takes about ten seconds more; see scripts/wine-start.sh), and is
# stopped at the end for that prefix only. Everything runs inside Xvfb, so
# that the window, the tray and the error box have a desktop.
#
# Left out on Windows, each with its reason (printed when the build is
# configured, or as the skip message of the test):
# - platform_tests: the POSIX stand-ins for the window queue and the
#   notification area (the Win32 forms are exercised by host_tests);
# - *_posix_test.cpp and the POSIX_SOURCES of tests/*/CMakeLists.txt:
#   descriptors numbered past FD_SETSIZE, a process out of descriptors
#   (setrlimit) and the no-desktop error box;
# - tests that drive curl, openssl s_client or Python from inside a test
#   program skip themselves when those programs are absent, as they are
#   under Wine (the end-to-end suites drive them from Linux instead);
# - e2e_host_flood: it reads the service's descriptors and memory in /proc
#   and lowers its descriptor limit, which a program under Wine does not have
#   in that form (the unit tests serve 100 clients through 64-socket sets);
# - synth_tests and sdk_quality_tests, unless KV_WINDOWS_SYNTH_TESTS=ON (see
#   tests/synth/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

./scripts/install-missing.sh wine wine64 xvfb xauth xdotool curl openssl sslscan python3
./scripts/build-windows.sh

export WINEPREFIX=$root/build-windows/wineprefix
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true' EXIT

# Trace files of earlier runs: Wine hands out the same process ids again, and
# a service appends to the file its process id names (see service_harness.py).
rm -rf "$WINEPREFIX/drive_c/logs"
t0=$(date +%s)
# xvfb-run ends with the status of the command; the X server goes with it.
xvfb-run -a sh -c 'scripts/wine-start.sh &&
  ctest --test-dir build-windows -L "unit|e2e" --output-on-failure \
    -j"${KV_JOBS:-2}" --timeout 600'
echo "Windows tests under Wine: $(($(date +%s) - t0)) s"
