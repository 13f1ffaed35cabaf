"""Downloads within bounds, the cache's files, and where package files come from (xml:base)."""

import os
import pathlib
import shutil

import release
import testdata
from devroot import UPDATER, write_file
from harness import (CACHE_DIR, FIVE, FIVE_DONE, INSTALL, LOCK_FILE, PACKAGE_CACHE, PASS_1, PASS_2, RootTestCase,
                     UpdateTestCase, config, credentials, nevras, primary_file, release_nevras, repository)

CACHE = "/var/cache/updater"
REPOMD = "repodata/repomd.xml"
TOO_LARGE = "more than the %d bytes allowed"
OUT_OF_TIME = "time allowed for the download ran out"
# A status line and headers that take minutes to arrive, each byte within the read timeout.
DRIPPING_HEAD = {"body": "x", "headers": {"X-Padding": "x" * 200}, "drip_head": {"bytes": 1, "interval": 0.5}}


def retried(failure, attempts=3):
    return ["WARNING: %s; retrying" % failure] * (attempts - 1) + ["ERROR: " + failure]


def download_settings(**values):
    return "<download>%s</download>" % "".join(
        "<{0}>{1}</{0}>".format(name.replace("_", "-"), value) for name, value in values.items())


def cache_files(root, directory=CACHE_DIR):
    """Files of the root's cache, listed from inside (a tmpfs mounted there is not seen from outside)."""
    return root.check(["sh", "-c", 'ls -A "$1" 2>/dev/null || true', "sh", directory]).stdout.split()


class RepomdBounds(RootTestCase):
    """Every row fails at repodata/repomd.xml, so that nothing past the metadata matters."""

    ARGS = ("--max-wait-time", "-1")
    BASE = dict(read_timeout=5, low_speed_limit=1000, low_speed_time=1, metadata_deadline=30,
                max_repomd_size=65536)

    def run_row(self, step, settings):
        server = self.serve(**step) if "never_accept" in step else self.serve(routes={"/" + REPOMD: step})
        self.root.write_config(text=config(repository("base", "http://127.0.0.1:8080/"),
                                           download_settings(**dict(self.BASE, **settings))))
        result = self.updater("--check-only", "--no-md-sig-check", timeout=30)
        server.stop()
        return result, len(server.requests())

    def test_bounded_fetches_of_repomd(self):
        self.root.mount(CACHE, "-t", "tmpfs", "-o", "size=262144,mode=755", "tmpfs")
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
             retried(slow), 3),
            ("dripping headers: too slow, retried", DRIPPING_HEAD, {}, retried(slow), 3),
            ("dripping headers, no low-speed check: stopped by the deadline", DRIPPING_HEAD,
             {"low_speed_limit": 0, "metadata_deadline": 2}, ["ERROR: " + failed % OUT_OF_TIME], 1),
            ("silent server: read timeout, retried", {"body": "x", "delay": 2.5},
             {"read_timeout": 1, "low_speed_time": 5}, retried(silent), 3),
            ("server that never accepts: connect timeout, retried", {"never_accept": True}, {"connect_timeout": 1},
             retried(silent), 0),
            ("slow but steady body: stopped by the deadline",
             {"body": "x" * 200000, "drip": {"bytes": 4000, "interval": 0.1}},
             {"metadata_deadline": 1, "max_repomd_size": 1 << 20}, ["ERROR: " + failed % OUT_OF_TIME], 1),
            ("silent server: stopped by the deadline in the second attempt", {"body": "x", "delay": 9},
             {"read_timeout": 2, "low_speed_time": 5, "metadata_deadline": 3},
             ["WARNING: %s; retrying" % silent, "ERROR: " + failed % OUT_OF_TIME], 2),
        )
        for name, step, settings, reported, requests, *error_class in cases:
            with self.subTest(name):
                result, made = self.run_row(step, settings)
                self.assertEqual([line for line in result.lines if REPOMD in line and "fetching" in line], reported,
                                 result)
                self.assertRun(result, 1, "ERROR: failed getting repository resource '%s'" % REPOMD,
                               "ERROR: could not update repository data")
                self.assertEqual(made, requests)
                self.assertEqual(cache_files(self.root), [])
                self.assertRecord("error", error_class[0] if error_class else "network")


class OneFileOutOfBounds(UpdateTestCase):
    INSTALL = ("--no-sig-check",)
    PACKAGE_FAILED = "ERROR: failed getting package '%s' from repository"

    def larger(self, repo, location):
        data = pathlib.Path(repo, location).read_bytes()
        larger = write_file(os.path.join(self.work, os.path.basename(location) + ".larger"), data + b"\0" * 4096)
        return {"body_file": larger}, TOO_LARGE % len(data)

    def test_the_file_is_refused(self):
        repo = self.repo(release.variant(2, drop=FIVE))
        primary = primary_file(repo)
        dripping = DRIPPING_HEAD, "transfer slower than 1000 bytes per second for 1 seconds"
        quick = download_settings(read_timeout=5, low_speed_limit=1000, low_speed_time=1)
        cases = (
            ("primary larger than declared", primary, ("--check-only", "--no-md-sig-check"),
             self.larger(repo, primary), "", 1, "ERROR: failed getting repository resource '%s'", "network"),
            # Three attempts by the pass and three by its retry; nothing is installed.
            ("package whose headers drip", "updater-1.8.3-2.noarch.rpm", self.INSTALL, dripping, quick, 6,
             self.PACKAGE_FAILED, "network"),
            # The pass fails; its retry with the updater alone succeeds.
            ("package larger than declared", "app-2-1.noarch.rpm", self.INSTALL,
             self.larger(repo, "app-2-1.noarch.rpm"), "", 1, self.PACKAGE_FAILED, None),
        )
        for name, location, args, (step, reason), settings, requests, failed, error_class in cases:
            with self.subTest(name):
                server = self.serve(repo, routes={"/" + location: step})
                self.root.write_config(text=config(repository("base", "http://127.0.0.1:8080/"), settings, log=""))
                result = self.updater(*args, timeout=60)
                server.stop()
                self.assertLinesInOrder(result, ["ERROR: failed fetching '%s' (%s)" % (location, reason),
                                                 failed % location])
                self.assertEqual(server.paths().count("/" + location), requests)
                if error_class:
                    self.assertRecord("error", error_class)


class CacheContents(RootTestCase):
    ARGS = ("--max-wait-time", "-1", "--check-only", "--no-md-sig-check")

    def setUp(self):
        super().setUp()
        self.root.check(["rpm", "--initdb"])

    def make(self, name, pkgs):
        return testdata.make_repo(os.path.join(self.root.base, name), testdata.build_all(pkgs))

    def test_files_have_their_own_modes_downloads_never_follow_a_planted_link_and_replaced_metadata_goes(self):
        repo = self.make("repo", release.packages(2))
        self.root.write_inside("/etc/victim", "precious\n")
        self.root.write_config(text=config(repository("base", repo)))
        modes = dict.fromkeys([LOCK_FILE, "/var/log/updater/lastlog", "/tmp/run.log", "/var/lib/updater/status",
                               "/var/lib/updater/update-state", CACHE_DIR + "/repomd.xml",
                               CACHE_DIR + "/" + os.path.basename(primary_file(repo))], "644")  # a link shows 777
        modes[CACHE_DIR] = "755"
        for umask in ("0", "077"):
            with self.subTest(umask=umask):
                self.root.check(["sh", "-c", 'rm -rf "$@" && mkdir -p "$1" && ln -s /etc/victim "$1/repomd.xml.tmp"',
                                 "sh", CACHE_DIR, LOCK_FILE, "/tmp/run.log", "/var/lib/updater/update-state"])
                result = self.root.run(["sh", "-c", 'umask %s; exec "$@"' % umask, "sh", UPDATER, "--log-to",
                                        "/tmp/run.log"] + list(self.ARGS))
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(self.root.check(["cat", "/etc/victim"]).stdout, "precious\n")
                self.assertEqual(dict(zip(modes, self.root.check(["stat", "-c", "%a"] + list(modes)).stdout.split())),
                                 modes)

        # Replaced metadata goes once the new metadata is verified.
        first = self.make("first", release.packages(1))
        second = self.make("second", release.packages(2))
        broken = self.make("broken", release.variant(2, drop=["addon-docs"]))
        primary = pathlib.Path(broken, primary_file(broken))
        data = primary.read_bytes()
        primary.write_bytes(data[:200] + bytes([data[200] ^ 0xff]) + data[201:])
        for name, text in (("packages/kept.rpm", "a package"), ("stale.tmp", "left by a killed run"),
                           ("notes.txt", "not metadata")):
            self.root.write_inside(CACHE_DIR + "/" + name, text)
        name = lambda repo: os.path.basename(primary_file(repo))  # noqa: E731
        # The new primary of "broken" does not match: nothing of the old metadata goes.
        for repo, code, primaries in ((first, 0, [first]), (broken, 1, [first, broken]), (second, 0, [second])):
            with self.subTest(repo):
                self.root.write_config(text=config(repository("base", repo)))
                result = self.updater("--no-cache-clean")
                self.assertEqual(result.returncode, code, result)
                self.assertRecord("error" if code else "ok", "checksum" if code else None)
                self.assertEqual(sorted(f for f in cache_files(self.root) if "primary.xml" in f),
                                 sorted(map(name, primaries)), result)
        self.assertEqual(sorted(cache_files(self.root)), sorted(["notes.txt", "packages", "repomd.xml", name(second)]))
        self.assertEqual(cache_files(self.root, CACHE_DIR + "/packages"), ["kept.rpm"])


class LocationBase(UpdateTestCase):
    ARGS = UpdateTestCase.ARGS + ("--no-md-sig-check", "--no-reboot")

    def setUp(self):
        super().setUp()
        self.record_rpm_calls()

    def split_repo(self, base):
        """The metadata alone in a directory, naming `base` for the packages of work/pool."""
        pool = self.repo(release.variant(2, drop=FIVE), name="pool")
        testdata.make_repo(pool, [], extra_args=["--baseurl", base])
        meta = os.path.join(self.work, "meta-%d" % len(os.listdir(self.work)))
        shutil.copytree(os.path.join(pool, "repodata"), os.path.join(meta, "repodata"))
        return meta

    def assertUpdated(self, result):
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(nevras(self.root), FIVE_DONE)
        # The cache keeps each file under its own name.
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + f for f in PASS_1],
                                            INSTALL + [PACKAGE_CACHE + f for f in PASS_2]])
        self.assertEqual(self.reboot_calls(), [])  # --no-reboot
        self.assertState("READY", "COMPLETE")

    def test_packages_from_another_server_with_its_own_credentials(self):
        index = self.serve(self.split_repo("http://127.0.0.1:8081/pool"))
        files = self.serve(self.work, 8081, auth={"realm": "pool", "users": {"fetcher": "pool-secret"}})
        self.root.write("/etc/lumenta/vrkpasswd.xml", credentials("http://127.0.0.1:8081/", "fetcher", "pool-secret"))
        self.use_repo("http://127.0.0.1:8080/")
        self.assertUpdated(self.updater())
        self.assertFalse([path for path in index.paths() if path.endswith(".rpm")])
        self.assertEqual(sorted(files.paths(authorized=True)), sorted("/pool/" + f for f in PASS_1 + PASS_2))

    def test_packages_from_a_local_directory(self):
        self.use_repo(self.split_repo("file://" + os.path.join(self.work, "pool")))
        self.assertUpdated(self.updater())

    def test_bases_that_are_not_followed(self):
        for base, reason in (("ftp://127.0.0.1/pool", "only http, https and file addresses are followed"),
                             ("file://" + os.path.join(self.work, "pool"),
                              "a network repository may not name local files")):
            with self.subTest(base):
                index = self.serve(self.split_repo(base))
                self.use_repo("http://127.0.0.1:8080/")
                self.assertRun(self.updater(), 1, "ERROR: refusing location base '%s': %s" % (base, reason),
                               "ERROR: failed getting package 'app-2-1.noarch.rpm' from repository",
                               "ERROR: failed downloading packages")
                index.stop()
                self.assertRecord("error", "network")
                self.assertEqual(self.rpm_calls(), [])
                self.assertEqual(nevras(self.root), release_nevras(1))

    def test_packages_sharing_a_file_name_are_refused_before_downloading(self):
        repo = os.path.join(self.work, "repo")
        packages = {p.name: p for p in release.variant(2, drop=FIVE)}
        for directory, name in (("A", "app"), ("B", "libcore"), (".", "updater")):
            os.makedirs(os.path.join(repo, directory), exist_ok=True)
            target = "same.rpm" if directory != "." else packages[name].filename
            shutil.copy(testdata.build(packages[name]), os.path.join(repo, directory, target))
        testdata.make_repo(repo, [])
        self.use_repo(repo)
        self.assertRun(self.updater(), 0, "INFO: pass 1: all but add-ons", "INFO: downloading 3 packages",
                       "ERROR: packages 'A/same.rpm' and 'B/same.rpm' would share the cache file '%ssame.rpm'"
                       % PACKAGE_CACHE, "ERROR: failed downloading packages", "INFO: --- RETRY UPDATER ONLY ---",
                       "INFO: packages installed OK")
        # Only the updater, alone in the retry, was installed.
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + "updater-1.8.3-2.noarch.rpm"]])
        self.assertLessEqual({"app-1-1", "libcore-1-1"}, set(nevras(self.root)))
