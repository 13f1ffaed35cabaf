"""The updater's rpm, built by scripts/package from this tree (release 1,
then release 2 of the same code): what it holds, that it installs into a
device root and runs there, that its units and example files are accepted,
and that the installed updater updates its own package from a signed
repository."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import httpserver
import publishing
import testdata
from devroot import BUILD_DIR, DeviceRoot

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOPDIR = os.path.join(BUILD_DIR, "package-test")
UNITS = ["updater.service", "updater.timer", "updater-boot.service"]
FILES = ["/usr/sbin/updater", "/usr/share/man/man8/updater.8", "/etc/updater.conf",
         "/usr/share/resources/default/updater/defaults.conf", "/var/lib/updater", "/var/cache/updater",
         "/var/log/updater"] + ["/usr/lib/systemd/system/" + unit for unit in UNITS]


def package(*args):
    proc = subprocess.run([os.path.join(TOP, "scripts", "package"), "--topdir", TOPDIR] + list(args),
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("scripts/package failed:\n%s%s" % (proc.stdout, proc.stderr))
    return proc.stdout


def dpkg_owned(requirement):
    """True when Debian's dpkg provides what the package requires: a library
    by its file name, or a program."""
    name = requirement.split("(")[0]
    if name in ("rpm", "gpgv"):
        pattern = "/usr/bin/" + name
    elif name == "rtld":  # a feature of the dynamic loader
        pattern = "*/ld-linux*.so*"
    else:
        pattern = "*/" + name
    return subprocess.run(["dpkg", "-S", pattern], capture_output=True).returncode == 0


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(TOPDIR, ignore_errors=True)
        cls.lint = package("--release", "1").splitlines()[-1]
        package("--release", "2", "--again")
        rpms = {}
        for arch in os.listdir(os.path.join(TOPDIR, "RPMS")):
            for name in os.listdir(os.path.join(TOPDIR, "RPMS", arch)):
                rpms[re.search(r"-(\d+)\.[^.]+\.rpm$", name).group(1)] = os.path.join(TOPDIR, "RPMS", arch, name)
        cls.rpm1, cls.rpm2 = rpms["1"], rpms["2"]
        cls.work = tempfile.mkdtemp(prefix="package-e2e-")
        # What the package requires of the system, as rpm found it; on Debian
        # dpkg owns all of it, so a package of provides stands in for it in
        # the device root's rpm database.
        requires = subprocess.run(["rpm", "-qp", "--requires", cls.rpm1], check=True, capture_output=True,
                                  text=True).stdout.split("\n")
        cls.system = [r for r in requires if r and not r.startswith(("rpmlib(", "config(updater)"))]
        cls.provides = testdata.build(testdata.Pkg("dpkg-owned", provides=cls.system))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_package_holds_the_program_units_and_files_and_is_lint_clean(self):
        listed = subprocess.run(["rpm", "-qlp", self.rpm1], check=True, capture_output=True, text=True).stdout
        self.assertLessEqual(set(FILES), set(listed.split()), listed)
        config = subprocess.run(["rpm", "-qcp", self.rpm1], check=True, capture_output=True, text=True).stdout
        self.assertEqual(config.split(), ["/etc/updater.conf", "/usr/share/resources/default/updater/defaults.conf"])
        self.assertLessEqual({"rpm", "gpgv"}, set(self.system))
        self.assertEqual([r for r in self.system if not dpkg_owned(r)], [])
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
            with open(os.path.join(TOP, "examples", name)) as f:
                text = f.read()
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
        self.assertEqual([line for line in result.lines if not line.startswith("INFO: ")], [], result)
        for line in ("INFO: updater version 1.8.3, product Example Appliance", "INFO: running init hook",
                     "INFO: using HTTP proxy 'proxy.example.com' port 3128", "INFO: --- UPDATER 1.8.3-2 ---"):
            self.assertIn(line, result.lines)
        self.assertEqual({r["user"] for r in server.requests() if r["authorized"]}, {"fleet"})

        for name in ("telinit", "shutdown"):
            root.install_standin("/usr/local/sbin/" + name)
        result = root.run(["/usr/sbin/updater", "--repo-url", "base:" + repo])
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(root.check(["rpm", "-q", "updater"]).stdout, "updater-1.8.3-2.%s\n" % self.rpm2.split(".")[-2])
        self.assertEqual((root.status(), root.update_state()), ("REBOOTING\n", "COMPLETE\n"))
