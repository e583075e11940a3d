"""Starts the real kestrav-service on a free loopback port and talks to it.

Used by the end-to-end scripts of this folder and of tests/e2e_api. Every
process started here is killed when its Service leaves the `with` block,
whatever happened inside.

The command that starts the service is KV_SERVICE_COMMAND, split like a shell
line, whose last word is the executable; without it, the executable of the
build in KV_BINARY_DIR. The Windows program runs under Wine this way:

    KV_SERVICE_COMMAND="wine build-windows/host/kestrav-service.exe"

and the Linux program under valgrind's memcheck (scripts/valgrind-e2e.sh)
with "valgrind --tool=memcheck ... build/host/kestrav-service".

Wine must already be running on an X display, with a desktop that has a
notification area (scripts/wine-start.sh), so that no helper Wine starts on
first use holds the output pipes. The program writes the same console lines
there as on Linux (its output is unbuffered); the fatal error box, modal on
Windows, is closed the way a user would, with Return sent by xdotool.
"""

import ntpath
import os
import queue
import re
import shlex
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time

BINARY_DIR = os.environ.get("KV_BINARY_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
_COMMAND = shlex.split(os.environ.get("KV_SERVICE_COMMAND", "")) or [
    os.path.join(BINARY_DIR, "host", "kestrav-service")
]
LAUNCHER = _COMMAND[:-1]  # what runs the executable, e.g. ["wine"]; empty on Linux
SERVICE = os.path.abspath(_COMMAND[-1])
LISTEN_LINE = re.compile(r"^Listening on ([0-9.]+):(\d+) \((https?)\)$")
TRAY_LINE = re.compile(r"^tray (add|modify) id=(\d+) icon=(\d+) tip=(.*)$")
TRACE_LINE = re.compile(r"^Trace file (.+)$")
START_TIMEOUT = float(os.environ.get("KV_SERVICE_START_TIMEOUT", "20"))
ERROR_BOX_CAPTION = "Kestrav India Biometric Service"

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
BAD_REQUEST_REPLY = b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
TOO_LARGE_REPLY = b"HTTP/1.1 413 Content Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
# What one request may make the service hold (net/http_protocol.h), and the
# receive buffer's growth factor on top of it.
MAX_REQUEST_BYTES = 4 << 20
BUFFER_GROWTH = 1.5


def windows_program():
    """True when the service is a Windows program run through a launcher."""
    return bool(LAUNCHER) and SERVICE.lower().endswith(".exe")


def program_path_as_seen(path):
    """The path of an executable as the program itself sees it in argv[0]:
    Wine passes a Windows path, on the drive Z: that maps the Unix root."""
    path = os.path.abspath(path)
    return "Z:" + path.replace("/", "\\") if windows_program() else path


# The Windows program is started in the root of the prefix's drive C:, so its
# trace files ("\\logs\\..." on the current drive) land in the prefix and not
# among those of Linux runs in /logs: Wine hands out the same process ids
# again in every new session, and a trace file is named by its process id.
WINE_DRIVE_C = os.path.join(os.environ.get("WINEPREFIX") or os.path.join(BINARY_DIR, "wineprefix"),
                            "drive_c")


def service_cwd():
    return WINE_DRIVE_C if windows_program() else None


def local_path(path):
    """A path the service printed, as this process opens it. The Windows
    program writes root-relative paths on its current drive, C:."""
    if not windows_program():
        return path
    drive, rest = ntpath.splitdrive(path)
    rest = rest.replace("\\", "/")
    if drive.upper() == "Z:":  # the Unix root
        return rest
    if drive and drive.upper() != "C:":
        raise AssertionError("path on an unexpected drive: %r" % path)
    return WINE_DRIVE_C + rest


LOG_DIR = local_path("\\logs") if windows_program() else "/logs"


class Service:
    """One running service. Lines of standard output are collected as they
    come; standard error is kept for the end. `args` is the program's own
    argument list as it sees it; `command` is what was run."""

    def __init__(self, *args, executable=SERVICE, port_arg="-p:127.0.0.1:0", wait_listening=True,
                 env=None, preexec_fn=None):
        options = ([port_arg] if port_arg else []) + list(args)
        self.command = LAUNCHER + [os.path.abspath(executable)] + options
        self.args = [program_path_as_seen(executable)] + options
        self.env = None if env is None else dict(os.environ, **env)
        self.wait_listening = wait_listening
        self.preexec_fn = preexec_fn
        self.lines = []
        self._new_lines = queue.Queue()
        self.proc = None
        self.host = None
        self.port = None

    def __enter__(self):
        self.proc = subprocess.Popen(
            self.command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            env=self.env, cwd=service_cwd(), preexec_fn=self.preexec_fn,
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
            # The Windows C runtime ends its text lines with CR LF.
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
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

    def trace_path(self):
        """The trace file the service named at start (with -dl: only)."""
        for line in self.lines:
            match = TRACE_LINE.match(line)
            if match:
                return local_path(match.group(1))
        raise AssertionError("no trace file line in %r" % self.lines)

    def wait_exit(self, timeout=START_TIMEOUT):
        """The exit code, or None after timeout seconds. A fatal error box
        that waits for a click is closed on the way."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return self.proc.wait(timeout=0.5)
            except subprocess.TimeoutExpired:
                if time.monotonic() >= deadline:
                    return None
                close_error_boxes()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            if LAUNCHER and not windows_program():
                # A wrapper such as valgrind (scripts/valgrind-e2e.sh) still
                # writes its report when the process is terminated, not killed.
                self.proc.terminate()
                try:
                    self.proc.wait(timeout=120)
                except subprocess.TimeoutExpired:
                    pass
            if self.proc.poll() is None:
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


def close_error_boxes():
    """Presses Return on every open error box of the service, as a user
    would. Only a Windows program on an X display has them; elsewhere the
    text goes to standard error and the program goes on by itself."""
    if not windows_program() or not os.environ.get("DISPLAY") or not shutil.which("xdotool"):
        return
    found = subprocess.run(
        ["xdotool", "search", "--name", "^%s$" % ERROR_BOX_CAPTION],
        capture_output=True, text=True, timeout=10,
    )
    for window in found.stdout.split():
        subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Return"],
                       capture_output=True, timeout=10)


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


def resident_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def sanitized(executable=SERVICE):
    """True for an AddressSanitizer build, whose freed blocks wait in a
    quarantine instead of going back to the heap, or for a service run under
    valgrind, whose memcheck does the same and adds shadow memory."""
    if LAUNCHER and os.path.basename(LAUNCHER[0]) == "valgrind":
        return True
    with open(executable, "rb") as f:
        return b"__asan_init" in f.read()


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


def ensure_log_dir():
    """The trace file lives in /logs (LOG_DIR for the Windows program), which
    the service never creates. True when the directory exists (or could be
    made) and is writable."""
    try:
        os.makedirs(LOG_DIR, exist_ok=True)
    except OSError:
        return False
    return os.access(LOG_DIR, os.W_OK)
