"""Flood and fault tests of the real kestrav-service on loopback: hundreds of
idle, upgraded and half-sent connections held open while busy clients are
served, bursts of connects, a fast WebSocket sender, peers that reset or
abort their TLS handshake, garbage on the TLS port, and the descriptor limit.
Nothing may crash, and descriptors and memory must come back. Every loop is
bounded in count and time."""

import os
import resource
import selectors
import socket
import ssl
import statistics
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_harness import (  # noqa: E402
    MAX_REQUEST_BYTES,
    PREFLIGHT_REPLY,
    Service,
    TempDir,
    preflight_request,
    resident_kb,
    sanitized,
)
from test_https_service import install_service, make_server_pem  # noqa: E402

IDLE_TCP, IDLE_WS, HALF_HEADER, KEEP_ALIVE, BURST = 300, 100, 50, 200, 100
WS_KEY = b"dGhlIHNhbXBsZSBub25jZQ=="
WS_UPGRADE = (
    b"GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: " + WS_KEY + b"\r\n\r\n"
)
HALF_REQUEST = b"POST /VRNMatchScore HTTP/1.1\r\nHost: localhost\r\nContent-"
SANITIZED = sanitized()


def raise_descriptor_limit(want=8192):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def wait_descriptors(pid, want, limit=10.0):
    """Polls until the service holds want descriptors; returns the last count."""
    deadline = time.monotonic() + limit
    count = open_descriptors(pid)
    while count != want and time.monotonic() < deadline:
        time.sleep(0.05)
        count = open_descriptors(pid)
    return count


def reset(sock):
    """Closes with a reset instead of an orderly close."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def close_all(socks):
    for s in socks:
        s.close()
    socks.clear()


def answer_all(socks, request, reply, limit=20.0):
    """Sends request on every socket and waits for reply on each; returns
    how many got it whole within the limit."""
    sel = selectors.DefaultSelector()
    got = {}
    for s in socks:
        s.setblocking(True)
        s.sendall(request)
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
        got[s] = b""
    deadline = time.monotonic() + limit
    done = 0
    while done < len(socks) and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=0.2):
            try:
                chunk = key.fileobj.recv(65536)
            except BlockingIOError:
                continue
            got[key.fileobj] += chunk
            if not chunk or len(got[key.fileobj]) >= len(reply):
                sel.unregister(key.fileobj)
                done += got[key.fileobj] == reply
    sel.close()
    for s in socks:
        s.setblocking(True)
    return sum(1 for s in socks if got[s] == reply)


def preflight_time(service):
    """Seconds from connect to the whole pre-flight reply on a new connection."""
    start = time.monotonic()
    with service.connect() as sock:
        sock.sendall(preflight_request())
        data = b""
        while len(data) < len(PREFLIGHT_REPLY):
            chunk = sock.recv(4096)
            if not chunk:
                break
            data += chunk
    if data != PREFLIGHT_REPLY:
        raise AssertionError("pre-flight answered with %r" % data)
    return time.monotonic() - start


def burst_connect(service, n):
    """Starts n connects at once; returns the sockets and the longest time one
    took to complete."""
    sel = selectors.DefaultSelector()
    socks, started, longest = [], {}, 0.0
    for _ in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        started[s] = time.monotonic()
        s.connect_ex((service.host, service.port))
        sel.register(s, selectors.EVENT_WRITE)
        socks.append(s)
    pending, deadline = n, time.monotonic() + 10
    while pending and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=0.5):
            if key.fileobj.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                raise AssertionError("a connect of the burst failed")
            longest = max(longest, time.monotonic() - started[key.fileobj])
            sel.unregister(key.fileobj)
            pending -= 1
    sel.close()
    if pending:
        raise AssertionError("%d connects of the burst never completed" % pending)
    return socks, longest


def websocket(service):
    sock = service.connect()
    sock.sendall(WS_UPGRADE)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise AssertionError("upgrade refused: %r" % data)
        data += chunk
    if not data.startswith(b"HTTP/1.1 101"):
        raise AssertionError("upgrade answered with %r" % data)
    return sock


def ws_frame(payload):
    """A masked binary frame (mask key zero: the payload goes as it is)."""
    head = b"\x82" + (bytes([0x80 | 126]) + struct.pack("!H", len(payload)))
    return head + b"\0\0\0\0" + payload


class FloodTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        raise_descriptor_limit()

    def flood_round(self, service):
        """One round: idle, upgraded and half-sent connections held while
        keep-alive clients, new clients and bursts are served."""
        held = []
        try:
            held += [service.connect() for _ in range(IDLE_TCP)]
            held += [websocket(service) for _ in range(IDLE_WS)]
            for _ in range(HALF_HEADER):
                held.append(service.connect())
                held[-1].sendall(HALF_REQUEST)

            busy = [service.connect() for _ in range(KEEP_ALIVE)]
            held += busy
            for _ in range(2):  # keep-alive: a second request on each connection
                self.assertEqual(answer_all(busy, preflight_request(), PREFLIGHT_REPLY), KEEP_ALIVE)

            times = [preflight_time(service) for _ in range(5)]
            self.assertLess(statistics.median(times), 0.1, "new client's pre-flight: %r" % times)

            for _ in range(2):
                socks, longest = burst_connect(service, BURST)
                try:
                    self.assertLess(longest, 0.2, "slowest connect of a burst of %d" % BURST)
                    self.assertEqual(answer_all(socks, preflight_request(), PREFLIGHT_REPLY), BURST)
                finally:
                    close_all(socks)
        finally:
            close_all(held)

    def test_flood_leaves_no_descriptor_or_memory_behind(self):
        with Service() as service:
            pid = service.proc.pid
            base_fds = open_descriptors(pid)
            self.flood_round(service)  # the allocator's pools grow to the flood's size
            self.assertEqual(wait_descriptors(pid, base_fds), base_fds)
            first_kb = resident_kb(pid)
            self.flood_round(service)
            self.assertEqual(wait_descriptors(pid, base_fds), base_fds)
            grown_kb = resident_kb(pid) - first_kb
            print("flood: %d descriptors at rest, resident %d kB after one round, %+d kB after "
                  "the second" % (base_fds, first_kb, grown_kb))
            # ASan keeps freed blocks in quarantine: resident memory says nothing there.
            if not SANITIZED:
                self.assertLess(grown_kb, 2048, "a second identical flood needed more memory")
            self.assertIsNone(service.proc.poll())

    def test_fast_websocket_sender_does_not_hold_back_preflights(self):
        with Service() as service:
            sender = websocket(service)
            stop = threading.Event()
            frame = ws_frame(os.urandom(4000))

            def flood():
                try:
                    while not stop.is_set():
                        sender.sendall(frame * 16)
                except OSError:
                    pass

            thread = threading.Thread(target=flood, daemon=True)
            thread.start()
            try:
                time.sleep(0.3)  # the sender is in full flow
                times = [preflight_time(service) for _ in range(50)]
            finally:
                stop.set()
                reset(sender)
                thread.join(timeout=10)
            print("pre-flights beside a fast sender: median %.1f ms, worst %.1f ms"
                  % (1000 * statistics.median(times), 1000 * max(times)))
            self.assertLess(max(times), 0.05, "every pre-flight within 50 ms")

    def test_pings_never_read_leave_memory_flat(self):
        """Pings from a peer that never reads its pongs (each would queue 127
        bytes): once output waits, only the latest ping is answered."""
        with Service() as service:
            sock = websocket(service)
            before = resident_kb(service.proc.pid)
            ping = b"\x89\xfd\0\0\0\0" + b"p" * 125  # masked, longest payload
            batch = ping * 10000
            sock.settimeout(30)
            for _ in range(30):
                sock.sendall(batch)
            time.sleep(0.5)
            grown = resident_kb(service.proc.pid) - before
            reset(sock)
            print("300,000 pings never read: resident %+d kB" % grown)
            if not SANITIZED:
                self.assertLess(grown, 8192)

    def test_resets_aborted_handshakes_and_garbage(self):
        with TempDir() as tmp:
            make_server_pem(tmp, 365)
            executable = install_service(tmp)
            with Service() as plain, Service("-s", executable=executable) as tls:
                base = {s: open_descriptors(s.proc.pid) for s in (plain, tls)}
                for service in (plain, tls):
                    self.reset_peers(service, service is tls)
                self.abort_handshakes(tls)
                for service in (plain, tls):
                    self.assertIsNone(service.proc.poll(), "still running")
                    with service.connect(tls=service is tls) as sock:
                        sock.sendall(preflight_request())
                        data = b""
                        while len(data) < len(PREFLIGHT_REPLY):
                            chunk = sock.recv(4096)
                            if not chunk:
                                break
                            data += chunk
                        self.assertEqual(data, PREFLIGHT_REPLY, "still serving")
                    pid = service.proc.pid
                    self.assertEqual(wait_descriptors(pid, base[service]), base[service])

    def reset_peers(self, service, tls):
        # Mid-request: a body announced and cut off by a reset.
        for _ in range(20):
            sock = service.connect(tls=tls)
            sock.sendall(b"POST /VRNMatchScore HTTP/1.1\r\nHost: localhost\r\n"
                         b"Content-Length: 1000\r\n\r\ntemplate1=")
            reset(sock)
        # Mid-reply: 300 pipelined pre-flights (about 100 kB of replies), a
        # little read, then a reset while the rest is still being written.
        for _ in range(10):
            sock = service.connect(tls=tls)
            sock.sendall(preflight_request() * 300)
            sock.recv(1024)
            reset(sock)
        # A capture whose reply (about 160 kB) meets a reset.
        for _ in range(3):
            sock = service.connect(tls=tls)
            sock.sendall(b"POST /VRNFPCapture HTTP/1.1\r\nHost: localhost\r\n"
                         b"Content-Length: 0\r\n\r\n")
            sock.recv(1)
            reset(sock)

    def abort_handshakes(self, service):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        for cut in ("half hello", "after server hello", "garbage"):
            for _ in range(10):
                incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
                client = context.wrap_bio(incoming, outgoing)
                try:
                    client.do_handshake()
                except ssl.SSLWantReadError:
                    pass
                hello = outgoing.read()
                sock = service.connect()
                if cut == "half hello":
                    sock.sendall(hello[: len(hello) // 2])
                    sock.close()
                elif cut == "after server hello":
                    sock.sendall(hello)
                    sock.recv(100)
                    reset(sock)
                else:
                    sock.sendall(os.urandom(4096))
                    sock.settimeout(5)
                    try:
                        while sock.recv(4096):
                            pass  # the service answers with an alert, then closes
                    except OSError:
                        pass
                    sock.close()
        # An openssl client killed in the middle of its handshake.
        for _ in range(5):
            proc = subprocess.Popen(
                ["openssl", "s_client", "-connect", "%s:%d" % (service.host, service.port)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.02)
            proc.kill()
            proc.wait(timeout=10)


class SlowPeersTest(unittest.TestCase):
    """Peers that would hold a slot (and memory) for ever: bodies a byte at a
    time, WebSockets that never answer a ping, half-sent headers, TLS hellos
    a byte at a time. With the deadlines divided by 10 they all end within
    seconds, and a new client is answered at once."""

    DIVISOR = {"KV_NET_DEADLINE_DIVISOR": "10"}  # body grace 2 s, ping 1 s, hello 1 s
    SLOW_BODY, SILENT_WS, HALF = 400, 300, 300
    BUDGET_KB = 64 << 10

    @classmethod
    def setUpClass(cls):
        raise_descriptor_limit()

    def test_slow_peers_are_closed_and_memory_stays_in_budget(self):
        big = MAX_REQUEST_BYTES - 1
        with Service(env=self.DIVISOR) as service:
            held = []
            try:
                for _ in range(self.SLOW_BODY):
                    held.append(service.connect())
                    held[-1].sendall(b"POST /VRNMatchScore HTTP/1.1\r\nHost: localhost\r\n"
                                     b"Content-Length: %d\r\n\r\n" % big + b"x" * 60000)
                held += [websocket(service) for _ in range(self.SILENT_WS)]
                for _ in range(self.HALF):
                    held.append(service.connect())
                    held[-1].sendall(HALF_REQUEST)
                rss_kb = resident_kb(service.proc.pid)
                deadline = time.monotonic() + 15
                open_peers = len(held)
                while open_peers and time.monotonic() < deadline:
                    time.sleep(0.5)
                    for s in held:
                        try:
                            s.send(b"x")  # a byte now and then
                        except OSError:
                            pass
                    open_peers = sum(1 for s in held if not peer_closed(s))
                self.assertEqual(open_peers, 0, "slow peers still open after their deadlines")
                self.assertLess(preflight_time(service), 1.0)
                print("slow peers: %d held, resident %d kB while held" % (len(held), rss_kb))
                if not SANITIZED:
                    self.assertLess(rss_kb, self.BUDGET_KB + 64 << 10)
            finally:
                close_all(held)

    def test_tls_hello_dribbled_is_closed(self):
        with TempDir() as tmp:
            make_server_pem(tmp, 365)
            executable = install_service(tmp)
            with Service("-s", executable=executable, env=self.DIVISOR) as tls:
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
                client = context.wrap_bio(incoming, outgoing)
                try:
                    client.do_handshake()
                except ssl.SSLWantReadError:
                    pass
                hello = outgoing.read()
                start = time.monotonic()
                with tls.connect() as sock:
                    for byte in hello:
                        if peer_closed(sock):
                            break
                        sock.send(bytes([byte]))
                        time.sleep(0.2)
                    self.assertTrue(peer_closed(sock, 3.0))
                self.assertLess(time.monotonic() - start, 5.0)


def peer_closed(sock, wait=0.0):
    """True when the service has closed (or reset) the connection."""
    sock.settimeout(wait if wait > 0 else 0.001)
    try:
        while True:
            data = sock.recv(65536)
            if not data:
                return True
    except (socket.timeout, BlockingIOError):
        return False
    except OSError:
        return True


class DescriptorLimitTest(unittest.TestCase):
    """Run out of descriptors, the service once took a whole core in a loop
    of failing accepts while new clients waited for ever."""

    def test_no_busy_loop_at_the_descriptor_limit_and_served_again(self):
        raise_descriptor_limit()
        limit = 64

        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

        # -dl:99 writes a "select @" line for every pass of the poll loop.
        with Service("-dl:99", preexec_fn=low_limit) as service:
            clients = []
            try:
                for _ in range(limit + 16):
                    clients.append(service.connect())
                time.sleep(0.5)
                before = sum("select @" in line for line in service.lines)
                time.sleep(2.0)
                passes = sum("select @" in line for line in service.lines) - before
                self.assertLess(passes, 40, "poll passes in 2 s at the descriptor limit")
                refused = 0
                for sock in clients:
                    sock.settimeout(0.05)
                    try:
                        refused += sock.recv(1) == b""
                    except (socket.timeout, ConnectionResetError):
                        pass
                self.assertGreater(refused, 0, "clients beyond the limit are told at once")
            finally:
                close_all(clients)
            time.sleep(0.5)
            self.assertLess(preflight_time(service), 5.0, "served again once clients left")


if __name__ == "__main__":
    unittest.main(verbosity=2)
