"""Where the device's credentials go: its default credentials only to the
configured repository's server, entries of the credentials file only below
their path, and nothing that left https over plain http."""

import os
import unittest

import httpserver
import testdata
from driverhelpers import DEFAULTS_FILE, RootTestCase, config, repository
from testdata import Pkg

LOG = '<log level="info"><logger type="stderr"/></log>'
PRODUCT = "lumenta"
REVISION = "a02082"
DEFAULT_USER = PRODUCT + "-" + REVISION
CREDENTIALS = """<?xml version="1.0"?>
<credits xmlns:xlink="http://www.w3.org/1999/xlink">
  <creditentials xlink:href="%s" username="%s" password="%s"/>
</credits>
"""


class Credentials(RootTestCase):
    ARGS = ("--max-wait-time", "-1", "--check-only", "--no-md-sig-check")

    def setUp(self):
        super().setUp()
        self.root.check(["rpm", "--initdb"])
        self.root.set_identity(revision=REVISION)
        self.root.write(DEFAULTS_FILE, config("<user-agent><base>agent</base><prodname>%s</prodname></user-agent>"
                                              % PRODUCT, log=""))
        self.repo = testdata.make_repo(os.path.join(self.root.base, "repo"), testdata.build_all([Pkg("app")]))

    def use(self, location):
        self.root.write_config(text=config(repository("base", location), log=LOG))

    def serve(self, port, **settings):
        server = httpserver.ScriptedServer(self.root, dict(settings), port=port)
        self.addCleanup(server.stop)
        return server

    @staticmethod
    def users(server):
        return sorted({str(r["user"]) for r in server.requests()})

    def test_default_credentials_only_for_the_repository_server(self):
        digest = {"scheme": "Digest", "realm": "updates", "users": {DEFAULT_USER: "not the device's"}}
        elsewhere = "http://127.0.0.1:8081/repodata/repomd.xml"
        cases = (
            ("the repository's server asks", {"root": self.repo, "auth": digest}, None, ["None", DEFAULT_USER]),
            ("another server asks after a redirect",
             {"routes": {"/repodata/repomd.xml": {"location": elsewhere}}}, {"root": self.repo, "auth": digest},
             ["None"]),
        )
        self.use("http://127.0.0.1:8080/")
        for name, repository_server, other_server, offered in cases:
            with self.subTest(name):
                base = self.serve(8080, **repository_server)
                asking = self.serve(8081, **other_server) if other_server else base
                result = self.updater()
                base.stop()
                asking.stop()
                self.assertEqual(result.returncode, 1, result)
                self.assertIn("ERROR: failed fetching 'repodata/repomd.xml' (authentication failed on server)",
                              result.lines)
                self.assertEqual(self.users(asking), offered)
                self.assertRecord("error", "authentication")

    def test_file_entries_apply_below_their_path_only(self):
        self.root.write("/etc/lumenta/vrkpasswd.xml", CREDENTIALS % ("http://127.0.0.1:8080/repo", "alice", "pw"))
        top = os.path.dirname(self.repo)
        os.symlink(self.repo, os.path.join(top, "repository"))
        server = self.serve(8080, root=top, auth={"scheme": "Basic", "users": {"alice": "pw"}})
        for path, code, offered in (("/repo/", 0, ["None", "alice"]), ("/repository/", 1, ["None"])):
            with self.subTest(path):
                before = len(server.requests())
                self.use("http://127.0.0.1:8080" + path)
                result = self.updater()
                self.assertEqual(result.returncode, code, result)
                self.assertEqual(sorted({str(r["user"]) for r in server.requests()[before:]}), offered)
                if code:
                    self.assertRecord("error", "authentication")

    def test_https_is_never_left_for_http(self):
        certs = httpserver.make_certs(os.path.join(self.root.base, "certs"))
        httpserver.trust_ca(self.root, certs)
        plain = self.serve(8080, root=self.repo)
        self.serve(8443, tls={"cert": certs["cert"], "key": certs["key"]},
                   routes={"/repodata/repomd.xml": {"location": "http://127.0.0.1:8080/repodata/repomd.xml"}})
        self.use("https://localhost:8443/")
        result = self.updater()
        self.assertEqual(result.returncode, 1, result)
        self.assertLinesInOrder(result, [
            "ERROR: refusing redirect from 'https://localhost:8443/repodata/repomd.xml' to unencrypted "
            "'http://127.0.0.1:8080/repodata/repomd.xml'",
            "ERROR: failed getting repository resource 'repodata/repomd.xml'"])
        self.assertEqual(plain.requests(), [])
        self.assertRecord("error", "tls")


if __name__ == "__main__":
    unittest.main()
