"""The scripted test server as later end-to-end tests use it: inside a
device root's network namespace, driven by a standard client (curl)."""

import os
import shutil
import tempfile
import unittest

from devroot import DeviceRoot
from httpserver import ScriptedServer, make_certs, trust_ca


class ScriptedServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="httpserver-test-")
        cls.certs = make_certs(os.path.join(cls.work, "certs"))
        cls.repo = os.path.join(cls.work, "repo")
        os.makedirs(os.path.join(cls.repo, "repodata"))
        with open(os.path.join(cls.repo, "repodata", "repomd.xml"), "w") as f:
            f.write("<repomd/>\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.root = DeviceRoot(hook=False, rpmdb=False)
        self.addCleanup(self.root.close)

    def curl(self, *args):
        return self.root.run(["curl", "-s", "-o", "-", "-w", "|%{http_code}", "--max-time", "10"] + list(args))

    def test_serves_a_directory_and_scripted_sequences(self):
        server = ScriptedServer(self.root, {"root": self.repo, "routes": {
            "/flaky": [{"drop": True}, {"status": 503, "body": "busy", "delay": 0.2}, {"body": "ok"}]}}, 8080)
        self.assertEqual(self.curl("http://127.0.0.1:8080/repodata/repomd.xml").stdout, "<repomd/>\n|200")
        self.assertEqual(self.curl("http://127.0.0.1:8080/../../etc/passwd", "--path-as-is").stdout,
                         "not found\n|404")
        self.assertEqual(self.curl("http://127.0.0.1:8080/flaky").stdout, "|000")
        self.assertEqual(self.curl("http://127.0.0.1:8080/flaky").stdout, "busy|503")
        self.assertEqual(self.curl("http://127.0.0.1:8080/flaky").stdout, "ok|200")
        self.assertEqual(self.curl("http://127.0.0.1:8080/flaky").stdout, "ok|200")
        paths = [r["path"] for r in server.requests()]
        self.assertEqual(paths, ["/repodata/repomd.xml", "/../../etc/passwd"] + ["/flaky"] * 4)

    def test_digest_authentication_over_tls(self):
        trust_ca(self.root, self.certs)
        server = ScriptedServer(self.root, {
            "tls": {"cert": self.certs["cert"], "key": self.certs["key"]},
            "auth": {"scheme": "Digest", "realm": "updates", "users": {"dev": "s3cret"}},
            "routes": {"/f": {"body": "secret file"}}}, 8443)
        self.assertEqual(self.curl("--digest", "-u", "dev:s3cret", "https://localhost:8443/f").stdout,
                         "secret file|200")
        self.assertEqual(self.curl("--digest", "-u", "dev:wrong", "https://localhost:8443/f").stdout[-4:], "|401")
        self.assertEqual([(r["user"], r["authorized"]) for r in server.requests()],
                         [(None, False), ("dev", True), (None, False), ("dev", False)])

    def test_forward_proxy_with_basic_authentication(self):
        ScriptedServer(self.root, {"routes": {"/f": {"body": "origin"}}}, 8080)
        proxy = ScriptedServer(self.root, {"proxy": {"users": {"pu": "pp"},
                                                     "hosts": {"updates.invalid:8080": "127.0.0.1:8080"}}}, 3128)
        self.assertEqual(self.curl("-x", "http://127.0.0.1:3128", "http://updates.invalid:8080/f").stdout[-4:], "|407")
        self.assertEqual(self.curl("-x", "http://pu:pp@127.0.0.1:3128", "http://updates.invalid:8080/f").stdout,
                         "origin|200")
        self.assertEqual([r["path"] for r in proxy.requests()], ["http://updates.invalid:8080/f"] * 2)


if __name__ == "__main__":
    unittest.main()
