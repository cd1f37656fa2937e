"""The host against nginx as it comes, whose 206 answers carry Content-Range but no Accept-Ranges:
downloads over 1, 16 and 50 connections are resumable and complete byte for byte, and one killed
with kill -9 part way resumes into its file fetching only what was missing."""
import os
import shutil
import tempfile
import time
import unittest

from downloadhost import (DOWNLOADING, NO_RESUME, MiB, DownloadCase, Nginx, make_file, missing_bytes,
                          parse_downloads_list, read_downloads_list)

SIZE = 12 * MiB + 7


class StockNginx(DownloadCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-stock-")
        cls.source = make_file(cls.root, "big.bin", SIZE, seed=21)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_downloads_resumable_over_1_16_and_50_connections(self):
        with Nginx(self.root, accept_ranges=False) as nginx:
            for connections in (1, 16, 50):
                with self.subTest(connections=connections):
                    self.setUp()
                    nginx.reset_log()
                    host = self.start_host([nginx.url("/big.bin")], connections=connections,
                                           folder=self.new_folder())
                    self.assertSameBytes(host.wait_complete(1, 120), self.source)
                    self.assertIn(DOWNLOADING, host.statuses(1))
                    self.assertNotIn(NO_RESUME, host.statuses(1))
                    gets = [e for e in nginx.log_entries() if e[4] == "GET"]
                    self.assertTrue(all(e[1] == 206 for e in gets), gets)
                    if connections > 1:
                        self.assertGreater(len(gets), 1)
                    self.finish(host)

    def test_kill9_then_resume_fetches_only_what_was_missing(self):
        folder = self.new_folder()
        with Nginx(self.root, accept_ranges=False, limit_rate="256k") as nginx:
            host = self.start_host([nginx.url("/big.bin")], connections=4, folder=folder)
            host.wait_status(1, DOWNLOADING, 60)
            deadline = time.time() + 30
            ranges = None
            while time.time() < deadline:
                raw = read_downloads_list()
                entries = parse_downloads_list(raw) if raw else []
                if entries and entries[0][3] == SIZE and 0 < missing_bytes(entries[0][6]) < SIZE:
                    ranges = entries[0][6]
                    break
                time.sleep(0.5)
            self.assertIsNotNone(ranges, "no progress was saved")
            host.kill9()
            ranges = parse_downloads_list(read_downloads_list())[0][6]
            local = os.path.join(folder, "big.bin")
            self.assertKeptBytesMatch(local, self.source, ranges)
        with Nginx(self.root, accept_ranges=False, port=nginx.port) as nginx:
            host = self.start_host()
            self.assertEqual(host.wait_complete(1, 120), local)
            self.assertSameBytes(local, self.source)
            gets = [e for e in nginx.log_entries() if e[4] == "GET"]
            for entry in gets:
                start = int(entry[6].split("=")[1].split("-")[0])
                self.assertTrue(any(s <= start <= e for s, e in ranges), "GET %s outside %s" % (entry[6], ranges))
            self.assertLessEqual(sum(e[3] for e in gets), missing_bytes(ranges) + 4 * MiB)
            self.finish(host)


if __name__ == "__main__":
    unittest.main()
