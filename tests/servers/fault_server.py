#!/usr/bin/env python3
"""Fault-injecting HTTP/HTTPS server for the shell's tests (Python standard library and openssl only).

Usage
    python3 tests/servers/fault_server.py --state-dir DIR [--max-seconds 3600]
    (or: bash tests/servers/start.sh DIR / bash tests/servers/stop.sh DIR, which ctest runs as the
    fixture "fault_server" around unit_tests and e2e_tests)

It listens on 127.0.0.1 only, on free ports, and when every listener is up writes DIR/ports:
    control=P    the control listener (configure routes, read counters); never counted or logged
    http=P       plain HTTP
    proxy=P      plain HTTP as well; point a client's proxy here and the log tells the routes apart
    https=P      HTTPS, self-signed certificate for 127.0.0.1 and localhost (unknown authority only)
    expired=P    HTTPS, self-signed, valid names, expired in 2021
    mismatch=P   HTTPS, self-signed, issued for "other.invalid" (name mismatch)
The certificates are made at start with openssl in DIR. The Windows tests read the file through
Wine's Z: drive; tests/unit/net_test_server.h is a header-only client for them.

Every data listener serves the same routes. Requests in proxy form ("GET http://host:port/p HTTP/1.1")
are served like "GET /p", so the server doubles as an HTTP proxy and the log shows which route a
request took. Unknown paths answer 404 "not found".

Control (GET on the control port; values are URL-encoded):
    /set?path=/p&status=200           route for /p (query strings of requests are ignored for routing)
        &body=TEXT                    body text (UTF-8)
        &size=N                       N bytes of the pattern byte(i) = i % 251 (after body, if any)
        &suffix=TEXT                  text after the pattern
        &file=/abs/path               or the bytes of a Linux file (sent with sendfile on plain HTTP)
        &length=0                     no Content-Length: the body ends when the server closes
        &drop_after=K                 full Content-Length, K body bytes, then a TCP reset (SO_LINGER 0)
        &drop_wait_ms=W               pause before that reset (default 200)
        &close_after=K                full Content-Length, K body bytes, then a normal close (FIN)
        &chunk=C&delay_ms=D           send the body in C-byte pieces with D ms between them
        &declare=TEXT                 send "Content-Length: TEXT" whatever the body is (a false or
                                      huge length); the body is sent as it is, then the connection closes
        &endless=1                    a pattern body that never ends (no Content-Length unless declared):
                                      it goes on until the client stops reading (at most 8 GiB)
        &chunked=1                    Transfer-Encoding: chunked, one chunk per piece, no Content-Length
        &close=1                      close the connection after the response (normally keep-alive)
        &hold=1                       send the head, then hold the body until /release for the path
                                      (at most 300 s), so a test decides when the body comes
        &silent=1                     answer nothing: hold the connection until /release for the path
                                      (at most 300 s), then close it
    /reset_next?count=N               reset (TCP RST) the next N accepted data connections at once
    /release?path=/p                  let the held bodies of /p go (now and for later requests)
    /reset                            forget all routes, counters and the log
    /connections                      decimal count of TCP connections accepted on the data listeners
    /log                              one line per request: listener TAB request line TAB User-Agent
    /hits?path=/p                     decimal count of requests for /p (any query)
    /posts?path=/p                    one line per request with a body (Content-Length, at most 1 MiB
                                      kept) for /p: its X-Quillmarsh-Mac header TAB the body in hex
Prefer paths of your own over /reset: several test programs may share one server.
"""

import argparse
import os
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

MAX_HEADER_LINES = 200
MAX_REQUESTS_PER_CONNECTION = 10000
ENDLESS_BYTES = 8 << 30  # an "endless" body still ends here, should a client never stop reading
MAX_REQUEST_BODY = 1024 * 1024


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.routes = {}
        self.connections = 0
        self.log = []
        self.hits = {}
        self.posts = {}
        self.reset_next = 0
        self.releases = {}

    def release_event(self, path):
        with self.lock:
            return self.releases.setdefault(path, threading.Event())

    def reset(self):
        with self.lock:
            self.reset_next = 0
            for event in self.releases.values():
                event.set()
            self.releases = {}
            self.routes = {}
            self.connections = 0
            self.log = []
            self.hits = {}
            self.posts = {}


STATE = State()


def pattern_chunk(offset, length):
    # byte(i) = i % 251; 251 is prime, so misplaced chunks never line up by accident
    start = offset % 251
    reps = (start + length) // 251 + 2
    block = bytes(range(251)) * reps
    return block[start:start + length]


def body_piece(prefix, filler, suffix, offset, length):
    """Bytes [offset, offset + length) of prefix + pattern(filler) + suffix."""
    out = b""
    if offset < len(prefix):
        out += prefix[offset:offset + length]
    start = max(offset - len(prefix), 0)
    want = length - len(out)
    if want > 0 and start < filler:
        n = min(want, filler - start)
        out += pattern_chunk(start, n)
    start = max(offset + len(out) - len(prefix) - filler, 0)
    want = length - len(out)
    if want > 0 and start < len(suffix):
        out += suffix[start:start + want]
    return out


def split_target(target):
    """Request target (origin or absolute form) -> path without query."""
    if target.startswith("http://") or target.startswith("https://"):
        parsed = urllib.parse.urlsplit(target)
        path = parsed.path or "/"
    else:
        path = target
    return path.split("?", 1)[0]


def reset_connection(sock):
    # SO_LINGER with a zero time-out turns close() into a TCP RST: a normal close mid-body looks like
    # a complete body to some HTTP clients.
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    try:
        sock.close()  # on TLS too: the socket goes without close_notify, as a broken link would
    except OSError:
        pass


class DataHandler(socketserver.BaseRequestHandler):
    listener = "http"
    tls = None

    def setup(self):
        with STATE.lock:
            STATE.connections += 1
            refuse = STATE.reset_next > 0
            if refuse:
                STATE.reset_next -= 1
        if refuse:
            reset_connection(self.request)
            self.request = None
            return
        if self.tls is not None:
            self.request.settimeout(30)
            try:
                self.request = self.tls.wrap_socket(self.request, server_side=True)
            except (ssl.SSLError, OSError):
                self.request = None
                return
        else:
            self.request.settimeout(120)
        self.reader = self.request.makefile("rb")

    def handle(self):
        if self.request is None:
            return
        for _ in range(MAX_REQUESTS_PER_CONNECTION):
            try:
                line = self.reader.readline(65537)
            except (OSError, ValueError):
                return
            if not line:
                return
            headers = {}
            for _ in range(MAX_HEADER_LINES):
                h = self.reader.readline(65537)
                if not h or h in (b"\r\n", b"\n"):
                    break
                name, _, value = h.decode("latin-1").partition(":")
                headers[name.strip().lower()] = value.strip()
            request_line = line.decode("latin-1").rstrip("\r\n")
            parts = request_line.split(" ")
            target = parts[1] if len(parts) >= 2 else "/"
            path = split_target(target)
            body = None
            length = headers.get("content-length", "")
            if length.isdigit():
                # The body is read (so the next request starts where it should) and kept for /posts.
                if int(length) > MAX_REQUEST_BODY:
                    return
                try:
                    body = self.reader.read(int(length))
                except (OSError, ValueError):
                    return
            with STATE.lock:
                STATE.log.append("%s\t%s\t%s" % (self.listener, request_line, headers.get("user-agent", "")))
                STATE.hits[path] = STATE.hits.get(path, 0) + 1
                if body is not None:
                    STATE.posts.setdefault(path, []).append(
                        "%s\t%s" % (headers.get("x-quillmarsh-mac", ""), body.hex()))
                route = dict(STATE.routes.get(path, {}))
            if not self.respond(route, path):
                return

    def respond(self, route, path):
        """Sends one response; False when the connection must end."""
        sock = self.request
        if route.get("silent", "0") == "1":
            STATE.release_event(path).wait(300)
            return False
        status = int(route.get("status", "404"))
        prefix = route.get("body", "not found" if not route else "").encode("utf-8")
        suffix = route.get("suffix", "").encode("utf-8")
        filler = int(route.get("size", "0"))
        if "file" in route:
            size = os.path.getsize(route["file"])
        else:
            size = len(prefix) + filler + len(suffix)
        endless = route.get("endless", "0") == "1"
        chunked = route.get("chunked", "0") == "1"
        declared = route.get("declare")
        if endless:
            filler = ENDLESS_BYTES - len(prefix) - len(suffix)
            size = ENDLESS_BYTES
        with_length = route.get("length", "1") != "0" and not endless and not chunked
        close = route.get("close", "0") == "1" or not with_length or declared is not None
        drop_after = int(route["drop_after"]) if "drop_after" in route else None
        close_after = int(route["close_after"]) if "close_after" in route else None
        if close_after is not None:
            close = True
        head = ["HTTP/1.1 %d %s" % (status, "OK" if status == 200 else "Status")]
        head.append("Content-Type: application/octet-stream")
        if declared is not None:
            head.append("Content-Length: %s" % declared)
        elif with_length:
            head.append("Content-Length: %d" % size)
        if chunked:
            head.append("Transfer-Encoding: chunked")
        head.append("Connection: %s" % ("close" if close else "keep-alive"))
        try:
            sock.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
            if route.get("hold", "0") == "1":
                STATE.release_event(path).wait(300)
            limit = size if drop_after is None else min(drop_after, size)
            if close_after is not None:
                limit = min(close_after, size)
            chunk = int(route.get("chunk", "65536"))
            delay = int(route.get("delay_ms", "0")) / 1000.0
            if "file" in route and self.tls is None and delay == 0 and limit == size and not chunked:
                with open(route["file"], "rb") as f:
                    sock.sendfile(f, 0, limit)
            else:
                sent = 0
                f = open(route["file"], "rb") if "file" in route else None
                try:
                    while sent < limit:
                        n = min(chunk, limit - sent)
                        if f is not None:
                            piece = f.read(n)
                        else:
                            piece = body_piece(prefix, filler, suffix, sent, n)
                        if not piece:
                            break
                        if chunked:
                            sock.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
                        else:
                            sock.sendall(piece)
                        sent += len(piece)
                        if delay and sent < limit:
                            time.sleep(delay)
                finally:
                    if f is not None:
                        f.close()
                if chunked and not endless and drop_after is None and close_after is None:
                    sock.sendall(b"0\r\n\r\n")
            if drop_after is not None:
                # Let the client take what was sent and wait for more, as on a link that breaks: a
                # reset right behind the data can reach a client that then sees a plain end of body.
                time.sleep(int(route.get("drop_wait_ms", "200")) / 1000.0)
                reset_connection(sock)
                return False
        except (OSError, ValueError):
            return False
        if close:
            try:
                if isinstance(sock, ssl.SSLSocket):
                    sock = sock.unwrap()
                sock.shutdown(socket.SHUT_RDWR)
            except (OSError, ValueError):
                pass
            return False
        return True

    def finish(self):
        try:
            if self.request is not None:
                self.request.close()
        except OSError:
            pass


class ControlHandler(socketserver.StreamRequestHandler):
    def handle(self):
        self.request.settimeout(30)
        line = self.rfile.readline(65537).decode("latin-1")
        for _ in range(MAX_HEADER_LINES):
            h = self.rfile.readline(65537)
            if not h or h in (b"\r\n", b"\n"):
                break
        parts = line.split(" ")
        target = parts[1] if len(parts) >= 2 else "/"
        parsed = urllib.parse.urlsplit(target)
        query = dict(urllib.parse.parse_qsl(parsed.query, keep_blank_values=True))
        status, text = 200, "ok"
        if parsed.path == "/set" and "path" in query:
            route = {k: v for k, v in query.items() if k != "path"}
            route.setdefault("status", "200")
            with STATE.lock:
                STATE.routes[query["path"]] = route
        elif parsed.path == "/reset_next":
            with STATE.lock:
                STATE.reset_next = int(query.get("count", "1"))
        elif parsed.path == "/release" and "path" in query:
            STATE.release_event(query["path"]).set()
        elif parsed.path == "/reset":
            STATE.reset()
        elif parsed.path == "/connections":
            with STATE.lock:
                text = str(STATE.connections)
        elif parsed.path == "/log":
            with STATE.lock:
                text = "".join(entry + "\n" for entry in STATE.log)
        elif parsed.path == "/posts":
            with STATE.lock:
                text = "".join(entry + "\n" for entry in STATE.posts.get(query.get("path", ""), []))
        elif parsed.path == "/hits":
            with STATE.lock:
                text = str(STATE.hits.get(query.get("path", ""), 0))
        else:
            status, text = 400, "unknown control request"
        data = text.encode("utf-8")
        self.wfile.write(("HTTP/1.1 %d X\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                          % (status, len(data))).encode("latin-1") + data)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


def make_listener(handler):
    server = Server(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_certificates(folder):
    """Three self-signed certificates: good names, expired, wrong name."""
    def req(name, cn, san):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out",
                name + ".crt", "-days", "30", "-subj", "/CN=" + cn, "-addext", "subjectAltName=" + san,
                cwd=folder)
    req("https", "127.0.0.1", "IP:127.0.0.1,DNS:localhost")
    req("mismatch", "other.invalid", "DNS:other.invalid")
    # An expired certificate needs explicit dates, which only "openssl ca" takes in this openssl.
    cadir = os.path.join(folder, "ca")
    os.makedirs(cadir, exist_ok=True)
    open(os.path.join(cadir, "index.txt"), "w").close()
    with open(os.path.join(cadir, "serial"), "w") as f:
        f.write("1000\n")
    with open(os.path.join(cadir, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca=d\n[d]\ndir=%s\ndatabase=$dir/index.txt\nserial=$dir/serial\n"
                "new_certs_dir=$dir\ndefault_md=sha256\npolicy=p\ncopy_extensions=copy\n"
                "[p]\ncommonName=supplied\n" % cadir)
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "expired.key", "-out", "expired.csr",
            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", cwd=folder)
    openssl("ca", "-batch", "-selfsign", "-config", os.path.join(cadir, "ca.cnf"), "-keyfile", "expired.key",
            "-in", "expired.csr", "-out", "expired.crt", "-startdate", "20200101000000Z",
            "-enddate", "20210101000000Z", "-notext", cwd=folder)


def tls_context(folder, name):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key"))
    return ctx


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--max-seconds", type=int, default=3600,
                        help="the server ends by itself after this long")
    args = parser.parse_args()
    folder = os.path.abspath(args.state_dir)
    os.makedirs(folder, exist_ok=True)
    make_certificates(folder)

    listeners = {"control": make_listener(ControlHandler)}
    for name, cert in (("http", None), ("proxy", None), ("https", "https"), ("expired", "expired"), ("mismatch", "mismatch")):
        handler = type("Handler_" + name, (DataHandler,),
                       {"listener": name, "tls": tls_context(folder, cert) if cert else None})
        listeners[name] = make_listener(handler)

    text = "".join("%s=%d\n" % (name, srv.server_address[1]) for name, srv in listeners.items())
    tmp = os.path.join(folder, "ports.tmp")
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, os.path.join(folder, "ports"))
    sys.stdout.write(text)
    sys.stdout.flush()
    time.sleep(args.max_seconds)


if __name__ == "__main__":
    main()
