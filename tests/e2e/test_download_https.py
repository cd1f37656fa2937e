"""Downloads over HTTPS end to end: nginx with TLS on loopback, its certificate from an authority
made for this run and trusted only inside the test's Wine prefix. Files of awkward sizes (around
TLS records and receive buffers) over 1, 16 and 50 connections come out byte for byte; kill -9
and pause resume as over HTTP; refused certificates fail with their reason and write nothing."""
import os
import shutil
import tempfile
import time
import unittest

from downloadhost import (COMPLETE, DOWNLOADING, EXPIRED, IDLE_OBJECTS, NOT_TRUSTED, PAUSED, RESOLVING,
                          TLS_FAILED, WRONG_NAME, MiB, DownloadCase, Nginx, make_file, missing_bytes,
                          parse_downloads_list, read_downloads_list, wine_path, write_settings)
from testca import TestCA

# 16384 is TLS's largest record; 262144 the transfer connections' receive buffer.
SMALL = [1, 16383, 16384, 16385, 262145, MiB]
LARGE = 100 * MiB


class Tls:
    ca = None
    root = None


def setUpModule():
    Tls.ca = TestCA()
    Tls.ca.trust_in_prefix()
    Tls.good = Tls.ca.server("good")
    Tls.other = Tls.ca.server("other", host="other.test")
    Tls.expired = Tls.ca.server("expired", start="20200101000000Z", end="20200201000000Z")
    Tls.stranger = TestCA("Untrusted Test CA")   # never put into the prefix's roots
    Tls.untrusted = Tls.stranger.server("untrusted")
    Tls.root = tempfile.mkdtemp(prefix="wexa-www-")
    Tls.paths = {}
    for size in SMALL + [LARGE]:
        name = "f%d.bin" % size
        Tls.paths[name] = make_file(Tls.root, name, size, seed=size + 7)


def tearDownModule():
    shutil.rmtree(Tls.root, ignore_errors=True)
    Tls.ca.remove()
    Tls.stranger.remove()


class WholeFiles(DownloadCase):
    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx(Tls.root, tls=Tls.good).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def download_all(self, names, connections, timeout=300):
        folder = self.new_folder()
        self.nginx.reset_log()
        host = self.start_host([self.nginx.url("/" + n) for n in names], connections=connections, folder=folder)
        try:
            for entry_id, name in enumerate(names, 1):
                with self.subTest(name=name, connections=connections):
                    path = host.wait_complete(entry_id, timeout)
                    self.assertEqual(os.path.basename(path), name)
                    self.assertSameBytes(path, Tls.paths[name])
                    self.assertIn(DOWNLOADING, host.statuses(entry_id))
            self.finish(host)
        finally:
            host.kill9()

    def test_awkward_sizes_with_1_16_and_50_connections(self):
        names = ["f%d.bin" % s for s in SMALL]
        for connections in (1, 16, 50):
            self.download_all(names, connections)

    def test_large_file_with_1_16_and_50_connections(self):
        name = "f%d.bin" % LARGE
        for connections in (1, 16, 50):
            with self.subTest(connections=connections):
                self.download_all([name], connections)
                gets = [e for e in self.nginx.log_entries() if e[4] == "GET"]
                if connections == 1:
                    self.assertEqual([(e[1], e[6]) for e in gets], [(206, "bytes=0-%d" % (LARGE - 1))])
                else:
                    self.assertGreaterEqual(len(gets), connections)

    def test_plain_url_moved_to_https_is_followed(self):
        folder = self.new_folder()
        name = "f%d.bin" % MiB
        with Nginx(Tls.root, redirects={"/old.bin": (301, self.nginx.url("/" + name))}) as plain:
            host = self.start_host([plain.url("/old.bin")], connections=4, folder=folder)
            path = host.wait_complete(1, 120)
        self.assertSameBytes(path, Tls.paths[name])
        self.finish(host)


class RefusedCertificates(DownloadCase):
    """Each refusal is told apart, no request reaches the server and no file is made."""

    def refused(self, nginx, expected, url=None):
        write_settings({})   # no entry left by the case before
        folder = self.new_folder()
        host = self.start_host([url or nginx.url("/f1.bin")], connections=4, folder=folder)
        self.assertEqual(host.wait_failure(1, 60), expected, host.tail())
        self.assertEqual(os.listdir(folder), [])
        self.assertEqual([e for e in nginx.log_entries() if e[4] in ("GET", "HEAD")], [])
        self.finish(host)

    def test_refused_certificates_name_their_reason(self):
        for tls, expected in ((Tls.other, WRONG_NAME), (Tls.expired, EXPIRED), (Tls.untrusted, NOT_TRUSTED)):
            with self.subTest(expected=expected), Nginx(Tls.root, tls=tls) as nginx:
                self.refused(nginx, expected)

    def test_https_to_a_plain_http_server_fails_the_handshake(self):
        with Nginx(Tls.root) as nginx:
            self.refused(nginx, TLS_FAILED, url="https://localhost:%d/f1.bin" % nginx.port)


class Resume(DownloadCase):
    SIZE = 24 * MiB
    CONNECTIONS = 4

    def setUp(self):
        super().setUp()
        self.root = self.new_folder("www")
        self.source = make_file(self.root, "movie.bin", self.SIZE, seed=23)
        self.nginx = Nginx(self.root, limit_rate="512k", tls=Tls.good).start()
        self.addCleanup(lambda: self.nginx.stop())
        self.folder = self.new_folder()
        self.url = self.nginx.url("/movie.bin")
        self.local = os.path.join(self.folder, "movie.bin")

    def restart_nginx(self, limit_rate):
        port = self.nginx.port
        self.nginx.stop()
        self.nginx = Nginx(self.root, limit_rate=limit_rate, port=port, tls=Tls.good).start()

    def saved_ranges(self, timeout=30):
        """The saved record's missing ranges once it shows some bytes done; the URL keeps its scheme."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            raw = read_downloads_list()
            entries = parse_downloads_list(raw) if raw else []
            if entries and entries[0][3] == self.SIZE and 0 < missing_bytes(entries[0][6]) < self.SIZE:
                self.assertEqual(entries[0][:3], (wine_path(self.local), self.url, "1"))
                return entries[0][6]
            time.sleep(0.5)
        self.fail("no progress was saved within %ds" % timeout)

    def assertFetchedOnlyMissing(self, ranges, slack):
        gets = [e for e in self.nginx.log_entries() if e[4] == "GET"]
        self.assertTrue(gets)
        for entry in gets:
            start = int(entry[6].split("=")[1].split("-")[0])
            self.assertTrue(any(s <= start <= e for s, e in ranges), "GET %s outside %s" % (entry[6], ranges))
        self.assertLessEqual(sum(e[3] for e in gets), missing_bytes(ranges) + slack)

    def test_kill9_mid_transfer_then_restart_fetches_only_missing(self):
        host = self.start_host([self.url], connections=self.CONNECTIONS, folder=self.folder)
        host.wait_status(1, DOWNLOADING, 60)
        self.saved_ranges()
        time.sleep(1)
        host.kill9()
        ranges = parse_downloads_list(read_downloads_list())[0][6]
        self.assertKeptBytesMatch(self.local, self.source, ranges)

        self.restart_nginx("4m")
        host = self.start_host()
        host.wait_status(1, RESOLVING)
        self.assertEqual(host.wait_complete(1, 120), self.local)
        self.assertSameBytes(self.local, self.source)
        self.assertFetchedOnlyMissing(ranges, slack=self.CONNECTIONS * 2 * MiB)
        self.finish(host)

    def test_pause_then_resume_fetches_only_missing(self):
        host = self.start_host([self.url], connections=self.CONNECTIONS, folder=self.folder)
        host.wait_status(1, DOWNLOADING, 60)
        time.sleep(3)
        host.command("pause 1")
        host.wait_status(1, PAUSED)
        self.assertEqual(host.wait_idle(), IDLE_OBJECTS)
        ranges = self.saved_ranges()
        self.assertKeptBytesMatch(self.local, self.source, ranges)

        self.restart_nginx("4m")
        mark = host.mark()
        host.command("resume 1")
        self.assertEqual(host.wait_complete(1, 120, after=mark), self.local)
        self.assertSameBytes(self.local, self.source)
        self.assertFetchedOnlyMissing(ranges, slack=self.CONNECTIONS * MiB)
        self.assertEqual(host.last_status(1), COMPLETE)
        self.finish(host)


if __name__ == "__main__":
    unittest.main()
