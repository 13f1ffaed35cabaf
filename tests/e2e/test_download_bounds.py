"""Downloads within bounds: the configured size of repomd.xml, the sizes that
the metadata declares, servers that never end a body, drip it or its headers
or fall silent,
the time of the whole metadata fetch, the disk the cache lies on, and the
cache's files: made afresh with their own mode, and replaced metadata removed
once the new metadata has been verified."""

import os
import unittest

import httpserver
import release
import testdata
from devroot import UPDATER
from driverhelpers import RootTestCase, config, repository
from updatehelpers import CACHE_DIR, FIVE, UpdateTestCase

CACHE = "/var/cache/updater"
REPOMD = "repodata/repomd.xml"
LOG = '<log level="info"><logger type="stderr"/></log>'
TOO_LARGE = "more than the %d bytes allowed"
OUT_OF_TIME = "time allowed for the download ran out"
# A status line and headers that take minutes to arrive, each byte well
# within the read timeout.
DRIPPING_HEAD = {"body": "x", "headers": {"X-Padding": "x" * 200}, "drip_head": {"bytes": 1, "interval": 0.5}}


def download_settings(**values):
    return "<download>%s</download>" % "".join(
        "<{0}>{1}</{0}>".format(name.replace("_", "-"), value) for name, value in values.items())


class CacheFiles:
    """Files of the device root's cache, listed from inside the root (a
    tmpfs mounted there is not seen from outside)."""

    def __init__(self, root):
        self.root = root

    def list(self, directory=CACHE_DIR):
        return self.root.check(["sh", "-c", 'ls -A "$1" 2>/dev/null || true', "sh", directory]).stdout.split()

    def mode(self, path):
        return int(self.root.check(["stat", "-c", "%a", path]).stdout, 8)


class RepomdBounds(RootTestCase):
    """A server scripted for repodata/repomd.xml alone, and a small file
    system over the cache: every row fails the update, so that nothing past
    the metadata matters."""

    ARGS = ("--max-wait-time", "-1")
    BASE = dict(read_timeout=5, low_speed_limit=1000, low_speed_time=1, metadata_deadline=30,
                max_repomd_size=65536)

    def run_row(self, step, settings):
        scripted = step if "never_accept" in step else {"routes": {"/" + REPOMD: step}}
        server = httpserver.ScriptedServer(self.root, scripted, port=8080)
        self.root.write_config(text=config(repository("base", "http://127.0.0.1:8080/"),
                                           download_settings(**dict(self.BASE, **settings)), log=LOG))
        try:
            result = self.updater("--check-only", "--no-md-sig-check", timeout=30)
        finally:
            server.stop()
        return result, len(server.requests())

    def test_bounded_fetches_of_repomd(self):
        self.root.mount_tmpfs(CACHE, 256 * 1024)
        failed = "failed fetching '%s' (%%s)" % REPOMD
        slow = failed % "transfer slower than 1000 bytes per second for 1 seconds"
        silent = failed % "connection timed out"
        cases = (
            ("endless body: cut at the configured size", {"endless": True}, {},
             ["ERROR: " + failed % TOO_LARGE % 65536], 1),
            ("full disk: not retried", {"body": "x" * (1 << 20)}, {"max_repomd_size": 4 << 20},
             ["ERROR: " + failed % "failed writing downloaded data to file (No space left on device)"], 1,
             "disk-space"),
            ("dripping body: too slow, retried", {"body": "x" * 60, "drip": {"bytes": 10, "interval": 0.4}}, {},
             ["WARNING: " + slow + "; retrying"] * 2 + ["ERROR: " + slow], 3),
            ("dripping headers: too slow, retried", DRIPPING_HEAD, {},
             ["WARNING: " + slow + "; retrying"] * 2 + ["ERROR: " + slow], 3),
            ("dripping headers, no low-speed check: stopped by the deadline", DRIPPING_HEAD,
             {"low_speed_limit": 0, "metadata_deadline": 2}, ["ERROR: " + failed % OUT_OF_TIME], 1),
            ("silent server: read timeout, retried", {"body": "x", "delay": 2.5},
             {"read_timeout": 1, "low_speed_time": 5},
             ["WARNING: " + silent + "; retrying"] * 2 + ["ERROR: " + silent], 3),
            ("server that never accepts: connect timeout, retried", {"never_accept": True}, {"connect_timeout": 1},
             ["WARNING: " + silent + "; retrying"] * 2 + ["ERROR: " + silent], 0),
            ("slow but steady body: stopped by the deadline",
             {"body": "x" * 200000, "drip": {"bytes": 4000, "interval": 0.1}},
             {"metadata_deadline": 1, "max_repomd_size": 1 << 20}, ["ERROR: " + failed % OUT_OF_TIME], 1),
            ("silent server: stopped by the deadline in the second attempt", {"body": "x", "delay": 9},
             {"read_timeout": 2, "low_speed_time": 5, "metadata_deadline": 3},
             ["WARNING: " + silent + "; retrying", "ERROR: " + failed % OUT_OF_TIME], 2),
        )
        files = CacheFiles(self.root)
        for name, step, settings, reported, requests, *error_class in cases:
            with self.subTest(name):
                result, made = self.run_row(step, settings)
                self.assertEqual(result.returncode, 1, result)
                self.assertEqual([line for line in result.lines if REPOMD in line and "fetching" in line], reported,
                                 result)
                self.assertLinesInOrder(result, ["ERROR: failed getting repository resource '%s'" % REPOMD,
                                                 "ERROR: could not update repository data"])
                self.assertEqual(made, requests)
                self.assertEqual(files.list(), [])
                self.assertRecord("error", error_class[0] if error_class else "network")


class OneFileOutOfBounds(UpdateTestCase):
    """A server that breaks a bound on one file of the repository: it sends
    more than the metadata declares, or drips the response headers."""

    INSTALL = ("--no-sig-check",)
    PACKAGE_FAILED = "ERROR: failed getting package '%s' from repository"

    def larger(self, repo, location):
        """A step that serves `location` with more than its declared size, and why it is refused."""
        declared = os.path.getsize(os.path.join(repo, location))
        larger = os.path.join(self.work, os.path.basename(location) + ".larger")
        with open(os.path.join(repo, location), "rb") as f, open(larger, "wb") as out:
            out.write(f.read() + b"\0" * 4096)
        return {"body_file": larger}, TOO_LARGE % declared

    def test_the_file_is_refused(self):
        repo = self.repo(release.variant(2, drop=FIVE))
        primary = "repodata/" + [f for f in os.listdir(os.path.join(repo, "repodata")) if "primary.xml" in f][0]
        dripping = DRIPPING_HEAD, "transfer slower than 1000 bytes per second for 1 seconds"
        quick = download_settings(read_timeout=5, low_speed_limit=1000, low_speed_time=1)
        cases = (
            ("primary larger than declared", primary, ("--check-only", "--no-md-sig-check"),
             self.larger(repo, primary), "", 1, "ERROR: failed getting repository resource '%s'", "network"),
            # The pass and its retry with the updater alone make three attempts
            # each; nothing is installed, so the next row finds the updates.
            ("package whose headers drip", "updater-1.8.3-2.noarch.rpm", self.INSTALL, dripping, quick, 6,
             self.PACKAGE_FAILED, "network"),
            # The pass fails; its retry with the updater alone succeeds.
            ("package larger than declared", "app-2-1.noarch.rpm", self.INSTALL,
             self.larger(repo, "app-2-1.noarch.rpm"), "", 1, self.PACKAGE_FAILED, None),
        )
        for name, location, args, (step, reason), settings, requests, failed, error_class in cases:
            with self.subTest(name):
                server = httpserver.ScriptedServer(self.root, {"root": repo, "routes": {"/" + location: step}},
                                                   port=8080)
                self.root.write_config(text=config(repository("base", "http://127.0.0.1:8080/"), settings, log=""))
                try:
                    result = self.updater(*args, timeout=60)
                finally:
                    server.stop()
                self.assertLinesInOrder(result, ["ERROR: failed fetching '%s' (%s)" % (location, reason),
                                                 failed % location])
                self.assertEqual([r["path"] for r in server.requests()].count("/" + location), requests)
                if error_class:
                    self.assertRecord("error", error_class)


class CacheContents(RootTestCase):
    """Metadata files in the cache, from a local repository."""

    ARGS = ("--max-wait-time", "-1", "--check-only", "--no-md-sig-check")

    def setUp(self):
        super().setUp()
        self.root.check(["rpm", "--initdb"])
        self.files = CacheFiles(self.root)
        self.work = self.root.base

    def primary(self, repo):
        return [f for f in os.listdir(os.path.join(repo, "repodata")) if "primary.xml" in f][0]

    def make(self, name, pkgs):
        return testdata.make_repo(os.path.join(self.work, name), testdata.build_all(pkgs))

    def test_downloads_never_follow_a_planted_link_and_have_their_own_mode(self):
        repo = self.make("repo", release.packages(2))
        self.root.write_inside("/etc/victim", "precious\n")
        self.root.check(["mkdir", "-p", CACHE_DIR])
        self.root.check(["ln", "-s", "/etc/victim", CACHE_DIR + "/repomd.xml.tmp"])
        self.root.write_config(text=config(repository("base", repo), log=LOG))
        result = self.root.run(["sh", "-c", 'umask 0; exec "$@"', "sh", UPDATER] + list(self.ARGS))
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(self.root.check(["cat", "/etc/victim"]).stdout, "precious\n")
        for name in ("repomd.xml", self.primary(repo)):
            self.assertEqual(self.files.mode(CACHE_DIR + "/" + name), 0o644, name)  # a link would show 777

    def test_replaced_metadata_goes_once_the_new_metadata_is_verified(self):
        first = self.make("first", release.packages(1))
        second = self.make("second", release.packages(2))
        broken = self.make("broken", release.variant(2, drop=["addon-docs"]))
        with open(os.path.join(broken, "repodata", self.primary(broken)), "r+b") as f:
            f.seek(200)
            byte = f.read(1)
            f.seek(200)
            f.write(bytes([byte[0] ^ 0xff]))
        self.root.write_inside(CACHE_DIR + "/packages/kept.rpm", "a package\n")
        self.root.write_inside(CACHE_DIR + "/stale.tmp", "left by a killed run\n")
        self.root.write_inside(CACHE_DIR + "/notes.txt", "not metadata\n")
        steps = (
            ("first", first, 0, [self.primary(first)]),
            # The new primary does not match: nothing of the old metadata goes.
            ("broken", broken, 1, [self.primary(first), self.primary(broken)]),
            ("second", second, 0, [self.primary(second)]),
        )
        for name, repo, code, primaries in steps:
            with self.subTest(name):
                self.root.write_config(text=config(repository("base", repo), log=LOG))
                result = self.updater("--no-cache-clean")
                self.assertEqual(result.returncode, code, result)
                if code:
                    self.assertRecord("error", "checksum")
                self.assertEqual(sorted(f for f in self.files.list() if "primary.xml" in f), sorted(primaries),
                                 result)
        self.assertEqual(sorted(self.files.list()),
                         sorted(["notes.txt", "packages", "repomd.xml", self.primary(second)]))
        self.assertEqual(self.files.list(CACHE_DIR + "/packages"), ["kept.rpm"])


if __name__ == "__main__":
    unittest.main()
