"""The share program's Network, Options and Help pages, end to end under Wine and a virtual
display: changing the port replaces the listener (curl reaches the new port, not the old one,
and the old row goes), a port that is taken is reported as such, the Change Port dialog lets
only 1..65535 through, and edits on the Options page take effect at once and reach the
registry at exit. GuiDriver.exe drives the windows; screenshots go to the build tree."""
import socket
import time
import unittest

from guidriver import PortBlocker, ShareWindow, children, driver, screenshot, wait_for
from sharehost import curl, free_port, read_value

TAB_NETWORK, TAB_OPTIONS, TAB_HELP = 1, 2, 3
CHANGE_PORT, PORT_NUMBER, DIALOG_OK = 1001, 9001, 1
REQUIRE_LOGIN, LOGIN_USER, LOGIN_PASSWORD, DISPLAY_NAME = 1002, 1021, 1022, 1031
ALLOW_UPLOADS, UPLOAD_FOLDER, BROWSE = 1003, 1012, 1011
AUTO_UPDATE = 1002


def control(parent, control_id, cls=None):
    # Asked again while a driver call fails on a busy machine; a control that is not there
    # still fails, on the time-out.
    def find():
        for hwnd, klass, cid, _, _ in children(parent, cls):
            if cid == control_id and driver("parent", hwnd, check=False).strip() == parent:
                return hwnd
        return None
    return wait_for("control %d under %s" % (control_id, parent), find, timeout=10)


def state(hwnd):
    enabled, checked = driver("state", hwnd).strip().split("\t")
    return enabled == "1", checked == "1"


def reachable(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5):
            return True
    except OSError:
        return False


class Program(ShareWindow):
    """The running WexaShare.exe, its pages and the controls the tests use."""

    def __init__(self, settings, clear=True):
        super().__init__(dict({"ServerAddress": "1.2.3.4"}, **settings), clear=clear)

    def find_controls(self):
        self.tabs = self.child("SysTabControl32")
        self.status_bar = self.child("msctls_statusbar32")
        groups = self.groups()
        self.port_box = groups["Network Port"]
        self.address_box = groups["Internet IP Address"]
        self.share_box = groups["Share Options"]
        self.receive_box = groups["Receive Options"]
        self.update_box = groups["Update"]
        self.port_list = self.child("SysListView32", self.port_box)

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.kill()

    def show(self, tab):
        driver("tab", self.tabs, tab)
        time.sleep(0.8)   # let the page paint before anyone looks at it

    def rows(self):
        """[(port, status)] of the port list."""
        out = driver("rows", self.port_list)
        return [tuple(line.split("\t")[2:4]) for line in out.splitlines() if line]

    def wait_rows(self, expected, timeout=30):
        return wait_for("port rows %r" % (expected,), lambda: self.rows() == expected and self.rows(), timeout)

    def status(self, part):
        return driver("status", self.status_bar, part).strip()

    def change_port(self, port_text, shot=None):
        """Runs the Change Port dialog: types port_text and presses Change when it is enabled.
        Returns whether Change was enabled (the dialog is cancelled otherwise)."""
        driver("notify-click", self.port_box, CHANGE_PORT)
        dialog = driver("wait", "#32770", "Change Port Number", 30).strip()
        edit = control(dialog, PORT_NUMBER, "Edit")
        button = control(dialog, DIALOG_OK, "Button")
        driver("settext", edit, port_text)
        enabled = state(button)[0]
        if shot:
            screenshot(shot)
        driver("notify-click", dialog, DIALOG_OK if enabled else 2)
        driver("gone", dialog, 30)
        return enabled

    def exit(self, timeout=90):
        return super().exit(timeout)


class NetworkPage(unittest.TestCase):
    def test_change_port_replaces_the_listener(self):
        old, new = free_port(), free_port()
        while new == old:
            new = free_port()
        with Program({"SharePort": old}) as program:
            program.wait_rows([(str(old), "Active")])
            self.assertEqual(curl(old, "/")[0], 200)
            self.assertEqual(program.status(1), "http://1.2.3.4:%d/" % old)
            program.show(TAB_NETWORK)
            screenshot("network_tab")

            # Nothing outside 1..65535 gets through the dialog, and cancelling changes nothing.
            for text in ("", "0", "65536", "99999", "123456789"):
                self.assertFalse(program.change_port(text), text)
            self.assertEqual(program.rows(), [(str(old), "Active")])

            self.assertTrue(program.change_port(str(new), shot="change_port_dialog"))
            # The old row stays until its listener has terminated, then only the new one is left.
            program.wait_rows([(str(new), "Active")])
            self.assertEqual(curl(new, "/")[0], 200)
            wait_for("port %d to close" % old, lambda: not reachable(old))
            wait_for("the URL to follow the port", lambda: program.status(1) == "http://1.2.3.4:%d/" % new)
            self.assertEqual(program.exit(), 0)
        self.assertEqual(read_value("SharePort"), ("REG_DWORD", "0x%x" % new))

    def test_port_in_use_is_reported_and_a_new_port_recovers(self):
        taken, free = free_port(), free_port()
        with PortBlocker(taken):
            with Program({"SharePort": taken}) as program:
                program.wait_rows([(str(taken), "Failed, Port Already In Use")])
                self.assertEqual(program.status(2), "Status: Port Unavailable")
                program.show(TAB_NETWORK)
                screenshot("network_port_in_use")

                # The failed row goes at once (its listener has already ended).
                self.assertTrue(program.change_port(str(free)))
                program.wait_rows([(str(free), "Active")])
                self.assertEqual(curl(free, "/")[0], 200)
                wait_for("the status to leave Port Unavailable",
                         lambda: program.status(2) != "Status: Port Unavailable")
                self.assertEqual(program.exit(), 0)

    def test_typed_address_becomes_the_url(self):
        port = free_port()
        with Program({"SharePort": port}) as program:
            program.wait_rows([(str(port), "Active")])
            edit = control(program.address_box, 1021, "Edit")
            driver("settext", edit, "share.example.test")
            self.assertEqual(program.status(1), "http://share.example.test:%d/" % port)
            self.assertEqual(program.exit(), 0)
        self.assertEqual(read_value("ServerAddress"), ("REG_SZ", "share.example.test"))


class OptionsPage(unittest.TestCase):
    def test_edits_take_effect_at_once_and_reach_the_registry(self):
        port = free_port()
        with Program({"SharePort": port, "UserName": "Before", "RequirePassword": 0, "AllowUploads": 0}) as program:
            program.wait_rows([(str(port), "Active")])
            program.show(TAB_OPTIONS)
            screenshot("options_tab")
            user = control(program.share_box, LOGIN_USER, "Edit")
            password = control(program.share_box, LOGIN_PASSWORD, "Edit")
            folder = control(program.receive_box, UPLOAD_FOLDER, "Edit")
            browse = control(program.receive_box, BROWSE, "Button")
            self.assertEqual([state(c)[0] for c in (user, password, folder, browse)], [False] * 4)

            driver("settext", control(program.share_box, DISPLAY_NAME, "Edit"), "Tester Name")
            status, _, body = curl(port, "/")
            self.assertEqual(status, 200)
            self.assertIn(b"<h1>Tester&#32;Name's Index of", body)

            driver("notify-click", program.share_box, REQUIRE_LOGIN)
            wait_for("login fields enabled", lambda: state(user)[0] and state(password)[0])
            driver("settext", user, "alice")
            driver("settext", password, "s3cret")
            self.assertEqual(curl(port, "/")[0], 401)
            self.assertEqual(curl(port, "/", "-u", "alice:s3cret")[0], 200)
            self.assertEqual(curl(port, "/", "-u", "alice:wrong")[0], 401)

            # Switching the login off keeps what was typed.
            driver("notify-click", program.share_box, REQUIRE_LOGIN)
            wait_for("login fields disabled", lambda: not state(user)[0])
            self.assertEqual(driver("gettext", user).strip(), "alice")
            self.assertEqual(curl(port, "/")[0], 200)
            driver("notify-click", program.share_box, REQUIRE_LOGIN)
            wait_for("login fields enabled again", lambda: state(user)[0])

            driver("notify-click", program.receive_box, ALLOW_UPLOADS)
            wait_for("receive controls enabled", lambda: state(folder)[0] and state(browse)[0])
            driver("notify-click", program.update_box, AUTO_UPDATE)
            wait_for("auto update checked", lambda: state(control(program.update_box, AUTO_UPDATE))[1])
            self.assertEqual(program.exit(), 0)

        self.assertEqual(read_value("UserName"), ("REG_SZ", "Tester Name"))
        self.assertEqual(read_value("RequirePassword"), ("REG_DWORD", "0x1"))
        self.assertEqual(read_value("AllowUploads"), ("REG_DWORD", "0x1"))
        self.assertEqual(read_value("AutoUpdate"), ("REG_DWORD", "0x1"))
        # The login survives a restart: the next run asks for the same credentials.
        with Program({"AutoUpdate": 0, "SharePort": port}, clear=False) as program:
            program.wait_rows([(str(port), "Active")])
            self.assertEqual(curl(port, "/")[0], 401)
            self.assertEqual(curl(port, "/", "-u", "alice:s3cret")[0], 200)
            user = control(program.share_box, LOGIN_USER, "Edit")
            self.assertEqual(driver("gettext", user).strip(), "alice")
            self.assertEqual(program.exit(), 0)


class HelpPage(unittest.TestCase):
    def test_getting_started_document_is_shown(self):
        port = free_port()
        with Program({"SharePort": port}) as program:
            program.show(TAB_HELP)
            screenshot("help_tab")
            editors = children(program.main, "RichEdit20W")
            self.assertEqual(len(editors), 1)
            text = driver("gettext", editors[0][0])
            self.assertTrue(text.startswith("Getting started with Wexa-Share"), text[:80])
            for topic in ("Share Files...", "Copy to Clipboard", "Copy Local Address", "Double-click",
                          "Enable Wexa-Share To Receive Files", "right-click"):
                self.assertIn(topic, text)
            self.assertNotIn("\\par", text)   # shown as formatted text, not as its source
            self.assertEqual(program.exit(), 0)


if __name__ == "__main__":
    unittest.main()
