#!/bin/sh
# Runs the Chromium test; installs the pinned playwright-core from the lock
# file when node_modules is missing. Exit 77 (skipped) without Chromium or Node.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x /usr/bin/chromium ] || ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "skipped: needs /usr/bin/chromium, node and npm (Debian packages chromium, nodejs, npm)"
  exit 77
fi
cd "$here"
if [ ! -d node_modules/playwright-core ]; then
  npm ci --no-audit --no-fund
fi
exec node browser_e2e_test.mjs
