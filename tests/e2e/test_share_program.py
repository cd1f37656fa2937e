"""The share program with its window, end to end under Wine and a virtual display: first run
and the Welcome dialog's port choice, serving a prepared share to curl and writing it back at
exit, the single-instance guard, the Share tab's lists (dropped files, Remove, Clear,
connection rows) and the status line. GuiDriver.exe reads and drives the windows from outside.

Dropped files: GuiDriver posts WM_DROPFILES with a DROPFILES block it writes into the
program's memory (VirtualAllocEx), which is what the shell hands a window after a drag; the
program then runs its real drop path (DragQueryFile, FileHandler::addFile, DragFinish)."""
import hashlib
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from guidriver import PROGRAM, QUIET, PortBlocker, ProgramProcess, driver, screenshot
from sharehost import (WINE, curl, free_port, read_value, share_list, wine_env,
                       wine_path, write_settings)

FILE_PANEL_SHARE_FILES, REMOVE, CLEAR = 1001, 1003, 1005
MENU_ABOUT = 41
VK_DELETE = 0x2E
IMAGE_RECEIVING, IMAGE_CLOSED = 101, 102
# The Welcome dialog's automatic choice turns UPnP on, whose gateway search multicasts: the
# module runs in a loopback-only namespace of its own, where nothing it sends can leave.
E2E_NETNS = True

def sha(data):
    return hashlib.sha256(data).hexdigest()


def port_is_free(port):
    with socket.socket() as s:
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


class Program(ProgramProcess):
    """The running WexaShare.exe and its windows."""

    def wait_main(self, timeout=60):
        self.main = driver("wait", "WexaShare", "Wexa-Share", timeout, timeout=timeout + 30).strip()
        lists = [line.split("\t")[0] for line in driver("children", self.main, "SysListView32").splitlines()]
        self.file_list, self.connection_list = lists[0], lists[1]
        self.file_panel = driver("parent", self.file_list).strip()
        self.connection_panel = driver("parent", self.connection_list).strip()
        self.status_bar = driver("children", self.main, "msctls_statusbar32").split("\t")[0]
        return self

    def rows(self, which):
        out = driver("rows", self.file_list if which == "files" else self.connection_list)
        return [line.split("\t") for line in out.splitlines() if line]

    def wait_rows(self, which, predicate, timeout=30):
        deadline = time.time() + timeout
        while True:
            rows = self.rows(which)
            if predicate(rows):
                return rows
            if time.time() > deadline:
                raise AssertionError("rows never matched: %r" % rows)
            time.sleep(0.3)

    def status(self, part):
        return driver("status", self.status_bar, part).strip()


class Files:
    root = None

    @classmethod
    def make(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-program-")
        cls.data = {}
        for name, size in (("alpha.bin", 70000), ("beta.txt", 1234), ("big.bin", 24 * 1024 * 1024)):
            data = os.urandom(size)
            with open(os.path.join(cls.root, name), "wb") as f:
                f.write(data)
            cls.data[name] = data
        cls.folder = os.path.join(cls.root, "photos")
        os.mkdir(cls.folder)
        with open(os.path.join(cls.folder, "one.jpg"), "wb") as f:
            f.write(b"jpeg")

    @classmethod
    def path(cls, name):
        return os.path.join(cls.root, name)


def setUpModule():
    Files.make()


def tearDownModule():
    shutil.rmtree(Files.root, ignore_errors=True)


class FirstRun(unittest.TestCase):
    """An empty key: the Welcome dialog comes first; closing it picks a free port; the key is
    written complete."""

    EXPECTED_TYPES = {
        "NotFirstRun": "REG_NONE", "RememberShare": "REG_DWORD", "RememberConnections": "REG_DWORD",
        "SharePort": "REG_DWORD", "EnableUPnP": "REG_DWORD", "DetectLocalIP": "REG_DWORD",
        "LocalIPIndex": "REG_DWORD", "AutoDetectAddress": "REG_DWORD", "AutoUpdate": "REG_DWORD",
        "ServerAddress": "REG_SZ", "LocalAddress": "REG_SZ", "UserName": "REG_SZ",
        "RequirePassword": "REG_DWORD", "LoginUser": "REG_SZ", "LoginPassword": "REG_SZ",
        "SingleDirIsRoot": "REG_DWORD", "UseIcons": "REG_DWORD", "RememberStats": "REG_DWORD",
        "SentBytes": "REG_QWORD", "ReceivedBytes": "REG_QWORD", "AllowUploads": "REG_DWORD",
        "SWFUpload": "REG_DWORD", "MinimizeFunction": "REG_DWORD", "UploadsDirectory": "REG_SZ",
    }

    def first_run(self, blocked):
        write_settings({})
        program = Program()
        try:
            with PortBlocker(*blocked):
                welcome = driver("wait", "#32770", "Welcome to Wexa-Share!", 60, timeout=90).strip()
                # No main window until the dialog is dealt with.
                self.assertEqual(driver("find", "WexaShare", check=False), "")
                screenshot("welcome")
                # The title bar's close button: the automatic choice.
                driver("close", welcome)
                program.wait_main()
            program.exit()
        finally:
            program.kill()
        port_type, port = read_value("SharePort")
        return int(port, 16)

    def test_closing_welcome_picks_80_when_free(self):
        if not port_is_free(80):
            self.skipTest("port 80 is taken on this host")
        self.assertEqual(self.first_run(blocked=()), 80)

    def test_closing_welcome_picks_8080_when_80_is_taken_and_writes_every_value(self):
        if not port_is_free(80) or not port_is_free(8080):
            self.skipTest("ports 80/8080 are not both free on this host")
        self.assertEqual(self.first_run(blocked=(80,)), 8080)
        for name, kind in self.EXPECTED_TYPES.items():
            value = read_value(name)
            self.assertIsNotNone(value, name)
            self.assertEqual(value[0], kind, name)
        self.assertEqual(read_value("UserName")[1] != "", True)
        self.assertTrue(read_value("UploadsDirectory")[1].endswith("\\Wexa-Share Received"))

    def test_all_candidates_taken_keeps_the_stored_port(self):
        # Only the four fixed candidates can be blocked: the random ones are tried after them,
        # so this checks the order (80, 8080, 5555, 8777 before any random port).
        fixed = (80, 8080, 5555, 8777)
        if not all(port_is_free(p) for p in fixed):
            self.skipTest("a fixed candidate port is taken on this host")
        port = self.first_run(blocked=fixed)
        self.assertTrue(5500 <= port <= 15500 and port not in fixed, port)


class PreparedShare(unittest.TestCase):
    """Shares, port and options from the registry: served to curl, written back at exit."""

    def start(self, **extra):
        self.port = free_port()
        settings = dict(QUIET)
        settings.update({
            "SharePort": self.port,
            "AllowUploads": 0,
            "ShareList": share_list([(Files.path("alpha.bin"), 5), (Files.path("beta.txt"), 0),
                                     (Files.path("big.bin"), 0)]),
        })
        settings.update(extra)
        write_settings(settings)
        self.program = Program()
        self.addCleanup(self.program.kill)
        self.program.wait_main()
        self.program.wait_rows("files", lambda rows: len(rows) == 3)
        self.wait_listening()

    def wait_listening(self, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    return
            time.sleep(0.3)
        self.fail("the program never listened on %d" % self.port)

    def test_serves_shares_and_writes_totals_back_at_exit(self):
        self.start()
        rows = self.program.rows("files")
        self.assertEqual([r[2] for r in rows], ["alpha.bin", "beta.txt", "big.bin"])
        self.assertEqual(rows[0][6], wine_path(Files.path("alpha.bin")))
        status, _, body = curl(self.port, "/alpha.bin")
        self.assertEqual((status, sha(body)), (200, sha(Files.data["alpha.bin"])))
        status, _, body = curl(self.port, "/beta.txt")
        self.assertEqual((status, sha(body)), (200, sha(Files.data["beta.txt"])))
        self.assertIn("http://", self.program.status(1))
        screenshot("main-share-tab")
        driver("command", self.program.main, MENU_ABOUT)
        about = driver("wait", "#32770", "About Wexa-Share", 30, timeout=60).strip()
        self.assertIn("Wexa-Share/1.2.1", driver("children", about, "Static"))
        screenshot("about")
        driver("command", about, 1)
        driver("gone", about, 30)
        self.assertEqual(self.program.exit(), 0)
        kind, text = read_value("ShareList")
        self.assertEqual(kind, "REG_MULTI_SZ")
        # reg prints the strings joined by "\0".
        parts = text.split("\\0")
        self.assertEqual(parts[0:6], [wine_path(Files.path("alpha.bin")), str(5 + 70000),
                                      wine_path(Files.path("beta.txt")), "1234",
                                      wine_path(Files.path("big.bin")), "0"])

    def test_second_instance_exits_at_once_without_a_window(self):
        self.start()
        started = time.time()
        second = subprocess.run([WINE, PROGRAM], env=wine_env(), timeout=60, capture_output=True)
        self.assertEqual(second.returncode, 0)
        self.assertLess(time.time() - started, 20)
        self.assertEqual(driver("count", "WexaShare").strip(), "1")
        self.assertEqual(self.program.exit(), 0)

    def test_dropped_remove_and_clear(self):
        self.start()
        extra = os.path.join(Files.root, "dropped.txt")
        with open(extra, "wb") as f:
            f.write(b"dropped")
        # A new file and a folder are added; a file already shared changes nothing.
        driver("drop", self.program.main, wine_path(extra), wine_path(Files.folder),
               wine_path(Files.path("alpha.bin")))
        rows = self.program.wait_rows("files", lambda rows: len(rows) == 5)
        by_name = {r[2]: r for r in rows}
        self.assertIn("dropped.txt", by_name)
        self.assertIn("photos/", by_name)
        self.assertEqual(by_name["photos/"][1], "3")   # the folder image
        status, _, body = curl(self.port, "/dropped.txt")
        self.assertEqual((status, body), (200, b"dropped"))

        # Remove: select two rows and press Delete in the list.
        names = [r[2] for r in rows]
        driver("select", self.program.file_list, names.index("beta.txt"), names.index("dropped.txt"))
        driver("key", self.program.file_list, VK_DELETE)
        rows = self.program.wait_rows("files", lambda rows: len(rows) == 3)
        self.assertNotIn("beta.txt", [r[2] for r in rows])
        self.assertEqual(curl(self.port, "/beta.txt")[0], 404)

        # The page command "Remove" acts on the selection too.
        driver("select", self.program.file_list, 0)
        driver("command", self.program.file_panel, REMOVE)
        self.program.wait_rows("files", lambda rows: len(rows) == 2)

        driver("command", self.program.file_panel, CLEAR)
        self.program.wait_rows("files", lambda rows: rows == [])
        self.assertEqual(curl(self.port, "/alpha.bin")[0], 404)
        self.assertEqual(self.program.exit(), 0)

    def download_rows(self, keep):
        """Starts a slow download of big.bin (about 24 s, so a loaded machine still paints its speed);
        returns (rows while running, rows after)."""
        self.start(RememberConnections=1 if keep else 0)
        client = subprocess.Popen(["curl", "-s", "-o", os.devnull, "--limit-rate", "1M",
                                   "http://127.0.0.1:%d/big.bin" % self.port])
        try:
            running = self.program.wait_rows(
                "connections",
                lambda rows: any(r[4] == "big.bin" and r[0] != "0" and 0 <= int(r[1]) <= 100 for r in rows),
                timeout=60)
            speed_seen = self.program.wait_rows(
                "connections", lambda rows: any(r[4] == "big.bin" and r[5].endswith("/s") for r in rows),
                timeout=30)
            self.assertEqual(client.wait(120), 0)
        finally:
            if client.poll() is None:
                client.kill()
        return running + speed_seen

    def test_download_row_then_closed_when_kept(self):
        running = self.download_rows(keep=True)
        row = [r for r in running if r[4] == "big.bin"][0]
        self.assertTrue(row[3].startswith("127.0.0.1:"), row[3])
        after = self.program.wait_rows(
            "connections", lambda rows: any(r[0] == "0" and r[1] == str(IMAGE_CLOSED) for r in rows))
        closed = [r for r in after if r[4] == "big.bin"][0]
        self.assertEqual(closed[5], "")   # no speed on a closed row
        # "Clear Closed Connections" removes it.
        driver("command", self.program.connection_panel, 1007)
        self.program.wait_rows("connections", lambda rows: rows == [])
        self.assertEqual(self.program.exit(), 0)

    def test_download_row_disappears_when_not_kept(self):
        self.download_rows(keep=False)
        self.program.wait_rows("connections", lambda rows: not any(r[4] == "big.bin" for r in rows))
        self.assertEqual(self.program.exit(), 0)

    def test_status_line_shows_port_unavailable_without_a_listener(self):
        port = free_port()
        with PortBlocker(port):
            settings = dict(QUIET)
            settings.update({"SharePort": port})
            write_settings(settings)
            self.program = Program()
            self.addCleanup(self.program.kill)
            self.program.wait_main()
            deadline = time.time() + 30
            while self.program.status(2) != "Status: Port Unavailable" and time.time() < deadline:
                time.sleep(0.3)
            self.assertEqual(self.program.status(2), "Status: Port Unavailable")
            # The URL still carries the configured port.
            self.assertEqual(self.program.status(1), "http://serveraddress:%d/" % port)
        self.assertEqual(self.program.exit(), 0)


if __name__ == "__main__":
    unittest.main()
