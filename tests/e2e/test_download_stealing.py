"""Many connections at once: work stealing when connections run at very different speeds, the
connection count changed mid-download, twenty downloads side by side, and a server that dies
mid-transfer. Every byte is compared with the server's file."""
import os
import shutil
import tempfile
import time
import unittest

from downloadhost import (DOWNLOADING, IDLE_OBJECTS, RUNNING, MiB, DownloadCase, Nginx, make_file, missing_bytes,
                          parse_downloads_list, read_downloads_list)

FAST, SLOW = "8m", "200k"


class Files:
    root = None

    @classmethod
    def make(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-www-")
        cls.uneven = make_file(cls.root, "uneven.bin", 24 * MiB, seed=5)
        cls.many = [make_file(cls.root, "many%02d.bin" % i, 3 * MiB + i * 4099, seed=100 + i) for i in range(20)]


def setUpModule():
    Files.make()


def tearDownModule():
    shutil.rmtree(Files.root, ignore_errors=True)


def requested_length(range_header, size):
    first, last = range_header.split("=")[1].split("-")
    return min(int(last), size - 1) - int(first) + 1


class Stealing(DownloadCase):
    def test_fast_connections_take_over_the_work_of_slow_ones(self):
        # Slow connections would need 24 MiB / 16 / 200 KB/s = 7.7 s for their share alone.
        size = os.path.getsize(Files.uneven)
        with Nginx(Files.root, uneven=(FAST, SLOW)) as nginx:
            host = self.start_host([nginx.url("/uneven.bin")], connections=16, folder=self.new_folder())
            self.assertSameBytes(host.wait_complete(1, 180), Files.uneven)
            gets = [e for e in nginx.log_entries() if e[4] == "GET"]
            # Connections that finished were replaced, and some stopped short of the range they
            # asked for because a faster one had already written what followed.
            self.assertGreater(len(gets), 16)
            cut_short = [e for e in gets if e[3] < requested_length(e[6], size)]
            self.assertTrue(cut_short, gets)
            self.finish(host)

    def test_lowering_and_raising_the_count_mid_download(self):
        # 12 x 300 KB/s: the download runs about 7 s, long enough to change the count twice.
        with Nginx(Files.root, limit_rate="300k") as nginx:
            host = self.start_host([nginx.url("/uneven.bin")], connections=12, folder=self.new_folder())
            host.wait_status(1, DOWNLOADING, 60)
            time.sleep(2)
            self.assertEqual(host.object_count(), IDLE_OBJECTS + 12)
            host.command("connections 1 2")
            self.assertTrue(self.wait_count(host, lambda n: n <= IDLE_OBJECTS + 2), "connections not ended")
            time.sleep(1)
            self.assertLessEqual(host.object_count(), IDLE_OBJECTS + 2)
            host.command("connections 1 16")
            self.assertTrue(self.wait_count(host, lambda n: n > IDLE_OBJECTS + 2), "no connections added")
            self.assertSameBytes(host.wait_complete(1, 180), Files.uneven)
            self.finish(host)

    def wait_count(self, host, good, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if good(host.object_count()):
                return True
            time.sleep(0.3)
        return False

    def test_twenty_downloads_with_sixteen_connections_each(self):
        folder = self.new_folder()
        with Nginx(Files.root) as nginx:
            urls = [nginx.url("/" + os.path.basename(p)) for p in Files.many]
            host = self.start_host(urls, connections=16, folder=folder)
            for entry_id, source in enumerate(Files.many, 1):
                with self.subTest(file=os.path.basename(source)):
                    path = host.wait_complete(entry_id, 300)
                    self.assertEqual(path, os.path.join(folder, os.path.basename(source)))
                    self.assertSameBytes(path, source)
            self.assertGreater(len([e for e in nginx.log_entries() if e[4] == "GET"]), 20 * 8)
            self.finish(host)

    def test_server_killed_mid_transfer_fails_the_entry(self):
        folder = self.new_folder()
        nginx = Nginx(Files.root, limit_rate="1m").start()
        try:
            host = self.start_host([nginx.url("/uneven.bin")], connections=4, folder=folder)
            host.wait_status(1, DOWNLOADING, 60)
            time.sleep(2)
            mark = host.mark()
            nginx.kill()
            # Whatever text it chooses, the entry must stop with one that is not a running state.
            line = host.wait_for(lambda l: l.startswith("status 1 ") and l[9:] not in RUNNING, 60, mark,
                                 "a stop of entry 1")
            self.assertTrue("Failed" in line or "Error" in line, line)
            self.assertEqual(host.wait_idle(), IDLE_OBJECTS)
            # It stays failed: no connection keeps knocking on the dead port.
            time.sleep(3)
            self.assertEqual(host.object_count(), IDLE_OBJECTS)
            self.assertEqual(host.quit(), 0)
            entries = parse_downloads_list(read_downloads_list())
            self.assertEqual(len(entries), 1)
            self.assertGreater(missing_bytes(entries[0][6]), 0)
            self.assertLess(missing_bytes(entries[0][6]), entries[0][3])
            local = os.path.join(folder, "uneven.bin")
            self.assertKeptBytesMatch(local, Files.uneven, entries[0][6])
            # With the server back, the next run restarts the failed entry and completes it.
            nginx = Nginx(Files.root, port=nginx.port).start()
            host = self.start_host()
            self.assertEqual(host.wait_complete(1, 120), local)
            self.assertSameBytes(local, Files.uneven)
            self.finish(host)
        finally:
            nginx.stop()


if __name__ == "__main__":
    unittest.main()
