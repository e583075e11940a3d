#!/usr/bin/python3
"""The libfprint backend end to end, without hardware: the service runs with
VRFPLIB_BACKEND=libfprint and FP_VIRTUAL_IMAGE, so libfprint's own virtual
image device is its reader. That device listens on a Unix socket while it is
open (from the capture's open to its close); a connected client sends a
native 32-bit width and height, then width x height grey bytes, top row first
(negative widths are commands: -1 retry, -2 error). Prints come from a second
service on the virtual reader, so they are fingerprints libfprint accepts.
"""
import json
import os
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from api_e2e_test import MATCH_THRESHOLD, Service, b64, read_bmp, service_harness  # noqa: E402
from events_e2e_test import Socket  # noqa: E402

ERR_DEVICE_FAILURE = 1008
ERR_TIMEOUT = 1009
ERR_BUSY = 103
ERR_NO_DEVICE = 1006
RETRY, ERROR, REMOVE = -1, -2, -5


def virtual_prints(finger, count):
    """count impressions of one synthetic finger: (width, height, pixels)."""
    svc = Service("finger=%d" % finger)
    try:
        prints = []
        for _ in range(count):
            reply, _ = svc.json("/VRNFPCapture", "rawimagedata=Y")
            assert reply["ErrorCode"] == 0, reply
            prints.append((reply["ImageWidth"], reply["ImageHeight"], b64(reply["ImageDataBase64"])))
        return prints
    finally:
        svc.stop()


class LibfprintService(Service):
    """The service with libfprint as its reader SDK's backend."""

    def __init__(self, socket_path):
        service_harness.ensure_log_dir()
        service_harness.Service.__init__(
            self, "-dl:1", env={"VRFPLIB_BACKEND": "libfprint", "FP_VIRTUAL_IMAGE": socket_path})
        self.__enter__()
        self.trace_file = self.trace_path()


class VirtualImageDevice:
    """The client side of libfprint's virtual image device."""

    def __init__(self, path):
        self.path = path

    def push(self, *items, stop=None, wait=15.0):
        """Connects once the device is open (the socket file outlives a close,
        so only a connection that succeeds tells) and sends each item: a print
        (width, height, pixels) or a command (code, argument). Returns the
        connection, to be closed by the caller after the capture, or None
        when stop was set first."""
        deadline = time.monotonic() + wait
        while True:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(self.path)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                sock.close()
                if stop is not None and stop.is_set():
                    return None
                if time.monotonic() > deadline:
                    raise AssertionError("the virtual image device did not open")
                time.sleep(0.02)
        try:
            for item in items:
                time.sleep(0.2)  # each arrives while the capture waits
                if len(item) == 3:
                    width, height, pixels = item
                    sock.sendall(struct.pack("=ii", width, height) + pixels)
                else:
                    sock.sendall(struct.pack("=ii", *item))
        except OSError:  # a device that was closing: the caller asks again
            sock.close()
            return None
        return sock


class LibfprintTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prints = virtual_prints(finger=5, count=2)
        cls.other_print = virtual_prints(finger=9, count=1)
        cls.tmp = tempfile.TemporaryDirectory()
        cls.device = VirtualImageDevice(os.path.join(cls.tmp.name, "virtual-image.sock"))
        cls.svc = LibfprintService(cls.device.path)

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()
        cls.tmp.cleanup()

    def capture(self, body, *items):
        """One capture while the items are pushed: (reply, seconds). A busy
        reader (still closing after a cancelled capture) is asked again."""
        for _ in range(50):
            stop = threading.Event()
            pushed = []
            pusher = threading.Thread(target=lambda: pushed.append(self.device.push(*items, stop=stop)))
            if items:
                pusher.start()
            start = time.monotonic()
            reply = self.svc.json("/VRNFPCapture", body)[0]
            seconds = time.monotonic() - start
            stop.set()
            if items:
                pusher.join(20)
            for sock in pushed:
                if sock is not None:
                    sock.close()
            if reply["ErrorCode"] != ERR_BUSY:
                return reply, seconds
            time.sleep(0.1)
        self.fail("the reader stayed busy")

    def test_reply_carries_the_pushed_print_after_a_retry(self):
        width, height, pixels = self.prints[0]
        reply, _ = self.capture("rawimagedata=Y&quality=0&timeout=10000", (RETRY, 0), self.prints[0])
        self.assertEqual(reply["ErrorCode"], 0, reply)
        self.assertEqual((reply["ImageWidth"], reply["ImageHeight"], reply["ImageDPI"]),
                         (width, height, 500))
        # libfprint gives the virtual device's image as sent, at an unknown
        # resolution taken as 500 ppi: no scaling, no inversion.
        self.assertEqual(b64(reply["ImageDataBase64"]), pixels)
        bmp_w, bmp_h, bits, _, rows, _, _, _ = read_bmp(b64(reply["BMPBase64"]))
        self.assertEqual((bmp_w, bmp_h, bits), (width, height, 8))
        self.assertEqual(b"".join(rows), pixels)
        self.assertEqual(b64(reply["ISOTemplateBase64"])[:8], b"FMR\0 20\0")
        self.assertIn(reply["NFIQ"], range(1, 6))

    def test_impressions_of_one_finger_match_and_another_finger_does_not(self):
        templates = []
        for pushed in self.prints + self.other_print:
            reply, _ = self.capture("quality=0&timeout=10000", pushed)
            self.assertEqual(reply["ErrorCode"], 0, reply)
            templates.append(reply["TemplateBase64"])

        def score(a, b):
            body = "template1=%s&template2=%s" % (urllib.parse.quote(a, safe=""),
                                                  urllib.parse.quote(b, safe=""))
            reply, _ = self.svc.json("/VRNMatchScore", body)
            self.assertEqual(reply["ErrorCode"], 0, reply)
            return reply["MatchingScore"]

        self.assertGreaterEqual(score(templates[0], templates[1]), MATCH_THRESHOLD)
        self.assertLess(score(templates[0], templates[2]), MATCH_THRESHOLD)

    def test_device_errors_and_silence_end_the_capture(self):
        rows = [
            # (pushed, timeout ms, expected ErrorCode, why)
            ((), 1500, ERR_TIMEOUT, "no finger within the time-out"),
            (((RETRY, 0),), 1500, ERR_TIMEOUT, "a retry alone waits on until the time-out"),
            (((ERROR, 0),), 10000, ERR_DEVICE_FAILURE, "the device reports a general error"),
            (((REMOVE, 0),), 10000, ERR_NO_DEVICE, "the device is unplugged while it waits"),
        ]
        for pushed, timeout, code, why in rows:
            with self.subTest(why):
                reply, seconds = self.capture("timeout=%d" % timeout, *pushed)
                self.assertEqual(reply, {"ErrorCode": code}, why)
                if code == ERR_TIMEOUT:
                    self.assertGreaterEqual(seconds, timeout / 1000 - 0.1)
                    self.assertLess(seconds, timeout / 1000 + 5)

    def test_page_gone_cancels_the_wait_and_frees_the_reader(self):
        body = b"timeout=30000"
        page = socket.create_connection(("127.0.0.1", self.svc.port))
        page.sendall(b"POST /VRNFPCapture HTTP/1.1\r\nHost: localhost\r\n"
                     b"Content-Type: application/x-www-form-urlencoded\r\n"
                     b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.device.push().close()  # the reader is open
        time.sleep(0.5)  # and waits for a finger
        start = time.monotonic()
        page.close()
        # The next capture is served well before the first one's 30 s would
        # have run out.
        reply, _ = self.capture("quality=0&timeout=10000", self.prints[1])
        self.assertEqual(reply["ErrorCode"], 0, reply)
        self.assertLess(time.monotonic() - start, 15)
        self.assertIn("cancelled", self.svc.trace())

    def test_readers_listed_idle_and_while_a_capture_waits(self):
        def health():
            start = time.monotonic()
            status, _, payload = self.svc.curl("/health")
            self.assertEqual(status, 200)
            return json.loads(payload), time.monotonic() - start

        listed = [{"Model": "Virtual image device for debugging", "SerialNumber": "0"}]
        reply, _ = health()
        self.assertEqual((reply["ReaderError"], reply["Readers"]), (0, listed))
        # The waiting capture holds libfprint; the listing answers from the
        # last enumeration instead of waiting the 4 s out.
        waiting = threading.Thread(target=lambda: self.svc.json("/VRNFPCapture", "timeout=4000"))
        waiting.start()
        self.device.push().close()
        time.sleep(0.3)
        reply, seconds = health()
        waiting.join(30)
        self.assertEqual((reply["ReaderError"], reply["Readers"]), (0, listed))
        self.assertLess(seconds, 2.5)

    def test_events_socket_sees_the_wait_for_a_finger_and_the_capture(self):
        ws = Socket(self.svc)
        readers = ws.event()
        self.assertEqual(readers["Readers"][0]["Model"], "Virtual image device for debugging")
        for _ in range(50):
            ws.send({"Command": "Capture", "quality": 0, "timeout": 10000})
            if ws.event()["Event"] == "CaptureStarted":
                break
            time.sleep(0.1)  # "Captured" busy: another test's capture still closes
        ws.until("FingerNeeded")
        sock = self.device.push(self.prints[0])
        events = ws.until("Captured")
        if sock is not None:
            sock.close()
        self.assertEqual(events[-1]["ErrorCode"], 0, events[-1])
        self.assertEqual(events[-1]["ImageWidth"], self.prints[0][0])
        ws.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
