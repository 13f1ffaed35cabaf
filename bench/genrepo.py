"""Synthetic repositories and installed sets for the benchmarks.

A repository of N packages is written as rpm-md metadata only (repomd.xml and
a gzip-compressed primary file, no package files): enough for check-only runs
from the cache. Each package has realistic provides (its name, shared
libraries, pkgconfig and perl-style capabilities), requires on earlier
packages' provides, file requires, rpmlib requires, the odd obsoletes, a few
file entries, summary and description, as createrepo_c writes them.

The installed set is made of real rpm headers: one spec with one subpackage
per installed package, built by rpmbuild and installed with rpm --justdb.
"""

import gzip
import hashlib
import os
import random
import subprocess
import tempfile
import time

REPO_NS = "http://linux.duke.edu/metadata/repo"
COMMON_NS = "http://linux.duke.edu/metadata/common"
RPM_NS = "http://linux.duke.edu/metadata/rpm"

WORDS = ("alpha beta gamma delta core util tools lib data perl python devel common client server daemon "
         "plugin extra doc runtime base net crypto image audio video font theme locale").split()


def _name(i):
    return "%s-%s-%05d" % (WORDS[i % len(WORDS)], WORDS[(i // 7) % len(WORDS)], i)


def _provides(i):
    caps = []
    if i % 3 == 0:
        caps.append(("lib%s.so.%d()(64bit)" % (WORDS[i % len(WORDS)] + str(i), 1 + i % 3), None))
    if i % 10 == 0:
        caps.append(("pkgconfig(%s)" % _name(i), ("EQ", "0", "2.%d" % (i % 7), None)))
    if i % 6 == 1:
        caps.append(("perl(%s::%s%d)" % (WORDS[i % len(WORDS)].title(), WORDS[(i + 3) % len(WORDS)].title(), i),
                     ("EQ", "0", "1.%d" % (i % 9), None)))
    return caps


def package_xml(i, version, installed_limit, rnd):
    name = _name(i)
    arch = "noarch" if i % 4 == 0 else "x86_64"
    ver, rel = version
    provides = [(name, ("EQ", "0", ver, rel))]
    if arch == "x86_64":
        provides.append(("%s(x86-64)" % name, ("EQ", "0", ver, rel)))
    provides += _provides(i)
    requires = []
    for _ in range(rnd.randint(3, 10)):
        j = rnd.randrange(0, i) if i else 0
        caps = _provides(j)
        if caps and rnd.random() < 0.6:
            requires.append((caps[0][0], None))
        elif j != i:
            requires.append((_name(j), ("GE", "0", "1.0", None) if rnd.random() < 0.5 else None))
    if i % 5 == 0:
        requires.append(("/bin/sh", None))
    if i % 11 == 0:
        requires.append(("/usr/bin/perl", None))
    requires += [("rpmlib(CompressedFileNames)", ("LE", "0", "3.0.4", "1")),
                 ("rpmlib(PayloadFilesHavePrefix)", ("LE", "0", "4.0", "1"))]
    obsoletes = [("old-%s" % name, ("LT", "0", "1.0", None))] if i % 50 == 0 else []
    checksum = hashlib.sha256(("%s-%s-%s" % (name, ver, rel)).encode()).hexdigest()
    desc = " ".join(rnd.choice(WORDS) for _ in range(30))

    def entries(tag, items):
        if not items:
            return ""
        out = ["      <rpm:%s>" % tag]
        seen = set()
        for cap, evr in items:
            key = (cap, evr)
            if key in seen:
                continue
            seen.add(key)
            if evr:
                flags, epoch, v, r = evr
                out.append('        <rpm:entry name="%s" flags="%s" epoch="%s" ver="%s"%s/>' %
                           (cap, flags, epoch, v, ' rel="%s"' % r if r else ""))
            else:
                out.append('        <rpm:entry name="%s"/>' % cap)
        out.append("      </rpm:%s>" % tag)
        return "\n".join(out) + "\n"

    return ("""<package type="rpm">
  <name>%(name)s</name>
  <arch>%(arch)s</arch>
  <version epoch="0" ver="%(ver)s" rel="%(rel)s"/>
  <checksum type="sha256" pkgid="YES">%(checksum)s</checksum>
  <summary>%(summary)s</summary>
  <description>%(desc)s</description>
  <packager>Benchmark</packager>
  <url>https://example.invalid/%(name)s</url>
  <time file="1700000000" build="1699990000"/>
  <size package="%(size)d" installed="%(isize)d" archive="%(asize)d"/>
  <location href="Packages/%(first)s/%(name)s-%(ver)s-%(rel)s.%(arch)s.rpm"/>
  <format>
    <rpm:license>MIT</rpm:license>
    <rpm:vendor>Benchmark</rpm:vendor>
    <rpm:group>%(group)s</rpm:group>
    <rpm:buildhost>bench</rpm:buildhost>
    <rpm:sourcerpm>%(name)s-%(ver)s-%(rel)s.src.rpm</rpm:sourcerpm>
    <rpm:header-range start="4504" end="%(hend)d"/>
%(provides)s%(requires)s%(obsoletes)s    <file>/usr/bin/%(name)s</file>
  </format>
</package>
""" % {"name": name, "arch": arch, "ver": ver, "rel": rel, "checksum": checksum,
       "summary": "The %s package" % name, "desc": desc, "size": 10000 + i, "isize": 40000 + i,
       "asize": 41000 + i, "first": name[0], "group": "System/" + WORDS[i % len(WORDS)].title(),
       "hend": 9000 + i % 4000, "provides": entries("provides", provides),
       "requires": entries("requires", requires), "obsoletes": entries("obsoletes", obsoletes)})


def repo_version(i):
    return ("2.%d" % (i % 7), "1") if i % 3 == 0 else ("1.0", "1")


def write_repo(directory, count, installed_limit, seed=1):
    """Writes repodata/ for `count` packages; returns the primary's path."""
    rnd = random.Random(seed)
    repodata = os.path.join(directory, "repodata")
    os.makedirs(repodata, exist_ok=True)
    tmp = os.path.join(repodata, "primary.xml.gz.tmp")
    open_hash = hashlib.sha256()
    with gzip.open(tmp, "wb", compresslevel=6) as out:
        def emit(text):
            data = text.encode()
            open_hash.update(data)
            out.write(data)
        emit('<?xml version="1.0" encoding="UTF-8"?>\n<metadata xmlns="%s" xmlns:rpm="%s" packages="%d">\n'
             % (COMMON_NS, RPM_NS, count))
        for i in range(count):
            emit(package_xml(i, repo_version(i), installed_limit, rnd))
        emit("</metadata>\n")
    with open(tmp, "rb") as f:
        stored = hashlib.sha256(f.read()).hexdigest()
    primary = os.path.join(repodata, "%s-primary.xml.gz" % stored)
    os.rename(tmp, primary)
    with open(os.path.join(repodata, "repomd.xml"), "w") as f:
        f.write("""<?xml version="1.0" encoding="UTF-8"?>
<repomd xmlns="%s" xmlns:rpm="%s">
  <revision>%d</revision>
  <data type="primary">
    <checksum type="sha256">%s</checksum>
    <open-checksum type="sha256">%s</open-checksum>
    <location href="repodata/%s"/>
    <timestamp>%d</timestamp>
  </data>
</repomd>
""" % (REPO_NS, RPM_NS, int(time.time()), stored, open_hash.hexdigest(), os.path.basename(primary),
       int(time.time())))
    return primary


def zstd_copy(directory, gzip_repo):
    """The repository `gzip_repo` with its primary recompressed by zstd (as
    createrepo_c 1.0 and later write it), in `directory`; returns the
    primary's path."""
    repodata = os.path.join(directory, "repodata")
    os.makedirs(repodata, exist_ok=True)
    source = os.path.join(gzip_repo, "repodata")
    gz = [f for f in os.listdir(source) if f.endswith("primary.xml.gz")][0]
    with gzip.open(os.path.join(source, gz)) as f:
        content = f.read()
    stored = subprocess.run(["zstd", "-q", "-c"], input=content, capture_output=True, check=True).stdout
    checksum = hashlib.sha256(stored).hexdigest()
    primary = os.path.join(repodata, "%s-primary.xml.zst" % checksum)
    with open(primary, "wb") as f:
        f.write(stored)
    with open(os.path.join(source, "repomd.xml")) as f:
        repomd = f.read()
    old = gz.split("-")[0]
    with open(os.path.join(repodata, "repomd.xml"), "w") as f:
        f.write(repomd.replace(gz, os.path.basename(primary)).replace(old, checksum))
    return primary


def installed_spec(count):
    """One spec with one subpackage per installed package (version 1.0)."""
    lines = ["Name: bench-installed", "Version: 1.0", "Release: 1", "Summary: bench", "License: MIT",
             "AutoReqProv: no", "BuildArch: noarch", "%description", "bench", "%files"]
    rnd = random.Random(7)
    for i in range(count):
        name = _name(i)
        lines += ["%%package -n %s" % name, "Summary: %s" % name, "AutoReqProv: no"]
        lines += ["Provides: %s" % cap + (" = %s" % evr[2] if evr else "") for cap, evr in _provides(i)]
        for _ in range(rnd.randint(1, 4)):
            j = rnd.randrange(0, i) if i else 0
            if j != i:
                lines.append("Requires: %s" % _name(j))
        if i % 5 == 0:
            lines.append("Requires: /bin/sh")
        lines += ["%%description -n %s" % name, name, "%%files -n %s" % name]
    return "\n".join(lines) + "\n"


def build_installed(outdir, count):
    """Builds the installed set's packages into outdir; returns their paths."""
    marker = os.path.join(outdir, ".complete-%d" % count)
    if os.path.exists(marker):
        return sorted(os.path.join(outdir, f) for f in os.listdir(outdir) if f.endswith(".rpm"))
    os.makedirs(outdir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="bench-rpmbuild-")
    spec = os.path.join(work, "installed.spec")
    with open(spec, "w") as f:
        f.write(installed_spec(count))
    subprocess.run(["rpmbuild", "-bb", "--quiet", "--define", "_topdir " + work, "--define", "_tmppath " + work,
                    "--define", "_rpmdir " + outdir,
                    "--define", "_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm", spec],
                   check=True, env={"PATH": "/usr/bin:/bin", "HOME": work})
    os.unlink(os.path.join(outdir, "bench-installed-1.0-1.noarch.rpm"))
    open(marker, "w").close()
    return sorted(os.path.join(outdir, f) for f in os.listdir(outdir) if f.endswith(".rpm"))


def update_spec(count, version):
    """One spec with one subpackage per package of an update set, all of
    `version`: each owns a directory with a few files (about 10 kB) and
    requires its predecessor at that version or newer."""
    lines = ["Name: bench-update", "Version: %s" % version, "Release: 1", "Summary: bench", "License: MIT",
             "AutoReqProv: no", "BuildArch: noarch", "%define _build_id_links none",
             "%define __os_install_post %{nil}", "%description", "bench", "%install"]
    for i in range(count):
        d = "%%{buildroot}/usr/share/bench-update/%s" % update_name(i)
        lines.append("mkdir -p %s && head -c 8192 /dev/urandom > %s/data && echo %s > %s/VERSION"
                     " && seq 1 300 > %s/list" % (d, d, version, d, d))
    lines += ["%files"]
    for i in range(count):
        name = update_name(i)
        lines += ["%%package -n %s" % name, "Summary: %s" % name, "AutoReqProv: no"]
        if i:
            lines.append("Requires: %s >= %s" % (update_name(i - 1), version))
        lines += ["%%description -n %s" % name, name, "%%files -n %s" % name, "/usr/share/bench-update/%s" % name]
    return "\n".join(lines) + "\n"


def update_name(i):
    return "bench-pkg-%03d" % i


def build_update_set(outdir, count, version):
    """Builds an update set's packages into outdir; returns their paths."""
    marker = os.path.join(outdir, ".complete-%d" % count)
    if not os.path.exists(marker):
        os.makedirs(outdir, exist_ok=True)
        work = tempfile.mkdtemp(prefix="bench-rpmbuild-")
        spec = os.path.join(work, "update.spec")
        with open(spec, "w") as f:
            f.write(update_spec(count, version))
        subprocess.run(["rpmbuild", "-bb", "--quiet", "--define", "_topdir " + work, "--define", "_tmppath " + work,
                        "--define", "_rpmdir " + outdir,
                        "--define", "_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm", spec],
                       check=True, env={"PATH": "/usr/bin:/bin", "HOME": work})
        open(marker, "w").close()
    return sorted(os.path.join(outdir, f) for f in os.listdir(outdir) if f.startswith("bench-pkg-"))
