"""Trust in the repository's metadata over time, with indexes signed by a key
of the device and dated by the test: an older index replayed by a mirror is
refused unless a rollback is allowed, the same index passes again, a stale
index draws a warning or a refusal, and a clock behind the metadata or a
trusted key is named when a signature check fails."""

import json
import re
import time

import httpserver
import release
import testdata
from harness import FIVE, UpdateTestCase, nevras, release_nevras

DAY = 24 * 60 * 60
NOW = int(time.time())
MEMORY = "/var/lib/updater/metadata-base"
CLOCK = r"system clock \(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\)"

CONFIG = """<?xml version="1.0"?>
<updater>
  <repository id="base"><name>Demo release</name><location href="%s"/></repository>
  <metadata>%s</metadata>
</updater>
"""


def date(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


class MetadataTrust(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.key = testdata.Key("trust-release")
        self.key.import_into(self.root)

    def serve(self, name, timestamp, port, key=None, sign_packages=None, pkgs=None):
        """Serves a repository of release 2 whose index is dated `timestamp`."""
        repo = self.repo(pkgs or release.packages(2), name=name, key=key or self.key, sign_packages=sign_packages,
                         timestamp=timestamp)
        httpserver.ScriptedServer(self.root, {"root": repo}, port=port)
        return "http://127.0.0.1:%d/" % port

    def run_on(self, location, *args, rules=""):
        self.root.write_config(text=CONFIG % (location, rules))
        return self.updater(*args)

    def remembered(self):
        return json.loads(self.root.read(MEMORY))["timestamp"]

    def test_older_index_is_refused_unless_a_rollback_is_allowed(self):
        new = self.serve("new", NOW - DAY, 8080)
        old = self.serve("old", NOW - 30 * DAY, 8081)
        for args in (("--check-only",), ("--check-only",), ("--check-only", "--cache-only")):
            result = self.run_on(new, *args)
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(self.remembered(), NOW - DAY)

        result = self.run_on(old)
        self.assertEqual(result.returncode, 1, result)
        self.assertLinesInOrder(result, [
            "ERROR: repository metadata dated %s is older than the metadata dated %s accepted before: possible replay "
            "or stale mirror" % (date(NOW - 30 * DAY), date(NOW - DAY)),
            "ERROR: could not update repository data", "INFO: --- EXIT ERROR ---"])
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertRecord("error", "metadata-rollback")
        self.assertEqual(self.remembered(), NOW - DAY)

        allowed = "WARNING: accepting repository metadata dated %s, older than the metadata dated %s accepted " \
                  "before: rollback allowed" % (date(NOW - 30 * DAY), date(NOW - DAY))
        for rules, args in (("", ("--allow-metadata-rollback",)), ("<allow-rollback>true</allow-rollback>", ())):
            with self.subTest(rules=rules, args=args):
                self.assertEqual(self.run_on(new, "--check-only").returncode, 0)
                result = self.run_on(old, "--check-only", *args, rules=rules)
                self.assertEqual(result.returncode, 0, result)
                self.assertIn(allowed, result.lines)
                self.assertEqual(self.remembered(), NOW - 30 * DAY)

    def test_missing_or_damaged_memory_starts_afresh_once(self):
        location = self.serve("repo", NOW - DAY, 8080)
        cases = (("missing", None, "INFO: no repository metadata remembered in '%s', starting afresh" % MEMORY),
                 ("damaged", '{"revision": "1", "timestamp": ',
                  "WARNING: remembered repository metadata '%s' is damaged, starting afresh" % MEMORY))
        for name, content, line in cases:
            with self.subTest(name):
                if content:
                    self.root.write_inside(MEMORY, content)
                # All three passes load the index; the memory is read once.
                result = self.run_on(location, "--test", "--no-pkg-sig-check")
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(result.lines.count(line), 1, result)
                self.assertEqual(self.remembered(), NOW - DAY)

    def test_stale_index_warns_or_is_refused(self):
        location = self.serve("repo", NOW - 30 * DAY, 8080)
        stale = "repository metadata is 30 days old (dated %s), more than the 7 days allowed" % date(NOW - 30 * DAY)
        cases = (("", 0, "WARNING: " + stale, "ok", None),
                 ("<refuse-stale>true</refuse-stale>", 1, "ERROR: %s: refusing stale metadata" % stale, "error",
                  "metadata-rollback"))
        for refuse, code, line, outcome, error_class in cases:
            with self.subTest(refuse=refuse):
                result = self.run_on(location, "--check-only", rules="<max-age-days>7</max-age-days>" + refuse)
                self.assertEqual(result.returncode, code, result)
                self.assertIn(line, result.lines)
                self.assertRecord(outcome, error_class)

    def test_clock_behind_is_named_when_a_signature_check_fails(self):
        stranger = testdata.Key("trust-stranger")
        # An index from the future, signed by a key the device does not trust.
        future = NOW + 400 * DAY
        result = self.run_on(self.serve("future", future, 8080, key=stranger), "--check-only")
        self.assertEqual(result.returncode, 1, result)
        self.assertLinesMatchInOrder(result, [
            "WARNING: %s is more than a day behind the repository metadata \\(%s\\); signature checks may fail until "
            "the clock is set" % (CLOCK, date(future)),
            "ERROR: invalid metadata signature",
            "ERROR: %s is behind the repository metadata \\(%s\\): the clock is the likely cause of the signature "
            "failure" % (CLOCK, date(future))])
        self.assertRecord("error", "clock")

        # A trusted key made in the future signs the index; the packages are
        # signed by the stranger.
        created = NOW + 400 * DAY
        dated = testdata.Key("trust-future", created=created)
        dated.import_into(self.root)
        pkgs = release.variant(2, drop=FIVE)
        location = self.serve("keyed", NOW, 8081, key=dated, pkgs=pkgs, sign_packages={p.name: stranger for p in pkgs})
        result = self.run_on(location)
        self.assertEqual(result.returncode, 1, result)
        key_created = re.search(r"^pub:[^:]*:[^:]*:[^:]*:[^:]*:(\d+):", dated._gpg("--list-keys", "--with-colons").stdout,
                                re.M).group(1)
        self.assertLinesMatchInOrder(result, [
            "ERROR: no acceptable signature on package 'app-2-1.noarch.rpm'",
            "ERROR: %s is behind the creation of a trusted key \\(%s\\): the clock is the likely cause of the signature "
            "failure" % (CLOCK, date(int(key_created)))])
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertRecord("error", "clock")

    def assertLinesMatchInOrder(self, result, patterns):
        at = 0
        for pattern in patterns:
            found = [i for i, line in enumerate(result.lines) if i >= at and re.fullmatch(pattern, line)]
            self.assertTrue(found, "no line matching %r after line %d in:\n%s" % (pattern, at, result.stderr))
            at = found[0] + 1
