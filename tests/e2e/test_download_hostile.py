"""The host against servers that go quiet or answer wrongly on purpose: connections and header
requests that never answer, moves to nowhere, ranges other than the ones asked, bodies longer
than the file, endless heads, redirect loops, and files that cannot be created. The stall limits
are shortened through the host's test-only environment, so every case takes seconds."""
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from downloadhost import (BAD_HEAD, DISK_FULL, DOWNLOADING, MOVED, NO_FILE_INFO, NO_RESUME, STALLED, TOO_MANY_MOVES, MiB,
                          DownloadCase, ranged_answer, parse_range)

# Transfer, header and download limits in milliseconds (the program's own are 60, 30 and 120 s).
FAST_STALLS = {"WEXA_DL_STALL_MS": "3000,2000,9000"}


class HandlerServer:
    """A loopback server that hands each connection's request head to handler(conn, head, n), n
    counting the requests from 0 in the order they arrived; the handler writes what it likes and may keep the connection
    open as long as it likes (it is closed when the handler returns)."""

    def __init__(self, handler):
        self.handler = handler
        self.requests = []
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.stopped = threading.Event()
        self._lock = threading.Lock()

    def __enter__(self):
        threading.Thread(target=self._serve, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.stopped.set()
        self.sock.close()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _serve(self):
        while not self.stopped.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._answer, args=(conn,), daemon=True).start()

    def _answer(self, conn):
        with conn:
            head = b""
            try:
                while b"\r\n\r\n" not in head:
                    chunk = conn.recv(4096)
                    if not chunk:
                        return
                    head += chunk
                with self._lock:
                    n = len(self.requests)
                    self.requests.append(head)
                self.handler(conn, head, n)
            except OSError:
                return

    def hold(self, seconds=600):
        """Keeps a connection open and silent until the server stops."""
        self.stopped.wait(seconds)

    def gets(self):
        return [parse_range(h) for h in self.requests if h.startswith(b"GET")]


class Stalls(DownloadCase):
    def test_silent_transfer_connection_ends_and_its_range_is_fetched_again(self):
        data = os.urandom(3 * MiB)

        def handler(conn, head, n):
            reply = ranged_answer(head, data)
            if head.startswith(b"GET") and len(server.gets()) == 1:
                conn.sendall(reply[:200000])  # then nothing, the connection left open
                server.hold()
                return
            conn.sendall(reply)
        with HandlerServer(handler) as server:
            host = self.start_host([server.url("/quiet.bin")], folder=self.new_folder(), env=FAST_STALLS)
            with open(host.wait_complete(1, 60), "rb") as f:
                self.assertEqual(f.read(), data)
            gets = server.gets()
            self.assertEqual(gets[0], (0, len(data) - 1))
            self.assertGreater(gets[1][0], 0)  # only what the silent one had not written
            self.finish(host)

    def test_header_request_without_a_head_fails_the_download(self):
        with HandlerServer(lambda conn, head, n: server.hold()) as server:
            host = self.start_host([server.url("/never.bin")], folder=self.new_folder(), env=FAST_STALLS)
            started = time.time()
            self.assertEqual(host.wait_failure(1, 30), NO_FILE_INFO)
            self.assertLess(time.time() - started, 20)
            self.finish(host)

    def test_move_to_a_silent_server_fails_like_any_request_without_a_head(self):
        with HandlerServer(lambda conn, head, n: silent.hold()) as silent:
            move = b"HTTP/1.1 301 Moved\r\nLocation: %s\r\n\r\n" % silent.url("/there.bin").encode()
            with HandlerServer(lambda conn, head, n: conn.sendall(move)) as first:
                host = self.start_host([first.url("/here.bin")], folder=self.new_folder(), env=FAST_STALLS)
                self.assertEqual(host.wait_failure(1, 30), NO_FILE_INFO)
                self.assertIn(MOVED, host.statuses(1))
                self.assertEqual(len(silent.requests), 1)
                self.finish(host)

    def test_download_that_stops_moving_fails_and_the_retry_resumes_it(self):
        # Every GET gets its head and then nothing until the server "comes back".
        data = os.urandom(2 * MiB)
        back = threading.Event()

        def handler(conn, head, n):
            reply = ranged_answer(head, data)
            if head.startswith(b"GET") and not back.is_set():
                conn.sendall(reply[:reply.index(b"\r\n\r\n") + 4])
                server.hold()
                return
            conn.sendall(reply)
        with HandlerServer(handler) as server:
            env = dict(FAST_STALLS, WEXA_DL_RETRY_MS="1000")
            host = self.start_host([server.url("/stops.bin")], connections=2, folder=self.new_folder(), env=env)
            host.wait_status(1, DOWNLOADING, 30)
            self.assertEqual(host.wait_failure(1, 40), STALLED)
            back.set()
            with open(host.wait_complete(1, 60, after=host.mark()), "rb") as f:
                self.assertEqual(f.read(), data)
            self.finish(host)


def send_slowly(conn, reply, rate):
    """reply at about `rate` bytes per second."""
    block = max(1, rate // 20)
    for at in range(0, len(reply), block):
        conn.sendall(reply[at:at + block])
        time.sleep(0.05)


def partial(data, first, last, total=None, extra=b""):
    """A 206 head claiming bytes first..last of a file of `total` bytes, then `extra` as its body."""
    return (b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\nContent-Length: %d\r\n"
            b"Accept-Ranges: bytes\r\nConnection: close\r\n\r\n" % (first, last, total or len(data), last - first + 1)
            + extra)


class WrongBytes(DownloadCase):
    def test_206_with_other_bytes_than_asked_is_not_written(self):
        data = os.urandom(2 * MiB)

        wrong = []

        def handler(conn, head, n):
            asked = parse_range(head)
            if head.startswith(b"GET") and asked[0] > 0 and not wrong:
                # The file's first bytes, labelled as such, for the first request from the middle.
                wrong.append(n)
                conn.sendall(partial(data, 0, MiB - 1, extra=data[:MiB]))
                return
            if head.startswith(b"GET"):
                send_slowly(conn, ranged_answer(head, data), 2 * MiB)
                return
            conn.sendall(ranged_answer(head, data))
        with HandlerServer(handler) as server:
            host = self.start_host([server.url("/mixed.bin")], connections=2, folder=self.new_folder())
            with open(host.wait_complete(1, 60), "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertTrue(wrong)
            self.finish(host)

    def test_206_of_another_total_is_not_written(self):
        data = os.urandom(MiB)

        def handler(conn, head, n):
            asked = parse_range(head)
            if head.startswith(b"GET") and n == 1:
                wrong = data + b"x" * 1000
                conn.sendall(partial(wrong, asked[0], len(wrong) - 1, extra=wrong[asked[0]:]))
                return
            conn.sendall(ranged_answer(head, data))
        with HandlerServer(handler) as server:
            host = self.start_host([server.url("/other.bin")], folder=self.new_folder())
            path = host.wait_complete(1, 60)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data)
            self.finish(host)

    def test_capped_answer_to_the_header_request_gives_the_whole_size(self):
        # Every answer is cut to 256 KiB, labelled honestly by its Content-Range.
        data = os.urandom(MiB + 5)
        cap = 256 * 1024

        def handler(conn, head, n):
            first = parse_range(head)[0]
            last = min(first + cap, len(data)) - 1
            conn.sendall(partial(data, first, last, extra=data[first:last + 1] if head.startswith(b"GET") else b""))
        with HandlerServer(handler) as server:
            host = self.start_host([server.url("/capped.bin")], folder=self.new_folder())
            with open(host.wait_complete(1, 60), "rb") as f:
                self.assertEqual(f.read(), data)
            self.finish(host)

    def test_bytes_beyond_the_range_or_the_file_are_never_written(self):
        data = os.urandom(MiB)
        for ranged in (True, False):
            with self.subTest(ranged=ranged):
                def handler(conn, head, n):
                    conn.sendall(ranged_answer(head, data, accept_ranges=ranged, honour_range=ranged) +
                                 (b"trailing bytes past the end" * 100 if head.startswith(b"GET") else b""))
                with HandlerServer(handler) as server:
                    host = self.start_host([server.url("/long.bin")], connections=3, folder=self.new_folder())
                    path = host.wait_complete(1, 60)
                    self.assertEqual(os.path.getsize(path), len(data))
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(), data)
                    self.finish(host)
                self.setUp()

    def test_refused_extra_connection_just_ends(self):
        data = os.urandom(4 * MiB)
        busy = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"

        refusals = []

        def handler(conn, head, n):
            # The first two requests for the middle of the file are refused, whatever their order.
            if head.startswith(b"GET") and parse_range(head)[0] > 0 and len(refusals) < 2:
                refusals.append(n)
                conn.sendall(busy)
                return
            send_slowly(conn, ranged_answer(head, data), 4 * MiB)
        with HandlerServer(handler) as server:
            host = self.start_host([server.url("/busy.bin")], connections=4, folder=self.new_folder())
            with open(host.wait_complete(1, 60), "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(len(refusals), 2)
            self.assertNotIn(NO_RESUME, host.statuses(1))
            # Nothing was asked from byte 0 again.
            self.assertEqual([g for g in server.gets() if g[0] == 0], [(0, len(data) - 1)], server.gets())
            self.finish(host)

    def test_body_shorter_than_the_header_size_fails_instead_of_looping(self):
        data = os.urandom(MiB)
        short = len(data) - 1000
        refused = b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */%d\r\nConnection: close\r\n\r\n"

        def handler(conn, head, n):
            first = parse_range(head)[0]
            if head.startswith(b"GET") and first >= short:
                conn.sendall(refused % short)
            elif head.startswith(b"GET"):
                conn.sendall(partial(data, first, len(data) - 1, extra=data[first:short]))
            else:
                conn.sendall(ranged_answer(head, data))
        with HandlerServer(handler) as server:
            host = self.start_host([server.url("/short.bin")], folder=self.new_folder())
            self.assertEqual(host.wait_failure(1, 30), BAD_HEAD)
            self.assertLessEqual(len(server.gets()), 3, server.gets())
            self.finish(host)

    def test_reset_connection_is_replaced_while_the_others_run(self):
        data = os.urandom(3 * MiB)
        times = []

        def handler(conn, head, n):
            if head.startswith(b"GET"):
                times.append(time.time())
                if n == 2:
                    return  # closed without a word
                send_slowly(conn, ranged_answer(head, data), 128 * 1024)
                return
            conn.sendall(ranged_answer(head, data))
        with HandlerServer(handler) as server:
            host = self.start_host([server.url("/reset.bin")], connections=3, folder=self.new_folder())
            deadline = time.time() + 20
            while len(times) < 4 and time.time() < deadline:
                time.sleep(0.1)
            # The fourth request replaces the reset one long before any running one ends (each
            # needs several seconds at this rate).
            self.assertGreaterEqual(len(times), 4, server.gets())
            self.assertLess(times[3] - times[1], 3)
            with open(host.wait_complete(1, 60), "rb") as f:
                self.assertEqual(f.read(), data)
            self.finish(host)


def move(code, url):
    return b"HTTP/1.1 %d Moved\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n" % (code, url.encode())


def path_of(head):
    return head.split(b" ")[1].decode()


class Moves(DownloadCase):
    def test_every_redirect_the_web_uses_is_followed(self):
        data = os.urandom(MiB)
        chain = {"/a": (302, "/b"), "/b": (303, "/c"), "/c": (307, "/d"), "/d": (308, "/file.bin")}

        def handler(conn, head, n):
            path = path_of(head)
            if path in chain:
                conn.sendall(move(chain[path][0], server.url(chain[path][1])))
            else:
                conn.sendall(ranged_answer(head, data))
        with HandlerServer(handler) as server:
            folder = self.new_folder()
            host = self.start_host([server.url("/a")], connections=2, folder=folder)
            path = host.wait_complete(1, 60)
            self.assertEqual(path, os.path.join(folder, "a"))
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(host.statuses(1).count(MOVED), 4)
            self.finish(host)

    def test_redirect_loop_ends_after_ten_moves(self):
        with HandlerServer(lambda conn, head, n: conn.sendall(move(302, server.url("/loop")))) as server:
            host = self.start_host([server.url("/loop")], folder=self.new_folder())
            self.assertEqual(host.wait_failure(1, 60), TOO_MANY_MOVES)
            self.assertEqual(len(server.requests), 11)
            self.finish(host)

    def test_credentials_go_only_to_the_host_and_port_they_were_given_for(self):
        data = os.urandom(300000)
        with HandlerServer(lambda conn, head, n: conn.sendall(ranged_answer(head, data))) as other:
            def handler(conn, head, n):
                path = path_of(head)
                if path == "/elsewhere":
                    conn.sendall(move(301, other.url("/file.bin")))
                elif path == "/here":
                    conn.sendall(move(301, server.url("/file.bin")))
                else:
                    conn.sendall(ranged_answer(head, data))
            with HandlerServer(handler) as server:
                host = self.start_host([server.url("/here"), server.url("/elsewhere")], credentials="u:p",
                                       folder=self.new_folder())
                host.wait_complete(1, 60)
                host.wait_complete(2, 60)
                auth = b"\r\nAuthorization: Basic dTpw\r\n"
                self.assertTrue(all(auth in h for h in server.requests), server.requests)
                self.assertEqual(len(server.requests), 4)
                self.assertTrue(other.requests)
                self.assertFalse(any(b"Authorization" in h for h in other.requests), other.requests)
                self.finish(host)


class Bounds(DownloadCase):
    def endless_head(self, conn, status=b"206 Partial Content"):
        conn.sendall(b"HTTP/1.1 " + status + b"\r\nContent-Length: 1000\r\nAccept-Ranges: bytes\r\n")
        try:
            for i in range(100000):
                conn.sendall(b"X-Filler-%d: %s\r\n" % (i, b"f" * 200))
        except OSError:
            pass  # the downloader gave up: that is the point

    def test_endless_head_of_the_header_request_fails_the_download(self):
        with HandlerServer(lambda conn, head, n: self.endless_head(conn)) as server:
            host = self.start_host([server.url("/endless.bin")], folder=self.new_folder())
            self.assertEqual(host.wait_failure(1, 60), BAD_HEAD)
            self.finish(host)

    def test_endless_head_of_a_transfer_fails_the_download(self):
        data = os.urandom(1000)

        def handler(conn, head, n):
            if head.startswith(b"GET"):
                self.endless_head(conn, b"206 Partial Content\r\nContent-Range: bytes 0-999/1000")
            else:
                conn.sendall(ranged_answer(head, data))
        with HandlerServer(handler) as server:
            host = self.start_host([server.url("/endless.bin")], folder=self.new_folder())
            self.assertEqual(host.wait_failure(1, 60), BAD_HEAD)
            self.assertEqual(len(server.gets()), 1)
            self.finish(host)


def wineserver_pids():
    """The wineserver processes of this run's prefix."""
    prefix = ("WINEPREFIX=" + os.environ["WINEPREFIX"]).encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                program = f.read().split(b"\0")[0]
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if os.path.basename(program).startswith(b"wineserver") and prefix in environ:
            pids.append(int(entry))
    return pids


class FullDisk(DownloadCase):
    def small_folder(self, size="1m"):
        """A folder on a tmpfs of its own of `size` (root only). Wine's files are opened by its
        wineserver, which may live in a mount namespace of its own: the tmpfs is mounted there too."""
        if os.geteuid() != 0 or not shutil.which("nsenter"):
            self.skipTest("needs root and nsenter to mount a small tmpfs")
        folder = tempfile.mkdtemp(prefix="wexa-tiny-")
        self.addCleanup(shutil.rmtree, folder, True)
        mount = ["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder]
        if subprocess.run(mount, capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", folder], capture_output=True)
        own = os.readlink("/proc/self/ns/mnt")
        for pid in wineserver_pids():
            if os.readlink("/proc/%d/ns/mnt" % pid) != own:
                self.assertEqual(subprocess.run(["nsenter", "-t", str(pid), "-m"] + mount).returncode, 0)
                self.addCleanup(subprocess.run, ["nsenter", "-t", str(pid), "-m", "umount", "-l", folder],
                                capture_output=True)
        return folder

    def test_disk_full_mid_transfer_fails_the_download_once(self):
        data = os.urandom(4 * MiB)
        folder = self.small_folder()
        with HandlerServer(lambda conn, head, n: conn.sendall(ranged_answer(head, data))) as server:
            host = self.start_host([server.url("/big.bin")], connections=4, folder=folder)
            self.assertEqual(host.wait_failure(1, 60), DISK_FULL)
            self.assertLessEqual(len(server.gets()), 8, server.gets())
            self.finish(host)


if __name__ == "__main__":
    unittest.main()
