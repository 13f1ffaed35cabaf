"""Updates that go wrong: rpm failing in the first installing pass and the
updater-only retry, an update cut short behind the updater's back, rpm killed
while installing, a package rpm skipped, and a package signed by a key the
device does not trust."""

import os
import re
import signal
import unittest

import httpserver
import release
import testdata
from driverhelpers import wait_for
from updatehelpers import (FAILING_UPDATER, FIVE, INSTALL, PACKAGE_CACHE, PASS_1, REBOOT_CALLS, WAITING_LIBCORE,
                           UpdateTestCase, nevras, release_nevras)

REFUSED = "FATAL: system is corrupted cannot update"


class FailedFirstPass(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.record_rpm_calls()
        self.repo_dir = self.repo(release.variant(2, drop=FIVE, replace=[FAILING_UPDATER]))

    def test_retry_from_the_cache_installs_the_updater(self):
        self.root.write_inside("/etc/fail-pre", "once\n")
        server = httpserver.ScriptedServer(self.root, {"root": self.repo_dir}, port=8080)
        self.use_repo("http://127.0.0.1:8080/")
        result = self.traced_updater("--no-sig-check")
        self.assertEqual(result.returncode, 0, result)
        self.assertLinesInOrder(result, [
            "INFO: pass 1: all but add-ons", "INFO:   updater pre-install refused",
            "INFO: running postupdate hook", "ERROR: package installation FAILED (exit code 3)",
            "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
            "INFO: --- 1 UPDATE(S) ---", "INFO: --- UPDATER 1.8.3-2 ---", "INFO: starting update (1 packages):",
            "INFO: \tupdater-1.8.3-2.noarch.rpm", "INFO: packages installed OK", "INFO: --- EXIT OK ---"])
        self.assertNotIn("INFO: pass 2: add-ons", result.lines)
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + f for f in PASS_1],
                                            INSTALL + [PACKAGE_CACHE + "updater-1.8.3-2.noarch.rpm"]])
        self.assertEqual(self.status_writes(), ["ANALYZING",
                                                "ANALYZING", "DOWNLOADING", "UPDATING", "PKGSDONE",
                                                "ANALYZING", "DOWNLOADING", "UPDATING", "PKGSDONE",
                                                "READY", "REBOOTING"])
        self.assertEqual(self.update_state_writes(), ["PENDING"])
        # The metadata was fetched once: the retry runs from the cache.
        paths = [r["path"] for r in server.requests()]
        self.assertEqual(paths.count("/repodata/repomd.xml"), 1, paths)
        self.assertEqual(paths.count("/updater-1.8.3-2.noarch.rpm"), 2, paths)
        self.assertEqual(nevras(self.root), sorted(["addon-docs-1-1", "addon-tools-1-1", "app-2-1", "libcore-2-1",
                                                    "product-release-1-1", "system-base-1-1", "updater-1.8.3-2"]))
        wait_for(lambda: self.root.calls("shutdown"), what="the shutdown stand-in")
        self.assertEqual(self.reboot_calls(), REBOOT_CALLS)

    def test_retry_failing_again_ends_with_an_error(self):
        self.root.write_inside("/etc/fail-pre", "always\n")
        self.use_repo(self.repo_dir)
        result = self.traced_updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 1, result)
        # rpm's exit code counts its failures: 3 in the first pass here, 1 in the retry.
        self.assertEqual([line for line in result.lines if line.startswith("ERROR: package installation FAILED")],
                         ["ERROR: package installation FAILED (exit code 3)",
                          "ERROR: package installation FAILED (exit code 1)"], result)
        self.assertEqual(len(self.rpm_calls()), 2)
        self.assertExitLine(result, "ERROR")
        self.assertEqual(self.status_writes()[-3:], ["UPDATING", "PKGSDONE", "READY"])
        self.assertState("READY", "PENDING")  # pass 1 installed libcore and app
        self.assertEqual(self.reboot_calls(), [])
        self.assertRecord("error", "rpm", last_error="package installation FAILED (exit code 1)")


class CorruptedSystem(UpdateTestCase):
    def assertRefusedNextTime(self):
        result = self.updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 2, result)
        self.assertIn(REFUSED, result.lines)
        self.assertState("CORRUPTED", "CORRUPTED")
        self.assertRecord("fatal", "interrupted", last_error=REFUSED[len("FATAL: "):])

    def test_update_cut_short(self):
        # The postupdate hook of the first installing pass installs the
        # add-ons itself, so the add-on pass finds nothing left to do.
        repo = self.repo(release.variant(2, drop=FIVE))
        addons = " ".join(os.path.join(repo, "%s-2-1.noarch.rpm" % name) for name in release.ADDONS)
        self.root.write_inside("/etc/standins/hook.sh", self.root.read("/etc/standins/hook.sh") +
                        '[ "$1" = postupdate ] && [ "$3" = 3 ] && /usr/bin/rpm -U --nodeps %s\n' % addons)
        self.use_repo(repo)
        result = self.traced_updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 2, result)
        self.assertLinesInOrder(result, [
            "INFO: pass 1: all but add-ons", "INFO: packages installed OK", "INFO: pass 2: add-ons",
            "FATAL: failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED",
            "INFO: --- EXIT FATAL ---"])
        self.assertEqual(self.update_state_writes(), ["PENDING", "CORRUPTED"])
        self.assertEqual(self.status_writes()[-3:], ["PKGSDONE", "ANALYZING", "CORRUPTED"])
        self.assertEqual(self.reboot_calls(), [])
        self.assertNotIn("INFO: rebooting for upgrades to take full effect", result.lines)
        self.assertEqual(nevras(self.root), sorted(release_nevras(2, drop=FIVE) + ["product-release-1-1"]))
        self.assertRecord("fatal", "rpm", state="CORRUPTED")
        self.assertRefusedNextTime()

    def test_rpm_killed_while_installing(self):
        self.use_repo(self.repo(release.variant(2, drop=FIVE, replace=[WAITING_LIBCORE])))
        proc = self.start("--no-md-sig-check")
        wait_for(lambda: self.root.read("/tmp/rpm-pid"), what="rpm's %pre scriptlet")
        self.assertEqual(self.root.status(), "UPDATING\n")
        os.kill(int(self.root.read("/tmp/rpm-pid")), signal.SIGKILL)
        stdout, stderr = proc.communicate(timeout=60)
        lines = stderr.splitlines()
        self.assertEqual(proc.returncode, 2, stderr)
        self.assertIn("FATAL: rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED", lines)
        self.assertEqual(lines[-1], "INFO: --- EXIT FATAL ---")
        self.assertNotIn("INFO: running postupdate hook", lines)
        self.assertState("CORRUPTED", "CORRUPTED")
        self.assertRecord("fatal", "interrupted", state="CORRUPTED")
        self.assertEqual(self.reboot_calls(), [])
        self.assertRefusedNextTime()


class SkippedPackage(UpdateTestCase):
    def test_package_rpm_skipped_fails_the_pass(self):
        # The update hook, the last step before rpm, puts app's file in the
        # updater's place, as two packages sharing one cache file would: rpm
        # is handed app twice, skips the second and ends with 0.
        self.record_rpm_calls()
        self.root.write_inside("/etc/standins/hook.sh", self.root.read("/etc/standins/hook.sh") +
                               '[ "$1" = update ] && [ "$3" = 3 ] && cp %sapp-2-1.noarch.rpm %supdater-1.8.3-2.noarch.rpm\n'
                               % (PACKAGE_CACHE, PACKAGE_CACHE))
        self.use_repo(self.repo(release.variant(2, drop=FIVE)))
        result = self.updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 0, result)
        self.assertLinesInOrder(result, [
            "INFO: pass 1: all but add-ons", "INFO:   warning: package app-2-1.noarch was already added, skipping app-2-1.noarch",
            "ERROR: package 'updater-0:1.8.3-2' was not installed by rpm", "INFO: running postupdate hook",
            "ERROR: package installation FAILED (1 of 3 packages not installed)",
            "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
            "INFO: packages installed OK", "INFO: --- EXIT OK ---"])
        self.assertEqual(len(self.rpm_calls()), 2)
        self.assertEqual(nevras(self.root), sorted(["addon-docs-1-1", "addon-tools-1-1", "app-2-1", "libcore-2-1",
                                                    "product-release-1-1", "system-base-1-1", "updater-1.8.3-2"]))
        self.assertState("REBOOTING", "PENDING")


class StatusNotWritable(UpdateTestCase):
    def test_rpm_never_starts_without_updating_on_disk(self):
        # The update hook, the last step before the status write, makes the
        # state directory read-only.
        self.record_rpm_calls()
        self.root.write_inside("/etc/standins/hook.sh", self.root.read("/etc/standins/hook.sh") +
                               '[ "$1" = update ] && mount -t tmpfs -o ro tmpfs /var/lib/updater\n')
        self.use_repo(self.repo(release.variant(2, drop=FIVE)))
        result = self.updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 1, result)
        self.assertLinesInOrder(result, ["INFO: running update hook", "INFO: updating package(s)",
                                         "ERROR: failed setting status file for launching rpm, cannot continue",
                                         "WARNING: failed updating status file", "INFO: --- EXIT ERROR ---"])
        # The status record cannot be written either: one warning, and the run goes on to its end.
        self.assertEqual([line for line in result.lines if "status record" in line],
                         ["WARNING: failed writing status record '/var/lib/updater/status.json' (Read-only file system)"])
        self.assertEqual(self.rpm_calls(), [])
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertEqual(self.reboot_calls(), [])


class DamagedPackage(UpdateTestCase):
    def test_package_that_does_not_match_its_checksum_is_never_installed(self):
        repo = self.repo(release.variant(2, drop=FIVE))
        with open(os.path.join(repo, "updater-1.8.3-2.noarch.rpm"), "r+b") as f:
            f.seek(-1, os.SEEK_END)
            last = f.read(1)[0]
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last ^ 0xff]))
        self.use_repo(repo)
        result = self.updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 1, result)
        # Once in the first installing pass, once in the updater-only retry.
        self.assertEqual(result.lines.count("ERROR: invalid checksum on '%supdater-1.8.3-2.noarch.rpm'" % PACKAGE_CACHE),
                         2, result)
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertRecord("error", "checksum")


class FullDisk(UpdateTestCase):
    def test_packages_that_do_not_fit_end_the_run_as_a_disk_space_failure(self):
        # The download hook leaves the packages a file system of one page:
        # the sizes in the metadata show that they cannot fit, before any
        # of them is downloaded.
        self.root.write_inside("/etc/standins/hook.sh", self.root.read("/etc/standins/hook.sh") +
                               '[ "$1" = download ] && mkdir -p %s && mount -t tmpfs -o size=4k tmpfs %s\n'
                               % (PACKAGE_CACHE, PACKAGE_CACHE))
        server = httpserver.ScriptedServer(self.root, {"root": self.repo(release.variant(2, drop=FIVE))}, port=8080)
        self.use_repo("http://127.0.0.1:8080/")
        result = self.updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 1, result)
        short = [line for line in result.lines
                 if re.fullmatch(r"ERROR: not enough space in '%s' for the packages: \d+ bytes needed, 4096 bytes free"
                                 % PACKAGE_CACHE, line)]
        self.assertEqual(len(short), 2, result)  # the pass and its retry with the updater alone
        self.assertFalse([r for r in server.requests() if r["path"].endswith(".rpm")], server.requests())
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertRecord("error", "disk-space")


class PackageSignatures(UpdateTestCase):
    def setUp(self):
        super().setUp()
        trusted = testdata.Key("release-e2e")
        stranger = testdata.Key("stranger-e2e")
        trusted.import_into(self.root)
        signers = {p.name: trusted for p in release.packages(2)}
        signers["app"] = stranger
        self.use_repo(self.repo(release.variant(2, drop=FIVE), sign_packages=signers))

    def test_untrusted_signature_fails_the_pass(self):
        result = self.updater("--no-md-sig-check", "--log-level", "debug")
        self.assertEqual(result.returncode, 0, result)
        self.assertLinesInOrder(result, [
            "INFO: pass 1: all but add-ons", "INFO: verifying package signatures",
            "ERROR: no acceptable signature on package 'app-2-1.noarch.rpm'",
            "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
            "INFO: verifying package signatures", "INFO: packages installed OK", "INFO: --- EXIT OK ---"])
        self.assertIn("DEBUG: opened rpm transaction (checking headers)", result.lines)
        self.assertEqual(nevras(self.root), sorted(set(release_nevras(1)) - {"updater-1.8.3-1"} | {"updater-1.8.3-2"}))
        self.assertState("REBOOTING", "PENDING")
        # The next run stops at the same package, and the retry has no updater left to install.
        self.root.write("/var/lib/updater/status", "READY\n")
        result = self.updater("--no-md-sig-check")
        self.assertEqual(result.returncode, 1, result)
        self.assertRecord("error", "package-signature")

    def test_no_package_signature_check(self):
        result = self.updater("--no-md-sig-check", "--no-pkg-sig-check", "--log-level", "debug")
        self.assertEqual(result.returncode, 0, result)
        self.assertNotIn("INFO: verifying package signatures", result.lines)
        # The resolver reads the database without header checks; a signature
        # check would open it once more, with them.
        opened = [line for line in result.lines if line.startswith("DEBUG: opened rpm transaction")]
        self.assertEqual(set(opened), {"DEBUG: opened rpm transaction (NOT checking headers)"}, result)
        self.assertEqual(nevras(self.root), sorted(release_nevras(2, drop=FIVE) + ["product-release-1-1"]))
        self.assertState("REBOOTING", "COMPLETE")


if __name__ == "__main__":
    unittest.main()
