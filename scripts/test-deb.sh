#!/usr/bin/env bash
# The Linux package from build to purge, on this machine (root only: it
# installs into the system): builds it (scripts/build-deb.sh), runs lintian
# (any error fails), installs it with apt-get, runs the installed
# kestrav-service from PATH against /health (HTTP, a trace in a -logs: folder,
# and HTTPS with a certificate in a user's XDG data home), verifies the
# systemd user unit, purges the package and checks that nothing of it is
# left. Not root: says so and exits 0 without doing anything.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "test-deb.sh: skipped, not root (it installs and purges the package)"
  exit 0
fi
if dpkg-query -W -f='${Status}' kestrav 2>/dev/null | grep -q installed; then
  echo "test-deb.sh: the kestrav package is installed already; purge it first" >&2
  exit 1
fi

deb=$(./scripts/build-deb.sh | tail -n 1)
echo "--- $deb: $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Depends
dpkg-deb -c "$deb" | awk '{ print $3, $6, $7, $8 }'

echo "--- lintian"
lintian --fail-on error --display-level '>=warning' "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "lintian reports errors" >&2; exit 1; }

tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
  if dpkg-query -W -f='${Status}' kestrav 2>/dev/null | grep -q installed; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kestrav >/dev/null || true
  fi
}
trap cleanup EXIT

echo "--- install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "./$deb" >"$tmp/apt.log" 2>&1 ||
  { cat "$tmp/apt.log"; exit 1; }
dpkg -L kestrav | sort >"$tmp/files"
[ "$(command -v kestrav-service)" = /usr/bin/kestrav-service ]
[ -L /etc/systemd/user/default.target.wants/kestrav.service ] || { echo "unit not enabled for users" >&2; exit 1; }

# Starts the installed service (further arguments and environment as given)
# and writes its /health reply to $tmp/reply; fails when it does not answer.
health() {
  local scheme=$1 out=$tmp/service.out port="" status=0
  shift
  env "$@" >"$out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do
    port=$(sed -n 's/^Listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ] || ! curl -sSf -k "$scheme://127.0.0.1:$port/health" >"$tmp/reply"; then
    echo "the installed service did not answer:" >&2
    cat "$out" >&2
    status=1
  fi
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  cat "$tmp/reply" 2>/dev/null && echo
  return $status
}

echo "--- the installed service from PATH"
mkdir -p "$tmp/logs"
health http VRFPLIB_BACKEND=libfprint kestrav-service -p:0 -dl:99 "-logs:$tmp/logs"
grep -q '"Scheme": "http"' "$tmp/reply"
ls "$tmp/logs"/trace-*.txt >/dev/null || { echo "no trace file in the -logs: folder" >&2; exit 1; }

# A user's certificate, made by the unit's step when the package has
# kestrav-cert, else by hand, is the one HTTPS serves from the home: there
# is none beside the installed program.
home=$tmp/home
mkdir -p "$home"
env -u XDG_DATA_HOME HOME="$home" /usr/lib/kestrav/kestrav-user-certificate
pem=$home/.local/share/kestrav/server.pem
if [ ! -f "$pem" ]; then
  mkdir -p "$(dirname "$pem")"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=localhost \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
  cat "$tmp/key.pem" "$tmp/cert.pem" >"$pem"
fi
health https -u XDG_DATA_HOME HOME="$home" kestrav-service -s -p:0
grep -q '"Scheme": "https"' "$tmp/reply"

echo "--- systemd-analyze verify (user unit)"
mkdir -m 0700 "$tmp/runtime"
XDG_RUNTIME_DIR=$tmp/runtime systemd-analyze --user verify /usr/lib/systemd/user/kestrav.service \
  >"$tmp/verify" 2>&1 || true
# It exits 0 on lines it ignores: any word from it is a fault.
if [ -s "$tmp/verify" ]; then
  cat "$tmp/verify" >&2
  exit 1
fi

echo "--- purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kestrav >"$tmp/apt.log" 2>&1 ||
  { cat "$tmp/apt.log"; exit 1; }
left=()
while read -r f; do
  [ -d "$f" ] || ! [ -e "$f" -o -L "$f" ] || left+=("$f")
done <"$tmp/files"
while read -r f; do left+=("$f"); done < <(find /etc /usr /var/lib /run -xdev -name '*kestrav*' 2>/dev/null)
if [ ${#left[@]} -gt 0 ]; then
  printf 'left after purge: %s\n' "${left[@]}" >&2
  exit 1
fi
echo "test-deb.sh: package built, lintian clean of errors, installed, served, verified, purged"
