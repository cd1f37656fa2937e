"""What the window tests share: GuiDriver.exe (reads and drives the program's windows from
outside), screenshots of the virtual display, ports held from Linux, and the running
WexaShare.exe with its File > Exit and a hard stop."""
import os
import shutil
import socket
import subprocess
import time

from sharehost import BIN_DIR, WINE, wine_env, write_settings

DRIVER = os.path.join(BIN_DIR, "bin", "GuiDriver.exe")
PROGRAM = os.path.join(BIN_DIR, "bin", "WexaShare.exe")
SHOTS = os.path.join(BIN_DIR, "screenshots")
MENU_EXIT = 15

# Settings that keep the program off the network beyond loopback and quiet at start.
QUIET = {
    "NotFirstRun": ("none", b""),
    "AutoDetectAddress": 0,
    "AutoUpdate": 0,
    "DetectLocalIP": 0,
    "EnableUPnP": 0,
    "MinimizeFunction": 2,
}


# Commands that wait on their own or may have acted before they fail: never made twice.
NOT_REPEATED = {"wait", "gone", "menu-pick", "copydata", "press"}


def driver(*args, check=True, timeout=60):
    # On a busy machine a call has been seen to find a live window of the program "not a window"
    # for a moment; every other command fails before it acts, so a failed one is made once more.
    for attempt in range(2):
        out = subprocess.run([WINE, DRIVER, *[str(a) for a in args]], env=wine_env(), capture_output=True,
                             timeout=timeout)
        if out.returncode == 0 or not check or args[0] in NOT_REPEATED:
            break
        time.sleep(1)
    if check and out.returncode != 0:
        raise AssertionError("GuiDriver %s failed (%d): %s" % (" ".join(map(str, args)), out.returncode,
                                                             out.stderr.decode("utf-8", "replace")[-300:]))
    return out.stdout.decode("utf-8", "replace").replace("\r", "")


def screenshot(name):
    if not os.environ.get("DISPLAY") or not shutil.which("import"):
        return
    os.makedirs(SHOTS, exist_ok=True)
    subprocess.run(["import", "-window", "root", os.path.join(SHOTS, name + ".png")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class PortBlocker:
    """Holds host ports from Linux (Wine binds on the host, so the program finds them taken)."""

    def __init__(self, *ports):
        self.sockets = []
        for port in ports:
            s = socket.socket()
            s.bind(("0.0.0.0", port))
            s.listen(1)
            self.sockets.append(s)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for s in self.sockets:
            s.close()


class ProgramProcess:
    """WexaShare.exe started under Wine; `main` is its main window once known."""

    def __init__(self, program=PROGRAM):
        self.proc = subprocess.Popen([WINE, program], env=wine_env(), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.main = None

    def exit(self, timeout=60):
        """The File menu's Exit: the engine stops, then the window and the process end. The command is
        given again halfway (a second Exit changes nothing), so that a driver call lost on a busy
        machine is told apart from a program that does not end."""
        for wait in (timeout / 2, timeout / 2):
            if self.proc.poll() is None and self.main:
                driver("command", self.main, MENU_EXIT, check=False)
            try:
                return self.proc.wait(wait)
            except subprocess.TimeoutExpired:
                pass
        self.kill()
        raise AssertionError("the program did not exit")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        # Ends anything the program left in this module's own Wine prefix.
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=wine_env(), check=False)


class ShareWindow(ProgramProcess):
    """WexaShare.exe started with QUIET and `settings` written first, as a context manager; `main` is
    its main window once it has appeared, and a module's subclass reads its controls in find_controls()."""

    def __init__(self, settings=None, clear=True, program=PROGRAM):
        values = dict(QUIET)
        values.update(settings or {})
        write_settings(values, clear=clear)
        super().__init__(program)
        try:
            self.main = driver("wait", "WexaShare", "Wexa-Share", 60, timeout=90).strip()
            self.find_controls()
        except Exception as error:
            ended = self.proc.poll()
            self.kill()
            raise AssertionError("the main window or its controls did not come (program %s): %s"
                                 % ("ended with %s" % ended if ended is not None else "running", error))

    def find_controls(self):
        pass

    def child(self, cls, parent=None):
        """The first descendant of the given class."""
        return children(parent or self.main, cls)[0][0]

    def groups(self):
        """The main window's group boxes by caption."""
        return {text: hwnd for hwnd, _, cid, _, text in children(self.main, "Button") if cid == 0}

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


def children(window, cls=None):
    """[(hwnd, class, id, visible, text)] of every descendant, depth first; [] when the window is gone."""
    rows = []
    for line in driver("children", window, *([cls] if cls else []), check=False).splitlines():
        parts = line.split("\t")
        if len(parts) >= 5:
            rows.append((parts[0], parts[1], int(parts[2]), parts[3] == "1", parts[4]))
    return rows


def enabled(hwnd):
    return driver("state", hwnd).strip().split("\t")[0] == "1"


def wait_for(what, probe, timeout=30):
    """probe()'s first true value, polled until timeout seconds have passed."""
    deadline = time.time() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.time() > deadline:
            raise AssertionError("timed out waiting for %s (last: %r)" % (what, value))
        time.sleep(0.2)
