"""HTTPS URLs through the downloader's window under Wine: typed into the address bar, and given
by Change URL to a download running over plain HTTP, which continues over TLS into the same file.
nginx serves TLS with a certificate from an authority made for this run and trusted only in the
test's prefix; every file is compared with the server's by sha256."""
import os
import time
import unittest

from downloadhost import MiB, DownloadCase, Nginx
from downloadwindow import COL_FILE, COL_URL, DownloaderWindow
from guidriver import wait_for
from sharehost import make_file
from testca import TestCA


def setUpModule():
    global CA, CERT
    CA = TestCA()
    CA.trust_in_prefix()
    CERT = CA.server("good")


def tearDownModule():
    CA.remove()


class HttpsWindow(DownloadCase):
    def setUp(self):
        super().setUp()
        self.source = self.new_folder("src")
        self.folder = self.new_folder("dest")

    def serve(self, **kw):
        server = Nginx(self.source, **kw).start()
        self.addCleanup(server.stop)
        return server

    def open_window(self):
        window = DownloaderWindow(folder=self.folder)
        self.addCleanup(window.kill)
        return window

    def test_typed_https_url_downloads(self):
        path = make_file(self.source, "secure.bin", 5 * MiB, 3)
        server = self.serve(tls=CERT)
        window = self.open_window()
        window.type_url(server.url("/secure.bin"))
        row = window.wait_rows(1)[0]
        self.assertEqual(row[COL_FILE], "secure.bin")
        self.assertEqual(row[COL_URL], server.url("/secure.bin"))
        window.wait_complete(row[0])
        self.assertSameBytes(os.path.join(self.folder, "secure.bin"), path)
        self.assertEqual(window.exit(), 0)

    def test_change_url_from_http_to_https_continues_the_file(self):
        path = make_file(self.source, "moved.bin", 12 * MiB, 5)
        plain = self.serve(limit_rate="1m")
        secure = self.serve(tls=CERT)
        window = self.open_window()
        entry = window.start(plain.url("/moved.bin"))
        time.sleep(2)
        window.change_url(secure.url("/moved.bin"))
        wait_for("the new URL", lambda: window.row(entry)[COL_URL] == secure.url("/moved.bin"), 30)
        window.wait_complete(entry, 120)
        self.assertSameBytes(os.path.join(self.folder, "moved.bin"), path)
        self.assertGreater(secure.body_bytes("/moved.bin"), 0)
        self.assertLess(plain.body_bytes("/moved.bin") + secure.body_bytes("/moved.bin"), 12 * MiB + 2 * MiB)
        self.assertEqual(window.exit(), 0)


if __name__ == "__main__":
    unittest.main()
