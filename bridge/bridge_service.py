#!/usr/bin/env python3
"""The bridge service: runs the host machine's real `java` for the bridge runtime's java.exe under Wine.

Listens on 127.0.0.1 only. Each connection carries one request from java.exe (see
tests/doubles/bridge_java/bridge_java.cpp for the format); a request without the per-run token is
refused. The JVM gets the request's arguments and working directory, this service's own environment
(so DISPLAY, HOME and PATH are the host's) overlaid with the request's variables, except those that only
make sense on one side (PATH, TEMP, ...). QUILLMARSH_* variables come only from the request.
Its output is streamed back as it comes, then its exit code. When java.exe goes away first, the JVM is
ended.

Usage: bridge_service.py STATE_DIR [MAX_REQUESTS [REQUEST_SECONDS]]
  STATE_DIR/token must exist (made by scripts/bridge-service.sh); the token never appears on a command
  line or in the log. The service writes STATE_DIR/port once it listens. It serves at most MAX_REQUESTS
  authenticated requests (default 200); connections refused for a wrong token, a malformed request or
  none within REQUEST_SECONDS (default 10) do not count. After the last one it stops listening, waits
  for the JVMs it runs and ends; on SIGTERM/SIGINT or any failure it ends the JVMs first.
"""
import hmac
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading

KEEP_HOST = {"PATH", "TEMP", "TMP", "HOME", "DISPLAY", "XAUTHORITY", "JAVA_HOME", "PWD", "OLDPWD", "SHELL",
             "USER", "LOGNAME", "LANG", "TERM"}
MAX_FIELD = 1 << 20
MAX_FIELDS = 4096
MAX_GREETING = 256       # the magic and the token: before authentication, a peer gets no more memory
MAX_PENDING = 32         # connections still sending their request; more are closed at once
SEND_SECONDS = 30        # java.exe that stops reading the JVM's output for this long loses it
running = set()  # the JVMs started and not yet ended, ended with the service
running_lock = threading.RLock()  # re-entrant: the stop signal may arrive while the main thread holds it


class BadRequest(Exception):
    pass


def log(text):
    print(text, flush=True)


def read_field(stream, limit=MAX_FIELD):
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
    if size > limit:
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


class Service:
    """Counts authenticated requests and knows the JVMs, so both can be ended together."""

    def __init__(self, limit):
        self.limit = limit
        self.accepted = 0        # authenticated requests so far
        self.pending = 0         # connections that have not finished their request
        self.active = 0          # authenticated requests not yet answered
        self.changed = threading.Condition()

    def admit(self):
        """Counts one authenticated request; False once the limit is reached."""
        with self.changed:
            if self.accepted >= self.limit:
                return False
            self.accepted += 1
            self.active += 1
            return True

    def done(self):
        with self.changed:
            self.active -= 1
            self.changed.notify_all()

    def request_read(self):
        with self.changed:
            self.pending -= 1

    def exhausted(self):
        with self.changed:
            return self.accepted >= self.limit


def end_children():
    with running_lock:
        for proc in list(running):
            try:
                os.killpg(proc.pid, 9)
            except OSError:
                pass


def serve(conn, token, java, service, request_seconds):
    lock = threading.Lock()

    def send(kind, data):
        with lock:
            try:
                conn.sendall(frame(kind, data))
            except OSError:
                pass

    # The whole request must arrive in time: a per-read time-out alone would let a peer that sends one
    # byte now and then hold the connection for ever. Shutting the socket down ends a blocked read.
    conn.settimeout(request_seconds)
    reading = [True]
    expired = [False]

    def too_late():
        with lock:
            if reading[0]:
                expired[0] = True
                shutdown_quietly(conn)

    deadline = threading.Timer(request_seconds, too_late)
    deadline.start()
    stream = conn.makefile("rb")
    try:
        if read_field(stream, MAX_GREETING) != "QMB1":
            raise BadRequest("not a bridge request")
        if not hmac.compare_digest(read_field(stream, MAX_GREETING).encode(), token.encode()):
            raise BadRequest("wrong token")
        cwd = read_field(stream)
        args = [read_field(stream) for _ in range(read_count(stream))]
        env = [read_field(stream) for _ in range(read_count(stream))]
    except BadRequest as refusal:
        if expired[0]:  # the shutdown at the deadline ended the read
            log("refused: no complete request within %g s" % request_seconds)
            return
        log("refused: %s" % refusal)
        send(b"f", str(refusal).encode())
        return
    except OSError:
        log("refused: no complete request within %g s" % request_seconds)
        return
    finally:
        with lock:  # a request read in full is never cut by its deadline afterwards
            reading[0] = False
        deadline.cancel()
        service.request_read()
    if not service.admit():
        log("refused: request limit reached")
        send(b"f", b"the bridge service has served its last request")
        return
    try:
        # From here the connection lives as long as the JVM: reads wait for ever (end of stream means
        # java.exe is gone), writes give up after SEND_SECONDS.
        conn.settimeout(None)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("ll", SEND_SECONDS, 0))
        run_jvm(conn, send, java, cwd, args, env)
    finally:
        service.done()


def shutdown_quietly(conn):
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def run_jvm(conn, send, java, cwd, args, env):
    if not os.path.isdir(cwd):
        cwd = None
    # Started and recorded under the lock: a stop in between cannot miss it.
    with running_lock:
        try:
            proc = subprocess.Popen([java] + args, cwd=cwd, env=child_environment(env), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        except OSError as error:
            send(b"f", ("cannot start %s: %s" % (java, error)).encode())
            return
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
    end_children()
    os._exit(0)


def main():
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    state = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    request_seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    with open(os.path.join(state, "token")) as f:
        token = f.read().strip()
    java = shutil.which("java")
    if not java or not token:
        sys.exit("bridge service: no java on PATH or no token")
    service = Service(limit)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    server.settimeout(0.5)  # to notice the end of the limit while no one connects
    with open(os.path.join(state, "port.tmp"), "w") as f:
        f.write(str(server.getsockname()[1]))
    os.replace(os.path.join(state, "port.tmp"), os.path.join(state, "port"))
    try:
        while not service.exhausted():
            try:
                conn, _ = server.accept()
            except socket.timeout:
                continue
            with service.changed:
                crowded = service.pending >= MAX_PENDING
                if not crowded:
                    service.pending += 1
            if crowded:
                conn.close()
                continue

            def run(c=conn):
                try:
                    serve(c, token, java, service, request_seconds)
                finally:
                    c.close()

            threading.Thread(target=run, daemon=True).start()
        server.close()
        log("served %d requests: no more connections" % limit)
        with service.changed:
            service.changed.wait_for(lambda: service.active == 0)
    finally:
        end_children()


if __name__ == "__main__":
    main()
