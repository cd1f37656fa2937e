"""Receiving files from a real browser: headless Chromium sends one file through the form page
and three at once through the multi-file page of the server running under Wine."""
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import unittest

from sharehost import ShareHost, wine_path

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "..", "browser", "upload_pages.mjs")
CHROMIUM = "/usr/bin/chromium"


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def node_flags():
    """node 20 has the WebSocket client behind a flag; later versions have it built in."""
    probe = subprocess.run(["node", "-e", "process.exit(typeof WebSocket === 'function' ? 0 : 1)"])
    return [] if probe.returncode == 0 else ["--experimental-websocket"]


@unittest.skipUnless(os.path.exists(CHROMIUM) and shutil.which("node"), "chromium and node are needed")
class BrowserUploads(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="wexa-browser-")
        self.sources = os.path.join(self.root, "sources")
        self.received = os.path.join(self.root, "received")
        os.mkdir(self.sources)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def make(self, name, size):
        path = os.path.join(self.sources, name)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        return path

    def test_both_send_pages_store_what_the_browser_sent(self):
        form_file = self.make("form page file.txt", 70000)
        multi = [self.make("first.bin", 3 * 1024 * 1024 + 5), self.make("second \u00e9t\u00e9.dat", 2 * 1024 * 1024),
                 self.make("third.jpg", 1024 * 1024 + 8192)]
        # The screenshot is kept in the build tree for people to look at.
        shot = os.path.join(os.environ.get("WEXA_BIN_DIR", self.root), "browser-upload-progress.png")
        settings = {"AllowUploads": 1, "SWFUpload": 1, "UserName": "Ann",
                    "UploadsDirectory": wine_path(self.received)}
        with ShareHost(settings) as host:
            run = subprocess.run(["node", *node_flags(), DRIVER, str(host.port), shot, form_file, *multi],
                                 capture_output=True, timeout=600)
        self.assertEqual(run.returncode, 0, run.stderr.decode("utf-8", "replace")[-3000:])
        result = json.loads(run.stdout.decode("utf-8").strip().splitlines()[-1])

        self.assertEqual(result["form"]["title"], "File Sent")
        self.assertIn("has been sent successfully", result["form"]["text"])
        self.assertEqual(result["multi"]["midUpload"]["boxes"], 3)
        self.assertEqual(result["multi"]["status"], "3 files sent.")
        self.assertEqual(result["multi"]["statuses"], ["Complete."] * 3)
        self.assertTrue(result["multi"]["cancelDisabled"])
        self.assertTrue(os.path.getsize(shot) > 1000)

        for path in [form_file] + multi:
            stored = os.path.join(self.received, os.path.basename(path))
            with self.subTest(name=os.path.basename(path)):
                self.assertTrue(os.path.exists(stored), sorted(os.listdir(self.received)))
                self.assertEqual(os.path.getsize(stored), os.path.getsize(path))
                self.assertEqual(sha(stored), sha(path))
        self.assertEqual(len(os.listdir(self.received)), 4)


if __name__ == "__main__":
    unittest.main()
