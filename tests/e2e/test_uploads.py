"""Receiving files end to end: curl posts multipart bodies to the headless server under Wine,
and the files that land in the uploads folder are compared byte for byte."""
import concurrent.futures
import os
import random
import shutil
import socket
import tempfile
import time
import unittest

from sharehost import ShareHost, curl, make_file, raw_request, read_until_closed, sha_file, wine_path

MiB = 1 << 20
GiB = 1 << 30
BOUNDARY = "----WexaUploadTestBoundary"


def multipart(parts):
    """A multipart/form-data body from (field, filename or None, bytes) in order."""
    out = b""
    for field, filename, data in parts:
        disposition = 'form-data; name="%s"' % field
        if filename is not None:
            disposition += '; filename="%s"' % filename
        out += ("--%s\r\nContent-Disposition: %s\r\n" % (BOUNDARY, disposition)).encode("utf-8")
        if filename is not None:
            out += b"Content-Type: application/octet-stream\r\n"
        out += b"\r\n" + data + b"\r\n"
    return out + ("--%s--\r\n" % BOUNDARY).encode()


class Uploads:
    """One folder of sources and one uploads folder per test class."""

    @classmethod
    def make_folders(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-uploads-")
        cls.sources = os.path.join(cls.root, "sources")
        cls.received = os.path.join(cls.root, "received")
        os.mkdir(cls.sources)

    @classmethod
    def remove_folders(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def post_form(self, path, *extra, name=None):
        """curl -F as a browser's form sends it: one "file" part."""
        form_field = "file=@%s" % path + (";filename=%s" % name if name else "")
        return curl(self.port, "/send_file_form/send_file.post", "-H", "Expect:", *extra, "-F", form_field)

    def post_swf(self, path, name):
        """As the multi-file page's Flash client posts: "Filename" before the file, "Upload" after."""
        return curl(self.port, "/send_file_swf/send_file.post", "-F", "Filename=%s" % name,
                    "-F", "Filedata=@%s;filename=%s" % (path, name), "-F", "Upload=Submit Query")

    def post_body(self, body, boundary=BOUNDARY, path="/send_file.post"):
        """A hand-made body, sent by curl byte for byte."""
        body_path = os.path.join(self.sources, "body-%d.bin" % random.getrandbits(48))
        with open(body_path, "wb") as f:
            f.write(body)
        try:
            return curl(self.port, path, "-H", "Expect:", "-H",
                        "Content-Type: multipart/form-data; boundary=%s" % boundary,
                        "--data-binary", "@" + body_path)
        finally:
            os.unlink(body_path)

    def stored(self, name):
        return os.path.join(self.received, name)

    def assert_stored(self, name, source):
        path = self.stored(name)
        self.assertTrue(os.path.exists(path), "%s not stored (have %s)" % (name, sorted(os.listdir(self.received))))
        self.assertEqual(os.path.getsize(path), os.path.getsize(source))
        self.assertEqual(sha_file(path), sha_file(source))

    def assert_sent_page(self, status, body, shown_name):
        self.assertEqual(status, 200)
        self.assertIn(b"<title>File Sent</title>", body)
        self.assertIn(b"The file <i>" + shown_name + b"</i> has been sent successfully.", body)
        self.assertIn(b"<address>Wexa-Share/1.2.1 at 127.0.0.1 Port %d</address>" % self.port, body)


class Receiving(Uploads, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.make_folders()
        # The folder does not exist yet: the server creates it.
        cls.host = ShareHost({"AllowUploads": 1, "UploadsDirectory": wine_path(cls.received)}).__enter__()
        cls.port = cls.host.port
        cls.baseline = cls.host.object_count()

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)
        cls.remove_folders()

    def tearDown(self):
        # Every connection ends: nothing stays behind after any upload, good or bad.
        deadline = time.time() + 30
        while self.host.object_count() != self.baseline and time.time() < deadline:
            time.sleep(0.2)
        self.assertEqual(self.host.object_count(), self.baseline)

    def test_files_of_every_size_are_stored_exactly_by_both_pages(self):
        # Around the write block (4 KiB), 8 KiB, the largest buffer (1 MiB) and a tail after full ones.
        for size in [0, 1, 4095, 4096, 4097, 8191, 8192, 8193, MiB - 1, MiB, MiB + 1, 2 * MiB + 4097, 10 * MiB]:
            source = make_file(self.sources, "s%d.bin" % size, size, size)
            for style in ("form", "swf"):
                with self.subTest(size=size, style=style):
                    name = "%s-%d.bin" % (style, size)
                    if style == "form":
                        status, _, body = self.post_form(source, name=name)
                    else:
                        status, _, body = self.post_swf(source, name)
                    self.assert_sent_page(status, body, name.encode())
                    self.assert_stored(name, source)

    def test_heads_longer_than_the_first_receive_still_store_the_file_exactly(self):
        # The head buffer starts small and grows: the body's first bytes arrive in it with a long head.
        source = make_file(self.sources, "long-head.bin", 70000, 7)
        for pad in (900, 1100, 3000):
            with self.subTest(pad=pad):
                name = "long-head-%d.bin" % pad
                status, _, body = self.post_form(source, "-H", "X-Pad: " + "a" * pad, name=name)
                self.assert_sent_page(status, body, name.encode())
                self.assert_stored(name, source)

    def test_a_one_gib_file_is_stored_exactly(self):
        source = make_file(self.sources, "huge.bin", GiB, 99)
        try:
            status, _, body = self.post_form(source)
            self.assert_sent_page(status, body, b"huge.bin")
            self.assert_stored("huge.bin", source)
        finally:
            os.unlink(source)
            if os.path.exists(self.stored("huge.bin")):
                os.unlink(self.stored("huge.bin"))

    def test_fields_around_the_file_in_any_order_are_not_stored(self):
        data = random.Random(5).randbytes(20000)
        bodies = {
            "trailing-only.bin": multipart([("Filedata", "trailing-only.bin", data), ("Upload", None, b"Submit Query")]),
            "both.bin": multipart([("Filename", None, b"both.bin"), ("Filedata", "both.bin", data),
                                   ("Upload", None, b"Submit Query")]),
            "big-field-first.bin": multipart([("notes", None, b"n" * 20000), ("file", "big-field-first.bin", data)]),
            "preamble.bin": b"a preamble to ignore\r\n" + multipart([("file", "preamble.bin", data)]),
        }
        for name, body in bodies.items():
            with self.subTest(name=name):
                status, _, page = self.post_body(body)
                self.assert_sent_page(status, page, name.encode())
                with open(self.stored(name), "rb") as f:
                    self.assertEqual(f.read(), data)

    def test_client_paths_and_references_give_the_base_name(self):
        source = make_file(self.sources, "photo-src.jpg", 3000, 1)
        with open(source, "rb") as f:
            data = f.read()
        cases = [("C:\\Documents and Settings\\ann\\photo.jpg", "photo.jpg", b"photo.jpg"),
                 ("/home/ann/unix-photo.jpg", "unix-photo.jpg", b"unix-photo.jpg"),
                 ("&#1055;&#1088;.txt", "\u041f\u0440.txt", b"&#1055;&#1088;.txt"),
                 ("\u00e9t\u00e9.txt", "\u00e9t\u00e9.txt", b"&#233;t&#233;.txt")]
        for sent, stored, shown in cases:
            with self.subTest(sent=sent):
                status, _, page = self.post_body(multipart([("file", sent, data)]))
                self.assert_sent_page(status, page, shown)
                self.assert_stored(stored, source)

    def test_names_that_would_leave_the_folder_or_open_a_device_stay_inside(self):
        outside = set(os.listdir(self.root)) | {"received"}
        cases = [("..&#92;..&#92;evil1.exe", ".._.._evil1.exe"),
                 ("..&#47;..&#47;evil2.exe", ".._.._evil2.exe"),
                 ("Z&#58;&#92;tmp&#92;evil3.exe", "Z__tmp_evil3.exe"),
                 ("stream.txt&#58;hidden", "stream.txt_hidden"),
                 ("CON", "_CON"), ("nul.txt", "_nul.txt"), ("COM1", "_COM1"), ("LPT1.log", "_LPT1.log"),
                 ("trailing.txt. .", "trailing.txt"), ("AUX&#46;", "_AUX")]
        for sent, stored in cases:
            with self.subTest(sent=sent):
                status, _, page = self.post_body(multipart([("file", sent, b"payload " + sent.encode())]))
                self.assertEqual(status, 200)
                self.assertIn(b"File Sent", page)
                with open(self.stored(stored), "rb") as f:
                    self.assertEqual(f.read(), b"payload " + sent.encode())
        for sent in ["..", "&#46;&#46;", ".", "C:\\dir\\"]:
            with self.subTest(sent=sent):
                status, _, page = self.post_body(multipart([("file", sent, b"x")]))
                self.assertEqual(status, 200)
                self.assertIn(b"<title>No File Specified</title>", page)
        self.assertEqual(set(os.listdir(self.root)), outside)
        self.assertFalse([n for n in os.listdir(self.received) if "evil" in n and not n.startswith((".._", "Z_"))])

    def test_names_the_file_system_refuses_get_the_conflict_page(self):
        before = set(os.listdir(self.received)) if os.path.isdir(self.received) else set()
        for sent in ["what?.txt", "star*.txt", "angle&#60;&#62;.txt", "pipe|.txt", "quote&#34;.txt", "tab\there.txt"]:
            with self.subTest(sent=sent):
                status, _, page = self.post_body(multipart([("file", sent, b"refused")]))
                self.assertEqual(status, 409)
                self.assertIn(b"<title>409 Conflict</title>", page)
                self.assertTrue(page.endswith(b"</address></body></html>"))
        # Nothing was stored under a rewritten name either.
        self.assertEqual(set(os.listdir(self.received)), before)

    def test_trailing_dots_and_spaces_never_replace_an_existing_file(self):
        source = make_file(self.sources, "keep-src.txt", 100, 6)
        status, _, page = self.post_form(source, name="keep.txt")
        self.assert_sent_page(status, page, b"keep.txt")
        before = set(os.listdir(self.received))
        for sent in ["keep.txt.", "keep.txt ", "keep.txt. ."]:
            with self.subTest(sent=sent):
                status, _, page = self.post_body(multipart([("file", sent, b"other " + sent.encode())]))
                self.assertEqual(status, 200)
                self.assertIn(b"File Sent", page)
                self.assert_stored("keep.txt", source)
                added = set(os.listdir(self.received)) - before
                self.assertEqual(len(added), 1, added)
                new = added.pop()
                before.add(new)
                with open(self.stored(new), "rb") as f:
                    self.assertEqual(f.read(), b"other " + sent.encode())

    def test_repeated_names_are_numbered_up_to_nine_then_refused(self):
        source = make_file(self.sources, "report-src.pdf", 5000, 2)
        expected = ["report.pdf"] + ["report(%d).pdf" % n for n in range(1, 10)]
        for name in expected:
            status, _, page = self.post_form(source, name="report.pdf")
            self.assert_sent_page(status, page, b"report.pdf")
            self.assert_stored(name, source)
        status, _, page = self.post_form(source, name="report.pdf")
        self.assertEqual(status, 409)
        self.assertIn(b"<title>409 Conflict</title>", page)
        self.assertIn(b"A file with the specified name already exists on the server.", page)
        self.assertEqual(sorted(n for n in os.listdir(self.received) if n.startswith("report")), sorted(expected))
        # A large refused body is read to its end, so the answer arrives intact.
        big = make_file(self.sources, "report-big.pdf", 3 * MiB, 3)
        status, _, page = self.post_form(big, name="report.pdf")
        self.assertEqual(status, 409)
        self.assertTrue(page.endswith(b"</address></body></html>"))
        # A client that sends its whole body before it reads: closing on unread data would
        # reset the connection under its send, and the answer with it.
        body = multipart([("file", "report.pdf", random.Random(5).randbytes(6 * MiB))])
        head = ("POST /send_file.post HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
                "boundary=%s\r\nContent-Length: %d\r\n\r\n" % (BOUNDARY, len(body))).encode()
        answer = raw_request(self.port, head + body, timeout=30, send_buffer=65536)
        self.assertTrue(answer.startswith(b"HTTP/1.1 409 Conflict\r\n"), answer[:60])
        self.assertTrue(answer.endswith(b"</address></body></html>"))

    def test_no_file_chosen_or_no_file_part_gives_the_no_file_page(self):
        bodies = [multipart([("file", "", b"")]),
                  multipart([("Filename", None, b"x.txt"), ("Upload", None, b"Submit Query")])]
        for body in bodies:
            with self.subTest(body=body[:60]):
                status, headers, page = self.post_body(body)
                self.assertEqual(status, 200)
                self.assertIn("Content-Type: text/html", headers)
                self.assertIn(b"<title>No File Specified</title>", page)
                self.assertIn(b'<a href="/send_file_form/">Try Again</a>', page)
        # curl's own empty file name.
        empty = make_file(self.sources, "empty-name.bin", 10, 4)
        status, _, page = curl(self.port, "/send_file.post", "-F", "file=@%s;filename=" % empty)
        self.assertIn(b"No File Specified", page)

    def test_posts_without_a_boundary_close_without_a_response(self):
        for request in [b"POST /send_file.post HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
                        b"POST /send_file.post HTTP/1.1\r\nContent-Type: multipart/form-data\r\n"
                        b"Content-Length: 3\r\n\r\nabc",
                        b"POST /send_file.post HTTP/1.1\r\nContent-Type: text/plain; boundary=x\r\n"
                        b"Content-Length: 3\r\n\r\nabc"]:
            with self.subTest(request=request[:70]):
                self.assertEqual(raw_request(self.port, request), b"")

    def test_a_client_that_waits_for_the_go_ahead_gets_it_before_sending_the_body(self):
        data = random.Random(11).randbytes(200000)
        body = multipart([("file", "waited.bin", data)])
        head = ("POST /send_file.post HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                "Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %d\r\n\r\n"
                % (BOUNDARY, len(body))).encode()
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(head)
            self.assertEqual(s.recv(4096), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(body)
            answer = read_until_closed(s)
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n"), answer[:100])
        with open(self.stored("waited.bin"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_twenty_concurrent_uploads_are_all_stored_exactly(self):
        sources = [make_file(self.sources, "c%02d.bin" % i, 300000 + i * 7919, 100 + i) for i in range(20)]

        def run(path):
            return self.post_form(path)

        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            results = list(pool.map(run, sources))
        for path, (status, _, page) in zip(sources, results):
            name = os.path.basename(path)
            self.assert_sent_page(status, page, name.encode())
            self.assert_stored(name, path)

    def test_a_client_that_goes_away_mid_upload_leaves_no_file_and_a_healthy_server(self):
        head = ("POST /send_file.post HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=%s\r\n"
                "Content-Length: %d\r\n\r\n" % (BOUNDARY, 10 * MiB)).encode()
        start = multipart([("file", "aborted.bin", b"")])[:-len(BOUNDARY) - 8]
        with socket.create_connection(("127.0.0.1", self.port)) as s:
            s.sendall(head + start + b"z" * (3 * MiB))
            deadline = time.time() + 30
            while not os.path.exists(self.stored("aborted.bin")) and time.time() < deadline:
                time.sleep(0.1)
            self.assertTrue(os.path.exists(self.stored("aborted.bin")))
        deadline = time.time() + 30
        while os.path.exists(self.stored("aborted.bin")) and time.time() < deadline:
            time.sleep(0.1)
        self.assertFalse(os.path.exists(self.stored("aborted.bin")))
        # Going away while the part headers are still being read, or before any body, ends the
        # connection too (tearDown counts the objects left).
        for partial in [head + start[:30], head]:
            with socket.create_connection(("127.0.0.1", self.port)) as s:
                s.sendall(partial)
                time.sleep(0.3)
        source = make_file(self.sources, "after-abort.bin", 100000, 6)
        status, _, page = self.post_form(source)
        self.assert_sent_page(status, page, b"after-abort.bin")
        self.assert_stored("after-abort.bin", source)


class Refusing(Uploads, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.make_folders()
        cls.source = make_file(cls.sources, "refused.bin", 1000, 7)

    @classmethod
    def tearDownClass(cls):
        cls.remove_folders()

    def test_uploads_off_closes_without_a_response_and_stores_nothing(self):
        self.received = os.path.join(self.root, "received-off")
        with ShareHost({"AllowUploads": 0, "UploadsDirectory": wine_path(self.received)}) as host:
            self.port = host.port
            status, _, body = self.post_form(self.source)
            self.assertEqual((status, body), (0, b""))
            self.assertFalse(os.path.exists(self.stored("refused.bin")))

    def test_a_login_is_required_when_a_password_is_set(self):
        settings = {"AllowUploads": 1, "UploadsDirectory": wine_path(self.received), "RequirePassword": 1,
                    "LoginUser": ("bytes", b"ann"), "LoginPassword": ("bytes", b"s3cret")}
        with ShareHost(settings) as host:
            self.port = host.port
            for extra in [(), ("-u", "ann:wrong")]:
                with self.subTest(extra=extra):
                    status, headers, body = self.post_form(self.source, *extra)
                    self.assertEqual(status, 401)
                    self.assertIn('WWW-Authenticate: Basic realm ="Password protected"', headers)
                    self.assertFalse(os.path.exists(self.stored("refused.bin")))
            status, _, body = self.post_form(self.source, "-u", "ann:s3cret")
            self.assert_sent_page(status, body, b"refused.bin")
            self.assert_stored("refused.bin", self.source)


if __name__ == "__main__":
    unittest.main()
