#!/usr/bin/python3
"""Load figures of the real service beside nginx: both started here on
loopback, nginx with one worker answering replies of the same size (the
service's own pre-flight headers, the service's public-key JSON),
both driven by wrk with keep-alive at 10, 100 and 400 connections for the
pre-flight (OPTIONS /VRNFPCapture) and the public key (GET /VRNGetPublicKey).
Prints requests per second, latency percentiles, the ratio service/nginx
(median over RUNS rounds, each running both servers one after the other, so
that a busy shared machine weighs on both alike) and the CPU time each server
process spent per request (user + system, from /proc: far less sensitive to
other load than throughput), checks that at 400 connections every connection is
answered and wrk saw no time-out, and ends with the capture-latency breakdown
(capture_breakdown_bench) and a capture through the service.

Needs nginx and wrk (scripts/install-deps.sh --bench) and a normal build.
Usage: bench/host/load_bench.py [BUILD_DIR (build)] [SECONDS per run (5)] [RUNS (3)]
"""

import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else 3
CONNECTIONS = (10, 100, 400)
SERVICE = os.path.join(BUILD, "host", "kestrav-service")
BREAKDOWN = os.path.join(BUILD, "bench", "api", "capture_breakdown_bench")
PREFLIGHT = b"OPTIONS /VRNFPCapture HTTP/1.1\r\nHost: localhost\r\n\r\n"
PUBLIC_KEY = b"GET /VRNGetPublicKey HTTP/1.1\r\nHost: localhost\r\n\r\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exchange(port, request):
    """The whole reply (header block and Content-Length bytes) to request."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(request)
        data = b""
        while b"\r\n\r\n" not in data:
            data += sock.recv(65536)
        head, _, body = data.partition(b"\r\n\r\n")
        m = re.search(rb"(?i)content-length:\s*(\d+)", head)
        length = int(m.group(1)) if m else 0
        while len(body) < length:
            body += sock.recv(65536)
        return head + b"\r\n\r\n", body


def nginx_config(tmp, port, preflight_head, key_body):
    # The JSON as nginx's own text: its quoted strings read \\ and \" as
    # escapes (and \n as a line break), so the body comes out byte for byte.
    key_text = key_body.decode().replace("\\", "\\\\").replace('"', '\\"')
    headers = []
    for line in preflight_head.split(b"\r\n")[1:]:
        name, _, value = line.decode().partition(":")
        if name and name.lower() not in ("date", "server", "connection", "content-length"):
            headers.append("add_header %s \"%s\";" % (name.strip(), value.strip()))
    return """
worker_processes 1;
daemon off;
pid %(tmp)s/nginx.pid;
error_log %(tmp)s/error.log;
events { worker_connections 2048; }
http {
  access_log off;
  keepalive_requests 100000000;
  keepalive_timeout 75s;
  client_body_temp_path %(tmp)s;
  proxy_temp_path %(tmp)s;
  fastcgi_temp_path %(tmp)s;
  uwsgi_temp_path %(tmp)s;
  scgi_temp_path %(tmp)s;
  server {
    listen 127.0.0.1:%(port)d;
    location = /VRNFPCapture { %(headers)s return 204; }
    location = /VRNGetPublicKey {
      default_type text/plain;
      add_header Access-Control-Allow-Origin *;
      return 200 "%(key)s";
    }
  }
}
""" % {"tmp": tmp, "port": port, "headers": " ".join(headers), "key": key_text}


def cpu_seconds(pid):
    """User + system CPU time of one process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def nginx_worker(master):
    out = subprocess.run(["pgrep", "-P", str(master)], capture_output=True, text=True).stdout
    return int(out.split()[0])


def measured(pid, port, path, method, conns, tmp):
    """One wrk run with the server's CPU microseconds per request."""
    before = cpu_seconds(pid)
    r = wrk(port, path, method, conns, tmp)
    r["cpu_us"] = 1e6 * (cpu_seconds(pid) - before) / max(1.0, r["rps"] * SECONDS)
    return r


def wrk(port, path, method, conns, tmp):
    script = os.path.join(tmp, "method.lua")
    with open(script, "w") as f:
        f.write('wrk.method = "%s"\nwrk.headers["Host"] = "localhost"\n' % method)
    out = subprocess.run(
        ["wrk", "-t2", "-c%d" % conns, "-d%ds" % SECONDS, "--latency", "--timeout", "5s",
         "-s", script, "http://127.0.0.1:%d%s" % (port, path)],
        capture_output=True, text=True, timeout=SECONDS + 60).stdout

    def ms(text):
        value, unit = re.match(r"([\d.]+)(us|ms|s)", text).groups()
        return float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]

    lat = {p: ms(v) for p, v in re.findall(r"^\s+(50|90|99)%\s+(\S+)", out, re.M)}
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    return {
        "rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
        "p50": lat.get("50", 0.0), "p90": lat.get("90", 0.0), "p99": lat.get("99", 0.0),
        "timeouts": int(errors.group(4)) if errors else 0,
        "errors": sum(int(x) for x in errors.groups()[:3]) if errors else 0,
        "non2xx": int(re.search(r"Non-2xx or 3xx responses: (\d+)", out).group(1))
        if "Non-2xx" in out else 0,
    }


def median_run(runs):
    return {k: statistics.median(r[k] for r in runs) for k in runs[0]} | {
        "timeouts": sum(r["timeouts"] for r in runs), "errors": sum(r["errors"] for r in runs),
        "non2xx": sum(r["non2xx"] for r in runs)}


def every_connection_answered(port, conns):
    """Opens conns connections at once, sends a pre-flight on each and counts
    those answered within 10 s."""
    socks = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(conns)]
    answered = 0
    try:
        for s in socks:
            s.sendall(PREFLIGHT)
        for s in socks:
            try:
                answered += s.recv(16).startswith(b"HTTP/1.1 204")
            except OSError:
                pass
    finally:
        for s in socks:
            s.close()
    return answered


def machine():
    with open("/proc/cpuinfo") as f:
        model = re.search(r"model name\s*:\s*(.*)", f.read())
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    return "%s, %d cores, load average %s" % (model.group(1) if model else "?", os.cpu_count(), load)


def main():
    for tool in ("nginx", "wrk"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            sys.exit("%s is missing: scripts/install-deps.sh --bench" % tool)
    tmp = tempfile.mkdtemp(prefix="kv-load-")
    service = subprocess.Popen([SERVICE, "-p:127.0.0.1:0"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    nginx = None
    try:
        port = None
        for raw in service.stdout:
            m = re.match(rb"Listening on 127\.0\.0\.1:(\d+)", raw)
            if m:
                port = int(m.group(1))
                break
        preflight_head, _ = exchange(port, PREFLIGHT)
        key_head, key_body = exchange(port, PUBLIC_KEY)
        nginx_port = free_port()
        conf = os.path.join(tmp, "nginx.conf")
        with open(conf, "w") as f:
            f.write(nginx_config(tmp, nginx_port, preflight_head, key_body))
        nginx = subprocess.Popen(["nginx", "-c", conf, "-p", tmp], stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        n_pre = exchange(nginx_port, PREFLIGHT)
        n_key = exchange(nginx_port, PUBLIC_KEY)
        print("machine: %s" % machine())
        print("reply bytes (headers + body): pre-flight service %d, nginx %d; public key service "
              "%d, nginx %d" % (len(preflight_head), len(n_pre[0]) + len(n_pre[1]),
                                len(key_head) + len(key_body), len(n_key[0]) + len(n_key[1])))
        print("wrk -t2, keep-alive, %d s per run, median of %d runs" % (SECONDS, RUNS))
        print("%-11s %5s | %9s %6s %6s %6s | %9s %6s %6s %6s | %6s | %6s %6s | %s" % (
            "request", "conns", "svc req/s", "p50ms", "p90ms", "p99ms", "ngx req/s", "p50ms",
            "p90ms", "p99ms", "ratio", "svc us", "ngx us", "svc errors/time-outs"))
        worker = nginx_worker(nginx.pid)
        for name, path, method in (("pre-flight", "/VRNFPCapture", "OPTIONS"),
                                   ("public key", "/VRNGetPublicKey", "GET")):
            for conns in CONNECTIONS:
                svc, ngx, ratios = [], [], []
                for _ in range(RUNS):
                    svc.append(measured(service.pid, port, path, method, conns, tmp))
                    ngx.append(measured(worker, nginx_port, path, method, conns, tmp))
                    ratios.append(svc[-1]["rps"] / ngx[-1]["rps"])
                s, n = median_run(svc), median_run(ngx)
                print("%-11s %5d | %9.0f %6.2f %6.2f %6.2f | %9.0f %6.2f %6.2f %6.2f | %6.2f | "
                      "%6.1f %6.1f | %d/%d"
                      % (name, conns, s["rps"], s["p50"], s["p90"], s["p99"], n["rps"], n["p50"],
                         n["p90"], n["p99"], statistics.median(ratios), s["cpu_us"], n["cpu_us"],
                         s["errors"], s["timeouts"]))
        print("400 connections at once, one pre-flight each: %d answered"
              % every_connection_answered(port, 400))
        times = []
        for _ in range(10):
            start = time.monotonic()
            exchange(port, b"POST /VRNFPCapture HTTP/1.1\r\nHost: localhost\r\n"
                     b"Content-Length: 0\r\n\r\n")
            times.append(1000 * (time.monotonic() - start))
        print("capture through the service (defaults, new connection): median %.1f ms"
              % statistics.median(times))
        print("machine at the end: %s" % machine())
    finally:
        if nginx is not None:
            nginx.terminate()
            nginx.wait(timeout=10)
        service.terminate()
        service.wait(timeout=10)
        shutil.rmtree(tmp, ignore_errors=True)
    if os.path.exists(BREAKDOWN):
        print()
        subprocess.run([BREAKDOWN, "30"], check=False)


if __name__ == "__main__":
    main()
