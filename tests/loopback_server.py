#!/usr/bin/env python3
"""HTTP, HTTPS and proxy server on 127.0.0.1 for ca-import's tests and demo.

Started with a state directory, it makes (once) a test CA and a server
certificate for 127.0.0.1 and the authority's host, listens on free ports, prints
one JSON line naming them, and serves until its standard input closes, so it
never outlives the process that started it.

Listeners:
  http, https  the same routes, in clear and over TLS;
  expired, self_signed
               the same routes over TLS with a server certificate that has
               expired (issued by the test CA), or that signs itself;
  proxy        an HTTP proxy that tunnels CONNECT to the authority's host into
               the https listener, and forwards plain requests to the http one;
  silent       accepts connections and never says a word.

Routes (GET):
  /_status/CODE/...             that status with a small HTML page
  /_redirect/CODE/...?to=URL    that status with Location: URL
  /_noloc/CODE/...              that status without a Location
  /_chain/N/PATH                N redirects, then PATH
  /_loop/...                    redirects to itself, forever
  /_length/N/...                N bytes with a Content-Length
  /_chunked/N/...               N bytes, chunked
  /_short/N/...                 announces 2N bytes, sends N, closes
  /_reset/N/...                 announces 2N bytes, sends N, resets
  /_stall/...                   reads the request and never answers
  /_drip/...[?every=S]          announces 1000 bytes, sends one every S seconds (1)
  /_pace/N/...[?rate=R]         N bytes with a Content-Length, at R bytes a
                                second (2048)
  /_gzip/PATH                   the file at PATH gzipped, with
                                Content-Encoding: gzip unasked for
  /_garbage/...                 answers without a status line, then closes
  anything else                 the file under the docroot (query ignored)

Every request is appended as a JSON line to requests.log in the state dir.
"""

import argparse
import gzip
import http.server
import json
import os
import select
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

# Bounded waits: a stalled handler gives up long after any test has ended.
STALL_LIMIT_SECONDS = 120


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_tls_material(state, authority_host):
    made = ("server.pem", "expired.pem", "self-signed.pem")
    if all(os.path.exists(os.path.join(state, name)) for name in made):
        return
    host = authority_host.rsplit(":", 1)[0] if ":" in authority_host else authority_host
    kind = "IP" if host.replace(".", "").isdigit() else "DNS"
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    for name in ("ca", "other-ca"):
        openssl("req", "-x509", *ec, "-keyout", name + ".key", "-out", name + ".pem",
                "-days", "3650", "-subj", "/CN=ca-import loopback " + name,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=state)
    with open(os.path.join(state, "server.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1,%s:%s\n" % (kind, host) +
                  "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=127.0.0.1", cwd=state)
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "3650", "-extfile", "server.ext",
            "-out", "server.pem.part", cwd=state)
    # The same key and names, expired: openssl ca can date a certificate in
    # the past.
    with open(os.path.join(state, "expired.cnf"), "w") as config:
        config.write("[ca]\ndefault_ca = expired\n[expired]\ndatabase = index.txt\n"
                     "new_certs_dir = .\nserial = serial\ndefault_md = sha256\n"
                     "policy = anything\n[anything]\ncommonName = supplied\n")
    open(os.path.join(state, "index.txt"), "w").close()
    with open(os.path.join(state, "serial"), "w") as serial:
        serial.write("1000\n")
    openssl("ca", "-batch", "-config", "expired.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
            "-in", "server.csr", "-startdate", "20200101000000Z", "-enddate", "20200201000000Z",
            "-extfile", "server.ext", "-notext", "-out", "expired.pem", cwd=state)
    openssl("req", "-x509", "-key", "server.key", "-subj", "/CN=127.0.0.1", "-days", "3650",
            "-addext", "subjectAltName=IP:127.0.0.1", "-out", "self-signed.pem", cwd=state)
    os.rename(os.path.join(state, "server.pem.part"), os.path.join(state, "server.pem"))


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, handler, tls=None):
        super().__init__(("127.0.0.1", 0), handler)
        self.tls = tls

    def finish_request(self, request, client_address):
        # The handshake happens here, in the connection's own thread, so a
        # client that stalls or fails it holds up nobody else.
        if self.tls is not None:
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError):
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "loopback"
    config = None

    def log_message(self, *args):
        pass

    def record(self):
        entry = {"method": self.command, "path": self.path,
                 "tls": self.server.tls is not None,
                 "headers": {k.lower(): v for k, v in self.headers.items()}}
        with self.config["lock"]:
            with open(self.config["log"], "a") as log:
                log.write(json.dumps(entry) + "\n")

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_bytes(self, count):
        block = b"x" * 65536
        while count > 0:
            part = block[:min(count, len(block))]
            self.wfile.write(part)
            count -= len(part)

    def do_GET(self):
        self.record()
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.split("/")
        route = parts[1] if len(parts) > 1 else ""
        argument = parts[2] if len(parts) > 2 else ""
        query = urllib.parse.parse_qs(url.query)
        try:
            if route == "_status":
                page = b"<html><body>Error %s</body></html>\n" % argument.encode()
                self.reply(int(argument), page, [("Content-Type", "text/html")])
            elif route == "_redirect":
                self.reply(int(argument), b"moved\n", [("Location", query["to"][0])])
            elif route == "_noloc":
                self.reply(int(argument), b"moved, but not saying where\n")
            elif route == "_chain":
                rest = "/" + "/".join(parts[3:])
                count = int(argument)
                if count == 0:
                    self.serve_file(rest)
                else:
                    self.reply(302, b"", [("Location", "/_chain/%d%s" % (count - 1, rest))])
            elif route == "_loop":
                self.reply(302, b"", [("Location", url.path)])
            elif route == "_length":
                self.send_response(200)
                self.send_header("Content-Length", argument)
                self.end_headers()
                self.send_bytes(int(argument))
            elif route == "_chunked":
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                left = int(argument)
                while left > 0:
                    size = min(left, 65536)
                    self.wfile.write(b"%x\r\n" % size + b"y" * size + b"\r\n")
                    left -= size
                self.wfile.write(b"0\r\n\r\n")
            elif route in ("_short", "_reset"):
                self.send_response(200)
                self.send_header("Content-Length", str(2 * int(argument)))
                self.end_headers()
                self.send_bytes(int(argument))
                self.wfile.flush()
                if route == "_reset":
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                               struct.pack("ii", 1, 0))
                self.close_connection = True
            elif route == "_gzip":
                path = "/" + "/".join(parts[2:])
                full = os.path.join(self.config["docroot"], path.lstrip("/"))
                with open(full, "rb") as f:
                    body = gzip.compress(f.read())
                self.reply(200, body, [("Content-Encoding", "gzip")])
            elif route == "_garbage":
                self.wfile.write(b"this is not HTTP\n")
                self.close_connection = True
            elif route == "_stall":
                time.sleep(STALL_LIMIT_SECONDS)
                self.close_connection = True
            elif route == "_drip":
                self.send_response(200)
                self.send_header("Content-Length", "1000")
                self.end_headers()
                every = float(query.get("every", ["1"])[0])
                for _ in range(int(STALL_LIMIT_SECONDS / every)):
                    self.wfile.write(b"z")
                    self.wfile.flush()
                    time.sleep(every)
                self.close_connection = True
            elif route == "_pace":
                self.send_response(200)
                self.send_header("Content-Length", argument)
                self.end_headers()
                left = int(argument)
                slice_size = max(1, int(query.get("rate", ["2048"])[0]) // 10)
                started = time.monotonic()
                sent = 0
                while left > 0:
                    part = min(left, slice_size)
                    self.wfile.write(b"p" * part)
                    self.wfile.flush()
                    left -= part
                    sent += 1
                    time.sleep(max(0.0, started + sent / 10 - time.monotonic()))
            else:
                self.serve_file(url.path)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    def serve_file(self, path):
        root = os.path.realpath(self.config["docroot"])
        full = os.path.realpath(os.path.join(root, urllib.parse.unquote(path).lstrip("/")))
        if not full.startswith(root + os.sep) or not os.path.isfile(full):
            self.reply(404, b"<html><body>Not found</body></html>\n",
                       [("Content-Type", "text/html")])
            return
        with open(full, "rb") as f:
            body = f.read()
        self.reply(200, body, [("Content-Type", "application/octet-stream")])


class ProxyHandler(Handler):
    def do_GET(self):
        # A proxied plain request names an absolute URL: forward it to the
        # http listener as it is.
        self.record()
        url = urllib.parse.urlsplit(self.path)
        target = url.path + ("?" + url.query if url.query else "")
        upstream = socket.create_connection(("127.0.0.1", self.config["http_port"]))
        upstream.sendall(("GET %s HTTP/1.0\r\nHost: %s\r\n\r\n"
                          % (target, url.netloc)).encode())
        response = b""
        while True:
            data = upstream.recv(65536)
            if not data:
                break
            response += data
        upstream.close()
        self.wfile.write(response)
        self.close_connection = True

    def do_CONNECT(self):
        self.record()
        host = self.config["authority_host"]
        if self.path != (host if ":" in host else host + ":443"):
            self.reply(403, b"not tunnelling there\n")
            return
        upstream = socket.create_connection(("127.0.0.1", self.config["https_port"]))
        self.send_response(200, "Connection established")
        self.end_headers()
        self.tunnel(self.connection, upstream)
        self.close_connection = True

    @staticmethod
    def tunnel(client, upstream):
        sockets = [client, upstream]
        deadline = time.monotonic() + STALL_LIMIT_SECONDS
        try:
            while time.monotonic() < deadline:
                ready, _, _ = select.select(sockets, [], [], 1)
                for sock in ready:
                    data = sock.recv(65536)
                    if not data:
                        return
                    (upstream if sock is client else client).sendall(data)
        except OSError:
            pass
        finally:
            upstream.close()


def silent_listener():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    held = []

    def accept_forever():
        while True:
            connection, _ = listener.accept()
            held.append(connection)

    threading.Thread(target=accept_forever, daemon=True).start()
    return listener.getsockname()[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state", required=True, help="directory for keys and the log")
    parser.add_argument("--docroot", required=True, help="directory of files to serve")
    parser.add_argument("--authority-host", default="pki.example.org",
                        help="host of the default URLs: in the server certificate, "
                             "and the one place the proxy tunnels to")
    options = parser.parse_args()

    state = os.path.abspath(options.state)
    make_tls_material(state, options.authority_host)
    def tls_with(certificate):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(state, certificate),
                                os.path.join(state, "server.key"))
        return context

    config = {"docroot": os.path.abspath(options.docroot), "lock": threading.Lock(),
              "authority_host": options.authority_host,
              "log": os.path.join(state, "requests.log")}
    Handler.config = config
    plain = Server(Handler)
    secure = Server(Handler, tls_with("server.pem"))
    expired = Server(Handler, tls_with("expired.pem"))
    self_signed = Server(Handler, tls_with("self-signed.pem"))
    proxy = Server(ProxyHandler)
    config["http_port"] = plain.server_address[1]
    config["https_port"] = secure.server_address[1]
    for server in (plain, secure, expired, self_signed, proxy):
        threading.Thread(target=server.serve_forever, daemon=True).start()

    print(json.dumps({"http": plain.server_address[1], "https": secure.server_address[1],
                      "expired": expired.server_address[1],
                      "self_signed": self_signed.server_address[1],
                      "proxy": proxy.server_address[1], "silent": silent_listener(),
                      "ca": os.path.join(state, "ca.pem"),
                      "other_ca": os.path.join(state, "other-ca.pem"),
                      "log": config["log"]}), flush=True)
    sys.stdin.read()
    os._exit(0)


if __name__ == "__main__":
    main()
