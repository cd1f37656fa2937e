"""Bounded work per client: time limits (shortened through WEXA_TIME_LIMITS), the drain limit
after a refusal, the memory budget of index pages that nobody reads, and the progress records
of running transfers."""
import os
import re
import shutil
import socket
import tempfile
import threading
import time
import unittest

from sharehost import ShareHost, curl, read_until_closed, share_list, wine_path

MiB = 1 << 20
# The server's largest transfer buffer, and how much a bursty reader takes per burst.
LARGEST_BUFFER = MiB
BURST = 512 * 1024
HEAD_S, BODY_S, SEND_S, DRAIN_S = 2, 3, 4, 1
LIMITS = "%d,%d,%d,%d" % (HEAD_S * 1000, BODY_S * 1000, SEND_S * 1000, DRAIN_S * 1000)
BOUNDARY = "----WexaLimitsBoundary"


def connect(port, receive_buffer=None):
    s = socket.socket()
    if receive_buffer:
        # Set before connecting, so the window stays small and the server's sends stay pending.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.settimeout(30)
    s.connect(("127.0.0.1", port))
    return s


def seconds_until_closed(s, limit=30):
    """Reads and drops until the server closes; (seconds waited, bytes read)."""
    start = time.time()
    total = 0
    s.settimeout(limit)
    while True:
        try:
            chunk = s.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        total += len(chunk)
    return time.time() - start, total


def upload_head(length, login=""):
    return ("POST /send_file.post HTTP/1.1\r\nHost: 127.0.0.1\r\n%sContent-Type: multipart/form-data; "
            "boundary=%s\r\nContent-Length: %d\r\n\r\n" % (login, BOUNDARY, length)).encode()


def file_part(name):
    return ('--%s\r\nContent-Disposition: form-data; name="file"; filename="%s"\r\n'
            'Content-Type: application/octet-stream\r\n\r\n' % (BOUNDARY, name)).encode()


class Folders:
    @classmethod
    def make(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-limits-")
        cls.share = os.path.join(cls.root, "share")
        cls.received = os.path.join(cls.root, "received")
        os.makedirs(cls.share)
        os.mkdir(cls.received)
        with open(os.path.join(cls.share, "big.bin"), "wb") as f:
            f.write(os.urandom(24 * MiB))
        with open(os.path.join(cls.share, "small.bin"), "wb") as f:
            f.write(b"s" * 3000)

    @classmethod
    def remove(cls):
        shutil.rmtree(cls.root, ignore_errors=True)


def setUpModule():
    Folders.make()


def tearDownModule():
    Folders.remove()


class Host:
    def back_to_baseline(self, seconds=15):
        deadline = time.time() + seconds
        count = self.host.object_count()
        while count != self.baseline and time.time() < deadline:
            time.sleep(0.2)
            count = self.host.object_count()
        self.assertEqual(count, self.baseline)


class TimeLimits(Host, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        settings = {"ShareList": share_list([(Folders.share, 0)]), "SingleDirIsRoot": 0, "AllowUploads": 1,
                    "UploadsDirectory": wine_path(Folders.received)}
        cls.host = ShareHost(settings, env={"WEXA_TIME_LIMITS": LIMITS}).__enter__()
        cls.port = cls.host.port
        cls.baseline = cls.host.object_count()

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)

    def tearDown(self):
        self.back_to_baseline()

    def test_idle_and_slow_head_clients_are_cut_at_the_head_limit(self):
        idle = [connect(self.port) for _ in range(20)]
        slow = connect(self.port)
        stop = threading.Event()

        def trickle():
            # One byte every half second never completes a head within the limit.
            for byte in b"GET /share/small.bin HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"a" * 100:
                if stop.wait(0.5):
                    return
                try:
                    slow.send(bytes([byte]))
                except OSError:
                    return

        sender = threading.Thread(target=trickle)
        sender.start()
        try:
            waited, got = seconds_until_closed(slow)
            self.assertEqual(got, 0)
            self.assertGreater(waited, HEAD_S - 0.5)
            self.assertLess(waited, HEAD_S + 3)
            for s in idle:
                waited, got = seconds_until_closed(s, 10)
                self.assertEqual(got, 0)
            # A client that asks in time is served while they wait.
            status, _, body = curl(self.port, "/share/small.bin")
            self.assertEqual((status, len(body)), (200, 3000))
        finally:
            stop.set()
            sender.join()
            slow.close()
            for s in idle:
                s.close()

    def test_stalled_upload_is_cut_and_its_partial_file_removed(self):
        s = connect(self.port)
        try:
            s.sendall(upload_head(10 * MiB) + file_part("stalled.bin") + os.urandom(40000))
            path = os.path.join(Folders.received, "stalled.bin")
            deadline = time.time() + 10
            while not os.path.exists(path) and time.time() < deadline:
                time.sleep(0.1)
            self.assertTrue(os.path.exists(path))
            started = time.time()
            waited, _ = seconds_until_closed(s)
            self.assertGreater(time.time() - started, BODY_S - 1)
            self.assertLess(waited, BODY_S + 3)
        finally:
            s.close()
        self.back_to_baseline()
        # The engine counts an object out just before it deletes it (and the file with it).
        deadline = time.time() + 5
        while os.path.exists(path) and time.time() < deadline:
            time.sleep(0.1)
        self.assertFalse(os.path.exists(path))

    def test_upload_that_keeps_moving_outlasts_the_body_limit(self):
        data = os.urandom(8 * 4096)
        body = file_part("steady.bin") + data + ("\r\n--%s--\r\n" % BOUNDARY).encode()
        s = connect(self.port)
        try:
            s.sendall(upload_head(len(body)))
            # A piece every second, for twice the body limit.
            step = len(body) // (2 * BODY_S) + 1
            for at in range(0, len(body), step):
                s.sendall(body[at:at + step])
                time.sleep(1)
            answer = read_until_closed(s)
        finally:
            s.close()
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK"), answer[:100])
        self.assertIn(b"<title>File Sent</title>", answer)
        with open(os.path.join(Folders.received, "steady.bin"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_client_that_stops_reading_is_cut_at_the_send_limit(self):
        s = connect(self.port, receive_buffer=4096)
        try:
            s.sendall(b"GET /share/big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            time.sleep(SEND_S + 3)
            _, got = seconds_until_closed(s, 10)
            self.assertLess(got, 24 * MiB)
        finally:
            s.close()

    def test_slow_reader_that_keeps_reading_outlasts_the_send_limit(self):
        s = connect(self.port, receive_buffer=65536)
        total = 0
        start = time.time()
        try:
            s.sendall(b"GET /share/big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            # About 4 MiB a second: twice the send limit for the whole file.
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                total += len(chunk)
                time.sleep(0.015)
        finally:
            s.close()
        self.assertGreater(time.time() - start, SEND_S)
        self.assertGreater(total, 24 * MiB)


class DrainLimit(Host, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        settings = {"AllowUploads": 1, "UploadsDirectory": wine_path(Folders.received), "RequirePassword": 1,
                    "LoginUser": ("bytes", b"ann"), "LoginPassword": ("bytes", b"s3cret")}
        cls.host = ShareHost(settings).__enter__()
        cls.port = cls.host.port
        cls.baseline = cls.host.object_count()

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)

    def test_refused_body_is_drained_only_briefly(self):
        # Without a login the body meets a 401, and its endless rest is cut off.
        pushed = 0
        start = time.time()
        s = connect(self.port)
        try:
            s.sendall(upload_head(10 ** 12, login="Authorization: Basic bm9ib2R5Om5vcGU=\r\n"))
            block = b"x" * 65536
            while time.time() - start < 8:
                try:
                    pushed += s.send(block)
                except OSError:
                    break
        finally:
            s.close()
        took = time.time() - start
        self.assertLess(took, 5)
        self.assertLess(pushed, 32 * MiB)
        self.back_to_baseline()


class IndexPageBudget(Host, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = os.path.join(Folders.root, "many")
        os.mkdir(cls.folder)
        for i in range(8000):
            open(os.path.join(cls.folder, "%05d-%s.txt" % (i, "n" * 230)), "wb").close()
        settings = {"ShareList": share_list([(cls.folder, 0), (Folders.share, 0)]), "SingleDirIsRoot": 0}
        cls.host = ShareHost(settings).__enter__()
        cls.port = cls.host.port
        cls.baseline = cls.host.object_count()

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)

    def hold_pages(self, clients, count):
        for _ in range(count):
            s = connect(self.port, receive_buffer=4096)
            s.sendall(b"GET /many/ HTTP/1.1\r\nHost: x\r\n\r\n")
            clients.append(s)
        time.sleep(5)
        return self.host.memory_kib() / 1024

    def test_unread_index_pages_stay_within_the_budget(self):
        status, _, page = curl(self.port, "/many/")
        self.assertEqual(status, 200)
        page_mib = len(page) / MiB
        self.assertGreater(page_mib, 2)
        before = self.host.memory_kib() / 1024
        clients = []
        try:
            first = self.hold_pages(clients, 20)
            second = self.hold_pages(clients, 60)
            third = self.hold_pages(clients, 120)
            # A reader meanwhile is refused the page but served a file at once.
            status, _, body = curl(self.port, "/many/")
            self.assertEqual(status, 503)
            self.assertIn(b"<title>503 Service Unavailable</title>", body)
            start = time.time()
            status, _, body = curl(self.port, "/share/small.bin")
            took = time.time() - start
            self.assertEqual((status, len(body)), (200, 3000))
            self.assertLess(took, 2)
        finally:
            for s in clients:
                s.close()
        print("\n  index page %.1f MiB; memory %.0f MiB, with 20 unread %.0f MiB, with 80 unread %.0f MiB, "
              "with 200 unread %.0f MiB; small file in %.2f s" % (page_mib, before, first, second, third, took))
        # Unbounded, 200 unread pages would hold 200 pages; bounded, the budget is held and the
        # pages being built at once (one per worker at most) come and go.
        self.assertLess(third - before, 100 * page_mib)
        self.back_to_baseline()


class Progress(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        settings = {"ShareList": share_list([(Folders.share, 0)]), "SingleDirIsRoot": 0}
        cls.host = ShareHost(settings, env={"WEXA_HOST_PROGRESS": "1"}).__enter__()
        cls.port = cls.host.port

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)

    def records_until_closed(self, timeout=60):
        """[(time, sent, total)] of the next connection, until its closed line."""
        records = []
        deadline = time.time() + timeout
        while True:
            line = self.host.wait_line(("progress", "closed"), deadline - time.time())
            if line.startswith("closed"):
                return records
            _, _, sent, total = line.split()
            records.append((time.time(), int(sent), int(total)))

    def test_bursty_reader_gets_a_record_every_second_and_a_final_one(self):
        collected = []
        reader = threading.Thread(target=lambda: collected.extend(self.records_until_closed()))
        reader.start()
        s = connect(self.port, receive_buffer=65536)
        got = 0
        try:
            s.sendall(b"GET /share/big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            # Reads in small bursts three seconds apart: completions come that far apart too, and
            # the file outlasts the test however large the server's buffers are.
            s.settimeout(0.2)
            for burst in range(3):
                time.sleep(3)
                burst_end = time.time() + 0.3
                while time.time() < burst_end and got < (burst + 1) * BURST:
                    try:
                        got += len(s.recv(min(65536, (burst + 1) * BURST - got)))
                    except socket.timeout:
                        break
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        finally:
            s.close()
        reader.join()
        times = [t for t, _, _ in collected]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertGreater(len(times), 5)
        self.assertLess(max(gaps), 1.7, gaps)
        # The last record is where the transfer stopped: at least what the client took, less
        # what a send still pending may already have passed on (up to one whole buffer).
        self.assertGreaterEqual(collected[-1][1], got - LARGEST_BUFFER - 16384)
        self.assertEqual(collected[-1][2], 24 * MiB)


if __name__ == "__main__":
    unittest.main()
