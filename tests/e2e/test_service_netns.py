"""The web service reached the way the programs reach it: by the service host name on port 80,
inside this module's own network namespace, read by our own HTTP client (the downloader's engine,
whose response-head parser the share program's requesters share)."""
import tempfile
import unittest

import netns
from downloadhost import DownloadHost, make_file, sha_file


class ServiceByNameTests(unittest.TestCase):
    def test_address_version_and_installer_arrive_whole(self):
        with tempfile.TemporaryDirectory() as releases, tempfile.TemporaryDirectory() as folder:
            make_file(releases, "WexaShare-121.exe", 1000, seed=1)
            installer = make_file(releases, "WexaShare-122.exe", 3 * 1024 * 1024 + 17, seed=2)
            base = "http://%s" % netns.SERVICE_HOST
            urls = [base + "/getip.php", base + "/update.php?mode=check", base + "/update.php"]
            with netns.ServiceProcess(["--releases", releases]) as service:
                with DownloadHost(urls, connections=4, folder=folder) as host:
                    paths = [host.wait_complete(i, 120) for i in (1, 2, 3)]
            with open(paths[0], "rb") as f:
                self.assertEqual(f.read(), b"127.0.0.1")
            with open(paths[1], "rb") as f:
                self.assertEqual(f.read(), b"122")
            self.assertEqual(sha_file(paths[2]), sha_file(installer))
            self.assertTrue(any(" /update.php " in line for line in service.log()), service.log())


if __name__ == "__main__":
    unittest.main()
