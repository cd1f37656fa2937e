"""The web service as deployed: a real process on a loopback port, real sockets. Distinct callers
are distinct loopback source addresses (127.0.0.2, 127.0.0.3...), so tests can prove that the
connectivity test connects to the caller and nowhere else."""
import base64
import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import wexa_service  # noqa: E402


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class Service:
    """wexa_service.py on a free port of 127.0.0.1 with the given options."""

    def __init__(self, *args):
        self.port = free_port()
        self.args = list(args)

    def __enter__(self):
        self.proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(HERE), "wexa_service.py"),
                                      "--listen", "127.0.0.1:%d" % self.port, *self.args],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                if time.time() > deadline or self.proc.poll() is not None:
                    self.__exit__()
                    raise RuntimeError("service did not start")
                time.sleep(0.05)

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)

    def raw(self, data, source="127.0.0.1", timeout=20):
        """Everything the service answers to the raw bytes, sent from the source address."""
        with socket.socket() as s:
            s.settimeout(timeout)
            s.bind((source, 0))
            s.connect(("127.0.0.1", self.port))
            s.sendall(data)
            chunks = []
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return b"".join(chunks)
                chunks.append(chunk)

    def get(self, target, source="127.0.0.1", headers=""):
        """(status, headers text, body) of a GET."""
        answer = self.raw(b"GET %s HTTP/1.1\r\nHost: s\r\n%sConnection: close\r\n\r\n"
                          % (target.encode(), headers.encode()), source)
        head, _, body = answer.partition(b"\r\n\r\n")
        return int(head.split()[1]), head.decode("latin-1"), body

    def alive(self):
        return self.get("/getip.php")[0] == 200


class Listener:
    """A share port stand-in on address:port that records every connection and what it received.
    hold=True keeps each connection open (a peer that never closes) until stop."""

    def __init__(self, address, port, hold=False):
        self.received = []
        self.hold = hold
        self._held = []
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(16)
        self.sock.settimeout(0.1)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            conn.settimeout(5)
            try:
                data = conn.recv(4096)
            except OSError:
                data = b""
            self.received.append(data)
            if self.hold:
                self._held.append(conn)
            else:
                conn.close()

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.sock.close()
        for conn in self._held:
            conn.close()


class CallerAddressTests(unittest.TestCase):
    """Behind a proxy only the proxy's own word counts; nobody else can pick the test's target."""

    def test_forwarded_for_is_believed_only_from_trusted_proxies(self):
        proxies = [wexa_service.ipaddress.ip_network("10.0.0.0/24"), wexa_service.ipaddress.ip_network("::1/128")]
        cases = [
            # peer, X-Forwarded-For values, expected caller
            ("203.0.113.9", ["198.51.100.1"], "203.0.113.9"),                 # untrusted peer: ignored
            ("10.0.0.2", [], "10.0.0.2"),                                     # proxy's own request
            ("10.0.0.2", ["198.51.100.1"], "198.51.100.1"),
            ("10.0.0.2", ["6.6.6.6, 198.51.100.1"], "198.51.100.1"),          # client-written entry ignored
            ("10.0.0.2", ["6.6.6.6", "198.51.100.1, 10.0.0.7"], "198.51.100.1"),  # chained proxies
            ("10.0.0.2", ["10.0.0.5, 10.0.0.7"], "10.0.0.5"),                 # all trusted: left-most
            ("::1", ["2001:db8::5"], "2001:db8::5"),
            ("::ffff:203.0.113.9", [], "203.0.113.9"),                        # mapped IPv4 comes back plain
        ]
        for peer, forwarded, expected in cases:
            with self.subTest(peer=peer, forwarded=forwarded):
                self.assertEqual(str(wexa_service.caller_address(peer, forwarded, proxies)), expected)
        for bad in (["not-an-address"], ["198.51.100.1, "], ["1.2.3.4:80"]):
            with self.subTest(bad=bad), self.assertRaises(wexa_service.BadRequest):
                wexa_service.caller_address("10.0.0.2", bad, proxies)

    def test_ipv6_callers_share_limits_per_64(self):
        key = wexa_service.limit_key
        self.assertEqual(key(wexa_service.ipaddress.ip_address("2001:db8:1:2::5")),
                         key(wexa_service.ipaddress.ip_address("2001:db8:1:2:ffff::9")))
        self.assertNotEqual(key(wexa_service.ipaddress.ip_address("2001:db8:1:2::5")),
                            key(wexa_service.ipaddress.ip_address("2001:db8:1:3::5")))


class RateLimiterTests(unittest.TestCase):
    def test_window_slides_and_memory_stays_bounded(self):
        now = [0.0]
        limiter = wexa_service.RateLimiter(limit=2, window=10, max_keys=3, clock=lambda: now[0])
        self.assertTrue(limiter.allow("a"))
        now[0] = 5
        self.assertTrue(limiter.allow("a"))
        self.assertFalse(limiter.allow("a"))
        now[0] = 10  # the first event has left the window, the second has not
        self.assertTrue(limiter.allow("a"))
        self.assertFalse(limiter.allow("a"))
        self.assertTrue(limiter.allow("b") and limiter.allow("c"))
        self.assertFalse(limiter.allow("d"), "a fourth key is refused while three are tracked")
        now[0] = 30  # everything expired: the sweep frees the keys
        self.assertTrue(limiter.allow("d"))
        self.assertEqual(list(limiter.events), ["d"])


class AddressTests(unittest.TestCase):
    def test_getip_answers_the_bare_caller_address(self):
        with Service("--trusted-proxy", "127.0.0.4") as service:
            self.assertEqual(service.get("/getip.php")[2], b"127.0.0.1")
            self.assertEqual(service.get("/getip.php", "127.0.0.2")[2], b"127.0.0.2")
            self.assertEqual(service.get("/getip.php", "127.0.0.2", "X-Forwarded-For: 9.9.9.9\r\n")[2],
                             b"127.0.0.2")
            self.assertEqual(service.get("/getip.php", "127.0.0.4", "X-Forwarded-For: 9.9.9.9\r\n")[2],
                             b"9.9.9.9")
            status, head, _ = service.get("/getip.php?x=1")
            self.assertEqual(status, 200)
            self.assertIn("Connection: close", head)


class ConnectivityTests(unittest.TestCase):
    def test_connects_back_to_the_caller_only(self):
        port = free_port("127.0.0.2")
        caller = Listener("127.0.0.2", port)
        bystanders = [Listener("127.0.0.1", port), Listener("127.0.0.3", port), Listener("127.0.0.6", port)]
        try:
            with Service("--trusted-proxy", "127.0.0.4") as service:
                target = "/testcon.php?port=%d" % port
                status, _, body = service.get(target, "127.0.0.2")
                self.assertEqual((status, body), (200, b"127.0.0.2:%d reachable" % port))
                # A forwarded-for header from an untrusted caller does not move the target.
                self.assertEqual(service.get(target, "127.0.0.2", "X-Forwarded-For: 127.0.0.3\r\n")[0], 200)
                # Through the trusted proxy, the address the proxy saw is the target.
                self.assertEqual(service.get(target, "127.0.0.4", "X-Forwarded-For: 127.0.0.3, 127.0.0.6\r\n")[2],
                                 b"127.0.0.6:%d reachable" % port)
                time.sleep(0.3)
        finally:
            for listener in [caller] + bystanders:
                listener.stop()
        self.assertEqual(len(caller.received), 2)
        for data in caller.received:
            self.assertTrue(data.startswith(b"testcon "), data)
            self.assertIn(b"\r\n\r\n", data)
        self.assertEqual([len(b.received) for b in bystanders], [0, 0, 1])

    def test_closed_port_is_unreachable_and_bad_ports_refused(self):
        port = free_port()
        with Service("--test-timeout", "3") as service:
            started = time.time()
            self.assertEqual(service.get("/testcon.php?port=%d" % port)[2], b"127.0.0.1:%d unreachable" % port)
            self.assertLess(time.time() - started, 3.5)
            listener = Listener("127.0.0.1", port)
            try:
                for query in ("", "?port=", "?port=0", "?port=65536", "?port=-1", "?port=+80",
                              "?port=99999999999999999999", "?port=8%200", "?port=%d&port=%d" % (port, port),
                              "?port=%D9%A3", "?port=0x50"):
                    with self.subTest(query=query):
                        self.assertEqual(service.get("/testcon.php" + query)[0], 400)
                time.sleep(0.3)
            finally:
                listener.stop()
            self.assertEqual(listener.received, [], "a refused test must not connect")

    def test_tests_from_one_caller_are_limited_and_one_at_a_time(self):
        port = free_port("127.0.0.2")
        listener = Listener("127.0.0.2", port)
        other = Listener("127.0.0.3", port)
        try:
            with Service("--rate-limit", "3", "--rate-window", "600") as service:
                target = "/testcon.php?port=%d" % port
                statuses = [service.get(target, "127.0.0.2")[0] for _ in range(8)]
                self.assertEqual(statuses, [200] * 3 + [429] * 5)
                self.assertEqual(service.get(target, "127.0.0.3")[0], 200, "another caller is not limited")
                time.sleep(0.3)
                self.assertEqual(len(listener.received), 3)
        finally:
            listener.stop()
            other.stop()

        holder = Listener("127.0.0.2", port, hold=True)
        try:
            with Service("--test-timeout", "4") as service:
                target = "/testcon.php?port=%d" % port
                first = []
                thread = threading.Thread(target=lambda: first.append(service.get(target, "127.0.0.2")))
                thread.start()
                deadline = time.time() + 5
                while not holder.received and time.time() < deadline:
                    time.sleep(0.05)
                self.assertEqual(service.get(target, "127.0.0.2")[0], 429)
                thread.join(10)
                self.assertEqual(first[0][0], 200)
                self.assertEqual(service.get(target, "127.0.0.2")[0], 200, "the next test may run")
        finally:
            holder.stop()


class AbuseTests(unittest.TestCase):
    def test_malformed_requests_get_an_error_and_the_service_lives_on(self):
        cases = [
            (b"GARBAGE\r\n\r\n", 400),
            (b"\x00\xff\xfe binary \x80\r\n\r\n", 400),
            (b"GET /getip.php\r\n\r\n", 400),
            (b"GET  /getip.php HTTP/1.1\r\n\r\n", 400),
            (b"GET getip.php HTTP/1.1\r\n\r\n", 400),
            (b"GET /getip.php HTTP/2.0\r\n\r\n", 505),
            (b"GET /getip.php HTTP/1.1\r\nno colon here\r\n\r\n", 400),
            (b"GET /getip.php HTTP/1.1\r\n folded: x\r\n\r\n", 400),
            (b"GET /getip.php HTTP/1.1\r\n" + b"A: b\r\n" * 100 + b"\r\n", 431),
            (b"GET /getip.php HTTP/1.1\r\nX: " + b"a" * 20000 + b"\r\n\r\n", 431),
            (b"GET /testcon.php?port=%ff HTTP/1.1\r\n\r\n", 400),
            (b"GET /update.php?mode=other HTTP/1.1\r\n\r\n", 400),
            (b"POST /getip.php HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405),
            (b"GET /nothing.php HTTP/1.1\r\n\r\n", 404),
        ]
        with Service("--header-timeout", "1") as service:
            for data, status in cases:
                with self.subTest(data=data[:40]):
                    answer = service.raw(data)
                    self.assertTrue(answer.startswith(b"HTTP/1.1 %d " % status), answer[:60])
            started = time.time()
            self.assertTrue(service.raw(b"GET /getip.php HTTP/1.1\r\n").startswith(b"HTTP/1.1 408 "))
            self.assertLess(time.time() - started, 3)
            self.assertTrue(service.alive())


class UpdateTests(unittest.TestCase):
    def test_newest_release_number_and_installer(self):
        with tempfile.TemporaryDirectory() as folder:
            with Service("--releases", folder) as service:
                self.assertEqual(service.get("/update.php?mode=check")[0], 404)
                self.assertEqual(service.get("/update.php")[0], 404)
            installer = os.urandom(300000)
            for name, data in [("WexaShare-121.exe", b"old"), ("WexaShare-122.exe", installer),
                               ("WexaShare-999.exe.part", b"x"), ("WexaShare-0123.exe", b"x"),
                               ("Other-500.exe", b"x")]:
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(data)
            os.mkdir(os.path.join(folder, "WexaShare-300.exe"))
            with Service("--releases", folder) as service:
                self.assertEqual(service.get("/update.php?mode=check")[2], b"122")
                status, head, body = service.get("/update.php")
                self.assertEqual(status, 200)
                self.assertIn("Content-Type: application/octet-stream", head)
                self.assertIn("Content-Length: %d" % len(installer), head)
                self.assertEqual(hashlib.sha256(body).hexdigest(), hashlib.sha256(installer).hexdigest())

    def test_signature_beside_the_installer_goes_in_a_header_only_when_well_formed(self):
        good = base64.b64encode(os.urandom(64)).decode()
        cases = [(good + "\n", good), (None, None), ("not base64 at all!", None),
                 (base64.b64encode(os.urandom(63)).decode(), None),
                 (good + "\r\nX-Injected: 1", None)]
        for sig, expected in cases:
            with self.subTest(sig=sig), tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(folder, "WexaShare-122.exe"), "wb") as f:
                    f.write(b"installer")
                if sig is not None:
                    with open(os.path.join(folder, "WexaShare-122.exe.sig"), "w") as f:
                        f.write(sig)
                with Service("--releases", folder) as service:
                    status, head, body = service.get("/update.php")
                self.assertEqual((status, body), (200, b"installer"))
                lines = [line for line in head.split("\r\n") if line.lower().startswith("x-wexa-signature")]
                self.assertEqual(lines, ["X-Wexa-Signature: " + expected] if expected else [])
                self.assertNotIn("X-Injected", head)

    def test_version_signature_goes_with_the_version_and_the_old_signature_stays_for_old_programs(self):
        old, new = (base64.b64encode(os.urandom(64)).decode() for _ in range(2))
        # (.sig, .vsig) beside WexaShare-123.exe -> the signature headers sent, in order.
        cases = [((old, new), ["X-Wexa-Signature: " + old, "X-Wexa-Version: 123", "X-Wexa-Version-Signature: " + new]),
                 ((old, None), ["X-Wexa-Signature: " + old]),
                 ((None, new), ["X-Wexa-Version: 123", "X-Wexa-Version-Signature: " + new]),
                 ((old, "short"), ["X-Wexa-Signature: " + old])]
        for (sig, vsig), expected in cases:
            with self.subTest(sig=sig, vsig=vsig), tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(folder, "WexaShare-123.exe"), "wb") as f:
                    f.write(b"installer")
                for suffix, text in ((".sig", sig), (".vsig", vsig)):
                    if text is not None:
                        with open(os.path.join(folder, "WexaShare-123.exe" + suffix), "w") as f:
                            f.write(text + "\n")
                with Service("--releases", folder) as service:
                    status, head, body = service.get("/update.php")
                self.assertEqual((status, body), (200, b"installer"))
                self.assertEqual([line for line in head.split("\r\n") if line.lower().startswith("x-wexa-")],
                                 expected)


if __name__ == "__main__":
    unittest.main()
