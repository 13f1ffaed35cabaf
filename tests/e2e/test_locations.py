"""Where package files come from: an xml:base that createrepo_c --baseurl
writes, naming another server or a local directory, and bases that are
refused; two packages whose files share a name in different directories."""

import os
import shutil
import unittest

import httpserver
import release
import testdata
from updatehelpers import FIVE, INSTALL, PACKAGE_CACHE, PASS_1, PASS_2, UpdateTestCase, nevras, release_nevras

CREDENTIALS = """<?xml version="1.0"?>
<credits xmlns:xlink="http://www.w3.org/1999/xlink">
  <creditentials xlink:href="http://127.0.0.1:8081/" username="fetcher" password="pool-secret"/>
</credits>
"""


class LocationBase(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.record_rpm_calls()

    def split_repo(self, base):
        """The packages of release 2 in work/pool, and their metadata, naming
        `base` for the files, alone in work/meta."""
        pool = self.repo(release.variant(2, drop=FIVE), name="pool")
        testdata.make_repo(pool, [], extra_args=["--baseurl", base])
        meta = os.path.join(self.work, "meta")
        shutil.copytree(os.path.join(pool, "repodata"), os.path.join(meta, "repodata"))
        return pool, meta

    def assertUpdated(self, result):
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(nevras(self.root), sorted(release_nevras(2, drop=FIVE) + ["product-release-1-1"]))
        # The cache keeps each file under its own name.
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + f for f in PASS_1],
                                            INSTALL + [PACKAGE_CACHE + f for f in PASS_2]])

    def test_packages_from_another_server_with_its_own_credentials(self):
        pool, meta = self.split_repo("http://127.0.0.1:8081/pool")
        index = httpserver.ScriptedServer(self.root, {"root": meta}, port=8080)
        files = httpserver.ScriptedServer(self.root, {"root": self.work, "auth": {
            "scheme": "Basic", "realm": "pool", "users": {"fetcher": "pool-secret"}}}, port=8081)
        self.root.write("/etc/lumenta/vrkpasswd.xml", CREDENTIALS)
        self.use_repo("http://127.0.0.1:8080/")
        self.assertUpdated(self.updater("--no-md-sig-check", "--no-reboot"))
        self.assertFalse([r for r in index.requests() if r["path"].endswith(".rpm")], index.requests())
        fetched = [r["path"] for r in files.requests() if r["authorized"]]
        self.assertEqual(sorted(fetched), sorted("/pool/" + f for f in PASS_1 + PASS_2))

    def test_packages_from_a_local_directory(self):
        pool, meta = self.split_repo("file://" + os.path.join(self.work, "pool"))
        self.use_repo(meta)
        self.assertUpdated(self.updater("--no-md-sig-check", "--no-reboot"))

    def test_bases_that_are_not_followed(self):
        index = None
        cases = (("ftp://127.0.0.1/pool", "only http, https and file addresses are followed"),
                 ("file://" + os.path.join(self.work, "pool"), "a network repository may not name local files"))
        for base, reason in cases:
            with self.subTest(base):
                shutil.rmtree(os.path.join(self.work, "meta"), ignore_errors=True)
                _, meta = self.split_repo(base)
                if index:
                    index.stop()
                index = httpserver.ScriptedServer(self.root, {"root": meta}, port=8080)
                self.use_repo("http://127.0.0.1:8080/")
                result = self.updater("--no-md-sig-check", "--no-reboot")
                self.assertEqual(result.returncode, 1, result)
                self.assertLinesInOrder(result, [
                    "ERROR: refusing location base '%s': %s" % (base, reason),
                    "ERROR: failed getting package 'app-2-1.noarch.rpm' from repository",
                    "ERROR: failed downloading packages"])
                self.assertRecord("error", "network")
                self.assertEqual(self.rpm_calls(), [])
                self.assertEqual(nevras(self.root), release_nevras(1))


class CollidingCacheFiles(UpdateTestCase):
    def test_packages_sharing_a_file_name_are_refused_before_downloading(self):
        self.record_rpm_calls()
        repo = os.path.join(self.work, "repo")
        packages = {p.name: p for p in release.variant(2, drop=FIVE)}
        for directory, name in (("A", "app"), ("B", "libcore"), (".", "updater")):
            os.makedirs(os.path.join(repo, directory), exist_ok=True)
            target = "same.rpm" if directory != "." else packages[name].filename
            shutil.copy(testdata.build(packages[name]), os.path.join(repo, directory, target))
        testdata.make_repo(repo, [])
        self.use_repo(repo)
        result = self.updater("--no-md-sig-check", "--no-reboot")
        self.assertLinesInOrder(result, [
            "INFO: pass 1: all but add-ons", "INFO: downloading 3 packages",
            "ERROR: packages 'A/same.rpm' and 'B/same.rpm' would share the cache file '%ssame.rpm'" % PACKAGE_CACHE,
            "ERROR: failed downloading packages", "INFO: --- RETRY UPDATER ONLY ---", "INFO: packages installed OK"])
        # Only the updater, alone in the retry, was installed.
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + "updater-1.8.3-2.noarch.rpm"]])
        self.assertIn("app-1-1", nevras(self.root))
        self.assertIn("libcore-1-1", nevras(self.root))


if __name__ == "__main__":
    unittest.main()
