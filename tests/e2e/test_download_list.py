"""The saved downloads list ("DownloadsList" under HKCU\\Software\\WexaShare) end to end: the host
restores prepared values, and what it saves back is compared byte for byte with records built
here from the documented layout. A server that never answers the header request keeps restored
entries from changing while the value is read."""
import base64
import os
import shutil
import tempfile
import threading
import time
import unittest

from downloadhost import (IDLE_OBJECTS, RESOLVING, RESUME_OPEN_FAILED, MiB, DownloadCase, Nginx, ScriptedServer,
                          downloads_list_bytes, make_file, read_downloads_list, record, wine_path,
                          write_downloads_list)

EMPTY_LIST = b"\0\0\0\0"
CREDENTIALS = base64.b64encode(b"user:pass word").decode()


class Files:
    root = None

    @classmethod
    def make(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-www-")
        os.mkdir(os.path.join(cls.root, "private"))
        cls.source = make_file(cls.root, "mib.bin", MiB, seed=1)
        cls.secret = make_file(os.path.join(cls.root, "private"), "secret.bin", 2 * MiB, seed=2)


def setUpModule():
    Files.make()


def tearDownModule():
    shutil.rmtree(Files.root, ignore_errors=True)


class HeldServer(ScriptedServer):
    """Takes every request and answers none until released."""

    def __init__(self):
        self.release = threading.Event()
        super().__init__(lambda head: (self.release.wait(120), b"")[1])


class SavedList(DownloadCase):
    def setUp(self):
        super().setUp()
        self.folder = self.new_folder()
        self.held = HeldServer().__enter__()
        self.addCleanup(self.held.__exit__)
        self.addCleanup(self.held.release.set)

    def local(self, name):
        return wine_path(os.path.join(self.folder, name))

    def restore(self, raw):
        write_downloads_list(raw)
        return self.start_host()

    def wait_saved(self, expected, timeout=15):
        """The value once it equals `expected` (the list is saved soon after each change)."""
        deadline = time.time() + timeout
        while True:
            raw = read_downloads_list()
            if raw == expected or time.time() > deadline:
                return raw
            time.sleep(0.5)

    def test_restored_records_are_saved_back_byte_exact(self):
        url = self.held.url
        example = record(self.local("example.bin"), url("/example.bin"), "1", 1048576, 3, "",
                         [(0, 131071), (524288, 1048575)])
        # The record of the documented example, built by hand from the layout.
        self.assertEqual(example, "b" + "\x1e".join([
            self.local("example.bin"), url("/example.bin"), "1", "1048576", "3", "", "0-131071",
            "524288-1048575"]) + "\x1e")
        before_header = record(self.local("new.bin"), url("/new.bin"), "0", 0, 4, CREDENTIALS)
        stored = [
            example,
            before_header,
            record(self.local("c0.bin"), url("/c0.bin"), "0", 0, "0"),
            record(self.local("ctext.bin"), url("/ctext.bin"), "0", 0, "many"),
            record(self.local("c80.bin"), url("/c80.bin"), "0", 0, "80"),
            "x" + record(self.local("skip1.bin"), url("/skip1.bin"))[1:],            # not a "b" record
            record(self.local("skip2.bin"), url("/skip2.bin"), "1", "12x", 2),       # size not decimal
            record(self.local("ranges.bin"), url("/ranges.bin"), "2", 1000, 2, "",   # flag "2" reads as 0
                   ["500-599", "5-x", "7", "100-199"]),
        ]
        expected = [
            example,
            before_header,
            record(self.local("c0.bin"), url("/c0.bin"), "0", 0, 1),
            record(self.local("ctext.bin"), url("/ctext.bin"), "0", 0, 1),
            record(self.local("c80.bin"), url("/c80.bin"), "0", 0, 50),
            record(self.local("ranges.bin"), url("/ranges.bin"), "0", 1000, 2, "", [(100, 199), (500, 599)]),
        ]
        host = self.restore(downloads_list_bytes(stored))
        for entry_id in range(1, len(expected) + 1):
            host.wait_status(entry_id, RESOLVING)
        self.assertEqual(host.quit(), 0)
        self.assertEqual(host.statuses(len(expected) + 1), [])
        self.assertEqual(read_downloads_list(), downloads_list_bytes(expected))

    def test_values_that_restore_nothing(self):
        one = record(self.local("a.bin"), self.held.url("/a.bin"))
        cases = {
            "no value": None,
            "empty list": EMPTY_LIST,
            "no final NUL": (one + "\0").encode("utf-16-le"),
            "too short": b"\0\0",
        }
        for name, raw in cases.items():
            with self.subTest(case=name):
                host = self.restore(raw)
                time.sleep(1.5)
                self.assertEqual(host.object_count(), IDLE_OBJECTS)
                self.assertEqual(host.quit(), 0)
                self.assertEqual([l for l in host.lines if l.startswith("status")], [])
                self.assertEqual(read_downloads_list(), EMPTY_LIST)

    def test_unusable_url_does_not_stop_the_others(self):
        url = self.held.url
        host = self.restore(downloads_list_bytes([
            record(self.local("a.bin"), "http://no-slash-after-host", "0", 0, 1),
            record(self.local("b.bin"), url("/b.bin"), "0", 0, 1),
        ]))
        # Skipped or kept failed: either way the usable record is restored and the host goes on.
        host.wait_for(lambda l: l.startswith("status ") and l.endswith(RESOLVING), 30, 0, "a restored entry")
        self.held.release.set()
        self.finish(host)
        self.assertIn(url("/b.bin"), read_downloads_list().decode("utf-16-le"))

    def test_list_is_saved_when_an_entry_is_added_and_removed(self):
        host = self.start_host([self.held.url("/added.bin")], connections=7, credentials="user:pass word",
                               folder=self.folder)
        host.wait_status(1, RESOLVING)
        added = downloads_list_bytes([record(self.local("added.bin"), self.held.url("/added.bin"), "0", 0, 7,
                                             CREDENTIALS)])
        self.assertEqual(self.wait_saved(added), added)
        host.command("remove 1")
        host.wait_for(lambda l: l == "removed 1", 30, 0, "removed 1")
        self.assertEqual(self.wait_saved(EMPTY_LIST), EMPTY_LIST)
        # A header request outlives its removed entry until the server closes (it has no time-out).
        self.held.release.set()
        self.finish(host)


class Restored(DownloadCase):
    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx(Files.root, users={"user": "pass word"}).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def test_saved_ranges_are_fetched_into_the_existing_file(self):
        folder = self.new_folder()
        local = os.path.join(folder, "mib.bin")
        missing = [(0, 131071), (524288, 700000)]
        shutil.copyfile(Files.source, local)
        with open(local, "r+b") as f:
            for start, end in missing:
                f.seek(start)
                f.write(b"\xa5" * (end - start + 1))
        write_downloads_list(downloads_list_bytes([
            record(wine_path(local), self.nginx.url("/mib.bin"), "1", MiB, 2, "", missing)]))
        self.nginx.reset_log()
        host = self.start_host()
        self.assertEqual(host.wait_complete(1, 60), local)
        self.assertSameBytes(local, Files.source)
        gets = sorted(e[6] for e in self.nginx.log_entries() if e[4] == "GET")
        self.assertEqual(gets, ["bytes=%d-%d" % r for r in missing])
        self.assertEqual(self.nginx.body_bytes(), sum(e - s + 1 for s, e in missing))
        self.finish(host)
        self.assertEqual(read_downloads_list(), EMPTY_LIST)

    def test_completion_is_saved_before_it_is_reported(self):
        # Killed right after the completion line: the list no longer holds the finished download,
        # so a crash then cannot make the next run fetch it again.
        folder = self.new_folder()
        host = self.start_host([self.nginx.url("/mib.bin")], connections=2, folder=folder)
        host.wait_complete(1, 60)
        host.kill9()
        self.assertEqual(read_downloads_list(), EMPTY_LIST)

    def test_record_from_before_the_header_starts_over_with_its_count_and_login(self):
        folder = self.new_folder()
        local = os.path.join(folder, "secret.bin")
        write_downloads_list(downloads_list_bytes([
            record(wine_path(local), self.nginx.url("/private/secret.bin"), "0", 0, 4, CREDENTIALS)]))
        self.nginx.reset_log()
        host = self.start_host()
        self.assertEqual(host.wait_complete(1, 60), local)
        self.assertSameBytes(local, Files.secret)
        self.assertGreaterEqual(len([e for e in self.nginx.log_entries() if e[4] == "GET" and e[1] == 206]), 4)
        self.finish(host)

    def test_resume_needs_the_file_it_started(self):
        folder = self.new_folder()
        write_downloads_list(downloads_list_bytes([
            record(wine_path(os.path.join(folder, "gone.bin")), self.nginx.url("/mib.bin"), "1", MiB, 1, "",
                   [(0, MiB - 1)])]))
        host = self.start_host()
        self.assertEqual(host.wait_failure(1), RESUME_OPEN_FAILED)
        self.assertEqual(os.listdir(folder), [])
        self.finish(host)


if __name__ == "__main__":
    unittest.main()
