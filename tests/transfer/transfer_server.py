#!/usr/bin/env python3
"""Runs a transfer test program against loopback servers of its own.

Makes a test certificate authority and a server certificate it signed, and a
second, unrelated authority with its own server certificate; starts on
ephemeral loopback ports an HTTPS server trusted through the test authority,
one whose certificate the test authority did not sign, a plain HTTP server
(which also serves an automatic proxy configuration script) and an HTTP
CONNECT proxy that records every request line; then runs the program given after
"--" with their addresses in the environment and returns its exit code.

With --wine the paths handed to the program are Windows paths (Z:\\...), for a
Windows program run under Wine, which shares this host's loopback.
"""

import argparse
import http.server
import os
import random
import select
import shutil
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time

# The name the proxy alone resolves: a reserved name that never resolves on
# its own, so a transfer to it that works went through the proxy.
PROXY_ONLY_HOST = "update.tessary.example"
BIG_SIZE = 3 * 1024 * 1024 + 123
SMALL_BODY = b"[Main]\r\nstatus=ok\r\n"


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_authority(folder, name):
    """A CA and a server certificate it signed, RSA as every TLS stack takes."""
    ca_key, ca_pem = f"{folder}/{name}-ca.key", f"{folder}/{name}-ca.pem"
    key, csr, pem = (f"{folder}/{name}-server.{x}" for x in ("key", "csr", "pem"))
    ext = f"{folder}/{name}-server.ext"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca_pem,
            "-days", "2", "-subj", f"/CN=Tessary {name} test authority",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(ext, "w") as f:
        f.write(f"subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:{PROXY_ONLY_HOST}\n"
                "basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
            "-subj", "/CN=127.0.0.1")
    openssl("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
            "-days", "2", "-extfile", ext, "-out", pem)
    return ca_pem, pem, key


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path.split("?")[0]
        if path == "/big":
            self.answer(200, self.server.big)
        elif path == "/small":
            self.answer(200, SMALL_BODY)
        elif path == "/empty":
            self.answer(200, b"")
        elif path == "/missing":
            self.answer(404, b"<html>not here</html>")
        elif path == "/redirect":
            self.answer(302, b"moved", [("Location", "/hop")])
        elif path == "/hop":
            self.answer(301, b"moved again", [("Location", "/small")])
        elif path == "/proxy.pac" and self.server.pac:
            self.answer(200, self.server.pac.encode(),
                        [("Content-Type", "application/x-ns-proxy-autoconfig")])
        elif path in ("/trickle", "/stall"):
            self.slow_body(path == "/stall")
        else:
            self.answer(404, b"")

    def slow_body(self, stall):
        """A long body: 64 KB at once, then a block every 50 ms (or nothing
        more at all), until the client goes or a minute has passed."""
        self.send_response(200)
        self.send_header("Content-Length", str(100 * 1024 * 1024))
        self.send_header("Connection", "close")
        self.end_headers()
        block = bytes(range(256)) * 16
        try:
            for _ in range(16):
                self.wfile.write(block)
            self.wfile.flush()
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                time.sleep(0.05)
                if not stall:
                    self.wfile.write(block)
                    self.wfile.flush()
        except OSError:
            pass


class Server(http.server.ThreadingHTTPServer):
    """HTTPS with a context, plain HTTP without; pac: the automatic proxy
    configuration script it serves as /proxy.pac, if any."""
    daemon_threads = True

    def __init__(self, context, big, pac=None):
        self.context = context
        self.big = big
        self.pac = pac
        super().__init__(("127.0.0.1", 0), Handler)

    def finish_request(self, request, client_address):
        # The handshake on the connection's own thread: a client that
        # refuses the certificate ends only its own connection.
        if self.context:
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except OSError:
                return
        self.RequestHandlerClass(request, client_address, self)

    def handle_error(self, request, client_address):
        pass


class ProxyHandler(socketserver.BaseRequestHandler):
    """An HTTP CONNECT proxy: records the request line, resolves the one
    name it knows to loopback and relays bytes both ways."""

    def handle(self):
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 65536:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            head += chunk
        line = head.split(b"\r\n", 1)[0].decode("latin-1")
        with self.server.log_lock, open(self.server.log, "a") as log:
            log.write(line + "\n")
        parts = line.split()
        if len(parts) != 3 or parts[0] != "CONNECT":
            self.request.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
            return
        host, _, port = parts[1].rpartition(":")
        if host not in (PROXY_ONLY_HOST, "127.0.0.1", "localhost"):
            self.request.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        try:
            upstream = socket.create_connection(("127.0.0.1", int(port)), timeout=10)
        except (OSError, ValueError):
            self.request.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        with upstream:
            upstream.settimeout(None)
            self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            rest = head.split(b"\r\n\r\n", 1)[1]
            if rest:
                upstream.sendall(rest)
            self.relay(self.request, upstream)

    @staticmethod
    def relay(a, b):
        sockets = [a, b]
        while True:
            readable, _, _ = select.select(sockets, [], [], 60)
            if not readable:
                return
            for s in readable:
                try:
                    data = s.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                (b if s is a else a).sendall(data)


class ProxyServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, log):
        self.log = log
        self.log_lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), ProxyHandler)

    def handle_error(self, request, client_address):
        pass


def serve(server):
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", action="store_true",
                        help="hand the program Windows paths (it runs under Wine)")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no test program given after --")

    def for_program(path):
        return "Z:" + path.replace("/", "\\") if args.wine else path

    work = tempfile.mkdtemp(prefix="tessary-transfer-")
    try:
        trusted_ca, trusted_pem, trusted_key = make_authority(work, "trusted")
        _, rogue_pem, rogue_key = make_authority(work, "rogue")

        # A body no compression or pattern could pass for: pseudo-random
        # bytes from a fixed seed.
        big = random.Random(8016).randbytes(BIG_SIZE)
        big_file = os.path.join(work, "big.expected")
        with open(big_file, "wb") as f:
            f.write(big)

        def context(pem, key):
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(pem, key)
            return ctx

        trusted = Server(context(trusted_pem, trusted_key), big)
        rogue = Server(context(rogue_pem, rogue_key), big)
        proxy_log = os.path.join(work, "proxy.log")
        open(proxy_log, "w").close()
        proxy = ProxyServer(proxy_log)
        proxy_port = serve(proxy)
        # A configuration script that sends only the proxy-only name through
        # the proxy.
        pac = ("function FindProxyForURL(url, host) {\n"
               f"  if (host == \"{PROXY_ONLY_HOST}\") return \"PROXY 127.0.0.1:{proxy_port}\";\n"
               "  return \"DIRECT\";\n}\n")
        plain = Server(None, big, pac)

        downloads = os.path.join(work, "downloads")
        os.mkdir(downloads)
        env = dict(os.environ)
        # The tests decide about proxies themselves.
        for name in ("http_proxy", "https_proxy", "all_proxy", "no_proxy"):
            env.pop(name, None)
            env.pop(name.upper(), None)
        if args.wine:
            env["TRANSFER_UNDER_WINE"] = "1"
        env.update({
            "TRANSFER_HTTPS_PORT": str(serve(trusted)),
            "TRANSFER_ROGUE_PORT": str(serve(rogue)),
            "TRANSFER_PROXY_PORT": str(proxy_port),
            "TRANSFER_HTTP_PORT": str(serve(plain)),
            "TRANSFER_PROXY_ONLY_HOST": PROXY_ONLY_HOST,
            "TRANSFER_CA_FILE": for_program(trusted_ca),
            "TRANSFER_PROXY_LOG": for_program(proxy_log),
            "TRANSFER_BIG_FILE": for_program(big_file),
            "TRANSFER_DOWNLOAD_DIR": for_program(downloads),
        })
        result = subprocess.run(command, env=env)
        for server in (trusted, rogue, proxy, plain):
            server.shutdown()
            server.server_close()
        return result.returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
