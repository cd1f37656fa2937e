"""The downloader's window end to end under Wine and a virtual display, against nginx on
loopback: start-up (first run, a prepared list restored and continued, one instance only), URLs
from the address bar and the New Download dialog, the status texts in the list and the details
panel, the Details and Connections pages of a throttled download, Set Connections mid-download,
pause and resume, removal with and without the partial file, and Change URL. Every finished
file is compared with the server's by sha256."""
import os
import subprocess
import time
import unittest

from downloadhost import (DOWNLOADING, NOT_FOUND, NOT_RESOLVED, MiB, PAUSED, DownloadCase, Nginx,
                          read_downloads_list, parse_downloads_list, record)
from downloadwindow import (COL_CONNECTIONS, COL_FILE, COL_RATE, COL_URL, IDCANCEL, IDNO, IDOK, IDYES,
                            NEW_DOWNLOAD, PAUSE, PROGRAM, REMOVE, SAVE_AS, TAB_CONNECTIONS, TAB_DETAILS,
                            TAB_PROGRESS, VK_DELETE, DownloaderWindow, children, downloads_list)
from guidriver import driver, screenshot, wait_for
from sharehost import WINE, make_file, read_value, wine_env, wine_path


class WindowCase(DownloadCase):
    def setUp(self):
        super().setUp()
        self.source = self.new_folder("src")
        self.folder = self.new_folder("dest")

    def open_window(self, **kw):
        kw.setdefault("folder", self.folder)
        window = DownloaderWindow(**kw)
        self.addCleanup(window.kill)
        return window

    def serve(self, name, size, seed=1, **kw):
        path = make_file(self.source, name, size, seed)
        server = Nginx(self.source, **kw).start()
        self.addCleanup(server.stop)
        return server, path


class StartUp(WindowCase):
    def test_first_run_without_a_key_writes_its_settings_and_shows_nothing_selected(self):
        subprocess.run([WINE, "reg", "delete", r"HKCU\Software\WexaShare", "/f"], env=wine_env(),
                       capture_output=True)
        window = self.open_window(folder=None)
        self.assertEqual(window.labels()[0], "<no download selected>")
        self.assertFalse(window.state(window.pause_button))
        self.assertEqual(window.rows(), [])
        # The defaults are stored at once: no tray icon, the desktop as the download folder.
        self.assertEqual(read_value("DLMinimizeFunction")[1], "0x2")
        self.assertIn("Desktop", read_value("DownloadsDirectory")[1])
        self.assertEqual(window.exit(), 0)

    def test_second_instance_ends_at_once_without_a_window(self):
        window = self.open_window()
        second = subprocess.run([WINE, PROGRAM], env=wine_env(), timeout=60, capture_output=True)
        self.assertEqual(second.returncode, 0)
        self.assertEqual(driver("count", "WexaShareDownload").strip(), "1")
        self.assertEqual(window.exit(), 0)

    def test_prepared_list_is_restored_and_continues_to_identical_files(self):
        server, path = self.serve("restored.bin", 6 * MiB)
        local = os.path.join(self.folder, "restored.bin")
        # Half of it is already there; the record says which half is missing.
        with open(path, "rb") as src, open(local, "wb") as dst:
            data = src.read()
            dst.write(data[:3 * MiB] + b"\0" * (3 * MiB))
        fresh = os.path.join(self.folder, "fresh.bin")
        make_file(self.source, "fresh.bin", 2 * MiB, 2)
        records = [record(wine_path(local), server.url("/restored.bin"), "1", 6 * MiB, 3, "",
                          [(3 * MiB, 6 * MiB - 1)]),
                   record(wine_path(fresh), server.url("/fresh.bin"), "0", 0, 2)]
        window = self.open_window(settings=downloads_list(self.folder, records))
        rows = window.wait_rows(2)
        self.assertEqual([r[COL_FILE] for r in rows], ["restored.bin", "fresh.bin"])
        for row in rows:
            window.wait_complete(row[0])
        self.assertSameBytes(local, path)
        self.assertSameBytes(fresh, os.path.join(self.source, "fresh.bin"))
        # Only the missing half was asked for.
        starts = [int(e[6].split("=")[1].split("-")[0]) for e in server.log_entries()
                  if e[4] == "GET" and e[5] == "/restored.bin"]
        self.assertTrue(starts)
        self.assertGreaterEqual(min(starts), 3 * MiB)
        self.assertEqual(window.exit(), 0)
        self.assertEqual(parse_downloads_list(read_downloads_list()), [])


class AddingDownloads(WindowCase):
    def test_typed_url_downloads_and_a_bad_one_stays_in_the_edit(self):
        server, path = self.serve("typed file.bin", 5 * MiB)
        window = self.open_window()
        window.type_url("127.0.0.1:%d" % server.port)  # no slash after the host: does not parse
        time.sleep(1)
        self.assertEqual(window.text(window.edit), "127.0.0.1:%d" % server.port)
        self.assertEqual(window.rows(), [])
        window.type_url(server.url("/typed%20file.bin"))
        row = window.wait_rows(1)[0]
        self.assertEqual(window.text(window.edit), "")
        self.assertEqual(row[COL_FILE], "typed file.bin")
        window.wait_complete(row[0])
        self.assertSameBytes(os.path.join(self.folder, "typed file.bin"), path)
        self.assertEqual(window.exit(), 0)

    def test_new_download_dialog_downloads_and_ignores_a_url_that_does_not_parse(self):
        server, path = self.serve("dialog.bin", 6 * MiB, limit_rate="1m")
        window = self.open_window()
        # Ctrl+N opens it as the menu item does.
        driver("press", window.main, 0x4E, "ctrl")
        dialog = window.dialog("New Download")
        edit = [c[0] for c in children(dialog, "Edit")][0]
        self.assertFalse(window.state(driver("children", dialog, "Button").split("\t")[0]))
        driver("settext", edit, "no-slash-host")
        window.click(dialog, IDOK)
        driver("gone", dialog, 30)
        time.sleep(1)
        self.assertEqual(window.rows(), [])

        driver("command", window.main, NEW_DOWNLOAD)
        dialog = window.dialog("New Download")
        edit = [c[0] for c in children(dialog, "Edit")][0]
        driver("settext", edit, server.url("/dialog.bin"))
        wait_for("Download enabled", lambda: window.state(
            next(c[0] for c in children(dialog, "Button") if c[4] == "&Download")))
        screenshot("download_new_dialog")
        window.click(dialog, IDOK)
        row = window.wait_rows(1)[0]
        window.select(row[0])
        window.wait_status(DOWNLOADING)
        window.choose_connections(3)
        wait_for("3 connections", lambda: window.row(row[0])[COL_CONNECTIONS] == "3/3", 30)
        window.wait_complete(row[0])
        self.assertSameBytes(os.path.join(self.folder, "dialog.bin"), path)
        self.assertGreaterEqual(len([e for e in server.log_entries() if e[4] == "GET"]), 3)
        self.assertEqual(window.exit(), 0)


class StatusTexts(WindowCase):
    def test_panel_and_row_follow_failures_pause_and_completion(self):
        # Slow enough (16 s or more) that Pause lands mid-download on a loaded machine.
        server, path = self.serve("steps.bin", 16 * MiB, limit_rate="1m")
        window = self.open_window()
        window.type_url(server.url("/missing.bin"))
        window.type_url("http://no-such-host.invalid/file.bin")
        window.type_url(server.url("/steps.bin"))
        missing, unresolved, steps = [r[0] for r in window.wait_rows(3)]
        window.select(missing)
        window.wait_status(NOT_FOUND)
        self.assertEqual(window.row(missing)[COL_RATE], "<Paused>")
        self.assertEqual(window.labels()[0], wine_path(self.folder) + "\\missing.bin")
        window.select(unresolved)
        window.wait_status(NOT_RESOLVED)
        window.select(steps)
        window.wait_status(DOWNLOADING)
        self.assertTrue(window.labels()[2].startswith("Progress: "))
        window.click(window.details, PAUSE)
        window.wait_status(PAUSED)
        wait_for("<Paused>", lambda: window.row(steps)[COL_RATE] == "<Paused>")
        window.click(window.details, PAUSE)
        window.wait_complete(steps)
        self.assertEqual(window.row(steps)[COL_RATE], "<Completed>")
        self.assertTrue(window.labels()[2].endswith("(100%)"), window.labels())
        self.assertFalse(window.state(window.pause_button))
        self.assertTrue(window.state(window.remove_button))
        # The Delete key removes the selected row (a failed one asks first).
        window.select(missing)
        driver("key", window.list, VK_DELETE)
        window.answer("Wexa-Share Downloader", IDYES)
        wait_for("two rows", lambda: len(window.rows()) == 2)
        self.assertEqual(window.exit(), 0)


class SaveAs(WindowCase):
    def test_save_as_writes_to_the_chosen_path_and_cancel_adds_nothing(self):
        server, path = self.serve("offered.bin", 3 * MiB)
        elsewhere = self.new_folder("chosen")
        window = self.open_window()
        for choice in ("cancel", "save"):
            driver("command", window.main, NEW_DOWNLOAD)
            dialog = window.dialog("New Download")
            driver("settext", children(dialog, "Edit")[0][0], server.url("/offered.bin"))
            wait_for("Save As enabled", lambda: window.state(
                next(c[0] for c in children(dialog, "Button") if c[4] == "&Save As...")))
            window.click(dialog, SAVE_AS)
            chooser = window.dialog("Choose Download Location")
            name = wait_for("the proposed name", lambda: [c for c in children(chooser, "Edit") if c[4]])
            self.assertEqual(name[0][4], "offered.bin")
            if choice == "cancel":
                driver("notify-click", chooser, IDCANCEL)
                driver("gone", chooser, 30)
                time.sleep(1)
                self.assertEqual(window.rows(), [])
                continue
            driver("settext", name[0][0], wine_path(os.path.join(elsewhere, "renamed.bin")))
            driver("notify-click", chooser, IDOK)
            driver("gone", chooser, 30)
        row = window.wait_rows(1)[0]
        self.assertEqual(row[COL_FILE], "renamed.bin")
        window.wait_complete(row[0])
        self.assertSameBytes(os.path.join(elsewhere, "renamed.bin"), path)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "offered.bin")))
        self.assertEqual(window.exit(), 0)


class ThrottledDownload(WindowCase):
    """One throttled download watched through every page while its connections change."""

    def test_pages_show_connections_and_ranges_and_set_connections_keeps_the_bytes(self):
        server, path = self.serve("slow.bin", 30 * MiB, limit_rate="400k")
        window = self.open_window()
        entry = window.start(server.url("/slow.bin"))
        window.choose_connections(5)
        wait_for("5 connections", lambda: window.row(entry)[COL_CONNECTIONS] == "5/5", 30)

        window.show_tab(TAB_CONNECTIONS)
        conns = wait_for("5 connection rows", lambda: len(window.rows(window.connections_list)) == 5 and
                         window.rows(window.connections_list))
        for c in conns:
            first, last = (int(v) for v in c[3].split("-"))
            self.assertLessEqual(first, int(c[4]))
        screenshot("download_window_connections")
        window.show_tab(TAB_DETAILS)
        ranges = wait_for("missing ranges", lambda: window.rows(window.ranges_list), 10)
        self.assertGreaterEqual(len(ranges), 2)
        screenshot("download_window_details")
        window.show_tab(TAB_PROGRESS)
        time.sleep(2)
        screenshot("download_window_progress")

        # Down to two mid-download, then up to ten: the count follows, the bytes stay right.
        window.choose_connections(2)
        wait_for("2 connections", lambda: window.row(entry)[COL_CONNECTIONS] == "2/2", 30)
        window.show_tab(TAB_CONNECTIONS)
        wait_for("2 connection rows", lambda: len(window.rows(window.connections_list)) == 2, 30)
        window.choose_connections(10)
        wait_for("more connections", lambda: int(window.row(entry)[COL_CONNECTIONS].split("/")[0]) > 2, 30)
        window.wait_complete(entry, 300)
        self.assertSameBytes(os.path.join(self.folder, "slow.bin"), path)
        self.assertEqual(window.rows(window.ranges_list), [])
        self.assertEqual(window.exit(), 0)


class PauseRemoveChange(WindowCase):
    def test_pause_and_resume_continue_to_identical_bytes(self):
        server, path = self.serve("paused.bin", 12 * MiB, limit_rate="2m")
        window = self.open_window()
        entry = window.start(server.url("/paused.bin"))
        window.click(window.details, PAUSE)
        window.wait_status(PAUSED)
        wait_for("Resume", lambda: window.text(window.pause_button) == "Resume")
        time.sleep(1)
        sent = server.body_bytes("/paused.bin")
        time.sleep(2)
        self.assertEqual(server.body_bytes("/paused.bin"), sent, "a paused download still fetches")
        window.click(window.details, PAUSE)
        window.wait_complete(entry, 120)
        self.assertSameBytes(os.path.join(self.folder, "paused.bin"), path)
        self.assertEqual(window.exit(), 0)

    def test_remove_running_asks_and_deletes_remove_complete_keeps_the_file(self):
        server, path = self.serve("run.bin", 20 * MiB, limit_rate="1m")
        make_file(self.source, "done.bin", 1 * MiB, 3)
        window = self.open_window()
        window.type_url(server.url("/done.bin"))
        done = window.wait_rows(1)[0][0]
        window.wait_complete(done)
        running = window.start(server.url("/run.bin"), rows=2)
        partial = os.path.join(self.folder, "run.bin")
        self.assertTrue(os.path.exists(partial))
        # No keeps it; Yes removes it with its file.
        window.click(window.details, REMOVE)
        window.answer("Wexa-Share Downloader", IDNO)
        self.assertEqual(len(window.rows()), 2)
        window.click(window.details, REMOVE)
        window.answer("Wexa-Share Downloader", IDYES)
        wait_for("the row gone", lambda: len(window.rows()) == 1, 30)
        wait_for("the partial file deleted", lambda: not os.path.exists(partial), 30)
        # A complete one goes at once and its file stays.
        window.select(done)
        window.click(window.details, REMOVE)
        wait_for("no rows", lambda: window.rows() == [], 30)
        self.assertEqual(driver("count", "#32770").strip(), "0")
        self.assertSameBytes(os.path.join(self.folder, "done.bin"), os.path.join(self.source, "done.bin"))
        self.assertEqual(window.exit(), 0)

    def test_change_url_to_another_server_with_the_same_file_continues(self):
        first, path = self.serve("moved.bin", 12 * MiB, limit_rate="1m")
        second = Nginx(self.source).start()
        self.addCleanup(second.stop)
        window = self.open_window()
        entry = window.start(first.url("/moved.bin"))
        time.sleep(2)
        window.change_url(second.url("/moved.bin"))
        wait_for("the new URL", lambda: window.row(entry)[COL_URL] == second.url("/moved.bin"), 30)
        window.wait_complete(entry, 120)
        self.assertSameBytes(os.path.join(self.folder, "moved.bin"), path)
        self.assertGreater(second.body_bytes("/moved.bin"), 0)
        self.assertLess(first.body_bytes("/moved.bin") + second.body_bytes("/moved.bin"), 12 * MiB + 2 * MiB)
        self.assertEqual(window.exit(), 0)


if __name__ == "__main__":
    unittest.main()
