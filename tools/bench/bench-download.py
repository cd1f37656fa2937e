#!/usr/bin/env python3
"""Download benchmark (not a test): our headless downloader under Wine against aria2c, axel and curl,
all fetching one large file from nginx on loopback with a per-connection rate limit, measured in
one run so that they see the same machine.

Prints, for 1, 4, 16 and 50 connections, MB/s (MB = 2^20 bytes, as nginx counts its "20m"), the
ratio to N x the per-connection limit and the ratio to the best peer at that N; then every count
above 1 again on a server whose connections run at very different speeds (every client port ending
in 5-9, about half of them, gets a tenth of the limit). Then the same file over HTTPS from nginx
with TLS (a certificate authority made for the run, trusted in the benchmark's Wine prefix and given
to the peers), rate-limited as above and unlimited, beside HTTP unlimited; over HTTPS the peers are
aria2c and curl, and the last table compares our HTTPS figures with our HTTP ones. Our host is built
(Release) once per receive buffer size (10240, 65536, 262144 bytes), or taken from the --bin-dir
folders given. Every downloaded file is compared with the original (sha256). For our host the CPU
seconds of the host process and of the prefix's wineserver, and the host's peak resident memory, are
printed too: under Wine every overlapped operation costs wineserver time.

Usage: tools/bench/bench-download.py [--quick] [--size-mib N] [--rounds N] [--bin-dir DIR]...
                                    [--counts 1,4,16,50] [--uneven-only] [--no-https]
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
sys.path.insert(0, os.path.join(ROOT, "tests/e2e"))
import downloadhost  # noqa: E402
import sharehost  # noqa: E402
import testca  # noqa: E402

MiB = 1 << 20
LIMIT = "20m"
LIMIT_BYTES = 20 * MiB
SLOW_LIMIT = "2m"
BUFFERS = [10240, 65536, 262144]
ARIA2_MAX_PER_SERVER = 16   # aria2c refuses -x above 16; -s N still asks for N pieces


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def build(buffer):
    """A Release tree of the host with the given receive buffer; returns its bin folder."""
    root = os.environ.get("WEXA_BUILD_ROOT", os.path.join(ROOT, "build"))
    tree = os.path.join(root, "bench-dl-%d" % buffer)
    if not os.path.exists(os.path.join(tree, "build.ninja")):
        run(["cmake", "-S", ROOT, "-B", tree, "-G", "Ninja",
             "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-x86_64.cmake" % ROOT, "-DCMAKE_BUILD_TYPE=Release",
             "-DWEXA_TESTS=OFF", "-DWEXA_DL_RECEIVE_BUFFER=%d" % buffer], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", tree, "--target", "WexaDownloadHost"], stdout=subprocess.DEVNULL)
    return os.path.join(tree, "bin")


def make_file(folder, size):
    """A file of random bytes (no repeated blocks, so a piece written at the wrong offset shows)."""
    path = os.path.join(folder, "big.bin")
    h = hashlib.sha256()
    with open(path, "wb") as f:
        for _ in range(size // (4 * MiB)):
            block = os.urandom(4 * MiB)
            h.update(block)
            f.write(block)
    return path, h.hexdigest()


def sha_file(path):
    return downloadhost.sha_file(path)


def cpu_seconds(pid):
    """User + system CPU seconds of a process, 0 when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


def wineserver_pid():
    """The wineserver of this run's prefix, or None."""
    prefix = os.environ["WINEPREFIX"].encode()
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
        if os.path.basename(program).startswith(b"wineserver") and b"WINEPREFIX=" + prefix in environ:
            return int(entry)
    return None


def peak_mib(pid):
    """The process's peak resident memory (VmHWM) in MiB, 0 when it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except (OSError, ValueError):
        pass
    return 0.0


class Result:
    def __init__(self, seconds, size, cpu=None):
        self.rate = size / MiB / seconds
        self.cpu = cpu   # (host CPU s, wineserver CPU s, host peak MiB) for our host


def fetch_ours(bin_dir, url, n, out_dir, size, expected_sha, timeout):
    # A list left by an earlier run that failed would be restored first and take entry id 1.
    downloadhost.write_downloads_list(None)
    host = downloadhost.DownloadHost([url], connections=n, folder=out_dir, exit_when_done=True)
    host.exe = os.path.join(bin_dir, downloadhost.HOST_EXE)
    host.start()
    try:
        # The clock starts with the download's first step, not with Wine's process start-up.
        host.wait_for(lambda l: l.startswith("status 1 "), 120, what="the first status")
        start = time.time()
        server_pid = wineserver_pid()
        host_pid = host.real_pid()
        server_before = cpu_seconds(server_pid) if server_pid else 0.0
        try:
            path = host.wait_complete(1, timeout)
        except AssertionError as e:
            raise RuntimeError("%s (exit code %s)" % (e, host.proc.poll()))
        seconds = time.time() - start
        cpu = (cpu_seconds(host_pid), (cpu_seconds(server_pid) - server_before) if server_pid else 0.0,
               peak_mib(host_pid))
        code = host.wait_exit(60)
        if code != 0:
            raise RuntimeError("host exited with %s" % code)
    finally:
        host.stop()
    check_file(path, size, expected_sha)
    return Result(seconds, size, cpu)


def fetch_peer(cmd, path, size, expected_sha, timeout):
    start = time.time()
    run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
    seconds = time.time() - start
    check_file(path, size, expected_sha)
    return Result(seconds, size)


def check_file(path, size, expected_sha):
    try:
        got = os.path.getsize(path)
        if got != size:
            raise RuntimeError("%s has %d bytes, not %d" % (path, got, size))
        if sha_file(path) != expected_sha:
            raise RuntimeError("%s differs from the original" % path)
    finally:
        if os.path.exists(path):
            os.unlink(path)


def peer_commands(n, url, out_dir, ca=None):
    """(tool label, command, output path) of each peer that runs with n connections. ca: the
    authority's certificate file for an HTTPS server (axel takes none, so it sits those out)."""
    out = os.path.join(out_dir, "peer.bin")
    x = min(n, ARIA2_MAX_PER_SERVER)
    aria = "aria2c -x%d -s%d" % (x, n) if x != n else "aria2c -x%d" % n
    trust = ["--ca-certificate=%s" % ca] if ca else []
    cmds = [(aria, ["aria2c", "-q", "-x", str(x), "-s", str(n), "-k", "1M", "--file-allocation=none",
                    "--allow-overwrite=true", "--auto-file-renaming=false", *trust, "-d", out_dir, "-o",
                    "peer.bin", url],
             out)]
    if not ca:
        cmds.append(("axel -n%d" % n, ["axel", "-q", "-n", str(n), "-o", out, url], out))
    if n == 1:
        cmds.append(("curl", ["curl", "-s", *(["--cacert", ca] if ca else []), "-o", out, url], out))
    return cmds


def measure(server, size, sha, counts, builds, out_dir, results, label, ca=None):
    """One pass over every contender at every count; appends to results[(label, tool, n)]."""
    url = server.url("/big.bin")
    for n in counts:
        timeout = 120 + 4 * size / (n * LIMIT_BYTES)
        contenders = [("ours-%s" % name, lambda b=bin_dir, n=n: fetch_ours(b, url, n, out_dir, size, sha, timeout))
                      for name, bin_dir in builds]
        contenders += [(tool, lambda c=cmd, p=path: fetch_peer(c, p, size, sha, timeout))
                       for tool, cmd, path in peer_commands(n, url, out_dir, ca)]
        for tool, fetch in contenders:
            try:
                r = fetch()
            except Exception as e:  # a failed contender is reported, the others still run
                print("%-8s %-22s N=%-3d failed: %s" % (label, tool, n, e), flush=True)
                continue
            results.setdefault((label, tool, n), []).append(r)
            cpu = " (cpu: host %.1f s, wineserver %.1f s; host peak %.0f MiB)" % r.cpu if r.cpu else ""
            print("%-8s %-22s N=%-3d %8.1f MB/s%s" % (label, tool, n, r.rate, cpu), flush=True)


def report(results, label, counts, nominal):
    print("\n%s server, best of the rounds" % label)
    print("%-22s %4s %10s %12s %12s %26s" % ("tool", "N", "MB/s", "/ N x limit", "/ best peer",
                                             "cpu s host/server, MiB"))
    for n in counts:
        rows = [(tool, max(rs, key=lambda r: r.rate)) for (lab, tool, k), rs in results.items()
                if lab == label and k == n]
        peers = [r.rate for tool, r in rows if not tool.startswith("ours")]
        best_peer = max(peers) if peers else 0
        for tool, r in sorted(rows, key=lambda tr: (not tr[0].startswith("ours"), tr[0])):
            limit = "%12.3f" % (r.rate * MiB / (n * LIMIT_BYTES)) if nominal else "%12s" % "-"
            peer = "%12.3f" % (r.rate / best_peer) if best_peer else "%12s" % "-"
            cpu = "%.1f/%.1f, %.0f" % r.cpu if r.cpu else ""
            print("%-22s %4d %10.1f %s %s %26s" % (tool, n, r.rate, limit, peer, cpu))


def report_tls_cost(results, counts):
    """Our HTTPS rate over our HTTP rate, limited and unlimited, per build and count."""
    print("\nours: HTTPS / HTTP, best of the rounds")
    print("%-22s %4s %12s %12s" % ("build", "N", "limited", "unlimited"))
    builds = sorted({tool for (lab, tool, k) in results if tool.startswith("ours")})
    for tool in builds:
        for n in counts:
            ratios = []
            for plain, secure in (("even", "https"), ("http-max", "https-max")):
                a, b = results.get((plain, tool, n)), results.get((secure, tool, n))
                ratios.append("%12.3f" % (max(r.rate for r in b) / max(r.rate for r in a)) if a and b
                              else "%12s" % "-")
            print("%-22s %4d %s %s" % (tool, n, *ratios))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--quick", action="store_true", help="a 128 MiB file instead of 1 GiB")
    parser.add_argument("--bin-dir", action="append", default=[],
                        help="a folder holding WexaDownloadHost.exe (repeatable); default: build one "
                             "Release tree per receive buffer size")
    parser.add_argument("--counts", default="1,4,16,50", help="connection counts, comma-separated")
    parser.add_argument("--uneven-only", action="store_true", help="only the uneven-speed server")
    parser.add_argument("--size-mib", type=int, help="the file's size in MiB (default 1024, 128 with --quick)")
    parser.add_argument("--no-https", action="store_true", help="leave out the HTTPS and unlimited rows")
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    # One connection sees one speed: unevenness shows only with several.
    uneven_counts = [n for n in counts if n > 1] or [16]

    own_prefix = None
    if "WINEPREFIX" not in os.environ:
        own_prefix = tempfile.mkdtemp(prefix="wexa-bench-wine-")
        os.environ["WINEPREFIX"] = own_prefix
        os.environ.setdefault("WINEDEBUG", "-all")
        os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        run([sharehost.WINE, "wineboot", "-i"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if args.bin_dir:
        builds = [(os.path.basename(os.path.dirname(os.path.abspath(d))) or d, d) for d in args.bin_dir]
    else:
        builds = [("%d" % b, build(b)) for b in BUFFERS]

    base = tempfile.mkdtemp(prefix="wexa-bench-dl-")
    os.chmod(base, 0o755)  # nginx's workers may run as an unprivileged user
    files = os.path.join(base, "files")
    out_dir = os.path.join(base, "out")
    os.makedirs(files)
    os.makedirs(out_dir)
    size = (args.size_mib or (128 if args.quick else 1024)) * MiB
    results = {}
    ca = None
    try:
        if not args.no_https and not args.uneven_only:
            ca = testca.TestCA()
            ca.trust_in_prefix()
            tls = ca.server("localhost")
            os.chmod(ca.dir, 0o755)
        _, sha = make_file(files, size)
        print("file %d MiB, per-connection limit %s, builds: %s" %
              (size // MiB, LIMIT, ", ".join("%s=%s" % b for b in builds)), flush=True)
        for _ in range(args.rounds):
            if not args.uneven_only:
                with downloadhost.Nginx(files, limit_rate=LIMIT) as server:
                    measure(server, size, sha, counts, builds, out_dir, results, "even")
            with downloadhost.Nginx(files, uneven=(LIMIT, SLOW_LIMIT)) as server:
                measure(server, size, sha, uneven_counts, builds, out_dir, results, "uneven")
            if ca:
                ca_file = os.path.join(ca.dir, "ca.pem")
                with downloadhost.Nginx(files, limit_rate=LIMIT, tls=tls) as server:
                    measure(server, size, sha, counts, builds, out_dir, results, "https", ca_file)
                with downloadhost.Nginx(files) as server:
                    measure(server, size, sha, counts, builds, out_dir, results, "http-max")
                with downloadhost.Nginx(files, tls=tls) as server:
                    measure(server, size, sha, counts, builds, out_dir, results, "https-max", ca_file)
        if not args.uneven_only:
            report(results, "even", counts, True)
        report(results, "uneven", uneven_counts, False)
        if ca:
            report(results, "https", counts, True)
            report(results, "http-max", counts, False)
            report(results, "https-max", counts, False)
            report_tls_cost(results, counts)
    finally:
        if ca:
            ca.remove()
        shutil.rmtree(base, ignore_errors=True)
        if own_prefix:
            subprocess.run([sharehost.WINE.replace("wine64", "wineserver"), "-k"], env=dict(os.environ))
            shutil.rmtree(own_prefix, ignore_errors=True)


if __name__ == "__main__":
    main()
