"""End to end over plain HTTP: the real kestrav-service on a free loopback
port, spoken to by curl, raw sockets and Python's strict http.client."""

import asyncio
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import time
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_harness import (  # noqa: E402
    BAD_REQUEST_REPLY,
    BUFFER_GROWTH,
    FORBIDDEN_REPLY,
    MAX_REQUEST_BYTES,
    PREFLIGHT_REPLY,
    SERVICE,
    TOO_LARGE_REPLY,
    TRAY_LINE,
    Service,
    busy_port,
    ensure_log_dir,
    first_reply_before_preflight,
    preflight_request,
    read_reply,
    resident_kb,
    sanitized,
    windows_program,
)


def match_request(host_header):
    head = b"POST /VRNMatchScore HTTP/1.1\r\n"
    if host_header is not None:
        head += b"Host: " + host_header.encode() + b"\r\n"
    return head + b"Content-Length: 0\r\n\r\n"


def public_key_route_answers(service):
    """True once the public-key endpoint exists (it answers with JSON)."""
    reply = first_reply_before_preflight(
        service, b"GET /VRNGetPublicKey HTTP/1.1\r\nHost: localhost\r\n\r\n"
    )
    return reply.startswith(b"HTTP/1.1 200 OK\r\n")


class HttpServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def test_preflight_reply_byte_for_byte_with_curl(self):
        for path in ["/VRNFPCapture", "/ZAROZuzoder", "/VRNFPCapture?x=1"]:
            with self.subTest(path=path):
                out = subprocess.run(
                    ["curl", "-sS", "-D", "-", "-o", "/dev/null", "-X", "OPTIONS",
                     "-H", "Host: evil.example", self.service.url(path)],
                    capture_output=True, timeout=30,
                )
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout, PREFLIGHT_REPLY)

    def test_every_request_answered_in_order(self):
        not_found = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"
        for path in ["/unknown", "/vrnfpcapture", "/VRNFPCapture/", "/health/", "/"]:
            with self.subTest(path=path):
                request = ("GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path).encode()
                self.assertEqual(first_reply_before_preflight(self.service, request), not_found)
        # Routed by its path, its authority checked in the Host field's place.
        absolute = b"GET http://localhost:8000/health HTTP/1.1\r\nHost: evil.example\r\n\r\n"
        reply = first_reply_before_preflight(self.service, absolute)
        self.assertTrue(reply.startswith(b"HTTP/1.1 200 OK\r\n"), reply)

    def read_to_end(self, request, shut=False):
        """What the service sends until it closes; a reset fails."""
        with self.service.connect() as sock:
            sock.sendall(request)
            if shut:
                sock.shutdown(socket.SHUT_WR)
            sock.settimeout(10)
            data = b""
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    return data
                data += chunk

    def test_last_replies_come_before_the_close(self):
        cases = [
            ("Connection: close", preflight_request().replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n")
             + preflight_request(), False),
            ("HTTP/1.0", preflight_request().replace(b"HTTP/1.1", b"HTTP/1.0") * 2, False),
            ("half-closed", preflight_request() * 2, True),
        ]
        for why, request, shut in cases:
            with self.subTest(why=why):
                want = PREFLIGHT_REPLY * (2 if shut else 1)
                self.assertEqual(self.read_to_end(request, shut), want)
        # A target over the bound, sent whole while the refusal is written:
        # the 414 is read, not lost to a reset.
        long_target = b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: localhost\r\n\r\n"
        self.assertTrue(self.read_to_end(long_target).startswith(b"HTTP/1.1 414 URI Too Long\r\n"))

    def test_key_rotation_is_local_and_keeps_the_loop_serving(self):
        rotate = (b"POST /VRNGetPublicKey HTTP/1.1\r\nHost: %s\r\nContent-Length: 10\r\n\r\n"
                  b"generate=Y")
        self.assertEqual(first_reply_before_preflight(self.service, rotate % b"evil.example"),
                         FORBIDDEN_REPLY)
        keys = []
        socks = [self.service.connect() for _ in range(3)]
        health = self.service.connect()  # kept open: the time is the loop's, not a connect's
        health.settimeout(10)
        try:
            for sock in socks:
                sock.sendall(rotate % b"[::1]:8000")
            worst = 0.0
            for _ in range(20):
                start = time.monotonic()
                health.sendall(b"GET /health HTTP/1.1\r\nHost: localhost\r\n\r\n")
                self.assertTrue(read_reply(health)[0].startswith(b"HTTP/1.1 200 OK"))
                worst = max(worst, time.monotonic() - start)
            for sock in socks:
                sock.settimeout(10)
                data = b""
                while not data.endswith(b"}"):
                    data += sock.recv(65536)
                keys.append(json.loads(data.split(b"\r\n\r\n", 1)[1])["PublicKey"])
        finally:
            for sock in socks + [health]:
                sock.close()
        print("/health while a key is made: worst %.1f ms" % (1000 * worst))
        self.assertEqual(len(set(keys)), 1, "requests of the same moment share one new key")
        self.assertLess(worst, 0.05)

    def test_host_check(self):
        cases = [
            ("localhost", True),
            ("LOCALHOST:8000", True),
            ("127.0.0.1:1234", True),
            ("localhost.localdomain", True),
            ("127.0.0.2", False),
            ("localhost.example.net", False),
            ("127.0.0.1.example.net:80", False),
            ("localhost:", False),
            (None, False),
        ]
        for host, accepted in cases:
            with self.subTest(host=host):
                reply = first_reply_before_preflight(self.service, match_request(host))
                if accepted:
                    self.assertTrue(reply.startswith(b"HTTP/1.1 200 OK\r\n"), reply)
                else:
                    self.assertEqual(reply, FORBIDDEN_REPLY)

    def test_kept_open_connection_parses_cleanly_in_strict_client(self):
        conn = http.client.HTTPConnection(self.service.host, self.service.port, timeout=10)
        try:
            for _ in range(2):
                conn.request("OPTIONS", "/VRNFPCapture")
                reply = conn.getresponse()
                self.assertEqual(reply.status, 204)
                self.assertEqual(reply.read(), b"")
                conn.request("POST", "/VRNMatchScore", body=b"", headers={"Host": "evil.example"})
                reply = conn.getresponse()
                self.assertEqual(reply.status, 403)
                self.assertEqual(reply.getheader("Content-Length"), "0")
                self.assertEqual(reply.read(), b"")
            if not public_key_route_answers(self.service):
                print("public-key endpoint not built yet: JSON framing checked by unit tests")
                return
            for _ in range(2):
                conn.request("GET", "/VRNGetPublicKey")
                reply = conn.getresponse()
                self.assertEqual(reply.status, 200)
                self.assertEqual(reply.getheader("Access-Control-Allow-Origin"), "*")
                body = json.loads(reply.read())
                self.assertEqual(body["ErrorCode"], 0)
            conn.request("OPTIONS", "/VRNFPCapture")
            self.assertEqual(conn.getresponse().status, 204)
        finally:
            conn.close()

    def test_tray_icon_shows_http_version(self):
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and not self.service.tray_lines():
            time.sleep(0.1)
        lines = self.service.tray_lines()
        self.assertTrue(lines, self.service.lines)
        self.assertEqual(lines[0].group(1), "add")
        self.assertEqual(lines[-1].group(3), "102")
        self.assertEqual(lines[-1].group(4), "Kestrav Biometric HTTP:1.1.0.15")


def curl(*args):
    return subprocess.run(["curl", "-sS", *args], capture_output=True, timeout=60)


class HttpConformanceTest(unittest.TestCase):
    """Message rules seen by real clients; tests/net/http_conformance_test.cpp
    has the full table."""

    @classmethod
    def setUpClass(cls):
        cls.service = Service().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def test_curl_head_twice_on_one_connection(self):
        with self.service.connect() as sock:
            sock.sendall(b"GET /VRNGetPublicKey HTTP/1.1\r\n\r\n")
            get_head, _, _ = read_reply(sock)
        url = self.service.url("/VRNGetPublicKey")
        out = curl("-v", "-I", url, url)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, get_head * 2, "the GET reply's headers, no body")
        self.assertIn(b"Re-using existing connection", out.stderr)
        self.assertNotIn(b"Excess", out.stderr)

    def test_curl_2mb_body_with_expect_answered_at_once(self):
        # Within the 4 MiB bound, so the body is taken after "100 Continue";
        # without it curl would wait the 30 s it is told to before sending
        # (far beyond what a loaded machine adds).
        with tempfile.NamedTemporaryFile() as body:
            body.write(b"template1=" + b"A" * (2 << 20))
            body.flush()
            out = curl("-v", "-o", "/dev/null", "-w", "%{http_code} %{time_total}",
                       "--expect100-timeout", "30",
                       "-H", "Host: localhost", "--data-binary", "@" + body.name,
                       self.service.url("/VRNMatchScore"))
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"> Expect: 100-continue", out.stderr)
        self.assertIn(b"< HTTP/1.1 100 Continue", out.stderr)
        code, seconds = out.stdout.split()
        self.assertEqual(code, b"200")
        self.assertLess(float(seconds), 15)

    def test_curl_post_without_body_answered_at_once(self):
        out = curl("-X", "POST", "-m", "5", "-w", "\n%{http_code}", self.service.url("/VRNGetPublicKey"))
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertTrue(out.stdout.endswith(b"\n200"), out.stdout)

    @unittest.skipIf(windows_program(), "resident memory is read from Linux's /proc")
    def test_300mb_body_leaves_memory_bounded(self):
        # The buffer of one request grows to at most 1.5 times the bound; a
        # sanitizer build also keeps every outgrown block in its quarantine.
        limit_kb = MAX_REQUEST_BYTES * BUFFER_GROWTH / 1024 + 2048
        if sanitized():
            limit_kb *= 4
        heads = {
            "announced 4 GB": b"Content-Length: 4000000000\r\n",
            "chunked": b"Transfer-Encoding: chunked\r\n",
        }
        piece = b"x" * 65536
        for name, framing in heads.items():
            with self.subTest(framing=name):
                before = resident_kb(self.service.proc.pid)
                peak = before
                with self.service.connect() as sock:
                    sock.sendall(b"POST /VRNMatchScore HTTP/1.1\r\nHost: localhost\r\n" + framing + b"\r\n")
                    data = b"10000\r\n" + piece + b"\r\n" if b"chunked" in framing else piece
                    sent = 0
                    try:
                        while sent < 300_000_000:
                            sock.sendall(data)
                            sent += len(data)
                            peak = max(peak, resident_kb(self.service.proc.pid))
                    except OSError:
                        pass  # refused and closed: the rest is not read
                    sock.settimeout(10)
                    self.assertEqual(sock.recv(4096), TOO_LARGE_REPLY)
                self.assertLess(sent, 300_000_000, "refused long before the end")
                self.assertLess(peak - before, limit_kb)

    def test_websockets_client_connects(self):
        import websockets  # python3-websockets

        async def talk():
            uri = "ws://%s:%d/ws" % (self.service.host, self.service.port)
            async with websockets.connect(uri, ping_interval=None) as ws:
                await asyncio.wait_for(await ws.ping(), 5)
                await ws.close()
                return ws.close_code

        self.assertEqual(asyncio.run(asyncio.wait_for(talk(), 20)), 1000)

    def test_bare_websocket_key_is_refused(self):
        with self.service.connect() as sock:
            sock.sendall(b"GET /VRNFPCapture HTTP/1.1\r\nHost: localhost\r\n"
                         b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
            sock.settimeout(5)
            data = b""
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
            else:
                self.fail("still open after %r" % data)
        self.assertEqual(data, BAD_REQUEST_REPLY, "answered, then closed")


class StartupTest(unittest.TestCase):
    def test_port_in_use_ends_with_code_1(self):
        busy = busy_port()
        try:
            port = busy.getsockname()[1]
            for arg in ["-p:127.0.0.1:%d" % port, "-p:%d" % port]:
                with self.subTest(arg=arg):
                    with Service(port_arg=arg, wait_listening=False) as service:
                        self.assertEqual(service.wait_exit(), 1)
                        time.sleep(0.2)
                        self.assertIn("Port Bind error to port %d" % port, service.stderr())
        finally:
            busy.close()

    def test_port_alone_listens_on_the_loopback_only(self):
        # On every interface, any machine of the network could send
        # "Host: localhost" and drive the reader.
        with Service(port_arg="-p:0") as service:
            self.assertEqual(service.host, "127.0.0.1")
            six = service.wait_for(re.compile(r"^Listening on \[::1\]:(\d+) \(http\)$"), 5)
            if socket.has_ipv6 and six is not None:
                self.assertEqual(int(six.group(1)), service.port, "the same port on [::1]")
                with socket.create_connection(("::1", service.port), timeout=10) as sock:
                    sock.sendall(preflight_request())
                    self.assertEqual(read_reply(sock)[0], PREFLIGHT_REPLY)
            else:
                print("no IPv6 loopback: IPv4 alone")
            time.sleep(0.2)
            self.assertNotIn("Warning", service.stderr())

    def test_explicit_address_binds_as_given_with_a_warning(self):
        with Service(port_arg="-p:0.0.0.0:0") as service:
            self.assertEqual(service.host, "0.0.0.0")
            time.sleep(0.2)
            self.assertIn("Warning: listening on 0.0.0.0:%d, beyond this machine" % service.port,
                          service.stderr())
            self.assertNotIn("[::1]", "\n".join(service.lines))

    def test_unparsable_port_ends_with_code_1(self):
        for arg, named in [("-p:8000x", 8000), ("-p:65535", 65535), ("-p:nohost.x:80", 80)]:
            with self.subTest(arg=arg):
                with Service(port_arg=arg, wait_listening=False) as service:
                    self.assertEqual(service.wait_exit(), 1)
                    time.sleep(0.2)
                    self.assertIn("Port Bind error to port %d" % named, service.stderr())

    @unittest.skipUnless(ensure_log_dir(), "/logs cannot be written")
    def test_level_99_traces_arguments_and_network(self):
        with Service("-dl:99", "-d:NX51") as service:
            path = service.trace_path()
            try:
                self.assertTrue(first_reply_before_preflight(service, b"GET /x HTTP/1.1\r\n\r\n")
                                .startswith(b"HTTP/1.1 404 "))
                service.settle()
                with open(path) as f:
                    trace = f.read()
                for i, arg in enumerate(service.args):
                    self.assertIn("[ravadoviz:437]: arg[%d]:[%s]\n\n" % (i, arg), trace)
                self.assertIn("[ravadoviz:236]: Request -PREFLIGHT-VRNFPCapture\n", trace)
                out = "\n".join(service.lines)
                self.assertIn("Called InitUIDAIServices", out)
                self.assertIn("Leaving InitUIDAIServices", out)
                self.assertRegex(out, r"using select\(\)")
                self.assertRegex(out, r"bytes")
            finally:
                if os.path.exists(path):
                    os.unlink(path)

    @unittest.skipUnless(ensure_log_dir(), "/logs cannot be written")
    def test_level_2_writes_only_the_key_entries(self):
        with Service("-dl:2") as service:
            path = service.trace_path()
            try:
                has_keys = public_key_route_answers(service)
                service.settle()
                trace = ""
                if os.path.exists(path):
                    with open(path) as f:
                        trace = f.read()
                self.assertNotIn("PRIVATE KEY", trace)
                self.assertNotIn("Called", "\n".join(service.lines))
                if not has_keys:
                    self.assertEqual(trace, "")
                    print("key pair not built yet: no key entries expected")
                    return
                entries = re.fullmatch(
                    r"Public Key (-----BEGIN [A-Z ]*PUBLIC KEY-----\n[A-Za-z0-9+/=\n]+"
                    r"-----END [A-Z ]*PUBLIC KEY-----\n?) \n\nPrivate Key <not logged> \n\n",
                    trace,
                )
                self.assertIsNotNone(entries, trace)
            finally:
                if os.path.exists(path):
                    os.unlink(path)


if __name__ == "__main__":
    if not os.path.exists(SERVICE):
        sys.exit("no executable at %s" % SERVICE)
    unittest.main(verbosity=2)
