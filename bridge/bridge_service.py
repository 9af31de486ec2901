#!/usr/bin/env python3
"""The bridge service: runs the host machine's real `java` for the bridge runtime's java.exe under Wine.

Listens on 127.0.0.1 only. Each connection carries one request from java.exe (see
tests/doubles/bridge_java/bridge_java.cpp for the format); a request without the per-run token is
refused. The JVM gets the request's arguments and working directory, this service's own environment
(so DISPLAY, HOME and PATH are the host's) overlaid with the request's variables, except those that only
make sense on one side (PATH, TEMP, ...). QUILLMARSH_* variables come only from the request.
Its output is streamed back as it comes, then its exit code. When java.exe goes away first, the JVM is
ended.

Usage: bridge_service.py STATE_DIR [MAX_REQUESTS]
  STATE_DIR/token must exist (made by scripts/bridge-service.sh); the service writes STATE_DIR/port once
  it listens, and serves at most MAX_REQUESTS connections (default 200) before it ends.
"""
import hmac
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading

KEEP_HOST = {"PATH", "TEMP", "TMP", "HOME", "DISPLAY", "XAUTHORITY", "JAVA_HOME", "PWD", "OLDPWD", "SHELL",
             "USER", "LOGNAME", "LANG", "TERM"}
MAX_FIELD = 1 << 20
MAX_FIELDS = 4096
running = set()  # the JVMs started and not yet ended, ended with the service
running_lock = threading.Lock()


class BadRequest(Exception):
    pass


def log(text):
    print(text, flush=True)


def read_field(stream):
    digits = b""
    while True:
        c = stream.read(1)
        if not c:
            raise BadRequest("connection closed inside the request")
        if c == b":":
            break
        if not c.isdigit() or len(digits) > 8:
            raise BadRequest("bad field length")
        digits += c
    size = int(digits or b"0")
    if size > MAX_FIELD:
        raise BadRequest("field too long")
    data = stream.read(size)
    if len(data) != size or stream.read(1) != b",":
        raise BadRequest("bad field")
    return data.decode("utf-8", "replace")


def read_count(stream):
    text = read_field(stream)
    if not text.isdigit() or int(text) > MAX_FIELDS:
        raise BadRequest("bad count")
    return int(text)


def frame(kind, data):
    return kind + len(data).to_bytes(4, "big") + data


def child_environment(entries):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUILLMARSH_")}
    for entry in entries:
        name, sep, value = entry.partition("=")
        if not sep or not name:
            continue
        upper = name.upper()
        if upper in KEEP_HOST or upper.startswith("LD_") or upper.startswith("WINE"):
            continue
        env[name] = value
    return env


def serve(conn, token, java):
    lock = threading.Lock()

    def send(kind, data):
        with lock:
            try:
                conn.sendall(frame(kind, data))
            except OSError:
                pass

    stream = conn.makefile("rb")
    try:
        if read_field(stream) != "QMB1":
            raise BadRequest("not a bridge request")
        if not hmac.compare_digest(read_field(stream).encode(), token.encode()):
            raise BadRequest("wrong token")
        cwd = read_field(stream)
        args = [read_field(stream) for _ in range(read_count(stream))]
        env = [read_field(stream) for _ in range(read_count(stream))]
    except BadRequest as refusal:
        log("refused: %s" % refusal)
        send(b"f", str(refusal).encode())
        return
    if not os.path.isdir(cwd):
        cwd = None
    try:
        proc = subprocess.Popen([java] + args, cwd=cwd, env=child_environment(env), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    except OSError as error:
        send(b"f", ("cannot start %s: %s" % (java, error)).encode())
        return

    with running_lock:
        running.add(proc)
    log("started pid %d: %s" % (proc.pid, " ".join([java] + args)))

    def pump(pipe, kind):
        for chunk in iter(lambda: pipe.read1(65536), b""):
            send(kind, chunk)

    def watch_client():
        # java.exe sends nothing after its request: end of stream means it is gone.
        try:
            while conn.recv(4096):
                pass
        except OSError:
            pass
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, 9)
            except OSError:
                pass

    pumps = [threading.Thread(target=pump, args=(proc.stdout, b"o"), daemon=True),
             threading.Thread(target=pump, args=(proc.stderr, b"e"), daemon=True)]
    for t in pumps:
        t.start()
    threading.Thread(target=watch_client, daemon=True).start()
    code = proc.wait()
    with running_lock:
        running.discard(proc)
    log("ended pid %d: exit code %d" % (proc.pid, code))
    for t in pumps:
        t.join()
    send(b"x", str(code & 0xFFFFFFFF if code >= 0 else 1).encode())


def stop(_signum, _frame):
    with running_lock:
        for proc in running:
            try:
                os.killpg(proc.pid, 9)
            except OSError:
                pass
    os._exit(0)


def main():
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    state = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    with open(os.path.join(state, "token")) as f:
        token = f.read().strip()
    java = shutil.which("java")
    if not java or not token:
        sys.exit("bridge service: no java on PATH or no token")
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    with open(os.path.join(state, "port.tmp"), "w") as f:
        f.write(str(server.getsockname()[1]))
    os.replace(os.path.join(state, "port.tmp"), os.path.join(state, "port"))
    for _ in range(limit):
        conn, _ = server.accept()

        def run(c=conn):
            try:
                serve(c, token, java)
            finally:
                c.close()

        threading.Thread(target=run, daemon=True).start()


if __name__ == "__main__":
    main()
