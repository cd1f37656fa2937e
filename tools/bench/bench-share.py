#!/usr/bin/env python3
"""Share server benchmark (not a test): our server under Wine against nginx and Python's
http.server on loopback, measured alternately in one run so that they see the same machine.

Prints MB/s for one 1 GiB download and for 50 concurrent 10 MiB downloads, requests/s from wrk
on a 4 KiB file and on an index page, each with its ratio to nginx; our server is built and run
with ring buffers of 8192 (the shipped size), 65536 and 262144 bytes. Then the memory of our
server process with 1,000 idle connections open, and one 1 GiB upload's throughput when the
server can receive files.

Usage: tools/bench/bench-share.py [--rounds N] [--quick]
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
sys.path.insert(0, os.path.join(ROOT, "tests/e2e"))
import sharehost  # noqa: E402

RING_SIZES = [8192, 65536, 262144]
MiB = 1 << 20


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def build(ring):
    tree = os.path.join(ROOT, "build", "bench-%d" % ring)
    if not os.path.exists(os.path.join(tree, "build.ninja")):
        run(["cmake", "-S", ROOT, "-B", tree, "-G", "Ninja",
             "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-x86_64.cmake" % ROOT, "-DCMAKE_BUILD_TYPE=Release",
             "-DWEXA_TESTS=OFF", "-DWEXA_RING_BUFFER_SIZE=%d" % ring], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", tree, "--target", "WexaShareHost"], stdout=subprocess.DEVNULL)
    return tree


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
    def __init__(self, tree, files, ring, uploads_dir=None):
        self.name = "ours-%d" % ring
        sharehost.BIN_DIR = tree
        settings = {"ShareList": sharehost.share_list([(files, 0)]), "SingleDirIsRoot": 0, "UserName": "Bench"}
        if uploads_dir:
            settings.update({"AllowUploads": 1, "UploadsDirectory": sharehost.wine_path(uploads_dir)})
        self.host = sharehost.ShareHost(settings).__enter__()
        self.port = self.host.port

    def pid(self):
        out = subprocess.run(["pgrep", "-f", "WexaShareHost.exe"], capture_output=True, text=True).stdout.split()
        return int(out[-1]) if out else None

    def stop(self):
        self.host.stop()


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


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def idle_memory(server, count=1000):
    pid = server.pid()
    before = rss_kib(pid)
    sockets = []
    for _ in range(count):
        sockets.append(socket.create_connection(("127.0.0.1", server.port)))
    time.sleep(3)
    objects = server.host.object_count()
    after = rss_kib(pid)
    for s in sockets:
        s.close()
    return before, after, objects


def upload(port, path, size):
    start = time.time()
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-F", "Filedata=@%s" % path,
                          "http://127.0.0.1:%d/send_file.post" % port], capture_output=True, text=True).stdout
    elapsed = time.time() - start
    return out, size / MiB / elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--quick", action="store_true", help="256 MiB instead of 1 GiB, shorter wrk runs")
    args = parser.parse_args()

    if "WINEPREFIX" not in os.environ:
        os.environ["WINEPREFIX"] = tempfile.mkdtemp(prefix="wexa-bench-wine-")
        os.environ.setdefault("WINEDEBUG", "-all")
        run([sharehost.WINE, "wineboot", "-i"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    trees = {ring: build(ring) for ring in RING_SIZES}
    base = tempfile.mkdtemp(prefix="wexa-bench-")
    os.chmod(base, 0o755)  # nginx's workers run as an unprivileged user
    files, big = make_fixture(base, args.quick)
    seconds = 3 if args.quick else 8
    results = {}
    try:
        for rnd in range(args.rounds):
            contenders = [lambda: Nginx(base), lambda: PythonServer(base)]
            contenders += [lambda ring=ring: OurServer(trees[ring], files, ring) for ring in RING_SIZES]
            for make in contenders:
                server = make()
                try:
                    r = results.setdefault(server.name, {"big": [], "many": [], "small": [], "index": []})
                    r["big"].append(one_download(server.port, big))
                    r["many"].append(concurrent_downloads(server.port))
                    r["small"].append(wrk(server.port, "/files/small.bin", seconds))
                    r["index"].append(wrk(server.port, "/files/", seconds))
                    print("round %d %-13s big %8.1f MB/s  50x10MiB %8.1f MB/s  4KiB %9.0f req/s  index %9.0f req/s"
                          % (rnd + 1, server.name, r["big"][-1], r["many"][-1], r["small"][-1], r["index"][-1]),
                          flush=True)
                finally:
                    server.stop()

        best = {name: {k: max(v) for k, v in r.items()} for name, r in results.items()}
        ref = best["nginx"]
        print("\nbest of %d rounds (ratio to nginx)" % args.rounds)
        print("%-13s %22s %22s %22s %22s" % ("server", "1 GiB download MB/s" if not args.quick else
                                               "256 MiB download MB/s", "50x10MiB MB/s", "4 KiB req/s",
                                               "index req/s"))
        for name, b in best.items():
            cells = ["%10.1f (%6.3f)" % (b[k], b[k] / ref[k] if ref[k] else 0) for k in ("big", "many", "small", "index")]
            print("%-13s %22s %22s %22s %22s" % (name, *cells))

        server = OurServer(trees[8192], files, 8192)
        try:
            before, after, objects = idle_memory(server)
            print("\nmemory of our server (ring 8192): %d KiB idle, %d KiB with 1000 idle connections "
                  "(%d engine objects), %.1f KiB per connection" % (before, after, objects,
                                                                    (after - before) / 1000.0))
        finally:
            server.stop()

        uploads = os.path.join(base, "uploads")
        os.mkdir(uploads)
        server = OurServer(trees[8192], files, 8192, uploads)
        try:
            code, rate = upload(server.port, os.path.join(files, "big.bin"), big)
            if code == "200":
                print("upload of %d MiB: %.1f MB/s" % (big // MiB, rate))
            else:
                print("upload: not measured (server answered %s)" % (code or "nothing"))
        finally:
            server.stop()
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
