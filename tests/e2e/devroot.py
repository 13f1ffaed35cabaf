"""Throwaway device roots: the namespaces of tests/devroot/run-in-root (an overlay over the host's "/"
with a per-test upper directory, and a network of its own), held open until close()."""

import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_DIR = os.path.abspath(os.environ.get("UPDATER_BUILD_DIR", os.path.join(HERE, "..", "..", "build")))
UPDATER = os.path.join(BUILD_DIR, "updater")
ENV = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C"}

# Records its argument vector in /var/log/standins/<name>, then sources /etc/standins/<name>.sh.
STANDIN = r"""#!/bin/sh
mkdir -p /var/log/standins
{ printf '%%s' "$0"; for a in "$@"; do printf '\t%%s' "$a"; done; printf '\n'; } >> /var/log/standins/%(name)s
[ -f /etc/standins/%(name)s.sh ] && . /etc/standins/%(name)s.sh
exit 0
"""

MINIMAL_CONFIG = """<?xml version="1.0"?>
<updater><repository id="base"><name>Base</name><location href="%(location)s"/></repository>
  <log level="info"><logger type="stderr"/></log></updater>
"""


def write_file(path, content, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(content, bytes) else "w") as f:
        f.write(content)
    os.chmod(path, mode)
    return path


class Result:
    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr

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
        self._servers = []
        self._holder = None
        try:
            if hook:
                self.install_standin("/usr/lib/updater/hook")
            # Holds the namespaces until its standard input closes.
            self._holder = subprocess.Popen(
                [os.path.join(HERE, "..", "devroot", "run-in-root"), "--keep", self.base, "sh", "-c",
                 "echo $$; read -r _ || true"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                cwd="/")  # not the caller's directory: looked up early, a tree under /tmp hides files put behind it
            self._pid = self._holder.stdout.readline().strip()
            if not self._pid:
                raise RuntimeError("device root did not come up")
            if rpmdb:
                self.check(["rpm", "--initdb"])
        except BaseException:
            self.close()
            raise

    def path(self, path):
        """Host path of a file of the device root, in the upper directory."""
        return os.path.join(self.upper, path.lstrip("/"))

    def write(self, path, content, mode=0o644):
        return write_file(self.path(path), content, mode)

    def read(self, path):
        return pathlib.Path(self.path(path)).read_text() if self.exists(path) else None

    def exists(self, path):
        return os.path.lexists(self.path(path))

    def remove(self, path):
        self.check(["rm", "-rf", path])

    def listdir(self, path):
        return sorted(os.listdir(self.path(path))) if os.path.isdir(self.path(path)) else []

    def write_inside(self, path, text, mode=0o644):
        """Through the running root: the overlay may not see a file put into the upper directory behind its back."""
        self.check(["sh", "-c", 'mkdir -p "$(dirname "$1")" && cat > "$1" && chmod "$2" "$1"', "sh", path,
                    "%o" % mode], input=text)

    def install_standin(self, path, name=None):
        text = STANDIN % {"name": name or os.path.basename(path)}
        (self.write_inside if self._holder else self.write)(path, text, 0o755)

    def calls(self, name):
        return [line.split("\t") for line in (self.read("/var/log/standins/" + name) or "").splitlines()]

    def mount(self, path, *args):
        """`mount ARGS` over the root's `path`."""
        subprocess.run(["nsenter", "-t", self._pid, "--mount", "--", "mount"] + list(args)
                       + [os.path.join(self.merged, path.lstrip("/"))], check=True, capture_output=True)

    def bind(self, path, content):
        """A file of the given content bound over the root's `path` (/proc/cpuinfo, /dev/urandom)."""
        self.mount(path, "--bind", write_file(tempfile.mktemp(dir=self.base), content))

    def set_identity(self, serial="00000000a3f2c91e", revision="a22082", hardware="Talmer"):
        """A cpuinfo with Serial, Revision and Hardware, and the EEPROM record the default password comes from."""
        self.bind("/proc/cpuinfo", "processor\t: 0\nmodel name\t: ARMv7 Processor rev 4 (v7l)\n\n"
                  "Hardware\t: %s\nRevision\t: %s\nSerial\t\t: %s\n" % (hardware, revision, serial))
        self.write_inside("/sys/bus/i2c/drivers/vrk-eeprom/1-0052/data", "VRK-%s-%s" % (revision, serial[-12:]))

    def command(self, args, chroot=True):
        return ["nsenter", "-t", self._pid, "--mount", "--net", "--"] + (["chroot", self.merged] if chroot else []) \
            + list(args)

    def popen(self, args, env=None, **kw):
        return subprocess.Popen(self.command(["/usr/bin/env", "-C", "/"] + list(args)), env=dict(ENV, **(env or {})),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)

    def run(self, args, env=None, timeout=120, input=None, cwd="/"):
        proc = subprocess.run(self.command(["/usr/bin/env", "-C", cwd] + list(args)), env=dict(ENV, **(env or {})),
                              capture_output=True, text=True, timeout=timeout, input=input)
        return Result(proc.returncode, proc.stdout, proc.stderr)

    def check(self, args, **kw):
        result = self.run(args, **kw)
        if result.returncode != 0:
            raise RuntimeError("%s failed: %r" % (args, result))
        return result

    def updater(self, *args, env=None, timeout=120):
        return self.run([UPDATER] + list(args), env=env, timeout=timeout)

    def start_server(self, args, ready_file=None, chroot=False, timeout=10):
        """A server in the root's network namespace; waits for ready_file (a host path) when given."""
        proc = subprocess.Popen(self.command(args, chroot=chroot), start_new_session=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._servers.append(proc)
        deadline = time.time() + timeout
        while ready_file and not os.path.exists(ready_file):
            if proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("server %s did not come up: %s" % (args, proc.stderr.read().decode()
                                                                     if proc.poll() is not None else "time out"))
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
        proc.stderr.close()

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
            self.stop_server(proc)
        self._servers = []
        if self._holder:
            self._holder.stdin.close()
            try:
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
