#!/usr/bin/env bash
# Cross-builds the Windows program on Debian 12 into build-windows/:
# build-windows/host/kestrav-service.exe, its installer
# build-windows/kestrav-setup-<version>.exe (Debian's nsis) and, unless
# KV_TESTS=OFF, the unit test programs (run them with scripts/test-windows.sh).
#
# Installs what it needs when it is missing. OpenSSL 3 and GoogleTest are
# built for the target from Debian's own sources once and kept under
# build-windows/ (openssl/, googletest/); later runs reuse them. Delete those
# folders to rebuild them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-windows
jobs=${KV_JOBS:-2}
tests=${KV_TESTS:-ON}
triple=x86_64-w64-mingw32

./scripts/install-missing.sh g++-mingw-w64-x86-64-posix dpkg-dev nsis cmake ninja-build \
  googletest python3
mkdir -p "$out"

elapsed() { echo "$(($(date +%s) - $1)) s"; }

# --- OpenSSL -----------------------------------------------------------------
# Configure options are part of the cache key: a change rebuilds the library.
# no-autoload-config: a Windows program must not read an openssl.cnf from a
# directory named at build time (a path any user may create on the drive).
ssl_prefix=$out/openssl
ssl_options="mingw64 no-shared no-tests no-autoload-config"
ssl_stamp=$ssl_prefix/kestrav-openssl.stamp

# Debian's apt sources for this machine turned into deb-src entries, in a
# private apt configuration: /etc stays untouched.
apt_private() {
  local d=$out/apt
  mkdir -p "$d/parts" "$d/lists/partial" "$d/cache/archives/partial"
  : > "$d/parts/debian-src.sources"
  local uris suites f line
  # deb822 files: copy every stanza that serves Debian's own archive.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk -v RS= -v ORS='\n\n' '/Types:[^\n]*deb/ && /debian-archive-keyring|debian\.org/' "$f" |
      sed -E 's/^Types:.*/Types: deb-src/' >> "$d/parts/debian-src.sources"
  done
  # One-line files.
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    while read -r line; do
      set -- $line
      [ "${1:-}" = deb ] || continue
      shift
      [ "${1#\[}" != "$1" ] && shift  # options in brackets
      uris=$1 suites=$2
      shift 2
      case $uris in *debian*) ;; *) continue ;; esac
      printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\nSigned-By: %s\n\n' \
        "$uris" "$suites" "$*" /usr/share/keyrings/debian-archive-keyring.gpg \
        >> "$d/parts/debian-src.sources"
    done < "$f"
  done
  apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$d/parts"
            -o "Dir::State::Lists=$d/lists" -o "Dir::Cache=$d/cache")
}

fetch_openssl_source() {
  apt_private
  apt-get "${apt_opts[@]}" -q update >/dev/null
  local versions v
  versions=$(apt-cache "${apt_opts[@]}" showsrc openssl | awk '/^Version:/ {print $2}' | sort -rVu)
  [ -n "$versions" ] || { echo "no OpenSSL source package found" >&2; exit 1; }
  rm -rf "$out/openssl-src"
  mkdir -p "$out/openssl-src"
  # The newest (security) version first; its files are not always served, so
  # fall back to the next one that downloads.
  for v in $versions; do
    if (cd "$out/openssl-src" &&
        apt-get "${apt_opts[@]}" -q source --only-source "openssl=$v" >source.log 2>&1); then
      ssl_version=$v
      ssl_src=$(find "$out/openssl-src" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -1)
      echo "OpenSSL source $v in $ssl_src"
      return 0
    fi
    echo "OpenSSL source $v could not be fetched; trying an older one"
    find "$out/openssl-src" -mindepth 1 -maxdepth 1 ! -name source.log -exec rm -rf {} +
  done
  echo "no OpenSSL source version could be fetched (see $out/openssl-src/source.log)" >&2
  exit 1
}

if [ -f "$ssl_stamp" ] && grep -qxF "options: $ssl_options" "$ssl_stamp" &&
   [ -f "$ssl_prefix/lib/libssl.a" ] && [ -f "$ssl_prefix/lib/libcrypto.a" ]; then
  echo "OpenSSL for Windows: reusing $(head -1 "$ssl_stamp") in $ssl_prefix"
else
  t0=$(date +%s)
  fetch_openssl_source
  rm -rf "$ssl_prefix"
  (cd "$ssl_src" &&
   ./Configure $ssl_options --cross-compile-prefix=$triple- \
     --prefix="$ssl_prefix" --libdir=lib --openssldir="$ssl_prefix/ssl" >configure.log &&
   make -j"$jobs" build_libs >build.log 2>&1 &&
   make install_dev >install.log 2>&1) || {
    echo "OpenSSL build failed; logs in $ssl_src" >&2
    exit 1
  }
  printf '%s\noptions: %s\n' "$ssl_version" "$ssl_options" > "$ssl_stamp"
  echo "OpenSSL $ssl_version for Windows built in $(elapsed "$t0")"
fi

# --- GoogleTest ----------------------------------------------------------------
gtest_prefix=$out/googletest
if [ "$tests" != OFF ] && [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  t0=$(date +%s)
  rm -rf "$out/googletest-build"
  cmake -S /usr/src/googletest -B "$out/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -DBUILD_GMOCK=OFF >/dev/null
  cmake --build "$out/googletest-build" -j"$jobs" >/dev/null
  cmake --install "$out/googletest-build" >/dev/null
  echo "GoogleTest for Windows built in $(elapsed "$t0")"
fi

# --- The project -----------------------------------------------------------------
t0=$(date +%s)
cmake -S . -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DKV_WINDOWS_PREFIXES="$ssl_prefix;$gtest_prefix" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-run.sh" \
  -DKV_TESTS="$tests" -DKV_BENCH=OFF -DKV_WERROR=ON -DKV_WINDOWS_SYNTH_TESTS="${KV_WINDOWS_SYNTH_TESTS:-OFF}" \
  >/dev/null
cmake --build "$out" -j"$jobs"
echo "Windows build done in $(elapsed "$t0"): $out/host/kestrav-service.exe"
