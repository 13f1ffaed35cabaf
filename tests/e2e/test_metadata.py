"""Repository metadata in each compression and checksum type, damaged or unbounded; trust over time."""

import bz2
import gzip
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import time
import xml.etree.ElementTree as ET

import release
import testdata
from devroot import UPDATER
from harness import CACHE_DIR, FIVE, UpdateTestCase, config, nevras, primary_file, release_nevras, repository

REPO_NS = "http://linux.duke.edu/metadata/repo"
ET.register_namespace("", REPO_NS)
ET.register_namespace("rpm", "http://linux.duke.edu/metadata/rpm")

SIX_UPDATES = "INFO: --- 6 UPDATE(S) ---"
REFUSED = "ERROR: could not update repository data"
PEAK_RSS_LIMIT_KB = 200 * 1024


# "members" and "streams": two, one after the other, as concatenating tools write them.
COMPRESSIONS = {
    "gzip": gzip.compress,
    "gzip members": lambda data: gzip.compress(data[:len(data) // 2]) + gzip.compress(data[len(data) // 2:]),
    "zstd": lambda data: subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout,
    "xz": lambda data: subprocess.run(["xz", "-c"], input=data, capture_output=True, check=True).stdout,
    "bzip2": lambda data: subprocess.run(["bzip2", "-c"], input=data, capture_output=True, check=True).stdout,
    "bzip2 streams": lambda data: bz2.compress(data[:len(data) // 2]) + bz2.compress(data[len(data) // 2:]),
    "plain": lambda data: data,
}


def primary_content(repo):
    """The decompressed primary document of a createrepo_c repository."""
    with gzip.open(os.path.join(repo, primary_file(repo))) as f:
        return f.read()


def replace_primary(repo, target, stored, content=None, open_size=None):
    """A copy of `repo` whose primary file (named .gz whatever it holds) is `stored`, declared in repomd.xml
    with the open-checksum of `content` and `open_size`."""
    shutil.copytree(repo, target, dirs_exist_ok=True)
    os.unlink(os.path.join(target, primary_file(target)))
    index = os.path.join(target, "repodata", "repomd.xml")
    repomd = ET.parse(index)
    entry = next(data for data in repomd.getroot().iter("{%s}data" % REPO_NS) if data.get("type") == "primary")
    field = lambda name: entry.find("{%s}%s" % (REPO_NS, name))  # noqa: E731
    checksum = hashlib.sha256(stored).hexdigest()
    href = "repodata/%s-primary.xml.gz" % checksum
    pathlib.Path(target, href).write_bytes(stored)
    field("location").set("href", href)
    field("checksum").text, field("size").text = checksum, str(len(stored))
    if content is None:
        entry.remove(field("open-checksum"))
    else:
        field("open-checksum").text = hashlib.sha256(content).hexdigest()
    field("open-size").text = str(len(stored if content is None else content) if open_size is None else open_size)
    repomd.write(index, xml_declaration=True, encoding="UTF-8")
    return target, href


class Metadata(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.release = self.repo(release.packages(2))

    def fresh(self):
        """A new path each time: the overlay must not see a path change under it."""
        return tempfile.mkdtemp(dir=self.work)

    def locations(self, repo):
        server = self.serve(repo)
        yield "http://127.0.0.1:8080/"
        server.stop()
        yield repo

    def check(self, location, *args):
        self.use_repo(location)
        return self.updater("--no-md-sig-check", *(args or ("--check-only",)))

    def test_primary_in_each_compression(self):
        content = primary_content(self.release)
        for name, compress in COMPRESSIONS.items():
            repo, href = replace_primary(self.release, self.fresh(), compress(content), content)
            for location in self.locations(repo):
                with self.subTest(name, location=location):
                    self.root.check(["rm", "-rf", CACHE_DIR])
                    self.assertRun(self.check(location), 0, SIX_UPDATES)
                    # Decoded on the fly: the cache holds the file as it came.
                    self.assertEqual(self.root.check(["ls", CACHE_DIR]).stdout.split(),
                                     sorted([os.path.basename(href), "repomd.xml"]))
                    # Read again from the cache, checked against its checksums.
                    self.assertRun(self.updater("--no-md-sig-check", "--check-only", "--cache-only"), 0, SIX_UPDATES)

    def test_every_checksum_type_createrepo_writes(self):
        rpms = testdata.build_all(release.packages(2))
        for kind in ("sha", "sha1", "sha224", "sha384", "sha512"):
            repo = testdata.make_repo(self.fresh(), rpms, extra_args=["--checksum", kind])
            for location in self.locations(repo):
                with self.subTest(kind, location=location):
                    self.root.check(["rm", "-rf", CACHE_DIR])
                    self.assertRun(self.check(location, "--test", "--no-sig-check"), 0, SIX_UPDATES,
                                   "INFO: packages tested OK", "INFO: --- EXIT OK ---")
        self.assertRun(self.check(testdata.make_repo(self.fresh(), rpms, extra_args=["--checksum", "md5"])), 1,
                       "WARNING: encountered insecure MD5 checksums: discarding them", REFUSED)

    def test_repository_texts_cannot_start_a_log_line(self):
        forged = b"app-2-1.noarch.rpm&#10;FATAL: forged line&#10;INFO: --- EXIT OK ---"
        content = primary_content(self.release).replace(b'href="app-2-1.noarch.rpm"', b'href="%s"' % forged)
        result = self.check(replace_primary(self.release, self.fresh(), gzip.compress(content), content)[0])
        self.assertEqual(result.returncode, 0, result)
        for log in (result.lines, self.root.lastlog().splitlines()):
            self.assertNotIn("FATAL: forged line", log)
            self.assertEqual(log.count("INFO: --- EXIT OK ---"), 1, log)
            self.assertIn("INFO: \tapp-2-1.noarch.rpm\\x0aFATAL: forged line\\x0aINFO: --- EXIT OK ---", log)

    def test_damaged_garbled_and_unbounded_documents_are_refused(self):
        content = primary_content(self.release)
        cases = []
        for name in ("gzip", "zstd", "xz", "bzip2"):
            stored = COMPRESSIONS[name](content)
            flipped = bytearray(stored)
            flipped[len(stored) // 2] ^= 0x10
            cases += [(name + " flipped", bytes(flipped), content, None, []),
                      (name + " cut short", stored[:len(stored) // 2], content, None,
                       ["ERROR: damaged %s data in '%%s' (unexpected end of data)" % name])]
        window = bytearray(COMPRESSIONS["zstd"](content))
        window[5] = 21 << 3  # the frame asks for a window of 2 GiB
        cases.append(("zstd window", bytes(window), content, None, ["ERROR: damaged zstd data in '%s'"]))
        garbage = bytes(range(256)) * 64  # reported in one printable line
        cases.append(("not xml", garbage, garbage, None, ["ERROR: XML error in '%s' line 1: "]))
        # 72 million provides: 2 GB of document in a 5 MB gzip file.
        head = (b'<?xml version="1.0" encoding="UTF-8"?>\n<metadata xmlns="http://linux.duke.edu/metadata/common" '
                b'xmlns:rpm="http://linux.duke.edu/metadata/rpm" packages="1">\n<package type="rpm"><name>bomb</name>'
                b'<arch>noarch</arch><version epoch="0" ver="1" rel="1"/><checksum type="sha256">00</checksum>'
                b'<location href="bomb.rpm"/><format><rpm:provides>')
        body = b'<rpm:entry name="bomb-cap"/>' * 400000
        tail = b"</rpm:provides></format></package></metadata>\n"
        bomb = gzip.compress(head) + gzip.compress(body, 9) * 180 + gzip.compress(tail)
        self.assertLess(len(bomb), 6 << 20)
        nested = content.replace(b"<name>app</name>", b"<name>app" + b"<x/>" * 300000 + b"</name>")
        cases += [
            ("provides", bomb, None, len(head) + len(body) * 180 + len(tail),
             ["ERROR: package 'bomb' has more than 10000 entries in its provides"]),
            ("open-size", bomb, None, 100000,
             ["ERROR: '%s' decompresses to more than the 100000 bytes that repomd.xml declares"]),
            ("element", nested, None, None, ["ERROR: '%s' holds an element of more than 262144 bytes"])]
        for name, stored, opened, open_size, errors in cases:
            repo, href = replace_primary(self.release, self.fresh(), stored, opened, open_size)
            errors = [error.replace("%s", CACHE_DIR + "/" + os.path.basename(href)) for error in errors] + [
                "ERROR: failed parsing repository resource '%s'" % href, REFUSED]
            for location in self.locations(repo):
                with self.subTest(name, location=location):
                    self.root.check(["rm", "-rf", CACHE_DIR])
                    self.use_repo(location)
                    result = self.root.run(["/usr/bin/time", "-f", "PEAK %M", UPDATER, "--no-md-sig-check",
                                            "--check-only"] + list(self.ARGS), timeout=300)
                    result.stderr, peak = result.stderr.rstrip("\n").rpartition("\n")[::2]
                    self.assertLess(int(peak.split()[1]), PEAK_RSS_LIMIT_KB)
                    # The errors, by their beginnings, in order.
                    self.assertRun(result, 1, *errors, match=lambda error, line: line.startswith(error))
                    self.assertFalse([line for line in result.lines if "need to update" in line], result)
                    # The XML library's reports come one printable line each.
                    self.assertFalse([line for line in result.lines if not (line.isascii() and line.isprintable())])
                    self.assertRecord("error", "metadata")

DAY = 24 * 60 * 60
NOW = int(time.time())
MEMORY = "/var/lib/updater/metadata-base"
CLOCK = r"system clock \(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\)"


def date(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


class MetadataTrust(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.key = testdata.Key("trust-release")
        self.key.import_into(self.root)

    def served(self, name, timestamp, port, key=None, sign_packages=None, pkgs=None):
        self.serve(self.repo(pkgs or release.packages(2), name=name, key=key or self.key, sign_packages=sign_packages,
                             timestamp=timestamp), port)
        return "http://127.0.0.1:%d/" % port

    def run_on(self, location, *args, rules=""):
        self.root.write_config(text=config(repository("base", location), "<metadata>%s</metadata>" % rules, log=""))
        return self.updater(*args)

    def remembered(self):
        return json.loads(self.root.read(MEMORY))["timestamp"]

    def test_older_index_is_refused_unless_a_rollback_is_allowed(self):
        new = self.served("new", NOW - DAY, 8080)
        old = self.served("old", NOW - 30 * DAY, 8081)
        for args in (("--check-only",), ("--check-only",), ("--check-only", "--cache-only")):
            result = self.run_on(new, *args)
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(self.remembered(), NOW - DAY)

        self.assertRun(self.run_on(old), 1, "ERROR: repository metadata dated %s is older than the metadata dated %s "
                       "accepted before: possible replay or stale mirror" % (date(NOW - 30 * DAY), date(NOW - DAY)),
                       REFUSED, "INFO: --- EXIT ERROR ---")
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertRecord("error", "metadata-rollback")
        self.assertEqual(self.remembered(), NOW - DAY)

        allowed = "WARNING: accepting repository metadata dated %s, older than the metadata dated %s accepted " \
                  "before: rollback allowed" % (date(NOW - 30 * DAY), date(NOW - DAY))
        for rules, args in (("", ("--allow-metadata-rollback",)), ("<allow-rollback>true</allow-rollback>", ())):
            with self.subTest(rules=rules, args=args):
                self.assertEqual(self.run_on(new, "--check-only").returncode, 0)
                self.assertRun(self.run_on(old, "--check-only", *args, rules=rules), 0, allowed)
                self.assertEqual(self.remembered(), NOW - 30 * DAY)

    def test_memory_missing_or_damaged_and_an_index_gone_stale(self):
        location = self.served("repo", NOW - 30 * DAY, 8080)
        stale = "repository metadata is 30 days old (dated %s), more than the 7 days allowed" % date(NOW - 30 * DAY)
        # The memory written first, rules, the line said once (every pass loads the index), the record.
        cases = ((None, "", "INFO: no repository metadata remembered in '%s', starting afresh" % MEMORY, "ok", None),
                 ('{"revision": "1", "timestamp": ', "",
                  "WARNING: remembered repository metadata '%s' is damaged, starting afresh" % MEMORY, "ok", None),
                 (None, "<max-age-days>7</max-age-days>", "WARNING: " + stale, "ok", None),
                 (None, "<max-age-days>7</max-age-days><refuse-stale>true</refuse-stale>",
                  "ERROR: %s: refusing stale metadata" % stale, "error", "metadata-rollback"))
        for memory, rules, line, outcome, error_class in cases:
            with self.subTest(line):
                if memory:
                    self.root.write_inside(MEMORY, memory)
                result = self.run_on(location, "--test", "--no-pkg-sig-check", rules=rules)
                self.assertEqual((result.returncode, result.lines.count(line)), (int(outcome != "ok"), 1), result)
                self.assertRecord(outcome, error_class)
                self.assertEqual(self.remembered(), NOW - 30 * DAY)

    def test_clock_behind_is_named_when_a_signature_check_fails(self):
        stranger = testdata.Key("trust-stranger")
        # An index from the future, signed by a key the device does not trust.
        future = NOW + 400 * DAY
        self.assertRun(self.run_on(self.served("future", future, 8080, key=stranger), "--check-only"), 1,
                       "WARNING: %s is more than a day behind the repository metadata \\(%s\\); signature checks may "
                       "fail until the clock is set" % (CLOCK, date(future)), "ERROR: invalid metadata signature",
                       "ERROR: %s is behind the repository metadata \\(%s\\): the clock is the likely cause of the "
                       "signature failure" % (CLOCK, date(future)), match=re.fullmatch)
        self.assertRecord("error", "clock")

        # A trusted key made in the future signs the index; the stranger signs the packages.
        dated = testdata.Key("trust-future", created=future)
        dated.import_into(self.root)
        pkgs = release.variant(2, drop=FIVE)
        location = self.served("keyed", NOW, 8081, key=dated, pkgs=pkgs, sign_packages={p.name: stranger for p in pkgs})
        key_created = re.search(r"^pub:[^:]*:[^:]*:[^:]*:[^:]*:(\d+):", dated._gpg("--list-keys", "--with-colons").stdout,
                                re.M).group(1)
        self.assertRun(self.run_on(location), 1, "ERROR: no acceptable signature on package 'app-2-1.noarch.rpm'",
                       "ERROR: %s is behind the creation of a trusted key \\(%s\\): the clock is the likely cause of "
                       "the signature failure" % (CLOCK, date(int(key_created))), match=re.fullmatch)
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertRecord("error", "clock")
