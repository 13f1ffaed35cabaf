#!/usr/bin/python3
"""A scripted HTTP(S) test server and forward proxy, Python stdlib only.

    httpserver.py --config CONFIG.json [--port N] [--bind ADDR] [--ready FILE]   (FILE gets the port)
    httpserver.py make-certs DIR   (ca.pem, server.pem and server.key for localhost)

CONFIG: "root" (directory served), "log" (a JSON line per request), "tls" {"cert", "key"},
"auth" {"scheme": "Basic" | "Digest", "realm", "users", "paths"}, "proxy" {"users", "realm", "hosts"}
(a forward proxy; "hosts" maps host:port to addr:port), "never_accept" (connect timeouts), and "routes"
{path: step or [step, ...]}: the n-th request to a path is answered by the n-th step, the last one
repeating. A step has "status", "body", "body_file", "headers", "location", "delay", "drop", "truncate"
(send this many bytes of the body), "drip"/"drip_head" {"bytes", "interval"} or "endless".
"""

import argparse
import base64
import hashlib
import http.server
import itertools
import json
import os
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
    p = {name: os.path.join(directory, name) for name in ("ca.pem", "ca.key", "server.pem", "server.key", "csr", "ext")}

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p["ca.key"], "-out", p["ca.pem"], "-days", "2",
            "-subj", "/CN=Updater Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", p["server.key"], "-out", p["csr"],
            "-subj", "/CN=localhost")
    with open(p["ext"], "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", p["csr"], "-CA", p["ca.pem"], "-CAkey", p["ca.key"], "-CAcreateserial",
            "-out", p["server.pem"], "-days", "2", "-extfile", p["ext"])
    return {"ca": p["ca.pem"], "cert": p["server.pem"], "key": p["server.key"]}


AUTH_PARAM = re.compile(r'(\w+)\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^\s,]+))')


def parse_auth_params(text):
    return {m.group(1).lower(): m.group(2) if m.group(2) is not None else m.group(3)
            for m in AUTH_PARAM.finditer(text)}


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def basic_user(header):
    if not header or not header.startswith("Basic "):
        return None, None
    try:
        user, _, password = base64.b64decode(header[6:].strip()).decode().partition(":")
    except (ValueError, UnicodeDecodeError):
        return None, None
    return user, password


class Authenticator:
    def __init__(self, config):
        self.scheme = config.get("scheme", "Basic")
        self.realm = config.get("realm", "updates")
        self.users = config.get("users", {})
        self.paths = config.get("paths", ["/"])
        self.nonces = set()
        self.lock = threading.Lock()

    def applies(self, path):
        return any(path.startswith(prefix) for prefix in self.paths)

    def challenge(self):
        if self.scheme == "Basic":
            return 'Basic realm="%s"' % self.realm
        nonce = os.urandom(16).hex()
        with self.lock:
            self.nonces.add(nonce)
        return 'Digest realm="%s", qop="auth", nonce="%s", opaque="%s", algorithm=MD5' % (
            self.realm, nonce, os.urandom(8).hex())

    def check(self, header, method, target):
        if self.scheme == "Basic":
            user, password = basic_user(header)
            return user, user is not None and self.users.get(user) == password
        if not header or not header.startswith("Digest "):
            return None, False
        params = parse_auth_params(header[7:])
        user = params.get("username")
        with self.lock:
            known = params.get("nonce") in self.nonces
        if user not in self.users or not known or params.get("realm") != self.realm or params.get("uri") != target:
            return user, False
        ha1 = md5("%s:%s:%s" % (user, self.realm, self.users[user]))
        ha2 = md5("%s:%s" % (method, params["uri"]))
        expected = md5(":".join([ha1, params["nonce"], params.get("nc", ""), params.get("cnonce", ""), "auth", ha2]))
        return user, params.get("response") == expected


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
        log = self.server.config.get("log")
        if not log:
            return
        entry = {"method": self.command, "path": self.path, "headers": dict(self.headers.items()),
                 "connection": self.connection_id, "client_port": self.client_address[1],
                 "user": user, "authorized": authorized}
        with self.server.log_lock:
            with open(log, "a") as f:
                f.write(json.dumps(entry, sort_keys=True) + "\n")

    def answer(self, status, body=b"", headers=None, truncate=None, drip=None, drip_head=None):
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        sent = {k.lower() for k in (headers or {})}
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if "content-length" not in sent:
            self.send_header("Content-Length", str(len(body)))
        if self.close_connection or truncate is not None:
            self.send_header("Connection", "close")
        if drip_head:
            self._headers_buffer.append(b"\r\n")
            head, self._headers_buffer = b"".join(self._headers_buffer), []
            if not self.drip(head, drip_head["bytes"], drip_head["interval"]):
                return
        else:
            self.end_headers()
        if truncate is not None:
            self.wfile.write(body[:truncate])
            self.wfile.flush()
            self.close_connection = True
            return
        if drip:
            self.drip(body, drip["bytes"], drip["interval"])
            return
        self.wfile.write(body)

    def drip(self, data, size, interval):
        try:
            for at in range(0, len(data), size):
                if at:
                    time.sleep(interval)
                self.wfile.write(data[at:at + size])
                self.wfile.flush()
        except OSError:
            self.close_connection = True
            return False
        return True

    def endless(self, status):
        self.send_response(status)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        block = b"x" * 65536
        try:
            while True:
                self.wfile.write(block)
        except OSError:
            pass

    def play(self, step):
        if step.get("delay"):
            time.sleep(step["delay"])
        if step.get("drop"):
            self.close_connection = True
            return
        headers = dict(step.get("headers", {}))
        if "location" in step:
            headers["Location"] = step["location"]
        status = step.get("status", 302 if "location" in step else 200)
        if step.get("endless"):
            return self.endless(status)
        body = step.get("body", "")
        if "body_file" in step:
            with open(step["body_file"], "rb") as f:
                body = f.read()
        self.answer(status, body, headers, step.get("truncate"), step.get("drip"), step.get("drip_head"))

    def serve_file(self):
        root = self.server.config.get("root")
        if not root:
            return self.answer(404, "not found\n")
        relative = urllib.parse.unquote(self.path.split("?", 1)[0]).lstrip("/")
        base = os.path.realpath(root)
        path = os.path.realpath(os.path.join(base, relative))
        if (path != base and not path.startswith(base + os.sep)) or not os.path.isfile(path):
            return self.answer(404, "not found\n")
        with open(path, "rb") as f:
            self.answer(200, f.read(), {"Content-Type": "application/octet-stream"})

    def do_GET(self):
        if self.headers.get("Connection", "").lower() == "close":
            self.close_connection = True
        if self.path.startswith(("http://", "https://")) and "proxy" in self.server.config:
            return self.proxy_get()
        user, authorized = None, None
        auth = self.server.auth
        if auth and auth.applies(self.path):
            user, authorized = auth.check(self.headers.get("Authorization"), self.command, self.path)
            if not authorized:
                self.record(user, False)
                return self.answer(401, "unauthorized\n", {"WWW-Authenticate": auth.challenge()})
        self.record(user, authorized)
        step = self.server.step(self.path)
        if step is not None:
            return self.play(step)
        self.serve_file()

    def do_CONNECT(self):
        if "proxy" not in self.server.config:
            self.record()
            return self.answer(405, "not a proxy\n")
        if not self.proxy_authorized():
            return
        upstream = self.upstream(self.path)
        if not upstream:
            return
        self.send_response(200, "Connection established")
        self.end_headers()
        self.wfile.flush()
        self.relay(upstream)
        self.close_connection = True

    def upstream(self, hostport):
        host, _, port = self.server.config["proxy"].get("hosts", {}).get(hostport, hostport).rpartition(":")
        try:
            return socket.create_connection((host.strip("[]"), int(port)), timeout=10)
        except OSError as e:
            self.answer(502, "cannot connect: %s\n" % e)

    def proxy_authorized(self):
        proxy = self.server.config["proxy"]
        users = proxy.get("users")
        if not users:
            self.record()
            return True
        user, password = basic_user(self.headers.get("Proxy-Authorization"))
        ok = user is not None and users.get(user) == password
        self.record(user, ok)
        if not ok:
            self.answer(407, "proxy authentication required\n",
                        {"Proxy-Authenticate": 'Basic realm="%s"' % proxy.get("realm", "proxy")})
        return ok

    def proxy_get(self):
        if not self.proxy_authorized():
            return
        url = urllib.parse.urlsplit(self.path)
        port = url.port or (443 if url.scheme == "https" else 80)
        target = url.path or "/"
        if url.query:
            target += "?" + url.query
        upstream = self.upstream("%s:%d" % (url.hostname, port))
        if not upstream:
            return
        lines = ["GET %s HTTP/1.1" % target]
        lines += ["%s: %s" % (k, v) for k, v in self.headers.items()
                  if k.lower() not in ("proxy-authorization", "proxy-connection", "connection")]
        lines.append("Connection: close")
        upstream.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        self.relay(upstream)
        self.close_connection = True

    def relay(self, upstream):
        sockets = [self.connection, upstream]
        with upstream:
            while True:
                readable, _, _ = select.select(sockets, [], [], 30)
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
        self.auth = Authenticator(config["auth"]) if "auth" in config else None
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
    fillers = [socket.create_connection(listener.getsockname()[:2])]
    announce(ready, listener.getsockname()[1])
    signal.sigwait([signal.SIGTERM])
    for s in fillers + [listener]:
        s.close()


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
        config = dict(config, log=self.log)
        with open(os.path.join(self.dir, "config.json"), "w") as f:
            json.dump(config, f)
        ready = os.path.join(self.dir, "ready")
        self.proc = root.start_server([sys.executable, os.path.abspath(__file__), "--config",
                                       os.path.join(self.dir, "config.json"), "--port", str(port), "--bind", bind,
                                       "--ready", ready], ready_file=ready)

    def requests(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [json.loads(line) for line in f]

    def paths(self, authorized=None):
        return [r["path"] for r in self.requests() if authorized is None or r["authorized"] == authorized]

    def stop(self):
        self.root.stop_server(self.proc)


def trust_ca(root, certs):
    with open(certs["ca"]) as f:
        root.write_inside("/etc/ssl/certs/ca-certificates.crt", f.read())


def main(argv):
    if argv[:1] == ["make-certs"] and len(argv) == 2:
        make_certs(argv[1])
        return 0
    parser = argparse.ArgumentParser(prog="httpserver.py")
    parser.add_argument("--config", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--ready")
    args = parser.parse_args(argv)
    with open(args.config) as f:
        config = json.load(f)
    serve(config, args.port, args.bind, args.ready)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
