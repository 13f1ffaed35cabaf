"""The vendor's side, as docs/publishing.md tells it: a repository made by
the guide's own commands is accepted by a device whose image got the key by
the guide's command, and a repository that misses a step gives the log lines
the guide's table shows."""

import os
import re
import shutil
import tempfile
import unittest

import httpserver
import publishing
import release
import testdata
from devroot import DeviceRoot

LOCATION = "http://127.0.0.1:8080/"


def missed_step_table():
    """The guide's table: step missed -> the lines a device logs."""
    with open(publishing.GUIDE) as f:
        text = f.read()
    rows = re.findall(r"^\| ([a-z][^|]*?) \| (`ERROR.*?) \|$", text, re.M)
    return {step: re.findall(r"`([^`]+)`", lines) for step, lines in rows}


class Publishing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="publishing-e2e-")
        cls.key = testdata.Key("demo-release")
        cls.rpms = release.build_release(2)
        # Every step, the export of the public key included.
        cls.complete = publishing.publish(os.path.join(cls.work, "complete"), cls.rpms, cls.key)
        cls.key_file = os.path.join(cls.work, "complete", "updates-key.asc")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.root = DeviceRoot()
        self.addCleanup(self.root.close)
        self.root.set_identity()
        release.install_release(self.root, 1)
        publishing.import_key(self.root, self.key_file)
        self.root.write_config(text=release.CONFIG % {"location": LOCATION})
        for name in ("telinit", "shutdown"):
            self.root.install_standin("/usr/local/sbin/" + name)

    def serve(self, name, steps=None, key=None):
        """Publishes the release with the guide's steps (some of them) and
        serves it, in place of the repository served before."""
        repo = publishing.publish(os.path.join(self.work, name), self.rpms, key or self.key, steps) \
            if name else self.complete
        if getattr(self, "server", None):
            self.server.stop()
        self.server = httpserver.ScriptedServer(self.root, {"root": repo}, port=8080)
        self.addCleanup(self.server.stop)
        return repo

    def installed(self):
        return self.root.check(["rpm", "-q", "app"]).stdout.strip()

    def test_the_guides_repository_updates_a_device_without_a_complaint(self):
        self.serve(None)
        result = self.root.updater("--max-wait-time", "-1", "--no-reboot")
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual([line for line in result.lines if not line.startswith("INFO: ")], [], result)
        self.assertEqual(self.installed(), "app-2-1.noarch")

    def test_a_missed_step_logs_what_the_guide_says(self):
        every = set(range(len(publishing.blocks("vendor"))))
        publish = {
            "packages not signed": lambda: self.serve("unsigned-packages", every - {0}),
            "repository index not signed": lambda: self.serve("unsigned-index", every - {2}),
            "index changed after signing": lambda: self.change_index(self.serve("changed-index")),
            "key not in the device's database": lambda: self.serve("other-key", key=testdata.Key("other-vendor")),
        }
        table = missed_step_table()
        self.assertEqual(sorted(table), sorted(publish))
        for step, lines in table.items():
            publish[step]()
            result = self.root.updater("--max-wait-time", "-1")
            self.assertEqual(result.returncode, 1, result)
            for line in lines + ["INFO: --- EXIT ERROR ---"]:
                self.assertIn(line, result.lines, (step, result))
            self.assertEqual(self.installed(), "app-1-1.noarch")

    @staticmethod
    def change_index(repo):
        with open(os.path.join(repo, "repodata", "repomd.xml"), "a") as f:
            f.write("\n")


if __name__ == "__main__":
    unittest.main()
