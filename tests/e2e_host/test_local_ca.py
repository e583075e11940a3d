"""kestrav-cert and the service with its own local CA: curl trusts the
service with the root alone; the constraints keep the root from vouching for
any other name; no file holds the root's key; the leaf is renewed with the
clock moved on (faketime); Chromium with a fresh HOME trusts the service
only while the root is installed in its NSS database. The service serves
HTTPS and, with -hp:, plain HTTP from the same process."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_harness import (  # noqa: E402
    BINARY_DIR, LISTEN_LINE, SERVICE, Service, TempDir, sanitized)

TOOL = os.path.join(BINARY_DIR, "host", "kestrav-cert")
HEALTH_MARK = '"Service": "Kestrav"'
CHROMIUM = shutil.which("chromium")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def run(*args, env=None, timeout=120):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=timeout,
                          env=None if env is None else dict(os.environ, **env))


def tool(*args, env=None):
    return run(TOOL, *args, env=env)


def openssl(*args):
    return run("openssl", *args)


class LocalCa(unittest.TestCase):
    def setUp(self):
        self._dir = TempDir()
        self.dir = self._dir.__enter__()
        made = tool("make", self.dir)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertIn("new root", made.stdout)
        self.root = os.path.join(self.dir, "kestrav-root.pem")
        self.issuing = os.path.join(self.dir, "kestrav-issuing-ca.pem")
        self.server = os.path.join(self.dir, "server.pem")

    def tearDown(self):
        self._dir.__exit__(None, None, None)

    def start_service(self, *args):
        exe = os.path.join(self.dir, os.path.basename(SERVICE))
        shutil.copy2(SERVICE, exe)
        return Service("-s", *args, executable=exe)

    def curl(self, url, *args):
        return run("curl", "-sS", "--max-time", "20", *args, url)

    def test_curl_trusts_the_root_and_plain_http_runs_beside(self):
        with self.start_service("-hp:127.0.0.1:0") as svc:
            plain = svc.wait_for(LISTEN_LINE, 10)
            self.assertIsNotNone(plain, svc.lines)
            self.assertEqual(plain.group(3), "http")
            url = "https://localhost:%d/health" % svc.port
            trusted = self.curl(url, "--cacert", self.root)
            self.assertEqual(trusted.returncode, 0, trusted.stderr)
            self.assertIn('"Scheme": "https"', trusted.stdout)
            # 60: the peer's certificate cannot be verified (the system's roots alone).
            self.assertEqual(self.curl(url).returncode, 60, "trusted without the root")
            http = self.curl("http://127.0.0.1:%s/health" % plain.group(2))
            self.assertEqual(http.returncode, 0, http.stderr)
            self.assertIn('"Scheme": "http"', http.stdout)

    def sign_leaf(self, name, key_file, ca_cert):
        """A certificate for name signed with the key in key_file, issued as
        ca_cert's subject; returns its path."""
        work = tempfile.mkdtemp(dir=self.dir)
        key, csr, cert, ext = (os.path.join(work, n) for n in ("k.pem", "r.csr", "c.pem", "x.cnf"))
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n" % name)
        made = openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                       "-nodes", "-keyout", key, "-subj", "/CN=" + name, "-out", csr)
        self.assertEqual(made.returncode, 0, made.stderr)
        signed = openssl("x509", "-req", "-in", csr, "-CA", ca_cert, "-CAkey", key_file,
                         "-set_serial", "7", "-days", "30", "-extfile", ext, "-out", cert)
        self.assertEqual(signed.returncode, 0, signed.stderr)
        return cert

    def verifies(self, cert, at=None):
        when = ["-attime", str(int(at))] if at else []
        return openssl("verify", *when, "-CAfile", self.root, "-untrusted", self.issuing,
                       "-untrusted", self.server, cert).returncode == 0

    def test_the_root_vouches_for_loopback_names_only(self):
        self.assertTrue(self.verifies(self.server))
        # The issuing CA's own key may sign for localhost, never for another name.
        self.assertTrue(self.verifies(self.sign_leaf("localhost", self.issuing, self.issuing)))
        for key_file in (self.issuing, self.server):
            forged = self.sign_leaf("example.com", key_file, key_file)
            self.assertFalse(self.verifies(forged), "example.com signed with %s" % key_file)
        # No file holds the root's key: no key in the folder matches its public key.
        root_pub = openssl("x509", "-in", self.root, "-noout", "-pubkey").stdout
        for name in os.listdir(self.dir):
            path = os.path.join(self.dir, name)
            if os.path.isfile(path):
                pub = openssl("pkey", "-in", path, "-pubout")
                self.assertFalse(pub.returncode == 0 and pub.stdout == root_pub, name)

    @unittest.skipUnless(shutil.which("faketime"), "Debian faketime is not installed")
    def test_make_renews_the_leaf_300_days_on(self):
        if sanitized(TOOL):
            self.skipTest("faketime preloads a library, which AddressSanitizer refuses")
        def end_date():
            return openssl("x509", "-in", self.server, "-noout", "-enddate").stdout
        with open(self.root) as f:
            root = f.read()
        before = end_date()
        again = tool("make", self.dir)
        self.assertIn("nothing to do", again.stdout)
        renewed = run("faketime", "-f", "+300d", TOOL, "make", self.dir)
        self.assertEqual(renewed.returncode, 0, renewed.stderr)
        self.assertRegex(renewed.stdout, r"^kestrav-cert: new .*server\.pem, valid until")
        self.assertNotEqual(end_date(), before)
        with open(self.root) as f:
            self.assertEqual(f.read(), root, "a new leaf keeps the root")
        self.assertTrue(self.verifies(self.server, at=time.time() + 301 * 86400))

    @unittest.skipUnless(CHROMIUM and shutil.which("certutil"), "chromium or NSS certutil missing")
    def test_chromium_trusts_the_service_only_while_the_root_is_installed(self):
        home = tempfile.mkdtemp(dir=self.dir)
        env = {"HOME": home}

        def loads(url):
            profile = tempfile.mkdtemp(dir=home)
            page = run(CHROMIUM, *CHROMIUM_FLAGS, "--user-data-dir=" + profile, "--dump-dom", url,
                       env=env, timeout=90)
            return HEALTH_MARK in page.stdout

        with self.start_service() as svc:
            url = "https://127.0.0.1:%d/health" % svc.port
            self.assertFalse(loads(url), "trusted before install")
            installed = tool("install", "--user", self.dir, env=env)
            self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
            self.assertIn("trusted by NSS", tool("status", "--user", self.dir, env=env).stdout)
            self.assertTrue(loads(url), "not trusted after install")
            removed = tool("uninstall", "--user", self.dir, env=env)
            self.assertEqual(removed.returncode, 0, removed.stdout + removed.stderr)
            self.assertRegex(removed.stdout, re.compile(r"removed from 1 store"))
            self.assertFalse(loads(url), "still trusted after uninstall")


if __name__ == "__main__":
    unittest.main(verbosity=2)
