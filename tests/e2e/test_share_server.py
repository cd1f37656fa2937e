"""The share server end to end: real files served under Wine to curl and raw sockets."""
import concurrent.futures
import hashlib
import os
import random
import shutil
import socket
import tempfile
import time
import unittest

from sharehost import ShareHost, curl, raw_request, read_until_closed, share_list

PRODUCT = "Wexa-Share/1.2.1"
GiB = 1 << 30


def sha(data):
    return hashlib.sha256(data).hexdigest()


class Fixture:
    root = None

    @classmethod
    def make(cls):
        if cls.root:
            return cls.root
        cls.root = tempfile.mkdtemp(prefix="wexa-share-")
        files = os.path.join(cls.root, "files")
        os.mkdir(files)
        rnd = random.Random(7)
        # Around the unbuffered-read block (4 KiB), the old ring size (8 KiB) and the largest
        # transfer buffer (1 MiB), and a tail after several full buffers.
        MiB = 1024 * 1024
        cls.sizes = [0, 1, 4095, 4096, 4097, 8191, 8192, 8193, MiB - 1, MiB, MiB + 1, 2 * MiB + 4097,
                     10 * MiB]
        cls.data = {}
        for size in cls.sizes:
            data = rnd.randbytes(size)
            name = "f%d.bin" % size
            with open(os.path.join(files, name), "wb") as f:
                f.write(data)
            cls.data[name] = data
        # A sparse file larger than 4 GiB with markers around the 4 GiB mark and at its end.
        cls.big = os.path.join(files, "big.bin")
        cls.big_size = 5 * GiB
        cls.markers = {4 * GiB - 5000: rnd.randbytes(10000), 5 * GiB - 3000: rnd.randbytes(3000)}
        with open(cls.big, "wb") as f:
            f.truncate(cls.big_size)
            for offset, data in cls.markers.items():
                f.seek(offset)
                f.write(data)
        with open(os.path.join(cls.root, "secret.txt"), "wb") as f:
            f.write(b"outside the share")
        return cls.root

    @classmethod
    def big_bytes(cls, first, last):
        out = bytearray(last - first + 1)
        for offset, data in cls.markers.items():
            lo, hi = max(first, offset), min(last, offset + len(data) - 1)
            if lo <= hi:
                out[lo - first:hi - first + 1] = data[lo - offset:hi - offset + 1]
        return bytes(out)

    @classmethod
    def cleanup(cls):
        if cls.root:
            shutil.rmtree(cls.root, ignore_errors=True)
            cls.root = None


def setUpModule():
    Fixture.make()


def tearDownModule():
    Fixture.cleanup()


class ServingFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        files = os.path.join(Fixture.root, "files")
        cls.host = ShareHost({"ShareList": share_list([(files, 0)]), "SingleDirIsRoot": 0,
                              "RememberShare": 1, "UserName": "Tester"}).__enter__()
        cls.port = cls.host.port

    @classmethod
    def tearDownClass(cls):
        cls.host.stop()

    def get(self, path, *args):
        return curl(self.port, path, *args)

    def test_whole_files_are_byte_identical(self):
        for name, data in Fixture.data.items():
            with self.subTest(name=name):
                status, headers, body = self.get("/files/" + name)
                self.assertEqual(status, 200)
                self.assertIn("Content-Length: %d\r\n" % len(data), headers)
                self.assertIn("Accept-Ranges: bytes\r\n", headers)
                self.assertIn("Connection: close\r\n", headers)
                self.assertIn("Server: %s\r\n" % PRODUCT, headers)
                self.assertEqual(sha(body), sha(data))

    def test_head_gives_the_get_head_without_a_body(self):
        head = raw_request(self.port, b"HEAD /files/f8193.bin HTTP/1.1\r\n\r\n").decode("latin-1")
        self.assertTrue(head.endswith("\r\n\r\n"))
        _, get_head, _ = self.get("/files/f8193.bin")
        strip = lambda h: [l for l in h.split("\r\n") if not l.startswith("Date:")]
        self.assertEqual(strip(head), strip(get_head))

    def range_of(self, name, header):
        return self.get("/files/" + name, "-H", "Range: " + header)

    def test_ranges(self):
        data = Fixture.data["f10485760.bin"]
        size = len(data)
        cases = [  # header, expected status, expected (first, last) or None for whole
            ("bytes=0-0", 206, (0, 0)),
            ("bytes=-100", 206, (size - 100, size - 1)),
            ("bytes=5000000-", 206, (5000000, size - 1)),
            ("bytes=-%d" % (size * 2), 206, (0, size - 1)),
            ("bytes=%d-" % size, 200, None),
            ("bytes=%d-%d" % (size + 10, size + 20), 200, None),
            ("bytes=0-9,100-199", 200, None),
            ("bytes=0-99,100-199", 206, (0, 199)),
            ("bytes=50-150,0-60", 206, (0, 150)),
            ("bytes=8200-8300", 206, (8200, 8300)),
            ("bytes=4095-4096", 206, (4095, 4096)),
            ("bytes=1048575-1048576", 206, (1048575, 1048576)),
            ("bytes=1048576-2097152", 206, (1048576, 2097152)),
            ("bytes=4097-%d" % (3 * 1048576 + 1), 206, (4097, 3 * 1048576 + 1)),
            ("bytes=-%d" % (1048576 + 1), 206, (size - 1048576 - 1, size - 1)),
            ("bytes=12345-%d" % (size * 3), 206, (12345, size - 1)),
            ("bytes=-0", 200, None),
        ]
        for header, status, span in cases:
            with self.subTest(range=header):
                got_status, headers, body = self.range_of("f10485760.bin", header)
                self.assertEqual(got_status, status)
                if span is None:
                    self.assertEqual(sha(body), sha(data))
                    self.assertNotIn("Content-Range", headers)
                else:
                    first, last = span
                    self.assertIn("Content-Range: bytes %d-%d/%d\r\n" % (first, last, size), headers)
                    self.assertIn("Content-Length: %d\r\n" % (last - first + 1), headers)
                    self.assertEqual(body, data[first:last + 1])

    def test_ranges_on_small_and_empty_files(self):
        status, headers, body = self.range_of("f1.bin", "bytes=0-0")
        self.assertEqual((status, body), (206, Fixture.data["f1.bin"]))
        status, headers, body = self.range_of("f0.bin", "bytes=0-0")
        self.assertEqual((status, body), (200, b""))
        self.assertIn("Content-Length: 0\r\n", headers)

    def test_sparse_file_beyond_four_gib(self):
        for first, last in [(4 * GiB - 6000, 4 * GiB + 6000), (4 * GiB + 1, 4 * GiB + 8192),
                            (5 * GiB - 4000, 5 * GiB - 1)]:
            with self.subTest(first=first):
                status, headers, body = self.range_of("big.bin", "bytes=%d-%d" % (first, last))
                self.assertEqual(status, 206)
                self.assertIn("/%d\r\n" % Fixture.big_size, headers)
                self.assertEqual(body, Fixture.big_bytes(first, last))
        head = raw_request(self.port, b"HEAD /files/big.bin HTTP/1.0\r\n\r\n").decode("latin-1")
        self.assertIn("Content-Length: %d\r\n" % Fixture.big_size, head)

    def test_404_page_is_exact(self):
        status, headers, body = self.get("/files/missing%20file.txt", "-H", "Host: example.org:81")
        self.assertEqual(status, 404)
        expected = ("<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>The requested "
                    "URL &#47;files&#47;missing&#32;file.txt was not found on this server.</p><hr><address>"
                    "%s at example.org Port %d</address></body></html>" % (PRODUCT, self.port)).encode()
        self.assertEqual(body, expected)
        self.assertIn("Content-Length: %d\r\n" % len(expected), headers)
        self.assertIn("Content-Type: text/html\r\n", headers)

    def test_parent_directory_attacks_never_leave_the_share(self):
        attacks = []
        for sep in ["/", "\\", "%2f", "%2F", "%5c", "%5C"]:
            for dots in ["..", "%2e%2e", "%2E%2E", ".%2e", "%2e.", "..%00"]:
                attacks.append("/files/%s%ssecret.txt" % (dots, sep))
                attacks.append("/files/%s%s%s%sfiles%sf1.bin" % (dots, sep, dots, sep, sep))
        attacks += ["/../secret.txt", "/files/../../secret.txt", "//files//..//secret.txt",
                    "/files/..", "/files/../", "/files/f1.bin/..", "/files/f1.bin/../..",
                    "/C:/windows/win.ini", "/Z:/tmp/", "/files/Z:%5ctmp%5c", "/Z:%5c",
                    "/files/%00/../secret.txt", "/files\\..\\secret.txt", "/files/./../secret.txt",
                    "/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/files/....//secret.txt"]
        self.assertGreaterEqual(len(attacks), 40)
        for path in attacks:
            with self.subTest(path=path):
                status, _, body = self.get(path)
                self.assertIn(status, (404, 0))
                self.assertNotIn(b"outside the share", body)
                self.assertNotIn(b"[fonts]", body)

    def test_malformed_requests_close_without_a_response(self):
        for request in [b"FETCH /files/f1.bin HTTP/1.1\r\n\r\n",
                        b"GET /files/f1.bin HTTP/1.2\r\n\r\n",
                        b"GET /files/f1.bin HTTP/1.1\r\nX-Long: " + b"a" * 5000 + b"\r\n\r\n",
                        b"GET /files/f1.bin HTTP/1.1\r\nX-Exact: " + b"a" * (4096 - 39) + b"\r\n",
                        b"testcon / HTTP/1.1\r\n\r\n",
                        b"POST /send_file.post HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"]:
            with self.subTest(request=request[:40]):
                self.assertEqual(raw_request(self.port, request), b"")
        # A client that closes at once does no harm.
        for _ in range(20):
            socket.create_connection(("127.0.0.1", self.port)).close()
        status, _, body = self.get("/files/f8192.bin")
        self.assertEqual((status, body), (200, Fixture.data["f8192.bin"]))

    def test_heads_around_the_first_receive_and_up_to_the_limit_are_answered(self):
        # Whole heads of these lengths, in one send and split so that a receive ends inside the
        # first buffer and the next crosses it.
        start = b"GET /files/f1.bin HTTP/1.1\r\nX-Pad: "
        for length in (1023, 1024, 1025, 2048, 4096):
            head = start + b"a" * (length - len(start) - 4) + b"\r\n\r\n"
            for split in (None, 1000):
                with self.subTest(length=length, split=split):
                    with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
                        if split:
                            s.sendall(head[:split])
                            time.sleep(0.2)
                            s.sendall(head[split:])
                        else:
                            s.sendall(head)
                        reply = read_until_closed(s)
                    self.assertTrue(reply.startswith(b"HTTP/1.1 200 OK"), reply[:60])
                    self.assertTrue(reply.endswith(Fixture.data["f1.bin"]))

    def test_markup_in_a_hand_made_request_stays_text(self):
        reply = raw_request(self.port, b"GET /nothing<script>x</script> HTTP/1.1\r\nHost: <b>h</b>\r\n\r\n")
        self.assertIn(b"404 Not Found", reply)
        self.assertNotIn(b"<script>", reply)
        self.assertNotIn(b"<b>", reply)

    def test_second_head_in_the_same_packet_is_ignored(self):
        reply = raw_request(self.port, b"GET /files/f1.bin HTTP/1.1\r\n\r\nGET /files/f0.bin HTTP/1.1\r\n\r\n")
        self.assertEqual(reply.count(b"HTTP/1.1 200 OK"), 1)
        self.assertTrue(reply.endswith(Fixture.data["f1.bin"]))

    def test_many_concurrent_clients_all_get_correct_bytes(self):
        data = Fixture.data["f10485760.bin"]
        rnd = random.Random(3)
        jobs = []
        for i in range(200):
            if i % 2:
                first = rnd.randrange(len(data))
                last = min(len(data) - 1, first + rnd.randrange(200000))
                jobs.append((first, last))
            else:
                jobs.append(None)

        def run(job):
            if job is None:
                name = rnd.choice(list(Fixture.data))
                status, _, body = curl(self.port, "/files/" + name)
                return status == 200 and body == Fixture.data[name]
            status, _, body = curl(self.port, "/files/f10485760.bin", "-H", "Range: bytes=%d-%d" % job)
            return status == 206 and body == data[job[0]:job[1] + 1]

        with concurrent.futures.ThreadPoolExecutor(50) as pool:
            results = list(pool.map(run, jobs))
        self.assertEqual(results.count(False), 0)

    def test_abrupt_disconnects_leave_no_connection_objects(self):
        for i in range(500):
            s = socket.create_connection(("127.0.0.1", self.port))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            # The small file's body goes with its head, and no receive watches for a reset.
            name = b"f8192.bin" if i % 4 == 3 else b"f10485760.bin"
            s.sendall(b"GET /files/" + name + b" HTTP/1.1\r\n\r\n")
            if i % 2:
                s.recv(1000)
            s.close()  # linger 0: reset mid-transfer
        deadline = time.time() + 60
        count = self.host.object_count()
        while count != 1 and time.time() < deadline:
            time.sleep(0.5)
            count = self.host.object_count()
        self.assertEqual(count, 1)  # the listener alone
        status, _, body = self.get("/files/f8193.bin")
        self.assertEqual((status, body), (200, Fixture.data["f8193.bin"]))

    def test_resets_while_a_send_is_pending_leave_no_connection_objects(self):
        # A small window fills at once, so the server's send is pending when the reset comes;
        # under Wine such a send may never complete unless the connection notices the reset.
        for i in range(200):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
            s.connect(("127.0.0.1", self.port))
            name = (b"f1048577.bin", b"f10485760.bin", b"f8192.bin")[i % 3]
            s.sendall(b"GET /files/" + name + b" HTTP/1.1\r\n\r\n")
            s.recv(1000)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            s.close()
        deadline = time.time() + 30
        count = self.host.object_count()
        while count != 1 and time.time() < deadline:
            time.sleep(0.5)
            count = self.host.object_count()
        self.assertEqual(count, 1)

    def test_a_half_closed_client_still_gets_the_whole_file(self):
        # An orderly end of the request side is not a reset: the response goes on to the end.
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(b"GET /files/f10485760.bin HTTP/1.1\r\n\r\n")
            s.shutdown(socket.SHUT_WR)
            time.sleep(0.5)
            data = read_until_closed(s)
        body = data[data.index(b"\r\n\r\n") + 4:]
        self.assertEqual(sha(body), sha(Fixture.data["f10485760.bin"]))


class Login(unittest.TestCase):
    def check(self, stored_user, port_args):
        files = os.path.join(Fixture.root, "files")
        settings = {"ShareList": share_list([(files, 0)]), "RequirePassword": 1, "SingleDirIsRoot": 0,
                    "LoginUser": ("bytes", stored_user), "LoginPassword": ("bytes", b"s3cret")}
        with ShareHost(settings) as host:
            for args, status in port_args:
                with self.subTest(args=args):
                    got, headers, body = curl(host.port, *args)
                    self.assertEqual(got, status)
                    if status == 401:
                        self.assertIn('WWW-Authenticate: Basic realm ="Password protected"\r\n', headers)
                        self.assertTrue(body.startswith(b"<html><head><title>401 Authorization Required"))
                        self.assertIn(b"You may have entered an incorrect login or password.</p><hr><address>"
                                      + PRODUCT.encode() + b" at 127.0.0.1 Port %d</address>" % host.port, body)

    def test_login_required(self):
        self.check(b"alice", [
            (("/files/f1.bin",), 401),
            (("/no/such/file",), 401),
            (("/files/f1.bin", "-u", "alice:s3cret"), 200),
            (("/files/f1.bin", "-u", "alice:wrong"), 401),
            (("/files/f1.bin", "-u", "bob:s3cret"), 401),
            (("/no/such/file", "-u", "alice:s3cret"), 404),
        ])

    def test_empty_stored_user_accepts_any_user(self):
        self.check(b"", [
            (("/files/f1.bin", "-u", "anyone:s3cret"), 200),
            (("/files/f1.bin", "-u", "anyone:nope"), 401),
        ])


class PortInUse(unittest.TestCase):
    def test_a_taken_port_is_reported(self):
        blocker = socket.socket()
        blocker.bind(("0.0.0.0", 0))
        blocker.listen()
        port = blocker.getsockname()[1]
        try:
            with ShareHost({"SharePort": port}, expect_listening=False) as host:
                self.assertEqual(host.wait_line(("listening", "failed"), 60), "failed %d in use" % port)
        finally:
            blocker.close()


if __name__ == "__main__":
    unittest.main()
