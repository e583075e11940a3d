#!/usr/bin/env bash
# Starts Wine for the Windows tests in the build's private prefix
# (build-windows/wineprefix, or WINEPREFIX): makes the prefix on first use
# (about ten seconds), then starts a persistent wineserver, Wine's services
# and a virtual desktop of 1024 x 768 with its own notification area, all with
# their output discarded. Run it on the X display the programs will use
# (inside xvfb-run); stop everything with `wineserver -k` for the same prefix.
#
# Why: the helper processes Wine starts on first use would otherwise inherit
# the standard output of the first program, and whoever reads that output
# (ctest, a test harness) would wait for them until Wine ends. And on a bare
# X server, with no notification area to dock into, every tray call waits
# two seconds for an answer that never comes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build-windows/wineprefix}
export WINEARCH=${WINEARCH:-win64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

start_server() {
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine wineboot </dev/null >/dev/null 2>&1
}

start_server
if [ ! -f "$WINEPREFIX/kestrav-desktop.done" ]; then
  # A new prefix: ask for the virtual desktop, then start again, since the
  # first start may already have made the other kind.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
    </dev/null >/dev/null 2>&1
  wineserver -k
  wineserver -w
  touch "$WINEPREFIX/kestrav-desktop.done"
  start_server
fi
# The first call for the desktop window starts the desktop process and waits
# for it (rundll32 calls the function with arguments it ignores).
if [ -n "${DISPLAY:-}" ]; then
  wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
fi
