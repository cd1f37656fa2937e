"""Drives the downloader's window (WexaDownload.exe) under Wine for the end-to-end tests:
starts it with a download folder and settings, finds its controls, types URLs, reads the list
and the details panel, answers its questions and dialogs, and exits it the ways a user can."""
import os
import subprocess
import time

from downloadhost import COMPLETE, DOWNLOADING
from guidriver import children, driver, wait_for
from sharehost import BIN_DIR, WINE, wine_env, wine_path, write_settings

PROGRAM = os.path.join(BIN_DIR, "bin", "WexaDownload.exe")
MAIN_CLASS, TITLE = "WexaShareDownload", "Wexa-Share Downloader"
NEW_DOWNLOAD, EXIT, ABOUT = 10, 15, 51
MINIMIZE_TO_TRAY, CLOSE_TO_TRAY, NO_TRAY_ICON = 26, 27, 28
PAUSE, REMOVE, CONNECTION_BOX = 1001, 1003, 1005
CHANGE_URL, SET_CONNECTIONS = 1507, 2500
IDOK, IDCANCEL, IDYES, IDNO, SAVE_AS = 1, 2, 6, 7, 1001
WM_USER = 0x400
WM_TRAY, TRAY_ID, WM_LBUTTONDBLCLK = WM_USER + 30, 1000, 0x203
VK_RETURN, VK_DELETE = 0x0D, 0x2E
TAB_PROGRESS, TAB_DETAILS, TAB_CONNECTIONS = 0, 1, 2
CONNECTION_CHOICES = [1, 2, 3, 5, 10, 15, 25, 50]
# The row's cells after the item data and the image: the Progress column carries no text.
COL_RATE, COL_REMAINING, COL_FILE, COL_URL, COL_CONNECTIONS = 3, 4, 5, 6, 7


def downloads_list(folder, records):
    """Settings for a start with a prepared DownloadsList (records as downloadhost.record makes them)."""
    return {"DownloadsDirectory": wine_path(folder), "DLMinimizeFunction": 2,
            "DownloadsList": ("multi", records) if records else None}


class DownloaderWindow:
    """WexaDownload.exe (or the copy at `program`) with its controls; `settings` replace the
    registry key first (None: keep it)."""

    def __init__(self, folder=None, settings=None, tray_mode=2, program=PROGRAM):
        if settings is None and folder is not None:
            settings = {"DownloadsDirectory": wine_path(folder), "DLMinimizeFunction": tray_mode}
        if settings is not None:
            write_settings({k: v for k, v in settings.items() if v is not None})
        self.proc = subprocess.Popen([WINE, program], env=wine_env(), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        try:
            self.main = driver("wait", MAIN_CLASS, TITLE, 60, timeout=90).strip()
            self._find_controls()
        except Exception:
            self.kill()
            raise

    def _find_controls(self):
        controls = wait_for("the downloads view", lambda: len(children(self.main, "SysListView32")) == 3 and
                            children(self.main))
        by_class = {}
        for c in controls:
            by_class.setdefault(c[1], []).append(c)
        self.edit = by_class["Edit"][0][0]
        self.address_bar = driver("parent", self.edit).strip()
        self.host = driver("parent", self.address_bar).strip()
        # The downloads list sits in the list area; the two page lists are the host's own.
        lists = [c[0] for c in by_class["SysListView32"]]
        self.list = next(h for h in lists if driver("parent", h).strip() != self.host)
        others = [h for h in lists if h != self.list]
        self.tabs = by_class["SysTabControl32"][0][0]
        self.pause_button = next(c[0] for c in by_class["Button"] if c[4] in ("Pause", "Resume"))
        self.remove_button = next(c[0] for c in by_class["Button"] if c[4] == "Remove")
        self.details = driver("parent", self.pause_button).strip()
        self.box = by_class["ComboBox"][0][0]
        # The ranges list shows with the Details tab, the connections list with Connections.
        self.show_tab(TAB_DETAILS)
        visible = [c[0] for c in children(self.host, "SysListView32") if c[0] in others and c[3]]
        self.ranges_list = visible[0]
        self.connections_list = next(h for h in others if h != self.ranges_list)

    # ---- process --------------------------------------------------------------------------

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()

    def running(self):
        return self.proc.poll() is None

    def exit(self, timeout=60):
        """File > Exit; the process ends once the engine has stopped."""
        driver("command", self.main, EXIT, check=False)
        return self.wait_exit(timeout)

    def wait_exit(self, timeout=60):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("the downloader did not exit")

    def kill(self):
        running = self.proc.poll() is None
        if running:
            self.proc.kill()
            self.proc.wait()
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=wine_env(), check=False)
        if running:
            # A program still ending would hold the single-instance semaphore for the next one.
            subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=wine_env(), check=False, timeout=60)

    # ---- reading --------------------------------------------------------------------------

    def rows(self, list_window=None):
        out = driver("rows", list_window or self.list, check=False)
        return [line.split("\t") for line in out.splitlines() if line]

    def row(self, entry_id):
        for r in self.rows():
            if r[0] == str(entry_id):
                return r
        return None

    def labels(self):
        """(path, status, progress) of the details panel."""
        statics = [c[4] for c in children(self.details, "Static")]
        return tuple((statics + ["", "", ""])[:3])

    def status(self):
        return self.labels()[1]

    def state(self, control):
        enabled, _ = driver("state", control).split()
        return enabled == "1"

    def text(self, control):
        return driver("gettext", control).rstrip("\n")

    def wait_rows(self, count, timeout=30):
        return wait_for("%d rows" % count, lambda: len(self.rows()) == count and self.rows(), timeout)

    # ---- acting ---------------------------------------------------------------------------

    def type_url(self, url):
        """Types a URL into the address bar and presses Enter."""
        driver("settext", self.edit, url)
        driver("key", self.edit, VK_RETURN)

    def start(self, url, rows=1):
        """Types url, selects its row (the last of `rows`) and waits until it downloads; its entry id."""
        self.type_url(url)
        entry = self.wait_rows(rows)[rows - 1][0]
        self.select(entry)
        self.wait_status(DOWNLOADING)
        return entry

    def select(self, entry_id):
        rows = self.rows()
        index = next(i for i, r in enumerate(rows) if r[0] == str(entry_id))
        driver("select", self.list, index)

    def wait_status(self, text, timeout=60):
        """Waits until the details panel (of the selected download) shows the status text."""
        return wait_for(repr(text), lambda: self.status() == text, timeout)

    def wait_complete(self, entry_id, timeout=180):
        self.select(entry_id)
        self.wait_status(COMPLETE, timeout)
        return wait_for("100%", lambda: (self.row(entry_id) or [None, None])[1] == "100" and self.row(entry_id))

    def show_tab(self, index):
        driver("tab", self.tabs, index)
        time.sleep(0.3)

    def choose_connections(self, count):
        driver("post", self.box, 0x14E, CONNECTION_CHOICES.index(count), 0)  # CB_SETCURSEL
        # CB_SETCURSEL sends no CBN_SELCHANGE: the panel is told as the box would tell it.
        box_id = 1005
        driver("post", self.details, 0x111, (1 << 16) | box_id, int(self.box, 16))

    def click(self, parent, control_id):
        driver("notify-click", parent, control_id)

    def dialog(self, title, timeout=30):
        return driver("wait", "#32770", title, timeout, timeout=timeout + 30).strip()

    def answer(self, title, button, timeout=30):
        """Clicks a button of a message box or dialog once it is there."""
        box = self.dialog(title, timeout)
        driver("notify-click", box, button)
        driver("gone", box, 30)

    def context_command(self, command):
        """A command of the list's context menu, for the selected download."""
        driver("command", driver("parent", self.list).strip(), command)

    def change_url(self, url):
        self.context_command(CHANGE_URL)
        dialog = self.dialog("Change Download URL")
        edit = children(dialog, "Edit")[0][0]
        driver("settext", edit, url)
        wait_for("Change enabled", lambda: self.state(
            next(c[0] for c in children(dialog, "Button") if c[4].startswith("&Change"))))
        driver("notify-click", dialog, IDOK)
        driver("gone", dialog, 30)

    def tray_double_click(self):
        driver("post", self.main, WM_TRAY, TRAY_ID, WM_LBUTTONDBLCLK)

    def visible(self):
        """(shown, minimised) of the main window."""
        shown, iconic = driver("visible", self.main).split()
        return shown == "1", iconic == "1"
