"""Start-up: options, configuration, log outputs, start guards, the persisted status. The repository
does not exist, so a run that gets through start-up ends with ERROR."""

import os
import pathlib
import re

from devroot import UPDATER
from harness import LOCK_FILE, RootTestCase, config, repository

STATUS_FILE = "/var/lib/updater/status"
REPO_LINE = "INFO: updating packages from repository '%s' (URI '%s')"
ONE = config(repository("base", "/var/lib/repo"))
TWO = config(repository("base", "/var/lib/repo"), repository("extra", "http://127.0.0.1:9/extra"),
             repository("old", "/var/lib/old", enabled="false"))

# Configuration, arguments, lines in order, the exit line's word (None: the run
# ends before it, with nothing written and no hook run) and the failure class.
RUNS = (
    (ONE, ["--repo-url", "base"], ["ERROR: missing ':' in --repo-url option"], None),
    (ONE, ["--repo-url", ":x"], ["ERROR: missing ID in --repo-url option"], None),
    (ONE, ["--repo-url", "base:"], ["ERROR: missing URL in --repo-url option"], None),
    (TWO, [], ["ERROR: only one active repository supported"], None),
    (TWO, ["--repo", "nope"], ["ERROR: no repository with ID 'nope'"], None),
    ("<updater><repository id='base'>", [], ["ERROR: failed parsing configuration file '/etc/updater.conf'"], None,
     "configuration"),
    (ONE, ["--conf-file", "/etc/missing.conf"], ["ERROR: failed parsing configuration file '/etc/missing.conf'"], None),
    (ONE, ["--repo-url", "base:file:///media/repo"], [REPO_LINE % ("Base", "file:///media/repo")], "ERROR"),
    (ONE, ["--repo-url", "other:http://example.invalid/"],
     ["WARNING: ignoring URL override for non-existing repo 'other'", REPO_LINE % ("Base", "/var/lib/repo")], "ERROR"),
    (TWO, ["--repo", "old"], [REPO_LINE % ("Old", "/var/lib/old")], "ERROR"),  # disabled in the file: taken alone
    (config(repository("base", "/var/lib/repo", enabled="no")), [], ["ERROR: no active repository, nothing to do"],
     "ERROR"),
    (config(repository("base", "/var/lib/repo"), log='<log level="info"/>'), [],
     ["ERROR: no log output! enabling stderr"], "ERROR"),
    (ONE, ["--cache-dir", "cache"], ["WARNING: cache dir 'cache' is not an absolute path"], "ERROR"),
    (ONE, ["--cache-dir", ""], ["WARNING: cache dir empty, assuming './'"], "ERROR"),
    (ONE, [], ["INFO: --- MODE update ---"], "ERROR"),
    (ONE, ["-N"], ["INFO: --- MODE test ---"], "ERROR"),
    (ONE, ["--check-only"], ["INFO: --- MODE check ---"], "ERROR"),
    (ONE, ["-n", "-N"], ["INFO: --- MODE check ---"], "ERROR"),
)


class Options(RootTestCase):
    def test_runs_by_configuration_and_options(self):
        for text, args, lines, word, *error_class in RUNS:
            with self.subTest(args=args, lines=lines):
                self.root.write_config(text=text)
                result = self.updater(*args)
                self.assertRun(result, 1, *lines + (["INFO: --- EXIT %s ---" % word] if word else []))
                if word is None:
                    self.assertNotIn("--- EXIT", result.stderr)
                    self.assertEqual((self.hook_calls(), self.root.status()), ([], None))
                else:
                    self.assertEqual(self.root.status(), "READY\n")
                if error_class:
                    self.assertRecord("error", error_class[0], state=None)

    def test_answers_that_end_before_the_configuration_is_read(self):
        self.root.write_config(text="<updater><repository id='base'>")  # unparsable: not read
        for args, answer in ((["--version"], (0, "updater 1.8.3\n", "")),
                             (["--bogus"], (1, "", "updater: --bogus: unknown option\n"))):
            result = self.updater(*args)
            self.assertEqual((result.returncode, result.stdout, result.stderr), answer)
        result = self.updater("--help")
        self.assertEqual((result.returncode, "--allow-metadata-rollback" in result.stdout), (0, True), result)
        self.assertEqual((self.hook_calls(), self.root.read(LOCK_FILE)), ([], None))

    def test_log_file_appends_and_lastlog_holds_the_last_run_at_info(self):
        self.updater("--repo-url", "base:/var/lib/first", "--log-to", "/tmp/run.log")
        self.updater("--repo-url", "base:/var/lib/second", "--log-to", "/tmp/run.log", "--log-level", "debug")
        log = self.root.read("/tmp/run.log").splitlines()
        self.assertEqual(log.count("INFO: --- EXIT ERROR ---"), 2)
        self.assertTrue([line for line in log if line.startswith("DEBUG: ")])
        lastlog = self.root.lastlog().splitlines()
        self.assertEqual(lastlog[0], "INFO: updater version 1.8.3, product ")
        self.assertIn(REPO_LINE % ("Base", "/var/lib/second"), lastlog)
        self.assertNotIn(REPO_LINE % ("Base", "/var/lib/first"), lastlog)
        self.assertFalse([line for line in lastlog if line.startswith("DEBUG")])


class Inheritance(RootTestCase):
    def test_the_hook_gets_the_standard_descriptors_and_a_home(self):
        # Its descriptors as "number target" lines, without the directory ls opens.
        self.add_to_hook("ls -l /proc/self/fd/ | awk 'NR > 1 && $NF !~ /^\\/proc\\// {print $(NF - 2), $NF}' "
                         '> /tmp/hook-fds; echo "$HOME" > /tmp/hook-home')
        # Without HOME the agent takes it from the user database.
        self.root.run(["/usr/bin/env", "-u", "HOME", UPDATER, "--log-to", "/tmp/run.log"])
        listed = self.root.read("/tmp/hook-fds").splitlines()
        self.assertEqual([line.split()[0] for line in listed], ["0", "1", "2"], listed)
        self.assertEqual(self.root.read("/tmp/hook-home"), "/root\n")

    def test_closed_standard_descriptors_take_no_file_of_the_agent(self):
        # Left closed, standard error would be the next file opened: each line
        # would go to the last-run log twice, or into the lock file.
        result = self.root.run(["/bin/sh", "-c", 'exec <&- >&- 2>&- "$0"', UPDATER])
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(self.root.lastlog().splitlines().count("INFO: running init hook"), 1)
        self.assertRegex(self.root.read(LOCK_FILE), r"^ *\d+\n$")


class StartGuardsAndStatus(RootTestCase):
    def test_no_run_file_and_os_release_key_stop_every_run(self):
        norun = "ERROR: running is disabled by \"no run\" file '/var/run/updater.norun'"
        cases = (("touch /run/updater.norun", norun),
                 ("ln -sf /nonexistent /var/run/updater.norun", norun),
                 ("rm /etc/os-release; echo \"VRK_NO_UPDATE='lab unit'\" > /etc/os-release",
                  "ERROR: firmware update is disabled: lab unit"),
                 # The fallback counts only when /etc/os-release is missing.
                 ("echo ID=device > /etc/os-release; echo VRK_NO_UPDATE=fallback > /usr/lib/os-release", None),
                 ("rm /etc/os-release", "ERROR: firmware update is disabled: fallback"))
        for make, error in cases:
            with self.subTest(make):
                self.root.check(["sh", "-c", "rm -f /run/updater.norun /run/lock/updater /var/log/standins/hook; "
                                 + make])
                result = self.updater()
                self.assertRun(result, 1, *[error] if error else [], "INFO: --- EXIT ERROR ---")
                self.assertEqual(bool(self.hook_calls()), error is None, result)
                self.assertEqual(self.root.exists("/run/lock/updater"), error != norun)  # stopped before the lock

    def test_boot_clears_only_a_reboot_status_from_before_the_boot_and_an_unknown_word_stays(self):
        booted = int(re.search(r"^btime (\d+)$", pathlib.Path("/proc/stat").read_text(), re.M).group(1))
        # The configuration file is not read: a broken one cannot keep the device refusing.
        self.root.write_config(text="<updater><repository id='base'>")
        cases = (("REBOOTING", booted - 60, "READY"), ("REBOOTING", booted + 1, "REBOOTING"),
                 ("CORRUPTED", booted - 60, "CORRUPTED"), ("UPDATING", booted - 60, "UPDATING"), (None, 0, None))
        for word, written, expected in cases:
            self.root.remove(STATUS_FILE)
            if word:
                self.root.write_inside(STATUS_FILE, word + "\n")
                os.utime(self.root.path(STATUS_FILE), (written, written))
            result = self.updater("--clear-reboot-status")
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(self.root.status(), expected and expected + "\n", (word, written))
            cleared = "INFO: device rebooted after update, status is READY again" in result.lines
            self.assertEqual(cleared, expected == "READY" != word, result)
        self.assertIsNone(self.record())  # not an update run
        self.root.write_inside(STATUS_FILE, "ready\n")
        self.assertRun(self.updater("--clear-reboot-status"), 1, "ERROR: cannot recover status, aborting")
        self.root.write_config(text=ONE)
        self.assertRun(self.updater(), 1, "ERROR: unknown status 'ready'", "ERROR: cannot recover status, aborting")
        self.assertEqual((self.root.status(), self.hook_calls()), ("ready\n", []))
