"""The cache lock between two updaters, background mode and the start delay,
with the real updater binary in a device root."""

import os
import re
import signal
import time
import unittest

from driverhelpers import LOCK_FILE, RootTestCase, config, info_lines, repository, wait_for
from devroot import Result

HTTP_REPOSITORY = "http://127.0.0.1:9/repo"  # nothing listens: the run never gets that far


def pid_line(pid):
    return "%10i\n" % pid


class CacheLock(RootTestCase):
    def start_holder(self):
        """An updater that holds the lock while its init hook waits."""
        self.hold_init_hook()
        holder = self.start()
        wait_for(lambda: self.hook_calls(), what="the first updater's init hook")
        return holder

    def test_second_updater_gives_up_after_the_lock_timeout(self):
        holder = self.start_holder()
        self.assertEqual(self.root.read(LOCK_FILE), pid_line(holder.pid))
        started = time.time()
        result = self.updater("--lock-timeout", "2")
        self.assertGreaterEqual(time.time() - started, 2)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("INFO: cache lock held by another instance, will timeout in 2 secs", result.lines)
        self.assertIn("ERROR: failed acquiring lock file '/var/lock/updater' (Resource temporarily unavailable)",
                      result.lines)
        self.assertExitLine(result, "ERROR")
        self.assertEqual(len(self.hook_calls()), 1)  # only the holder got that far
        self.assertEqual(self.root.read(LOCK_FILE), pid_line(holder.pid))
        self.assertRecord("error", "lock", state=None)
        self.release_init_hook()
        holder.communicate(timeout=60)

    def test_second_updater_takes_over_when_the_first_ends(self):
        holder = self.start_holder()
        waiter = self.start("--lock-timeout", "30")
        time.sleep(1.5)
        self.release_init_hook()
        holder.communicate(timeout=60)
        stdout, stderr = waiter.communicate(timeout=60)
        lines = stderr.splitlines()
        self.assertIn("INFO: cache lock held by another instance, will timeout in 30 secs", lines)
        self.assertIn("INFO: other instance terminated, got cache lock", lines)
        self.assertEqual(waiter.returncode, 1, stderr)
        self.assertEqual(len(self.hook_calls()), 2)
        self.assertEqual(self.root.read(LOCK_FILE), pid_line(waiter.pid))

    def test_planted_lock_file_is_refused_and_left_alone(self):
        # /var/lock is writable by anyone: a link to a file of root's, or a
        # file another user made (and may hold locked), is not the agent's.
        self.root.write("/etc/victim", "precious\n")
        cases = (("link", ["ln", "-s", "/etc/victim", LOCK_FILE],
                  "ERROR: failed creating lock file '/var/lock/updater' (Too many levels of symbolic links)."),
                 ("foreign file", ["sh", "-c", "echo theirs > %s && chown 1000 %s" % (LOCK_FILE, LOCK_FILE)],
                  "ERROR: lock file '/var/lock/updater' is not a regular file of this user, refusing to use it"))
        for name, plant, error in cases:
            with self.subTest(name):
                self.root.remove(LOCK_FILE)
                self.root.check(plant)
                result = self.updater()
                self.assertEqual(result.returncode, 1, result)
                self.assertIn(error, result.lines)
                self.assertExitLine(result, "ERROR")
                self.assertEqual(self.root.read("/etc/victim"), "precious\n")
                self.assertRecord("error", "lock", state=None)
        self.assertEqual(self.root.read(LOCK_FILE), "theirs\n")
        self.assertEqual(self.hook_calls(), [])


class Background(RootTestCase):
    def wait_for_child(self):
        """Waits for the process named in the lock file to end."""
        wait_for(lambda: (self.root.read(LOCK_FILE) or "").strip(), what="the background child's lock")
        pid = int(self.root.read(LOCK_FILE))
        wait_for(lambda: not os.path.exists("/proc/%d" % pid), what="the background child's end")
        return pid

    def test_parent_reports_and_leaves_the_run_to_the_child(self):
        result = self.updater("--background", "--log-to", "/tmp/run.log")
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.lines[:3], ["INFO: --- MODE update ---", "INFO: updater switched to background",
                                            result.lines[2]])
        child = int(re.fullmatch(r"INFO: --- BACKGROUND PID (\d+) ---", result.lines[2]).group(1))
        self.assertEqual(result.lines[3:], ["INFO: --- EXIT OK ---"])
        self.assertEqual(self.wait_for_child(), child)
        self.assertEqual(self.hook_calls(), [["/usr/lib/updater/hook", "init", "1.8.3"]])
        # The parent's exit line stays out of the child's log file.
        log = self.root.read("/tmp/run.log").splitlines()
        self.assertIn("INFO: --- BACKGROUND PID %d ---" % child, log)
        self.assertNotIn("INFO: --- EXIT OK ---", log)
        self.assertIn("INFO: --- EXIT ERROR ---", log)

    def test_quiet_parent_prints_nothing(self):
        result = self.updater("--background", "--quiet")
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stderr, "")
        self.wait_for_child()
        self.assertEqual(info_lines(self.root.lastlog()), ["INFO: running init hook"])

    def test_corrupted_status_is_refused_in_the_foreground(self):
        self.root.write("/var/lib/updater/status", "CORRUPTED\n")
        result = self.updater("--background")
        self.assertEqual(result.returncode, 2, result)
        self.assertIn("FATAL: system is corrupted cannot update", result.lines)
        self.assertIn("ERROR: cannot recover status, aborting", result.lines)
        self.assertExitLine(result, "FATAL")
        self.assertFalse([line for line in result.lines if "BACKGROUND" in line])
        time.sleep(0.5)
        self.assertEqual(self.hook_calls(), [])
        self.assertIsNone(self.root.read(LOCK_FILE))


class StartDelay(RootTestCase):
    def use_repository(self, location):
        self.root.write_config(text=config(repository("base", location)))

    def test_delay_of_at_most_one_second(self):
        self.use_repository(HTTP_REPOSITORY)
        started = time.time()
        result = self.updater("--max-wait-time", "1")
        self.assertLess(time.time() - started, 5)
        self.assertTrue({"INFO: waiting 0 secs before connection",
                         "INFO: waiting 1 secs before connection"} & set(result.lines), result)
        self.assertExitLine(result, "ERROR")
        self.assertEqual(self.root.status(), "READY\n")

    def test_delay_is_spent_in_delaying_and_ends_on_a_signal(self):
        self.use_repository(HTTP_REPOSITORY)
        proc = self.start("--max-wait-time", "100000")
        lines = []
        while not lines or "waiting" not in lines[-1]:
            line = proc.stderr.readline()
            self.assertTrue(line, lines)
            lines.append(line.rstrip("\n"))
        self.assertGreater(int(re.search(r"waiting (\d+) secs", lines[-1]).group(1)), 5)
        wait_for(lambda: self.root.status() == "DELAYING\n", what="status DELAYING")
        proc.send_signal(signal.SIGTERM)
        stdout, stderr = proc.communicate(timeout=60)
        lines += stderr.splitlines()
        self.assertEqual(proc.returncode, -signal.SIGTERM, lines)
        self.assertIn("ERROR: wait interrupted", lines)
        self.assertEqual(lines[-1], "ERROR: terminated by signal #15: Terminated")
        self.assertEqual(self.root.status(), "READY\n")

    def test_no_delay_for_a_file_repository_or_when_disabled(self):
        for location, wait in (("file:///var/lib/repo", "100000"), (HTTP_REPOSITORY, "-1")):
            self.use_repository(location)
            result = self.updater("--max-wait-time", wait, timeout=30)
            self.assertFalse([line for line in result.lines if "waiting" in line], result)
            self.assertExitLine(result, "ERROR")

    def test_too_little_random_data_ends_the_run(self):
        # /dev/urandom replaced, in the root's own mount namespace, by a file of two bytes.
        source = os.path.join(self.root.base, "short-random")
        with open(source, "wb") as f:
            f.write(b"\x01\x02")
        self.root._ns(["mount", "--bind", source, os.path.join(self.root.merged, "dev/urandom")], net=False)
        self.use_repository(HTTP_REPOSITORY)
        result = self.updater("--max-wait-time", "100000", timeout=30)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("ERROR: could not read random data from '/dev/urandom' (end of file).", result.lines)
        self.assertIn("ERROR: could not gather random data", result.lines)
        self.assertFalse([line for line in result.lines if "waiting" in line], result)
        self.assertExitLine(result, "ERROR")
        self.assertEqual(self.root.status(), "READY\n")


if __name__ == "__main__":
    unittest.main()
