"""Where package files come from: an xml:base that createrepo_c --baseurl
writes, naming another server or a local directory, and bases that are
refused; two packages whose files share a name in different directories."""

import os
import shutil

import httpserver
import release
import testdata
from harness import FIVE, FIVE_DONE, INSTALL, PACKAGE_CACHE, PASS_1, PASS_2, UpdateTestCase, nevras, release_nevras

CREDENTIALS = """<?xml version="1.0"?>
<credits xmlns:xlink="http://www.w3.org/1999/xlink">
  <creditentials xlink:href="http://127.0.0.1:8081/" username="fetcher" password="pool-secret"/>
</credits>
"""
UPDATE = ("--no-md-sig-check", "--no-reboot")


class LocationBase(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.record_rpm_calls()

    def split_repo(self, base):
        """The packages of release 2 in work/pool, and their metadata, naming
        `base` for the files, alone in a directory of its own."""
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
        index = httpserver.ScriptedServer(self.root, {"root": self.split_repo("http://127.0.0.1:8081/pool")}, port=8080)
        files = httpserver.ScriptedServer(self.root, {"root": self.work, "auth": {
            "scheme": "Basic", "realm": "pool", "users": {"fetcher": "pool-secret"}}}, port=8081)
        self.root.write("/etc/lumenta/vrkpasswd.xml", CREDENTIALS)
        self.use_repo("http://127.0.0.1:8080/")
        self.assertUpdated(self.updater(*UPDATE))
        self.assertFalse([path for path in index.paths() if path.endswith(".rpm")])
        self.assertEqual(sorted(files.paths(authorized=True)), sorted("/pool/" + f for f in PASS_1 + PASS_2))

    def test_packages_from_a_local_directory(self):
        self.use_repo(self.split_repo("file://" + os.path.join(self.work, "pool")))
        self.assertUpdated(self.updater(*UPDATE))

    def test_bases_that_are_not_followed(self):
        for base, reason in (("ftp://127.0.0.1/pool", "only http, https and file addresses are followed"),
                             ("file://" + os.path.join(self.work, "pool"), "a network repository may not name local files")):
            with self.subTest(base):
                index = httpserver.ScriptedServer(self.root, {"root": self.split_repo(base)}, port=8080)
                self.use_repo("http://127.0.0.1:8080/")
                self.assertRun(self.updater(*UPDATE), 1, "ERROR: refusing location base '%s': %s" % (base, reason),
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
        self.assertRun(self.updater(*UPDATE), 0, "INFO: pass 1: all but add-ons", "INFO: downloading 3 packages",
                       "ERROR: packages 'A/same.rpm' and 'B/same.rpm' would share the cache file '%ssame.rpm'"
                       % PACKAGE_CACHE, "ERROR: failed downloading packages", "INFO: --- RETRY UPDATER ONLY ---",
                       "INFO: packages installed OK")
        # Only the updater, alone in the retry, was installed.
        self.assertEqual(self.rpm_calls(), [INSTALL + [PACKAGE_CACHE + "updater-1.8.3-2.noarch.rpm"]])
        self.assertLessEqual({"app-1-1", "libcore-1-1"}, set(nevras(self.root)))
