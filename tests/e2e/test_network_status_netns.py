"""The network status dialog of the share program, end to end under Wine in a network namespace
of this module's own (the service host resolves to 127.0.0.1 there, where the real web service or
a silent stand-in listens on port 80): "Run Test..." reaches the share through the service and
the dialog and status bar turn active; a test that gets no answer leaves, after 14 seconds, the
text that fits the status; a port that is taken offers another port, chosen over the dialog.
Screenshots of the dialog's states go to the build tree."""
import time
import unittest

import netns
from guidriver import PortBlocker, ProgramProcess, ShareWindow, children, driver, enabled, screenshot, wait_for
from sharehost import free_port, write_settings

E2E_NETNS = True

MENU_NETWORK_STATUS = 44
TITLE, EXPLANATION, TEST_TEXT, CHANGE_PORT, RUN_TEST, HINT = 1111, 1113, 1114, 1199, 2222, 1234
DIALOG_OK = 1
NET_ENABLE_UPNP, PORT_NUMBER = 1007, 9001


class Program(ShareWindow):
    def find_controls(self):
        self.status_bar = self.child("msctls_statusbar32")
        self.port_box = self.groups()["Network Port"]

    def status(self, part):
        return driver("status", self.status_bar, part).strip()

    def open_status(self):
        driver("command", self.main, MENU_NETWORK_STATUS)
        return StatusDialog(driver("wait", "#32770", "Wexa-Share Network Status", 30).strip(), self)


class StatusDialog:
    def __init__(self, hwnd, program=None):
        self.hwnd = hwnd
        self.program = program

    def controls(self):
        """id -> (hwnd, visible, text), line breaks read as blanks."""
        return {cid: (hwnd, visible, text) for hwnd, _, cid, visible, text in children(self.hwnd)}

    def text(self, cid):
        """None while the control cannot be read (a driver call that timed out on a busy machine)."""
        control = self.controls().get(cid)
        return control[2] if control else None

    def wait_text(self, cid, expected, timeout=30):
        try:
            wait_for("control %d to read %r" % (cid, expected), lambda: self.text(cid) == expected, timeout)
        except AssertionError:
            if self.program and self.program.proc.poll() is not None:
                raise AssertionError("the program ended (%s)" % self.program.proc.returncode)
            raise

    def button(self, cid):
        hwnd, visible, text = self.controls()[cid]
        return visible, enabled(hwnd), text

    def click(self, cid):
        driver("notify-click", self.hwnd, cid)

    def close(self):
        self.click(DIALOG_OK)
        driver("gone", self.hwnd, 30)


class NetworkStatusDialog(unittest.TestCase):
    def test_first_start_opens_the_dialog_once_with_its_hint(self):
        write_settings({})
        program = ProgramProcess()
        self.addCleanup(program.kill)
        welcome = driver("wait", "#32770", "Welcome to Wexa-Share!", 60, timeout=90).strip()
        driver("close", welcome)
        program.main = driver("wait", "WexaShare", "Wexa-Share", 60, timeout=90).strip()
        dialog = StatusDialog(driver("wait", "#32770", "Wexa-Share Network Status", 30).strip())
        hint = dialog.controls()[HINT]
        self.assertEqual(hint[1:], (True, "This dialog is always available from the Options menu."))
        screenshot("netstatus_first_start")
        dialog.close()
        # Opened by the user afterwards, with a double click on the status line: no hint.
        status_bar = children(program.main, "msctls_statusbar32")[0][0]
        driver("dblclick-part", status_bar, 2)
        dialog = StatusDialog(driver("wait", "#32770", "Wexa-Share Network Status", 30).strip())
        self.assertFalse(dialog.controls()[HINT][1])
        dialog.close()
        # A right click on the speed parts offers "Network Status Information...".
        for part in (2, 3):
            driver("rclick-part", status_bar, part)
            driver("menu-pick", 0)
            dialog = StatusDialog(driver("wait", "#32770", "Wexa-Share Network Status", 30).strip())
            dialog.close()
        self.assertEqual(program.exit(), 0)

    def test_run_test_reaches_the_share_through_the_service(self):
        port = free_port()
        with netns.ServiceProcess(), Program({"SharePort": port}) as program:
            # UPnP is off and Wine's firewall reads "disabled": set up, not yet tested.
            wait_for("the status line", lambda: program.status(2) == "Status: Active")
            dialog = program.open_status()
            controls = dialog.controls()
            self.assertEqual(controls[TITLE][2], "Current Network Status: Active")
            self.assertEqual(controls[EXPLANATION][2], "Port %d is successfully set up.    Run the network test "
                             "to determine if a remote connection is possible." % port)
            self.assertEqual(controls[TEST_TEXT][2], "Press the Run Test... button to run the connectivity test.")
            self.assertFalse(controls[CHANGE_PORT][1])
            # Opened by the user, not by the first start: no hint.
            self.assertFalse(controls[HINT][1])
            self.assertEqual(dialog.button(RUN_TEST), (True, True, "&Run Test..."))

            dialog.click(RUN_TEST)
            started = time.time()
            dialog.wait_text(EXPLANATION, "Port %d is working correctly." % port, timeout=10)
            elapsed = time.time() - started
            print("\nRun Test... to 'working correctly': %.2f s (GuiDriver polls included)" % elapsed)
            self.assertLess(elapsed, 3.0)
            self.assertEqual(dialog.text(TITLE), "Current Network Status: Active")
            self.assertEqual(dialog.text(TEST_TEXT), "The internet connectivity test completed successfully!")
            self.assertEqual(dialog.button(RUN_TEST), (True, False, "&Run Test..."))
            self.assertEqual(program.status(2), "Status: Active")
            screenshot("netstatus_active")
            # The success wins over the timer: 14 seconds later nothing has changed.
            time.sleep(15)
            self.assertEqual(dialog.text(TEST_TEXT), "The internet connectivity test completed successfully!")
            dialog.close()
            self.assertEqual(program.exit(), 0)

    def test_silent_service_leaves_the_not_responding_text_that_fits(self):
        port = free_port()
        with netns.StandIn(None) as service, Program({"SharePort": port, "EnableUPnP": 0}) as program:
            dialog = program.open_status()
            dialog.click(RUN_TEST)
            dialog.wait_text(TEST_TEXT, "Connectivity test in progress...", timeout=10)
            started = time.time()
            self.assertEqual(dialog.button(RUN_TEST), (True, False, "Testing..."))
            head = service.wait_requests(1, 10)[0].decode("latin-1")
            self.assertEqual(head, "GET /testcon.php?port=%d HTTP/1.1\r\nUser-Agent: Wexa-Share/1.2.1\r\n"
                                   "Host: %s\r\nConnection: close\r\n\r\n" % (port, netns.SERVICE_HOST))
            time.sleep(10)
            self.assertEqual(dialog.text(TEST_TEXT), "Connectivity test in progress...")
            dialog.wait_text(TEST_TEXT, "The network test is not responding. Enable UPnP on the Network tab to "
                             "attempt auto-configuration, or manually forward port %d on the router." % port,
                             timeout=10)
            self.assertLess(time.time() - started, 16)
            self.assertEqual(dialog.button(RUN_TEST), (True, True, "&Run Test..."))
            self.assertFalse(dialog.controls()[CHANGE_PORT][1])
            screenshot("netstatus_not_responding")
            dialog.close()

            # With UPnP on, the same silence asks for manual forwarding.
            driver("notify-click", program.port_box, NET_ENABLE_UPNP)
            dialog = program.open_status()
            dialog.click(RUN_TEST)
            dialog.wait_text(TEST_TEXT, "Connectivity test in progress...", timeout=10)
            dialog.wait_text(TEST_TEXT, "The network test is not responding. Port %d must be manually "
                             "forwarded on the router." % port, timeout=20)
            # The UPnP run the box started ends here without a gateway, and its end asks for a
            # test of the same port too.
            requests = service.wait_requests(2, 5)
            for head in requests:
                self.assertTrue(head.decode("latin-1").startswith("GET /testcon.php?port=%d " % port))
            dialog.close()
            self.assertEqual(program.exit(), 0)

    def test_port_unavailable_offers_another_port_over_the_dialog(self):
        taken, other = free_port(), free_port()
        while other == taken:
            other = free_port()
        with PortBlocker(taken), Program({"SharePort": taken}) as program:
            wait_for("the status line", lambda: program.status(2) == "Status: Port Unavailable")
            dialog = program.open_status()
            controls = dialog.controls()
            self.assertEqual(controls[TITLE][2], "Current Network Status: Error, Port Unavailable")
            self.assertEqual(controls[EXPLANATION][2],
                             "Port %d, which is the currently chosen port, is not available.    Please press "
                             "the Change Port Number... button to select a new port." % taken)
            self.assertEqual(controls[TEST_TEXT][2], "An active port is needed before the network test can be run.")
            self.assertEqual(dialog.button(CHANGE_PORT), (True, True, "&Change Port Number..."))
            self.assertEqual(dialog.button(RUN_TEST)[:2], (True, False))
            screenshot("netstatus_port_unavailable")

            dialog.click(CHANGE_PORT)
            change = driver("wait", "#32770", "Change Port Number", 30).strip()
            # The Change Port dialog belongs to the status dialog, not to the main window.
            self.assertEqual(driver("parent", change).strip(), dialog.hwnd)
            edit = [hwnd for hwnd, _, cid, _, _ in children(change, "Edit") if cid == PORT_NUMBER][0]
            driver("settext", edit, str(other))
            driver("notify-click", change, DIALOG_OK)
            driver("gone", change, 30)

            # The new port listens and nothing else is known: set up, ready for a test.
            dialog.wait_text(TITLE, "Current Network Status: Active")
            self.assertEqual(dialog.text(EXPLANATION), "Port %d is successfully set up.    Run the network test "
                             "to determine if a remote connection is possible." % other)
            self.assertFalse(dialog.controls()[CHANGE_PORT][1])
            self.assertEqual(dialog.button(RUN_TEST), (True, True, "&Run Test..."))
            self.assertEqual(program.status(2), "Status: Active")
            screenshot("netstatus_set_up")
            dialog.close()
            self.assertEqual(program.exit(), 0)


if __name__ == "__main__":
    unittest.main()
