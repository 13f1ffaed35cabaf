"""The "init" hook and termination signals, with the real updater binary in a
device root and the hook stand-in recording its argument vector."""

import signal
import unittest

from driverhelpers import RootTestCase, info_lines, wait_for
from devroot import Result

REPO_LINE = "INFO: updating packages from repository 'Base' (URI '/var/lib/repo')"


class InitHook(RootTestCase):
    def test_failed_hook_ends_the_run_after_writing_ready(self):
        # Written through the running root, which has looked up these paths.
        cases = (("exit 3", lambda: self.root.write_inside("/etc/standins/hook.exit-init", "3\n"),
                  "ERROR: hook failed (exit code 3)"),
                 ("killed", lambda: self.root.write_inside("/etc/standins/hook.sh", "kill -KILL $$\n"),
                  "ERROR: hook was interrupted"),
                 ("missing", lambda: self.root.remove("/usr/lib/updater/hook"), "ERROR: hook failed (exit code 1)"))
        for name, make, error in cases:
            with self.subTest(name):
                self.root.remove("/etc/standins")
                make()
                result = self.updater()
                self.assertEqual(result.returncode, 1, result)
                self.assertIn(error, result.lines)
                self.assertNotIn(REPO_LINE, result.lines)
                self.assertExitLine(result, "ERROR")
                self.assertEqual(self.root.status(), "READY\n")
                self.assertRecord("error", "hook", last_error=error[len("ERROR: "):])


class TerminationSignals(RootTestCase):
    def run_signalled_during_hook(self, signum, *args):
        """Sends `signum` to the updater while its init hook runs."""
        self.hold_init_hook()
        proc = self.start(*args)
        wait_for(lambda: self.hook_calls(), what="the init hook")
        proc.send_signal(signum)
        self.release_init_hook()
        stdout, stderr = proc.communicate(timeout=60)
        return Result(proc.returncode, stdout, stderr)

    def test_sigterm_lets_the_hook_finish_then_ends_by_the_signal(self):
        result = self.run_signalled_during_hook(signal.SIGTERM)
        self.assertEqual(result.returncode, -signal.SIGTERM, result)  # death by signal 15
        self.assertEqual(result.lines[-2:], ["INFO: --- EXIT ERROR ---", "ERROR: terminated by signal #15: Terminated"])
        self.assertEqual(self.hook_calls(), [["/usr/lib/updater/hook", "init", "1.8.3"]])
        self.assertEqual(self.root.status(), "READY\n")
        self.assertRecord("error", "interrupted", last_error="terminated by signal #15: Terminated")

    def test_sigkill_leaves_a_whole_record_that_the_next_start_reports(self):
        result = self.run_signalled_during_hook(signal.SIGKILL)
        self.assertEqual(result.returncode, -signal.SIGKILL, result)
        record = self.record()
        self.assertEqual((record["result"], record["state"], record["ended"]), ("running", "READY", None))
        result = self.updater()
        self.assertIn("WARNING: the previous run was interrupted in state READY", result.lines, result)
        self.assertEqual(self.record()["interrupted_run"], {"state": "READY"})

    def test_sighup_is_caught_the_same_way(self):
        result = self.run_signalled_during_hook(signal.SIGHUP)
        self.assertEqual(result.returncode, -signal.SIGHUP, result)
        self.assertEqual(result.lines[-1], "ERROR: terminated by signal #1: Hangup")

    def test_quiet_still_reports_the_signal(self):
        result = self.run_signalled_during_hook(signal.SIGINT, "--quiet")
        self.assertEqual(result.returncode, -signal.SIGINT, result)
        self.assertEqual(info_lines(result.stderr), ["INFO: running init hook"], result)
        self.assertEqual(result.lines[-1], "ERROR: terminated by signal #2: Interrupt")

    def test_sigpipe_is_ignored(self):
        # Standard error is a pipe whose reader is gone before the first line.
        proc = self.start()
        proc.stderr.close()
        proc.stdout.close()
        self.assertEqual(proc.wait(timeout=60), 1)
        self.assertIn("INFO: --- EXIT ERROR ---", self.root.lastlog())


if __name__ == "__main__":
    unittest.main()
