"""HTTP, HTTPS, a proxy and a directory; where the device's credentials go."""

import os
import pathlib

import httpserver
import release
import testdata
from harness import CACHE_DIR, UPDATES_2, UpdateTestCase, credentials

PROXY_FILE = """<?xml version="1.0"?>
<proxyconf><proxy server="127.0.0.1" port="3128" bypassLocalNetwork="off" username="relay" password="%s"/></proxyconf>
"""
PROXY = {"proxy": {"users": {"relay": "s3cret"}, "hosts": {"repo.test:8080": "127.0.0.1:8080"}}}
DEFAULT_USER = "demo-a02082"  # the product name of the release's defaults file and the device's revision


class Network(UpdateTestCase):
    ARGS = ("--max-wait-time", "-1", "--check-only")

    def setUp(self):
        super().setUp()
        self.key = testdata.Key("network-release")
        self.key.import_into(self.root)
        self.repository = self.repo(release.packages(2), key=self.key)

    def assertSameUpdates(self, result):
        self.assertRun(result, 0, *UPDATES_2)
        self.assertState("READY", "AVAILABLE")
        self.assertNoTemporaryFiles()

    def assertNoTemporaryFiles(self):
        self.assertEqual([f for f in self.root.listdir(CACHE_DIR) if f.endswith(".tmp")], [])

    def test_every_way_to_the_repository(self):
        certs = httpserver.make_certs(os.path.join(self.work, "certs"))
        server = self.serve(self.repository)
        self.serve(self.repository, 8443, tls={"cert": certs["cert"], "key": certs["key"]},
                   routes={"/moved/repodata/repomd.xml": {"location": "http://127.0.0.1:8080/repodata/repomd.xml"}})
        proxy = self.serve(port=3128, **PROXY)

        self.use_repo("http://127.0.0.1:8080/")
        self.assertSameUpdates(self.updater())
        self.assertEqual(server.paths()[:2], ["/repodata/repomd.xml", "/repodata/repomd.xml.asc"])
        self.assertEqual(len(server.paths()), 3)  # and the primary file

        self.use_repo("https://localhost:8443/")
        self.assertRun(self.updater(), 1, "ERROR: failed fetching 'repodata/repomd.xml' (Server certificate "
                       "verification failed: issuer is not trusted)",
                       "ERROR: failed getting repository resource 'repodata/repomd.xml'",
                       "ERROR: could not update repository data", "INFO: --- EXIT ERROR ---")
        self.assertNoTemporaryFiles()
        self.assertRecord("error", "tls")
        httpserver.trust_ca(self.root, certs)
        self.assertSameUpdates(self.updater())
        # Never left for plain HTTP.
        self.use_repo("https://localhost:8443/moved/")
        plain = len(server.paths())
        self.assertRun(self.updater(), 1, "ERROR: refusing redirect from 'https://localhost:8443/moved/repodata/"
                       "repomd.xml' to unencrypted 'http://127.0.0.1:8080/repodata/repomd.xml'",
                       "ERROR: failed getting repository resource 'repodata/repomd.xml'")
        self.assertEqual((len(server.paths()), self.record()["error_class"]), (plain, "tls"))

        self.root.write_inside("/etc/network/vrkproxy.conf", PROXY_FILE % "s3cret")
        self.use_repo("http://repo.test:8080/")
        result = self.updater()
        self.assertIn("INFO: using HTTP proxy '127.0.0.1' port 3128", result.lines, result)
        self.assertSameUpdates(result)
        # The primary file is in the cache already.
        self.assertEqual(proxy.paths(authorized=True), ["http://repo.test:8080/repodata/repomd.xml" + suffix
                                                        for suffix in ("", ".asc")])
        self.assertNotIn("s3cret", result.stderr + self.root.lastlog())

        self.use_repo(self.repository)
        self.assertSameUpdates(self.updater())

    def test_refused_credentials(self):
        self.serve(self.repository, auth={"realm": "updates", "users": {"fleet": "right"}})
        self.serve(port=3128, **PROXY)
        self.root.write("/etc/lumenta/vrkpasswd.xml", credentials("http://127.0.0.1:8080/", "fleet", "wrong"))
        # The location's own user and password are no credentials and never reach the record.
        for name, proxy_password, error_class in (("server", None, "authentication"), ("proxy", "wrong", "proxy")):
            with self.subTest(name):
                if proxy_password:
                    self.root.write_inside("/etc/network/vrkproxy.conf", PROXY_FILE % proxy_password)
                self.use_repo("http://fleet:hidden@%s:8080/" % ("repo.test" if proxy_password else "127.0.0.1"))
                self.assertRun(self.updater(), 1, "ERROR: could not update repository data")
                self.assertNotIn("hidden", self.assertRecord("error", error_class)["repository"]["uri"])

    def test_index_not_signed_by_a_database_key_is_refused(self):
        refused = "ERROR: invalid metadata signature"
        cases = (("foreign", testdata.Key("network-stranger"), refused, "metadata-signature"),
                 ("unsigned", None, "ERROR: failed getting repository resource 'repodata/repomd.xml.asc'", "network"),
                 ("changed", self.key, refused, "metadata-signature"))
        for name, key, error, error_class in cases:
            repository = self.repo(release.packages(2), name=name, key=key)
            if name == "changed":
                index = pathlib.Path(repository, "repodata", "repomd.xml")
                index.write_text(index.read_text().replace("<revision>", "<revision>1"))
            # Over HTTP in the guide's missed-step table (test_packaging).
            with self.subTest(name):
                self.use_repo(repository)
                result = self.updater()
                self.assertRun(result, 1, error, "ERROR: could not update repository data", "INFO: --- EXIT ERROR ---")
                self.assertFalse([line for line in result.lines if "need to update" in line], result)
                self.assertNoTemporaryFiles()
                self.assertRecord("error", error_class)

    def test_credentials_go_only_where_they_apply(self):
        # The device's default credentials to the repository's own server; an entry of the credentials file to the
        # paths below its own, by whole components.
        self.root.set_identity(revision="a02082")
        self.root.write("/etc/lumenta/vrkpasswd.xml", credentials("http://127.0.0.1:8080/repo", "alice", "pw"))
        os.symlink(self.repository, os.path.join(self.work, "repository"))
        digest = {"root": self.repository, "auth": {"scheme": "Digest", "users": {DEFAULT_USER: "not the device's"}}}
        basic = {"root": self.work, "auth": {"users": {"alice": "pw"}}}
        moved = {"routes": {"/repodata/repomd.xml": {"location": "http://127.0.0.1:8081/repodata/repomd.xml"}}}
        refused = ["ERROR: failed fetching 'repodata/repomd.xml' (authentication failed on server)"]
        for path, server, redirected_to, offered, code in (
                ("/", digest, None, [None, DEFAULT_USER], 1), ("/", moved, digest, [None], 1),
                ("/repo/", basic, None, [None, "alice"], 0), ("/repository/", basic, None, [None], 1)):
            with self.subTest(path=path, offered=offered):
                self.use_repo("http://127.0.0.1:8080" + path)
                servers = [self.serve(**server)] + ([self.serve(port=8081, **redirected_to)] if redirected_to else [])
                result = self.updater()
                for server in servers:
                    server.stop()
                self.assertEqual(sorted({r["user"] for r in servers[-1].requests()}, key=str), offered)
                self.assertRun(result, code, *refused * code)
                self.assertRecord("error" if code else "ok", "authentication" if code else None)

