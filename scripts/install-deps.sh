#!/usr/bin/env bash
# Installs what building, running and testing the service needs on Debian 12;
# with --bench also what the load benchmark drives and compares with (nginx,
# wrk) and valgrind for scripts/valgrind-e2e.sh.
# Safe to run again: it only calls apt-get when a package is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  clang-format-14
  # The libfprint reader backend and its end-to-end test; libfprint-2-dev's
  # pkg-config file needs GLib's headers, which that package does not pull in.
  libfprint-2-2 libfprint-2-dev libglib2.0-dev
  curl python3 python3-websockets
  sslscan
  # The Linux package: dpkg-shlibdeps and dpkg-gencontrol, lintian, and
  # systemd-analyze to verify the user unit.
  dpkg-dev lintian systemd
  chromium
  # kestrav-cert's Linux trust stores (NSS certutil) and the renewal test's
  # shifted clock.
  libnss3-tools faketime
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(nginx-light wrk valgrind)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Node.js may come from another Debian repository that bundles npm; only ask
# for the Debian packages when the commands are missing.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The pinned npm packages of the browser and web-client tests, from their
# committed lock files; only where node_modules is missing.
cd "$(dirname "$0")/.."
for dir in tests/e2e_browser tests/web; do
  if [ -f "$dir/package-lock.json" ] && [ ! -d "$dir/node_modules" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund)
  fi
done
