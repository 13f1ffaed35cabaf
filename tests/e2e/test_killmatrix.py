"""The agent SIGKILLed in each state of a two-pass update over HTTP: no state file torn, nothing
reported done that was not, and the next start does what the status it finds asks for."""

import contextlib
import os
import signal
import subprocess
import sys

import release
from devroot import UPDATER
from harness import (FIVE, FIVE_DONE, LOCK_FILE, PASS_1, PASS_2, WAITING_LIBCORE, UpdateTestCase, nevras,
                     release_nevras, wait_for)

STATUS_WORDS = "READY DELAYING ANALYZING DOWNLOADING TESTING UPDATING PKGSDONE CORRUPTED REBOOTING".split()
UPDATE_STATES = "AVAILABLE PENDING COMPLETE CORRUPTED".split()
PASSES = [{f[:-len(".noarch.rpm")] for f in files} for files in (PASS_1, PASS_2)]

# Holds the hook at its first call named in /etc/standins/hold-<name> until /tmp/go appears.
HOLD_HOOK = """if [ -f /etc/standins/hold-$1 ]; then
  rm /etc/standins/hold-$1; echo $$ > /tmp/held
  i=0; while [ ! -e /tmp/go ] && [ $i -lt 3000 ]; do sleep 0.1; i=$((i + 1)); done
  rm /tmp/held
fi"""
# Holds rpm before a test transaction starts, the same way.
HOLD_RPM = """if [ "$1" = --test ] && [ -f /etc/standins/hold-rpm ]; then
  rm /etc/standins/hold-rpm; echo $$ > /tmp/held; exec sleep 300
fi
"""
GOES_ON = (0, "INFO: --- EXIT OK ---")
DONE = ("REBOOTING", "COMPLETE", FIVE_DONE)

# Name, status when killed, the next start's code and a line, the states and packages after it, and
# the hold. "hook update, then fchmod" kills with the temporary status file written, not renamed.
ROWS = [
    ("DELAYING", "DELAYING", GOES_ON, DONE, "delay"),
    ("ANALYZING", "ANALYZING", GOES_ON, DONE, "hook download"),
    ("DOWNLOADING", "DOWNLOADING", GOES_ON, DONE, "hook update"),
    ("TESTING", "TESTING", GOES_ON, ("READY", "AVAILABLE", release_nevras(1)), "rpm"),
    ("UPDATING", "UPDATING", (2, "FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting"),
     ("CORRUPTED", "CORRUPTED", None), "pre"),
    ("PKGSDONE", "PKGSDONE", GOES_ON, DONE, "hook postupdate"),
    ("REBOOTING", "REBOOTING", (1, "INFO: machine is rebooting after update, cannot start"), DONE, "exit"),
    ("UPDATING written, not renamed", "DOWNLOADING", GOES_ON, DONE, "hook update, then fchmod"),
]


class KillMatrix(UpdateTestCase):
    def test_sigkill_in_every_state(self):
        right = 0
        for name, status, (code, line), (final_status, final_state, packages), hold in ROWS:
            with self.subTest(name):
                args = ("--no-sig-check",) + (("--test",) if hold == "rpm" else ())
                self.fresh_root(hold)
                self.check_whole(self.kill_when_held(args, status, hold))
                result = self.updater(*args)
                self.assertRun(result, code, line)
                self.assertState(final_status, final_state)
                if packages is not None:
                    self.assertEqual(nevras(self.root), packages)
                self.check_whole(result.lines)
                right += 1
        sys.stderr.write("\nkill matrix: %d cases run, %d right\n" % (len(ROWS), right))

    def fresh_root(self, hold):
        if self.root.exists("/var/lib/updater/status"):  # the root of an earlier row
            self.renew_root()
        self.serve(self.repo(release.variant(2, drop=FIVE, replace=[WAITING_LIBCORE] if hold == "pre" else [])))
        self.use_repo("http://127.0.0.1:8080/")
        self.add_to_hook(HOLD_HOOK)
        if hold.startswith("hook"):
            self.root.write_inside("/etc/standins/hold-" + hold.split()[1].rstrip(","), "")
        if hold == "rpm":
            self.root.write_inside("/etc/standins/hold-rpm", "")
            self.record_rpm_calls(HOLD_RPM)

    def kill_when_held(self, args, status, hold):
        args = list(self.ARGS + args) + (["--max-wait-time", "100000"] if hold == "delay" else [])
        if hold == "exit":  # strace holds the agent at its last system call
            proc = self.root.popen(["strace", "-qq", "-o", "/dev/null", "-e", "inject=exit_group:delay_enter=600s",
                                    UPDATER] + args)
            self.addCleanup(self._stop, proc)
        else:
            proc = self.start(*args[len(self.ARGS):])
        tracers = [proc] if hold == "exit" else []
        try:
            if hold.endswith("fchmod"):
                wait_for(lambda: self.root.read("/tmp/held") or proc.poll() is not None, timeout=60, what="the hook")
                tracers.append(subprocess.Popen(["strace", "-o", "/dev/null", "-p", self.root.read(LOCK_FILE).strip(),
                                                 "-e", "inject=fchmod:delay_enter=600s:when=1"],
                                                stderr=subprocess.PIPE, text=True))
                self.addCleanup(self._stop, tracers[-1])
                self.assertIn("attached", tracers[-1].stderr.readline())
                self.root.check(["touch", "/tmp/go"])
            wait_for(lambda: self.held(hold, status) or proc.poll() is not None, timeout=60, what="the hold")
            self.assertTrue(self.held(hold, status), "the run ended before its hold")
            self.assertEqual(self.root.status(), status + "\n")
        finally:
            for pid in filter(None, map(self.root.read, (LOCK_FILE, "/tmp/held", "/tmp/rpm-pid"))):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(int(pid), signal.SIGKILL)
            for tracer in tracers:  # strace waits out its delay even for a dead tracee
                tracer.kill()
        return self.finish(proc).lines

    def held(self, hold, status):
        if hold.endswith("fchmod"):
            return any(self.root.read("/var/lib/updater/" + name) == "UPDATING\n"
                       for name in self.root.listdir("/var/lib/updater") if name.startswith("status."))
        if hold.startswith("hook") or hold == "rpm":
            return bool(self.root.read("/tmp/held"))
        if hold == "pre":
            return bool(self.root.read("/tmp/rpm-pid"))
        return self.root.status() == status + "\n"

    def check_whole(self, lines):
        self.assertIn(self.root.status(), [None] + [word + "\n" for word in STATUS_WORDS])
        self.assertIn(self.root.update_state(), [None] + [word + "\n" for word in UPDATE_STATES])
        self.assertIsNotNone(self.record())
        installed = set(nevras(self.root))
        self.assertLessEqual(lines.count("INFO: packages installed OK"), sum(1 for done in PASSES if done <= installed))
        if self.root.update_state() == "COMPLETE\n":
            self.assertEqual(sorted(installed), FIVE_DONE)
        if self.root.status() == "REBOOTING\n":
            self.assertLessEqual(PASSES[0], installed)
