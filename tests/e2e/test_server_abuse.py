"""Clients that misbehave on purpose: thousands of requests closed before their answer is read,
in every way a client can close. Each connection must end and free its object.

WEXA_ABUSE_REPEAT repeats the whole run (default 1); WEXA_ABUSE_CLIENTS sets the closes per
answer kind and closing style (default 1000)."""
import base64
import concurrent.futures
import os
import shutil
import socket
import struct
import tempfile
import time
import unittest

from sharehost import ShareHost, raw_request, share_list, wine_path

REPEAT = int(os.environ.get("WEXA_ABUSE_REPEAT", "1"))
CLIENTS = int(os.environ.get("WEXA_ABUSE_CLIENTS", "1000"))
BOUNDARY = "----WexaAbuseBoundary"
LOGIN = "Authorization: Basic %s\r\n" % base64.b64encode(b"ann:s3cret").decode()


def post(name, login=True, with_file=True):
    """A whole multipart upload request of a tiny file called name."""
    if with_file:
        part = ('--%s\r\nContent-Disposition: form-data; name="file"; filename="%s"\r\n'
                'Content-Type: application/octet-stream\r\n\r\nhello\r\n' % (BOUNDARY, name))
    else:
        part = '--%s\r\nContent-Disposition: form-data; name="note"\r\n\r\nhello\r\n' % BOUNDARY
    body = (part + "--%s--\r\n" % BOUNDARY).encode()
    head = ("POST /send_file_form/send_file.post HTTP/1.1\r\nHost: 127.0.0.1\r\n%s"
            "Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %d\r\n\r\n"
            % (LOGIN if login else "", BOUNDARY, len(body)))
    return head.encode() + body


def get(path, login=True):
    return ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (path, LOGIN if login else "")).encode()


def send_and_close(port, data, style):
    """Sends one whole request and leaves without reading: close (FIN), reset or half-close."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    try:
        s.sendall(data)
        if style == "reset":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif style == "half":
            s.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    finally:
        s.close()


class Folders:
    @classmethod
    def make(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-abuse-")
        cls.share = os.path.join(cls.root, "share")
        cls.received = os.path.join(cls.root, "received")
        os.makedirs(os.path.join(cls.share, "folder"))
        os.mkdir(cls.received)
        for i in range(20):
            with open(os.path.join(cls.share, "folder", "item%02d.txt" % i), "wb") as f:
                f.write(b"x" * i)
        with open(os.path.join(cls.share, "small.bin"), "wb") as f:
            f.write(b"s" * 3000)

    @classmethod
    def settings(cls, **extra):
        settings = {"ShareList": share_list([(cls.share, 0)]), "SingleDirIsRoot": 0, "AllowUploads": 1,
                    "UploadsDirectory": wine_path(cls.received), "RequirePassword": 1,
                    "LoginUser": ("bytes", b"ann"), "LoginPassword": ("bytes", b"s3cret")}
        settings.update(extra)
        return settings


def wait_for_count(host, expected, seconds):
    deadline = time.time() + seconds
    count = host.object_count()
    while count != expected and time.time() < deadline:
        time.sleep(0.2)
        count = host.object_count()
    return count


class EarlyCloses(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        Folders.make()
        cls.log = os.path.join(Folders.root, "host.log")
        cls.host = ShareHost(Folders.settings(), env={"WEXA_HOST_LOG": wine_path(cls.log)}).__enter__()
        cls.port = cls.host.port
        cls.baseline = cls.host.object_count()
        # Ten taken names: an upload of "taken.txt" finds no free name and gets a 409.
        for name in ["taken.txt"] + ["taken(%d).txt" % n for n in range(1, 10)]:
            with open(os.path.join(Folders.received, name), "wb") as f:
                f.write(b"old")

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)
        shutil.rmtree(Folders.root, ignore_errors=True)

    def kinds(self):
        counter = iter(range(1 << 30))
        return {
            "404": lambda: get("/nope"),
            "401": lambda: get("/share/folder/", login=False),
            "index": lambda: get("/share/folder/"),
            "zip": lambda: get("/share/folder/?zip"),
            "upload 401": lambda: post("a.txt", login=False),
            "upload 409": lambda: post("taken.txt"),
            "no file specified": lambda: post("", with_file=False),
            "file sent": lambda: post("sent%d.txt" % next(counter)),
        }

    def clear_received(self):
        sent = [name for name in os.listdir(Folders.received) if name.startswith("sent")]
        for name in sent:
            os.unlink(os.path.join(Folders.received, name))
        return len(sent)

    def logged_errors(self):
        """The host's log entries without their times, with the count of each, for a failure's message."""
        counts = {}
        with open(self.log, "rb") as f:
            for entry in f.read().decode("utf-16", "replace").split("\r\n\r\n"):
                entry = entry.split("\t", 1)[-1].replace("\r\n", " / ").strip()
                if entry:
                    counts[entry] = counts.get(entry, 0) + 1
        return "host log: %r" % sorted(counts.items(), key=lambda kv: -kv[1])[:20]

    def small_file(self):
        """One whole answer. Queued behind a batch, it also tells that the server has accepted every
        connection of the batch: until then the kernel holds them, and the object count misses them."""
        return raw_request(self.port, get("/share/small.bin"), timeout=60)

    def test_every_early_close_frees_its_connection(self):
        leaks = []
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            for round_number in range(REPEAT):
                for kind, request in self.kinds().items():
                    for style in ("close", "reset", "half"):
                        list(pool.map(lambda _: send_and_close(self.port, request(), style), range(CLIENTS)))
                        self.small_file()
                        left = wait_for_count(self.host, self.baseline, 10)
                        if left != self.baseline:
                            leaks.append("round %d, %s, %s: %d objects stay" % (round_number, kind, style,
                                                                                left - self.baseline))
                            # Later cases are judged on their own.
                            self.baseline = left
                # The uploads really ran (those cut by a reset leave no file).
                self.assertGreater(self.clear_received(), 0, self.logged_errors())
        self.assertEqual(leaks, [])
        # The server still answers.
        data = self.small_file()
        self.assertTrue(data.startswith(b"HTTP/1.1 200 OK\r\n"))
        self.assertTrue(data.endswith(b"s" * 3000))


if __name__ == "__main__":
    unittest.main()
