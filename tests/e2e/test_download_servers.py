"""The host against servers that answer differently: without ranges, with ranges, redirects,
logins, sizes that change, heads that never come, names that do not resolve and ports that
refuse. Each case ends in its exact status text; completed files are compared by sha256."""
import base64
import os
import shutil
import tempfile
import time
import unittest

from downloadhost import (BAD_HEAD, BAD_LOCATION, DOWNLOADING, IDLE_OBJECTS, MODIFIED, MOVED, NO_FILE_INFO,
                          NO_RESUME, NOT_FOUND, NOT_RESOLVED, PASSWORD, PAUSED, USER_AGENT, ZERO_SIZE, MiB,
                          DownloadCase, Nginx, PlainServer, ScriptedServer, free_port, make_file, parse_range,
                          ranged_answer)

USER, PASSWORD_TEXT = "wexa user", "pa ss w0rd"  # nginx ends a stored password at ":"


class Files:
    root = None

    @classmethod
    def make(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-www-")
        os.mkdir(os.path.join(cls.root, "private"))
        cls.big = make_file(cls.root, "big.bin", 6 * MiB + 3, seed=1)
        cls.secret = make_file(os.path.join(cls.root, "private"), "secret.bin", 2 * MiB, seed=3)
        open(os.path.join(cls.root, "empty.bin"), "wb").close()


def setUpModule():
    Files.make()


def tearDownModule():
    shutil.rmtree(Files.root, ignore_errors=True)


class OrdinaryServers(DownloadCase):
    @classmethod
    def setUpClass(cls):
        port = free_port()
        base = "http://127.0.0.1:%d" % port
        cls.nginx = Nginx(Files.root, port=port, users={USER: PASSWORD_TEXT}, redirects={
            # Two moves, the second through a host name that is looked up (in /etc/hosts).
            "/moved/start.bin": (301, base + "/moved/middle"),
            "/moved/middle": (301, "http://localhost:%d/big.bin" % port),
            "/temporary.bin": (302, base + "/big.bin"),
        }).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def test_server_without_ranges_gives_one_connection_and_no_resume(self):
        folder = self.new_folder()
        with PlainServer(Files.root) as server:
            host = self.start_host([server.url("/big.bin")], connections=8, folder=folder)
            path = host.wait_complete(1, 120)
            self.assertSameBytes(path, Files.big)
            self.assertIn(NO_RESUME, host.statuses(1))
            self.assertNotIn(DOWNLOADING, host.statuses(1))
            self.assertEqual([r[:2] for r in server.requests], [("HEAD", "/big.bin"), ("GET", "/big.bin")])
            self.finish(host)

    def test_ranged_server_downloads_resumable_over_many_connections(self):
        folder = self.new_folder()
        self.nginx.reset_log()
        host = self.start_host([self.nginx.url("/big.bin")], connections=4, folder=folder)
        self.assertSameBytes(host.wait_complete(1, 120), Files.big)
        self.assertIn(DOWNLOADING, host.statuses(1))
        entries = self.nginx.log_entries()
        self.assertEqual([(e[1], e[4], e[6]) for e in entries if e[4] == "HEAD"], [(206, "HEAD", "bytes=0-")])
        self.assertGreaterEqual(len([e for e in entries if e[4] == "GET" and e[1] == 206]), 4)
        self.finish(host)

    def test_two_moves_are_followed_and_keep_the_first_name(self):
        folder = self.new_folder()
        self.nginx.reset_log()
        host = self.start_host([self.nginx.url("/moved/start.bin")], connections=2, folder=folder)
        path = host.wait_complete(1, 120)
        self.assertEqual(path, os.path.join(folder, "start.bin"))
        self.assertSameBytes(path, Files.big)
        self.assertEqual(host.statuses(1).count(MOVED), 2)
        # One header request per location: a move starts one resolution, not one per step.
        heads = [e[5] for e in self.nginx.log_entries() if e[4] == "HEAD"]
        self.assertEqual(heads, ["/moved/start.bin", "/moved/middle", "/big.bin"])
        self.finish(host)

    def test_temporary_redirect_is_followed(self):
        folder = self.new_folder()
        host = self.start_host([self.nginx.url("/temporary.bin")], folder=folder)
        path = host.wait_complete(1, 120)
        self.assertEqual(path, os.path.join(folder, "temporary.bin"))
        self.assertSameBytes(path, Files.big)
        self.assertIn(MOVED, host.statuses(1))
        self.finish(host)

    def test_missing_and_empty_files(self):
        host = self.start_host([self.nginx.url("/no-such-file.bin"), self.nginx.url("/empty.bin")],
                               folder=self.new_folder())
        self.assertEqual(host.wait_failure(1), NOT_FOUND)
        self.assertEqual(host.wait_failure(2), ZERO_SIZE)
        self.finish(host)

    def test_login_is_refused_without_credentials_and_used_with_them(self):
        url = self.nginx.url("/private/secret.bin")
        folder = self.new_folder()
        host = self.start_host([url], folder=folder, exit_when_done=True)
        self.assertEqual(host.wait_exit(60), 1)
        self.assertIn(PASSWORD, host.statuses(1))

        self.setUp()  # forget the failed entry saved at exit
        folder = self.new_folder()
        host = self.start_host([url], connections=3, credentials="%s:%s" % (USER, PASSWORD_TEXT), folder=folder)
        self.assertSameBytes(host.wait_complete(1, 120), Files.secret)
        self.finish(host)


class OddServers(DownloadCase):
    def test_requests_carry_the_exact_lines(self):
        data = os.urandom(5000)
        with ScriptedServer(lambda head: ranged_answer(head, data)) as server:
            host = self.start_host([server.url("/dir/file.bin")], credentials="u:p", folder=self.new_folder())
            path = host.wait_complete(1, 60)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data)
            auth = base64.b64encode(b"u:p").decode()
            self.assertEqual(server.requests[0].decode(), (
                "HEAD /dir/file.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: %s\r\nAuthorization: Basic %s\r\n"
                "Range: bytes=0-\r\nConnection: close\r\n\r\n") % (USER_AGENT, auth))
            self.assertEqual(server.requests[1].decode(), (
                "GET /dir/file.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: %s\r\nAuthorization: Basic %s\r\n"
                "Range: bytes=0-4999\r\nConnection: close\r\n\r\n") % (USER_AGENT, auth))
            self.finish(host)

    def test_head_split_over_many_packets_with_a_stray_body(self):
        data = os.urandom(20000)

        def respond(head):
            reply = ranged_answer(head, data)
            if head.startswith(b"HEAD"):
                reply += b"stray body bytes"
            return reply
        with ScriptedServer(respond, chunk=7) as server:
            host = self.start_host([server.url("/split.bin")], folder=self.new_folder())
            with open(host.wait_complete(1, 60), "rb") as f:
                self.assertEqual(f.read(), data)
            self.finish(host)

    def test_broken_transfer_without_ranges_starts_over_from_the_first_byte(self):
        data = os.urandom(2 * MiB)
        gets = []

        def respond(head):
            reply = ranged_answer(head, data, accept_ranges=False, honour_range=False)
            if head.startswith(b"GET"):
                gets.append(parse_range(head))
                if len(gets) == 1:
                    return reply[:len(reply) - MiB]  # the connection breaks half way
            return reply
        with ScriptedServer(respond) as server:
            host = self.start_host([server.url("/whole.bin")], connections=4, folder=self.new_folder())
            with open(host.wait_complete(1, 60), "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertIn(NO_RESUME, host.statuses(1))
            self.assertEqual(gets[0], (0, len(data) - 1))
            self.assertLessEqual(len(gets), 3)
            self.finish(host)

    def test_pause_and_resume_without_ranges_fetches_everything_again(self):
        data = os.urandom(3 * MiB)
        gets = []

        def respond(head):
            if head.startswith(b"GET"):
                gets.append(parse_range(head))
            return ranged_answer(head, data, accept_ranges=False, honour_range=False)
        with ScriptedServer(respond, rate=MiB) as server:
            host = self.start_host([server.url("/plain.bin")], folder=self.new_folder())
            host.wait_status(1, NO_RESUME, 60)
            time.sleep(1)
            host.command("pause 1")
            host.wait_status(1, PAUSED)
            mark = host.mark()
            host.command("resume 1")
            with open(host.wait_complete(1, 60, after=mark), "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(gets, [(0, len(data) - 1)] * 2)
            self.finish(host)

    def test_restart_without_ranges_fetches_everything_again(self):
        data = os.urandom(3 * MiB)
        gets = []

        def respond(head):
            if head.startswith(b"GET"):
                gets.append(parse_range(head))
            return ranged_answer(head, data, accept_ranges=False, honour_range=False)
        folder = self.new_folder()
        with ScriptedServer(respond, rate=MiB) as server:
            host = self.start_host([server.url("/plain.bin")], folder=folder)
            host.wait_status(1, NO_RESUME, 60)
            time.sleep(1)
            self.assertEqual(host.quit(), 0)
            host = self.start_host()
            local = host.wait_complete(1, 60)
            self.assertEqual(local, os.path.join(folder, "plain.bin"))
            with open(local, "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(gets, [(0, len(data) - 1)] * 2)
            self.finish(host)

    def test_ranges_announced_but_every_get_answered_whole(self):
        # The header request gets a 206; the transfers get 200 with everything. Only the
        # connection that asked from byte 0 can use that; the others must not spin.
        data = os.urandom(3 * MiB)
        gets = []

        def respond(head):
            if head.startswith(b"GET"):
                gets.append(parse_range(head))
                return ranged_answer(head, data, honour_range=False)
            return ranged_answer(head, data)
        with ScriptedServer(respond, rate=3 * MiB) as server:
            host = self.start_host([server.url("/ignores.bin")], connections=4, folder=self.new_folder())
            with open(host.wait_complete(1, 60), "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertLess(len(gets), 20, gets)
            self.finish(host)

    def test_server_closing_without_a_head(self):
        with ScriptedServer(lambda head: b"") as server:
            host = self.start_host([server.url("/f.bin")], folder=self.new_folder())
            self.assertEqual(host.wait_failure(1), NO_FILE_INFO)
            self.finish(host)

    def test_refused_port(self):
        host = self.start_host(["http://127.0.0.1:%d/f.bin" % free_port()], folder=self.new_folder())
        self.assertEqual(host.wait_failure(1), NO_FILE_INFO)
        self.finish(host)

    def test_names_that_do_not_resolve(self):
        # The second is the one dotted text that parses to "no address" and is then looked up.
        host = self.start_host(["http://no-such-host.invalid/f.bin", "http://255.255.255.255/f.bin"],
                               folder=self.new_folder())
        self.assertEqual(host.wait_failure(1), NOT_RESOLVED)
        self.assertEqual(host.wait_failure(2), NOT_RESOLVED)
        self.finish(host)

    def test_heads_that_cannot_be_used(self):
        cases = {
            "/http10": (b"HTTP/1.0 206 Partial Content\r\nContent-Length: 10\r\nAccept-Ranges: bytes\r\n\r\n", BAD_HEAD),
            "/no-length": (b"HTTP/1.1 206 Partial Content\r\nAccept-Ranges: bytes\r\n\r\n", ZERO_SIZE),
            "/relative-move": (b"HTTP/1.1 301 Moved Permanently\r\nLocation: /elsewhere\r\n\r\n", BAD_LOCATION),
            "/server-error": (b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", BAD_HEAD),
        }

        def respond(head):
            path = head.split(b" ")[1].decode()
            return cases[path][0]
        with ScriptedServer(respond) as server:
            paths = list(cases)
            host = self.start_host([server.url(p) for p in paths], folder=self.new_folder())
            for entry_id, path in enumerate(paths, 1):
                with self.subTest(path=path):
                    self.assertEqual(host.wait_failure(entry_id), cases[path][1])
            self.finish(host)

    def test_size_changed_on_the_server_while_paused(self):
        state = {"data": os.urandom(3 * MiB)}

        def respond(head):
            return ranged_answer(head, state["data"])
        with ScriptedServer(respond, rate=400000) as server:
            host = self.start_host([server.url("/grows.bin")], connections=2, folder=self.new_folder())
            host.wait_status(1, DOWNLOADING, 60)
            time.sleep(1)
            host.command("pause 1")
            host.wait_status(1, PAUSED)
            self.assertEqual(host.wait_idle(), IDLE_OBJECTS)
            state["data"] += b"more"
            mark = host.mark()
            host.command("resume 1")
            host.wait_status(1, MODIFIED, after=mark)
            self.finish(host)


if __name__ == "__main__":
    unittest.main()
