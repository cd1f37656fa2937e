"""Address detection of the share program, end to end under Wine in a network namespace of its
own: the Internet address asked from the web service (the real one, or a scripted stand-in on
127.0.0.1:80 that answers in pieces, with errors or not at all) reaches the address box,
ServerAddress and status-bar part 1; the LAN address is chosen from the namespace's real
interfaces at start-up. GuiDriver.exe drives and reads the windows."""
import subprocess
import time
import unittest

import netns
from guidriver import ProgramProcess, ShareWindow, children, driver, screenshot, wait_for
from sharehost import free_port, read_value, write_settings

E2E_NETNS = True

TAB_NETWORK = 1
DETECT_ADDRESS, AUTO_DETECT, ADDRESS_EDIT = 1011, 1007, 1021
OK_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n"


class Program(ShareWindow):
    """WexaShare.exe with the address box's controls."""

    def __init__(self, settings):
        super().__init__(dict({"ServerAddress": "before.example"}, **settings))

    def find_controls(self):
        self.tabs = self.child("SysTabControl32")
        self.status_bar = self.child("msctls_statusbar32")
        self.box = self.groups()["Internet IP Address"]
        mine = [(h, cid) for h, _, cid, _, _ in children(self.box)
                if driver("parent", h).strip() == self.box]
        self.button = [h for h, cid in mine if cid == DETECT_ADDRESS][0]
        self.auto_box = [h for h, cid in mine if cid == AUTO_DETECT][0]
        self.edit = [h for h, cid in mine if cid == ADDRESS_EDIT][0]

    def address(self):
        return driver("gettext", self.edit).rstrip("\n")

    def url(self):
        return driver("status", self.status_bar, 1).strip()

    def button_state(self):
        """(text, enabled) of Detect Address."""
        enabled = driver("state", self.button).split("\t")[0] == "1"
        return driver("gettext", self.button).strip(), enabled

    def detect(self):
        """Starts a request the way start-up does (the command sent, so it has started when this
        returns: the button is busy until the requester has ended)."""
        driver("send-command", self.box, DETECT_ADDRESS)

    def wait_idle(self, timeout=30):
        wait_for("Detect Address to be back", lambda: self.button_state() == ("Detect Address", True), timeout)


def request_head():
    return ("GET /getip.php HTTP/1.1\r\nUser-Agent: Wexa-Share/1.2.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
            % netns.SERVICE_HOST).encode()


class InternetAddress(unittest.TestCase):
    def test_startup_detection_sets_box_setting_and_url_with_the_port(self):
        port = free_port()
        with netns.StandIn([OK_HEAD + b"1.2.3.4"]) as service:
            with Program({"SharePort": port, "AutoDetectAddress": 1}) as program:
                self.assertEqual(service.wait_requests(1, 30), [request_head()])
                program.wait_idle()
                self.assertEqual(program.address(), "1.2.3.4")
                wait_for("the URL", lambda: program.url() == "http://1.2.3.4:%d/" % port)
                driver("tab", program.tabs, TAB_NETWORK)
                time.sleep(0.8)
                screenshot("address_detected")
                self.assertEqual(program.exit(), 0)
        self.assertEqual(read_value("ServerAddress"), ("REG_SZ", "1.2.3.4"))

    def test_a_first_run_detects_the_address(self):
        def answer(head):
            return [OK_HEAD + b"1.2.3.4"] if head.startswith(b"GET /getip.php ") else []

        write_settings({})
        with netns.StandIn(answer) as service:
            program = ProgramProcess()
            self.addCleanup(program.kill)
            driver("close", driver("wait", "#32770", "Welcome to Wexa-Share!", 60, timeout=90).strip())
            program.main = driver("wait", "WexaShare", "Wexa-Share", 60, timeout=90).strip()
            # The first start also opens the network status dialog: close it before leaving.
            status = driver("wait", "#32770", "Wexa-Share Network Status", 30).strip()
            bar = children(program.main, "msctls_statusbar32")[0][0]
            wait_for("the detected URL", lambda: driver("status", bar, 1).startswith("http://1.2.3.4"))
            driver("notify-click", status, 1)
            driver("gone", status, 30)
            self.assertEqual(program.exit(), 0)
        self.assertEqual(read_value("ServerAddress"), ("REG_SZ", "1.2.3.4"))

    def test_port_80_is_left_out_of_the_url(self):
        # The service holds 127.0.0.1:80 here, so the share's listener on 80 may not start: the
        # configured port decides, and 80 is never written.
        with netns.StandIn([OK_HEAD + b"1.2.3.4"]) as service:
            with Program({"SharePort": 80, "AutoDetectAddress": 1}) as program:
                service.wait_requests(1, 30)
                program.wait_idle()
                wait_for("the URL", lambda: program.url() == "http://1.2.3.4/")
                self.assertEqual(program.exit(), 0)

    def test_the_real_service_answers_the_callers_address(self):
        port = free_port()
        with netns.ServiceProcess():
            with Program({"SharePort": port}) as program:
                # A click on the button itself.
                driver("notify-click", program.box, DETECT_ADDRESS)
                wait_for("the address", lambda: program.address() == "127.0.0.1")
                program.wait_idle()
                self.assertEqual(program.url(), "http://127.0.0.1:%d/" % port)
                self.assertEqual(program.exit(), 0)

    def test_replies_without_an_address_change_nothing_and_whole_replies_are_read(self):
        port = free_port()
        with Program({"SharePort": port}) as program:
            before = "http://before.example:%d/" % port
            self.assertEqual(program.url(), before)

            def detect_with(chunks, expect_request=True):
                with netns.StandIn(chunks, pause=0.02) as service:
                    program.detect()
                    if expect_request:
                        service.wait_requests(1, 30)
                    program.wait_idle()

            unchanged = {
                "404": [b"HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\n", b"9.9.9.9"],
                "empty body": [OK_HEAD],
                "no blank line": [b"HTTP/1.1 200 OK\r\n9.9.9.9"],
                "closed at once": [],
            }
            for name, chunks in unchanged.items():
                detect_with(chunks)
                self.assertEqual((program.address(), program.url()), ("before.example", before), name)

            # Service down: nothing listens on port 80 at all.
            program.detect()
            program.wait_idle()
            self.assertEqual((program.address(), program.url()), ("before.example", before))

            # A silent service keeps the request (and the button) busy until it lets go.
            with netns.StandIn(None) as service:
                program.detect()
                service.wait_requests(1, 30)
                time.sleep(2)
                self.assertEqual(program.button_state(), ("Detecting...", False))
            program.wait_idle()
            self.assertEqual(program.address(), "before.example")

            # One byte per receive, blank line included.
            reply = OK_HEAD + b"5.6.7.8"
            detect_with([reply[i:i + 1] for i in range(len(reply))])
            self.assertEqual(program.address(), "5.6.7.8")
            self.assertEqual(program.url(), "http://5.6.7.8:%d/" % port)

            # Longer than the 2048-byte receive buffer: a long head, then the address.
            detect_with([b"HTTP/1.1 200 OK\r\nX-Padding: " + b"p" * 3000 + b"\r\n\r\n", b"6.7.8.9"])
            self.assertEqual(program.address(), "6.7.8.9")

            # "Detect Internet Address" from status-bar part 1's right-click menu is the same request.
            with netns.StandIn([OK_HEAD + b"7.8.9.10"]) as service:
                driver("rclick-part", program.status_bar, 1)
                driver("menu-pick", 0)
                service.wait_requests(1, 30)
                wait_for("the menu's address", lambda: program.address() == "7.8.9.10")
            program.wait_idle()
            self.assertEqual(program.exit(), 0)
        self.assertEqual(read_value("ServerAddress"), ("REG_SZ", "7.8.9.10"))

    def test_set_to_lan_address_and_the_auto_detect_box(self):
        port = free_port()
        with Program({"SharePort": port, "LocalAddress": "10.9.8.7"}) as program:
            # "Set to LAN Address" from the Detect Address button's right-click menu.
            driver("rclick", program.button)
            driver("menu-pick", 1)
            wait_for("the LAN address", lambda: program.address() == "10.9.8.7")
            self.assertEqual(program.url(), "http://10.9.8.7:%d/" % port)
            driver("notify-click", program.box, AUTO_DETECT)
            wait_for("the box checked", lambda: driver("state", program.auto_box).strip() == "1\t1")
            self.assertEqual(program.exit(), 0)
        self.assertEqual(read_value("ServerAddress"), ("REG_SZ", "10.9.8.7"))
        self.assertEqual(read_value("AutoDetectAddress"), ("REG_DWORD", "0x1"))


class LocalAddress(unittest.TestCase):
    """The namespace's own interfaces, as Wine lists them for the host name: each pair is a veth
    whose both ends stay here, so nothing can leave."""

    @classmethod
    def setUpClass(cls):
        netns.namespace()
        cls.links = []

    @classmethod
    def tearDownClass(cls):
        for link in cls.links:
            subprocess.run(["ip", "link", "del", link], check=False, stderr=subprocess.DEVNULL)

    def use_addresses(self, *addresses):
        self.tearDownClass()
        del self.links[:]
        for i, address in enumerate(addresses):
            a, b = "wxa%d" % i, "wxb%d" % i
            subprocess.run(["ip", "link", "add", a, "type", "veth", "peer", "name", b], check=True)
            self.links.append(a)
            subprocess.run(["ip", "addr", "add", address + "/24", "dev", a], check=True)
            subprocess.run(["ip", "link", "set", a, "up"], check=True)
            subprocess.run(["ip", "link", "set", b, "up"], check=True)

    def detected(self, stored):
        with Program({"SharePort": free_port(), "DetectLocalIP": 1, "LocalAddress": stored}) as program:
            # Settings are saved before the window exists, so the choice is in the registry now.
            value = read_value("LocalAddress")
            program.exit()
        return value[1] if value else None

    def test_private_ranges_win_and_an_earlier_choice_is_kept(self):
        self.use_addresses("10.0.0.5", "192.168.1.7")
        self.assertEqual(self.detected(""), "192.168.1.7")
        self.assertEqual(self.detected("10.0.0.5"), "10.0.0.5")
        # A choice the host no longer has gives way.
        self.assertEqual(self.detected("10.0.0.99"), "192.168.1.7")
        self.use_addresses("172.20.0.1", "192.0.2.1")
        self.assertEqual(self.detected("gone"), "172.20.0.1")


if __name__ == "__main__":
    unittest.main()
