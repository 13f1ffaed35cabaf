"""Full updates with the real rpm: the passes, the hooks, the state files and the reboot."""

import os
import pathlib
import re

import release
from devroot import UPDATER
from harness import (FIVE, FIVE_DONE, INSTALL, PACKAGE_CACHE, PASS_1, PASS_2, REBOOT_CALLS, UpdateTestCase, nevras,
                     primary_file, release_nevras)

HOOKS = [call for n in "32" for call in (["download", "1.8.3"], ["update", "1.8.3", n], ["postupdate", "1.8.3", n])]


class FullUpdate(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.record_rpm_calls()

    def test_multi_pass_update_from_a_file_repository(self):
        repo = self.repo(release.variant(2, drop=FIVE))
        self.use_repo(repo)
        result = self.traced_updater("--no-md-sig-check")
        self.assertRun(result, 0, "INFO: --- 5 UPDATE(S) ---", "INFO: --- UPDATER 1.8.3-2 ---",
                       "INFO: need to update (5 packages):", "INFO: pass 1: all but add-ons",
                       "INFO: starting update (3 packages):", "INFO: downloading 3 packages",
                       "INFO: updating package(s)", "INFO: packages installed OK", "INFO: pass 2: add-ons",
                       "INFO: starting update (2 packages):", "INFO: downloading 2 packages",
                       "INFO: updating package(s)", "INFO: packages installed OK",
                       "INFO: rebooting for upgrades to take full effect", "INFO: --- EXIT OK ---")
        self.assertEqual(len([line for line in result.lines if "UPDATE(S)" in line]), 1, result)
        self.assertEqual(nevras(self.root), FIVE_DONE)
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + f for f in PASS_1],
                                            INSTALL + [PACKAGE_CACHE + f for f in PASS_2]])
        self.assertEqual(self.hook_calls(), [["init", "1.8.3"]] + HOOKS)
        # The status at each hook: ANALYZING before the download, DOWNLOADING before rpm, then PKGSDONE.
        self.assertEqual(self.hook_statuses(), [["init", "-"]] + [
            [call[0], status] for call, status in zip(HOOKS, ["ANALYZING", "DOWNLOADING", "PKGSDONE"] * 2)])
        self.assertEqual(self.writes("status"), ["ANALYZING"] + ["ANALYZING", "DOWNLOADING", "UPDATING", "PKGSDONE"] * 2
                         + ["READY", "REBOOTING"])
        self.assertEqual(self.writes("update-state"), ["COMPLETE"])
        self.assertEqual(len(self.traced(r"^(sync)\(\)")), 2)
        self.assertRebooted()
        self.assertState("REBOOTING", "COMPLETE")
        self.assertEqual(self.root.listdir(PACKAGE_CACHE), [])
        # The index, the primary file and each package were fetched once.
        index = pathlib.Path(repo, "repodata", "repomd.xml").read_text()
        fetched = ["repodata/repomd.xml", primary_file(repo)] + PASS_1 + PASS_2
        self.assertRecord("ok", state="REBOOTING", product="Demo Appliance", release="1-1", mode="update",
                          counts={"selected": 5, "installed": 5,
                                  "downloaded_bytes": sum(os.path.getsize(os.path.join(repo, f)) for f in fetched)},
                          repository={"id": "base", "uri": "file://" + repo,
                                      "revision": re.search(r"<revision>(.*)</revision>", index).group(1)},
                          **{"pass": 2})

    def test_test_mode_and_a_failed_download_hook_install_nothing(self):
        self.use_repo(self.repo(release.variant(2, drop=FIVE)))
        result = self.traced_updater("--no-md-sig-check", "--test")
        self.assertRun(result, 0, "INFO: --- MODE test ---", "INFO: testing package(s) update",
                       "INFO: packages tested OK", "INFO: --- EXIT OK ---")
        # Nothing was installed by the first pass, so the add-on pass tests all five.
        self.assertEqual(self.rpm_calls(), [["--test", "-U"] + [PACKAGE_CACHE + f for f in PASS_1],
                                            ["--test", "-U"] + [PACKAGE_CACHE + f for f in sorted(PASS_1 + PASS_2)]])
        self.assertEqual(self.hook_statuses()[1:4], [["download", "ANALYZING"], ["test", "DOWNLOADING"],
                                                     ["posttest", "PKGSDONE"]])
        self.assertEqual(self.hook_calls()[2:4], [["test", "1.8.3", "3"], ["posttest", "1.8.3", "3"]])
        self.assertEqual(self.writes("status"), ["ANALYZING"] + ["ANALYZING", "DOWNLOADING", "TESTING", "PKGSDONE"] * 2
                         + ["READY"])
        self.assertEqual(self.traced(r"^(sync)\(\)"), [])
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertEqual(self.reboot_calls(), [])
        self.assertState("READY", "AVAILABLE")

        self.add_to_hook('[ "$1" = download ] && exit 3')
        self.assertRun(self.updater("--no-md-sig-check"), 1, "INFO: running download hook",
                       "ERROR: hook failed (exit code 3)", "ERROR: failed updating, will try updating updater only",
                       "INFO: --- RETRY UPDATER ONLY ---", "INFO: starting update (1 packages):",
                       "INFO: running download hook", "ERROR: hook failed (exit code 3)", "INFO: --- EXIT ERROR ---")
        self.assertEqual(len(self.rpm_calls()), 2)  # the test mode's
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertState("READY", "AVAILABLE")
        self.assertRecord("error", "hook", last_error="hook failed (exit code 3)")

    def test_named_packages_update_in_one_pass(self):
        self.root.write("/var/lib/updater/update-state", "AVAILABLE\n")
        self.use_repo(self.repo(release.packages(2)))
        result = self.updater("--no-md-sig-check", "app")
        self.assertEqual(result.returncode, 0, result)
        self.assertNotIn("INFO: pass 1: all but add-ons", result.lines)
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + f for f in PASS_1[:2]]])
        self.assertRebooted()
        self.assertState("REBOOTING", "AVAILABLE")

    def test_reboot_that_cannot_start_is_fatal_and_leaves_the_device_startable(self):
        self.use_repo(self.repo(release.packages(2)))
        self.root.remove("/usr/local/sbin/shutdown")
        # No shutdown anywhere on the search path.
        path = ["/usr/bin/env", "PATH=/usr/local/sbin:/usr/local/bin:/usr/bin:/bin", UPDATER, "--max-wait-time", "-1",
                "--no-md-sig-check"]
        self.assertRun(self.root.run(path), 2, "INFO: rebooting for upgrades to take full effect",
                       "ERROR: failed starting 'shutdown' (No such file or directory)",
                       "FATAL: failed to start reboot process", "INFO: --- EXIT FATAL ---")
        self.assertEqual(self.reboot_calls(), REBOOT_CALLS[:1])
        self.assertState("READY", "COMPLETE")
        self.assertRun(self.root.run(path), 0, "INFO: no updates")
