"""A fresh device root per test (RootTestCase), with release 1 installed (UpdateTestCase); every status
record a test leaves is checked against the shipped schema."""

import json
import os
import pathlib
import re
import shutil
import tempfile
import time
import unittest

import jsonschema

import httpserver
import release
import testdata
from devroot import UPDATER, DeviceRoot, Result
from testdata import Pkg

DEFAULTS_FILE = "/usr/share/resources/default/updater/defaults.conf"
LOCK_FILE = "/run/lock/updater"  # /var/lock is a link to /run/lock in the root
CACHE_DIR = "/var/cache/updater/base"
PACKAGE_CACHE = CACHE_DIR + "/packages/"
TRACE = "/tmp/updater.strace"
REBOOT_CALLS = [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]

# Release 2 without a new release package: five updates, two of them add-ons;
# the first installing pass takes three of them.
FIVE = ["product-release"]
PASS_1 = ["app-2-1.noarch.rpm", "libcore-2-1.noarch.rpm", "updater-1.8.3-2.noarch.rpm"]
PASS_2 = ["addon-docs-2-1.noarch.rpm", "addon-tools-2-1.noarch.rpm"]
INSTALL = ["--define=__nofsync nofsync", "-v", "-U"]

# libcore of release 2 whose %pre notes rpm's process ID and waits until rpm
# is gone or /tmp/go appears.
WAITING_LIBCORE = Pkg("libcore", version="2", provides=["libcore.so.2"],
                      files={"/usr/share/libcore/VERSION": "libcore 2\n"},
                      scripts={"pre": """
                          echo $PPID > /tmp/rpm-pid
                          while [ ! -e /tmp/go ] && kill -0 $PPID 2>/dev/null; do sleep 0.05; done"""})

# Appended to each hook call's record: the status file as the hook sees it.
HOOK_STATUS = 'printf "%s %s\\n" "$1" "$(cat /var/lib/updater/status 2>/dev/null || echo -)" ' \
              '>> /var/log/standins/hook-status\n'

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "status.schema.json")) as f:
    STATUS_SCHEMA = json.load(f)


def repository(rid, location, enabled=None):
    attribute = "" if enabled is None else ' enabled="%s"' % enabled
    return '<repository id="%s"%s><name>%s</name><location href="%s"/></repository>' % (
        rid, attribute, rid.capitalize(), location)


def config(*elements, log='<log level="info"><logger type="stderr"/></log>'):
    return '<?xml version="1.0"?>\n<updater>\n  %s\n  %s\n</updater>\n' % ("\n  ".join(elements), log)


def primary_file(repo):
    return "repodata/" + next(name for name in os.listdir(os.path.join(repo, "repodata")) if "primary.xml" in name)


def info_lines(text):
    return [line for line in text.splitlines() if line.startswith("INFO: ")]


def credentials(href, user, password):
    return '<credits xmlns:xlink="http://www.w3.org/1999/xlink"><creditentials xlink:href="%s" username="%s" ' \
        'password="%s"/></credits>\n' % (href, user, password)


def wait_for(predicate, timeout=30, what="condition"):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def nevras(root):
    out = root.check(["/usr/bin/rpm", "-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n"]).stdout
    return sorted(n for n in out.split() if not n.startswith("gpg-pubkey-"))


def release_nevras(version, drop=()):
    return sorted("%s-%s-%s" % (p.name, p.version, p.release) for p in release.packages(version) if p.name not in drop)


# After the first installing pass of release 2 without its release package.
PASS_1_DONE = sorted(release_nevras(1, drop=["app", "libcore", "updater"]) +
                     ["app-2-1", "libcore-2-1", "updater-1.8.3-2"])
FIVE_DONE = sorted(release_nevras(2, drop=FIVE) + ["product-release-1-1"])
# The list of release 2's updates over release 1, as the log shows it.
UPDATES_2 = ["INFO: need to update (6 packages):"] + sorted("INFO: \t%s.rpm" % p.nevra for p in release.packages(2)[1:])


class RootTestCase(unittest.TestCase):
    ARGS = ()  # given to every run of the updater, before the test's own

    def setUp(self):
        self.root = DeviceRoot(rpmdb=False)
        self.addCleanup(self.root.close)
        self.root.write(DEFAULTS_FILE, config(log=""))
        self.root.write_config(text=config(repository("base", "/var/lib/repo")))
        self.addCleanup(self.record)

    def updater(self, *args, **kw):
        result = self.root.updater(*(self.ARGS + args), **kw)
        self.record()
        return result

    def record(self):
        """The status record, checked against the shipped schema."""
        text = self.root.read("/var/lib/updater/status.json")
        if text is None:
            return None
        record = json.loads(text)
        jsonschema.validate(record, STATUS_SCHEMA)
        return record

    def assertRecord(self, result, error_class=None, **fields):
        record = self.record()
        self.assertIsNotNone(record, "no status record")
        expected = dict(result=result, error_class=error_class, **fields)
        self.assertEqual({key: record[key] for key in expected}, expected, record)
        self.assertIsNotNone(record["ended"], record)
        return record

    def serve(self, root=None, port=8080, **config):
        """A scripted server (httpserver.py) of the directory `root` in the device's network."""
        return httpserver.ScriptedServer(self.root, dict(config, root=root) if root else config, port=port)

    def start(self, *args):
        proc = self.root.popen([UPDATER] + list(self.ARGS + args))
        self.addCleanup(self._stop, proc)
        return proc

    @staticmethod
    def finish(proc, timeout=60):
        stdout, stderr = proc.communicate(timeout=timeout)
        return Result(proc.returncode, stdout, stderr)

    @staticmethod
    def _stop(proc):
        proc.kill()  # nothing when it has ended
        proc.communicate()

    def add_to_hook(self, text):
        """Shell text the hook stand-in runs at every call, with the call's arguments."""
        self.root.write_inside("/etc/standins/hook.sh", (self.root.read("/etc/standins/hook.sh") or "") + text + "\n")

    def hold_init_hook(self):
        """The hook waits at "init" until release_init_hook()."""
        self.add_to_hook('[ "$1" = init ] && while [ ! -e /tmp/release-hook ]; do sleep 0.05; done')
        self.addCleanup(self.release_init_hook)

    def release_init_hook(self):
        self.root.check(["touch", "/tmp/release-hook"])

    def hook_calls(self):
        return [call[1:] for call in self.root.calls("hook")]

    def assertLinesInOrder(self, result, expected, match=str.__eq__):
        """The lines `match` each of `expected` (equal, or e.g. re.fullmatch or startswith), in that order."""
        at = 0
        for line in expected:
            at = next((i for i in range(at, len(result.lines)) if match(line, result.lines[i])), None)
            self.assertIsNotNone(at, "no line for %r in order in:\n%s" % (line, result.stderr))
            at += 1

    def assertRun(self, result, code, *lines, match=str.__eq__):
        self.assertEqual(result.returncode, code, result)
        self.assertLinesInOrder(result, lines, match)


class UpdateTestCase(RootTestCase):
    ARGS = ("--max-wait-time", "-1")

    def setUp(self):
        super().setUp()
        self.root.check(["rpm", "--initdb"])
        self.work = tempfile.mkdtemp(prefix="update-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        for name in ("telinit", "shutdown"):
            self.root.install_standin("/usr/local/sbin/" + name, "reboot")
        self.root.write("/etc/standins/hook.sh", HOOK_STATUS)
        release.install_release(self.root, 1)

    def renew_root(self):
        """A fresh root as setUp makes it, for the next row of a table."""
        self.root.close()
        self.setUp()

    def repo(self, pkgs, name="repo", key=None, sign_packages=None, timestamp=None):
        """A repository in the work directory (the same path inside the root); sign_packages maps names to signers."""
        signed, signers = os.path.join(self.work, name + "-signed"), sign_packages or {}
        paths = [signers[p.name].sign_rpm(path, signed) if p.name in signers else path
                 for p, path in zip(pkgs, testdata.build_all(pkgs))]
        return testdata.make_repo(os.path.join(self.work, name), paths, key=key, timestamp=timestamp)

    def use_repo(self, location):
        self.root.write_config(text=release.CONFIG % {"location": location})

    def use_cache_of(self, repo):
        for name in ("repodata/repomd.xml", primary_file(repo)):
            self.root.write(CACHE_DIR + "/" + os.path.basename(name), pathlib.Path(repo, name).read_bytes())
        self.use_repo("http://127.0.0.1:9/")

    def traced_updater(self, *args):
        """Under strace: the exact sequence of state file writes. (A sanitizer's leak check cannot run under ptrace.)"""
        result = self.root.run(["strace", "-qq", "-y", "-e", "trace=write,sync", "-e", "signal=none", "-o", TRACE,
                                UPDATER] + list(self.ARGS + args), env={"ASAN_OPTIONS": "detect_leaks=0"})
        self.record()
        return result

    def traced(self, pattern):
        return re.findall(pattern, self.root.read(TRACE) or "", re.M)

    def writes(self, name):
        """The words written to the state file `name`, through its temporary files."""
        return self.traced(r'^write\(\d+</var/lib/updater/%s\.\w+>, "(\w+)\\n"' % name)

    def record_rpm_calls(self, before=""):
        """rpm found first on the search path is a stand-in that runs `before`, then the real one."""
        self.root.write_inside("/etc/standins/rpm.sh", before + 'exec /usr/bin/rpm "$@"\n')
        self.root.install_standin("/usr/local/sbin/rpm")

    def rpm_calls(self):
        return [call[1:] for call in self.root.calls("rpm")]

    def hook_statuses(self):
        return [line.split(" ") for line in (self.root.read("/var/log/standins/hook-status") or "").splitlines()]

    def reboot_calls(self):
        return [[os.path.basename(call[0])] + call[1:] for call in self.root.calls("reboot")]

    def assertRebooted(self):
        wait_for(lambda: len(self.reboot_calls()) == 2, what="the shutdown stand-in")
        self.assertEqual(self.reboot_calls(), REBOOT_CALLS)

    def assertState(self, status, update_state):
        self.assertEqual((self.root.status(), self.root.update_state()),
                         (status and status + "\n", update_state and update_state + "\n"))
