"""The Windows installer under Wine: a silent install puts the program and
kestrav-cert in Program Files with its Start-menu entry and Run key, makes the
HTTPS certificate, trusts its root in the machine's Root store (Wine keeps it
in the registry) and starts the service, which serves HTTPS on 8443 and HTTP
on 8000; a silent uninstall stops it and takes every file, key and the root
away again.

Registered in the Windows build only (and run alone: the uninstaller stops
every running service of the prefix). Ports 8000 and 8443 must be free.
"""

import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_harness import (  # noqa: E402
    BINARY_DIR,
    LAUNCHER,
    PREFLIGHT_REPLY,
    preflight_request,
)

VERSION = "1.1.0.15"
SETUP = os.path.join(BINARY_DIR, "kestrav-setup-%s.exe" % VERSION)
PREFIX = os.environ.get("WINEPREFIX", os.path.join(BINARY_DIR, "wineprefix"))
INSTALL_DIR = os.path.join(PREFIX, "drive_c", "Program Files", "Kestrav")
MENU_ENTRY = "Programs/Kestrav/Kestrav Biometric Service.lnk"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KestravBiometricService"
RUN_VALUE = "Kestrav Biometric Service"
DEFAULT_PORT = 8000
HTTPS_PORT = 8443
ROOT_STORE = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"
WAIT = 60.0


def wine(*args, timeout=120):
    # Output to a file, never a pipe: the service the installer starts keeps
    # whatever it inherits open for its whole life.
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(LAUNCHER + list(args), stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, timeout=timeout).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace")


def registry_has(key, value=None):
    args = ["reg", "query", key] + (["/v", value] if value else [])
    code, text = wine(*args)
    return code == 0, text


def menu_entries():
    users = os.path.join(PREFIX, "drive_c", "users", "*")
    return glob.glob(os.path.join(users, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                                  MENU_ENTRY))


def preflight_answer(port):
    """The reply to a pre-flight on 127.0.0.1:port, or None when nothing
    listens there."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
            sock.sendall(preflight_request())
            sock.settimeout(10)
            data = b""
            while len(data) < len(PREFLIGHT_REPLY):
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
            return data
    except OSError:
        return None


def root_store_key():
    """The registry key under which the machine's Root store holds the
    installed root: its SHA-1 thumbprint."""
    out = subprocess.run(["openssl", "x509", "-in", os.path.join(INSTALL_DIR, "kestrav-root.pem"),
                          "-noout", "-fingerprint", "-sha1"], capture_output=True, text=True,
                         check=True, timeout=30).stdout
    return ROOT_STORE + "\\" + out.strip().split("=", 1)[1].replace(":", "")


def https_health(root_pem):
    return subprocess.run(["curl", "-sS", "--max-time", "10", "--cacert", root_pem,
                           "https://localhost:%d/health" % HTTPS_PORT],
                          capture_output=True, text=True, timeout=30)


def poll(condition, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("gave up waiting for: %s" % what)
        time.sleep(0.2)


class InstallerTest(unittest.TestCase):
    def test_silent_install_runs_the_service_and_silent_uninstall_removes_it(self):
        for port in (DEFAULT_PORT, HTTPS_PORT):
            self.assertIsNone(preflight_answer(port),
                              "port %d is taken; the installed service needs it" % port)
        code, out = wine(SETUP, "/S")
        self.assertEqual(code, 0, out)

        exe = os.path.join(INSTALL_DIR, "kestrav-service.exe")
        self.assertTrue(os.path.isfile(exe))
        self.assertTrue(os.path.isfile(os.path.join(INSTALL_DIR, "uninstall.exe")))
        self.assertTrue(os.path.isfile(os.path.join(INSTALL_DIR, "kestrav-cert.exe")))
        self.assertTrue(os.path.isfile(os.path.join(INSTALL_DIR, "server.pem")))
        root_key = root_store_key()
        found, text = registry_has(root_key)
        self.assertTrue(found, "root not in the machine's Root store: " + text)
        self.assertEqual(len(menu_entries()), 1)
        found, text = registry_has(RUN_KEY, RUN_VALUE)
        self.assertTrue(found, text)
        self.assertIn(r'"C:\Program Files\Kestrav\kestrav-service.exe" -s -p:8443 -hp:8000', text)
        self.assertTrue(registry_has(UNINSTALL_KEY)[0])
        # Started by the installer: the pre-flight answered byte for byte.
        poll(lambda: preflight_answer(DEFAULT_PORT) is not None, "the installed service to listen")
        self.assertEqual(preflight_answer(DEFAULT_PORT), PREFLIGHT_REPLY)
        # HTTPS from the same process, trusted through the root alone.
        root_copy = os.path.join(BINARY_DIR, "installed-root.pem")
        shutil.copyfile(os.path.join(INSTALL_DIR, "kestrav-root.pem"), root_copy)
        poll(lambda: https_health(root_copy).returncode == 0, "HTTPS on %d" % HTTPS_PORT)
        self.assertIn('"Scheme": "https"', https_health(root_copy).stdout)

        # The uninstaller runs a copy of itself from the temporary folder and
        # returns at once: wait for what it does.
        code, out = wine(os.path.join(INSTALL_DIR, "uninstall.exe"), "/S")
        self.assertEqual(code, 0, out)
        poll(lambda: not os.path.exists(INSTALL_DIR), "the install folder to go")
        poll(lambda: preflight_answer(DEFAULT_PORT) is None, "the service to stop")
        self.assertEqual(menu_entries(), [])
        self.assertFalse(registry_has(RUN_KEY, RUN_VALUE)[0])
        self.assertFalse(registry_has(UNINSTALL_KEY)[0])
        self.assertFalse(registry_has(root_key)[0], "root still in the Root store")


if __name__ == "__main__":
    if not os.path.exists(SETUP):
        sys.exit("no installer at %s" % SETUP)
    unittest.main(verbosity=2)
