"""Where downloads land: numbered names when a file exists, server-suggested names that must
stay inside the download folder, names from URLs with queries and escapes, and removal."""
import os
import shutil
import tempfile
import time
import unittest

from downloadhost import (DOWNLOADING, IDLE_OBJECTS, OPEN_FAILED, MiB, DownloadCase, Nginx, make_file)

DEVICES = {"CON", "PRN", "AUX", "NUL", "COM1", "LPT1", "CONIN$", "CONOUT$"}
# (URL path, content-disposition value, expected file name or None for "any safe name")
DISPOSITIONS = [
    ("/cd/1.bin", 'attachment; filename="report.pdf"', "report.pdf"),
    ("/cd/2.bin", 'attachment; filename=".."', "2.bin"),
    ("/cd/3.bin", 'attachment; filename="."', "3.bin"),
    ("/cd/4.bin", 'attachment; filename="../../escape.bin"', None),
    ("/cd/5.bin", 'attachment; filename="..\\..\\escape2.bin"', None),
    ("/cd/6.bin", 'attachment; filename="CON"', None),
    ("/cd/7.bin", 'attachment; filename="nul.txt"', None),
    ("/cd/8.bin", 'attachment; filename="trailing. . "', None),
    ("/cd/9.bin", 'attachment; filename="C:drive.bin"', "Cdrive.bin"),
    ("/cd/10.bin", 'attachment; filename=""', "10.bin"),
]


class Files:
    root = None

    @classmethod
    def make(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-www-")
        os.mkdir(os.path.join(cls.root, "cd"))
        cls.same = make_file(cls.root, "same.bin", 150000, seed=1)
        cls.plain = make_file(cls.root, "data", 1000, seed=2)
        cls.query = make_file(cls.root, "q.bin", 20000, seed=3)
        cls.blank = make_file(cls.root, "a b.bin", 30000, seed=4)
        cls.slow = make_file(cls.root, "slow.bin", 32 * MiB, seed=5)
        cls.cd = {}
        for i, (path, _, _) in enumerate(DISPOSITIONS):
            cls.cd[path] = make_file(cls.root, path[1:], 5000 + i, seed=10 + i)


def setUpModule():
    Files.make()


def tearDownModule():
    shutil.rmtree(Files.root, ignore_errors=True)


class Names(DownloadCase):
    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx(Files.root, limit_rate="2m",
                          dispositions={path: value for path, value, _ in DISPOSITIONS}).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def test_same_url_numbers_names_up_to_nine_then_fails(self):
        folder = self.new_folder()
        host = self.start_host([self.nginx.url("/same.bin")] * 11, folder=folder)
        names = []
        failed = []
        for entry_id in range(1, 12):
            line = host.wait_for(lambda l, i=entry_id: l.startswith("complete %d " % i) or
                                 l == "status %d %s" % (i, OPEN_FAILED), 120, 0, "entry %d" % entry_id)
            if line.startswith("complete"):
                names.append(os.path.basename(host.wait_complete(entry_id)))
            else:
                failed.append(entry_id)
        self.assertEqual(sorted(names), sorted(["same.bin"] + ["same(%d).bin" % n for n in range(1, 10)]))
        self.assertEqual(len(failed), 1)
        for name in names:
            self.assertSameBytes(os.path.join(folder, name), Files.same)
        self.assertEqual(sorted(os.listdir(folder)), sorted(names))
        self.finish(host)

    def test_number_goes_into_the_file_name_not_a_dotted_folder(self):
        parent = self.new_folder()
        folder = os.path.join(parent, "my.downloads")
        os.mkdir(folder)
        host = self.start_host([self.nginx.url("/data")] * 2, folder=folder)
        paths = sorted([host.wait_complete(1), host.wait_complete(2)])
        self.assertEqual(paths, [os.path.join(folder, "data"), os.path.join(folder, "data(1)")])
        for path in paths:
            self.assertSameBytes(path, Files.plain)
        self.assertEqual(os.listdir(parent), ["my.downloads"])
        self.finish(host)

    def test_server_suggested_names_stay_in_the_folder(self):
        parent = self.new_folder()
        folder = os.path.join(parent, "inside")
        os.mkdir(folder)
        host = self.start_host([self.nginx.url(path) for path, _, _ in DISPOSITIONS], folder=folder)
        for entry_id, (path, value, expected) in enumerate(DISPOSITIONS, 1):
            with self.subTest(disposition=value):
                local = host.wait_complete(entry_id, 60)
                name = os.path.basename(local)
                self.assertEqual(os.path.dirname(local), folder)
                if expected:
                    self.assertEqual(name, expected)
                self.assertNotIn(name.split(".")[0].upper(), DEVICES)
                self.assertFalse(name.endswith((".", " ")), name)
                self.assertNotIn(name, ("", ".", ".."))
                self.assertSameBytes(local, Files.cd[path])
        self.assertEqual(os.listdir(parent), ["inside"])
        self.assertEqual(len(os.listdir(folder)), len(DISPOSITIONS))
        self.finish(host)

    def test_query_and_escapes_in_the_url(self):
        folder = self.new_folder()
        self.nginx.reset_log()
        host = self.start_host([self.nginx.url("/q.bin?x=1&y=2"), self.nginx.url("/a%20b.bin")], folder=folder)
        query = host.wait_complete(1)
        blank = host.wait_complete(2)
        # The query stays in the name, with the "?" that no file name may hold made safe.
        self.assertEqual(os.path.basename(query), "q.bin_x=1&y=2")
        self.assertSameBytes(query, Files.query)
        self.assertEqual(os.path.basename(blank), "a b.bin")
        self.assertSameBytes(blank, Files.blank)
        uris = {e[5] for e in self.nginx.log_entries() if e[4] == "GET"}
        self.assertEqual(uris, {"/q.bin?x=1&y=2", "/a%20b.bin"})
        self.finish(host)

    def test_remove_deletes_a_partial_file_but_keeps_a_complete_one(self):
        folder = self.new_folder()
        host = self.start_host([self.nginx.url("/slow.bin"), self.nginx.url("/data")], connections=2,
                               folder=folder)
        host.wait_status(1, DOWNLOADING, 60)
        done = host.wait_complete(2)
        time.sleep(1)
        host.command("remove 1")
        host.command("remove 2")
        host.wait_for(lambda l: l == "removed 1", 30, 0, "removed 1")
        host.wait_for(lambda l: l == "removed 2", 30, 0, "removed 2")
        self.assertEqual(host.wait_idle(), IDLE_OBJECTS)
        self.assertEqual(os.listdir(folder), ["data"])
        self.assertSameBytes(done, Files.plain)
        self.finish(host)


if __name__ == "__main__":
    unittest.main()
