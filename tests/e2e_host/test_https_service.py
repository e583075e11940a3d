"""End to end over HTTPS (-s): a copy of kestrav-service beside a server.pem
made here with openssl, spoken to by curl -k, openssl s_client and Python's
ssl module; the tray lines show the certificate state."""

import os
import re
import shutil
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_harness import (  # noqa: E402
    PREFLIGHT_REPLY,
    SERVICE,
    Service,
    TempDir,
    first_reply_before_preflight,
    preflight_request,
    windows_program,
)

HTTPS_TIP = "Kestrav Biometric HTTPS:1.1.0.15"
TIP_90 = "SSL Certificate expires in less than 90 days"
TIP_30 = "SSL Certificate expires in less than 30 days"


def make_server_pem(directory, days, name="server.pem"):
    """A self-signed RSA certificate valid for `days` more days (negative:
    expired that many days ago), written with its key as one PEM file."""
    key = os.path.join(directory, "key.pem")
    cert = os.path.join(directory, "cert.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
         "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
        check=True, capture_output=True, timeout=60,
    )
    if days != 1:
        csr = os.path.join(directory, "req.csr")
        subprocess.run(["openssl", "req", "-new", "-key", key, "-subj", "/CN=localhost", "-out", csr],
                       check=True, capture_output=True, timeout=60)
        subprocess.run(["openssl", "x509", "-req", "-in", csr, "-signkey", key, "-days", str(days),
                        "-out", cert], check=True, capture_output=True, timeout=60)
        os.unlink(csr)
    path = os.path.join(directory, name)
    with open(path, "wb") as out:
        for part in (key, cert):
            with open(part, "rb") as f:
                out.write(f.read())
    os.unlink(key)
    os.unlink(cert)
    return path


def install_service(directory):
    """A copy of the executable in directory, so that server.pem beside it
    is the one the service reads."""
    target = os.path.join(directory, os.path.basename(SERVICE))
    shutil.copy2(SERVICE, target)
    return target


def last_tray(service):
    service.settle()
    lines = service.tray_lines()
    if not lines:
        raise AssertionError("no tray line in %r" % service.lines)
    return int(lines[-1].group(3)), lines[-1].group(4)


def refresh_certificate_state(service):
    """A match request runs the certificate check again (its answer does not
    matter here); the pre-flight behind it says it has been handled."""
    first_reply_before_preflight(
        service, b"POST /VRNMatchScore HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n",
        tls=True,
    )


class HttpsServiceTest(unittest.TestCase):
    def test_curl_and_s_client_talk_tls(self):
        with TempDir() as d:
            make_server_pem(d, 100)
            with Service("-s", executable=install_service(d)) as service:
                out = subprocess.run(
                    ["curl", "-k", "-sS", "-D", "-", "-o", "/dev/null", "-X", "OPTIONS",
                     service.url("/VRNFPCapture", scheme="https")],
                    capture_output=True, timeout=30,
                )
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout, PREFLIGHT_REPLY)

                client = subprocess.Popen(
                    ["openssl", "s_client", "-quiet", "-connect", "%s:%d" % (service.host, service.port)],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                )
                received = bytearray()
                done = threading.Event()

                def read():
                    while not done.is_set():
                        chunk = client.stdout.read1(4096)
                        if not chunk:
                            break
                        received.extend(chunk)
                        if PREFLIGHT_REPLY in received:
                            done.set()

                reader = threading.Thread(target=read, daemon=True)
                reader.start()
                try:
                    client.stdin.write(preflight_request())
                    client.stdin.flush()
                    done.wait(timeout=20)
                finally:
                    client.kill()
                    client.wait(timeout=10)
                    reader.join(timeout=5)
                    client.stdin.close()
                    client.stdout.close()
                self.assertIn(PREFLIGHT_REPLY, bytes(received))

    # Regression: TLS loaded server.pem beside the name the program was
    # started by, the tray's check beside the executable itself.
    @unittest.skipIf(windows_program(), "Windows reports the link's own path as the program's")
    def test_started_through_a_link_reads_the_certificate_beside_the_executable(self):
        with TempDir() as d, TempDir() as elsewhere:
            make_server_pem(d, 100)
            link = os.path.join(elsewhere, "kestrav-link")
            os.symlink(install_service(d), link)
            with Service("-s", executable=link) as service:
                self.assertEqual(last_tray(service), (102, HTTPS_TIP))

    def test_missing_certificate_ends_with_code_1(self):
        with TempDir() as d:
            with Service("-s", executable=install_service(d), wait_listening=False) as service:
                self.assertEqual(service.wait_exit(), 1)
                time.sleep(0.2)
                self.assertIn("SSL Certificate Error: Invalid ssl cert", service.stderr())

    def test_tray_follows_certificate_expiry(self):
        cases = [
            (100, 102, HTTPS_TIP),
            (60, 105, TIP_90),
            (10, 104, TIP_30),
            (-1, 104, TIP_30),
        ]
        for days, icon, tip in cases:
            with self.subTest(days=days):
                with TempDir() as d:
                    make_server_pem(d, days)
                    with Service("-s", executable=install_service(d)) as service:
                        self.assertEqual(last_tray(service), (icon, tip))

    def test_state_never_falls_after_the_file_is_replaced(self):
        with TempDir() as d:
            make_server_pem(d, 10)
            with Service("-s", executable=install_service(d)) as service:
                self.assertEqual(last_tray(service), (104, TIP_30))
                before = len(service.tray_lines())
                # The renewed file is read at the next request; TLS keeps the
                # certificate it loaded at start.
                make_server_pem(d, 365)
                refresh_certificate_state(service)
                self.assertEqual(last_tray(service), (104, TIP_30))
                self.assertGreater(len(service.tray_lines()), before)

    def test_state_rises_when_a_worse_file_appears(self):
        with TempDir() as d:
            make_server_pem(d, 100)
            with Service("-s", executable=install_service(d)) as service:
                self.assertEqual(last_tray(service), (102, HTTPS_TIP))
                make_server_pem(d, 60)
                refresh_certificate_state(service)
                self.assertEqual(last_tray(service), (105, TIP_90))
                os.unlink(os.path.join(d, "server.pem"))
                refresh_certificate_state(service)
                # "Unreadable" (2) is below 4: the state stays.
                self.assertEqual(last_tray(service), (105, TIP_90))


class TlsScanTest(unittest.TestCase):
    # Static-RSA key exchange has no forward secrecy: a recorded session
    # opens once the server's key leaks. Nothing below TLS 1.2 either.
    def test_sslscan_finds_only_forward_secret_suites_from_tls_1_2(self):
        with TempDir() as tmp:
            make_server_pem(tmp, 365)
            with Service("-s", executable=install_service(tmp)) as service:
                scan = subprocess.run(
                    ["sslscan", "--no-colour", "%s:%d" % (service.host, service.port)],
                    capture_output=True, text=True, timeout=120,
                ).stdout
        protocols = dict(re.findall(r"^(SSLv[23]|TLSv1\.[0-3])\s+(enabled|disabled)$", scan, re.M))
        self.assertEqual(protocols, {"SSLv2": "disabled", "SSLv3": "disabled", "TLSv1.0": "disabled",
                                     "TLSv1.1": "disabled", "TLSv1.2": "enabled",
                                     "TLSv1.3": "enabled"}, scan)
        suites = re.findall(r"^(?:Preferred|Accepted)\s+TLSv1\.2\s+\d+ bits\s+(\S+)", scan, re.M)
        self.assertIn("ECDHE-RSA-AES128-GCM-SHA256", suites, scan)
        static_rsa = [name for name in suites if not name.startswith(("ECDHE-", "DHE-"))]
        self.assertEqual(static_rsa, [], "suites without forward secrecy")


if __name__ == "__main__":
    if not os.path.exists(SERVICE):
        sys.exit("no executable at %s" % SERVICE)
    unittest.main(verbosity=2)
