"""Shared pieces of the end-to-end tests of update runs: a device root with
release 1 of the sample product installed by rpm, repositories of release 2
and its variants, the hook, telinit and shutdown stand-ins, and a wrapper
that records the argument vectors the real rpm is called with."""

import os
import re
import shutil
import tempfile

import release
import testdata
from testdata import Pkg
from devroot import DeviceRoot, UPDATER
from driverhelpers import RootTestCase

CACHE_DIR = "/var/cache/updater/base"
TRACE = "/tmp/updater.strace"
PACKAGE_CACHE = CACHE_DIR + "/packages/"
REBOOT_CALLS = [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]

# Release 2 without a new release package: five updates, two of them add-ons;
# the first installing pass takes three of them.
FIVE = ["product-release"]
PASS_1 = ["app-2-1.noarch.rpm", "libcore-2-1.noarch.rpm", "updater-1.8.3-2.noarch.rpm"]
PASS_2 = ["addon-docs-2-1.noarch.rpm", "addon-tools-2-1.noarch.rpm"]
INSTALL = ["--define=__nofsync nofsync", "-v", "-U"]

# The updater of release 2 whose %pre refuses while /etc/fail-pre exists;
# "once" in the file lets the next attempt pass.
FAILING_UPDATER = Pkg("updater", version="1.8.3", release="2", provides=["updater-running = 1.8.3"],
                      files={"/usr/share/updater/VERSION": "updater 2\n"},
                      scripts={"pre": """
                          if [ -e /etc/fail-pre ]; then
                            [ "$(cat /etc/fail-pre)" = once ] && rm -f /etc/fail-pre
                            echo "updater pre-install refused"
                            exit 1
                          fi"""})

# libcore of release 2 whose %pre notes rpm's process ID and waits until rpm
# is gone or /tmp/go appears.
WAITING_LIBCORE = Pkg("libcore", version="2", provides=["libcore.so.2"],
                      files={"/usr/share/libcore/VERSION": "libcore 2\n"},
                      scripts={"pre": """
                          echo $PPID > /tmp/rpm-pid
                          while [ ! -e /tmp/go ] && kill -0 $PPID 2>/dev/null; do sleep 0.05; done"""})

# Appended to each call's record: the status file as the hook sees it.
HOOK_STATUS = 'printf "%s %s\\n" "$1" "$(cat /var/lib/updater/status 2>/dev/null || echo -)" ' \
              '>> /var/log/standins/hook-status\n'

# Runs the real rpm after recording the argument vector like a stand-in.
RPM_WRAPPER = r"""#!/bin/sh
mkdir -p /var/log/standins
{ printf 'rpm'; for a in "$@"; do printf '\t%s' "$a"; done; printf '\n'; } >> /var/log/standins/rpm
exec /usr/bin/rpm "$@"
"""

# The reboot stand-ins note the order in which they ran.
ORDER = 'echo "$name" >> /var/log/standins/order\n'


def nevras(root):
    """Installed packages (not the public keys) as sorted name-version-release texts."""
    out = root.check(["/usr/bin/rpm", "-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n"]).stdout
    return sorted(n for n in out.split() if not n.startswith("gpg-pubkey-"))


def release_nevras(version, drop=()):
    return sorted("%s-%s-%s" % (p.name, p.version, p.release) for p in release.packages(version) if p.name not in drop)


class UpdateTestCase(RootTestCase):
    """A fresh device root per test with release 1 installed, the release's
    defaults file, the hook (recording the status at each call), telinit and
    shutdown stand-ins, and a work directory for repositories."""

    ARGS = ("--max-wait-time", "-1")

    def setUp(self):
        self.root = DeviceRoot()
        self.addCleanup(self.root.close)
        self.addCleanup(self.record)
        self.work = tempfile.mkdtemp(prefix="update-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        for name in ("telinit", "shutdown"):
            self.root.install_standin("/usr/local/sbin/" + name)
            self.root.write("/etc/standins/%s.sh" % name, ORDER)
        self.root.write("/etc/standins/hook.sh", HOOK_STATUS)
        release.install_release(self.root, 1)

    # -- repositories --------------------------------------------------------

    def repo(self, pkgs, name="repo", key=None, sign_packages=None, timestamp=None):
        """An rpm-md repository of the packages in the work directory (a host
        path, seen at the same path inside the root). With key, repomd.xml is
        signed; sign_packages maps package names to the key that signs them;
        timestamp dates the index's entries."""
        paths = []
        for pkg, path in zip(pkgs, testdata.build_all(pkgs)):
            signer = (sign_packages or {}).get(pkg.name)
            paths.append(signer.sign_rpm(path, os.path.join(self.work, name + "-signed")) if signer else path)
        return testdata.make_repo(os.path.join(self.work, name), paths, key=key, timestamp=timestamp)

    def use_repo(self, location):
        self.root.write_config(text=release.CONFIG % {"location": location})

    def use_cache_of(self, repo):
        """Lays the repository's metadata into the cache, for --cache-only."""
        for name in os.listdir(os.path.join(repo, "repodata")):
            if name == "repomd.xml" or "primary.xml" in name:
                with open(os.path.join(repo, "repodata", name), "rb") as f:
                    self.root.write(CACHE_DIR + "/" + name, f.read())
        self.use_repo("http://127.0.0.1:9/")

    # -- runs ----------------------------------------------------------------

    def traced_updater(self, *args):
        """The updater under strace, which notes the process's own writes
        (with the file each descriptor names) and sync calls: the exact
        sequence of state file writes, however fast they follow each other."""
        # A sanitizer build's leak check cannot run under ptrace.
        result = self.root.run(["strace", "-qq", "-y", "-e", "trace=write,sync", "-e", "signal=none", "-o", TRACE,
                                UPDATER] + list(self.ARGS + args), env={"ASAN_OPTIONS": "detect_leaks=0"})
        self.record()
        return result

    def traced(self, pattern):
        text = self.root.read(TRACE) or ""
        return [m.group(1) for m in re.finditer(pattern, text, re.M)]

    def status_writes(self):
        return self.traced(r'^write\(\d+</var/lib/updater/status\.\w+>, "(\w+)\\n"')

    def update_state_writes(self):
        return self.traced(r'^write\(\d+</var/lib/updater/update-state\.\w+>, "(\w+)\\n"')

    def sync_calls(self):
        return len(self.traced(r"^(sync)\(\)"))

    def record_rpm_calls(self):
        self.root.write_inside("/usr/local/sbin/rpm", RPM_WRAPPER, 0o755)

    def rpm_calls(self):
        return [call[1:] for call in self.root.calls("rpm")]

    def hook_calls(self):
        return [call[1:] for call in self.root.calls("hook")]

    def hook_statuses(self):
        text = self.root.read("/var/log/standins/hook-status") or ""
        return [line.split(" ") for line in text.splitlines()]

    def reboot_calls(self):
        return [[name] + call[1:] for name in ("telinit", "shutdown") for call in self.root.calls(name)]

    def order(self):
        return (self.root.read("/var/log/standins/order") or "").split()

    def assertState(self, status, update_state):
        self.assertEqual((self.root.status(), self.root.update_state()),
                         (status and status + "\n", update_state and update_state + "\n"))
