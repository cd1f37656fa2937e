"""Downloads that stop part way and go on: after kill -9 of the Wine process, after pause and
resume, and after quit. The saved list must only claim bytes that are in the file, and the next
run must fetch only what was missing, as nginx's access log counts it."""
import os
import time
import unittest

from downloadhost import (DOWNLOADING, IDLE_OBJECTS, MODIFIED, PAUSED, RESOLVING, MiB, DownloadCase, Nginx,
                          make_file, missing_bytes, parse_downloads_list, read_downloads_list, wine_path)

SIZE = 24 * MiB
CONNECTIONS = 4
RATE = "1m"  # per connection: a download runs several seconds, long enough to stop it part way


class Resume(DownloadCase):
    def setUp(self):
        super().setUp()
        self.root = self.new_folder("www")
        self.source = make_file(self.root, "movie.bin", SIZE, seed=11)
        self.nginx = Nginx(self.root, limit_rate=RATE).start()
        self.addCleanup(lambda: self.nginx.stop())
        self.folder = self.new_folder()
        self.url = self.nginx.url("/movie.bin")
        self.local = os.path.join(self.folder, "movie.bin")

    def restart_nginx(self, limit_rate=RATE):
        port = self.nginx.port
        self.nginx.stop()
        self.nginx = Nginx(self.root, limit_rate=limit_rate, port=port).start()

    def wait_saved_progress(self, timeout=30):
        """The saved record once it shows some bytes done (the list is saved while running)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            raw = read_downloads_list()
            if raw:
                entries = parse_downloads_list(raw)
                if entries and entries[0][3] == SIZE and 0 < missing_bytes(entries[0][6]) < SIZE:
                    return entries[0]
            time.sleep(0.5)
        self.fail("no progress was saved within %ds" % timeout)

    def saved_entry(self):
        entries = parse_downloads_list(read_downloads_list())
        self.assertEqual(len(entries), 1, entries)
        path, url, flag, size, connections, credentials, ranges = entries[0]
        self.assertEqual((path, url, flag, size, connections, credentials),
                         (wine_path(self.local), self.url, "1", SIZE, CONNECTIONS, ""))
        self.assertGreater(missing_bytes(ranges), 0)
        self.assertLess(missing_bytes(ranges), SIZE)
        return ranges

    def assertFetchedOnlyMissing(self, ranges, slack):
        """Every GET since the log was reset starts inside a missing range, and together they
        sent no more than the missing bytes plus what overlapping connections overrun."""
        gets = [e for e in self.nginx.log_entries() if e[4] == "GET"]
        self.assertTrue(gets)
        for entry in gets:
            start = int(entry[6].split("=")[1].split("-")[0])
            self.assertTrue(any(s <= start <= e for s, e in ranges), "GET %s outside %s" % (entry[6], ranges))
        fetched = sum(e[3] for e in gets)
        missing = missing_bytes(ranges)
        self.assertGreaterEqual(fetched, missing)
        self.assertLessEqual(fetched, missing + slack, "fetched %d for %d missing" % (fetched, missing))

    def test_kill9_mid_transfer_then_restart_fetches_only_missing(self):
        # Slow enough that the periodic save catches the download part way at least twice.
        self.restart_nginx(limit_rate="512k")
        host = self.start_host([self.url], connections=CONNECTIONS, folder=self.folder)
        host.wait_status(1, DOWNLOADING, 60)
        self.wait_saved_progress()
        host.kill9()
        ranges = self.saved_entry()
        self.assertKeptBytesMatch(self.local, self.source, ranges)

        self.restart_nginx(limit_rate="2m")
        host = self.start_host()
        host.wait_status(1, RESOLVING)
        self.assertEqual(host.wait_complete(1, 120), self.local)
        self.assertSameBytes(self.local, self.source)
        self.assertFetchedOnlyMissing(ranges, slack=CONNECTIONS * 2 * MiB)
        self.finish(host)
        self.assertEqual(read_downloads_list(), b"\0\0\0\0")

    def test_pause_then_resume_asks_again_and_fetches_only_missing(self):
        host = self.start_host([self.url], connections=CONNECTIONS, folder=self.folder)
        host.wait_status(1, DOWNLOADING, 60)
        time.sleep(3)
        host.command("pause 1")
        host.wait_status(1, PAUSED)
        self.assertEqual(host.wait_idle(), IDLE_OBJECTS)
        # Saved at once on pause, and the file stays as the list says.
        ranges = self.saved_entry()
        self.assertKeptBytesMatch(self.local, self.source, ranges)

        self.nginx.reset_log()
        mark = host.mark()
        host.command("resume 1")
        host.wait_status(1, "Idle", after=mark)
        host.wait_status(1, RESOLVING, after=mark)
        self.assertEqual(host.wait_complete(1, 120, after=mark), self.local)
        self.assertSameBytes(self.local, self.source)
        heads = [e for e in self.nginx.log_entries() if e[4] == "HEAD"]
        self.assertEqual(len(heads), 1, "resume requests the header again")
        self.assertFetchedOnlyMissing(ranges, slack=CONNECTIONS * MiB)
        self.finish(host)

    def test_quit_saves_the_list_and_the_next_run_completes(self):
        host = self.start_host([self.url], connections=CONNECTIONS, folder=self.folder)
        host.wait_status(1, DOWNLOADING, 60)
        time.sleep(3)
        self.assertEqual(host.quit(), 0)
        ranges = self.saved_entry()
        self.assertKeptBytesMatch(self.local, self.source, ranges)

        self.nginx.reset_log()
        host = self.start_host()
        self.assertEqual(host.wait_complete(1, 120), self.local)
        self.assertSameBytes(self.local, self.source)
        self.assertFetchedOnlyMissing(ranges, slack=CONNECTIONS * MiB)
        self.finish(host)

    def test_file_changed_on_server_between_runs_is_not_mixed_in(self):
        host = self.start_host([self.url], connections=CONNECTIONS, folder=self.folder)
        host.wait_status(1, DOWNLOADING, 60)
        time.sleep(2)
        self.assertEqual(host.quit(), 0)
        with open(self.source, "ab") as f:
            f.write(b"grown")
        self.nginx.reset_log()
        host = self.start_host()
        host.wait_status(1, MODIFIED, 60)
        self.assertEqual([e for e in self.nginx.log_entries() if e[4] == "GET"], [])
        self.finish(host)


if __name__ == "__main__":
    unittest.main()
