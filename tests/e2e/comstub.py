"""The COM stand-in of tests/support/comstub (WexaTestCom.dll), registered in this module's own
Wine prefix only: a firewall whose state the test sets, a device finder that really searches by
SSDP within a bounded wait, and (only when asked) a wrapper over Wine's UPnPNAT that turns a
gateway's conflict answer, which Wine reports as E_FAIL, into the ERROR_BUSY Windows gives.

    stub = ComStandIn(["firewall", "finder"])
    stub.set_firewall(enabled=1, no_exceptions=0, refuse_add=0, refuse_enable=0, open_ports="8080:1")
    stub.set_apps([(False, "Old name", program_path)])
    stub.calls()     # every call the stand-in received, one line each
"""
import os
import subprocess
import tempfile

from sharehost import BIN_DIR, WINE, reg_import, wine_env, wine_path

DLL = os.path.join(BIN_DIR, "bin", "WexaTestCom.dll")
PROBE = os.path.join(BIN_DIR, "bin", "WexaTestComProbe.exe")
IGD_TYPE = "urn:schemas-upnp-org:device:InternetGatewayDevice:1"

CLASS_IDS = {
    "firewall": ["{304CE942-6E39-40D8-943A-B913C40C9CD4}", "{EC9846B3-2762-4A6B-A214-6ACB603462D2}"],
    "finder": ["{E2085F28-FEB7-404A-B8E7-E659BDEAAA02}"],
    "nat": ["{AE1E00AA-3FD5-403C-8A27-2BBDC30CD0E1}"],
}
# What a fresh prefix holds for each kind (None: Wine has no such class), put back on close so
# that the next test of the module meets Wine's own objects again.
WINE_CLASSES = {
    "firewall": (r"C:\windows\system32\hnetcfg.dll", "Both"),
    "finder": None,
    "nat": (r"C:\windows\system32\hnetcfg.dll", "Apartment"),
}
CLSID_KEY = r"HKEY_LOCAL_MACHINE\Software\Classes\CLSID\%s"
STATE_KEY = r"HKEY_CURRENT_USER\Software\WexaTestCom"

# HRESULTs the tests compare with.
E_FAIL = 0x80004005
E_ACCESSDENIED = 0x80070005
ERROR_BUSY = 0x800700AA
SERVICE_ABSENT = 0x800706D9


def reg_text(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


class ComStandIn:
    def __init__(self, kinds=("firewall", "finder")):
        self.folder = tempfile.mkdtemp(prefix="wexa-comstub-")
        self.kinds = list(kinds)
        lines = []
        for kind in self.kinds:
            for clsid in CLASS_IDS[kind]:
                lines += ["[%s\\InprocServer32]" % (CLSID_KEY % clsid),
                          "@=%s" % reg_text(wine_path(DLL)), '"ThreadingModel"="Both"', ""]
        lines += ["[%s]" % STATE_KEY, '"Folder"=%s' % reg_text(wine_path(self.folder)), ""]
        reg_import(lines)

    def unregister(self, kinds):
        """Gives the classes of these kinds back to Wine."""
        lines = []
        for kind in kinds:
            for clsid in CLASS_IDS[kind]:
                if WINE_CLASSES[kind] is None:
                    lines += ["[-%s]" % (CLSID_KEY % clsid), ""]
                else:
                    dll, model = WINE_CLASSES[kind]
                    lines += ["[%s\\InprocServer32]" % (CLSID_KEY % clsid), "@=%s" % reg_text(dll),
                              '"ThreadingModel"="%s"' % model, ""]
        reg_import(lines)
        self.kinds = [kind for kind in self.kinds if kind not in kinds]

    def unregister_nat(self):
        """Gives UPnPNAT back to Wine's own object."""
        self.unregister(["nat"])

    def path(self, name):
        return os.path.join(self.folder, name)

    def _write(self, name, text):
        temporary = self.path(name + ".new")
        with open(temporary, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.replace(temporary, self.path(name))

    def set_firewall(self, **values):
        """manager (0 = the firewall service is absent), enabled, no_exceptions, refuse_add,
        refuse_enable, fail_read (reading the profile fails), open_ports ("8080:1,9000:0").
        Read again at every call."""
        self._write("firewall.txt", "".join("%s=%s\n" % item for item in values.items()))

    def set_finder(self, wait_ms):
        self._write("finder.txt", "finder_wait_ms=%d\n" % wait_ms)

    def set_apps(self, apps):
        """[(enabled, name, Windows path)]"""
        self._write("apps.txt", "".join("%d\t%s\t%s\n" % (1 if e else 0, n, p) for e, n, p in apps))

    def apps(self):
        try:
            with open(self.path("apps.txt"), encoding="utf-8") as f:
                rows = [line.rstrip("\n").split("\t", 2) for line in f if line.strip()]
        except FileNotFoundError:
            return []
        return [(e == "1", n, p) for e, n, p in rows]

    def calls(self):
        try:
            with open(self.path("calls.txt"), encoding="utf-8", errors="replace") as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def clear_calls(self):
        try:
            os.unlink(self.path("calls.txt"))
        except FileNotFoundError:
            pass

    def close(self):
        self.unregister(self.kinds)
        reg_import(["[-%s]" % STATE_KEY, ""])
        subprocess.run(["rm", "-rf", self.folder])


def probe(*args, timeout=60):
    """WexaTestComProbe.exe's answers as {name: value}."""
    out = subprocess.run([WINE, PROBE, *[str(a) for a in args]], env=wine_env(), capture_output=True,
                         timeout=timeout).stdout.decode("utf-8", "replace").replace("\r", "")
    return dict(line.split(" ", 1) for line in out.splitlines() if " " in line)
