"""Drives the share server under Wine for end-to-end tests: writes its registry settings,
starts the headless host (or the real program), waits until it listens, and stops it.
Clients are real: curl, and raw sockets for malformed requests."""
import hashlib
import os
import random
import shutil
import socket
import subprocess
import tempfile
import threading
import time

BIN_DIR = os.environ.get("WEXA_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/x86_64"))
WINE = "/usr/lib/wine/wine64"
KEY = r"HKEY_CURRENT_USER\Software\WexaShare"


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if "WINEPREFIX" not in env:
        raise RuntimeError("WINEPREFIX is not set: run the tests through scripts/test.sh")
    return env


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _reg_value(value):
    """One value as .reg text: int -> dword, ("qword", n), ("multi", [str]), ("bytes", b) as
    REG_SZ holding raw bytes, str -> REG_SZ, None -> delete."""
    if value is None:
        return "-"
    if isinstance(value, bool) or isinstance(value, int):
        return "dword:%08x" % int(value)
    if isinstance(value, tuple):
        kind, data = value
        if kind == "qword":
            raw = int(data).to_bytes(8, "little")
            return "hex(b):" + ",".join("%02x" % b for b in raw)
        if kind == "multi":
            raw = "".join(s + "\0" for s in data).encode("utf-16-le") + b"\0\0"
            return "hex(7):" + ",".join("%02x" % b for b in raw)
        if kind == "bytes":
            # regedit treats REG_SZ data as UTF-16 and terminates it in place: pad to whole
            # units plus a terminator so the bytes survive (readers stop at the first zero).
            raw = data + (b"\0" if len(data) % 2 else b"") + b"\0\0"
            return "hex(1):" + ",".join("%02x" % b for b in raw)
        if kind == "none":
            return "hex(0):"
    text = str(value).replace("\\", "\\\\").replace('"', '\\"')
    return '"%s"' % text


def reg_import(lines):
    """Imports the lines of a .reg file (after its version line) into the prefix's registry."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False, encoding="utf-16") as f:
        f.write("\r\n".join(["Windows Registry Editor Version 5.00", ""] + lines) + "\r\n")
        path = f.name
    try:
        subprocess.run([WINE, "regedit", "/S", wine_path(path)], env=wine_env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    finally:
        os.unlink(path)


def write_settings(values, clear=True):
    """Replaces the program's key with the given values (name -> value, see _reg_value)."""
    lines = ["[-%s]" % KEY, ""] if clear else []
    lines.append("[%s]" % KEY)
    for name, value in values.items():
        lines.append('"%s"=%s' % (name, _reg_value(value)))
    reg_import(lines)


def _ask_registry(args, answer, missing, attempts=3):
    """answer(completed run) of a Wine registry tool, or None once the tool says `missing`. The tools
    also fail without saying why (a launch that failed on a busy machine): such a run is made again,
    and one that keeps failing is an error, never taken for a missing key or value."""
    for _ in range(attempts):
        run = subprocess.run([WINE] + args, env=wine_env(), capture_output=True, timeout=120)
        result = answer(run)
        if result is not None:
            return result
        said = (run.stdout + run.stderr).decode("utf-8", "replace")
        if missing in said:
            return None
        time.sleep(1)
    raise AssertionError("%s answered nothing: %s" % (" ".join(args), said.strip()))


def read_value(name):
    """(type, data) of one value as `reg query` prints it, or None when the key or value is missing."""
    def answer(run):
        for line in run.stdout.decode("utf-8", "replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0] == name:
                return parts[1], parts[2] if len(parts) > 2 else ""
        return None
    return _ask_registry(["reg", "query", KEY, "/v", name], answer, "Unable to find the specified registry")


def export_key(key=KEY):
    """The key as regedit exports it (.reg text), or None when there is no such key (regedit exits 0
    whatever happens: only the file it writes tells)."""
    folder = tempfile.mkdtemp(prefix="wexa-reg-")
    out = os.path.join(folder, "key.reg")

    def answer(run):
        if not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            data = f.read()
        text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("latin-1")
        return text.replace("\r\n", "\n").replace("\\\n", "")
    try:
        return _ask_registry(["regedit", "/E", wine_path(out), key], answer, "Unable to open the registry key")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def share_list(paths_and_totals):
    """The ShareList value for [(linux path, total)]."""
    items = []
    for path, total in paths_and_totals:
        items += [wine_path(path), str(total)]
    return ("multi", items)


class ShareHost:
    """The headless server. Use as a context manager; .port is where it listens."""

    def __init__(self, settings, exe="WexaShareHost.exe", expect_listening=True, env=None):
        self.port = settings.get("SharePort") or free_port()
        settings = dict(settings)
        settings["SharePort"] = self.port
        settings.setdefault("NotFirstRun", ("none", b""))
        # UPnP searches for a gateway by multicast: only modules in a namespace of their own
        # (a gateway fixture's) turn it on.
        settings.setdefault("EnableUPnP", 0)
        write_settings(settings)
        self.exe = os.path.join(BIN_DIR, "bin", exe)
        self.expect_listening = expect_listening
        self.env = dict(env or {})
        self.lines = []
        self._cond = threading.Condition()

    def __enter__(self):
        # Wine's own messages (an unhandled exception among them) say why a host ended early.
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([WINE, self.exe], env={**wine_env(), **self.env}, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.errors)
        threading.Thread(target=self._read, daemon=True).start()
        if self.expect_listening:
            line = self.wait_line(("listening", "failed"), 60)
            if not line.startswith("listening"):
                code = self.stop()
                self.errors.seek(0)
                said = self.errors.read()[-2000:].decode("utf-8", "replace")
                raise RuntimeError("server did not listen: %r (exit code %s) %s" % (line, code, said))
        return self

    def __exit__(self, *exc):
        self.stop()
        self.errors.close()

    def _read(self):
        for raw in self.proc.stdout:
            with self._cond:
                self.lines.append(raw.decode("utf-8", "replace").strip())
                self._cond.notify_all()
        with self._cond:
            self.lines.append("<eof>")
            self._cond.notify_all()

    def wait_line(self, prefixes, timeout):
        deadline = time.time() + timeout
        seen = 0
        with self._cond:
            while True:
                for line in self.lines[seen:]:
                    if line.startswith(prefixes) or line == "<eof>":
                        self.lines.remove(line)
                        return line
                seen = len(self.lines)
                left = deadline - time.time()
                if left <= 0:
                    raise TimeoutError("no %r from the server" % (prefixes,))
                self._cond.wait(left)

    def command(self, text):
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()

    def object_count(self):
        self.command("count")
        return int(self.wait_line(("objects",), 30).split()[1])

    def memory_kib(self):
        """The host process's resident memory (the Wine process is the one started here)."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


def raw_request(port, data, timeout=10, send_buffer=None):
    """Sends raw bytes and returns everything the server answers before it closes. A small
    send_buffer keeps the kernel from taking much of data before the server reads it."""
    with socket.socket() as s:
        if send_buffer:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, send_buffer)
        s.settimeout(timeout)
        s.connect(("127.0.0.1", port))
        s.sendall(data)
        return read_until_closed(s)


def read_until_closed(s):
    """Everything the server sends on s before it closes (or resets) the connection."""
    chunks = []
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


def curl(port, path, *args, timeout=120):
    """(status line code, headers text, body bytes) of one curl request."""
    with tempfile.NamedTemporaryFile(delete=False) as hdr:
        header_path = hdr.name
    try:
        result = subprocess.run(["curl", "-s", "-g", "--path-as-is", "-D", header_path, "-o", "-",
                                 "--max-time", str(timeout), *args,
                                 "http://127.0.0.1:%d%s" % (port, path)],
                                capture_output=True, timeout=timeout + 10)
        with open(header_path, "rb") as f:
            headers = f.read().decode("latin-1")
    finally:
        os.unlink(header_path)
    # An interim "100 Continue" comes before the answer: the answer's head is the last one.
    while headers.startswith("HTTP/1.1 1") and "\r\n\r\n" in headers:
        headers = headers.split("\r\n\r\n", 1)[1]
    status = int(headers.split()[1]) if headers.startswith("HTTP/") else 0
    return status, headers, result.stdout


MiB = 1 << 20


def sha_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(4 * MiB)
            if not block:
                return h.hexdigest()
            h.update(block)


def make_file(folder, name, size, seed):
    """A file of random bytes; returns its path."""
    path = os.path.join(folder, name)
    rnd = random.Random(seed)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 4 * MiB)
            f.write(rnd.randbytes(n))
            left -= n
    return path
