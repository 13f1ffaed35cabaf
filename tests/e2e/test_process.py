"""The process around a run: the cache lock, background mode, the start delay, the init hook, signals."""

import os
import re
import signal
import time

from harness import LOCK_FILE, RootTestCase, config, info_lines, repository, wait_for

HTTP_REPOSITORY = "http://127.0.0.1:9/repo"  # nothing listens: the run never gets that far


class CacheLock(RootTestCase):
    def test_second_updater_waits_for_the_lock_until_its_timeout(self):
        self.hold_init_hook()
        holder = self.start()
        wait_for(lambda: self.hook_calls(), what="the first updater's init hook")
        self.assertEqual(self.root.read(LOCK_FILE), "%10i\n" % holder.pid)
        started = time.time()
        result = self.updater("--lock-timeout", "2")
        self.assertGreaterEqual(time.time() - started, 2)
        self.assertRun(result, 1, "INFO: cache lock held by another instance, will timeout in 2 secs",
                       "ERROR: failed acquiring lock file '/var/lock/updater' (Resource temporarily unavailable)",
                       "INFO: --- EXIT ERROR ---")
        self.assertRecord("error", "lock", state=None)
        self.assertEqual(len(self.hook_calls()), 1)  # only the holder got that far

        waiter = self.start("--lock-timeout", "30")
        time.sleep(1)
        self.release_init_hook()
        holder.communicate(timeout=60)
        self.assertRun(self.finish(waiter), 1, "INFO: other instance terminated, got cache lock")
        self.assertEqual(len(self.hook_calls()), 2)
        self.assertEqual(self.root.read(LOCK_FILE), "%10i\n" % waiter.pid)

    def test_planted_lock_file_is_refused_and_left_alone(self):
        # A link to a file of root's, or a file another user made in /var/lock, is not the agent's.
        self.root.write("/etc/victim", "precious\n")
        for plant, error in ((["ln", "-s", "/etc/victim", LOCK_FILE], "failed creating lock file '/var/lock/updater' "
                              "(Too many levels of symbolic links)."),
                             (["sh", "-c", "echo theirs > %s && chown 1000 %s" % (LOCK_FILE, LOCK_FILE)],
                              "lock file '/var/lock/updater' is not a regular file of this user, refusing to use it")):
            with self.subTest(plant):
                self.root.remove(LOCK_FILE)
                self.root.check(plant)
                self.assertRun(self.updater(), 1, "ERROR: " + error, "INFO: --- EXIT ERROR ---")
                self.assertEqual(self.root.read("/etc/victim"), "precious\n")
                self.assertRecord("error", "lock", state=None)
        self.assertEqual((self.root.read(LOCK_FILE), self.hook_calls()), ("theirs\n", []))


class Background(RootTestCase):
    def wait_for_child(self):
        wait_for(lambda: (self.root.read(LOCK_FILE) or "").strip(), what="the background child's lock")
        pid = int(self.root.read(LOCK_FILE))
        wait_for(lambda: not os.path.exists("/proc/%d" % pid), what="the background child's end")
        return pid

    def test_parent_reports_and_leaves_the_run_to_the_child(self):
        result = self.updater("--background", "--log-to", "/tmp/run.log")
        self.assertEqual((result.returncode, result.lines[:2] + result.lines[3:]), (0, [
            "INFO: --- MODE update ---", "INFO: updater switched to background", "INFO: --- EXIT OK ---"]), result)
        child = int(re.fullmatch(r"INFO: --- BACKGROUND PID (\d+) ---", result.lines[2]).group(1))
        self.assertEqual(self.wait_for_child(), child)
        self.assertEqual(self.hook_calls(), [["init", "1.8.3"]])
        # The parent's exit line stays out of the child's log file.
        log = self.root.read("/tmp/run.log").splitlines()
        self.assertIn("INFO: --- BACKGROUND PID %d ---" % child, log)
        self.assertEqual([line for line in log if "--- EXIT" in line], ["INFO: --- EXIT ERROR ---"])

        result = self.updater("--background", "--quiet")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.wait_for_child()
        self.assertEqual(info_lines(self.root.lastlog()), ["INFO: running init hook"])

    def test_corrupted_status_is_refused_in_the_foreground(self):
        self.root.write("/var/lib/updater/status", "CORRUPTED\n")
        result = self.updater("--background")
        self.assertRun(result, 2, "FATAL: system is corrupted cannot update", "ERROR: cannot recover status, aborting",
                       "INFO: --- EXIT FATAL ---")
        self.assertFalse([line for line in result.lines if "BACKGROUND" in line])
        time.sleep(0.5)
        self.assertEqual(self.hook_calls(), [])
        self.assertIsNone(self.root.read(LOCK_FILE))


class StartDelay(RootTestCase):
    def test_delay_is_spent_in_delaying_and_ends_on_a_signal(self):
        self.root.write_config(text=config(repository("base", HTTP_REPOSITORY)))
        proc = self.start("--max-wait-time", "100000")
        lines = []
        while not lines or "waiting" not in lines[-1]:
            line = proc.stderr.readline()
            self.assertTrue(line, lines)
            lines.append(line.rstrip("\n"))
        # At once: the signal comes while DELAYING is being written, before the sleep, and still ends it.
        proc.send_signal(signal.SIGTERM)
        lines += proc.communicate(timeout=60)[1].splitlines()
        self.assertEqual(proc.returncode, -signal.SIGTERM, lines)
        self.assertGreater(int(re.search(r"waiting (\d+) secs", "\n".join(lines)).group(1)), 5)
        self.assertIn("ERROR: wait interrupted", lines)
        self.assertEqual(lines[-1], "ERROR: terminated by signal #15: Terminated")
        self.assertEqual(self.root.status(), "READY\n")

    def test_no_delay_for_a_file_repository_when_disabled_or_without_random_data(self):
        # /dev/urandom gives two bytes, then ends.
        cases = (("file:///var/lib/repo", "100000", []), (HTTP_REPOSITORY, "-1", []), (HTTP_REPOSITORY, "100000", [
            "ERROR: could not read random data from '/dev/urandom' (end of file).",
            "ERROR: could not gather random data"]))
        for location, wait, errors in cases:
            with self.subTest(location=location, wait=wait):
                if errors:
                    self.root.bind("/dev/urandom", b"\x01\x02")
                self.root.write_config(text=config(repository("base", location)))
                result = self.updater("--max-wait-time", wait, timeout=30)
                self.assertRun(result, 1, *errors + ["INFO: --- EXIT ERROR ---"])
                self.assertFalse([line for line in result.lines if "waiting" in line], result)
                self.assertEqual(self.root.status(), "READY\n")


class InitHookAndSignals(RootTestCase):
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

    def test_caught_signals_let_the_hook_finish_then_end_the_process(self):
        self.hold_init_hook()
        for signum, args, last in ((signal.SIGTERM, (), "#15: Terminated"), (signal.SIGHUP, (), "#1: Hangup"),
                                   (signal.SIGINT, ("--quiet",), "#2: Interrupt")):
            with self.subTest(signum):
                self.root.check(["rm", "-f", "/tmp/release-hook", "/var/log/standins/hook"])
                proc = self.start(*args)
                wait_for(lambda: self.hook_calls(), what="the init hook")
                proc.send_signal(signum)
                self.release_init_hook()
                result = self.finish(proc)
                self.assertEqual(result.returncode, -signum, result)  # death by the signal
                self.assertEqual(result.lines[-1], "ERROR: terminated by signal " + last)
                self.assertEqual(result.lines[-2] == "INFO: --- EXIT ERROR ---", not args)  # not when quiet
                self.assertEqual(self.hook_calls(), [["init", "1.8.3"]])
                self.assertEqual(self.root.status(), "READY\n")
                self.assertRecord("error", "interrupted", last_error="terminated by signal " + last)
        self.assertEqual(info_lines(result.stderr), ["INFO: running init hook"], result)  # quiet

    def test_sigpipe_is_ignored(self):
        # Standard error is a pipe whose reader is gone before the first line.
        proc = self.start()
        proc.stderr.close()
        proc.stdout.close()
        self.assertEqual(proc.wait(timeout=60), 1)
        self.assertIn("INFO: --- EXIT ERROR ---", self.root.lastlog())
