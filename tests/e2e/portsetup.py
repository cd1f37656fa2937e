"""What the port-mapping and firewall modules share: the share program (window or headless host)
set up for the gateway's LAN, its port list's columns, and the host's status lines in order."""
import time

from gateway import CLIENT_LAN
from guidriver import ShareWindow, children, driver, wait_for
from sharehost import ShareHost
from test_network_status_netns import StatusDialog

CHANGE_PORT, PORT_NUMBER, DIALOG_OK = 1001, 9001, 1
MENU_NETWORK_STATUS = 44

UPNP_WALK = ["Initiating...", "Requesting NAT...", "Requesting Port Mappings...",
             "Initiating Communications Port...", "Ready (%s)" % CLIENT_LAN]


def lan_settings(port, upnp=True, **more):
    values = {"SharePort": port, "EnableUPnP": 1 if upnp else 0, "LocalAddress": CLIENT_LAN, "DetectLocalIP": 0}
    values.update(more)
    return values


class Program(ShareWindow):
    """WexaShare.exe with its port list and status line."""

    def find_controls(self):
        self.status_bar = self.child("msctls_statusbar32")
        self.tabs = self.child("SysTabControl32")
        self.port_box = self.groups()["Network Port"]
        self.port_list = self.child("SysListView32", self.port_box)

    def rows(self):
        """[(port, status, firewall status, UPnP status)]"""
        out = driver("rows", self.port_list)
        return [tuple((line.split("\t") + [""] * 6)[2:6]) for line in out.splitlines() if line]

    def wait_row(self, predicate, what, timeout=30):
        def probe():
            rows = self.rows()
            return rows if rows and predicate(rows[0]) else None
        try:
            return wait_for(what, probe, timeout)
        except AssertionError:
            raise AssertionError("%s; rows %r; program %s" % (what, self.rows(), self.proc.poll()))

    def status(self, part=2):
        return driver("status", self.status_bar, part).strip()

    def show_network_tab(self):
        driver("tab", self.tabs, 1)
        time.sleep(0.8)

    def open_status(self):
        driver("command", self.main, MENU_NETWORK_STATUS)
        return StatusDialog(driver("wait", "#32770", "Wexa-Share Network Status", 30).strip(), self)

    def change_port(self, port):
        driver("notify-click", self.port_box, CHANGE_PORT)
        dialog = driver("wait", "#32770", "Change Port Number", 30).strip()
        edit = [hwnd for hwnd, _, cid, _, _ in children(dialog, "Edit") if cid == PORT_NUMBER][0]
        driver("settext", edit, str(port))
        driver("notify-click", dialog, DIALOG_OK)
        driver("gone", dialog, 30)


class Host(ShareHost):
    """The headless host, whose "upnp ..." and "firewall ..." lines are kept in arrival order."""

    def statuses(self, column, until, timeout):
        """(state, result, text) of every `column` line up to and including the first whose text
        satisfies until(text); raises on timeout with what arrived."""
        seen = []
        deadline = time.time() + timeout
        while True:
            try:
                line = self.wait_line((column + " ", "<eof>"), max(0.1, deadline - time.time()))
            except TimeoutError:
                raise AssertionError("no %s status satisfied the test within %ss; saw %r" % (column, timeout, seen))
            if line == "<eof>":
                raise AssertionError("the host ended; saw %r" % seen)
            parts = line.split(" ", 3)
            entry = (int(parts[1]), int(parts[2]), parts[3] if len(parts) > 3 else "")
            seen.append(entry)
            if until(entry[2]):
                return seen

    def pending(self, column):
        """The `column` lines that arrived and were not read yet, without waiting."""
        with self._cond:
            lines = [line for line in self.lines if line.startswith(column + " ")]
            for line in lines:
                self.lines.remove(line)
        return [line.split(" ", 3)[3] if line.count(" ") >= 3 else "" for line in lines]
