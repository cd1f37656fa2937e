"""The share program's self-update end to end under Wine, in a network namespace of this module's
own where the service host resolves to 127.0.0.1 and a scripted stand-in of the web service (or
the real one) answers on port 80. The program is the build made with the tests' throw-away
update key; installers are signed here with that key (or another one, to be refused). Covers
the check's answers, the download into the temporary folder, the offer (held back while the
window is minimised or the network status dialog is open), dialog 8013 with a window of the
downloader's class, the real installer run silently, and the start-up check.
Screenshots of the Update group's states and of the offer dialogs go to the build tree."""
import glob
import hashlib
import importlib.util
import os
import subprocess
import tempfile
import time
import unittest

import netns
from guidriver import QUIET, ProgramProcess, driver, screenshot, wait_for
from sharehost import BIN_DIR, WINE, wine_env, write_settings

E2E_NETNS = True

SOURCE = os.environ.get("WEXA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
TEST_PROGRAM = os.path.join(BIN_DIR, "bin", "WexaShareTestKey.exe")
TEST_KEY = os.path.join(BIN_DIR, "update-test-key", "test-key.pem")
INSTALLER = os.path.join(BIN_DIR, "installer", "WexaShare-121.exe")

_spec = importlib.util.spec_from_file_location("sign_release", os.path.join(SOURCE, "scripts", "sign-release.py"))
sign_release = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sign_release)

CHECK_NOW, AUTO_UPDATE = 1001, 1002
MENU_NETWORK_STATUS = 44
INSTALL, CANCEL = 1, 2
OFFER_TEXT = 1111
SW_MINIMIZE, SW_RESTORE = 6, 9

NEW_VERSION = "New Version Available: 1.2.2. Downloading Update..."
DOWNLOADED = "New Version Downloaded: 1.2.2. Press the Install Now Button to Install."
NO_UPDATE = "No Update Available. Wexa-Share is already the newest version."
# As the dialog shows them, line breaks read as one blank each.
OFFER_ALONE = ("An update is available for Wexa-Share. Do you wish to install it now?\r\nWexa-Share will "
               "automatically close to install the update.\r\n\r\nUpdates can be accessed at a later time from "
               "the Updates section on the Options tab.").replace("\r", " ").replace("\n", " ")
OFFER_BOTH = ("An update is available for Wexa-Share. Do you wish to install it now?\r\nWexa-Share and the "
              "Wexa-Share Downloader will both automatically close to install the update.\r\n\r\nUpdates can be "
              "accessed at a later time from the Updates section on the Options tab.").replace("\r", " ").replace("\n", " ")


def children(window, cls=None):
    rows = []
    for line in driver("children", window, *([cls] if cls else [])).splitlines():
        parts = line.split("\t")
        if len(parts) >= 5:
            rows.append((parts[0], parts[1], int(parts[2]), parts[3] == "1", parts[4]))
    return rows


def enabled(hwnd):
    return driver("state", hwnd).strip().split("\t")[0] == "1"


def temp_folder():
    """The user's temporary folder in the prefix (GetTempPathW's answer), or None before the prefix has one."""
    users = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users")
    # Where Wine keeps it depends on its version: the profile's Temp, or AppData\Local\Temp.
    folders = glob.glob(os.path.join(users, "*", "Temp")) + glob.glob(os.path.join(users, "*", "AppData", "Local", "Temp"))
    folders = [f for f in folders if not f.startswith(os.path.join(users, "Public"))]
    return folders[0] if folders else None


def downloaded_installer():
    folder = temp_folder()
    path = os.path.join(folder, "WexaUpdate_122.exe") if folder else None
    return path if path and os.path.exists(path) else None


def remove_downloads():
    folder = temp_folder()
    for path in glob.glob(os.path.join(folder, "WexaUpdate_*.exe")) if folder else []:
        os.unlink(path)


def installed_folder():
    found = glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Local", "Programs",
                                   "Wexa-Share"))
    return found[0] if found else None


def signature(key, data):
    return sign_release.signature(key, data)


def check_answer(body):
    return [b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % len(body), body]


def installer_answer(body, sig, length=None, content_type=b"application/octet-stream", trailer=b""):
    head = b"HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\n" % (
        content_type, len(body) if length is None else length)
    if sig is not None:
        head += b"X-Wexa-Signature: %s\r\n" % sig.encode()
    return [head + b"\r\n", body + trailer]


class Service:
    """The scripted service: answers the check with `version` and the download with `download`
    (a list of chunks), both changeable between checks; counts the requests of each kind."""

    def __init__(self, version=b"122", download=None, pause=0.05):
        self.version = version
        self.download = download
        self.stand_in = netns.StandIn(self._answer, pause=pause)

    def _answer(self, head):
        if head.startswith(b"GET /update.php?mode=check "):
            return check_answer(self.version)
        if head.startswith(b"GET /update.php "):
            return self.download
        return []

    def requests(self, kind):
        prefix = b"GET /update.php?mode=check " if kind == "check" else b"GET /update.php "
        return [r for r in self.stand_in.requests if r.startswith(prefix)]

    def __enter__(self):
        self.stand_in.__enter__()
        return self

    def __exit__(self, *exc):
        self.stand_in.__exit__(*exc)


class Program(ProgramProcess):
    def __init__(self, settings=None):
        values = dict(QUIET)
        values.update(settings or {})
        write_settings(values)
        super().__init__(TEST_PROGRAM)
        try:
            self.main = driver("wait", "WexaShare", "Wexa-Share", 60, timeout=90).strip()
            tabs = children(self.main, "SysTabControl32")[0][0]
            driver("tab", tabs, 2)   # the Options page, so that screenshots show the group
            groups = {text: hwnd for hwnd, _, cid, _, text in children(self.main, "Button") if cid == 0}
            self.update_box = groups["Update"]
        except Exception:
            self.kill()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()

    def button(self):
        hwnd, _, _, _, text = [c for c in children(self.update_box) if c[2] == CHECK_NOW][0]
        return text, enabled(hwnd)

    def info(self):
        statics = [c for c in children(self.update_box, "Static")]
        return statics[1][4]

    def check_now(self):
        driver("notify-click", self.update_box, CHECK_NOW)

    def wait_button(self, text, timeout=30):
        wait_for("the button to read %r and be enabled" % text, lambda: self.button() == (text, True), timeout)

    def offer(self, timeout=30):
        return driver("wait", "#32770", "Update Available", timeout, timeout=timeout + 30).strip()

    def no_offer(self, seconds):
        out = driver("find", "#32770", "Update Available", check=False).strip()
        deadline = time.time() + seconds
        while not out and time.time() < deadline:
            time.sleep(0.3)
            out = driver("find", "#32770", "Update Available", check=False).strip()
        return not out


def dialog_text(dialog):
    return [c for c in children(dialog) if c[2] == OFFER_TEXT][0][4]


class UpdateCheck(unittest.TestCase):
    def setUp(self):
        remove_downloads()

    def test_new_version_is_downloaded_written_and_offered(self):
        installer = os.urandom(300000)
        # The head, then the body after a pause (state 1), then the close after another (state 2);
        # the body runs past its content length, which is dropped.
        answer = installer_answer(installer, signature(TEST_KEY, installer), trailer=b"NOT PART OF IT") + [b""]
        with Service(download=answer, pause=2.5) as service, Program() as program:
            self.assertEqual(program.button(), ("Check Now...", True))
            self.assertEqual(program.info(), "")
            screenshot("update_state0_idle")
            program.check_now()
            wait_for("the announcement", lambda: program.info() == NEW_VERSION, 15)
            self.assertEqual(program.button(), ("Downloading...", False))
            screenshot("update_state1_downloading")
            wait_for("the installer in the temporary folder", downloaded_installer, 15)
            self.assertEqual(program.button(), ("Downloading...", False))
            screenshot("update_state2_written")
            dialog = program.offer()
            self.assertEqual(program.info(), DOWNLOADED)
            self.assertEqual(program.button(), ("Install Now", True))
            with open(downloaded_installer(), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), hashlib.sha256(installer).hexdigest())
            self.assertEqual(dialog_text(dialog), OFFER_ALONE)
            screenshot("update_dialog_8003")
            driver("notify-click", dialog, CANCEL)
            driver("gone", dialog, 20)
            # Cancel keeps state 3; the offer is not made again by itself.
            self.assertEqual(program.button(), ("Install Now", True))
            screenshot("update_state3_ready")
            self.assertTrue(program.no_offer(2))
            self.assertEqual((len(service.requests("check")), len(service.requests("download"))), (1, 1))
            self.assertEqual(service.requests("download")[0].decode("latin-1"),
                             "GET /update.php HTTP/1.1\r\nUser-Agent: Wexa-Share/1.2.1\r\nHost: %s\r\n"
                             "Connection: close\r\n\r\n" % netns.SERVICE_HOST)
            # "Install Now" on a file that is no program: the start fails, the program stays in state 3.
            program.check_now()
            time.sleep(3)
            self.assertIsNone(program.proc.poll())
            self.assertEqual(program.button(), ("Install Now", True))
            self.assertEqual(program.exit(), 0)

    def test_answers_that_are_no_newer_version(self):
        with Service(version=b"0") as service, Program() as program:
            # 0, an empty body and a version with a line end: nothing shown, the button back.
            for count, version in enumerate([b"0", b"", b"122\r\n"], 1):
                service.version = version
                program.check_now()
                wait_for("check %d" % count, lambda: len(service.requests("check")) == count, 15)
                program.wait_button("Check Now...")
                self.assertEqual(program.info(), "")
            for count, version in enumerate([b"121", b"45"], 4):
                service.version = version
                program.check_now()
                wait_for("the answer to %r" % version, lambda: program.info() == NO_UPDATE, 15)
                program.wait_button("Check Now...")
                self.assertEqual(len(service.requests("check")), count)
            screenshot("update_state0_no_update")
            self.assertEqual(service.requests("download"), [])
            self.assertIsNone(downloaded_installer())
            self.assertEqual(program.exit(), 0)

    def test_refused_downloads_write_nothing_and_the_button_works_again(self):
        installer = os.urandom(50000)
        good = signature(TEST_KEY, installer)
        flipped = bytearray(installer)
        flipped[12345] ^= 1
        with tempfile.TemporaryDirectory() as folder:
            other_key = os.path.join(folder, "other.pem")
            sign_release.keygen(other_key)
            cases = [
                ("text/html", installer_answer(installer, good, content_type=b"text/html")),
                ("one flipped byte", installer_answer(bytes(flipped), good)),
                ("signed with another key", installer_answer(installer, signature(other_key, installer))),
                ("no signature", installer_answer(installer, None)),
                ("truncated signature", installer_answer(installer, good[:60])),
            ]
        with Service() as service, Program() as program:
            for count, (what, answer) in enumerate(cases, 1):
                with self.subTest(what):
                    service.download = answer
                    program.check_now()
                    wait_for("download %d" % count, lambda: len(service.requests("download")) == count, 15)
                    program.wait_button("Check Now...")
                    self.assertIsNone(downloaded_installer())
                    self.assertTrue(program.no_offer(1))
            # A good one after all of them: the button still works and the update comes.
            service.download = installer_answer(installer, good)
            program.check_now()
            dialog = program.offer()
            driver("notify-click", dialog, CANCEL)
            self.assertEqual(program.button(), ("Install Now", True))
            self.assertEqual(program.exit(), 0)


class DeferredOffer(unittest.TestCase):
    def setUp(self):
        remove_downloads()

    def test_offer_waits_while_the_window_is_minimised(self):
        installer = os.urandom(20000)
        with Service(download=installer_answer(installer, signature(TEST_KEY, installer))), Program() as program:
            driver("show", program.main, SW_MINIMIZE)
            time.sleep(1)
            program.check_now()
            wait_for("the download", lambda: program.button() == ("Install Now", True), 20)
            self.assertTrue(program.no_offer(3))
            driver("show", program.main, SW_RESTORE)
            dialog = program.offer()
            self.assertEqual(dialog_text(dialog), OFFER_ALONE)
            driver("notify-click", dialog, CANCEL)
            self.assertEqual(program.exit(), 0)

    def test_offer_waits_for_the_network_status_dialog_to_close(self):
        installer = os.urandom(20000)
        with Service(download=installer_answer(installer, signature(TEST_KEY, installer))), Program() as program:
            driver("command", program.main, MENU_NETWORK_STATUS)
            status = driver("wait", "#32770", "Wexa-Share Network Status", 30).strip()
            program.check_now()
            wait_for("the download", lambda: program.button() == ("Install Now", True), 20)
            self.assertTrue(program.no_offer(3))
            driver("notify-click", status, 1)
            driver("gone", status, 20)
            dialog = program.offer()
            self.assertEqual(dialog_text(dialog), OFFER_ALONE)
            driver("notify-click", dialog, CANCEL)
            self.assertEqual(program.exit(), 0)


class Install(unittest.TestCase):
    def test_install_closes_both_programs_and_the_new_one_starts_from_its_place(self):
        if not os.path.exists(INSTALLER):
            subprocess.run([os.path.join(SOURCE, "scripts", "make-installer.sh"), os.path.join(BIN_DIR, "bin"),
                            INSTALLER, "x86_64"], check=True)
        with open(INSTALLER, "rb") as f:
            installer = f.read()
        downloader = subprocess.Popen([WINE, os.path.join(BIN_DIR, "bin", "GuiDriver.exe"), "host-class",
                                       "WexaShareDownload"], env=wine_env(), stdout=subprocess.PIPE)
        self.addCleanup(lambda: downloader.poll() is None and downloader.kill())
        self.assertEqual(downloader.stdout.readline().strip(), b"ready")
        with Service(download=installer_answer(installer, signature(TEST_KEY, installer))), Program() as program:
            program.check_now()
            dialog = program.offer()
            self.assertEqual(dialog_text(dialog), OFFER_BOTH)
            screenshot("update_dialog_8013")
            driver("notify-click", dialog, INSTALL)
            # The downloader is told to exit, the share program exits, the installer runs.
            self.assertEqual(downloader.wait(30), 0)
            self.assertEqual(downloader.stdout.read().strip(), b"copydata 33 0")
            self.assertEqual(program.proc.wait(60), 0)
            folder = wait_for("the installed programs",
                              lambda: installed_folder() if installed_folder() and os.path.exists(
                                  os.path.join(installed_folder(), "Uninstall.exe")) else None, 60)
            with open(os.path.join(folder, "WexaShare.exe"), "rb") as f:
                shipped = f.read()
            with open(os.path.join(BIN_DIR, "bin", "WexaShare.exe"), "rb") as f:
                self.assertEqual(hashlib.sha256(shipped).hexdigest(), hashlib.sha256(f.read()).hexdigest())
            menu = glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Roaming",
                                          "Microsoft", "Windows", "Start Menu", "Programs", "Wexa-Share", "*.lnk"))
            self.assertIn("Wexa-Share.lnk", [os.path.basename(m) for m in menu])
            # The installer starts the new share program from where it put it.
            new_main = driver("wait", "WexaShare", "Wexa-Share", 60, timeout=90).strip()
            path = driver("process-path", new_main).strip()
            self.assertTrue(path.lower().endswith("\\appdata\\local\\programs\\wexa-share\\wexashare.exe"), path)
            driver("command", new_main, 15)
            driver("gone", new_main, 60)


class StartupCheck(unittest.TestCase):
    def test_start_up_checks_once_when_on_and_never_when_off(self):
        with Service(version=b"121") as service:
            with Program({"AutoUpdate": 1}) as program:
                wait_for("the start-up check", lambda: program.info() == NO_UPDATE, 20)
                time.sleep(3)
                self.assertEqual(len(service.requests("check")), 1)
                self.assertEqual(program.exit(), 0)
            with Program({"AutoUpdate": 0}) as program:
                time.sleep(5)
                self.assertEqual(program.info(), "")
                self.assertEqual(len(service.requests("check")), 1)
                self.assertEqual(program.exit(), 0)


if __name__ == "__main__":
    unittest.main()
