"""A shared folder downloaded as one zip archive ("?zip" on its address), read back by Python's
zipfile and by `unzip -t`: nested, empty and hidden entries, names with non-ASCII and HTML special
characters, empty files, links that must not be followed, the login, early closes, and a sparse
file past 4 GiB (ZIP64; WEXA_SKIP_HUGE=1 skips it)."""
import concurrent.futures
import hashlib
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest
import zipfile

from sharehost import MiB, ShareHost, curl, make_file, raw_request, share_list

GiB = 1 << 30
LINK = '\r\n<a href="?zip">Download all as .zip</a>\r\n</pre>'


def fetch_zip(port, path, into, *args):
    """Saves the answer to path in the file into; (status, headers)."""
    status, headers, body = curl(port, path, *args, timeout=600)
    with open(into, "wb") as f:
        f.write(body)
    return status, headers


def unzip_test(path):
    run = subprocess.run(["unzip", "-t", path], capture_output=True, timeout=600)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def tree_of(folder):
    """{archive name: bytes or None for a folder} of what the archive of folder must hold."""
    entries = {}
    for dirpath, dirnames, filenames in os.walk(folder):
        rel = os.path.relpath(dirpath, folder)
        prefix = "" if rel == "." else rel.replace(os.sep, "/") + "/"
        dirnames[:] = [d for d in dirnames if not d.startswith(".") and not os.path.islink(os.path.join(dirpath, d))]
        for d in dirnames:
            entries[prefix + d + "/"] = None
        for name in filenames:
            full = os.path.join(dirpath, name)
            if name.startswith(".") or os.path.islink(full):
                continue
            with open(full, "rb") as f:
                entries[prefix + name] = f.read()
    return entries


def check_archive(test, path, expected):
    with zipfile.ZipFile(path) as z:
        test.assertIsNone(z.testzip())
        infos = z.infolist()
        test.assertEqual(sorted(i.filename for i in infos), sorted(expected))
        for info in infos:
            test.assertEqual(info.compress_type, zipfile.ZIP_STORED)
            test.assertTrue(info.flag_bits & 0x800, info.filename)
            want = expected[info.filename]
            if want is None:
                test.assertTrue(info.is_dir())
            else:
                test.assertEqual(z.read(info), want, info.filename)


class FolderArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-zip-")
        cls.share = os.path.join(cls.root, "Zip Share")
        os.makedirs(os.path.join(cls.share, "sub", "deeper"))
        os.makedirs(os.path.join(cls.share, "sub", "empty folder"))
        os.makedirs(os.path.join(cls.share, ".hidden dir"))
        make_file(cls.share, "a.txt", 100 * 1000 + 7, 1)
        make_file(cls.share, "Привет мир.bin", 3000, 2)
        make_file(cls.share, "a & b's #1 %41;.txt", 10, 3)
        make_file(os.path.join(cls.share, "sub"), "日本語 😀.dat", 70000, 4)
        # Across several pool buffers, with a tail that is not a whole block.
        make_file(os.path.join(cls.share, "sub", "deeper"), "inner.bin", 5 * MiB + 12345, 5)
        open(os.path.join(cls.share, "empty.bin"), "wb").close()
        with open(os.path.join(cls.share, ".secret"), "w") as f:
            f.write("hidden")
        with open(os.path.join(cls.share, ".hidden dir", "x.txt"), "w") as f:
            f.write("hidden")
        # A link to a folder outside the share: nothing of that folder may enter. (A link to a file
        # is a reparse point on Windows and is left out too; Wine shows it as a plain file, as it
        # does to a single file request.)
        cls.outside = os.path.join(cls.root, "outside")
        os.mkdir(cls.outside)
        with open(os.path.join(cls.outside, "private.txt"), "w") as f:
            f.write("outside the share")
        os.symlink(cls.outside, os.path.join(cls.share, "linked dir"))
        cls.empty = os.path.join(cls.root, "Empty")
        os.mkdir(cls.empty)
        cls.other = make_file(cls.root, "single.txt", 50, 6)
        cls.expected = tree_of(cls.share)
        cls.host = ShareHost({"ShareList": share_list([(cls.share, 0), (cls.empty, 0), (cls.other, 0)]),
                              "SingleDirIsRoot": 0}).__enter__()
        cls.port = cls.host.port
        cls.baseline = cls.host.object_count()

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_archive_holds_the_folder_byte_for_byte(self):
        target = os.path.join(self.root, "got.zip")
        status, headers = fetch_zip(self.port, "/Zip%20Share/?zip", target)
        self.assertEqual(status, 200)
        self.assertIn("Content-Type: application/zip\r\n", headers)
        self.assertIn("Content-Length: %d\r\n" % os.path.getsize(target), headers)
        self.assertIn("Content-Disposition: attachment; filename=\"Zip Share.zip\"; "
                      "filename*=UTF-8''Zip%20Share.zip\r\n", headers)
        self.assertNotIn("Accept-Ranges", headers)
        self.assertIn("sub/empty folder/", self.expected)
        self.assertNotIn("linked dir/", self.expected)
        check_archive(self, target, self.expected)
        code, said = unzip_test(target)
        self.assertEqual(code, 0, said)
        self.assertIn("No errors detected", said)
        with open(target, "rb") as f:
            self.assertNotIn(b"outside the share", f.read())

    def test_sub_folder_archive_is_named_below_it(self):
        target = os.path.join(self.root, "sub.zip")
        status, headers = fetch_zip(self.port, "/Zip%20Share/sub/deeper?zip", target)
        self.assertEqual(status, 200)
        self.assertIn('filename="deeper.zip"', headers)
        check_archive(self, target, {"inner.bin": self.expected["sub/deeper/inner.bin"]})

    def test_empty_folder_gives_an_empty_archive(self):
        target = os.path.join(self.root, "empty.zip")
        status, _ = fetch_zip(self.port, "/Empty/?zip", target)
        self.assertEqual(status, 200)
        check_archive(self, target, {})
        code, said = unzip_test(target)
        self.assertIn("zipfile is empty", said)

    def test_head_tells_the_length_and_sends_nothing(self):
        data = raw_request(self.port, b"HEAD /Zip%20Share/sub/deeper/?zip HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        head, body = data.split(b"\r\n\r\n", 1)
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"))
        self.assertEqual(body, b"")
        inner = len(self.expected["sub/deeper/inner.bin"])
        # One entry: local header, data, descriptor, central record, end record.
        self.assertIn(b"\r\nContent-Length: %d\r\n" % (30 + 9 + 9 + inner + 16 + 46 + 9 + 9 + 22), head + b"\r\n")

    def test_folder_pages_link_their_archive_and_nothing_else_changes(self):
        status, _, page = curl(self.port, "/Zip%20Share/sub/")
        self.assertEqual(status, 200)
        self.assertEqual(page.count(b"Download all as .zip"), 1)
        self.assertIn(b"</table>" + LINK.encode(), page)
        # The root index of shared items is no folder: no archive line.
        status, _, root = curl(self.port, "/")
        self.assertEqual(status, 200)
        self.assertNotIn(b"Download all", root)
        self.assertIn(b"</table>\r\n</pre>", root)
        # "?zip" on a file or the root index changes nothing.
        status, _, body = curl(self.port, "/single.txt?zip")
        with open(self.other, "rb") as f:
            self.assertEqual((status, body), (200, f.read()))
        status, headers, body = curl(self.port, "/?zip")
        self.assertEqual(status, 200)
        self.assertIn("Content-Type: text/html\r\n", headers)
        self.assertNotIn(b"Download all", body)
        self.assertEqual(curl(self.port, "/Zip%20Share/..%2f?zip")[0], 404)

    def test_early_closes_leave_nothing_behind(self):
        request = b"GET /Zip%20Share/?zip HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"

        def close_early(i):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=30)
            try:
                s.sendall(request)
                if i % 3:
                    s.recv(1000 * (i % 50) + 1)
                if i % 2:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
            finally:
                s.close()

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(close_early, range(200)))
        deadline = time.time() + 60
        count = self.host.object_count()
        while count != self.baseline and time.time() < deadline:
            time.sleep(0.5)
            count = self.host.object_count()
        self.assertEqual(count, self.baseline)
        # The server still sends whole archives.
        target = os.path.join(self.root, "after.zip")
        self.assertEqual(fetch_zip(self.port, "/Zip%20Share/sub/deeper/?zip", target)[0], 200)
        check_archive(self, target, {"inner.bin": self.expected["sub/deeper/inner.bin"]})


class ArchiveBehindLogin(unittest.TestCase):
    def test_login_is_asked_for_the_archive_too(self):
        root = tempfile.mkdtemp(prefix="wexa-zip-login-")
        try:
            share = os.path.join(root, "Locked")
            os.mkdir(share)
            make_file(share, "doc.txt", 1234, 7)
            settings = {"ShareList": share_list([(share, 0)]), "SingleDirIsRoot": 1, "RequirePassword": 1,
                        "LoginUser": ("bytes", b"ann"), "LoginPassword": ("bytes", b"s3cret")}
            with ShareHost(settings) as host:
                status, headers, body = curl(host.port, "/?zip")
                self.assertEqual(status, 401)
                self.assertNotIn(b"PK", body[:2])
                self.assertEqual(curl(host.port, "/?zip", "-u", "ann:wrong")[0], 401)
                target = os.path.join(root, "locked.zip")
                # The single shared folder stands for the root, and its archive carries its name.
                status, headers = fetch_zip(host.port, "/?zip", target, "-u", "ann:s3cret")
                self.assertEqual(status, 200)
                self.assertIn('filename="Locked.zip"', headers)
                check_archive(self, target, tree_of(share))
        finally:
            shutil.rmtree(root, ignore_errors=True)


@unittest.skipIf(os.environ.get("WEXA_SKIP_HUGE") == "1", "WEXA_SKIP_HUGE=1")
class ArchivePastFourGiB(unittest.TestCase):
    """A sparse 5 GiB file with marks near 4 GiB and its end, and a small file after it: the
    large entry, the offsets behind it and the central directory take the ZIP64 forms."""

    def test_zip64_archive_reads_back(self):
        if shutil.disk_usage(tempfile.gettempdir()).free < 1 * GiB:
            raise unittest.SkipTest("needs 1 GiB free")
        root = tempfile.mkdtemp(prefix="wexa-zip-huge-")
        try:
            share = os.path.join(root, "Huge")
            os.mkdir(share)
            huge = os.path.join(share, "huge.bin")
            size = 5 * GiB
            with open(huge, "wb") as f:
                f.truncate(size)
                for at in (4 * GiB - 3, size - 100):
                    f.seek(at)
                    f.write(b"mark-%d" % at)
            make_file(share, "after.txt", 5000, 8)
            with ShareHost({"ShareList": share_list([(share, 0)]), "SingleDirIsRoot": 0}) as host:
                target = os.path.join(root, "huge.zip")
                length = self.fetch_sparse(host.port, "/Huge/?zip", target)
            self.assertGreater(length, size)
            with zipfile.ZipFile(target) as z:
                infos = {i.filename: i for i in z.infolist()}
                self.assertEqual(sorted(infos), ["after.txt", "huge.bin"])
                self.assertEqual(infos["huge.bin"].file_size, size)
                with open(os.path.join(share, "after.txt"), "rb") as f:
                    self.assertEqual(z.read("after.txt"), f.read())
                self.assertEqual(self.sha_member(z, "huge.bin"), self.sha_path(huge))
            code, said = unzip_test(target)
            self.assertEqual(code, 0, said)
        finally:
            shutil.rmtree(root, ignore_errors=True)

    @staticmethod
    def fetch_sparse(port, path, target):
        """Saves the archive with its zero blocks left as holes; returns its length."""
        with socket.create_connection(("127.0.0.1", port), timeout=120) as s:
            s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = s.recv(65536)
                if not chunk:
                    raise AssertionError("no head")
                data += chunk
            head, body = data.split(b"\r\n\r\n", 1)
            assert head.startswith(b"HTTP/1.1 200 OK"), head
            length = int([l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")][0].split()[1])
            zero = bytes(MiB)
            got = 0
            with open(target, "wb") as f:
                pending = body
                while True:
                    while len(pending) >= MiB:
                        block, pending = pending[:MiB], pending[MiB:]
                        f.seek(MiB, 1) if block == zero else f.write(block)
                        got += MiB
                    chunk = s.recv(4 * MiB)
                    if not chunk:
                        break
                    pending += chunk
                f.write(pending)
                got += len(pending)
                f.truncate(got)
            assert got == length, (got, length)
            return length

    @staticmethod
    def sha_member(z, name):
        h = hashlib.sha256()
        with z.open(name) as f:
            for block in iter(lambda: f.read(8 * MiB), b""):
                h.update(block)
        return h.hexdigest()

    @staticmethod
    def sha_path(path):
        h = hashlib.sha256()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(8 * MiB), b""):
                h.update(block)
        return h.hexdigest()


if __name__ == "__main__":
    unittest.main()
