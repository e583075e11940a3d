#!/bin/sh
# Runs one folder of the web tests (client or demo) with node --test.
# Installs the pinned packages from the lock file when node_modules is
# missing. Exit 77 (skipped) without Node.js, or without Chromium for the demo.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
suite=${1:?client or demo}
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "skipped: needs node and npm (Debian packages nodejs, npm)"
  exit 77
fi
if [ "$suite" = demo ] && [ ! -x /usr/bin/chromium ]; then
  echo "skipped: needs /usr/bin/chromium (Debian package chromium)"
  exit 77
fi
cd "$here"
if [ ! -d node_modules/playwright-core ] || [ ! -e node_modules/@kestrav/client ]; then
  npm ci --no-audit --no-fund
fi
# Node.js 20 has its WebSocket client behind a flag (the /events tests use it).
ws_flag=
if node --experimental-websocket -e '' 2>/dev/null; then ws_flag=--experimental-websocket; fi
exec node $ws_flag --test "$suite/"
