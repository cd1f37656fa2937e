"""The LAN address chosen at start-up from this machine's own address list (outside any test
namespace): Wine lists the host's interfaces for the host name without asking any name server,
and the program must pick one of the best-scoring private addresses, or the first public one.
Nothing else is switched on, so the program sends nothing beyond loopback."""
import ipaddress
import subprocess
import unittest

from guidriver import QUIET, ProgramProcess, driver
from sharehost import free_port, read_value, write_settings


def score(address):
    a, b = address.packed[0], address.packed[1]
    if a == 192:
        return 3 if b == 168 else 1
    if a == 10 or (a == 172 and 16 <= b <= 31):
        return 2
    return 0


def host_addresses():
    out = subprocess.run(["ip", "-4", "-o", "addr", "show"], capture_output=True, text=True, check=True).stdout
    found = []
    for line in out.splitlines():
        parts = line.split()
        address = ipaddress.ip_address(parts[parts.index("inet") + 1].split("/")[0])
        if not address.is_loopback:
            found.append(address)
    return found


class LocalAddressOnThisHost(unittest.TestCase):
    def test_start_up_picks_a_best_scoring_address_of_this_host(self):
        addresses = host_addresses()
        if not addresses:
            self.skipTest("this host has no address beside loopback")
        best = max(score(a) for a in addresses)
        expected = {str(a) for a in addresses if score(a) == best}
        write_settings(dict(QUIET, SharePort=free_port(), DetectLocalIP=1, LocalAddress=""))
        program = ProgramProcess()
        try:
            program.main = driver("wait", "WexaShare", "Wexa-Share", 60, timeout=90).strip()
            # Saved right after the choice, before the window was made.
            chosen = read_value("LocalAddress")
            self.assertEqual(program.exit(), 0)
        finally:
            program.kill()
        self.assertIsNotNone(chosen)
        self.assertIn(chosen[1], expected)


if __name__ == "__main__":
    unittest.main()
