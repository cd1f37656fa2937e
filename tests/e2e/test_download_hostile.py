"""The host against servers that go quiet or answer wrongly on purpose: connections and header
requests that never answer, moves to nowhere, ranges other than the ones asked, bodies longer
than the file, endless heads, redirect loops, and files that cannot be created. The stall limits
are shortened through the host's test-only environment, so every case takes seconds."""
import os
import socket
import threading
import time
import unittest

from downloadhost import (BAD_HEAD, DOWNLOADING, MOVED, NO_FILE_INFO, STALLED, MiB, DownloadCase, ranged_answer,
                          parse_range)

# Transfer, header and download limits in milliseconds (the program's own are 60, 30 and 120 s).
FAST_STALLS = {"WEXA_DL_STALL_MS": "3000,2000,9000"}


class HandlerServer:
    """A loopback server that hands each connection's request head to handler(conn, head, n), n
    counting the requests from 0; the handler writes what it likes and may keep the connection
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


if __name__ == "__main__":
    unittest.main()
