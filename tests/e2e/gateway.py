"""A real Internet gateway for the port-mapping tests: miniupnpd (nftables build) in a network
namespace of its own, joined by a veth pair to the namespace this module runs in (where Wine runs).
Its WAN is a second veth pair whose both ends stay inside the gateway namespace, with a
public-looking /32 that exists only there: miniupnpd refuses every mapping behind a private WAN
address. Multicast routes on both sides let SSDP flow; nothing leaves the two namespaces.

    with Gateway() as gw:
        gw.mappings()          # [(external port, protocol, internal client, internal port, description)]
        gw.nft_rules()         # the gateway's nft ruleset, as text
        gw.upnpc("-a", ...)    # miniupnpc from the gateway's own side

Everything it starts is ended by process id and the namespace is deleted on exit.
"""
import os
import re
import subprocess
import tempfile
import time

import netns

LAN_PREFIX = "192.168.77"
GATEWAY_LAN = LAN_PREFIX + ".1"
CLIENT_LAN = LAN_PREFIX + ".2"
# Not private, not reserved, not documentation: miniupnpd maps nothing behind anything else.
WAN_ADDRESS = "81.30.158.17"
HTTP_PORT = 5555

NFT_TABLES = """
table inet filter {
    chain forward {
        type filter hook forward priority 0; policy accept;
        jump miniupnpd
    }
    chain miniupnpd {
    }
    chain prerouting {
        type nat hook prerouting priority -100; policy accept;
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority 100; policy accept;
        jump postrouting_miniupnpd
    }
    chain prerouting_miniupnpd {
    }
    chain postrouting_miniupnpd {
    }
}
"""

CONFIG = """ext_ifname={wan}
listening_ip={lan}
http_port={http_port}
enable_natpmp=no
enable_upnp=yes
secure_mode=yes
system_uptime=yes
force_igd_desc_v1=yes
notify_interval=60
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1024-65535 {lan_prefix}.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
"""


def run(*args, check=True, timeout=30):
    out = subprocess.run(list(args), capture_output=True, timeout=timeout)
    if check and out.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(args), out.returncode,
                                                   out.stderr.decode("utf-8", "replace").strip()))
    return out.stdout.decode("utf-8", "replace")


class Gateway:
    """The gateway namespace and its miniupnpd. start=False builds the network but leaves the
    gateway silent until start_daemon(), for a gateway that appears late."""

    def __init__(self, start=True):
        netns.namespace()
        tag = "%d" % os.getpid()
        self.name = "wexa-gw-%s" % tag
        # Interface names hold at most 15 characters.
        self.client_if = "wgc%s" % tag[-8:]
        self.lan_if = "wgl%s" % tag[-8:]
        self.wan_if, self.wan_peer = "wan0", "wan1"
        self.start = start
        self.daemon = None
        self.folder = None

    def __enter__(self):
        try:
            self._build()
            if self.start:
                self.start_daemon()
        except Exception:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _in_gw(self, *args, check=True, timeout=30):
        return run("ip", "netns", "exec", self.name, *args, check=check, timeout=timeout)

    def _build(self):
        self.folder = tempfile.mkdtemp(prefix="wexa-gw-")
        run("ip", "netns", "add", self.name)
        self._in_gw("ip", "link", "set", "lo", "up")
        # LAN: one end here (where Wine runs), the other in the gateway.
        run("ip", "link", "add", self.client_if, "type", "veth", "peer", "name", self.lan_if)
        run("ip", "link", "set", self.lan_if, "netns", self.name)
        run("ip", "addr", "add", CLIENT_LAN + "/24", "dev", self.client_if)
        run("ip", "link", "set", self.client_if, "up")
        run("ip", "route", "add", "224.0.0.0/4", "dev", self.client_if)
        run("ip", "route", "add", "default", "via", GATEWAY_LAN)
        self._in_gw("ip", "addr", "add", GATEWAY_LAN + "/24", "dev", self.lan_if)
        self._in_gw("ip", "link", "set", self.lan_if, "up")
        self._in_gw("ip", "route", "add", "224.0.0.0/4", "dev", self.lan_if)
        # WAN: both ends stay in the gateway namespace (this kernel has no dummy interfaces).
        self._in_gw("ip", "link", "add", self.wan_if, "type", "veth", "peer", "name", self.wan_peer)
        self._in_gw("ip", "addr", "add", WAN_ADDRESS + "/32", "dev", self.wan_if)
        self._in_gw("ip", "link", "set", self.wan_if, "up")
        self._in_gw("ip", "link", "set", self.wan_peer, "up")
        self._in_gw("ip", "route", "add", "default", "dev", self.wan_if)
        self._in_gw("sysctl", "-qw", "net.ipv4.ip_forward=1")
        rules = os.path.join(self.folder, "tables.nft")
        with open(rules, "w") as f:
            f.write(NFT_TABLES)
        self._in_gw("nft", "-f", rules)
        self.config = os.path.join(self.folder, "miniupnpd.conf")
        with open(self.config, "w") as f:
            f.write(CONFIG.format(wan=self.wan_if, lan=self.lan_if, http_port=HTTP_PORT, lan_prefix=LAN_PREFIX))

    def start_daemon(self):
        """Starts miniupnpd in the foreground (-d) and waits until it answers HTTP."""
        self.log_path = os.path.join(self.folder, "miniupnpd.log")
        log = open(self.log_path, "ab")
        self.daemon = subprocess.Popen(["ip", "netns", "exec", self.name, "miniupnpd", "-d", "-f", self.config,
                                        "-P", os.path.join(self.folder, "miniupnpd.pid")],
                                       stdout=log, stderr=subprocess.STDOUT)
        log.close()
        deadline = time.time() + 20
        while time.time() < deadline:
            if self.daemon.poll() is not None:
                raise RuntimeError("miniupnpd exited (%s): %s" % (self.daemon.returncode, self.log()))
            listening = subprocess.run(["ip", "netns", "exec", self.name, "sh", "-c",
                                        "ss -ltn | grep -q ':%d '" % HTTP_PORT]).returncode == 0
            if listening:
                return
            time.sleep(0.1)
        raise TimeoutError("miniupnpd does not listen: %s" % self.log())

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except (OSError, AttributeError):
            return ""

    def upnpc(self, *args, timeout=30):
        """miniupnpc run from the gateway's side against its own device description."""
        url = "http://%s:%d/rootDesc.xml" % (GATEWAY_LAN, HTTP_PORT)
        return self._in_gw("upnpc", "-u", url, *args, check=False, timeout=timeout)

    def mappings(self):
        """The gateway's own listing: [(external port, protocol, client, internal port, description)]."""
        rows = []
        for line in self.upnpc("-l").splitlines():
            # " 0 TCP  8080->192.168.77.2:8080  'Wexa-Share Port' '' 0"
            m = re.match(r"\s*\d+\s+(TCP|UDP)\s+(\d+)->([\d.]*):(\d+)\s+'([^']*)'", line)
            if m:
                rows.append((int(m.group(2)), m.group(1), m.group(3), int(m.group(4)), m.group(5)))
        return rows

    def nft_rules(self):
        return self._in_gw("nft", "list", "ruleset")

    def redirects(self):
        """[(external port, client, internal port)] of the nat rules miniupnpd wrote."""
        text = self._in_gw("nft", "list", "chain", "inet", "filter", "prerouting_miniupnpd")
        return [(int(a), b, int(c)) for a, b, c in
                re.findall(r"th dport (\d+) dnat ip to ([\d.]+):(\d+)", text)]

    def stop_daemon(self):
        if self.daemon and self.daemon.poll() is None:
            self.daemon.terminate()
            try:
                self.daemon.wait(10)
            except subprocess.TimeoutExpired:
                self.daemon.kill()
                self.daemon.wait()
        self.daemon = None

    def close(self):
        self.stop_daemon()
        # Whatever still runs in the gateway namespace was started here.
        pids = run("ip", "netns", "pids", self.name, check=False).split()
        for pid in pids:
            try:
                os.kill(int(pid), 9)
            except (OSError, ValueError):
                pass
        run("ip", "link", "del", self.client_if, check=False)
        run("ip", "netns", "del", self.name, check=False)
        if self.folder:
            subprocess.run(["rm", "-rf", self.folder])
