"""The share program's window under load and from the keyboard, end to end under Wine and a
virtual display: a large multiple selection through the real open-file dialog, column sorting
that does not depend on the previous order, the file list back at the top after a large
removal, Tab and Ctrl+Tab navigation, and dialogs centred over the main window. GuiDriver.exe
drives the windows (the Wine file dialog takes a typed list of quoted names)."""
import os
import shutil
import tempfile
import time
import unittest

from guidriver import ShareWindow, children, driver, screenshot, wait_for
from sharehost import free_port, share_list, wine_path

SHARE_FILES, OPEN = 1001, 1
VK_TAB, VK_DELETE, VK_END, VK_NEXT, VK_PRIOR = 0x09, 0x2E, 0x23, 0x22, 0x21
TAB_SHARE, TAB_NETWORK, TAB_OPTIONS = 0, 1, 2
DISPLAY_NAME, REQUIRE_LOGIN = 1031, 1002
CHANGE_PORT = 1001
COL_FILE, COL_SIZE, COL_TOTAL = 0, 1, 3


def click_open(dialog):
    """Clicks the file dialog's Open button, waiting for it: while the dialog moves into a folder
    under load, its buttons can be missing for a moment."""
    def attempt():
        try:
            driver("notify-click", dialog, OPEN)
            return True
        except AssertionError:
            return False
    wait_for("the dialog's Open button", attempt)


def rect(window):
    return [int(v) for v in driver("rect", window).split()]


class Program(ShareWindow):
    def __init__(self, settings):
        super().__init__(dict({"SharePort": free_port()}, **settings))

    def find_controls(self):
        self.file_list = self.child("SysListView32")
        self.file_panel = driver("parent", self.file_list).strip()
        self.tabs = self.child("SysTabControl32")

    def rows(self):
        return [line.split("\t") for line in driver("rows", self.file_list).splitlines() if line]

    def column(self, index):
        return [row[2 + index] for row in self.rows()]

    def wait_count(self, count, timeout=60):
        wait_for("%d file rows" % count, lambda: len(self.rows()) == count, timeout)
        return self.rows()

    def sort(self, column):
        driver("header-click", self.file_list, column)
        time.sleep(0.5)

    def focus(self):
        return int(driver("focus", self.main).split("\t")[1])


class Folder:
    def __init__(self, names, sizes=None):
        self.root = tempfile.mkdtemp(prefix="wexa-window-")
        for i, name in enumerate(names):
            with open(os.path.join(self.root, name), "wb") as f:
                f.write(b"x" * (sizes[i] if sizes else 10))

    def path(self, name):
        return os.path.join(self.root, name)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class ShareFilesDialog(unittest.TestCase):
    def test_forty_files_chosen_at_once_are_all_shared(self):
        # Far more than 260 characters of names: the selection used to overrun a fixed buffer.
        names = ["chosen file number %02d with a long name.txt" % i for i in range(40)]
        folder = Folder(names)
        self.addCleanup(folder.remove)
        with Program({}) as program:
            driver("command", program.file_panel, SHARE_FILES)
            dialog = driver("wait", "#32770", "Share Files", 30).strip()
            edit = children(dialog, "Edit")[0][0]
            # Into the folder first, then every name in one typed list.
            driver("settext", edit, wine_path(folder.root))
            click_open(dialog)
            wait_for("the dialog in the folder",
                     lambda: any(c[4] == os.path.basename(folder.root) for c in children(dialog, "ComboBox")))
            driver("settext", edit, " ".join('"%s"' % n for n in names))
            click_open(dialog)
            driver("gone", dialog, 30)
            rows = program.wait_count(40)
            self.assertEqual(sorted(r[6] for r in rows), sorted(wine_path(folder.path(n)) for n in names))
            self.assertEqual(program.exit(), 0)


class FileListOrder(unittest.TestCase):
    NAMES = ["big.bin", "Delta.doc", "a b.txt", "c.txt", "archive.zip", "e.txt"]
    SIZES = [900000, 3000, 5, 70, 120000, 2]
    TOTALS = [0, 0, 20 * 1024 * 1024, 0, 0, 0]
    BY_NAME = ["a b.txt", "archive.zip", "big.bin", "c.txt", "Delta.doc", "e.txt"]

    def test_one_click_sorts_ascending_whatever_the_previous_order(self):
        folder = Folder(self.NAMES, self.SIZES)
        self.addCleanup(folder.remove)
        items = [(folder.path(n), t) for n, t in zip(self.NAMES, self.TOTALS)]
        with Program({"RememberShare": 1, "ShareList": share_list(items)}) as program:
            program.wait_count(len(self.NAMES))
            program.sort(COL_FILE)
            self.assertEqual(program.column(COL_FILE), self.BY_NAME)
            for previous in (COL_SIZE, COL_TOTAL, COL_FILE):
                program.sort(previous)
                program.sort(COL_FILE)
                self.assertEqual(program.column(COL_FILE), self.BY_NAME, "after column %d" % previous)

            # Sizes sort as text: the zero totals stay together, the one 20 MB total after them.
            for previous in (COL_SIZE, COL_FILE, COL_TOTAL):
                program.sort(previous)
                program.sort(COL_TOTAL)
                totals = program.column(COL_TOTAL)
                self.assertEqual(totals[:5], ["0 bytes"] * 5, "after column %d" % previous)
                self.assertTrue(totals[5].endswith("MB"), totals)
            screenshot("window-sorted")
            self.assertEqual(program.exit(), 0)

    def test_removing_more_than_forty_rows_scrolls_to_the_top(self):
        names = ["row %02d.txt" % i for i in range(100)]
        folder = Folder(names)
        self.addCleanup(folder.remove)
        items = [(folder.path(n), 0) for n in names]
        with Program({"RememberShare": 1, "ShareList": share_list(items)}) as program:
            program.wait_count(100)
            driver("key", program.file_list, VK_END)
            wait_for("the list scrolled down", lambda: int(driver("top", program.file_list)) > 60)
            driver("select", program.file_list, *range(50, 91))
            driver("key", program.file_list, VK_DELETE)
            program.wait_count(59)
            time.sleep(0.5)
            self.assertEqual(int(driver("top", program.file_list)), 0)
            screenshot("window-after-removal")
            self.assertEqual(program.exit(), 0)


class Keyboard(unittest.TestCase):
    def test_tab_moves_between_fields_and_ctrl_tab_between_pages(self):
        with Program({"RequirePassword": 0}) as program:
            driver("tab", program.tabs, TAB_OPTIONS)
            wait_for("the Options page", lambda: int(driver("cursel", program.tabs)) == TAB_OPTIONS)
            share_box = [c[0] for c in children(program.main, "Button") if c[4] == "Share Options"][0]
            name = [c[0] for c in children(share_box, "Edit") if c[2] == DISPLAY_NAME][0]
            driver("click", name)
            wait_for("the display name focused", lambda: program.focus() == DISPLAY_NAME)
            driver("press", program.main, VK_TAB)
            wait_for("Tab to the login box", lambda: program.focus() == REQUIRE_LOGIN)
            driver("press", program.main, VK_TAB, "shift")
            wait_for("Shift+Tab back to the name", lambda: program.focus() == DISPLAY_NAME)

            driver("press", program.main, VK_TAB, "ctrl")
            wait_for("Ctrl+Tab to Help", lambda: int(driver("cursel", program.tabs)) == 3)
            driver("press", program.main, VK_TAB, "ctrl")
            wait_for("Ctrl+Tab wraps to Share", lambda: int(driver("cursel", program.tabs)) == TAB_SHARE)
            driver("press", program.main, VK_PRIOR, "ctrl")
            wait_for("Ctrl+PgUp back to Help", lambda: int(driver("cursel", program.tabs)) == 3)
            driver("press", program.main, VK_NEXT, "ctrl")
            wait_for("Ctrl+PgDn to Share", lambda: int(driver("cursel", program.tabs)) == TAB_SHARE)
            # The page follows the selected tab.
            wait_for("the Share page shown", lambda: any(
                c[3] for c in children(program.main, "SysListView32") if c[0] == program.file_list))
            self.assertEqual(program.exit(), 0)

    def test_change_port_dialog_opens_centred_over_the_main_window(self):
        with Program({}) as program:
            driver("tab", program.tabs, TAB_NETWORK)
            port_box = [c[0] for c in children(program.main, "Button") if c[4] == "Network Port"][0]
            driver("notify-click", port_box, CHANGE_PORT)
            dialog = driver("wait", "#32770", "Change Port Number", 30).strip()
            screenshot("window-change-port-centred")
            main, box = rect(program.main), rect(dialog)
            self.assertLessEqual(abs((main[0] + main[2]) - (box[0] + box[2])) // 2, 2, (main, box))
            self.assertLessEqual(abs((main[1] + main[3]) - (box[1] + box[3])) // 2, 2, (main, box))
            driver("notify-click", dialog, 2)
            driver("gone", dialog, 30)
            self.assertEqual(program.exit(), 0)


if __name__ == "__main__":
    unittest.main()
