#!/usr/bin/env python3
"""The bridge service's token and limits, spoken to directly over its protocol (no Wine needed):
  the token is on no command line (the service's, the archive maker's) and on no standard output;
  the Java archive holding it is private to its owner;
  connections that stay silent, send a wrong token or half a request do not count against the request
  limit and are closed after the request time-out; authenticated requests are served;
  after its last request the service stops listening, and ends (with its JVMs) when that one is over.
"""
import os
import socket
import stat
import subprocess
import sys
import tempfile
import time
import zipfile

src = os.environ.get("QUILLMARSH_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
build = os.environ.get("QUILLMARSH_TEST_BIN")
if not build:
    sys.exit("QUILLMARSH_TEST_BIN: the Windows build folder")
failures = 0


def check(name, ok, detail=""):
    global failures
    print(("ok   %s" % name) if ok else ("FAIL %s: %s" % (name, detail)), flush=True)
    failures += 0 if ok else 1


def until(condition, seconds=30.0):
    """Polls condition until it holds or the (generous) bound passes; returns its last value."""
    end = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > end:
            return value
        time.sleep(0.1)


def alive(pid):
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    # an ended child of ours stays a zombie until reaped; it is not running
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[-1][:1] != "Z"
    except OSError:
        return False


def field(data):
    return str(len(data)).encode() + b":" + data + b","


def bridge_request(token, cwd, args):
    body = field(b"QMB1") + field(token) + field(cwd.encode()) + field(str(len(args)).encode())
    body += b"".join(field(a.encode()) for a in args) + field(b"0")
    return body


def frames_of(sock):
    """The answer frames up to the exit code or failure frame (or the end of the connection)."""
    frames = []
    buffer = b""
    while True:
        while len(buffer) >= 5 and len(buffer) >= 5 + int.from_bytes(buffer[1:5], "big"):
            size = int.from_bytes(buffer[1:5], "big")
            frames.append((buffer[:1], buffer[5:5 + size]))
            buffer = buffer[5 + size:]
            if frames[-1][0] in (b"x", b"f"):
                return frames
        chunk = sock.recv(65536)
        if not chunk:
            return frames
        buffer += chunk


def closed_by_peer(sock):
    try:
        return sock.recv(1) == b""  # the socket's own time-out (30 s) bounds the wait
    except ConnectionResetError:
        return True
    except OSError:
        return False


work = tempfile.mkdtemp()
state = os.path.join(work, "state")
service_pid = None
try:
    env = dict(os.environ, BRIDGE_MAX_REQUESTS="2", BRIDGE_REQUEST_SECONDS="2")
    started = subprocess.run(["bash", os.path.join(src, "scripts/bridge-service.sh"), "--state", state], env=env,
                             capture_output=True, text=True, timeout=60)
    if started.returncode != 0:
        sys.exit("the bridge service did not start: " + started.stderr)
    values = dict(line.split("=", 1) for line in started.stdout.split() if "=" in line)
    service_pid, port = int(values["pid"]), int(values["port"])
    token = open(os.path.join(state, "token")).read().strip()

    # ---- The token: private file, not on a command line, not on standard output ------------------------
    check("token file readable by its owner only", stat.S_IMODE(os.stat(os.path.join(state, "token")).st_mode) == 0o600,
          oct(os.stat(os.path.join(state, "token")).st_mode))
    check("bridge-service.sh prints no token", token not in started.stdout + started.stderr, started.stdout)
    cmdline = open("/proc/%d/cmdline" % service_pid, "rb").read()
    check("the service's command line has no token", b"bridge_service.py" in cmdline and token.encode() not in cmdline,
          cmdline.replace(b"\0", b" ").decode())

    # bridge-files.sh, with a python3 on PATH that records its command line before running the real one.
    shims = os.path.join(work, "shims")
    os.makedirs(shims)
    recorded = os.path.join(work, "python3-argv")
    real_python = sys.executable
    with open(os.path.join(shims, "python3"), "w") as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$0" "$@" >>"%s"\nexec "%s" "$@"\n' % (recorded, real_python))
    os.chmod(os.path.join(shims, "python3"), 0o755)
    files = os.path.join(work, "files")
    made = subprocess.run(["bash", os.path.join(src, "scripts/bridge-files.sh"), build, files, state],
                          env=dict(os.environ, PATH=shims + ":" + os.environ["PATH"]), capture_output=True, text=True,
                          timeout=300)
    check("bridge-files.sh made the files", made.returncode == 0, made.stderr[-2000:])
    argv = open(recorded).read() if os.path.exists(recorded) else ""
    check("bridge-files.sh ran python3 (through the recording shim)", argv != "", "no python3 command line recorded")
    check("bridge-files.sh put the token on no command line", token not in argv, argv)
    check("bridge-files.sh prints no token", token not in made.stdout + made.stderr, made.stdout)
    archives = [os.path.join(d, n) for d, _, names in os.walk(files) for n in names if n.endswith(".zip")]
    check("one Java archive made", len(archives) == 1, str(archives))
    if archives:
        mode = stat.S_IMODE(os.stat(archives[0]).st_mode)
        check("the archive holding the token is private (0600)", mode == 0o600, oct(mode))
        with zipfile.ZipFile(archives[0]) as z:
            ini = z.read("jdk-17.0.2/bin/bridge.ini").decode()
        check("the archive's bridge.ini carries the token", ("token=%s\r\n" % token) in ini, ini)

    # ---- Connections that do not count ----------------------------------------------------------------
    silent = socket.create_connection(("127.0.0.1", port), timeout=30)
    half = socket.create_connection(("127.0.0.1", port), timeout=30)
    half.sendall(field(b"QMB1") + b"40:")
    wrong = socket.create_connection(("127.0.0.1", port), timeout=30)
    wrong.sendall(bridge_request(b"not-the-token", "/", ["-version"]))
    refusal = frames_of(wrong)
    check("a wrong token is refused", refusal and refusal[-1] == (b"f", b"wrong token"), str(refusal))

    with socket.create_connection(("127.0.0.1", port), timeout=120) as s:
        s.sendall(bridge_request(token.encode(), work, ["-version"]))
        answer = frames_of(s)
    output = b"".join(d for k, d in answer if k in (b"o", b"e"))
    check("an authenticated request is served while others stay silent", answer[-1:] == [(b"x", b"0")]
          and b"version" in output, str(answer)[:400])
    check("a silent connection is closed after the request time-out", closed_by_peer(silent))
    check("half a request is closed after the request time-out", closed_by_peer(half))
    for s in (silent, half, wrong):
        s.close()
    log_path = os.path.join(state, "service.log")
    # The service logs a time-out just after it has closed the connection: wait for both lines.
    timed_out = until(lambda: open(log_path).read().count("refused: no complete request within 2 s") == 2)
    log = open(log_path).read()
    check("the time-outs are logged", timed_out, log)
    check("the service still runs after three refused connections", alive(service_pid), log)

    # ---- The last request: the service stops listening and ends after it, with its JVM -----------------
    with open(os.path.join(work, "Sleep.java"), "w") as f:
        f.write("class Sleep { public static void main(String[] a) throws Exception { Thread.sleep(600000); } }\n")
    last = socket.create_connection(("127.0.0.1", port), timeout=30)
    last.sendall(bridge_request(token.encode(), work, [os.path.join(work, "Sleep.java")]))
    jvm_line = until(lambda: [l for l in open(log_path).read().splitlines() if l.startswith("started pid") and
                              "Sleep.java" in l])
    jvm = int(jvm_line[0].split()[2].rstrip(":")) if jvm_line else None
    check("the last request started its JVM", jvm is not None and alive(jvm), open(log_path).read())

    def refused():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
            return False
        except OSError:
            return True
    check("after the last request nobody else is let in", until(refused))
    check("the service waits for its last JVM", alive(service_pid) and jvm is not None and alive(jvm))
    last.close()  # java.exe gone: the JVM is ended, then the service ends
    check("the JVM is ended", jvm is not None and until(lambda: not alive(jvm)))
    check("then the service ends", until(lambda: not alive(service_pid)), open(log_path).read())
finally:
    subprocess.run(["bash", os.path.join(src, "scripts/bridge-service.sh"), "--stop", state])
    subprocess.run(["rm", "-rf", work])

print("all checks passed" if failures == 0 else "%d check(s) failed" % failures)
sys.exit(1 if failures else 0)
