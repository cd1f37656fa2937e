"""Drives the downloader's console host under Wine for end-to-end tests, and the real servers it
downloads from on loopback: nginx with a config each test writes, Python's http.server (no ranges)
and a scripted socket server for answers no ordinary server gives."""
import atexit
import http.server
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from sharehost import (BIN_DIR, KEY, WINE, export_key, free_port, make_file, reg_import, sha_file, wine_env,
                       wine_path, write_settings)

MiB = 1 << 20
GiB = 1 << 30
HOST_EXE = "WexaDownloadHost.exe"
USER_AGENT = "Wexa-Share Downloader/1.2.1"
# Objects the engine holds with no download running (the host keeps none of its own).
IDLE_OBJECTS = int(os.environ.get("WEXA_DL_IDLE_OBJECTS", "0"))

S = "Current Status: "
RESOLVING = S + "Resolving address"
DOWNLOADING = S + "Downloading"
NO_RESUME = S + "Downloading (Resume NOT supported)"
COMPLETE = S + "Download complete"
PAUSED = S + "Paused"
OPEN_FAILED = S + "Failed to open file"
RESUME_OPEN_FAILED = S + "Failed to open file to resume on"
NOT_RESOLVED = S + "Failed to resolve address"
NO_FILE_INFO = S + "Failed to get file-info from server"
MODIFIED = S + "Error. The file on the server has been modified."
ZERO_SIZE = S + "Error, file-size is zero bytes"
NOT_FOUND = S + "Error, file not found on server"
PASSWORD = S + "Error, server is password protected"
MOVED = S + "File has moved to another server location, retrying"
BAD_LOCATION = S + "Error parsing referring URL, file has moved"
BAD_HEAD = S + "Server returned invalid or incompatible header"
STALLED = S + "Error, no data received from server"
TOO_MANY_MOVES = S + "Error, too many redirects"
DISK_FULL = S + "Error, not enough disk space"
NOT_TRUSTED = S + "Secure connection failed: certificate not trusted"
WRONG_NAME = S + "Secure connection failed: certificate is for another host"
EXPIRED = S + "Secure connection failed: certificate expired or not yet valid"
TLS_FAILED = S + "Secure connection failed"
# Texts of an entry that is still working.
RUNNING = ("Idle", RESOLVING, S + "Address resolved", S + "Requesting header", S + "Header read", DOWNLOADING,
           NO_RESUME, MOVED)
# Texts after which an entry does nothing more by itself.
FAILURES = (OPEN_FAILED, RESUME_OPEN_FAILED, NOT_RESOLVED, NO_FILE_INFO, MODIFIED, ZERO_SIZE, NOT_FOUND,
            PASSWORD, BAD_LOCATION, BAD_HEAD, STALLED, TOO_MANY_MOVES, DISK_FULL, NOT_TRUSTED, WRONG_NAME, EXPIRED,
            TLS_FAILED, S + "Failed to start address resolving",
            S + "Failed to start header request")


def linux_path(path):
    """The Linux path of a Wine Z: path."""
    if path[:3].upper() == "Z:\\":
        return path[2:].replace("\\", "/")
    return path


# ---------------------------------------------------------------------------------------------
# Registry: the DownloadsList value byte for byte.

RS = "\x1e"


def record(local_path, url, file_flag="0", size="0", connections="1", credentials="", ranges=()):
    """One DownloadsList record as the program writes it (ranges as (start, end) or raw text)."""
    fields = [local_path, url, file_flag, str(size), str(connections), credentials]
    fields += [r if isinstance(r, str) else "%d-%d" % r for r in ranges]
    return "b" + "".join(f + RS for f in fields)


def downloads_list_bytes(records):
    """The value's bytes for a list of records: each with its NUL, then one more NUL."""
    return "".join(r + "\0" for r in records).encode("utf-16-le") + b"\0\0"


def write_downloads_list(raw, settings=None):
    """Replaces the key with the given settings and a DownloadsList of exactly these bytes (None: no value)."""
    write_settings(settings or {})
    if raw is None:
        return
    reg_import(["[%s]" % KEY, '"DownloadsList"=hex(7):' + ",".join("%02x" % b for b in raw)])


def read_downloads_list():
    """The DownloadsList value's bytes as stored, or None when there is no such value."""
    text = export_key()
    match = re.search(r'^"DownloadsList"=hex\(7\):([0-9a-fA-F, ]*)$', text or "", re.M)
    if not match:
        return None
    digits = match.group(1).replace(" ", "")
    return bytes(int(h, 16) for h in digits.split(",") if h)


def parse_downloads_list(raw):
    """[(local path, url, file flag, size, connections, credentials, [(start, end)])] of a value."""
    text = raw.decode("utf-16-le")
    entries = []
    for rec in text.split("\0"):
        if not rec:
            break
        fields = rec[1:].split(RS)[:-1]
        ranges = [tuple(int(x) for x in f.split("-")) for f in fields[6:]]
        entries.append((fields[0], fields[1], fields[2], int(fields[3]), int(fields[4]), fields[5], ranges))
    return entries


def missing_bytes(ranges):
    return sum(end - start + 1 for start, end in ranges)


# ---------------------------------------------------------------------------------------------
# The host.

class DownloadHost:
    """WexaDownloadHost.exe under Wine. Lines it prints are kept in order; waits scan them all, so
    a status that has already passed is found too (pass `after=host.mark()` to look only later).
    Name look-ups go to a resolver on loopback that answers nothing, so no query leaves the
    machine (see _resolver_wrapper)."""

    def __init__(self, urls=(), connections=None, credentials=None, folder=None, exit_when_done=False,
                 extra_args=(), env=None):
        self.exe = os.path.join(BIN_DIR, "bin", HOST_EXE)
        self.env = dict(wine_env(), **(env or {}))
        args = []
        if connections is not None:
            args += ["--connections", str(connections)]
        if credentials is not None:
            args += ["--credentials", credentials]
        if folder is not None:
            args += ["--folder", wine_path(folder)]
        if exit_when_done:
            args.append("--exit-when-done")
        self.args = args + list(extra_args) + list(urls)
        self.lines = []
        self._cond = threading.Condition()
        self.proc = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.proc = subprocess.Popen(_resolver_wrapper() + [WINE, self.exe, *self.args], env=self.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        threading.Thread(target=self._read, daemon=True).start()
        return self

    def _read(self):
        for raw in self.proc.stdout:
            with self._cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self._cond.notify_all()
        with self._cond:
            self.lines.append("<eof>")
            self._cond.notify_all()

    def mark(self):
        with self._cond:
            return len(self.lines)

    def wait_for(self, match, timeout, after=0, what="line"):
        """The first line at or after index `after` for which match(line) is true."""
        deadline = time.time() + timeout
        with self._cond:
            while True:
                for line in self.lines[after:]:
                    if match(line):
                        return line
                if "<eof>" in self.lines[after:]:
                    raise AssertionError("host ended before %s; lines: %s" % (what, self.tail()))
                left = deadline - time.time()
                if left <= 0:
                    raise TimeoutError("no %s within %ds; lines: %s" % (what, timeout, self.tail()))
                self._cond.wait(left)

    def tail(self, n=30):
        return self.lines[-n:]

    def statuses(self, entry_id):
        prefix = "status %d " % entry_id
        with self._cond:
            return [l[len(prefix):] for l in self.lines if l.startswith(prefix)]

    def last_status(self, entry_id):
        seen = self.statuses(entry_id)
        return seen[-1] if seen else None

    def wait_status(self, entry_id, text, timeout=60, after=0):
        line = "status %d %s" % (entry_id, text)
        self.wait_for(lambda l: l == line, timeout, after, repr(line))

    def wait_failure(self, entry_id, timeout=60, after=0):
        """The first failure text of an entry."""
        prefix = "status %d " % entry_id
        line = self.wait_for(lambda l: l.startswith(prefix) and l[len(prefix):] in FAILURES, timeout, after,
                             "a failure of entry %d" % entry_id)
        return line[len(prefix):]

    def wait_complete(self, entry_id, timeout=120, after=0):
        """The Linux path of the completed file; fails at once when the entry fails first."""
        status = "status %d " % entry_id
        done = "complete %d " % entry_id

        def match(l):
            return l.startswith(done) or (l.startswith(status) and l[len(status):] in FAILURES)
        line = self.wait_for(match, timeout, after, "completion of entry %d" % entry_id)
        if line.startswith(status):
            raise AssertionError("entry %d failed: %s (statuses %s)" % (entry_id, line, self.statuses(entry_id)))
        return linux_path(line[len(done):])

    def command(self, text):
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()

    def object_count(self):
        after = self.mark()
        self.command("count")
        return int(self.wait_for(lambda l: l.startswith("objects "), 30, after, "an object count").split()[1])

    def wait_idle(self, timeout=30):
        """Polls the engine's object count until it is back at its idle value; returns the last count."""
        deadline = time.time() + timeout
        while True:
            count = self.object_count()
            if count == IDLE_OBJECTS or time.time() > deadline:
                return count
            time.sleep(0.3)

    def quit(self, timeout=60):
        """`quit`: the list is saved as at exit; returns the exit code."""
        self.command("quit")
        return self.wait_exit(timeout)

    def wait_exit(self, timeout=60):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill9()
            raise AssertionError("host did not exit; lines: %s" % self.tail())

    def real_pid(self):
        """The process whose command line holds the host's name in this Wine prefix (the Popen
        process becomes it, but look it up rather than rely on how Wine starts programs)."""
        prefix = wine_env()["WINEPREFIX"]
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    cmdline = f.read()
                with open("/proc/%s/environ" % entry, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            program = cmdline.split(b"\0")[0].replace(b"\\", b"/")
            if program.endswith(b"/" + HOST_EXE.encode()) and ("WINEPREFIX=" + prefix).encode() in environ:
                return int(entry)
        return self.proc.pid

    def kill9(self):
        if self.proc.poll() is not None:
            return
        try:
            os.kill(self.real_pid(), signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def stop(self):
        """End of input (same as quit); a host that does not end is killed."""
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.kill9()
        return self.proc.returncode


_RESOLV_DIR = None
# Scratch folders of this process (resolver config, nginx prefixes): removed when it exits, since
# a test may still read a stopped server's log.
_SCRATCH = []
atexit.register(lambda: [shutil.rmtree(d, ignore_errors=True) for d in _SCRATCH])


def _resolver_wrapper():
    """A command prefix giving the host a private mount of /etc/resolv.conf that names loopback:
    a name that is not in /etc/hosts then fails at once instead of being asked of an outside
    name server. Without unshare (or root) the host runs as it is."""
    global _RESOLV_DIR
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return []
    if _RESOLV_DIR is None:
        _RESOLV_DIR = tempfile.mkdtemp(prefix="wexa-resolv-")
        _SCRATCH.append(_RESOLV_DIR)
        with open(os.path.join(_RESOLV_DIR, "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount --bind %s /etc/resolv.conf" %
                                os.path.join(_RESOLV_DIR, "resolv.conf")], capture_output=True)
        if probe.returncode != 0:
            _RESOLV_DIR = ""
    if not _RESOLV_DIR:
        return []
    return ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"',
            os.path.join(_RESOLV_DIR, "resolv.conf")]


# ---------------------------------------------------------------------------------------------
# nginx.

LOG_FORMAT = "'$remote_port\\t$status\\t$bytes_sent\\t$body_bytes_sent\\t$request_method\\t$request_uri\\t$http_range'"


class Nginx:
    """nginx on a free loopback port serving `root`, with a config written for the test.

    limit_rate: per-connection rate ("4m"); uneven: (fast, slow) rates chosen by the last digit of
    the client's port (0-4 fast, 5-9 slow: ports may all be even or all odd); users: {name: password}
    for Basic login under /private/; redirects: {path: (code, url)}; dispositions: {path: header
    value} (Content-Disposition added there).

    nginx leaves "Accept-Ranges" out of its 206 answers, and the downloader resumes only when a 206
    says so: accept_ranges adds the header (False gives stock nginx).

    tls: (certificate file, key file): HTTPS on the port, and url() names "https://localhost"."""

    def __init__(self, root, limit_rate=None, uneven=None, users=None, redirects=None, dispositions=None,
                 accept_ranges=True, port=None, tls=None):
        self.root = os.path.abspath(root)
        self.port = port or free_port()
        self.tls = tls
        self.dir = tempfile.mkdtemp(prefix="wexa-nginx-")
        _SCRATCH.append(self.dir)
        self.access_log = os.path.join(self.dir, "access.log")
        http = ["log_format t %s;" % LOG_FORMAT,
                "access_log %s t;" % self.access_log,
                "default_type application/octet-stream;",
                "sendfile on;",
                "keepalive_timeout 0;"]
        for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
            http.append("%s_temp_path %s;" % (name, os.path.join(self.dir, name)))
        server = ["listen 127.0.0.1:%d%s;" % (self.port, " ssl" if tls else ""), "root %s;" % self.root]
        if tls:
            server += ["ssl_certificate %s;" % tls[0], "ssl_certificate_key %s;" % tls[1]]
        ranges = "add_header Accept-Ranges bytes;" if accept_ranges else ""
        # add_header in a location hides the server's, so every location repeats it.
        server.append(ranges)
        if uneven:
            http.append("map $remote_port $wexa_rate { ~[5-9]$ %s; default %s; }" % (uneven[1], uneven[0]))
            server.append("limit_rate $wexa_rate;")
        elif limit_rate:
            server.append("limit_rate %s;" % limit_rate)
        if users:
            with open(os.path.join(self.dir, "htpasswd"), "w") as f:
                for name, password in users.items():
                    f.write("%s:{PLAIN}%s\n" % (name, password))
            server.append('location /private/ { %s auth_basic "Wexa test"; auth_basic_user_file %s; }' %
                          (ranges, os.path.join(self.dir, "htpasswd")))
        for path, (code, url) in (redirects or {}).items():
            server.append("location = %s { return %d %s; }" % (path, code, url))
        for path, value in (dispositions or {}).items():
            escaped = value.replace("\\", "\\\\").replace("'", "\\'")
            server.append("location = %s { %s add_header Content-Disposition '%s'; }" % (path, ranges, escaped))
        conf = ["daemon off;", "master_process on;", "worker_processes 1;",
                "pid %s;" % os.path.join(self.dir, "nginx.pid"),
                "error_log %s warn;" % os.path.join(self.dir, "error.log"),
                "events { worker_connections 4096; }",
                "http {", *["    " + l for l in http], "    server {", *["        " + l for l in server],
                "    }", "}"]
        if os.geteuid() == 0:
            conf.insert(0, "user root;")  # workers must read the test's private temp folders
        self.conf = os.path.join(self.dir, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join(conf) + "\n")
        self.proc = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.proc = subprocess.Popen(["nginx", "-p", self.dir, "-c", self.conf, "-e",
                                      os.path.join(self.dir, "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        _wait_listening(self.port, self.proc, "nginx")
        return self

    def url(self, path, host=None):
        if self.tls:
            return "https://%s:%d%s" % (host or "localhost", self.port, path)
        return "http://%s:%d%s" % (host or "127.0.0.1", self.port, path)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.kill()
        self.proc = None

    def kill(self):
        """Ends master and workers at once: open connections just break."""
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.proc = None

    def log_entries(self):
        """[(remote port, status, bytes sent, body bytes sent, method, request uri, range header)]."""
        if not os.path.exists(self.access_log):
            return []
        out = []
        with open(self.access_log, encoding="latin-1") as f:
            for line in f:
                p = line.rstrip("\n").split("\t")
                if len(p) == 7:
                    out.append((int(p[0]), int(p[1]), int(p[2]), int(p[3]), p[4], p[5], p[6]))
        return out

    def body_bytes(self, uri=None, method="GET"):
        """Body bytes sent for all requests of that method (and uri)."""
        return sum(e[3] for e in self.log_entries() if e[4] == method and (uri is None or e[5] == uri))

    def socket_queues(self):
        """`ss` lines of the server's connections (receive and send queues): on a stall they tell
        whether nginx is blocked on a client that stopped reading, or idle."""
        out = subprocess.run(["ss", "-tn", "state", "established", "( sport = :%d )" % self.port],
                             capture_output=True, timeout=30).stdout.decode("utf-8", "replace")
        return out.strip().splitlines()

    def reset_log(self):
        """Empties the access log (nginx keeps appending to the same open file)."""
        if os.path.exists(self.access_log):
            os.truncate(self.access_log, 0)


def _wait_listening(port, proc, what, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc is not None and proc.poll() is not None:
            err = proc.stderr.read().decode("utf-8", "replace") if proc.stderr else ""
            raise RuntimeError("%s ended at start: %s" % (what, err))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s does not listen on %d" % (what, port))


# ---------------------------------------------------------------------------------------------
# Python servers.

class _PlainHandler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # a 1.0 status line would not be recognised at all
    requests = None

    def log_request(self, *args):
        self.requests.append((self.command, self.path, self.headers.get("Range")))

    def log_message(self, *args):
        pass


class PlainServer:
    """Python's http.server over `root`: whole files with 200, no ranges. .requests holds
    (method, path, range header) of each request answered."""

    def __init__(self, root):
        self.requests = []
        handler_class = type("Handler", (_PlainHandler,), {"requests": self.requests})
        handler = lambda *a, **kw: handler_class(*a, directory=root, **kw)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)


def parse_range(head):
    """(first, last or None) of a request's "Range: bytes=a-b" header, or None."""
    match = re.search(rb"\r\nRange: bytes=(\d+)-(\d*)\r\n", head, re.I)
    if not match:
        return None
    return int(match.group(1)), (int(match.group(2)) if match.group(2) else None)


def ranged_answer(head, data, accept_ranges=True, honour_range=True, extra=b""):
    """The bytes an ordinary ranged server sends for this request: 206 with the asked part, or
    200 with everything when no range was asked (or honour_range is off)."""
    asked = parse_range(head) if honour_range else None
    size = len(data)
    lines = []
    if asked is None:
        first, last = 0, size - 1
        lines.append(b"HTTP/1.1 200 OK")
    else:
        first, last = asked[0], size - 1 if asked[1] is None else min(asked[1], size - 1)
        lines.append(b"HTTP/1.1 206 Partial Content")
        lines.append(b"Content-Range: bytes %d-%d/%d" % (first, last, size))
    lines.append(b"Content-Length: %d" % (last - first + 1))
    if accept_ranges:
        lines.append(b"Accept-Ranges: bytes")
    lines.append(b"Connection: close")
    out = b"\r\n".join(lines) + b"\r\n" + extra + b"\r\n"
    if head.startswith(b"GET"):
        out += data[first:last + 1]
    return out


class ScriptedServer:
    """Accepts connections on a free loopback port, reads each request head and answers with
    respond(head) (bytes; empty means close without a word). Heads are kept in .requests.
    chunk: the first 512 bytes of each answer go out in pieces of that size (a head split over
    many receives); rate: bytes per second for the rest."""

    def __init__(self, respond, chunk=None, rate=None):
        self.respond = respond
        self.chunk = chunk
        self.rate = rate
        self.requests = []
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self._stop = False

    def __enter__(self):
        threading.Thread(target=self._serve, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self._stop = True
        self.sock.close()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _serve(self):
        while not self._stop:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._answer, args=(conn,), daemon=True).start()

    def _answer(self, conn):
        with conn:
            conn.settimeout(30)
            head = b""
            try:
                while b"\r\n\r\n" not in head:
                    chunk = conn.recv(4096)
                    if not chunk:
                        return
                    head += chunk
                self.requests.append(head)
                reply = self.respond(head)
                if reply:
                    self._send(conn, reply)
            except OSError:
                return

    def _send(self, conn, reply):
        at = 0
        if self.chunk:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            while at < min(len(reply), 512):
                conn.sendall(reply[at:at + self.chunk])
                at += self.chunk
                time.sleep(0.002)
        if not self.rate:
            conn.sendall(reply[at:])
            return
        block = max(1, self.rate // 20)
        while at < len(reply) and not self._stop:
            conn.sendall(reply[at:at + block])
            at += block
            time.sleep(0.05)


# ---------------------------------------------------------------------------------------------
# Test base.


class DownloadCase(unittest.TestCase):
    """Fresh folders and registry per test, hosts that are always stopped, and the checks every
    download test ends with."""

    def setUp(self):
        write_settings({})  # no DownloadsList left by an earlier test

    def new_folder(self, name="dl"):
        folder = tempfile.mkdtemp(prefix="wexa-%s-" % name)
        self.addCleanup(shutil.rmtree, folder, True)
        return folder

    def start_host(self, urls=(), **kw):
        host = DownloadHost(urls, **kw).start()
        self.addCleanup(host.stop)
        return host

    def finish(self, host):
        """The engine is back to its idle object count; quit then exits 0."""
        self.assertEqual(host.wait_idle(), IDLE_OBJECTS, "objects left; lines: %s" % host.tail())
        self.assertEqual(host.quit(), 0)

    def assertSameBytes(self, path, source):
        self.assertTrue(os.path.exists(path), path)
        self.assertEqual(os.path.getsize(path), os.path.getsize(source), path)
        self.assertEqual(sha_file(path), sha_file(source), path)

    def assertKeptBytesMatch(self, path, source, ranges):
        """Every byte outside the missing ranges is already the server's: a saved list never
        claims bytes that are not in the file."""
        size = os.path.getsize(source)
        kept = []
        at = 0
        for start, end in sorted(ranges):
            if start > at:
                kept.append((at, start - 1))
            at = end + 1
        if at < size:
            kept.append((at, size - 1))
        with open(path, "rb") as local, open(source, "rb") as remote:
            for start, end in kept:
                local.seek(start)
                remote.seek(start)
                left = end - start + 1
                while left:
                    n = min(left, 4 * MiB)
                    if local.read(n) != remote.read(n):
                        self.fail("bytes %d-%d claimed done but differ from the server's" % (start, end))
                    left -= n
