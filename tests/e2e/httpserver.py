#!/usr/bin/python3
"""A scripted HTTP(S) test server and forward proxy, Python stdlib only.

    httpserver.py --config CONFIG.json [--port N] [--bind ADDR] [--ready FILE]   (FILE gets the port)
    httpserver.py make-certs DIR   (ca.pem, server.pem and server.key for localhost)

CONFIG: "root" (directory served), "log" (a JSON line per request), "tls" {"cert", "key"},
"auth" {"scheme": "Basic" | "Digest", "realm", "users"}, "proxy" {"users", "realm", "hosts"}
(a forward proxy; "hosts" maps host:port to addr:port), "never_accept" (connect timeouts), and "routes"
{path: step or [step, ...]}: the n-th request to a path is answered by the n-th step, the last one
repeating. A step has "status", "body", "body_file", "headers", "location", "delay", "drop", "truncate"
(send this many bytes of the body), "drip"/"drip_head" {"bytes", "interval"} or "endless".
"""

import base64
import contextlib
import hashlib
import http.server
import itertools
import json
import os
import pathlib
import re
import select
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse


def make_certs(directory):
    os.makedirs(directory, exist_ok=True)
    p = {name: os.path.join(directory, name) for name in ("ca.pem", "ca.key", "server.pem", "server.key", "csr")}

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p["ca.key"], "-out", p["ca.pem"], "-days", "2",
            "-subj", "/CN=Updater Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", p["server.key"], "-out", p["csr"],
            "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1",
            "-addext", "extendedKeyUsage=serverAuth")
    openssl("x509", "-req", "-in", p["csr"], "-CA", p["ca.pem"], "-CAkey", p["ca.key"], "-CAcreateserial",
            "-out", p["server.pem"], "-days", "2", "-copy_extensions", "copyall")
    return {"ca": p["ca.pem"], "cert": p["server.pem"], "key": p["server.key"]}


AUTH_PARAM = re.compile(r'(\w+)\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^\s,]+))')


def parse_auth_params(text):
    return {m.group(1).lower(): m.group(2) if m.group(2) is not None else m.group(3)
            for m in AUTH_PARAM.finditer(text)}


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def basic_user(header):
    if header and header.startswith("Basic "):
        with contextlib.suppress(ValueError):  # not base64, not UTF-8
            return tuple(base64.b64decode(header[6:].strip()).decode().partition(":")[::2])
    return None, None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestServer/1.0"
    connections = itertools.count(1)

    def setup(self):
        # The TLS handshake happens here, in the connection's own thread, so
        # that a client that never completes it cannot stall the server.
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(30)
            self.request.do_handshake()
        super().setup()
        self.connection_id = next(Handler.connections)

    def log_message(self, format, *args):
        pass

    def record(self, user=None, authorized=None):
        entry = {"method": self.command, "path": self.path, "headers": dict(self.headers.items()),
                 "connection": self.connection_id, "client_port": self.client_address[1],
                 "user": user, "authorized": authorized}
        with self.server.log_lock, open(self.server.config["log"], "a") as f:
            f.write(json.dumps(entry, sort_keys=True) + "\n")

    def answer(self, status, body=b"", headers=(), step={}):
        """The answer as `step` shapes it: cut short ("truncate"), sent in slow pieces or without end."""
        body, headers, endless = body.encode() if isinstance(body, str) else body, dict(headers), step.get("endless")
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        if not endless and "content-length" not in {name.lower() for name in headers}:
            self.send_header("Content-Length", str(len(body)))
        if self.close_connection or endless or "truncate" in step:
            self.send_header("Connection", "close")
            self.close_connection = True
        self._headers_buffer.append(b"\r\n")
        head, self._headers_buffer = b"".join(self._headers_buffer), []
        if not self.send(head, step.get("drip_head")):
            return
        while endless and self.send(b"x" * 65536):
            pass
        if not endless:
            self.send(body[:step.get("truncate", len(body))], step.get("drip"))

    def send(self, data, drip=None):
        """Writes `data`, with `drip` {"bytes", "interval"} in pieces that far apart; False once the client is gone."""
        size = drip["bytes"] if drip else max(len(data), 1)
        try:
            for at in range(0, len(data), size):
                time.sleep(drip["interval"] if at else 0)
                self.wfile.write(data[at:at + size])
        except OSError:
            self.close_connection = True
            return False
        return True

    def play(self, step):
        time.sleep(step.get("delay", 0))
        if step.get("drop"):
            self.close_connection = True
            return
        body = pathlib.Path(step["body_file"]).read_bytes() if "body_file" in step else step.get("body", "")
        headers = dict(step.get("headers", {}), **({"Location": step["location"]} if "location" in step else {}))
        self.answer(step.get("status", 302 if "location" in step else 200), body, headers, step)

    def serve_file(self):
        base = os.path.realpath(self.server.config.get("root", "/nonexistent"))
        path = os.path.realpath(os.path.join(base, urllib.parse.unquote(self.path.split("?", 1)[0]).lstrip("/")))
        if not path.startswith(base + os.sep) or not os.path.isfile(path):
            return self.answer(404, "not found\n")
        self.answer(200, pathlib.Path(path).read_bytes(), {"Content-Type": "application/octet-stream"})

    def do_GET(self):
        if self.path.startswith(("http://", "https://")) and "proxy" in self.server.config:
            url = urllib.parse.urlsplit(self.path)
            lines = ["GET %s HTTP/1.1" % urllib.parse.urlunsplit(("", "", url.path or "/", url.query, ""))]
            lines += ["%s: %s" % (k, v) for k, v in self.headers.items()
                      if k.lower() not in ("proxy-authorization", "proxy-connection", "connection")]
            request = ("\r\n".join(lines + ["Connection: close"]) + "\r\n\r\n").encode()
            return self.relay("%s:%d" % (url.hostname, url.port or (443 if url.scheme == "https" else 80)), request)
        user, authorized = self.authorized(self.server.config["auth"]) if "auth" in self.server.config else (None, None)
        self.record(user, authorized)
        if authorized is False:
            return self.answer(401, "unauthorized\n", {"WWW-Authenticate": self.challenge(self.server.config["auth"])})
        step = self.server.step(self.path)
        self.play(step) if step is not None else self.serve_file()

    def authorized(self, auth):
        """The user the request names and whether its credentials are right, by Basic or Digest (qop auth)."""
        users, realm = auth.get("users", {}), auth.get("realm", "updates")
        header = self.headers.get("Authorization", "")
        if auth.get("scheme", "Basic") == "Basic":
            user, password = basic_user(header)
            return user, user is not None and users.get(user) == password
        params = parse_auth_params(header[7:]) if header.startswith("Digest ") else {}
        user = params.get("username")
        if user not in users or params.get("nonce") not in self.server.nonces or params.get("realm") != realm \
                or params.get("uri") != self.path:
            return user, False
        ha1, ha2 = md5("%s:%s:%s" % (user, realm, users[user])), md5("%s:%s" % (self.command, params["uri"]))
        expected = md5(":".join([ha1, params["nonce"], params.get("nc", ""), params.get("cnonce", ""), "auth", ha2]))
        return user, params.get("response") == expected

    def challenge(self, auth):
        realm = auth.get("realm", "updates")
        if auth.get("scheme", "Basic") == "Basic":
            return 'Basic realm="%s"' % realm
        nonce = os.urandom(16).hex()
        self.server.nonces.add(nonce)
        return 'Digest realm="%s", qop="auth", nonce="%s", opaque="%s", algorithm=MD5' % (realm, nonce,
                                                                                         os.urandom(8).hex())

    def do_CONNECT(self):
        if "proxy" not in self.server.config:
            self.record()
            return self.answer(405, "not a proxy\n")
        self.relay(self.path)

    def relay(self, hostport, request=None):
        """As the proxy: a tunnel to `hostport` (its address from "hosts"), or `request` sent there."""
        proxy = self.server.config["proxy"]
        users = proxy.get("users")
        user, password = basic_user(self.headers.get("Proxy-Authorization"))
        allowed = not users or (user is not None and users.get(user) == password)
        self.record(*((user, allowed) if users else ()))
        if not allowed:
            return self.answer(407, "proxy authentication required\n",
                               {"Proxy-Authenticate": 'Basic realm="%s"' % proxy.get("realm", "proxy")})
        host, _, port = proxy.get("hosts", {}).get(hostport, hostport).rpartition(":")
        try:
            upstream = socket.create_connection((host.strip("[]"), int(port)), timeout=10)
        except OSError as e:
            return self.answer(502, "cannot connect: %s\n" % e)
        self.close_connection = True
        if request:
            upstream.sendall(request)
        else:
            self.send_response(200, "Connection established")
            self.end_headers()
        sockets = [self.connection, upstream]
        with upstream:
            while True:
                readable = select.select(sockets, [], [], 30)[0]
                if not readable:
                    return
                for s in readable:
                    data = s.recv(65536)
                    if not data:
                        return
                    (upstream if s is self.connection else self.connection).sendall(data)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, config):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.config = config
        self.routes = {path: steps if isinstance(steps, list) else [steps] for path, steps in
                       config.get("routes", {}).items()}
        self.counts = dict.fromkeys(self.routes, 0)
        self.nonces = set()
        self.log_lock = threading.Lock()
        super().__init__(address, Handler)
        if "tls" in config:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(config["tls"]["cert"], config["tls"]["key"])
            self.socket = context.wrap_socket(self.socket, server_side=True, do_handshake_on_connect=False)

    def step(self, target):
        """The next step for the path (with its query, else without), the last one repeating."""
        path = target if target in self.routes else target.split("?", 1)[0]
        if path not in self.routes:
            return None
        with self.log_lock:
            self.counts[path] += 1
            return self.routes[path][min(self.counts[path], len(self.routes[path])) - 1]

    def handle_error(self, request, client_address):
        # Clients that fail the TLS handshake or hang up are part of the tests.
        pass


def announce(ready, port):
    if ready:
        with open(ready + ".part", "w") as f:
            f.write("%d\n" % port)
        os.rename(ready + ".part", ready)


def never_accept(port, bind, ready):
    """Its queue filled by its own connection, the kernel drops every further connection attempt."""
    listener = socket.socket(socket.AF_INET6 if ":" in bind else socket.AF_INET)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((bind, port))
    listener.listen(0)
    filler = socket.create_connection(listener.getsockname()[:2])
    announce(ready, listener.getsockname()[1])
    signal.sigwait([signal.SIGTERM])
    filler.close()


def serve(config, port=0, bind="127.0.0.1", ready=None):
    if config.get("never_accept"):
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM])
        return never_accept(port, bind, ready)
    server = Server((bind, port), config)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    announce(ready, server.server_address[1])
    try:
        server.serve_forever(poll_interval=0.05)
    finally:
        server.server_close()


class ScriptedServer:
    def __init__(self, root, config, port, bind="127.0.0.1"):
        self.root = root
        self.dir = tempfile.mkdtemp(prefix="httpserver-", dir=root.base)
        self.log = os.path.join(self.dir, "requests")
        with open(os.path.join(self.dir, "config.json"), "w") as f:
            json.dump(dict(config, log=self.log), f)
        ready = os.path.join(self.dir, "ready")
        self.proc = root.start_server([sys.executable, os.path.abspath(__file__), "--config",
                                       os.path.join(self.dir, "config.json"), "--port", str(port), "--bind", bind,
                                       "--ready", ready], ready_file=ready)

    def requests(self):
        log = pathlib.Path(self.log)
        return [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []

    def paths(self, authorized=None):
        return [r["path"] for r in self.requests() if authorized is None or r["authorized"] == authorized]

    def stop(self):
        self.root.stop_server(self.proc)


def trust_ca(root, certs):
    root.write_inside("/etc/ssl/certs/ca-certificates.crt", pathlib.Path(certs["ca"]).read_text())


def main(argv):
    if argv[:1] == ["make-certs"] and len(argv) == 2:
        make_certs(argv[1])
        return 0
    options = dict(zip(argv[::2], argv[1::2]))
    if len(argv) % 2 or not {"--config"} <= set(options) <= {"--config", "--port", "--bind", "--ready"}:
        sys.exit(__doc__)
    serve(json.loads(pathlib.Path(options["--config"]).read_text()), int(options.get("--port", 0)),
          options.get("--bind", "127.0.0.1"), options.get("--ready"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
