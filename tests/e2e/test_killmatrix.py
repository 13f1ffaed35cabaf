"""The kill matrix: a real two-pass update over HTTP is held at a point of
each state it reaches, the agent is SIGKILLed there (with whatever it is
waiting for, as a power cut would end it), and the agent is started again.

After the kill and after the next start: no state file is torn, and nothing
is reported as done that was not. The next start does what the status it
finds asks for: it goes on after DELAYING, ANALYZING, DOWNLOADING, TESTING and
PKGSDONE, declares the system corrupted after UPDATING, and refuses while
REBOOTING. A check of its own for every row goes into CHECKS."""

import os
import signal
import subprocess
import sys
import unittest

import httpserver
import release
from driverhelpers import LOCK_FILE, status_record, wait_for
from devroot import UPDATER, Result
from updatehelpers import FIVE, PASS_1, PASS_2, WAITING_LIBCORE, UpdateTestCase, nevras, release_nevras

STATUS_WORDS = ["READY", "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING", "UPDATING", "PKGSDONE", "CORRUPTED",
                "REBOOTING"]
UPDATE_STATES = ["AVAILABLE", "PENDING", "COMPLETE", "CORRUPTED"]
FINAL = sorted(release_nevras(2, drop=FIVE) + ["product-release-1-1"])
PASSES = [{f[:-len(".noarch.rpm")] for f in files} for files in (PASS_1, PASS_2)]

# Holds the hook at its first call with the name in /etc/standins/hold-<name>,
# noting its process ID in /tmp/held, until /tmp/go appears.
HOLD_HOOK = """if [ -f /etc/standins/hold-$1 ]; then
  rm /etc/standins/hold-$1; echo $$ > /tmp/held
  i=0; while [ ! -e /tmp/go ] && [ $i -lt 3000 ]; do sleep 0.1; i=$((i + 1)); done
  rm /tmp/held
fi
"""
# Holds rpm before a test transaction starts, the same way.
HOLD_RPM = """#!/bin/sh
if [ "$1" = --test ] && [ -f /etc/standins/hold-rpm ]; then
  rm /etc/standins/hold-rpm; echo $$ > /tmp/held; exec sleep 300
fi
exec /usr/bin/rpm "$@"
"""
# Holds the agent under strace at its last system call.
AT_EXIT = ("-e", "inject=exit_group:delay_enter=600s")
# Attached once the update hook holds the agent: the first file mode it sets
# after the hook is the one of the temporary status file holding UPDATING,
# written but not yet renamed.
NEXT_FILE_MODE = ("-e", "inject=fchmod:delay_enter=600s:when=1")

GOES_ON = (0, "INFO: --- EXIT OK ---")


class Row:
    def __init__(self, name, status, next_start, args=(), delay=False, hook=None, rpm=False, waiting=False,
                 strace=None, attach=None, temporary=None, final=("REBOOTING", "COMPLETE", FINAL)):
        self.name = name
        self.status = status          # the status file's word when the agent is killed
        self.next_start = next_start  # exit code and a line of the next start
        self.args = args              # for both runs
        self.delay = delay            # the first run waits its start delay
        self.hook = hook              # hold the first call of this hook
        self.rpm = rpm                # hold rpm's test transaction
        self.waiting = waiting        # hold rpm in libcore's %pre
        self.strace = strace          # hold under strace
        self.attach = attach          # hold under strace attached at the hook's hold, then released
        self.temporary = temporary    # held once a temporary status file holds this word
        self.final = final            # status, update state and packages after the next start


ROWS = [
    Row("DELAYING", "DELAYING", GOES_ON, delay=True),
    Row("ANALYZING", "ANALYZING", GOES_ON, hook="download"),
    Row("DOWNLOADING", "DOWNLOADING", GOES_ON, hook="update"),
    Row("TESTING", "TESTING", GOES_ON, args=("--test",), rpm=True, final=("READY", "AVAILABLE", release_nevras(1))),
    Row("UPDATING", "UPDATING", (2, "FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting"),
        waiting=True, final=("CORRUPTED", "CORRUPTED", None)),
    Row("PKGSDONE", "PKGSDONE", GOES_ON, hook="postupdate"),
    Row("REBOOTING", "REBOOTING", (1, "INFO: machine is rebooting after update, cannot start"), strace=AT_EXIT),
    Row("UPDATING written, not renamed", "DOWNLOADING", GOES_ON, hook="update", attach=NEXT_FILE_MODE,
        temporary="UPDATING"),
]


class KillMatrix(UpdateTestCase):
    # Run after every kill and every next start, with the run's log lines.
    CHECKS = ("check_state_files_whole", "check_nothing_reported_done", "check_status_record_parses")

    def test_sigkill_in_every_state(self):
        wrong = []
        for row in ROWS:
            with self.subTest(row.name):
                try:
                    self.run_row(row)
                except AssertionError:
                    wrong.append(row.name)
                    raise
        sys.stderr.write("\nkill matrix: %d cases run, %d right\n" % (len(ROWS), len(ROWS) - len(wrong)))

    def run_row(self, row):
        self.fresh_root(row)
        killed = self.kill_when_held(row)
        self.run_checks(killed)
        result = self.updater("--no-sig-check", *row.args)
        code, line = row.next_start
        self.assertEqual(result.returncode, code, result)
        self.assertIn(line, result.lines, result)
        status, state, packages = row.final
        self.assertState(status, state)
        if packages is not None:
            self.assertEqual(nevras(self.root), packages)
        self.run_checks(result.lines)

    def fresh_root(self, row):
        if self.root.exists("/var/lib/updater/status"):  # the root of an earlier row
            self.root.close()
            UpdateTestCase.setUp(self)
        pkgs = release.variant(2, drop=FIVE, replace=[WAITING_LIBCORE] if row.waiting else [])
        httpserver.ScriptedServer(self.root, {"root": self.repo(pkgs)}, port=8080)
        self.use_repo("http://127.0.0.1:8080/")
        self.root.write_inside("/etc/standins/hook.sh", self.root.read("/etc/standins/hook.sh") + HOLD_HOOK)
        if row.hook:
            self.root.write_inside("/etc/standins/hold-" + row.hook, "")
        if row.rpm:
            self.root.write_inside("/usr/local/sbin/rpm", HOLD_RPM, 0o755)
            self.root.write_inside("/etc/standins/hold-rpm", "")

    def kill_when_held(self, row):
        """Starts the update, SIGKILLs the agent and what holds it once it is
        held, and gives the killed run's log lines."""
        args = ["--no-sig-check"] + list(row.args) + (["--max-wait-time", "100000"] if row.delay else [])
        if row.strace:
            proc = self.root.popen(["strace", "-qq", "-o", "/dev/null"] + list(row.strace) + [UPDATER] +
                                   list(self.ARGS) + args)
            self.addCleanup(self._stop, proc)
        else:
            proc = self.start(*args)
        tracer = None
        try:
            if row.attach:
                wait_for(lambda: self.root.read("/tmp/held") or proc.poll() is not None, timeout=60, what="the hook")
                tracer = self.attach(row.attach)
                self.root.check(["touch", "/tmp/go"])
            wait_for(lambda: self.reached(row) or proc.poll() is not None, timeout=60, what="the hold of " + row.name)
            self.assertTrue(self.reached(row), "the run ended before its hold")
            self.assertEqual(self.root.status(), row.status + "\n")
        finally:
            self.power_cut(proc, row, tracer)
        stdout, stderr = proc.communicate(timeout=60)
        return Result(proc.returncode, stdout, stderr).lines

    def attach(self, inject):
        """strace attached to the agent; returns once it is."""
        tracer = subprocess.Popen(["strace", "-o", "/dev/null", "-p", self.root.read(LOCK_FILE).strip()] + list(inject),
                                  stderr=subprocess.PIPE, text=True)
        self.addCleanup(self._stop, tracer)
        self.assertIn("attached", tracer.stderr.readline())
        return tracer

    def power_cut(self, proc, row, tracer):
        """SIGKILL to the agent and to what holds it."""
        for pid in (self.root.read(LOCK_FILE), self.root.read("/tmp/held"), self.root.read("/tmp/rpm-pid")):
            if pid:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except ProcessLookupError:
                    pass
        # strace waits out its delay even for a dead tracee.
        for process in (proc if row.strace else None, tracer):
            if process:
                process.kill()

    def reached(self, row):
        """Whether the agent is at the row's point of hold."""
        if row.temporary:
            return any(self.root.read("/var/lib/updater/" + name) == row.temporary + "\n"
                       for name in self.root.listdir("/var/lib/updater") if name.startswith("status."))
        if row.hook or row.rpm:
            return bool(self.root.read("/tmp/held"))
        if row.waiting:
            return bool(self.root.read("/tmp/rpm-pid"))
        return self.root.status() == row.status + "\n"

    def run_checks(self, lines):
        for check in self.CHECKS:
            getattr(self, check)(lines)

    def check_state_files_whole(self, lines):
        self.assertIn(self.root.status(), [None] + [word + "\n" for word in STATUS_WORDS])
        self.assertIn(self.root.update_state(), [None] + [word + "\n" for word in UPDATE_STATES])

    def check_status_record_parses(self, lines):
        self.assertIsNotNone(status_record(self.root))

    def check_nothing_reported_done(self, lines):
        installed = set(nevras(self.root))
        passes_done = sum(1 for done in PASSES if done <= installed)
        self.assertLessEqual(lines.count("INFO: packages installed OK"), passes_done, lines)
        if self.root.update_state() == "COMPLETE\n":
            self.assertEqual(sorted(installed), FINAL)
        if self.root.status() == "REBOOTING\n":
            self.assertLessEqual(PASSES[0], installed)


if __name__ == "__main__":
    unittest.main()
