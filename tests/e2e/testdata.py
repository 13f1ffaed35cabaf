"""Packages built by rpmbuild, repositories by createrepo_c, keys by gpg, signatures by rpmsign and gpg;
packages and keys cached under the build directory, keyed by their content."""

import fcntl
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import textwrap

from devroot import BUILD_DIR

CACHE = os.path.join(BUILD_DIR, "testdata-cache")


class Pkg:
    """One package to build. Dependencies are rpm texts such as "bar >= 2.0"; `files` maps absolute paths to their
    content (str or bytes), `scripts` "pre", "post", "preun" or "postun" to shell text; `payload_size` bytes of
    incompressible data go to /usr/share/<name>/payload."""

    def __init__(self, name, version="1.0", release="1", epoch=None, arch="noarch", requires=(), provides=(),
                 obsoletes=(), group=None, files=None, scripts=None, summary=None, recommends=(), payload_size=0):
        vars(self).update((key, value) for key, value in locals().items() if key != "self")
        self.files, self.scripts = dict(files or {}), dict(scripts or {})
        self.summary = summary or "test package " + name

    @property
    def nevra(self):
        return "%s-%s-%s.%s" % (self.name, self.version, self.release, self.arch)

    @property
    def filename(self):
        return self.nevra + ".rpm"

    def spec(self):
        lines = ["Name: " + self.name, "Version: " + self.version, "Release: " + self.release,
                 "Summary: " + self.summary, "License: MIT", "AutoReqProv: no", "BuildArch: " + self.arch,
                 "%define _build_id_links none", "%define __os_install_post %{nil}", "%define debug_package %{nil}"]
        lines += ["Epoch: %s" % self.epoch] if self.epoch is not None else []
        lines += ["Group: " + self.group] if self.group else []
        for tag, values in (("Requires", self.requires), ("Provides", self.provides), ("Obsoletes", self.obsoletes),
                            ("Recommends", self.recommends)):
            lines += ["%s: %s" % (tag, value) for value in values]
        lines += ["", "%description", self.summary, "", "%install", "mkdir -p %{buildroot}"]
        for i, path in enumerate(sorted(self.files)):
            lines.append("mkdir -p %%{buildroot}%s" % os.path.dirname(path))
            lines.append("cp %%{_sourcedir}/file%d %%{buildroot}%s" % (i, path))
        payload = "/usr/share/%s/payload" % self.name
        if self.payload_size:
            lines += ["mkdir -p %%{buildroot}%s" % os.path.dirname(payload),
                      "head -c %d /dev/urandom > %%{buildroot}%s" % (self.payload_size, payload)]
        for kind, body in sorted(self.scripts.items()):
            lines += ["", "%%%s" % kind, textwrap.dedent(body).strip()]
        lines += ["", "%files"] + sorted(self.files) + ([payload] if self.payload_size else [])
        return "\n".join(lines) + "\n"

    def contents(self):
        """The files' contents in the order of their paths, as bytes."""
        return [c if isinstance(c, bytes) else c.encode() for c in (self.files[p] for p in sorted(self.files))]

    def key(self):
        return hashlib.sha256(self.spec().encode() + b"".join(self.contents())).hexdigest()[:24]


def _locked(name):
    os.makedirs(CACHE, exist_ok=True)
    f = open(os.path.join(CACHE, name + ".lock"), "w")
    fcntl.flock(f, fcntl.LOCK_EX)
    return f


def run(args, home=None):
    """`args` run to success; with `home`, in a clean environment of that HOME."""
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": home, "LANG": "C"} if home else None
    proc = subprocess.run(args, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s%s" % (args, proc.returncode, proc.stdout, proc.stderr))
    return proc


def build(pkg):
    key = pkg.key()
    target = os.path.join(CACHE, "rpms", key, pkg.filename)
    if os.path.exists(target):
        return target
    with _locked("build-" + key):
        if os.path.exists(target):
            return target
        work = tempfile.mkdtemp(prefix="rpmbuild-")
        try:
            os.makedirs(os.path.join(work, "SOURCES"))
            for i, content in enumerate(pkg.contents()):
                pathlib.Path(work, "SOURCES", "file%d" % i).write_bytes(content)
            spec = os.path.join(work, pkg.name + ".spec")
            pathlib.Path(spec).write_text(pkg.spec())
            out = os.path.join(work, "out")
            run(["rpmbuild", "-bb", "--define", "_topdir " + work, "--define", "_rpmdir " + out,
                 "--define", "_tmppath " + work,
                 "--define", "_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm", spec], work)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.move(os.path.join(out, pkg.filename), target + ".part")
            os.rename(target + ".part", target)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return target


def build_all(pkgs):
    return [build(p) for p in pkgs]


class Key:
    """A key pair in its own GnuPG home (cached by name); made, and signing, at `created` when given."""

    def __init__(self, name, algo="rsa2048", created=None):
        self.name = name
        self.faked_time = ["--faked-system-time", "%d!" % created] if created else []
        self.uid = "%s <%s@updater.test>" % (name, name)
        self.home = os.path.join(CACHE, "keys", name)
        public = pathlib.Path(self.home, "public.asc")
        with _locked("key-" + name):
            if not public.exists():
                shutil.rmtree(self.home, ignore_errors=True)
                os.makedirs(self.home, mode=0o700)
                self._gpg("--batch", "--passphrase", "", "--quick-gen-key", self.uid, algo, "sign", "never")
                public.write_text(self._gpg("--armor", "--export", self.uid).stdout)
        self.public = public.read_text()
        self.keyid = self._gpg("--list-keys", "--with-colons", self.uid).stdout.split("pub:")[1].split(":")[3].lower()

    def _gpg(self, *args):
        return run(["gpg", "--homedir", self.home, "--quiet"] + self.faked_time + list(args))

    def sign_rpm(self, rpm_path, out_dir):
        os.makedirs(out_dir, exist_ok=True)
        target = os.path.join(out_dir, os.path.basename(rpm_path))
        shutil.copy(rpm_path, target)
        dated = ["--define", "_gpg_sign_cmd_extra_args " + " ".join(self.faked_time)] if self.faked_time else []
        run(["rpmsign", "--addsign", "--define", "_gpg_name " + self.uid, "--define", "_gpg_path " + self.home,
             "--define", "__gpg /usr/bin/gpg"] + dated + [target], self.home)
        return target

    def detach_sign(self, path, out=None):
        out = out or path + ".asc"
        self._gpg("--batch", "--yes", "--armor", "--detach-sign", "-u", self.uid, "-o", out, path)
        return out

    def import_into(self, root):
        root.write("/tmp/key-%s.asc" % self.name, self.public)
        root.check(["rpm", "--import", "/tmp/key-%s.asc" % self.name])


def make_repo(directory, rpm_paths, key=None, extra_args=(), timestamp=None):
    """Copies of the packages and their metadata; with `timestamp` every entry of repomd.xml carries that time."""
    os.makedirs(directory, exist_ok=True)
    for path in rpm_paths:
        shutil.copy(path, os.path.join(directory, os.path.basename(path)))
    run(["createrepo_c", "--quiet", "--no-database"] + list(extra_args) + [directory])
    index = pathlib.Path(directory, "repodata", "repomd.xml")
    if timestamp is not None:
        index.write_text(re.sub(r"<timestamp>\d+</timestamp>", "<timestamp>%d</timestamp>" % timestamp,
                                index.read_text()))
    if key:
        key.detach_sign(str(index))
    return directory


def install(root, rpm_paths, justdb=False, nodeps=True):
    staged = ["/tmp/install/" + os.path.basename(path) for path in rpm_paths]
    for path, inside in zip(rpm_paths, staged):
        root.write(inside, pathlib.Path(path).read_bytes())
    root.check(["rpm", "-i", "--nosignature"] + ["--justdb"] * justdb + ["--nodeps"] * nodeps + staged)
    root.check(["rm", "-rf", "/tmp/install"])
