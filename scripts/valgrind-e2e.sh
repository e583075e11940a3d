#!/usr/bin/env bash
# Runs the end-to-end suite once with every service process under valgrind's
# memcheck and fails on a definite leak or a memory error in any of them.
# Left out: the flood test, whose latency bounds (100 ms, 50 ms) cannot hold
# at valgrind's speed, and the web-client tests, whose harness starts the
# service without the wrapper. Slow: about half an hour on two cores.
# Usage: scripts/valgrind-e2e.sh [BUILD_DIR (build)]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
command -v valgrind >/dev/null || { echo "valgrind is missing: scripts/install-deps.sh --bench" >&2; exit 1; }
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"${KV_JOBS:-2}"

logs=$(mktemp -d /tmp/kv-memcheck-XXXXXX)
# The service ends by SIGTERM in every harness; memcheck still writes its
# leak report then. Definite leaks count as errors; memory that is still
# reachable when the process is ended from outside is not a leak.
# The harnesses start the service with KV_SERVICE_COMMAND, whose last word is
# the executable.
export KV_SERVICE_COMMAND="valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
--errors-for-leak-kinds=definite --num-callers=30 --log-file=$logs/memcheck-%p.log \
$PWD/$dir/host/kestrav-service"
export KV_SERVICE_START_TIMEOUT=300
status=0
# The tests' own commands, run directly: their CTest time-outs are set for
# normal speed, and valgrind is some twenty times slower.
ctest --test-dir "$dir" -L e2e -E "flood|web_" --show-only=json-v1 >"$logs/tests.json"
python3 - "$logs/tests.json" "$dir" <<'EOF' || status=1
import json, os, subprocess, sys
failed = []
for test in json.load(open(sys.argv[1]))["tests"]:
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    env = dict(os.environ, **dict(v.split("=", 1) for v in props.get("ENVIRONMENT", [])))
    print("=== %s" % test["name"], flush=True)
    rc = subprocess.run(test["command"], env=env,
                        cwd=props.get("WORKING_DIRECTORY", sys.argv[2])).returncode
    if rc not in (0, props.get("SKIP_RETURN_CODE", 0)):
        failed.append(test["name"])
print("failed under memcheck: %s" % (", ".join(failed) or "none"))
sys.exit(1 if failed else 0)
EOF

# Harnesses that do not wait for the end (the browser test) leave memcheck
# writing its report for a moment.
for _ in $(seq 120); do
  pgrep -f "log-file=$logs" >/dev/null || break
  sleep 1
done

reports=("$logs"/memcheck-*.log)
[ -e "${reports[0]}" ] || { echo "no memcheck report in $logs" >&2; exit 1; }
bad=0
for r in "${reports[@]}"; do
  lost=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$r" | tr -d ,)
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$r" | tr -d ,)
  if [ "${lost:-0}" != 0 ] || [ "${errors:-0}" != 0 ]; then
    echo "$r: definitely lost ${lost:-0} bytes, ${errors:-?} errors"
    bad=$((bad + 1))
  fi
done
echo "${#reports[@]} service runs under memcheck, $bad with a definite leak or an error; reports in $logs"
[ $bad -eq 0 ] || status=1
exit $status
