"""Throwaway device roots for end-to-end tests.

A DeviceRoot is a private mount and network namespace holding an overlay over
the host's "/" with a per-test upper directory, /dev bound in, /proc mounted
and loopback up. Tests write files into the root (they land in the upper
directory), run the real updater binary chrooted into it, start servers in
its network namespace, and read results back. The host's /etc and /var are
never touched; everything goes away with close().
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time

BUILD_DIR = os.environ.get("UPDATER_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BUILD_DIR = os.path.abspath(BUILD_DIR)
UPDATER = os.path.join(BUILD_DIR, "updater")
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# Records its argument vector, one call per line with tab-separated words,
# into /var/log/standins/<name>; then sources /etc/standins/<name>.sh when
# present (for custom behaviour) and exits with the number found in
# /etc/standins/<name>.exit-<first argument> or /etc/standins/<name>.exit.
STANDIN = r"""#!/bin/sh
name=%(name)s
mkdir -p /var/log/standins
{ printf '%%s' "$0"; for a in "$@"; do printf '\t%%s' "$a"; done; printf '\n'; } >> /var/log/standins/$name
[ -f /etc/standins/$name.sh ] && . /etc/standins/$name.sh
if [ -f "/etc/standins/$name.exit-$1" ]; then exit "$(cat "/etc/standins/$name.exit-$1")"; fi
if [ -f "/etc/standins/$name.exit" ]; then exit "$(cat "/etc/standins/$name.exit")"; fi
exit 0
"""

HOLDER = r"""
set -e
base=$1
m=$base/merged
mount --make-rprivate /
mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$m"
mount --rbind /dev "$m/dev"
mount -t proc proc "$m/proc"
ip link set lo up
echo ready
# Hold the namespaces until the test closes our standard input.
read -r _ || true
"""

# The first EEPROM data file the device identity tries for a one-record device.
EEPROM_FILE = "/sys/bus/i2c/drivers/vrk-eeprom/1-0052/data"

MINIMAL_CONFIG = """<?xml version="1.0"?>
<updater>
  <repository id="base"><name>Base</name><location href="%(location)s"/></repository>
  <log level="info"><logger type="stderr"/></log>
</updater>
"""


class Result:
    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    @property
    def lines(self):
        return self.stderr.splitlines()

    def __repr__(self):
        return "Result(returncode=%r)\n--- stdout\n%s--- stderr\n%s" % (self.returncode, self.stdout, self.stderr)


class DeviceRoot:
    def __init__(self, hook=True, rpmdb=True):
        self.base = tempfile.mkdtemp(prefix="devroot-")
        self.upper = os.path.join(self.base, "upper")
        self.merged = os.path.join(self.base, "merged")
        for d in ("upper", "work", "merged"):
            os.mkdir(os.path.join(self.base, d))
        self._servers = []
        self._holder = None
        try:
            self._prepare(hook)
            self._holder = subprocess.Popen(
                ["unshare", "--mount", "--net", "--", "sh", "-c", HOLDER, "holder", self.base],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            if self._holder.stdout.readline().strip() != "ready":
                raise RuntimeError("device root did not come up")
            if rpmdb:
                self.check(["rpm", "--initdb"])
        except BaseException:
            self.close()
            raise

    # -- files ---------------------------------------------------------------

    def path(self, path):
        """Host path of a file of the device root, in the upper directory."""
        return os.path.join(self.upper, path.lstrip("/"))

    def write(self, path, content, mode=0o644):
        target = self.path(path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
        os.chmod(target, mode)
        return target

    def read(self, path, binary=False):
        """Content of a file the device root changed or created, or None."""
        target = self.path(path)
        if not os.path.lexists(target):
            return None
        with open(target, "rb" if binary else "r") as f:
            return f.read()

    def exists(self, path):
        return os.path.lexists(self.path(path))

    def remove(self, path):
        self.check(["rm", "-rf", path])

    def listdir(self, path):
        return sorted(os.listdir(self.path(path))) if os.path.isdir(self.path(path)) else []

    def _prepare(self, hook):
        self.write("/etc/rpm/macros", "%_dbpath /var/lib/rpm\n")
        for d in ("/run/lock", "/var/lib/updater", "/var/cache/updater", "/var/log/updater"):
            os.makedirs(self.path(d), exist_ok=True)
        if hook:
            self.install_standin("/usr/lib/updater/hook")

    def write_inside(self, path, text, mode=0o644):
        """Writes a text file through the running root. A file put into the
        upper directory behind the overlay's back stays unseen where the
        overlay has already looked up its directory (for instance a
        directory of the search path, once any program was looked up)."""
        self.check(["sh", "-c", 'mkdir -p "$(dirname "$1")" && cat > "$1" && chmod "$2" "$1"', "sh", path,
                    "%o" % mode], input=text)

    def install_standin(self, path, name=None):
        """A program that records each argument vector; see calls()."""
        name = name or os.path.basename(path)
        if self._holder:
            self.write_inside(path, STANDIN % {"name": name}, 0o755)
        else:
            self.write(path, STANDIN % {"name": name}, 0o755)

    def calls(self, name):
        """Argument vectors the stand-in `name` was called with."""
        text = self.read("/var/log/standins/" + name) or ""
        return [line.split("\t") for line in text.splitlines()]

    def set_standin_exit(self, name, code, first_arg=None):
        suffix = ".exit-" + first_arg if first_arg else ".exit"
        self.write("/etc/standins/" + name + suffix, "%d\n" % code)

    def set_cpuinfo(self, text):
        """Replaces /proc/cpuinfo inside the root."""
        source = os.path.join(self.base, "cpuinfo")
        with open(source, "w") as f:
            f.write(text)
        self._ns(["mount", "--bind", source, os.path.join(self.merged, "proc/cpuinfo")], mount=True, net=False)

    def set_identity(self, serial="00000000a3f2c91e", revision="a22082", hardware="Talmer"):
        """A believable device: a cpuinfo with Serial, Revision and Hardware
        lines, and the EEPROM record its default password is derived from."""
        self.set_cpuinfo("processor\t: 0\nmodel name\t: ARMv7 Processor rev 4 (v7l)\n\n"
                         "Hardware\t: %s\nRevision\t: %s\nSerial\t\t: %s\n" % (hardware, revision, serial))
        self.check(["sh", "-c", 'mkdir -p "$(dirname "$1")" && printf %s "$2" > "$1"', "sh", EEPROM_FILE,
                    "VRK-%s-%s" % (revision, serial[-12:])])

    def mount_tmpfs(self, path, size):
        """A file system of `size` bytes over the root's directory `path`.
        What is written there is seen only from inside the root."""
        self.check(["mkdir", "-p", path])
        self._ns(["mount", "-t", "tmpfs", "-o", "size=%d,mode=755" % size, "tmpfs",
                  os.path.join(self.merged, path.lstrip("/"))], mount=True, net=False)

    # -- processes -----------------------------------------------------------

    def _ns(self, args, mount=True, net=True, **kw):
        cmd = ["nsenter", "-t", str(self._holder.pid)]
        if mount:
            cmd.append("--mount")
        if net:
            cmd.append("--net")
        return subprocess.run(cmd + ["--"] + args, check=True, capture_output=True, **kw)

    def command(self, args, chroot=True):
        cmd = ["nsenter", "-t", str(self._holder.pid), "--mount", "--net", "--"]
        if chroot:
            cmd += ["chroot", self.merged]
        return cmd + list(args)

    def run(self, args, env=None, timeout=120, input=None, cwd="/"):
        """Runs a program chrooted into the root; returns a Result."""
        full_env = {"PATH": PATH, "HOME": "/root", "LANG": "C"}
        full_env.update(env or {})
        proc = subprocess.run(self.command(["/usr/bin/env", "-C", cwd] + list(args)), env=full_env,
                              capture_output=True, text=True, timeout=timeout, input=input)
        return Result(proc.returncode, proc.stdout, proc.stderr)

    def check(self, args, **kw):
        result = self.run(args, **kw)
        if result.returncode != 0:
            raise RuntimeError("%s failed: %r" % (args, result))
        return result

    def popen(self, args, env=None, **kw):
        full_env = {"PATH": PATH, "HOME": "/root", "LANG": "C"}
        full_env.update(env or {})
        return subprocess.Popen(self.command(["/usr/bin/env", "-C", "/"] + list(args)), env=full_env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)

    def updater(self, *args, env=None, timeout=120):
        """Runs the updater binary under test with the given arguments."""
        return self.run([UPDATER] + list(args), env=env, timeout=timeout)

    def start_server(self, args, ready_file=None, chroot=False, timeout=10):
        """Starts a server in the root's network namespace (on the host's file
        system unless chroot); waits for ready_file (a host path) when given."""
        proc = subprocess.Popen(self.command(args, chroot=chroot), start_new_session=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._servers.append(proc)
        if ready_file:
            deadline = time.time() + timeout
            while not os.path.exists(ready_file):
                if proc.poll() is not None:
                    raise RuntimeError("server exited: %s" % proc.stderr.read().decode())
                if time.time() > deadline:
                    raise RuntimeError("server did not come up: %s" % args)
                time.sleep(0.02)
        return proc

    def stop_server(self, proc):
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        if proc.stderr:
            proc.stderr.close()

    # -- status --------------------------------------------------------------

    def status(self):
        return self.read("/var/lib/updater/status")

    def update_state(self):
        return self.read("/var/lib/updater/update-state")

    def lastlog(self):
        return self.read("/var/log/updater/lastlog")

    def write_config(self, location="/var/lib/repo", text=None, path="/etc/updater.conf"):
        self.write(path, text if text is not None else MINIMAL_CONFIG % {"location": location})

    def close(self):
        for proc in self._servers:
            try:
                self.stop_server(proc)
            except ProcessLookupError:
                pass
        self._servers = []
        if self._holder:
            try:
                self._holder.stdin.close()
                self._holder.wait(10)
            except subprocess.TimeoutExpired:
                self._holder.kill()
                self._holder.wait()
            self._holder.stdout.close()
            self._holder = None
        shutil.rmtree(self.base, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
