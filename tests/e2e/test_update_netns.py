"""The share program's self-update end to end under Wine, in a network namespace of this module's
own where the service host resolves to 127.0.0.1 and a scripted stand-in of the web service (or
the real one) answers on port 80. The program is the build made with the tests' throw-away
update key; installers are signed here with that key (or another one, to be refused). Covers
the check's answers, the download into the temporary folder, the offer (held back while the
window is minimised or the network status dialog is open), dialog 8013 with the real downloader
running, the real installer run silently for both programs and its uninstaller, the start-up check,
the hand-over when the downloader declines to exit, an installer changed on disk after its
download, an installer that gives up waiting and starts the program again, and a service that
stalls.
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
from downloadhost import (DOWNLOADING, NO_RESUME, MiB, PAUSED, DownloadCase, ScriptedServer, missing_bytes,
                          parse_downloads_list, parse_range, ranged_answer, read_downloads_list)
from downloadwindow import COL_URL, PAUSE, DownloaderWindow
from guidriver import QUIET, ShareWindow, children, driver, enabled, screenshot, wait_for
from sharehost import BIN_DIR, WINE, read_value, wine_env, wine_path, write_settings

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
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Wexa-Share"

NEW_VERSION = "New Version Available: 1.2.2. Downloading Update..."
DOWNLOADED = "New Version Downloaded: 1.2.2. Press the Install Now Button to Install."
NO_UPDATE = "No Update Available. Wexa-Share is already the newest version."
REMOVED = "The downloaded update did not verify and was deleted."
IDOK, IDNO = 1, 7
WM_COMMAND, TRAY_EXIT = 0x111, 123
# As the dialog shows them, line breaks read as one blank each.
OFFER_ALONE = ("An update is available for Wexa-Share. Do you wish to install it now?\r\nWexa-Share will "
               "automatically close to install the update.\r\n\r\nUpdates can be accessed at a later time from "
               "the Updates section on the Options tab.").replace("\r", " ").replace("\n", " ")
OFFER_BOTH = ("An update is available for Wexa-Share. Do you wish to install it now?\r\nWexa-Share and the "
              "Wexa-Share Downloader will both automatically close to install the update.\r\n\r\nUpdates can be "
              "accessed at a later time from the Updates section on the Options tab.").replace("\r", " ").replace("\n", " ")


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


def signature(key, data, version=122):
    """The version-bound signature, as this program requires it."""
    return sign_release.version_signature(key, version, data)


def check_answer(body):
    return [b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % len(body), body]


def installer_answer(body, sig, length=None, content_type=b"application/octet-stream", trailer=b"", version=b"122",
                     legacy="same key"):
    """sig goes with the version in the headers this program reads; legacy in the header older
    programs read, by default the test key's signature of the body beside any sig, as the service
    sends both (this program must never rely on it)."""
    if legacy == "same key":
        legacy = sign_release.signature(TEST_KEY, body) if sig is not None else None
    head = b"HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\n" % (
        content_type, len(body) if length is None else length)
    if sig is not None:
        head += b"X-Wexa-Version: %s\r\nX-Wexa-Version-Signature: %s\r\n" % (version, sig.encode())
    if legacy is not None:
        head += b"X-Wexa-Signature: %s\r\n" % legacy.encode()
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
            # None: the service accepts and never answers.
            return None if self.version is None else check_answer(self.version)
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


class Program(ShareWindow):
    def __init__(self, settings=None):
        super().__init__(settings, program=TEST_PROGRAM)

    def find_controls(self):
        driver("tab", self.child("SysTabControl32"), 2)   # the Options page, so that screenshots show the group
        self.update_box = self.groups()["Update"]

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
                # What a program up to 1.2.1 trusts, but no version signed with it.
                ("signed for older programs only",
                 installer_answer(installer, None, legacy=sign_release.signature(TEST_KEY, installer))),
                # An older release, validly signed, pushed as an update.
                ("signed as this program's own version",
                 installer_answer(installer, signature(TEST_KEY, installer, 121), version=b"121")),
                ("an older signature under a newer version",
                 installer_answer(installer, signature(TEST_KEY, installer, 121))),
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


def installed_files(folder):
    return sorted(os.listdir(folder)) if folder and os.path.isdir(folder) else []


def start_menu():
    return os.path.join(glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "AppData",
                                               "Roaming"))[0], "Microsoft", "Windows", "Start Menu", "Programs",
                        "Wexa-Share")


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Install(DownloadCase):
    """The whole hand-over with the real downloader running: dialog 8013, the downloader told to
    exit with its list saved, the installer putting both programs in place, both starting from
    there with the list intact, and the uninstaller taking both away again."""

    def paused_download(self, window):
        """A resumable download that has some of its bytes and is paused; its data, url and server."""
        data = os.urandom(16 * MiB)
        server = ScriptedServer(lambda head: ranged_answer(head, data), rate=MiB)
        server.__enter__()
        self.addCleanup(server.__exit__)
        url = server.url("/paused.bin")
        window.type_url(url)
        entry = window.wait_rows(1)[0][0]
        window.select(entry)
        window.wait_status(DOWNLOADING)
        time.sleep(2)
        window.click(window.details, PAUSE)
        window.wait_status(PAUSED)
        return data, url, server

    def test_install_closes_both_programs_and_both_start_from_their_new_place(self):
        if not os.path.exists(INSTALLER):
            subprocess.run([os.path.join(SOURCE, "scripts", "make-installer.sh"), os.path.join(BIN_DIR, "bin"),
                            INSTALLER, "x86_64"], check=True)
        with open(INSTALLER, "rb") as f:
            installer = f.read()
        folder = self.new_folder("dest")
        source = os.path.join(folder, "source.bin")
        local = os.path.join(folder, "paused.bin")
        # One key for both programs, as the user's would be.
        with Service(download=installer_answer(installer, signature(TEST_KEY, installer))), \
                Program({"DownloadsDirectory": wine_path(folder), "DLMinimizeFunction": 2}) as program:
            downloader = DownloaderWindow()
            self.addCleanup(downloader.kill)
            data, url, server = self.paused_download(downloader)
            with open(source, "wb") as f:
                f.write(data)
            program.check_now()
            dialog = program.offer()
            self.assertEqual(dialog_text(dialog), OFFER_BOTH)
            screenshot("update_dialog_8013")
            driver("notify-click", dialog, INSTALL)
            # The downloader is told to exit and saves its list; the share program exits; the installer runs.
            self.assertEqual(downloader.wait_exit(30), 0)
            self.assertEqual(program.proc.wait(60), 0)
            saved = parse_downloads_list(read_downloads_list() or b"")
            self.assertEqual([(s[1], s[2], s[3]) for s in saved], [(url, "1", len(data))])
            ranges = saved[0][6]
            self.assertTrue(0 < missing_bytes(ranges) < len(data), ranges)
            self.assertKeptBytesMatch(local, source, ranges)
            asked_before = len(server.requests)

            target = wait_for("the installed programs", lambda: installed_folder() if "Uninstall.exe" in
                              installed_files(installed_folder()) else None, 60)
            self.assertEqual(installed_files(target), ["Uninstall.exe", "WexaDownload.exe", "WexaShare.exe"])
            for name in ("WexaShare.exe", "WexaDownload.exe"):
                self.assertEqual(sha(os.path.join(target, name)), sha(os.path.join(BIN_DIR, "bin", name)), name)
            # The installer may still be writing its last shortcut.
            shortcuts = ["Uninstall Wexa-Share.lnk", "Wexa-Share Downloader.lnk", "Wexa-Share.lnk"]
            wait_for("the three shortcuts", lambda: sorted(os.listdir(start_menu())) == shortcuts, 30)

            # The installer starts the new share program from where it put it; the user starts the
            # new downloader, which takes the saved download up again and finishes it.
            new_main = driver("wait", "WexaShare", "Wexa-Share", 60, timeout=90).strip()
            path = driver("process-path", new_main).strip()
            self.assertTrue(path.lower().endswith("\\appdata\\local\\programs\\wexa-share\\wexashare.exe"), path)
            # Installed: the program it installed deletes the downloaded installer.
            wait_for("the installer deleted", lambda: downloaded_installer() is None, 30)
            new_downloader = DownloaderWindow(program=os.path.join(target, "WexaDownload.exe"))
            self.addCleanup(new_downloader.kill)
            path = driver("process-path", new_downloader.main).strip()
            self.assertTrue(path.lower().endswith("\\appdata\\local\\programs\\wexa-share\\wexadownload.exe"),
                            path)
            entry = new_downloader.wait_rows(1)[0][0]
            self.assertEqual(new_downloader.row(entry)[COL_URL], url)
            screenshot("update_installed_downloader")
            new_downloader.wait_complete(entry, 120)
            self.assertSameBytes(local, source)
            # Only what was missing was asked for again.
            starts = [parse_range(head)[0] for head in server.requests[asked_before:] if head.startswith(b"GET")]
            self.assertTrue(starts and min(starts) >= ranges[0][0], (starts, ranges))
            self.assertEqual(new_downloader.exit(), 0)
            driver("command", new_main, 15)
            driver("gone", new_main, 60)

            # The uninstaller (it runs on from a copy of itself) takes both programs and their entries away.
            subprocess.run([WINE, os.path.join(target, "Uninstall.exe"), "/S"], env=wine_env(), check=True, timeout=60)
            wait_for("the programs removed", lambda: not os.path.exists(target), 60)
            wait_for("the Start-menu entries removed", lambda: not os.path.exists(start_menu()), 30)
            uninstall_key = subprocess.run([WINE, "reg", "query", UNINSTALL_KEY], env=wine_env(), capture_output=True,
                                           timeout=120)
            self.assertNotEqual(uninstall_key.returncode, 0)
            # The settings are the user's and stay.
            kept = read_value("DownloadsDirectory")
            self.assertEqual((kept[0], kept[1].rstrip("\\")), ("REG_SZ", wine_path(folder).rstrip("\\")))


class HandOver(DownloadCase):
    """The hand-over when it cannot go through: the program keeps running and says why."""

    def setUp(self):
        super().setUp()
        remove_downloads()

    def test_downloader_that_declines_to_exit_keeps_the_share_program_running(self):
        installer = os.urandom(30000)
        data = os.urandom(64 * MiB)
        server = ScriptedServer(lambda head: ranged_answer(head, data, accept_ranges=False, honour_range=False),
                                rate=MiB)
        server.__enter__()
        self.addCleanup(server.__exit__)
        folder = self.new_folder("dest")
        with Service(download=installer_answer(installer, signature(TEST_KEY, installer))), \
                Program({"DownloadsDirectory": wine_path(folder), "DLMinimizeFunction": 2}) as program:
            downloader = DownloaderWindow()
            self.addCleanup(downloader.kill)
            downloader.type_url(server.url("/plain.bin"))
            downloader.select(downloader.wait_rows(1)[0][0])
            downloader.wait_status(NO_RESUME)
            program.check_now()
            dialog = program.offer()
            self.assertEqual(dialog_text(dialog), OFFER_BOTH)
            driver("notify-click", dialog, INSTALL)
            question = downloader.dialog("Download NOT Resumable")
            # While the downloader asks, the share program is not frozen waiting for it.
            self.assertEqual(driver("copydata", program.main, 7).strip(), "1")
            self.assertEqual(program.button(), ("Installing...", False))
            time.sleep(6)
            self.assertEqual(program.button(), ("Installing...", False))
            driver("notify-click", question, IDNO)
            driver("gone", question, 30)
            refusal = driver("wait", "#32770", "Update Not Installed", 30, timeout=60).strip()
            screenshot("update_not_installed")
            driver("notify-click", refusal, IDOK)
            driver("gone", refusal, 30)
            self.assertIsNone(program.proc.poll())
            self.assertTrue(downloader.running())
            self.assertEqual(program.button(), ("Install Now", True))
            self.assertEqual(program.info(), DOWNLOADED)
            self.assertIsNotNone(downloaded_installer())
            self.assertIsNone(installed_folder())
            self.assertEqual(program.exit(), 0)
            driver("post", downloader.main, WM_COMMAND, 15, TRAY_EXIT)
            self.assertEqual(downloader.wait_exit(60), 0)

    def test_installer_changed_after_its_download_is_deleted_not_started(self):
        installer = os.urandom(40000)
        with Service(download=installer_answer(installer, signature(TEST_KEY, installer))), Program() as program:
            program.check_now()
            dialog = program.offer()
            driver("notify-click", dialog, CANCEL)
            driver("gone", dialog, 20)
            with open(downloaded_installer(), "r+b") as f:
                f.seek(1000)
                f.write(b"swapped")
            program.check_now()   # "Install Now"
            program.wait_button("Check Now...")
            self.assertEqual(program.info(), REMOVED)
            self.assertIsNone(downloaded_installer())
            self.assertIsNone(program.proc.poll())
            # The next check downloads it again.
            program.check_now()
            dialog = program.offer()
            driver("notify-click", dialog, CANCEL)
            self.assertEqual(program.button(), ("Install Now", True))
            self.assertEqual(program.exit(), 0)

    def test_installer_that_gives_up_waiting_starts_the_program_again(self):
        if not os.path.exists(INSTALLER):
            subprocess.run([os.path.join(SOURCE, "scripts", "make-installer.sh"), os.path.join(BIN_DIR, "bin"),
                            INSTALLER, "x86_64"], check=True)
        folder = self.new_folder("dest")
        # The downloader stays: the silent installer waits its minute for it, then gives up.
        settings = dict(QUIET)
        settings.update({"DownloadsDirectory": wine_path(folder), "DLMinimizeFunction": 2})
        write_settings(settings)
        downloader = DownloaderWindow()
        self.addCleanup(downloader.kill)
        started = time.time()
        setup = subprocess.Popen([WINE, INSTALLER, "/S", "/RESTART=%s" % wine_path(TEST_PROGRAM)], env=wine_env(),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        main = driver("wait", "WexaShare", "Wexa-Share", 120, timeout=150).strip()
        self.assertGreater(time.time() - started, 50)
        path = driver("process-path", main).strip()
        self.assertTrue(path.lower().endswith("wexasharetestkey.exe"), path)
        self.assertNotEqual(setup.wait(30), 0)
        self.assertIsNone(installed_folder())
        driver("command", main, 15)
        driver("gone", main, 60)
        self.assertEqual(downloader.exit(), 0)


class StalledService(unittest.TestCase):
    def test_check_that_gets_no_answer_ends_after_30_seconds(self):
        with Service(version=None) as service, Program() as program:
            program.check_now()
            wait_for("the check", lambda: len(service.requests("check")) == 1, 15)
            self.assertEqual(program.button(), ("Checking...", False))
            started = time.time()
            program.wait_button("Check Now...", timeout=60)
            self.assertGreater(time.time() - started, 20)
            self.assertEqual(program.info(), "")
            self.assertEqual(program.exit(), 0)


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
