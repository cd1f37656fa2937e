"""The vendor web service, or a scripted stand-in, on 127.0.0.1:80 for end-to-end modules that run
in a network namespace of their own (run-e2e.sh makes one for modules named *_netns or holding the
line "E2E_NETNS = True"). Inside it the service host name resolves to 127.0.0.1, so the programs
reach whatever listens here; port 80 belongs to this module alone.

    with ServiceProcess() as service: ...                          # the real service
    with StandIn([b"HTTP/1.1 200 OK\\r\\n\\r\\n", b"1.2.3.4"]) as s: ...  # answers in pieces
    with StandIn(None) as s: ...                                   # reads, never answers
"""
import os
import socket
import subprocess
import sys
import threading
import time

SERVICE_HOST = os.environ.get("WEXA_SERVICE_HOST", "service.wexa-share.test")
SOURCE_DIR = os.environ.get("WEXA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
SERVICE_SCRIPT = os.path.join(SOURCE_DIR, "service", "wexa_service.py")
SERVICE_PORT = 80


def namespace():
    """The name of the namespace this module runs in; refuses to go on outside one, where port 80
    and the service host would be shared with every other module (or with nothing at all)."""
    name = os.environ.get("WEXA_NETNS")
    if not name:
        raise RuntimeError("not in a test network namespace: name the module *_netns "
                           "or add the line E2E_NETNS = True, and run it through run-e2e.sh")
    return name


def _wait_port(port, timeout, proc=None):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("service exited with %s" % proc.returncode)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError("nothing listens on port %d" % port)


class ServiceProcess:
    """The real service (service/wexa_service.py) on 127.0.0.1:80; extra command-line options
    as a list, e.g. ["--releases", folder, "--test-timeout", "3"]. Its log lines are in .log()."""

    def __init__(self, args=(), port=SERVICE_PORT):
        self.args = list(args)
        self.port = port
        self._lines = []

    def __enter__(self):
        if self.port == SERVICE_PORT:
            namespace()
        self.proc = subprocess.Popen([sys.executable, SERVICE_SCRIPT, "--listen", "127.0.0.1:%d" % self.port,
                                      *self.args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        threading.Thread(target=self._read, daemon=True).start()
        try:
            _wait_port(self.port, 20, self.proc)
        except Exception:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def _read(self):
        for raw in self.proc.stderr:
            self._lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def log(self):
        return list(self._lines)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class StandIn:
    """A scripted service on 127.0.0.1:80. For every connection it reads the request head (up to
    the blank line) into .requests, then sends `chunks` one by one with `pause` seconds between
    them and closes. chunks=None never answers: the connection stays open until stop(), like a
    service that has gone silent. chunks may also be a function (request head bytes) -> chunks."""

    def __init__(self, chunks, pause=0.05, port=SERVICE_PORT):
        self.chunks = chunks
        self.pause = pause
        self.port = port
        self.requests = []
        self._stopping = threading.Event()
        self._held = []
        self._lock = threading.Lock()
        self._arrived = threading.Condition(self._lock)

    def __enter__(self):
        if self.port == SERVICE_PORT:
            namespace()
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", self.port))
        self.sock.listen(64)
        self.sock.settimeout(0.2)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def wait_requests(self, count, timeout):
        """Waits until `count` request heads have arrived; returns them."""
        deadline = time.time() + timeout
        with self._arrived:
            while len(self.requests) < count:
                left = deadline - time.time()
                if left <= 0:
                    raise TimeoutError("%d of %d requests arrived" % (len(self.requests), count))
                self._arrived.wait(left)
            return list(self.requests)

    def _serve(self):
        while not self._stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._answer, args=(conn,), daemon=True).start()

    def _answer(self, conn):
        head = b""
        conn.settimeout(10)
        try:
            while b"\r\n\r\n" not in head:
                data = conn.recv(4096)
                if not data:
                    break
                head += data
        except OSError:
            pass
        with self._arrived:
            self.requests.append(head)
            self._arrived.notify_all()
        chunks = self.chunks(head) if callable(self.chunks) else self.chunks
        if chunks is None:
            with self._lock:
                self._held.append(conn)
            return
        try:
            for i, chunk in enumerate(chunks):
                if i:
                    time.sleep(self.pause)
                conn.sendall(chunk)
        except OSError:
            pass
        conn.close()

    def stop(self):
        self._stopping.set()
        self.sock.close()
        self._thread.join(5)
        with self._lock:
            for conn in self._held:
                conn.close()
            self._held.clear()
