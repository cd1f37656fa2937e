#!/usr/bin/env python3
"""Share server benchmark (not a test): our server under Wine against nginx, Caddy and Python's
http.server on loopback, measured alternately in one run so that they see the same machine.

Prints MB/s for one 1 GiB download and for 50 concurrent 10 MiB downloads, requests/s from wrk
on a 4 KiB file and on an index page, each with its ratio to nginx. Our server runs twice: as
built from this tree ("ours") and as built from an earlier revision ("before", --baseline), so
that a change is measured against what it replaced in the same run. Then, for each of our
builds: memory with 1,000 idle connections open, peak memory during the 50-client download and
upload runs, one 1 GiB upload and 50 concurrent 10 MiB uploads (each stored file checked).

Usage: tools/bench/bench-share.py [--rounds N] [--quick] [--baseline REV | --no-baseline]
"""
import argparse
import concurrent.futures
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
sys.path.insert(0, os.path.join(ROOT, "tests/e2e"))
import sharehost  # noqa: E402

MiB = 1 << 20
# The last revision with two fixed 8 KiB buffers per connection.
DEFAULT_BASELINE = "d02f23f"


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def configure_and_build(source, tree):
    if not os.path.exists(os.path.join(tree, "build.ninja")):
        run(["cmake", "-S", source, "-B", tree, "-G", "Ninja",
             "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-x86_64.cmake" % source, "-DCMAKE_BUILD_TYPE=Release",
             "-DWEXA_TESTS=OFF"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", tree, "--target", "WexaShareHost"], stdout=subprocess.DEVNULL)
    return tree


def build_current():
    return configure_and_build(ROOT, os.path.join(ROOT, "build", "bench"))


def build_baseline(rev):
    """Builds WexaShareHost from an earlier revision, exported (not checked out) under build/."""
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", rev], capture_output=True, text=True,
                            check=True).stdout.strip()
    source = os.path.join(ROOT, "build", "bench-src-%s" % commit[:12])
    if not os.path.exists(os.path.join(source, "CMakeLists.txt")):
        os.makedirs(source, exist_ok=True)
        archive = subprocess.Popen(["git", "-C", ROOT, "archive", commit], stdout=subprocess.PIPE)
        run(["tar", "-x", "-C", source], stdin=archive.stdout)
        archive.wait()
    return configure_and_build(source, os.path.join(ROOT, "build", "bench-base-%s" % commit[:12]))


def make_fixture(base, quick):
    files = os.path.join(base, "files")
    os.makedirs(files)
    big = 256 * MiB if quick else 1024 * MiB
    with open(os.path.join(files, "big.bin"), "wb") as f:
        block = os.urandom(MiB)
        for _ in range(big // MiB):
            f.write(block)
    with open(os.path.join(files, "ten.bin"), "wb") as f:
        f.write(os.urandom(10 * MiB))
    with open(os.path.join(files, "small.bin"), "wb") as f:
        f.write(os.urandom(4096))
    for i in range(30):
        with open(os.path.join(files, "document number %02d.txt" % i), "w") as f:
            f.write("x" * (i * 100))
    return files, big


class Nginx:
    name = "nginx"

    def __init__(self, root):
        self.port = sharehost.free_port()
        self.dir = tempfile.mkdtemp(prefix="wexa-nginx-")
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""daemon off; worker_processes 2; pid %(d)s/nginx.pid; error_log %(d)s/error.log;
events { worker_connections 4096; }
http { access_log off; sendfile on; client_body_temp_path %(d)s; proxy_temp_path %(d)s;
  fastcgi_temp_path %(d)s; uwsgi_temp_path %(d)s; scgi_temp_path %(d)s;
  server { listen 127.0.0.1:%(p)d; root %(r)s; autoindex on; } }
""" % {"d": self.dir, "p": self.port, "r": root})
        self.proc = subprocess.Popen(["nginx", "-c", conf, "-p", self.dir], stderr=subprocess.DEVNULL)
        wait_port(self.port)

    def stop(self):
        self.proc.send_signal(signal.SIGQUIT)
        self.proc.wait(30)
        shutil.rmtree(self.dir, ignore_errors=True)


class Caddy:
    name = "caddy"

    def __init__(self, root):
        self.port = sharehost.free_port()
        self.home = tempfile.mkdtemp(prefix="wexa-caddy-")
        env = {**os.environ, "HOME": self.home, "XDG_DATA_HOME": self.home, "XDG_CONFIG_HOME": self.home}
        self.proc = subprocess.Popen(["caddy", "file-server", "--browse", "--listen", "127.0.0.1:%d" % self.port,
                                      "--root", root], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        wait_port(self.port)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)
        shutil.rmtree(self.home, ignore_errors=True)


class PythonServer:
    name = "python"

    def __init__(self, root):
        self.port = sharehost.free_port()
        self.proc = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", str(self.port)],
                                     cwd=root, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)


class OurServer:
    def __init__(self, name, tree, files, uploads_dir=None, also=()):
        self.name = name
        sharehost.BIN_DIR = tree
        shared = [(files, 0)] + [(path, 0) for path in also]
        settings = {"ShareList": sharehost.share_list(shared), "SingleDirIsRoot": 0, "UserName": "Bench"}
        if uploads_dir:
            settings.update({"AllowUploads": 1, "UploadsDirectory": sharehost.wine_path(uploads_dir)})
        self.host = sharehost.ShareHost(settings).__enter__()
        self.port = self.host.port

    def memory_kib(self):
        return self.host.memory_kib()

    def stop(self):
        self.host.stop()


class PeakMemory:
    """Samples a server's resident memory every 20 ms while a run goes on."""

    def __init__(self, server):
        self.server = server
        self.before = server.memory_kib() if server else 0
        self.peak = self.before
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    def _sample(self):
        while not self._stop.wait(0.02):
            self.peak = max(self.peak, self.server.memory_kib())

    def __enter__(self):
        if self.server:
            self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        if self.server:
            self._thread.join()


def wait_port(port, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("port %d never opened" % port)


def one_download(port, size):
    start = time.time()
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{size_download}",
                          "http://127.0.0.1:%d/files/big.bin" % port], capture_output=True, text=True).stdout
    elapsed = time.time() - start
    assert int(out or 0) == size, "short download: %s bytes" % out
    return size / MiB / elapsed


def concurrent_downloads(port, count=50):
    urls = []
    for _ in range(count):
        urls += ["-o", "/dev/null", "http://127.0.0.1:%d/files/ten.bin" % port]
    start = time.time()
    run(["curl", "-s", "--no-progress-meter", "--parallel", "--parallel-max", str(count), *urls])
    return count * 10 / (time.time() - start)


def wrk(port, path, seconds):
    out = subprocess.run(["wrk", "-t2", "-c32", "-d%ds" % seconds, "http://127.0.0.1:%d%s" % (port, path)],
                         capture_output=True, text=True).stdout
    m = re.search(r"Requests/sec:\s+([\d.]+)", out)
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return float(m.group(1)) if m and not errors else 0.0


def idle_memory(server, count=1000):
    before = server.memory_kib()
    sockets = []
    for _ in range(count):
        sockets.append(socket.create_connection(("127.0.0.1", server.port)))
    time.sleep(3)
    objects = server.host.object_count()
    after = server.memory_kib()
    for s in sockets:
        s.close()
    return before, after, objects


def upload(port, path, name):
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-F",
                          "Filedata=@%s;filename=%s" % (path, name), "http://127.0.0.1:%d/send_file.post" % port],
                         capture_output=True, text=True).stdout
    return out


def sha_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MiB), b""):
            h.update(block)
    return h.hexdigest()


def disk_write_rate(folder, size):
    """MB/s of a plain buffered write of `size` bytes into folder: the ceiling of any upload stored there."""
    path = os.path.join(folder, "disk-probe.bin")
    block = os.urandom(MiB)
    start = time.time()
    with open(path, "wb") as f:
        for _ in range(size // MiB):
            f.write(block)
    rate = size / MiB / (time.time() - start)
    os.unlink(path)
    return rate


def upload_folder(base):
    """Uploads land in memory when the machine has a tmpfs, so that the figures are the server's and not
    the disk's (a disk that takes plain writes at 400 MB/s caps every upload there)."""
    memory = "/dev/shm"
    if os.path.isdir(memory) and os.access(memory, os.W_OK) and shutil.disk_usage(memory).free > 4 << 30:
        return tempfile.mkdtemp(prefix="wexa-bench-uploads-", dir=memory)
    return tempfile.mkdtemp(prefix="wexa-bench-uploads-", dir=base)


def upload_figures(name, tree, files, base, big):
    uploads = upload_folder(base)
    print("%-7s uploads stored in %s (plain writes there: %.0f MB/s; into %s: %.0f MB/s)"
          % (name, os.path.dirname(uploads), disk_write_rate(uploads, big), base, disk_write_rate(base, big)),
          flush=True)
    server = OurServer(name, tree, files, uploads)
    try:
        before, after, objects = idle_memory(server)
        print("%-7s idle: %d KiB, %d KiB with 1000 idle connections (%d engine objects): %.1f KiB each"
              % (name, before, after, objects, (after - before) / 1000.0), flush=True)

        with PeakMemory(server) as mem:
            many = concurrent_downloads(server.port)
        print("%-7s 50 x 10 MiB downloads %.1f MB/s, memory %d KiB before, peak %d KiB (+%d KiB)"
              % (name, many, mem.before, mem.peak, mem.peak - mem.before), flush=True)

        start = time.time()
        code = upload(server.port, os.path.join(files, "big.bin"), "big.bin")
        rate = big / MiB / (time.time() - start)
        stored = os.path.join(uploads, "big.bin")
        exact = code == "200" and os.path.getsize(stored) == big and sha_file(stored) == sha_file(
            os.path.join(files, "big.bin"))
        print("%-7s upload of %d MiB: %.1f MB/s (%s)" % (name, big // MiB, rate, "exact" if exact else
                                                         "NOT STORED EXACTLY, answer %s" % code), flush=True)
        os.unlink(stored) if os.path.exists(stored) else None

        source = os.path.join(files, "ten.bin")
        names = ["u%02d.bin" % i for i in range(50)]
        with PeakMemory(server) as mem, concurrent.futures.ThreadPoolExecutor(50) as pool:
            start = time.time()
            codes = list(pool.map(lambda n: upload(server.port, source, n), names))
            elapsed = time.time() - start
        want = sha_file(source)
        exact = sum(1 for n, c in zip(names, codes)
                    if c == "200" and os.path.exists(os.path.join(uploads, n)) and
                    sha_file(os.path.join(uploads, n)) == want)
        print("%-7s 50 x 10 MiB uploads %.1f MB/s, %d of 50 stored exactly, memory %d KiB before, peak %d KiB "
              "(+%d KiB)" % (name, 500 / elapsed, exact, mem.before, mem.peak, mem.peak - mem.before), flush=True)
    finally:
        server.stop()
        shutil.rmtree(uploads, ignore_errors=True)


FOLDER_FILES = 1000


def make_folder(base):
    """FOLDER_FILES files of 1 MiB, each different, in base/folder."""
    folder = os.path.join(base, "folder")
    os.makedirs(folder)
    block = os.urandom(MiB - 8)
    for i in range(FOLDER_FILES):
        with open(os.path.join(folder, "f%04d.bin" % i), "wb") as f:
            f.write(b"%08d" % i + block)
    return folder


def folder_as_zip(port, base):
    """MB/s of the folder as one archive (timed into /dev/null, as the files are), and whether a
    second, untimed fetch reads back whole."""
    url = "http://127.0.0.1:%d/folder/?zip" % port
    start = time.time()
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{size_download}", url],
                         capture_output=True, text=True).stdout
    elapsed = time.time() - start
    size = int(out.split()[1])
    target = os.path.join(base, "folder.zip")
    subprocess.run(["curl", "-s", "-o", target, url], check=True)
    with zipfile.ZipFile(target) as z:
        whole = (out.startswith("200") and os.path.getsize(target) == size and len(z.infolist()) == FOLDER_FILES
                 and z.testzip() is None)
    os.unlink(target)
    return size / MiB / elapsed, whole


def folder_one_by_one(port, connections=4):
    """MB/s of the folder's files fetched one by one by curl, `connections` at a time."""
    urls = []
    for i in range(FOLDER_FILES):
        urls += ["-o", "/dev/null", "http://127.0.0.1:%d/folder/f%04d.bin" % (port, i)]
    start = time.time()
    out = subprocess.run(["curl", "-s", "--parallel", "--parallel-max", str(connections), "-w", "%{size_download}\n",
                          *urls], capture_output=True, text=True, check=True).stdout
    elapsed = time.time() - start
    got = sum(int(x) for x in out.split())
    assert got == FOLDER_FILES * MiB, "short: %d bytes" % got
    return got / MiB / elapsed


def folder_figures(tree, files, base, rounds):
    folder = make_folder(base)
    figures = {"ours zip": [], "ours 4 x curl": [], "nginx 4 x curl": []}
    try:
        for rnd in range(rounds):
            server = OurServer("ours", tree, files, also=[folder])
            try:
                rate, whole = folder_as_zip(server.port, base)
                figures["ours zip"].append(rate if whole else 0.0)
                figures["ours 4 x curl"].append(folder_one_by_one(server.port))
            finally:
                server.stop()
            nginx = Nginx(base)
            try:
                figures["nginx 4 x curl"].append(folder_one_by_one(nginx.port))
            finally:
                nginx.stop()
            print("round %d folder of %d x 1 MiB: %s" % (rnd + 1, FOLDER_FILES, "  ".join(
                "%s %.1f MB/s" % (k, v[-1]) for k, v in figures.items())), flush=True)
        print("\nfolder of %d x 1 MiB, best of %d rounds (MB/s, ratio to ours 4 x curl)" % (FOLDER_FILES, rounds))
        ref = max(figures["ours 4 x curl"])
        for name, values in figures.items():
            print("%-15s %10.1f (%6.3f)%s" % (name, max(values), max(values) / ref if ref else 0,
                                             "" if min(values) > 0 else "  ARCHIVE NOT WHOLE"))
        print(flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--quick", action="store_true", help="256 MiB instead of 1 GiB, shorter wrk runs")
    parser.add_argument("--baseline", default=DEFAULT_BASELINE, help="revision measured as 'before'")
    parser.add_argument("--no-baseline", action="store_true")
    parser.add_argument("--only", default="", help="comma-separated contenders (nginx,python,caddy,before,ours)")
    parser.add_argument("--zip-only", action="store_true", help="only the folder-as-zip figures")
    args = parser.parse_args()

    if "WINEPREFIX" not in os.environ:
        os.environ["WINEPREFIX"] = tempfile.mkdtemp(prefix="wexa-bench-wine-")
        os.environ.setdefault("WINEDEBUG", "-all")
        run([sharehost.WINE, "wineboot", "-i"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    trees = {"ours": build_current()}
    if args.zip_only:
        base = tempfile.mkdtemp(prefix="wexa-bench-")
        os.chmod(base, 0o755)
        try:
            files = os.path.join(base, "files")
            os.makedirs(files)
            folder_figures(trees["ours"], files, base, args.rounds)
        finally:
            shutil.rmtree(base, ignore_errors=True)
        return
    if not args.no_baseline:
        trees["before"] = build_baseline(args.baseline)
    base = tempfile.mkdtemp(prefix="wexa-bench-")
    os.chmod(base, 0o755)  # nginx's workers run as an unprivileged user
    files, big = make_fixture(base, args.quick)
    seconds = 3 if args.quick else 8
    makers = {"nginx": lambda: Nginx(base), "python": lambda: PythonServer(base), "caddy": lambda: Caddy(base)}
    for name in ("before", "ours"):
        if name in trees:
            makers[name] = lambda name=name: OurServer(name, trees[name], files)
    chosen = [n for n in args.only.split(",") if n] or list(makers)
    results = {}
    try:
        for rnd in range(args.rounds):
            for name in chosen:
                server = makers[name]()
                try:
                    r = results.setdefault(name, {"big": [], "many": [], "small": [], "index": []})
                    r["big"].append(one_download(server.port, big))
                    r["many"].append(concurrent_downloads(server.port))
                    r["small"].append(wrk(server.port, "/files/small.bin", seconds))
                    r["index"].append(wrk(server.port, "/files/", seconds))
                    print("round %d %-7s big %8.1f MB/s  50x10MiB %8.1f MB/s  4KiB %9.0f req/s  index %9.0f req/s"
                          % (rnd + 1, name, r["big"][-1], r["many"][-1], r["small"][-1], r["index"][-1]),
                          flush=True)
                finally:
                    server.stop()

        best = {name: {k: max(v) for k, v in r.items()} for name, r in results.items()}
        ref = best.get("nginx")
        print("\nbest of %d rounds (ratio to nginx)" % args.rounds)
        print("%-7s %22s %22s %22s %22s" % ("server", "1 GiB download MB/s" if not args.quick else
                                             "256 MiB download MB/s", "50x10MiB MB/s", "4 KiB req/s",
                                             "index req/s"))
        for name, b in best.items():
            cells = ["%10.1f (%6.3f)" % (b[k], b[k] / ref[k] if ref and ref[k] else 0)
                     for k in ("big", "many", "small", "index")]
            print("%-7s %22s %22s %22s %22s" % (name, *cells))
        print(flush=True)
        for name in ("before", "ours"):
            if name in trees and name in chosen:
                upload_figures(name, trees[name], files, base, big)
        if "ours" in chosen:
            folder_figures(trees["ours"], files, base, args.rounds)
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
