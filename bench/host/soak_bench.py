#!/usr/bin/python3
"""Soak bench of the real service: resident memory and descriptors after
start, after 1,000 captures and after 10,000 mixed requests (pre-flights,
public keys, matches, captures; keep-alive and new connections, some cut
off by a reset). Memory must not grow with the count: the figures after
5,000 and 10,000 mixed requests are printed side by side.

Usage: bench/host/soak_bench.py [BUILD_DIR (build)] [CAPTURES (1000)] [MIXED (10000)]
"""

import http.client
import json
import os
import re
import socket
import struct
import subprocess
import sys
import time
import urllib.parse

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
CAPTURES = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
MIXED = int(sys.argv[3]) if len(sys.argv) > 3 else 10000
SERVICE = os.path.join(BUILD, "host", "kestrav-service")
PREFLIGHT = b"OPTIONS /VRNFPCapture HTTP/1.1\r\nHost: localhost\r\n\r\n"


def resident_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def request(conn, method, path, body=None):
    headers = {"Host": "localhost"}
    if body is not None:
        headers["Content-Type"] = "application/x-www-form-urlencoded"
    conn.request(method, path, body=body, headers=headers)
    reply = conn.getresponse()
    data = reply.read()
    return reply.status, data


def main():
    proc = subprocess.Popen([SERVICE, "-p:127.0.0.1:0"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    port = None
    for raw in proc.stdout:
        m = re.match(rb"Listening on 127\.0\.0\.1:(\d+)", raw)
        if m:
            port = int(m.group(1))
            break
    if port is None:
        sys.exit("the service did not start")
    try:
        rows = []
        time.sleep(0.5)
        rows.append(("after start", resident_kb(proc.pid), descriptors(proc.pid), 0.0))

        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        templates = []
        start = time.monotonic()
        for i in range(CAPTURES):
            body = "rawimagedata=Y" if i % 2 else "imageWSQRate=0.75"
            status, data = request(conn, "POST", "/VRNFPCapture", body)
            reply = json.loads(data)
            if status != 200 or reply["ErrorCode"] != 0:
                sys.exit("capture %d failed: %s %r" % (i, status, data[:200]))
            if len(templates) < 2:
                templates.append(reply["TemplateBase64"])
        rows.append(("after %d captures" % CAPTURES, resident_kb(proc.pid), descriptors(proc.pid),
                     time.monotonic() - start))

        match = urllib.parse.urlencode({"template1": templates[0], "template2": templates[1]})
        start = time.monotonic()
        for i in range(1, MIXED + 1):
            kind = i % 10
            if kind < 4:
                request(conn, "OPTIONS", "/VRNFPCapture")
            elif kind < 6:
                request(conn, "POST", "/VRNGetPublicKey", "")
            elif kind < 8:
                request(conn, "POST", "/VRNMatchScore", match)
            elif kind == 8:
                # A new connection for a pre-flight, cut off by a reset.
                with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
                    sock.sendall(PREFLIGHT)
                    sock.recv(64)
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif i % 100 == 9:
                request(conn, "POST", "/VRNFPCapture", "")
            else:
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
                request(conn, "OPTIONS", "/VRNFPCapture")
            if i in (MIXED // 2, MIXED):
                rows.append(("after %d mixed requests" % i, resident_kb(proc.pid),
                             descriptors(proc.pid), time.monotonic() - start))
        conn.close()
        time.sleep(0.5)
        rows.append(("all clients gone", resident_kb(proc.pid), descriptors(proc.pid), 0.0))

        print("%-30s %12s %12s %10s" % ("", "resident kB", "descriptors", "seconds"))
        for name, kb, fds, secs in rows:
            print("%-30s %12d %12d %10.1f" % (name, kb, fds, secs))
        half, full = rows[-3][1], rows[-2][1]
        print("growth from %d to %d mixed requests: %+d kB" % (MIXED // 2, MIXED, full - half))
    finally:
        proc.terminate()
        proc.wait(timeout=10)


if __name__ == "__main__":
    main()
