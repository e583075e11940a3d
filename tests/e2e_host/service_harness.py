"""Starts the real kestrav-service on a free loopback port and talks to it.

Used by the end-to-end scripts of this folder. Every process started here is
killed when its Service leaves the `with` block, whatever happened inside.
"""

import os
import queue
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time

BINARY_DIR = os.environ.get("KV_BINARY_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
SERVICE = os.path.join(BINARY_DIR, "host", "kestrav-service")
LISTEN_LINE = re.compile(r"^Listening on ([0-9.]+):(\d+) \((https?)\)$")
TRAY_LINE = re.compile(r"^tray (add|modify) id=(\d+) icon=(\d+) tip=(.*)$")
START_TIMEOUT = 20.0

PREFLIGHT_REPLY = (
    b"HTTP/1.1 204  No Content\r\n"
    b"Date: Tue, 12 Sept 2023 17:00:00 GMT \r\n"
    b"Server: IIS \r\n"
    b"Access-Control-Allow-Private-Network: true \r\n"
    b"Access-Control-Allow-Origin: * \r\n"
    b"Access-Control-Allow-Methods: POST \r\n"
    b"Access-Control-Max-Age: 86400 \r\n"
    b"Vary: Accept-Encoding, Origin \r\n"
    b"Keep-Alive: timeout=2, max=10000 \r\n"
    b"Connection: Keep-Alive \r\n"
    b"\r\n"
)
FORBIDDEN_REPLY = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"


class Service:
    """One running service. Lines of standard output are collected as they
    come; standard error is kept for the end."""

    def __init__(self, *args, executable=SERVICE, port_arg="-p:127.0.0.1:0", wait_listening=True):
        self.args = [executable] + ([port_arg] if port_arg else []) + list(args)
        self.wait_listening = wait_listening
        self.lines = []
        self._new_lines = queue.Queue()
        self.proc = None
        self.host = None
        self.port = None

    def __enter__(self):
        self.proc = subprocess.Popen(
            self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL
        )
        self._stderr_chunks = []
        threading.Thread(target=self._read_stdout, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()
        if self.wait_listening:
            match = self.wait_for(LISTEN_LINE, START_TIMEOUT)
            if match is None:
                self.stop()
                raise AssertionError(
                    "service did not listen; stdout=%r stderr=%r" % (self.lines, self.stderr())
                )
            self.host, self.port = match.group(1), int(match.group(2))
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def _read_stdout(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines.append(line)
            self._new_lines.put(line)

    def _read_stderr(self):
        for raw in self.proc.stderr:
            self._stderr_chunks.append(raw.decode("utf-8", "replace"))

    def stderr(self):
        return "".join(self._stderr_chunks)

    def wait_for(self, pattern, timeout):
        """The next line not yet taken by a wait that matches pattern (lines
        in between are passed over), or None after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                line = self._new_lines.get(timeout=left)
            except queue.Empty:
                return None
            match = pattern.match(line)
            if match:
                return match

    def settle(self, quiet=0.5, limit=10.0):
        """Waits until no line has arrived for `quiet` seconds."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            try:
                self._new_lines.get(timeout=quiet)
            except queue.Empty:
                return

    def tray_lines(self):
        return [TRAY_LINE.match(line) for line in self.lines if TRAY_LINE.match(line)]

    def wait_exit(self, timeout=START_TIMEOUT):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        if self.proc:
            self.proc.stdout.close()
            self.proc.stderr.close()

    def connect(self, timeout=10.0, tls=False):
        sock = socket.create_connection((self.host, self.port), timeout=timeout)
        if not tls:
            return sock
        # The test certificates are self-signed: encryption without trust.
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        return context.wrap_socket(sock)

    def url(self, path, scheme="http"):
        return "%s://%s:%d%s" % (scheme, self.host, self.port, path)


def read_reply(sock, timeout=10.0):
    """Reads one HTTP reply (header block plus Content-Length bytes) from a
    blocking socket; returns (header_block, body)."""
    sock.settimeout(timeout)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise AssertionError("connection closed after %r" % data)
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    head += b"\r\n\r\n"
    length = 0
    for line in head.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        chunk = sock.recv(4096)
        if not chunk:
            raise AssertionError("body cut short")
        rest += chunk
    return head, rest[:length], rest[length:]


def preflight_request():
    return b"OPTIONS /VRNFPCapture HTTP/1.1\r\nHost: localhost\r\n\r\n"


def first_reply_before_preflight(service, request, tls=False):
    """Sends request and then a pre-flight on one connection; returns every
    byte that came before the pre-flight's reply. The service answers in
    order, so this is exactly what the first request was answered with."""
    with service.connect(tls=tls) as sock:
        sock.sendall(request)
        # A separate write, so the second request never waits in the same
        # receive buffer as the first.
        time.sleep(0.2)
        sock.sendall(preflight_request())
        sock.settimeout(10.0)
        data = b""
        while PREFLIGHT_REPLY not in data:
            chunk = sock.recv(4096)
            if not chunk:
                raise AssertionError("connection closed after %r" % data)
            data += chunk
        return data[: data.index(PREFLIGHT_REPLY)]


def busy_port():
    """A loopback socket that listens without address reuse; the caller
    closes it."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(1)
    return sock


class TempDir:
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="kv-e2e-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)
        return False


def trace_file(pid):
    return "/logs/trace-%05d.txt" % pid


def ensure_log_dir():
    """The trace file lives in /logs, which the service never creates. True
    when the directory exists (or could be made) and is writable."""
    try:
        os.makedirs("/logs", exist_ok=True)
    except OSError:
        return False
    return os.access("/logs", os.W_OK)
