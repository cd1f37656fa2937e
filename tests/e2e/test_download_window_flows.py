"""The downloader's window in the flows that wait on the user or on time, end to end under Wine:
the Download Password dialog for a 401 (also held back while the window is minimised), the
automatic retry of a download whose server went away (and none for a paused one), the exit
question for a download that cannot resume, the share program's exit request (WM_COPYDATA 33)
with the list saved, the tray modes, and the About box."""
import os
import re
import socket
import threading
import time
import unittest

from downloadhost import (DOWNLOADING, NO_RESUME, PAUSED, MiB, Nginx, ScriptedServer, parse_downloads_list,
                          ranged_answer, read_downloads_list)
from downloadwindow import ABOUT, CLOSE_TO_TRAY, EXIT, IDNO, IDOK, IDYES, PAUSE, children
from guidriver import driver, screenshot, wait_for
from sharehost import make_file, read_value
from test_download_window import WindowCase

WM_SYSCOMMAND, SC_MINIMIZE, SC_RESTORE, SC_KEYMENU = 0x112, 0xF020, 0xF120, 0xF100
VK_ESCAPE = 0x1B


class RefusingPort:
    """Takes a port while its server is away: accepts and closes every connection, counting them."""

    def __init__(self, port):
        self.accepted = 0
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # The killed server's worker may hold the port a moment longer.
        deadline = time.time() + 20
        while True:
            try:
                self.sock.bind(("127.0.0.1", port))
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.2)
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.accepted += 1
            conn.close()

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


def tray_tips():
    return driver("tips").splitlines()


def tip_rate():
    """The rate the downloader's tray tip shows, in bytes per second, or None."""
    units = {"bytes": 1, "kb": 1024, "MB": 1024 * 1024, "GB": 1024 ** 3}
    for tip in tray_tips():
        match = re.fullmatch(r"Wexa-Share Downloader - ([\d.]+) (bytes|kb|MB|GB)/s", tip)
        if match and float(match.group(1)) > 0:
            return float(match.group(1)) * units[match.group(2)]
    return None


class Password(WindowCase):
    def login(self, window, title, user, password, shot=None):
        dialog = window.dialog(title)
        if shot:
            time.sleep(1)
            screenshot(shot)
        edits = children(dialog, "Edit")
        driver("settext", edits[0][0], user)
        driver("settext", edits[1][0], password)
        driver("notify-click", dialog, IDOK)
        driver("gone", dialog, 30)

    def test_401_asks_for_a_login_and_completes_with_it(self):
        os.makedirs(os.path.join(self.source, "private"))
        path = make_file(os.path.join(self.source, "private"), "locked.bin", 3 * MiB, 5)
        server = Nginx(self.source, users={"alice": "s3cret"}).start()
        self.addCleanup(server.stop)
        window = self.open_window()
        window.type_url(server.url("/private/locked.bin"))
        entry = window.wait_rows(1)[0][0]
        self.login(window, "locked.bin", "alice", "s3cret", "download_password_dialog")
        window.wait_complete(entry)
        self.assertSameBytes(os.path.join(self.folder, "locked.bin"), path)
        self.assertEqual(window.exit(), 0)

    def test_dialog_waits_while_minimised_and_opens_on_restore(self):
        os.makedirs(os.path.join(self.source, "private"))
        path = make_file(os.path.join(self.source, "private"), "later.bin", 2 * MiB, 6)
        server = Nginx(self.source, users={"bob": "pw"}).start()
        self.addCleanup(server.stop)
        window = self.open_window()
        driver("post", window.main, WM_SYSCOMMAND, SC_MINIMIZE, 0)
        wait_for("minimised", lambda: window.visible()[1])
        window.type_url(server.url("/private/later.bin"))
        entry = window.wait_rows(1)[0][0]
        wait_for("the 401", lambda: any(e[1] == 401 for e in server.log_entries()))
        time.sleep(2)
        self.assertEqual(driver("count", "#32770").strip(), "0", "the dialog opened while minimised")
        driver("post", window.main, WM_SYSCOMMAND, SC_RESTORE, 0)
        self.login(window, "later.bin", "bob", "pw", "download_password_after_restore")
        window.wait_complete(entry)
        self.assertSameBytes(os.path.join(self.folder, "later.bin"), path)
        self.assertEqual(window.exit(), 0)


class Retry(WindowCase):
    def test_server_gone_is_retried_until_it_is_back_and_a_paused_one_is_not(self):
        server, path = self.serve("retried.bin", 16 * MiB, limit_rate="1m")
        make_file(self.source, "held.bin", 16 * MiB, 7)
        window = self.open_window()
        window.type_url(server.url("/retried.bin"))
        window.type_url(server.url("/held.bin"))
        rows = window.wait_rows(2)
        retried, held = rows[0][0], rows[1][0]
        window.select(held)
        window.wait_status(DOWNLOADING)
        window.click(window.details, PAUSE)
        window.wait_status(PAUSED)
        window.select(retried)
        window.wait_status(DOWNLOADING)
        time.sleep(2)
        server.kill()
        port = RefusingPort(server.port)
        try:
            # Each retry asks again; two of them fit into 25 seconds.
            wait_for("two retries", lambda: port.accepted >= 2, 40)
        finally:
            port.close()
        server.reset_log()
        server.start()
        window.wait_complete(retried, 120)
        self.assertSameBytes(os.path.join(self.folder, "retried.bin"), path)
        window.select(held)
        self.assertEqual(window.status(), PAUSED)
        self.assertFalse([e for e in server.log_entries() if e[5] == "/held.bin"],
                         "the paused download was asked for again")
        self.assertEqual(window.exit(), 0)


class Exit(WindowCase):
    def plain_server(self, size):
        data = os.urandom(size)
        server = ScriptedServer(lambda head: ranged_answer(head, data, accept_ranges=False, honour_range=False),
                                rate=MiB)
        server.__enter__()
        self.addCleanup(server.__exit__)
        return server

    def test_question_only_for_a_running_download_that_cannot_resume(self):
        server = self.plain_server(40 * MiB)
        window = self.open_window()
        window.type_url(server.url("/plain.bin"))
        entry = window.wait_rows(1)[0][0]
        window.select(entry)
        window.wait_status(NO_RESUME)
        # Pausing it would lose the progress too: asked first, and No keeps it running.
        window.click(window.details, PAUSE)
        window.answer("Download NOT Resumable", IDNO)
        time.sleep(1)
        self.assertEqual(window.status(), NO_RESUME)
        driver("command", window.main, EXIT)
        window.answer("Download NOT Resumable", IDNO)
        time.sleep(1)
        self.assertTrue(window.running())
        driver("command", window.main, EXIT)
        window.answer("Download NOT Resumable", IDYES)
        self.assertEqual(window.wait_exit(), 0)

    def test_resumable_downloads_exit_without_a_question_and_the_list_is_saved(self):
        server, path = self.serve("kept.bin", 16 * MiB, limit_rate="1m")
        window = self.open_window()
        entry = window.start(server.url("/kept.bin"))
        time.sleep(2)
        # The share program's exit request before it installs an update.
        self.assertEqual(driver("copydata", window.main, 33).strip(), "1")
        self.assertEqual(window.wait_exit(), 0)
        saved = parse_downloads_list(read_downloads_list())
        self.assertEqual(len(saved), 1)
        local, url, flag, size, connections, credentials, ranges = saved[0]
        self.assertEqual((url, flag, size), (server.url("/kept.bin"), "1", 16 * MiB))
        self.assertTrue(ranges)
        self.assertKeptBytesMatch(os.path.join(self.folder, "kept.bin"), path, ranges)
        # The next start continues it to the same bytes.
        window = self.open_window(folder=None)  # the key as the first run left it
        entry = window.wait_rows(1)[0][0]
        window.wait_complete(entry, 120)
        self.assertSameBytes(os.path.join(self.folder, "kept.bin"), path)
        self.assertEqual(window.exit(), 0)

    def test_any_other_copydata_only_brings_the_window_forward(self):
        window = self.open_window()
        self.assertEqual(driver("copydata", window.main, 7).strip(), "1")
        time.sleep(1)
        self.assertTrue(window.running())
        self.assertEqual(window.exit(), 0)


class Tray(WindowCase):
    def test_minimize_to_tray_hides_and_the_icon_brings_it_back(self):
        window = self.open_window(tray_mode=0)
        driver("post", window.main, WM_SYSCOMMAND, SC_MINIMIZE, 0)
        wait_for("hidden", lambda: not window.visible()[0])
        window.tray_double_click()
        wait_for("shown and restored", lambda: window.visible() == (True, False))
        self.assertEqual(window.exit(), 0)

    def test_close_to_tray_keeps_running_until_exit(self):
        window = self.open_window(tray_mode=1)
        driver("close", window.main)
        wait_for("hidden", lambda: not window.visible()[0])
        time.sleep(1)
        self.assertTrue(window.running())
        window.tray_double_click()
        wait_for("shown", lambda: window.visible()[0])
        self.assertEqual(window.exit(), 0)

    def test_tip_shows_the_8_second_rate_and_falls_to_zero_after_the_download(self):
        server, path = self.serve("tip.bin", 6 * MiB, limit_rate="512k")
        window = self.open_window(tray_mode=0)
        self.assertIn("Wexa-Share Downloader", tray_tips())
        window.type_url(server.url("/tip.bin"))
        entry = window.wait_rows(1)[0][0]
        # The first rate shown averages a second or two of 512 kb/s over eight seconds.
        rate = wait_for("a rate in the tip", lambda: tip_rate(), 20)
        self.assertLessEqual(rate, 300 * 1024)
        time.sleep(9)
        self.assertGreater(tip_rate(), 300 * 1024)
        window.wait_complete(entry, 60)
        self.assertSameBytes(os.path.join(self.folder, "tip.bin"), path)
        wait_for("the tip back at 0", lambda: "Wexa-Share Downloader - 0 bytes/s" in tray_tips(), 20)
        self.assertEqual(window.exit(), 0)

    def test_menu_choice_is_saved(self):
        window = self.open_window()
        driver("command", window.main, CLOSE_TO_TRAY)
        wait_for("saved", lambda: (read_value("DLMinimizeFunction") or ("", ""))[1] == "0x1")
        # The Options menu as it opens: the folder as an item, the chosen mode checked.
        driver("post", window.main, WM_SYSCOMMAND, SC_KEYMENU, ord("o"))
        time.sleep(1.5)
        screenshot("download_options_menu")
        driver("key", window.main, VK_ESCAPE)
        self.assertEqual(window.exit(), 0)


class About(WindowCase):
    def test_about_box_names_the_version(self):
        window = self.open_window()
        driver("command", window.main, ABOUT)
        box = window.dialog("About Wexa-Share Downloader")
        text = [c[4] for c in children(box, "Static") if c[4]]
        self.assertTrue(any(t.startswith("Wexa-Share/1.2.1") for t in text), text)
        screenshot("download_about")
        driver("notify-click", box, 2)
        driver("gone", box, 30)
        self.assertEqual(window.exit(), 0)


if __name__ == "__main__":
    unittest.main()
