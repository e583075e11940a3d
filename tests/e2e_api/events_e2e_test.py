#!/usr/bin/python3
"""The /events WebSocket end to end: the real service with the virtual reader,
a WebSocket client written here over a plain socket (frames masked as a
browser masks them), and curl for the HTTP capture beside it.
"""
import base64
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e_host"))
import service_harness  # noqa: E402

ERR_READER_BUSY = 103
ERR_BAD_COMMAND = 105
ERR_CANCELLED = 1018  # the SDK's cancel code
CYCLES = int(os.environ.get("KV_EVENTS_CYCLES", "200"))
CAPTURE_MEMBERS = ["ErrorCode", "Manufacturer", "Model", "SerialNumber", "ImageWidth", "ImageHeight",
                   "ImageDPI", "ImageQuality", "NFIQ", "ImageDataBase64", "BMPBase64",
                   "ISOTemplateBase64", "TemplateBase64"]


class Service(service_harness.Service):
    def __init__(self, virtual):
        service_harness.ensure_log_dir()
        super().__init__("-dl:1", env={"VRFPLIB_VIRTUAL": virtual})
        self.__enter__()

    def http_capture(self, body=""):
        out = subprocess.run(["curl", "-s", "--max-time", "60", "--data-binary", body,
                              self.url("/VRNFPCapture")], capture_output=True, check=True).stdout
        return json.loads(out)


class Socket:
    """One /events connection."""

    def __init__(self, svc, host=None):
        self.sock = svc.connect(timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((
            "GET /events HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\nOrigin: http://example.test\r\n\r\n"
            % (host or "127.0.0.1:%d" % svc.port, key)).encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.buf += chunk
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        self.status = int(head.split(b" ")[1]) if head else 0
        self.head = head.decode("latin1")

    def send(self, obj, op=1):
        data = json.dumps(obj).encode() if not isinstance(obj, bytes) else obj
        mask = os.urandom(4)
        n = len(data)
        header = bytes([0x80 | op]) + (bytes([0x80 | n]) if n < 126 else bytes([0xFE]) + struct.pack(">H", n))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _need(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("closed")
            self.buf += chunk

    def event(self):
        """The next text message, parsed; pings and pongs are skipped."""
        while True:
            self._need(2)
            op, n, h = self.buf[0] & 15, self.buf[1] & 127, 2
            if n == 126:
                self._need(4)
                n, h = struct.unpack(">H", self.buf[2:4])[0], 4
            elif n == 127:
                self._need(10)
                n, h = struct.unpack(">Q", self.buf[2:10])[0], 10
            self._need(h + n)
            payload, self.buf = self.buf[h:h + n], self.buf[h + n:]
            if op == 1:
                return json.loads(payload)
            if op == 8:
                raise EOFError("close frame")

    def until(self, name):
        """Events up to and including the first one named name."""
        seen = []
        while not seen or seen[-1]["Event"] != name:
            seen.append(self.event())
        return seen

    def close(self):
        self.sock.close()


class EventsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.svc = Service("readers=NX51;finger=3;placement_ms=2000")

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()

    def test_capture_reports_start_finger_frames_and_the_capture_reply(self):
        ws = Socket(self.svc)
        self.assertEqual(ws.status, 101)
        readers = ws.event()
        self.assertEqual(readers["Event"], "Readers")
        self.assertEqual([r["Model"] for r in readers["Readers"]], ["NX51"])
        ws.send({"Command": "Capture", "timeout": 10000})
        events = ws.until("Captured")
        names = [e["Event"] for e in events]
        self.assertEqual(names[:2], ["CaptureStarted", "FingerNeeded"])
        frames = [e for e in events if e["Event"] == "Frame"]
        # 2 s of placement at 5 frames a second or more.
        self.assertGreaterEqual(len(frames), 10)
        guidance = [f["Guidance"] for f in frames]
        self.assertEqual(guidance[0], "NoFinger", guidance)
        self.assertEqual(guidance[-1], "Good", guidance)
        for f in frames:
            self.assertTrue(0 <= f["Quality"] <= 100)
            self.assertLessEqual(max(f["PreviewWidth"], f["PreviewHeight"]), 200)
            bmp = base64.b64decode(f["PreviewBMPBase64"])
            self.assertEqual(bmp[:2], b"BM")
            self.assertEqual(struct.unpack("<ii", bmp[18:26]), (f["PreviewWidth"], f["PreviewHeight"]))
        captured = events[-1]
        self.assertEqual(list(captured)[0], "Event")
        self.assertEqual(list(captured)[1:], CAPTURE_MEMBERS)
        self.assertEqual(captured["ErrorCode"], 0)
        self.assertTrue(captured["TemplateBase64"])
        ws.close()

    def test_busy_reader_cancel_and_what_cancel_frees(self):
        first, second = Socket(self.svc), Socket(self.svc)
        first.event(), second.event()
        first.send({"Command": "Capture"})
        first.until("FingerNeeded")
        second.send({"Command": "Capture"})
        self.assertEqual(second.until("Captured")[-1]["ErrorCode"], ERR_READER_BUSY)
        self.assertEqual(self.svc.http_capture()["ErrorCode"], ERR_READER_BUSY)
        first.send({"Command": "Cancel"})
        self.assertEqual(first.until("Captured")[-1]["ErrorCode"], ERR_CANCELLED)
        self.assertEqual(self.svc.http_capture("timeout=10000")["ErrorCode"], 0)
        first.close(), second.close()

    def test_session_key_refused_and_bad_commands(self):
        ws = Socket(self.svc)
        ws.event()
        ws.send({"Command": "Capture", "sessionkey": "AAAA"})
        self.assertEqual(ws.until("Captured"), [{"Event": "Captured", "ErrorCode": 101}])
        for bad in (b"not json", b'{"Command":"Explode"}', b'{"Command":"Capture","a":[1]}'):
            ws.send(bad)
            error = ws.event()
            self.assertEqual((error["Event"], error["ErrorCode"]), ("Error", ERR_BAD_COMMAND), bad)
        ws.send(b"\x01\x02", op=2)
        self.assertEqual(ws.event()["ErrorCode"], ERR_BAD_COMMAND)
        ws.close()

    def test_foreign_host_gets_403_and_no_upgrade(self):
        ws = Socket(self.svc, host="evil.example:%d" % self.svc.port)
        self.assertEqual(ws.status, 403)
        self.assertNotIn("Sec-WebSocket-Accept", ws.head)
        ws.sock.settimeout(5)
        self.assertEqual(ws.sock.recv(100), b"", "closed after the 403")
        ws.close()


class ReadersTest(unittest.TestCase):
    def test_a_reader_detached_and_attached_gives_one_readers_event_each(self):
        with tempfile.TemporaryDirectory() as tmp:
            attached = os.path.join(tmp, "readers")
            with open(attached, "w") as f:
                f.write("NX51,TRV08\n")
            svc = Service("readers_file=%s" % attached)
            try:
                ws = Socket(svc)
                models = lambda e: [r["Model"] for r in e["Readers"]]  # noqa: E731
                self.assertEqual(models(ws.event()), ["NX51", "TRV08"])
                with open(attached, "w") as f:
                    f.write("NX51")
                detached = ws.event()
                self.assertEqual((detached["Event"], models(detached)), ("Readers", ["NX51"]))
                os.remove(attached)
                self.assertEqual(models(ws.event()), [])
                with open(attached, "w") as f:
                    f.write("TRV08")
                self.assertEqual(models(ws.event()), ["TRV08"])
                ws.close()
            finally:
                svc.stop()


class CyclesTest(unittest.TestCase):
    def test_capture_cancel_close_cycles_leave_the_service_clean(self):
        svc = Service("readers=NX51;finger=3;placement_ms=150")
        try:
            codes = {}
            for i in range(CYCLES):
                ws = Socket(svc)
                ws.event()
                ws.send({"Command": "Capture", "timeout": 5000})
                if i % 3 == 0:
                    ws.send({"Command": "Cancel"})
                if i % 3 != 1:
                    code = ws.until("Captured")[-1]["ErrorCode"]
                    codes[code] = codes.get(code, 0) + 1
                # Busy while the capture of the page closed before ends.
                for _ in range(100):
                    if i % 3 != 2 or code != ERR_READER_BUSY:
                        break
                    time.sleep(0.02)
                    ws.send({"Command": "Capture", "timeout": 5000})
                    code = ws.until("Captured")[-1]["ErrorCode"]
                if i % 3 == 2:
                    # The reader is free the moment "Captured" arrives.
                    ws.send({"Command": "Capture", "timeout": 5000})
                    ws.send({"Command": "Cancel"})
                    self.assertNotEqual(ws.until("Captured")[-1]["ErrorCode"], ERR_READER_BUSY,
                                        "after %d at cycle %d" % (code, i))
                ws.close()  # i % 3 == 1: closed with the capture running
            self.assertLessEqual(set(codes), {0, ERR_CANCELLED, ERR_READER_BUSY})
            self.assertIn(0, codes)
            # The last page closed with its capture running: the cancel takes
            # effect on the device thread, later on a loaded machine.
            code = ERR_READER_BUSY
            for _ in range(100):
                code = svc.http_capture("timeout=10000")["ErrorCode"]
                if code != ERR_READER_BUSY:
                    break
                time.sleep(0.05)
            self.assertEqual(code, 0)
        finally:
            svc.proc.terminate()
            code = svc.proc.wait(timeout=60)
            stderr = svc.stderr()
            svc.stop()
        self.assertNotIn("Sanitizer", stderr)
        # Ended by the signal, not by an abort of the sanitizer.
        self.assertIn(code, (0, -15), stderr)


if __name__ == "__main__":
    unittest.main()
