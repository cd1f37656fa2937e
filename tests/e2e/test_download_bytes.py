"""Downloads end to end, byte for byte: the host under Wine fetches files of awkward sizes from
nginx over 1 to 50 connections, and a sparse file past 4 GiB, and every result is compared by
sha256 with the file the server holds."""
import os
import shutil
import tempfile
import unittest

from downloadhost import (COMPLETE, DOWNLOADING, GiB, MiB, DownloadCase, Nginx, downloads_list_bytes, make_file,
                          read_downloads_list, record, sha_file, wine_path, write_downloads_list,
                          write_settings)

# Sizes around the receive buffer (10240 bytes, or 256 KiB as built by default), one file of
# several buffers and one large one.
SMALL = [1, 10239, 10240, 10241, 262143, 262144, 262145, MiB]
LARGE = 100 * MiB
HUGE = 4 * GiB + 100 * MiB


class Files:
    root = None

    @classmethod
    def make(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-www-")
        cls.paths = {}
        for i, size in enumerate(SMALL + [LARGE]):
            name = "f%d.bin" % size
            cls.paths[name] = make_file(cls.root, name, size, seed=size + i)


def setUpModule():
    Files.make()


def tearDownModule():
    shutil.rmtree(Files.root, ignore_errors=True)


class WholeFiles(DownloadCase):
    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx(Files.root).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def download_all(self, names, connections, timeout=300):
        """Downloads every name at once with the given connection count; checks each file.
        Each call starts from an empty list, and its host is gone when it returns, failed or not."""
        folder = self.new_folder()
        self.nginx.reset_log()
        write_settings({})
        host = self.start_host([self.nginx.url("/" + n) for n in names], connections=connections,
                               folder=folder)
        try:
            for entry_id, name in enumerate(names, 1):
                with self.subTest(name=name, connections=connections):
                    try:
                        path = host.wait_complete(entry_id, timeout)
                    except TimeoutError as stall:
                        self.fail("%s\nobjects %d, server sockets: %s" % (stall, host.object_count(),
                                                                         self.nginx.socket_queues()))
                    self.assertEqual(os.path.dirname(path), folder)
                    self.assertEqual(os.path.basename(path), name)
                    self.assertSameBytes(path, Files.paths[name])
                    self.assertIn(DOWNLOADING, host.statuses(entry_id))
                    self.assertEqual(host.last_status(entry_id), COMPLETE)
            self.finish(host)
        finally:
            host.kill9()

    def test_awkward_sizes_with_each_connection_count(self):
        names = ["f%d.bin" % s for s in SMALL]
        for connections in (1, 2, 8, 16, 50):
            self.download_all(names, connections)

    def test_large_file_uses_the_connections_asked_for(self):
        name = "f%d.bin" % LARGE
        for connections in (1, 16, 50):
            with self.subTest(connections=connections):
                self.download_all([name], connections)
                gets = [e for e in self.nginx.log_entries() if e[4] == "GET"]
                if connections == 1:
                    self.assertEqual([(e[1], e[6]) for e in gets], [(206, "bytes=0-%d" % (LARGE - 1))])
                else:
                    self.assertGreaterEqual(len(gets), connections)
                # A connection stops once it writes where another has written: what it fetched
                # twice is at most what was in flight, a few MiB per connection. Connections
                # that ran to the end of their first range would fetch the file log2(N) times.
                fetched = sum(e[3] for e in gets)
                self.assertLessEqual(fetched, LARGE + connections * 4 * MiB,
                                     "fetched %d bytes for %d" % (fetched, LARGE))

    def test_exit_when_done_exits_zero_after_all_complete(self):
        folder = self.new_folder()
        names = ["f1.bin", "f10241.bin"]
        host = self.start_host([self.nginx.url("/" + n) for n in names], connections=4, folder=folder,
                               exit_when_done=True)
        self.assertEqual(host.wait_exit(120), 0)
        for name in names:
            self.assertSameBytes(os.path.join(folder, name), Files.paths[name])
        # Complete downloads are not kept in the list.
        self.assertEqual(read_downloads_list(), b"\0\0\0\0")


@unittest.skipIf(os.environ.get("WEXA_SKIP_HUGE") == "1", "WEXA_SKIP_HUGE=1")
class PastFourGiB(DownloadCase):
    """A sparse file of 4.1 GiB with random marks around 2 GiB, 4 GiB and its end: offsets, ranges and
    range texts must be 64-bit all the way."""

    @classmethod
    def setUpClass(cls):
        # Source and restored file stay sparse; only the whole download fills HUGE bytes.
        if shutil.disk_usage(tempfile.gettempdir()).free < 2 * GiB:
            raise unittest.SkipTest("needs 2 GiB free")
        cls.root = tempfile.mkdtemp(prefix="wexa-huge-")
        cls.source = os.path.join(cls.root, "huge.bin")
        cls.marks = [2 * GiB - 4096, 4 * GiB - 70000, 4 * GiB + 12345, HUGE - 10000]
        with open(cls.source, "wb") as f:
            f.truncate(HUGE)
            for i, offset in enumerate(cls.marks):
                f.seek(offset)
                f.write(os.urandom(20000 if offset + 20000 <= HUGE else HUGE - offset))
        cls.nginx = Nginx(cls.root).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_missing_ranges_past_four_gib_are_fetched_into_place(self):
        # A restored download whose file already holds everything but ranges around the marks:
        # only those are fetched, at their 64-bit offsets.
        folder = self.new_folder()
        local = os.path.join(folder, "huge.bin")
        missing = [(2 * GiB - 10000, 2 * GiB + 300000), (4 * GiB - 80000, 4 * GiB + 400000),
                   (HUGE - 20000, HUGE - 1)]
        with open(self.source, "rb") as src, open(local, "wb") as dst:
            dst.truncate(HUGE)
            for offset in self.marks:
                src.seek(offset)
                dst.seek(offset)
                dst.write(src.read(20000))
            for start, end in missing:
                dst.seek(start)
                dst.write(b"\xa5" * (end - start + 1))
        write_downloads_list(downloads_list_bytes([
            record(wine_path(local), self.nginx.url("/huge.bin"), "1", HUGE, 3, "", missing)]))
        self.nginx.reset_log()
        host = self.start_host()
        path = host.wait_complete(1, 300)
        self.assertEqual(path, local)
        self.assertEqual(sha_file(local), sha_file(self.source))
        asked = sorted(e[6] for e in self.nginx.log_entries() if e[4] == "GET")
        self.assertIn("bytes=%d-%d" % missing[2], asked)
        self.finish(host)

    def test_whole_file_past_four_gib_with_sixteen_connections(self):
        if shutil.disk_usage(tempfile.gettempdir()).free < HUGE + 4 * GiB:
            self.skipTest("needs %d GiB free" % (HUGE // GiB + 4))
        folder = self.new_folder()
        host = self.start_host([self.nginx.url("/huge.bin")], connections=16, folder=folder)
        path = host.wait_complete(1, 600)
        self.assertEqual(sha_file(path), sha_file(self.source))
        self.finish(host)
        os.unlink(path)  # 4.1 GiB of real blocks


if __name__ == "__main__":
    unittest.main()
