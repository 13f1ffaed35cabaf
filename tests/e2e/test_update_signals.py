"""Termination signals during an update: caught while rpm runs, so that rpm
completes and the run stops at its next check; in their default action while
the metadata or the packages are downloaded, so that the process ends at
once."""

import os
import signal

import httpserver
import release
from devroot import Result
from harness import FIVE, PASS_1_DONE, REBOOT_CALLS, WAITING_LIBCORE, UpdateTestCase, nevras, release_nevras, wait_for


class SigtermDuringRpm(UpdateTestCase):
    def run_signalled_during_rpm(self, *args):
        """SIGTERM to the updater while rpm waits in a %pre scriptlet of the
        first installing pass; then the scriptlet is let go."""
        self.use_repo(self.repo(release.variant(2, drop=FIVE, replace=[WAITING_LIBCORE])))
        proc = self.start("--no-md-sig-check", *args)
        wait_for(lambda: self.root.read("/tmp/rpm-pid"), what="rpm's %pre scriptlet")
        proc.send_signal(signal.SIGTERM)
        self.root.check(["touch", "/tmp/go"])
        stdout, stderr = proc.communicate(timeout=60)
        result = Result(proc.returncode, stdout, stderr)
        # rpm completed; the add-on pass stopped at its first check.
        self.assertLinesInOrder(result, ["INFO: packages installed OK", "INFO: pass 2: add-ons"])
        self.assertEqual([line for line in result.lines if line.startswith("INFO: downloading")],
                         ["INFO: downloading 3 packages"])
        self.assertEqual(nevras(self.root), PASS_1_DONE)
        return result

    def test_run_stops_and_the_process_ends_by_the_signal(self):
        result = self.run_signalled_during_rpm("--no-reboot")
        self.assertEqual(result.returncode, -signal.SIGTERM, result)
        self.assertEqual(result.lines[-2:], ["INFO: --- EXIT ERROR ---", "ERROR: terminated by signal #15: Terminated"])
        self.assertState("READY", "PENDING")
        record = self.assertRecord("error", "interrupted", state="READY", **{"pass": 2})
        self.assertEqual((record["counts"]["selected"], record["counts"]["installed"]), (5, 3))
        self.assertEqual(self.reboot_calls(), [])

    def test_installed_packages_still_reboot(self):
        # The first pass asked for a reboot; the stop of the second does not
        # cancel it, and a run that ends OK does not die by the signal.
        result = self.run_signalled_during_rpm()
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.lines[-1], "INFO: --- EXIT OK ---")
        self.assertRebooted()
        self.assertState("REBOOTING", "PENDING")


class SigtermDuringDownload(UpdateTestCase):
    def test_the_process_ends_at_once_and_the_next_start_goes_on(self):
        repo = self.repo(release.variant(2, drop=FIVE))
        for path, state in (("/repodata/repomd.xml", "ANALYZING"), ("/libcore-2-1.noarch.rpm", "DOWNLOADING")):
            with self.subTest(path):
                self.root.remove("/var/lib/updater/update-state")
                # The first answer is held back; later ones serve the file.
                served = {"body_file": os.path.join(repo, path.lstrip("/"))}
                server = httpserver.ScriptedServer(self.root, {"root": repo, "routes": {path: [{"delay": 30}, served]}},
                                                   port=8080)
                self.use_repo("http://127.0.0.1:8080/")
                proc = self.start("--no-sig-check")
                wait_for(lambda: path in server.paths(), what="the request for " + path)
                proc.send_signal(signal.SIGTERM)
                stderr = proc.communicate(timeout=10)[1]
                self.assertEqual(proc.returncode, -signal.SIGTERM, stderr)
                self.assertNotIn("--- EXIT", stderr)
                self.assertEqual(nevras(self.root), release_nevras(1))
                self.assertState(state, None)
                # The record of the process that died stays whole and still running.
                self.assertEqual({key: self.record()[key] for key in ("result", "state", "ended")},
                                 {"result": "running", "state": state, "ended": None})
                result = self.updater("--no-sig-check", "--check-only")
                self.assertRun(result, 0, "INFO: --- 5 UPDATE(S) ---")
                self.assertRecord("ok", interrupted_run={"state": state})
                server.stop()
