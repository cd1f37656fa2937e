#!/usr/bin/env python3
"""Idle-attacker benchmark (not a test): what thousands of connections that never send a
request cost a normal client of the share server under Wine, while they are connected and
after the head time limit has cut them.

Prints the time to fetch a small file before the attack, while N idle connections are open,
and after the time limit, with the server's object count at each step.

Usage: tools/bench/bench-idle-attack.py [--clients N] [--head-limit SECONDS]
(run it with WINEPREFIX set to a prefix of your own; the default limit is the shipped 30 s)
"""
import argparse
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
sys.path.insert(0, os.path.join(ROOT, "tests/e2e"))
import sharehost  # noqa: E402


def fetch_seconds(port, path, rounds=5):
    times = []
    for _ in range(rounds):
        start = time.time()
        result = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "60",
                                 "http://127.0.0.1:%d%s" % (port, path)], capture_output=True)
        took = time.time() - start
        times.append(took if result.stdout == b"200" else float("inf"))
    return min(times), max(times)


def open_idle(port, count):
    held = []
    start = time.time()
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        except OSError:
            s.close()
            break
        held.append(s)
    return held, time.time() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clients", type=int, default=18000)
    parser.add_argument("--head-limit", type=float, default=30)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    root = tempfile.mkdtemp(prefix="wexa-attack-")
    with open(os.path.join(root, "small.bin"), "wb") as f:
        f.write(os.urandom(4096))
    settings = {"ShareList": sharehost.share_list([(root, 0)]), "SingleDirIsRoot": 1}
    env = {}
    if args.head_limit != 30:
        env["WEXA_TIME_LIMITS"] = "%d,60000,300000,1000" % (args.head_limit * 1000)
    path = "/small.bin"
    try:
        with sharehost.ShareHost(settings, env=env) as host:
            port = host.port
            print("before:  small file in %.3f-%.3f s, objects %d" % (*fetch_seconds(port, path),
                                                                       host.object_count()))
            held, took = open_idle(port, args.clients)
            connected = time.time()
            print("opened %d idle connections in %.1f s" % (len(held), took))
            time.sleep(2)
            print("during:  small file in %.3f-%.3f s, objects %d, server memory %d MiB"
                  % (*fetch_seconds(port, path), host.object_count(), host.memory_kib() // 1024))
            time.sleep(max(0, connected + args.head_limit + 5 - time.time()))
            print("after the limit: small file in %.3f-%.3f s, objects %d, server memory %d MiB"
                  % (*fetch_seconds(port, path), host.object_count(), host.memory_kib() // 1024))
            # The last ones accepted started their clock last.
            while host.object_count() > 1 and time.time() < connected + 3 * args.head_limit + 60:
                time.sleep(1)
            print("all cut %.0f s after the last connect: small file in %.3f-%.3f s, objects %d"
                  % (time.time() - connected, *fetch_seconds(port, path), host.object_count()))
            for s in held:
                s.close()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
