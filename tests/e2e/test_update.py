"""Full updates with the real rpm: the counting pass, the pass without the
add-ons and the release package, the add-on pass, the hooks, the state files
and the reboot; over a file: repository and over HTTP with signatures."""

import os
import re
import unittest

import httpserver
from devroot import UPDATER
import release
import testdata
from updatehelpers import (FIVE, INSTALL, PACKAGE_CACHE, PASS_1, PASS_2, REBOOT_CALLS, UpdateTestCase, nevras,
                           release_nevras)
from driverhelpers import wait_for

class FullUpdate(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.record_rpm_calls()

    def assertRebooted(self):
        wait_for(lambda: self.root.calls("shutdown"), what="the shutdown stand-in")
        self.assertEqual(self.reboot_calls(), REBOOT_CALLS)
        self.assertEqual(self.order(), ["telinit", "shutdown"])

    def test_multi_pass_update_from_a_file_repository(self):
        repo = self.repo(release.variant(2, drop=FIVE))
        self.use_repo(repo)
        before = nevras(self.root)
        result = self.traced_updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(self.sync_calls(), 2)
        self.assertLinesInOrder(result, [
            "INFO: --- 5 UPDATE(S) ---", "INFO: --- UPDATER 1.8.3-2 ---", "INFO: need to update (5 packages):",
            "INFO: pass 1: all but add-ons", "INFO: starting update (3 packages):",
            "INFO: downloading 3 packages", "INFO: updating package(s)", "INFO: packages installed OK",
            "INFO: pass 2: add-ons", "INFO: starting update (2 packages):",
            "INFO: downloading 2 packages", "INFO: updating package(s)", "INFO: packages installed OK",
            "INFO: rebooting for upgrades to take full effect", "INFO: --- EXIT OK ---"])
        self.assertEqual(len([line for line in result.lines if "UPDATE(S)" in line]), 1, result)
        self.assertEqual(before, release_nevras(1))
        self.assertEqual(nevras(self.root), sorted(release_nevras(2, drop=FIVE) + ["product-release-1-1"]))
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + f for f in PASS_1],
                                            INSTALL + [PACKAGE_CACHE + f for f in PASS_2]])
        self.assertEqual(self.hook_calls(), [
            ["init", "1.8.3"],
            ["download", "1.8.3"], ["update", "1.8.3", "3"], ["postupdate", "1.8.3", "3"],
            ["download", "1.8.3"], ["update", "1.8.3", "2"], ["postupdate", "1.8.3", "2"]])
        # The status at each hook: analyzing before the download, downloading
        # before rpm, rpm's end recorded before the postupdate hook.
        self.assertEqual(self.hook_statuses(), [
            ["init", "-"],
            ["download", "ANALYZING"], ["update", "DOWNLOADING"], ["postupdate", "PKGSDONE"],
            ["download", "ANALYZING"], ["update", "DOWNLOADING"], ["postupdate", "PKGSDONE"]])
        self.assertEqual(self.status_writes(), ["ANALYZING",
                                                "ANALYZING", "DOWNLOADING", "UPDATING", "PKGSDONE",
                                                "ANALYZING", "DOWNLOADING", "UPDATING", "PKGSDONE",
                                                "READY", "REBOOTING"])
        self.assertEqual(self.update_state_writes(), ["COMPLETE"])
        self.assertRebooted()
        self.assertState("REBOOTING", "COMPLETE")
        self.assertEqual(self.root.listdir(PACKAGE_CACHE), [])
        # The index, the primary file and each package were fetched once.
        index = os.path.join(repo, "repodata", "repomd.xml")
        primary = re.search(r'href="(repodata/[^"]*primary\.xml[^"]*)"', open(index).read()).group(1)
        fetched = [index] + [os.path.join(repo, f) for f in [primary] + PASS_1 + PASS_2]
        revision = re.search(r"<revision>(.*)</revision>", open(index).read()).group(1)
        self.assertRecord("ok", state="REBOOTING", product="Demo Appliance", release="1-1", mode="update",
                          counts={"selected": 5, "installed": 5, "downloaded_bytes": sum(map(os.path.getsize, fetched))},
                          repository={"id": "base", "uri": "file://" + repo, "revision": revision}, **{"pass": 2})

    def test_no_reboot(self):
        self.use_repo(self.repo(release.variant(2, drop=FIVE)))
        result = self.updater("--no-md-sig-check", "--no-reboot")
        self.assertEqual(result.returncode, 0, result)
        self.assertExitLine(result, "OK")
        self.assertEqual(len(self.rpm_calls()), 2)
        self.assertEqual(nevras(self.root), sorted(release_nevras(2, drop=FIVE) + ["product-release-1-1"]))
        self.assertNotIn("INFO: rebooting for upgrades to take full effect", result.lines)
        self.assertEqual(self.reboot_calls(), [])
        self.assertState("READY", "COMPLETE")

    def test_test_mode_installs_nothing(self):
        self.use_repo(self.repo(release.variant(2, drop=FIVE)))
        result = self.traced_updater("--no-md-sig-check", "--test")
        self.assertEqual(result.returncode, 0, result)
        self.assertLinesInOrder(result, ["INFO: --- MODE test ---", "INFO: testing package(s) update",
                                         "INFO: packages tested OK", "INFO: --- EXIT OK ---"])
        # Nothing was installed by the first pass, so the add-on pass tests all five.
        self.assertEqual(self.rpm_calls(), [["--test", "-U"] + [PACKAGE_CACHE + f for f in PASS_1],
                                            ["--test", "-U"] + [PACKAGE_CACHE + f for f in sorted(PASS_1 + PASS_2)]])
        self.assertEqual(self.hook_statuses()[1:4], [["download", "ANALYZING"], ["test", "DOWNLOADING"],
                                                     ["posttest", "PKGSDONE"]])
        self.assertEqual(self.hook_calls()[2:4], [["test", "1.8.3", "3"], ["posttest", "1.8.3", "3"]])
        self.assertEqual(self.status_writes(), ["ANALYZING",
                                                "ANALYZING", "DOWNLOADING", "TESTING", "PKGSDONE",
                                                "ANALYZING", "DOWNLOADING", "TESTING", "PKGSDONE", "READY"])
        self.assertEqual(self.sync_calls(), 0)
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertEqual(self.reboot_calls(), [])
        self.assertState("READY", "AVAILABLE")

    def test_named_packages_update_in_one_pass(self):
        self.root.write("/var/lib/updater/update-state", "AVAILABLE\n")
        self.use_repo(self.repo(release.packages(2)))
        result = self.updater("--no-md-sig-check", "app")
        self.assertEqual(result.returncode, 0, result)
        self.assertNotIn("INFO: pass 1: all but add-ons", result.lines)
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + f for f in ("app-2-1.noarch.rpm",
                                                                                   "libcore-2-1.noarch.rpm")]])
        self.assertRebooted()
        self.assertState("REBOOTING", "AVAILABLE")

    def test_failed_download_hook(self):
        self.root.set_standin_exit("hook", 3, first_arg="download")
        self.use_repo(self.repo(release.variant(2, drop=FIVE)))
        result = self.updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 1, result)
        self.assertLinesInOrder(result, [
            "INFO: running download hook", "ERROR: hook failed (exit code 3)",
            "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
            "INFO: starting update (1 packages):", "INFO: running download hook", "ERROR: hook failed (exit code 3)",
            "INFO: --- EXIT ERROR ---"])
        self.assertEqual(self.rpm_calls(), [])
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertState("READY", "AVAILABLE")
        self.assertRecord("error", "hook", last_error="hook failed (exit code 3)")

    def test_reboot_that_cannot_start_is_fatal_and_leaves_the_device_startable(self):
        self.use_repo(self.repo(release.packages(2)))
        self.root.remove("/usr/local/sbin/shutdown")
        # No shutdown anywhere on the search path.
        path = ["/usr/bin/env", "PATH=/usr/local/sbin:/usr/local/bin:/usr/bin:/bin", UPDATER, "--max-wait-time", "-1"]
        result = self.root.run(path + ["--no-md-sig-check"])
        self.assertEqual(result.returncode, 2, result)
        self.assertLinesInOrder(result, ["INFO: rebooting for upgrades to take full effect",
                                         "ERROR: failed starting 'shutdown' (No such file or directory)",
                                         "FATAL: failed to start reboot process", "INFO: --- EXIT FATAL ---"])
        self.assertEqual(self.reboot_calls(), REBOOT_CALLS[:1])
        self.assertState("READY", "COMPLETE")
        again = self.root.run(path + ["--no-md-sig-check"])
        self.assertEqual(again.returncode, 0, again)
        self.assertIn("INFO: no updates", again.lines, again)


class SignedUpdateOverHttp(UpdateTestCase):
    def test_signed_release_over_http(self):
        key = testdata.Key("release-e2e")
        repo = self.repo(release.packages(2), key=key, sign_packages={p.name: key for p in release.packages(2)})
        key.import_into(self.root)
        server = httpserver.ScriptedServer(self.root, {"root": repo}, port=8080)
        self.use_repo("http://127.0.0.1:8080/")
        result = self.updater("--log-level", "debug")
        self.assertEqual(result.returncode, 0, result)
        self.assertLinesInOrder(result, [
            "INFO: --- 6 UPDATE(S) ---", "INFO: --- FIRMWARE 2-1 ---",
            "INFO: pass 1: all but add-ons", "INFO: verifying package signatures", "INFO: packages installed OK",
            "INFO: pass 2: add-ons", "INFO: verifying package signatures", "INFO: packages installed OK",
            "INFO: --- EXIT OK ---"])
        self.assertEqual(nevras(self.root), release_nevras(2))
        paths = [r["path"] for r in server.requests()]
        primary = [p for p in paths if "primary.xml" in p]
        self.assertEqual(paths[:3], ["/repodata/repomd.xml", "/repodata/repomd.xml.asc"] + primary)
        self.assertEqual(sorted(paths[3:]), sorted("/" + f for f in
                                                   ["app-2-1.noarch.rpm", "libcore-2-1.noarch.rpm",
                                                    "updater-1.8.3-2.noarch.rpm", "addon-docs-2-1.noarch.rpm",
                                                    "addon-tools-2-1.noarch.rpm", "product-release-2-1.noarch.rpm"]))
        wait_for(lambda: self.root.calls("shutdown"), what="the shutdown stand-in")
        self.assertEqual(self.reboot_calls(), REBOOT_CALLS)
        self.assertState("REBOOTING", "COMPLETE")


if __name__ == "__main__":
    unittest.main()
