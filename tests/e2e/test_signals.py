"""The "init" hook and termination signals, with the real updater binary in a
device root and the hook stand-in recording its argument vector."""

import signal

from devroot import Result
from harness import RootTestCase, info_lines, wait_for


class InitHook(RootTestCase):
    def test_failed_hook_ends_the_run_after_writing_ready(self):
        cases = (('[ "$1" = init ] && exit 3', "hook failed (exit code 3)"),
                 ("kill -KILL $$", "hook was interrupted"),
                 (None, "hook failed (exit code 1)"))  # no hook
        for make, error in cases:
            with self.subTest(make):
                if make:
                    self.root.write_inside("/etc/standins/hook.sh", make + "\n")
                else:
                    self.root.remove("/usr/lib/updater/hook")
                result = self.updater()
                self.assertRun(result, 1, "ERROR: " + error, "INFO: --- EXIT ERROR ---")
                self.assertFalse([line for line in result.lines if "updating packages from repository" in line])
                self.assertEqual(self.root.status(), "READY\n")
                self.assertRecord("error", "hook", last_error=error)


class TerminationSignals(RootTestCase):
    def run_signalled_during_hook(self, signum, *args):
        """Sends `signum` to the updater while its init hook runs."""
        self.root.check(["rm", "-f", "/tmp/release-hook", "/var/log/standins/hook"])
        proc = self.start(*args)
        wait_for(lambda: self.hook_calls(), what="the init hook")
        proc.send_signal(signum)
        self.release_init_hook()
        stdout, stderr = proc.communicate(timeout=60)
        return Result(proc.returncode, stdout, stderr)

    def test_caught_signals_let_the_hook_finish_then_end_the_process(self):
        self.hold_init_hook()
        for signum, args, last in ((signal.SIGTERM, (), "#15: Terminated"), (signal.SIGHUP, (), "#1: Hangup"),
                                   (signal.SIGINT, ("--quiet",), "#2: Interrupt")):
            with self.subTest(signum):
                result = self.run_signalled_during_hook(signum, *args)
                self.assertEqual(result.returncode, -signum, result)  # death by the signal
                self.assertEqual(result.lines[-1], "ERROR: terminated by signal " + last)
                self.assertEqual(result.lines[-2] == "INFO: --- EXIT ERROR ---", not args)  # not when quiet
                self.assertEqual(self.hook_calls(), [["init", "1.8.3"]])
                self.assertEqual(self.root.status(), "READY\n")
                self.assertRecord("error", "interrupted", last_error="terminated by signal " + last)
        self.assertEqual(info_lines(result.stderr), ["INFO: running init hook"], result)  # quiet

    def test_sigkill_leaves_a_whole_record_that_the_next_start_reports(self):
        self.hold_init_hook()
        result = self.run_signalled_during_hook(signal.SIGKILL)
        self.assertEqual(result.returncode, -signal.SIGKILL, result)
        record = self.record()
        self.assertEqual((record["result"], record["state"], record["ended"]), ("running", "READY", None))
        self.release_init_hook()
        result = self.updater()
        self.assertIn("WARNING: the previous run was interrupted in state READY", result.lines, result)
        self.assertEqual(self.record()["interrupted_run"], {"state": "READY"})

    def test_sigpipe_is_ignored(self):
        # Standard error is a pipe whose reader is gone before the first line.
        proc = self.start()
        proc.stderr.close()
        proc.stdout.close()
        self.assertEqual(proc.wait(timeout=60), 1)
        self.assertIn("INFO: --- EXIT ERROR ---", self.root.lastlog())
