"""The updater's own rpm from scripts/package, and the vendor's side as docs/publishing.md tells it."""

import os
import pathlib
import re
import shutil
import subprocess
import unittest

import httpserver
import publishing
import release
import testdata
from devroot import BUILD_DIR, DeviceRoot
from harness import DEFAULTS_FILE, UpdateTestCase, nevras, release_nevras

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOPDIR = os.path.join(BUILD_DIR, "package-test")
UNITS = ["updater.service", "updater.timer", "updater-boot.service"]
FILES = ["/usr/sbin/updater", "/usr/share/man/man8/updater.8", "/etc/updater.conf",
         "/usr/share/resources/default/updater/defaults.conf", "/var/lib/updater", "/var/cache/updater",
         "/var/log/updater"] + ["/usr/lib/systemd/system/" + unit for unit in UNITS]


def package(*args):
    return testdata.run([os.path.join(TOP, "scripts", "package"), "--topdir", TOPDIR] + list(args)).stdout


def query(*args):
    return subprocess.run(["rpm", "-q"] + list(args), check=True, capture_output=True, text=True).stdout.splitlines()


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(TOPDIR, ignore_errors=True)
        # Compiled without optimisation, the quickest: what is tested is the package, not the compiler.
        cls.rpm1, *_, cls.lint = package("--release", "1", "--optflags", "-O0").splitlines()
        cls.rpm2 = package("--release", "2", "--again", "--optflags", "-O0").splitlines()[0]
        cls.work = os.path.join(TOPDIR, "work")
        # dpkg owns what the package requires: a package of provides stands in for it.
        cls.system = [r for r in query("-p", "--requires", cls.rpm1) if not r.startswith(("rpmlib(", "config("))]
        cls.provides = testdata.build(testdata.Pkg("dpkg-owned", provides=cls.system))

    def test_package_holds_the_program_units_and_files_and_is_lint_clean(self):
        self.assertLessEqual(set(FILES), set(query("-lp", self.rpm1)))
        self.assertEqual(query("-cp", self.rpm1), ["/etc/updater.conf", DEFAULTS_FILE])
        self.assertLessEqual({"rpm", "gpgv"}, set(self.system))
        self.assertRegex(self.lint, r" 0 errors, 0 warnings")

    def test_installed_updater_runs_with_the_example_files_and_updates_its_own_package(self):
        root = DeviceRoot()
        self.addCleanup(root.close)
        root.set_identity()
        testdata.install(root, [self.provides])
        testdata.install(root, [self.rpm1], nodeps=False)
        self.assertEqual(root.check(["/usr/sbin/updater", "--version"]).stdout, "updater 1.8.3\n")
        result = root.run(["systemd-analyze", "verify", "--man=no"] + UNITS)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

        for name, path in (("vrkproxy.conf", "/etc/network/vrkproxy.conf"),
                           ("vrkpasswd.xml", "/etc/lumenta/vrkpasswd.xml"), ("hook", "/usr/lib/updater/hook")):
            text = pathlib.Path(TOP, "examples", name).read_text()
            # The example's server becomes the test's.
            root.write_inside(path, text.replace("https://updates.example.com/", "http://127.0.0.1:8080/"),
                              0o755 if name == "hook" else 0o644)
        key = testdata.Key("demo-release")
        repo = publishing.publish(self.work, [self.rpm2], key)
        publishing.import_key(root, os.path.join(self.work, "updates-key.asc"))
        os.symlink(repo, os.path.join(self.work, "appliance"))  # where the example's credentials apply
        server = httpserver.ScriptedServer(root, {"root": self.work, "auth": {
            "scheme": "Basic", "realm": "Appliance updates", "users": {"fleet": "fleet-secret"}}}, port=8080)
        result = root.run(["/usr/sbin/updater", "--check-only", "--max-wait-time", "-1", "--repo-url",
                           "base:http://127.0.0.1:8080/appliance/"])
        self.assertEqual(result.returncode, 0, result)
        self.assertLessEqual({"INFO: updater version 1.8.3, product Example Appliance", "INFO: running init hook",
                              "INFO: using HTTP proxy 'proxy.example.com' port 3128", "INFO: --- UPDATER 1.8.3-2 ---"},
                             set(result.lines), result)
        self.assertEqual([line for line in result.lines if not line.startswith("INFO: ")], [], result)
        self.assertEqual({r["user"] for r in server.requests() if r["authorized"]}, {"fleet"})

        for name in ("telinit", "shutdown"):
            root.install_standin("/usr/local/sbin/" + name)
        result = root.run(["/usr/sbin/updater", "--repo-url", "base:" + repo])
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(root.check(["rpm", "-q", "updater"]).stdout, "updater-1.8.3-2.%s\n" % self.rpm2.split(".")[-2])
        self.assertEqual((root.status(), root.update_state()), ("REBOOTING\n", "COMPLETE\n"))


def missed_step_table():
    rows = re.findall(r"^\| ([a-z][^|]*?) \| (`ERROR.*?) \|$", pathlib.Path(publishing.GUIDE).read_text(), re.M)
    return {step: re.findall(r"`([^`]+)`", lines) for step, lines in rows}


class Publishing(UpdateTestCase):
    @classmethod
    def setUpClass(cls):
        cls.guide = os.path.join(BUILD_DIR, "publishing-test")
        shutil.rmtree(cls.guide, ignore_errors=True)
        cls.key = testdata.Key("demo-release")
        cls.rpms = release.build_release(2)
        # Every step, the export of the public key included.
        cls.complete = publishing.publish(os.path.join(cls.guide, "complete"), cls.rpms, cls.key)

    def setUp(self):
        super().setUp()
        self.root.set_identity()
        publishing.import_key(self.root, os.path.join(self.guide, "complete", "updates-key.asc"))
        self.use_repo("http://127.0.0.1:8080/")

    def test_the_guides_repository_updates_a_device_without_a_complaint(self):
        server = self.serve(self.complete)
        result = self.updater()
        self.assertRun(result, 0, "INFO: --- 6 UPDATE(S) ---", "INFO: --- FIRMWARE 2-1 ---",
                       "INFO: pass 1: all but add-ons", "INFO: verifying package signatures",
                       "INFO: packages installed OK", "INFO: pass 2: add-ons", "INFO: verifying package signatures",
                       "INFO: packages installed OK", "INFO: --- EXIT OK ---")
        self.assertEqual([line for line in result.lines if not line.startswith("INFO: ")], [], result)
        self.assertEqual(nevras(self.root), release_nevras(2))
        # The index, its signature and the primary file first; then each package once.
        paths = server.paths()
        self.assertEqual(paths[:2], ["/repodata/repomd.xml", "/repodata/repomd.xml.asc"])
        self.assertIn("primary.xml", paths[2])
        self.assertEqual(sorted(paths[3:]), sorted("/" + os.path.basename(p) for p in self.rpms
                                                   if "system-base" not in p))
        self.assertRebooted()
        self.assertState("REBOOTING", "COMPLETE")

    def test_a_missed_step_logs_what_the_guide_says(self):
        every = set(range(len(publishing.blocks("vendor"))))
        publish = {
            "packages not signed": lambda: self.publish("unsigned-packages", every - {0}),
            "repository index not signed": lambda: self.publish("unsigned-index", every - {2}),
            "index changed after signing": lambda: self.change_index(self.publish("changed-index")),
            "key not in the device's database": lambda: self.publish("other-key", key=testdata.Key("other-vendor")),
        }
        table = missed_step_table()
        self.assertEqual(sorted(table), sorted(publish))
        for step, lines in table.items():
            server = self.serve(publish[step]())
            result = self.updater()
            server.stop()
            self.assertRun(result, 1, *lines, "INFO: --- EXIT ERROR ---")
            self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertEqual(self.reboot_calls(), [])

    def publish(self, name, steps=None, key=None):
        return publishing.publish(os.path.join(self.work, name), self.rpms, key or self.key, steps)

    @staticmethod
    def change_index(repo):
        index = pathlib.Path(repo, "repodata", "repomd.xml")
        index.write_text(index.read_text() + "\n")
        return repo
