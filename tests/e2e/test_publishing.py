"""The vendor's side, as docs/publishing.md tells it: a repository made by
the guide's own commands (signed packages and index) updates a device whose
image got the key by the guide's command, over HTTP; a repository that misses
a step gives the log lines the guide's table shows."""

import os
import re
import shutil
import tempfile

import httpserver
import publishing
import release
import testdata
from harness import UpdateTestCase, nevras, release_nevras


def missed_step_table():
    """The guide's table: step missed -> the lines a device logs."""
    with open(publishing.GUIDE) as f:
        rows = re.findall(r"^\| ([a-z][^|]*?) \| (`ERROR.*?) \|$", f.read(), re.M)
    return {step: re.findall(r"`([^`]+)`", lines) for step, lines in rows}


class Publishing(UpdateTestCase):
    @classmethod
    def setUpClass(cls):
        cls.guide = tempfile.mkdtemp(prefix="publishing-e2e-")
        cls.key = testdata.Key("demo-release")
        cls.rpms = release.build_release(2)
        # Every step, the export of the public key included.
        cls.complete = publishing.publish(os.path.join(cls.guide, "complete"), cls.rpms, cls.key)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.guide, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.root.set_identity()
        publishing.import_key(self.root, os.path.join(self.guide, "complete", "updates-key.asc"))
        self.use_repo("http://127.0.0.1:8080/")
        self.server = None

    def serve(self, repo):
        if self.server:
            self.server.stop()
        self.server = httpserver.ScriptedServer(self.root, {"root": repo}, port=8080)
        return repo

    def test_the_guides_repository_updates_a_device_without_a_complaint(self):
        self.serve(self.complete)
        result = self.updater()
        self.assertRun(result, 0, "INFO: --- 6 UPDATE(S) ---", "INFO: --- FIRMWARE 2-1 ---",
                       "INFO: pass 1: all but add-ons", "INFO: verifying package signatures",
                       "INFO: packages installed OK", "INFO: pass 2: add-ons", "INFO: verifying package signatures",
                       "INFO: packages installed OK", "INFO: --- EXIT OK ---")
        self.assertEqual([line for line in result.lines if not line.startswith("INFO: ")], [], result)
        self.assertEqual(nevras(self.root), release_nevras(2))
        # The index, its signature and the primary file first; then each package once.
        paths = self.server.paths()
        self.assertEqual(paths[:2], ["/repodata/repomd.xml", "/repodata/repomd.xml.asc"])
        self.assertIn("primary.xml", paths[2])
        self.assertEqual(sorted(paths[3:]), sorted("/" + os.path.basename(p) for p in self.rpms
                                                   if "system-base" not in p))
        self.assertRebooted()
        self.assertState("REBOOTING", "COMPLETE")

    def test_a_missed_step_logs_what_the_guide_says(self):
        every = set(range(len(publishing.blocks("vendor"))))
        publish = {
            "packages not signed": lambda: self.publish("unsigned-packages", every - {0}),
            "repository index not signed": lambda: self.publish("unsigned-index", every - {2}),
            "index changed after signing": lambda: self.change_index(self.publish("changed-index")),
            "key not in the device's database": lambda: self.publish("other-key", key=testdata.Key("other-vendor")),
        }
        table = missed_step_table()
        self.assertEqual(sorted(table), sorted(publish))
        for step, lines in table.items():
            self.serve(publish[step]())
            result = self.updater()
            self.assertEqual(result.returncode, 1, result)
            for line in lines + ["INFO: --- EXIT ERROR ---"]:
                self.assertIn(line, result.lines, (step, result))
            self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertEqual(self.reboot_calls(), [])

    def publish(self, name, steps=None, key=None):
        return publishing.publish(os.path.join(self.work, name), self.rpms, key or self.key, steps)

    @staticmethod
    def change_index(repo):
        with open(os.path.join(repo, "repodata", "repomd.xml"), "a") as f:
            f.write("\n")
        return repo
