"""Updates that go wrong: failed passes, a cut-short update, rpm killed, refusals, signals."""

import os
import pathlib
import re
import signal

import release
import testdata
from harness import (FIVE, FIVE_DONE, INSTALL, PACKAGE_CACHE, PASS_1, PASS_1_DONE, REBOOT_CALLS, UpdateTestCase,
                     WAITING_LIBCORE, nevras, release_nevras, wait_for)
from testdata import Pkg

REFUSED = "FATAL: system is corrupted cannot update"
# The updater of release 2 whose %pre refuses while /etc/fail-pre exists (once, when it says so).
FAILING_UPDATER = Pkg("updater", version="1.8.3", release="2", provides=["updater-running = 1.8.3"],
                      files={"/usr/share/updater/VERSION": "updater 2\n"}, scripts={"pre": """
                          [ -e /etc/fail-pre ] || exit 0
                          [ "$(cat /etc/fail-pre)" = once ] && rm -f /etc/fail-pre
                          echo "updater pre-install refused"; exit 1"""})


class FailedPass(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.record_rpm_calls()

    def test_retry_from_the_cache_installs_the_updater(self):
        self.root.write_inside("/etc/fail-pre", "once\n")
        server = self.serve(self.repo(release.variant(2, drop=FIVE, replace=[FAILING_UPDATER])))
        self.use_repo("http://127.0.0.1:8080/")
        result = self.traced_updater("--no-sig-check")
        self.assertRun(result, 0,
                       "INFO: pass 1: all but add-ons", "INFO:   updater pre-install refused",
                       "INFO: running postupdate hook", "ERROR: package installation FAILED (exit code 3)",
                       "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
                       "INFO: --- 1 UPDATE(S) ---", "INFO: --- UPDATER 1.8.3-2 ---",
                       "INFO: starting update (1 packages):", "INFO: \tupdater-1.8.3-2.noarch.rpm",
                       "INFO: packages installed OK", "INFO: --- EXIT OK ---")
        self.assertNotIn("INFO: pass 2: add-ons", result.lines)
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + f for f in PASS_1],
                                            INSTALL + [PACKAGE_CACHE + "updater-1.8.3-2.noarch.rpm"]])
        self.assertEqual(self.writes("status"), ["ANALYZING"] + ["ANALYZING", "DOWNLOADING", "UPDATING", "PKGSDONE"] * 2
                         + ["READY", "REBOOTING"])
        self.assertEqual(self.writes("update-state"), ["PENDING"])
        # The metadata was fetched once: the retry runs from the cache.
        paths = server.paths()
        self.assertEqual((paths.count("/repodata/repomd.xml"), paths.count("/updater-1.8.3-2.noarch.rpm")), (1, 2))
        self.assertEqual(nevras(self.root), PASS_1_DONE)
        self.assertRebooted()

    def test_retry_failing_again_ends_with_an_error(self):
        self.root.write_inside("/etc/fail-pre", "always\n")
        self.use_repo(self.repo(release.variant(2, drop=FIVE, replace=[FAILING_UPDATER])))
        result = self.traced_updater("--no-md-sig-check")
        # rpm's exit code counts its failures: 3 in the first pass here, 1 in the retry.
        self.assertEqual((result.returncode, [line for line in result.lines if "installation FAILED" in line]), (1, [
            "ERROR: package installation FAILED (exit code 3)", "ERROR: package installation FAILED (exit code 1)"]))
        self.assertEqual(len(self.rpm_calls()), 2)
        self.assertRecord("error", "rpm", last_error="package installation FAILED (exit code 1)")
        self.assertEqual(self.writes("status")[-3:], ["UPDATING", "PKGSDONE", "READY"])
        self.assertState("READY", "PENDING")  # pass 1 installed libcore and app
        self.assertEqual(self.reboot_calls(), [])

    def test_package_rpm_skipped_fails_the_pass(self):
        # The update hook puts app's file in the updater's place: rpm skips the second app and ends with 0.
        self.add_to_hook('[ "$1" = update ] && [ "$3" = 3 ] && cp %sapp-2-1.noarch.rpm %supdater-1.8.3-2.noarch.rpm'
                         % (PACKAGE_CACHE, PACKAGE_CACHE))
        self.use_repo(self.repo(release.variant(2, drop=FIVE)))
        self.assertRun(self.updater("--no-md-sig-check"), 0, "INFO: pass 1: all but add-ons",
                       "INFO:   warning: package app-2-1.noarch was already added, skipping app-2-1.noarch",
                       "ERROR: package 'updater-0:1.8.3-2' was not installed by rpm", "INFO: running postupdate hook",
                       "ERROR: package installation FAILED (1 of 3 packages not installed)",
                       "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
                       "INFO: packages installed OK", "INFO: --- EXIT OK ---")
        self.assertEqual(len(self.rpm_calls()), 2)
        self.assertEqual(nevras(self.root), PASS_1_DONE)
        self.assertState("REBOOTING", "PENDING")


class CorruptedSystem(UpdateTestCase):
    def assertRefusedNextTime(self):
        self.assertEqual(self.reboot_calls(), [])
        self.assertRun(self.updater("--no-md-sig-check"), 2, REFUSED)
        self.assertState("CORRUPTED", "CORRUPTED")
        self.assertRecord("fatal", "interrupted", last_error=REFUSED[len("FATAL: "):])

    def test_update_cut_short(self):
        # The first pass's postupdate hook installs the add-ons itself: the add-on pass finds nothing to do.
        repo = self.repo(release.variant(2, drop=FIVE))
        self.add_to_hook('[ "$1" = postupdate ] && [ "$3" = 3 ] && /usr/bin/rpm -U --nodeps ' + " ".join(
            os.path.join(repo, "%s-2-1.noarch.rpm" % name) for name in release.ADDONS))
        self.use_repo(repo)
        self.assertRun(self.traced_updater("--no-md-sig-check"), 2, "INFO: pass 1: all but add-ons",
                       "INFO: packages installed OK", "INFO: pass 2: add-ons",
                       "FATAL: failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED",
                       "INFO: --- EXIT FATAL ---")
        self.assertEqual(self.writes("update-state"), ["PENDING", "CORRUPTED"])
        self.assertEqual(self.writes("status")[-3:], ["PKGSDONE", "ANALYZING", "CORRUPTED"])
        self.assertEqual(nevras(self.root), FIVE_DONE)
        self.assertRecord("fatal", "rpm", state="CORRUPTED")
        self.assertRefusedNextTime()

    def test_rpm_killed_while_installing(self):
        self.use_repo(self.repo(release.variant(2, drop=FIVE, replace=[WAITING_LIBCORE])))
        proc = self.start("--no-md-sig-check")
        wait_for(lambda: self.root.read("/tmp/rpm-pid"), what="rpm's %pre scriptlet")
        self.assertEqual(self.root.status(), "UPDATING\n")
        os.kill(int(self.root.read("/tmp/rpm-pid")), signal.SIGKILL)
        result = self.finish(proc)
        self.assertRun(result, 2, "FATAL: rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED",
                       "INFO: --- EXIT FATAL ---")
        self.assertNotIn("INFO: running postupdate hook", result.lines)
        self.assertState("CORRUPTED", "CORRUPTED")
        self.assertRecord("fatal", "interrupted", state="CORRUPTED")
        self.assertRefusedNextTime()


class Refused(UpdateTestCase):
    def test_rpm_never_starts_without_updating_the_status_on_disk(self):
        # The update hook, the last step before the status write, makes the state directory read-only.
        self.record_rpm_calls()
        self.add_to_hook('[ "$1" = update ] && mount -t tmpfs -o ro tmpfs /var/lib/updater')
        self.use_repo(self.repo(release.variant(2, drop=FIVE)))
        result = self.updater("--no-md-sig-check")
        self.assertRun(result, 1, "INFO: running update hook", "INFO: updating package(s)",
                       "ERROR: failed setting status file for launching rpm, cannot continue",
                       "WARNING: failed updating status file", "INFO: --- EXIT ERROR ---")
        # The status record cannot be written either: one warning, and the run goes on to its end.
        self.assertEqual([line for line in result.lines if "status record" in line],
                         ["WARNING: failed writing status record '/var/lib/updater/status.json' (Read-only file system)"])
        self.assertEqual(self.rpm_calls(), [])
        self.assertEqual(nevras(self.root), release_nevras(1))

    def test_packages_that_do_not_match_their_checksum_or_do_not_fit_are_never_installed(self):
        repo = self.repo(release.variant(2, drop=FIVE))
        rpm = pathlib.Path(repo, "updater-1.8.3-2.noarch.rpm")
        rpm.write_bytes(rpm.read_bytes()[:-1] + bytes([rpm.read_bytes()[-1] ^ 0xff]))
        self.use_repo(repo)
        result = self.updater("--no-md-sig-check")
        # Once in the first installing pass, once in the updater-only retry.
        invalid = "ERROR: invalid checksum on '%supdater-1.8.3-2.noarch.rpm'" % PACKAGE_CACHE
        self.assertEqual((result.returncode, result.lines.count(invalid)), (1, 2), result)
        self.assertRecord("error", "checksum")

        # FullDisk: the packages get a file system of one page; the metadata's sizes show they cannot fit.
        self.add_to_hook('[ "$1" = download ] && mkdir -p %s && mount -t tmpfs -o size=4k tmpfs %s'
                         % (PACKAGE_CACHE, PACKAGE_CACHE))
        server = self.serve(self.repo(release.variant(2, drop=FIVE), name="whole"))
        self.use_repo("http://127.0.0.1:8080/")
        result = self.updater("--no-md-sig-check")
        short = r"ERROR: not enough space in '%s' for the packages: \d+ bytes needed, 4096 bytes free" % PACKAGE_CACHE
        # The pass and its retry with the updater alone.
        self.assertEqual((result.returncode, len([line for line in result.lines if re.fullmatch(short, line)])), (1, 2),
                         result)
        self.assertFalse([path for path in server.paths() if path.endswith(".rpm")])
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertRecord("error", "disk-space")

    def test_untrusted_signature_fails_the_pass_unless_package_signatures_go_unchecked(self):
        trusted = testdata.Key("release-e2e")
        trusted.import_into(self.root)
        signers = dict({p.name: trusted for p in release.packages(2)}, app=testdata.Key("stranger-e2e"))
        self.use_repo(self.repo(release.variant(2, drop=FIVE), sign_packages=signers))
        self.assertRun(self.updater("--no-md-sig-check"), 0, "INFO: pass 1: all but add-ons",
                       "INFO: verifying package signatures",
                       "ERROR: no acceptable signature on package 'app-2-1.noarch.rpm'",
                       "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
                       "INFO: verifying package signatures", "INFO: packages installed OK", "INFO: --- EXIT OK ---")
        self.assertEqual(nevras(self.root), sorted(set(release_nevras(1)) - {"updater-1.8.3-1"} | {"updater-1.8.3-2"}))
        self.assertState("REBOOTING", "PENDING")
        # The next run stops at the same package, and the retry has no updater left to install.
        self.root.write("/var/lib/updater/status", "READY\n")
        self.assertEqual(self.updater("--no-md-sig-check").returncode, 1)
        self.assertRecord("error", "package-signature")
        result = self.updater("--no-md-sig-check", "--no-pkg-sig-check")
        self.assertEqual(result.returncode, 0, result)
        self.assertNotIn("INFO: verifying package signatures", result.lines)
        self.assertEqual(nevras(self.root), FIVE_DONE)


class Sigterm(UpdateTestCase):
    def test_during_rpm_the_run_stops_unless_the_reboot_is_all_that_is_left(self):
        # rpm completes; the add-on pass stops at its first check. The reboot the first pass asked for stands, and a
        # run that ends OK does not die by the signal.
        for args, code, last, status, reboots in (
                (["--no-reboot"], -signal.SIGTERM, ["INFO: --- EXIT ERROR ---", "ERROR: terminated by signal #15: "
                                                    "Terminated"], "READY", []),
                ([], 0, ["INFO: --- EXIT OK ---"], "REBOOTING", REBOOT_CALLS)):
            with self.subTest(args=args):
                if self.root.exists("/var/lib/updater/status"):
                    self.renew_root()
                self.use_repo(self.repo(release.variant(2, drop=FIVE, replace=[WAITING_LIBCORE])))
                proc = self.start("--no-md-sig-check", *args)
                wait_for(lambda: self.root.read("/tmp/rpm-pid"), what="rpm's %pre scriptlet")
                proc.send_signal(signal.SIGTERM)
                self.root.check(["touch", "/tmp/go"])
                result = self.finish(proc)
                self.assertEqual((result.returncode, result.lines[-len(last):]), (code, last), result)
                self.assertLinesInOrder(result, ["INFO: packages installed OK", "INFO: pass 2: add-ons"])
                self.assertEqual([line for line in result.lines if line.startswith("INFO: downloading")],
                                 ["INFO: downloading 3 packages"])
                self.assertEqual(nevras(self.root), PASS_1_DONE)
                self.assertState(status, "PENDING")
                record = self.assertRecord("error" if code else "ok", "interrupted" if code else None, state=status,
                                           **{"pass": 2})
                self.assertEqual((record["counts"]["selected"], record["counts"]["installed"]), (5, 3))
                wait_for(lambda: len(self.reboot_calls()) == len(reboots), what="the shutdown stand-in")
                self.assertEqual(self.reboot_calls(), reboots)

    def test_during_a_download_the_process_ends_at_once_and_the_next_start_goes_on(self):
        repo = self.repo(release.variant(2, drop=FIVE))
        for path, state in (("/repodata/repomd.xml", "ANALYZING"), ("/libcore-2-1.noarch.rpm", "DOWNLOADING")):
            with self.subTest(path):
                self.root.remove("/var/lib/updater/update-state")
                # The first answer is held back; later ones serve the file.
                served = {"body_file": os.path.join(repo, path.lstrip("/"))}
                server = self.serve(repo, routes={path: [{"delay": 30}, served]})
                self.use_repo("http://127.0.0.1:8080/")
                proc = self.start("--no-sig-check")
                wait_for(lambda: path in server.paths(), what="the request for " + path)
                proc.send_signal(signal.SIGTERM)
                result = self.finish(proc, timeout=10)
                self.assertEqual(result.returncode, -signal.SIGTERM, result)
                self.assertNotIn("--- EXIT", result.stderr)
                self.assertEqual(nevras(self.root), release_nevras(1))
                self.assertState(state, None)
                # The record of the process that died stays whole and still running.
                self.assertEqual({key: self.record()[key] for key in ("result", "state", "ended")},
                                 {"result": "running", "state": state, "ended": None})
                self.assertRun(self.updater("--no-sig-check", "--check-only"), 0,
                               "WARNING: the previous run was interrupted in state " + state,
                               "INFO: --- 5 UPDATE(S) ---")
                self.assertRecord("ok", interrupted_run={"state": state})
                server.stop()
