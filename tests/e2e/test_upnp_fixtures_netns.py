"""Self-test of the port-mapping fixtures, without the share program: the gateway (miniupnpd in a
namespace of its own) maps for a LAN client and refuses a port held by another; the COM
stand-in finds it by SSDP within its bound, reports the firewall state the test sets and records
the calls; the UPnPNAT wrapper turns Wine's E_FAIL for a conflict into ERROR_BUSY and nothing else.
Everything runs in this module's own network namespace and Wine prefix."""
import subprocess
import time
import unittest

import comstub
from comstub import ComStandIn, probe
from gateway import CLIENT_LAN, GATEWAY_LAN, Gateway, run

E2E_NETNS = True
PROGRAM = r"Z:\opt\example\Program.exe"


def upnpc(*args):
    return subprocess.run(["upnpc", *args], capture_output=True, text=True, timeout=60).stdout


class GatewayFixture(unittest.TestCase):
    def test_maps_for_a_lan_client_refuses_a_held_port_and_leaves_nothing(self):
        with Gateway() as gw:
            name = gw.name
            out = upnpc("-e", "Fixture", "-a", CLIENT_LAN, "18080", "18080", "TCP")
            self.assertIn("is redirected to internal %s:18080" % CLIENT_LAN, out)
            self.assertIn((18080, "TCP", CLIENT_LAN, 18080, "Fixture"), gw.mappings())
            self.assertIn((18080, CLIENT_LAN, 18080), gw.redirects())
            # Another client holds 19090: a second client's request for it is a conflict.
            gw.upnpc("-e", "Other", "-a", GATEWAY_LAN, "19090", "19090", "TCP")
            self.assertIn("718", upnpc("-a", CLIENT_LAN, "19090", "19090", "TCP"))
            self.assertIn((19090, "TCP", GATEWAY_LAN, 19090, "Other"), gw.mappings())
            upnpc("-d", "18080", "TCP")
            self.assertNotIn(18080, [m[0] for m in gw.mappings()])
            self.assertNotIn(18080, [r[0] for r in gw.redirects()])
        self.assertNotIn(name, run("ip", "netns", "list"))
        self.assertNotIn("wgc", run("ip", "-o", "link"))


class ComStandInFixture(unittest.TestCase):
    def setUp(self):
        self.stub = ComStandIn(["firewall", "finder"])
        self.addCleanup(self.stub.close)

    def test_finder_counts_the_gateway_and_keeps_to_its_bound_without_one(self):
        self.stub.set_finder(1500)
        with Gateway(start=False) as gw:
            started = time.time()
            self.assertEqual(probe("find", comstub.IGD_TYPE), {"devices": "0"})
            elapsed = time.time() - started
            self.assertGreaterEqual(elapsed, 1.5)
            self.assertLess(elapsed, 8)
            gw.start_daemon()
            self.assertEqual(probe("find", comstub.IGD_TYPE), {"devices": "1"})
            # A type no device has: nothing answers.
            self.assertEqual(probe("find", "urn:schemas-upnp-org:device:Printer:1"), {"devices": "0"})
        self.assertTrue(any(c.startswith("Finder.FindByType %s 0 -> 1" % comstub.IGD_TYPE)
                            for c in self.stub.calls()))

    def test_firewall_reports_the_state_set_and_records_every_call(self):
        self.stub.set_firewall(enabled=1, no_exceptions=1, open_ports="8080:1,9000:0")
        self.stub.set_apps([(False, "Old", PROGRAM)])
        self.assertEqual(probe("firewall", 8080, PROGRAM),
                         {"enabled": "1", "no_exceptions": "1", "port": "1", "app": "0"})
        self.assertEqual(probe("firewall", 9000, PROGRAM.lower())["port"], "0")
        self.assertEqual(probe("firewall", 9001, r"Z:\other.exe"),
                         {"enabled": "1", "no_exceptions": "1", "port": "none", "app": "none"})
        # Changed while nothing runs: read again at the next call.
        self.stub.set_firewall(enabled=0)
        self.assertEqual(probe("firewall", 8080, PROGRAM)["enabled"], "0")
        calls = self.stub.calls()
        self.assertIn("Ports.Item 8080 6 -> found", calls)
        self.assertIn("Apps.Item %s -> found" % PROGRAM, calls)
        self.assertIn("App.get_Enabled %s -> 0" % PROGRAM, calls)

    def test_firewall_adds_refuses_or_is_absent_as_told(self):
        self.stub.set_firewall(enabled=1)
        self.assertEqual(probe("add", PROGRAM), {"add": "0x00000000"})
        self.assertEqual(self.stub.apps(), [(True, "", PROGRAM)])
        self.stub.set_apps([])
        self.stub.set_firewall(enabled=1, refuse_add=1)
        self.assertEqual(probe("add", PROGRAM), {"add": "0x%08x" % comstub.E_ACCESSDENIED})
        self.assertEqual(self.stub.apps(), [])
        self.stub.set_firewall(manager=0)
        self.assertEqual(probe("firewall", 8080, PROGRAM), {"manager": "0x%08x" % comstub.SERVICE_ABSENT})
        self.assertIn("Mgr.create -> absent", self.stub.calls())


class NatWrapperFixture(unittest.TestCase):
    def test_conflict_becomes_error_busy_only_through_the_wrapper(self):
        stub = ComStandIn(["nat"])
        self.addCleanup(stub.close)
        with Gateway() as gw:
            gw.upnpc("-e", "Other", "-a", GATEWAY_LAN, "19090", "19090", "TCP")
            self.assertEqual(probe("nat-add", 19090, CLIENT_LAN), {"add": "0x%08x" % comstub.ERROR_BUSY})
            self.assertEqual(probe("nat-add", 18081, CLIENT_LAN), {"add": "0x00000000"})
            self.assertIn((18081, "TCP", CLIENT_LAN, 18081, "Probe"), gw.mappings())
            self.assertTrue(any(c.startswith("Nat.Add 19090 TCP %s -> 0x80004005, answered 0x800700aa" % CLIENT_LAN)
                                for c in stub.calls()), stub.calls())
            # Wine's own object, as the other tests meet it: the same conflict is a plain E_FAIL.
            stub.unregister_nat()
            self.assertEqual(probe("nat-add", 19090, CLIENT_LAN), {"add": "0x%08x" % comstub.E_FAIL})


if __name__ == "__main__":
    unittest.main()
