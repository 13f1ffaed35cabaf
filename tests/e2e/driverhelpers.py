"""Shared pieces of the driver's end-to-end tests: configuration texts, a
test case base with a fresh device root per test, the status record checked
against its schema, and small waits."""

import json
import os
import time
import unittest

import jsonschema

from devroot import DeviceRoot, UPDATER

DEFAULTS_FILE = "/usr/share/resources/default/updater/defaults.conf"
LOCK_FILE = "/run/lock/updater"  # /var/lock is a link to /run/lock in the root
STATUS_RECORD = "/var/lib/updater/status.json"

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "status.schema.json")) as f:
    STATUS_SCHEMA = json.load(f)


def status_record(root):
    """The status record in the device root, checked against the shipped
    schema; None when the updater has written none."""
    text = root.read(STATUS_RECORD)
    if text is None:
        return None
    record = json.loads(text)
    jsonschema.validate(record, STATUS_SCHEMA)
    return record


def repository(rid, location, name=None, enabled=None):
    attribute = "" if enabled is None else ' enabled="%s"' % enabled
    return '<repository id="%s"%s><name>%s</name><location href="%s"/></repository>' % (
        rid, attribute, name or rid.capitalize(), location)


def config(*elements, log='<log level="info"><logger type="stderr"/></log>'):
    return '<?xml version="1.0"?>\n<updater>\n  %s\n  %s\n</updater>\n' % ("\n  ".join(elements), log)


def info_lines(text):
    """The INFO lines of a log text (errors and warnings of the device's
    identity and the like may come and go around them)."""
    return [line for line in text.splitlines() if line.startswith("INFO: ")]


def wait_for(predicate, timeout=30, what="condition"):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class RootTestCase(unittest.TestCase):
    """A fresh device root per test, with an empty defaults file and a
    configuration of one local repository "base"."""

    ARGS = ()  # given to every run of the updater, before the test's own

    def setUp(self):
        self.root = DeviceRoot(rpmdb=False)
        self.addCleanup(self.root.close)
        self.root.write(DEFAULTS_FILE, config(log=""))
        self.root.write_config(text=config(repository("base", "/var/lib/repo")))
        self.addCleanup(self.record)  # the last record of every test meets the schema

    def updater(self, *args, **kw):
        result = self.root.updater(*(self.ARGS + args), **kw)
        self.record()
        return result

    def record(self):
        return status_record(self.root)

    def assertRecord(self, result, error_class=None, **fields):
        """The run's final record: its result word, failure class and the given fields."""
        record = self.record()
        self.assertIsNotNone(record, "no status record")
        expected = {"result": result, "error_class": error_class}
        expected.update(fields)
        self.assertEqual({key: record[key] for key in expected}, expected, record)
        self.assertIsNotNone(record["ended"], record)
        return record

    def start(self, *args):
        """Starts the updater without waiting; its pid is the updater's own.
        A test that fails before it ends leaves no process behind."""
        proc = self.root.popen([UPDATER] + list(self.ARGS + args))
        self.addCleanup(self._stop, proc)
        return proc

    @staticmethod
    def _stop(proc):
        if proc.poll() is None:
            proc.kill()
        proc.communicate()

    def hold_init_hook(self):
        """The hook stand-in waits at "init" until release_init_hook()."""
        self.root.write("/etc/standins/hook.sh",
                        '[ "$1" = init ] && while [ ! -e /tmp/release-hook ]; do sleep 0.05; done\n')
        self.addCleanup(self.release_init_hook)

    def release_init_hook(self):
        # Made inside the root: the overlay does not see files added to its
        # upper directory behind its back once it has looked them up.
        self.root.check(["touch", "/tmp/release-hook"])

    def hook_calls(self):
        return self.root.calls("hook")

    def assertExitLine(self, result, word):
        self.assertIn("INFO: --- EXIT %s ---" % word, result.lines, result)

    def assertNoExitLine(self, result):
        self.assertFalse([line for line in result.lines if "--- EXIT" in line], result)

    def assertLinesInOrder(self, result, expected):
        """The expected lines appear in this order (others may come between)."""
        at = 0
        for line in expected:
            try:
                at = result.lines.index(line, at) + 1
            except ValueError:
                self.fail("missing %r after line %d in:\n%s" % (line, at, result.stderr))
