"""The downloader's window where events cross each other, end to end under Wine: the exit question
open while more exit orders arrive (the share program's, the tray's), Cancel and the tray's Exit
that asks nothing, a download that completes while its Remove question is open, the tray icon
after the shell has lost it, double-clicks on finished and unfinished downloads, the wanted
count of a download without resume support, and the selected download's details refreshing
while another download runs beside it."""
import os
import time
import unittest

from downloadhost import COMPLETE, DOWNLOADING, NO_RESUME, MiB, Nginx, ScriptedServer, ranged_answer
from downloadwindow import COL_CONNECTIONS, EXIT, IDCANCEL, IDNO, IDYES, REMOVE, TAB_CONNECTIONS
from guidriver import driver, wait_for
from sharehost import make_file
from test_download_window import WindowCase

WM_COMMAND, WM_SYSCOMMAND, SC_MINIMIZE = 0x111, 0x112, 0xF020
TRAY_EXIT = 123
QUESTION = "Download NOT Resumable"


def tray_tips():
    return driver("tips").splitlines()


class EventsCase(WindowCase):
    def plain_server(self, size, rate=MiB):
        """A server without ranges: its downloads cannot resume."""
        data = os.urandom(size)
        server = ScriptedServer(lambda head: ranged_answer(head, data, accept_ranges=False, honour_range=False),
                                rate=rate)
        server.__enter__()
        self.addCleanup(server.__exit__)
        return server

    def unresumable(self, window, name="plain.bin"):
        server = self.plain_server(64 * MiB)
        window.type_url(server.url("/" + name))
        entry = window.wait_rows(1)[0][0]
        window.select(entry)
        window.wait_status(NO_RESUME)
        return entry

    def question_count(self):
        return int(driver("count", "#32770").strip())


class ExitQuestion(EventsCase):
    def test_question_opens_once_whatever_else_asks_to_exit_and_no_or_cancel_keep_it_running(self):
        window = self.open_window()
        self.unresumable(window)
        # The share program's exit order is answered at once, though it opens the question.
        started = time.time()
        self.assertEqual(driver("copydata", window.main, 33).strip(), "1")
        self.assertLess(time.time() - started, 10)
        box = window.dialog(QUESTION)
        # A second order and the tray's Exit while it is open: no second question, no exit.
        self.assertEqual(driver("copydata", window.main, 33).strip(), "1")
        driver("post", window.main, WM_COMMAND, EXIT, TRAY_EXIT)
        time.sleep(2)
        self.assertEqual(self.question_count(), 1)
        driver("notify-click", box, IDNO)
        driver("gone", box, 30)
        time.sleep(1)
        self.assertTrue(window.running())
        self.assertEqual(self.question_count(), 0)
        driver("command", window.main, EXIT)
        window.answer(QUESTION, IDCANCEL)
        time.sleep(1)
        self.assertTrue(window.running())
        # The tray's Exit asks nothing, even with the download that cannot resume.
        driver("post", window.main, WM_COMMAND, EXIT, TRAY_EXIT)
        self.assertEqual(window.wait_exit(60), 0)


class RemoveQuestion(EventsCase):
    def test_download_that_completes_while_asked_keeps_its_file(self):
        make_file(self.source, "soon.bin", 3 * MiB, 3)
        server = Nginx(self.source, limit_rate="1m").start()
        self.addCleanup(server.stop)
        window = self.open_window()
        entry = window.start(server.url("/soon.bin"))
        window.click(window.details, REMOVE)
        box = window.dialog("Wexa-Share Downloader")
        wait_for("the download complete behind the question",
                 lambda: (window.row(entry) or [None, None])[1] == "100", 60)
        driver("notify-click", box, IDYES)
        driver("gone", box, 30)
        wait_for("the row removed", lambda: window.rows() == [])
        self.assertSameBytes(os.path.join(self.folder, "soon.bin"), os.path.join(self.source, "soon.bin"))
        self.assertEqual(window.exit(), 0)


class TrayIcon(EventsCase):
    def test_icon_comes_back_when_the_taskbar_is_made_again(self):
        window = self.open_window(tray_mode=0)
        self.assertIn("Wexa-Share Downloader", tray_tips())
        # The shell restarts: its icons are gone, and it tells every window.
        driver("tray-remove", window.main, 1000)
        wait_for("the icon gone", lambda: "Wexa-Share Downloader" not in tray_tips())
        driver("post", window.main, "TaskbarCreated", 0, 0)
        wait_for("the icon back", lambda: "Wexa-Share Downloader" in tray_tips())
        # And it works: minimised to the tray, its double click brings the window back.
        driver("post", window.main, WM_SYSCOMMAND, SC_MINIMIZE, 0)
        wait_for("hidden", lambda: not window.visible()[0])
        window.tray_double_click()
        wait_for("shown and restored", lambda: window.visible() == (True, False))
        self.assertEqual(window.exit(), 0)


class ListEvents(EventsCase):
    def notepads(self):
        return int(driver("count", "Notepad").strip())

    def test_double_click_opens_a_finished_download_only(self):
        make_file(self.source, "done.ini", 64 * 1024, 4)
        make_file(self.source, "slow.ini", 16 * MiB, 5)
        server = Nginx(self.source, limit_rate="512k").start()
        self.addCleanup(server.stop)
        window = self.open_window()
        window.type_url(server.url("/done.ini"))
        done = window.wait_rows(1)[0][0]
        window.wait_complete(done)
        slow = window.start(server.url("/slow.ini"), rows=2)
        rows = [r[0] for r in window.rows()]
        window.select(slow)
        driver("dblclick-row", window.list, rows.index(slow))
        time.sleep(3)
        self.assertEqual(self.notepads(), 0)
        window.select(done)
        driver("dblclick-row", window.list, rows.index(done))
        wait_for("the finished file opened", lambda: self.notepads() == 1, 30)
        self.assertEqual(window.exit(), 0)

    def test_ten_connections_for_a_download_without_resume_support_shows_1_of_10(self):
        window = self.open_window()
        entry = self.unresumable(window)
        window.choose_connections(10)
        wait_for("1/10", lambda: window.row(entry)[COL_CONNECTIONS] == "1/10")
        window.show_tab(TAB_CONNECTIONS)
        time.sleep(2)
        self.assertEqual(len(window.rows(window.connections_list)), 1)
        self.assertEqual(window.status(), NO_RESUME)
        driver("post", window.main, WM_COMMAND, EXIT, TRAY_EXIT)
        self.assertEqual(window.wait_exit(60), 0)

    def test_selected_details_refresh_while_another_download_runs(self):
        make_file(self.source, "first.bin", 64 * MiB, 6)
        make_file(self.source, "second.bin", 64 * MiB, 7)
        server = Nginx(self.source, limit_rate="1m").start()
        self.addCleanup(server.stop)
        window = self.open_window()
        first = window.start(server.url("/first.bin"))
        window.start(server.url("/second.bin"), rows=2)
        window.select(first)
        window.wait_status(DOWNLOADING)
        # About once a second; the other download's progress must not hold it back.
        seen = []
        for _ in range(5):
            seen.append(window.labels()[2])
            time.sleep(1.5)
        self.assertGreaterEqual(len(set(seen)), 4, seen)
        self.assertEqual(window.exit(), 0)


if __name__ == "__main__":
    unittest.main()
