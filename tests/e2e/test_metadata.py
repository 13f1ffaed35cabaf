"""Repository metadata as today's tools write it, read by the binary from HTTP
and from a local directory: the primary file in each compression, every
checksum type createrepo_c writes, damaged and cut-short streams, and
documents made to take memory without bound. Each repository is made by
createrepo_c; where its primary is replaced, repomd.xml is rewritten to match
(checksum, size, location, open-size), so that only the reader stands between
the document and the device."""

import bz2
import gzip
import hashlib
import os
import shutil
import subprocess
import unittest
import xml.etree.ElementTree as ET

import httpserver
import release
import testdata
from devroot import UPDATER
from updatehelpers import CACHE_DIR, UpdateTestCase

REPO_NS = "http://linux.duke.edu/metadata/repo"
RPM_NS = "http://linux.duke.edu/metadata/rpm"
ET.register_namespace("", REPO_NS)
ET.register_namespace("rpm", RPM_NS)

SIX_UPDATES = "INFO: --- 6 UPDATE(S) ---"
REFUSED = "ERROR: could not update repository data"
PEAK_RSS_LIMIT_KB = 200 * 1024


def run_tool(args, data):
    return subprocess.run(args, input=data, capture_output=True, check=True).stdout


def halves(data, compress):
    """Two streams, one after the other, as concatenating tools write them."""
    middle = len(data) // 2
    return compress(data[:middle]) + compress(data[middle:])


COMPRESSIONS = {
    "gzip": lambda data: gzip.compress(data),
    "gzip members": lambda data: halves(data, gzip.compress),
    "zstd": lambda data: run_tool(["zstd", "-q", "-c"], data),
    "xz": lambda data: run_tool(["xz", "-c"], data),
    "bzip2": lambda data: run_tool(["bzip2", "-c"], data),
    "bzip2 streams": lambda data: halves(data, bz2.compress),
    "plain": lambda data: data,
}


def primary_entry(repomd):
    for data in repomd.getroot().iter("{%s}data" % REPO_NS):
        if data.get("type") == "primary":
            return data
    raise AssertionError("no primary entry")


def primary_content(repo):
    """The decompressed primary document of a createrepo_c repository."""
    href = primary_entry(ET.parse(os.path.join(repo, "repodata", "repomd.xml"))).find("{%s}location" % REPO_NS)
    with gzip.open(os.path.join(repo, href.get("href"))) as f:
        return f.read()


def replace_primary(repo, target, stored, content=None, open_size=None):
    """A copy of the repository at `target` whose primary file holds `stored`.
    repomd.xml gives the new file's checksum, size and location, the
    open-checksum of `content` (dropped when None) and `open_size` (the size
    of `content`, or of `stored` without it, when None). The file keeps a .gz name whatever it holds: the
    reader goes by the data."""
    shutil.copytree(repo, target)
    index = os.path.join(target, "repodata", "repomd.xml")
    repomd = ET.parse(index)
    entry = primary_entry(repomd)
    location = entry.find("{%s}location" % REPO_NS)
    os.unlink(os.path.join(target, location.get("href")))
    checksum = hashlib.sha256(stored).hexdigest()
    href = "repodata/%s-primary.xml.gz" % checksum
    with open(os.path.join(target, href), "wb") as f:
        f.write(stored)
    location.set("href", href)
    entry.find("{%s}checksum" % REPO_NS).text = checksum
    entry.find("{%s}size" % REPO_NS).text = str(len(stored))
    opened = entry.find("{%s}open-checksum" % REPO_NS)
    if content is None:
        entry.remove(opened)
    else:
        opened.text = hashlib.sha256(content).hexdigest()
    size = len(stored if content is None else content) if open_size is None else open_size
    entry.find("{%s}open-size" % REPO_NS).text = str(size)
    repomd.write(index, xml_declaration=True, encoding="UTF-8")
    return target, href


class Metadata(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.release = self.repo(release.packages(2))

    def fresh(self):
        """A new directory for a repository: the device root sees the host's
        files through an overlay, which must not see a path change under it."""
        self.count = getattr(self, "count", 0) + 1
        return os.path.join(self.work, "repo-%d" % self.count)

    def locations(self, repo):
        """The repository over HTTP, then as a local directory."""
        server = httpserver.ScriptedServer(self.root, {"root": repo}, port=8080)
        self.addCleanup(server.stop)
        yield "http://127.0.0.1:8080/"
        server.stop()
        yield repo

    def check(self, location, *args):
        """A run over the repository; a check-only run unless a mode is given."""
        self.use_repo(location)
        return self.updater("--no-md-sig-check", *(args or ("--check-only",)))

    def assertRefused(self, result, href, *errors):
        self.assertEqual(result.returncode, 1, result)
        self.assertLinesInOrder(result, list(errors) + ["ERROR: failed parsing repository resource '%s'" % href,
                                                        REFUSED, "INFO: --- EXIT ERROR ---"])
        self.assertFalse([line for line in result.lines if "need to update" in line], result)
        self.assertRecord("error", "metadata")

    def assertPrintable(self, result):
        self.assertEqual([line for line in result.lines if not line.isascii() or not line.isprintable()], [])

    def test_primary_in_each_compression(self):
        content = primary_content(self.release)
        for name, compress in COMPRESSIONS.items():
            repo, href = replace_primary(self.release, self.fresh(), compress(content), content)
            for location in self.locations(repo):
                with self.subTest(name, location=location):
                    self.root.check(["rm", "-rf", CACHE_DIR])
                    result = self.check(location)
                    self.assertEqual(result.returncode, 0, result)
                    self.assertIn(SIX_UPDATES, result.lines, result)
                    # Decoded on the fly: the cache holds the file as it came.
                    self.assertEqual(self.root.check(["ls", CACHE_DIR]).stdout.split(), sorted([os.path.basename(href), "repomd.xml"]))
                    # Read again from the cache, checked against its checksums.
                    result = self.updater("--no-md-sig-check", "--check-only", "--cache-only")
                    self.assertIn(SIX_UPDATES, result.lines, result)

    def test_every_checksum_type_createrepo_writes(self):
        rpms = testdata.build_all(release.packages(2))
        for kind in ("sha", "sha1", "sha224", "sha384", "sha512"):
            repo = testdata.make_repo(self.fresh(), rpms, extra_args=["--checksum", kind])
            for location in self.locations(repo):
                with self.subTest(kind, location=location):
                    self.root.check(["rm", "-rf", CACHE_DIR])
                    result = self.check(location, "--test", "--no-sig-check")
                    self.assertEqual(result.returncode, 0, result)
                    self.assertLinesInOrder(result, [SIX_UPDATES, "INFO: packages tested OK", "INFO: --- EXIT OK ---"])
        repo = testdata.make_repo(self.fresh(), rpms, extra_args=["--checksum", "md5"])
        result = self.check(repo)
        self.assertLinesInOrder(result, ["WARNING: encountered insecure MD5 checksums: discarding them", REFUSED])
        self.assertEqual(result.returncode, 1, result)

    def test_damaged_and_cut_short_streams_are_refused(self):
        content = primary_content(self.release)
        for name in ("gzip", "zstd", "xz", "bzip2"):
            stored = COMPRESSIONS[name](content)
            flipped = bytearray(stored)
            flipped[len(stored) // 2] ^= 0x10
            for damage, data in (("flipped", bytes(flipped)), ("cut short", stored[:len(stored) // 2])):
                with self.subTest(name, damage=damage):
                    repo, href = replace_primary(self.release, self.fresh(), data, content)
                    result = self.check(repo)
                    errors = []
                    if damage == "cut short":
                        errors = ["ERROR: damaged %s data in '%s/%s' (unexpected end of data)" % (
                            name, CACHE_DIR, os.path.basename(href))]
                    self.assertRefused(result, href, *errors)
                    self.assertPrintable(result)

    def test_a_document_that_is_not_xml_is_reported_in_one_printable_line(self):
        garbage = bytes(range(256)) * 64
        repo, href = replace_primary(self.release, self.fresh(), garbage, garbage)
        result = self.check(repo)
        self.assertRefused(result, href)
        xml_errors = [line for line in result.lines if line.startswith("ERROR: XML error in '%s/" % CACHE_DIR)]
        self.assertEqual(len(xml_errors), 1, result)
        self.assertIn(" line 1: ", xml_errors[0])
        self.assertPrintable(result)

    def peak(self, location):
        """The run's result and its peak resident memory in kB."""
        self.use_repo(location)
        result = self.root.run(["/usr/bin/time", "-f", "PEAK %M", UPDATER, "--no-md-sig-check", "--check-only"]
                               + list(self.ARGS), timeout=300)
        peaks = [line for line in result.stderr.splitlines() if line.startswith("PEAK ")]
        result.stderr = "\n".join(line for line in result.stderr.splitlines() if not line.startswith("PEAK "))
        return result, int(peaks[-1].split()[1])

    def test_documents_that_would_take_without_bound_end_in_a_clear_error(self):
        # One package with 72 million provides: 2 GB of document in a 5 MB
        # gzip file (one member compressed once and repeated).
        head = (b'<?xml version="1.0" encoding="UTF-8"?>\n<metadata xmlns="http://linux.duke.edu/metadata/common" '
                b'xmlns:rpm="http://linux.duke.edu/metadata/rpm" packages="1">\n<package type="rpm"><name>bomb</name>'
                b'<arch>noarch</arch><version epoch="0" ver="1" rel="1"/><checksum type="sha256">00</checksum>'
                b'<location href="bomb.rpm"/><format><rpm:provides>')
        body = b'<rpm:entry name="bomb-cap"/>' * 400000
        tail = b"</rpm:provides></format></package></metadata>\n"
        repeats = 180
        bomb = gzip.compress(head) + gzip.compress(body, 9) * repeats + gzip.compress(tail)
        bomb_size = len(head) + len(body) * repeats + len(tail)
        self.assertLess(len(bomb), 6 << 20)
        nested = primary_content(self.release).replace(b"<name>app</name>", b"<name>app" + b"<x/>" * 300000 + b"</name>")
        cases = (
            ("provides", bomb, bomb_size, "ERROR: package 'bomb' has more than 10000 entries in its provides"),
            ("open-size", bomb, 100000, "ERROR: '%s' decompresses to more than the 100000 bytes that repomd.xml declares"),
            ("element", nested, None, "ERROR: '%s' holds an element of more than 262144 bytes"),
        )
        for name, stored, open_size, error in cases:
            repo, href = replace_primary(self.release, self.fresh(), stored, open_size=open_size)
            for location in self.locations(repo):
                with self.subTest(name, location=location):
                    self.root.check(["rm", "-rf", CACHE_DIR])
                    result, peak_kb = self.peak(location)
                    self.assertRefused(result, href, error.replace("%s", CACHE_DIR + "/" + os.path.basename(href)))
                    self.assertLess(peak_kb, PEAK_RSS_LIMIT_KB)


if __name__ == "__main__":
    unittest.main()
