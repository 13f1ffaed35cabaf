"""Check-only runs that reach the repository: over HTTP, over HTTPS with the
device trusting a test authority, through a proxy that demands credentials,
and from a local directory, each with an index signed by a key of the
device's rpm database; an index signed otherwise is refused."""

import os
import unittest

import httpserver
import release
import testdata
from driverhelpers import info_lines
from updatehelpers import CACHE_DIR, UpdateTestCase

UPDATES = ["INFO: need to update (6 packages):"] + ["INFO: \t" + f for f in (
    "addon-docs-2-1.noarch.rpm", "addon-tools-2-1.noarch.rpm", "app-2-1.noarch.rpm", "libcore-2-1.noarch.rpm",
    "product-release-2-1.noarch.rpm", "updater-1.8.3-2.noarch.rpm")]

CREDENTIALS = """<?xml version="1.0"?>
<credits xmlns:xlink="http://www.w3.org/1999/xlink">
<creditentials xlink:href="%s" username="%s" password="%s"/>
</credits>
"""

PROXY_FILE = """<?xml version="1.0"?>
<proxyconf><proxy server="127.0.0.1" port="3128" bypassLocalNetwork="off" username="%s" password="%s"/></proxyconf>
"""


class Reaching(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.key = testdata.Key("network-release")
        self.key.import_into(self.root)
        self.repository = self.repo(release.packages(2), key=self.key)

    def updates(self, result):
        lines = info_lines(result.stderr)
        start = lines.index(UPDATES[0]) if UPDATES[0] in lines else len(lines)
        return lines[start:start + len(UPDATES)]

    def assertSameUpdates(self, result):
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(self.updates(result), UPDATES, result)
        self.assertState("READY", "AVAILABLE")
        self.assertNoTemporaryFiles()

    def assertNoTemporaryFiles(self):
        self.assertEqual([f for f in self.root.listdir(CACHE_DIR) if f.endswith(".tmp")], [])

    def test_over_http(self):
        server = httpserver.ScriptedServer(self.root, {"root": self.repository}, port=8080)
        self.use_repo("http://127.0.0.1:8080/")
        self.assertSameUpdates(self.updater("--check-only"))
        paths = [r["path"] for r in server.requests()]
        self.assertEqual(paths[:2], ["/repodata/repomd.xml", "/repodata/repomd.xml.asc"])
        self.assertEqual(len(paths), 3, paths)  # and the primary file

    def test_over_https_only_from_an_authority_the_device_trusts(self):
        certs = httpserver.make_certs(os.path.join(self.work, "certs"))
        httpserver.ScriptedServer(self.root, {"root": self.repository,
                                              "tls": {"cert": certs["cert"], "key": certs["key"]}},
                                  port=8443)
        self.use_repo("https://localhost:8443/")
        result = self.updater("--check-only")
        self.assertEqual(result.returncode, 1, result)
        self.assertLinesInOrder(result, [
            "ERROR: failed fetching 'repodata/repomd.xml' (Server certificate verification failed: issuer is not trusted)",
            "ERROR: failed getting repository resource 'repodata/repomd.xml'",
            "ERROR: could not update repository data", "INFO: --- EXIT ERROR ---"])
        self.assertNoTemporaryFiles()
        self.assertRecord("error", "tls")
        httpserver.trust_ca(self.root, certs)
        self.assertSameUpdates(self.updater("--check-only"))

    def test_through_a_proxy_with_credentials(self):
        httpserver.ScriptedServer(self.root, {"root": self.repository}, port=8080)
        proxy = httpserver.ScriptedServer(self.root, {"proxy": {"users": {"relay": "s3cret"}, "realm": "proxy",
                                                                "hosts": {"repo.test:8080": "127.0.0.1:8080"}}},
                                          port=3128)
        self.root.write("/etc/network/vrkproxy.conf", PROXY_FILE % ("relay", "s3cret"))
        self.use_repo("http://repo.test:8080/")
        result = self.updater("--check-only")
        self.assertIn("INFO: using HTTP proxy '127.0.0.1' port 3128", result.lines, result)
        self.assertSameUpdates(result)
        relayed = [r for r in proxy.requests() if r.get("authorized")]
        self.assertEqual(len(relayed), 3, proxy.requests())
        self.assertNotIn("s3cret", result.stderr + (self.root.lastlog() or ""))

    def test_refused_credentials(self):
        httpserver.ScriptedServer(self.root, {"root": self.repository,
                                              "auth": {"realm": "updates", "users": {"fleet": "right"}}}, port=8080)
        httpserver.ScriptedServer(self.root, {"proxy": {"users": {"relay": "s3cret"}, "realm": "proxy",
                                                        "hosts": {"repo.test:8080": "127.0.0.1:8080"}}}, port=3128)
        self.root.write("/etc/lumenta/vrkpasswd.xml", CREDENTIALS % ("http://127.0.0.1:8080/", "fleet", "wrong"))
        # The location's own user and password are no credentials and never
        # reach the record.
        for name, proxy_password, error_class in (("server", None, "authentication"), ("proxy", "wrong", "proxy")):
            with self.subTest(name):
                if proxy_password:
                    self.root.write_inside("/etc/network/vrkproxy.conf", PROXY_FILE % ("relay", proxy_password))
                self.use_repo("http://fleet:hidden@%s:8080/" % ("repo.test" if proxy_password else "127.0.0.1"))
                result = self.updater("--check-only")
                self.assertEqual(result.returncode, 1, result)
                self.assertIn("ERROR: could not update repository data", result.lines)
                record = self.assertRecord("error", error_class)
                self.assertNotIn("hidden", record["repository"]["uri"])

    def test_from_a_local_directory(self):
        self.use_repo(self.repository)
        self.assertSameUpdates(self.updater("--check-only"))

    def test_index_not_signed_by_a_database_key_is_refused(self):
        refused = "ERROR: invalid metadata signature"
        cases = (("foreign", testdata.Key("network-stranger"), False, refused, "metadata-signature"),
                 ("unsigned", None, False, "ERROR: failed getting repository resource 'repodata/repomd.xml.asc'",
                  "network"),
                 ("changed", self.key, True, refused, "metadata-signature"))
        for name, key, changed, error, error_class in cases:
            repository = self.repo(release.packages(2), name=name, key=key)
            if changed:
                index = os.path.join(repository, "repodata", "repomd.xml")
                with open(index) as f:
                    text = f.read()
                with open(index, "w") as f:
                    f.write(text.replace("<revision>", "<revision>1"))
            server = httpserver.ScriptedServer(self.root, {"root": repository}, port=8080)
            for location in ("http://127.0.0.1:8080/", repository):
                with self.subTest(name, location=location):
                    self.use_repo(location)
                    result = self.updater("--check-only")
                    self.assertEqual(result.returncode, 1, result)
                    self.assertLinesInOrder(result, [error, "ERROR: could not update repository data",
                                                     "INFO: --- EXIT ERROR ---"])
                    self.assertFalse([line for line in result.lines if "need to update" in line], result)
                    self.assertNoTemporaryFiles()
                    self.assertRecord("error", error_class)
            server.stop()


if __name__ == "__main__":
    unittest.main()
