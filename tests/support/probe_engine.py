"""Probe engine: stands in for the engine, records how it was started and the signals that reached it,
and serves the feed as a test asks. Settings, from the environment:
  CW_PROBE_LOG       directory of its records (required)
  CW_PROBE_SERVE     "": no server; "file": each request answered as LOG/reply.json and reply.body say
                     then; "chaos": well one to three times, then the next mischief of a turn that all
                     probes of the log share; every sixth probe starts slowly, and every sixth dies first
  CW_PROBE_PORT      port to try first (else any); chaos probes publish theirs in CW_CHAOS_SUPPORT/port
  CW_PROBE_HOST      address to listen on (default 127.0.0.1; an IPv6 one listens for IPv6 alone)
  CW_PROBE_UID       user to become before anything else (a listener of another user's; needs root)
  CW_PROBE_ON_TERM   "exit" (default) on SIGTERM, SIGINT or SIGHUP, or "stay"
  CW_PROBE_LIFETIME  seconds before it ends by itself (default 30)
  CW_CHAOS_ELSEWHERE where chaos redirects go
Records in LOG: <pid>.start.json, <pid>.signals (a line each), <pid>.port, and "served": JSON lines
{"pid", "head"} as a request arrives, {"pid", "mode"} as it is answered, {"pid", "sent"} (megabytes) as an
endless answer ends.
"""
import itertools
import json
import os
import random
import signal
import socket
import sys
import threading
import time

LOG, PID = os.environ["CW_PROBE_LOG"], os.getpid()
NAMES = {signal.SIGTERM: "TERM", signal.SIGINT: "INT", signal.SIGHUP: "HUP"}
MISCHIEF = ["garbage", "slow", "midbody", "redirect", "array", "trickle", "error", "die", "hang"]
lock, stop, hanging = threading.Lock(), threading.Event(), threading.Event()
stubborn = False


def record(name, line):
    """One appending write, no lock: a signal handler may run inside another record (a second signal)."""
    fd = os.open(os.path.join(LOG, name), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    os.write(fd, (line + "\n").encode())
    os.close(fd)


def record_whole(path, text):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def claim(prefix):
    """The next number of a counter all probes of the log share."""
    for n in itertools.count():
        try:
            return os.close(os.open(os.path.join(LOG, "%s.%d" % (prefix, n)), os.O_CREAT | os.O_EXCL)) or n
        except FileExistsError:
            pass


def on_signal(signum, _frame):
    record("%d.signals" % PID, NAMES[signum])
    if os.environ.get("CW_PROBE_ON_TERM") != "stay":
        stop.set()


def chaos_answers(generation):
    """Before a first good poll the overlay never restarts an engine: the first probe answers well first."""
    rng = random.Random(generation)
    while True:
        picks = [{"title": "G%d %d" % (generation, i), "proven": rng.randint(0, 3)} for i in range(rng.randint(0, 14))]
        body = json.dumps({"ok": rng.random() > 0.15, "rut": rng.random(), "now": {"path": str(generation)},
                           "next": picks, "fresh": picks[:2], "bangers": picks[::-1],
                           "cats": [{"id": str(i), "label": "M%d" % i} for i in range(rng.randint(0, 3))]}).encode()
        for _ in range(rng.randint(2 if generation == 0 else 1, 3)):
            yield {"mode": "respond", "body": body}
        kind = MISCHIEF[claim("mischief") % len(MISCHIEF)]
        yield {"kind": kind} | {
            "garbage": {"mode": "respond", "body": rng.randbytes(rng.randint(1, 3000))},
            "slow": {"mode": "respond", "body": body, "delay": rng.uniform(0.3, 2.5)},
            "redirect": {"mode": "respond", "status": 302, "body": b"moved",
                         "headers": "Location: %s\r\n" % os.environ.get("CW_CHAOS_ELSEWHERE")},
            "array": {"mode": "respond", "body": b"[1, 2, 3]"},
            "trickle": {"mode": "trickle", "body": body, "interval": 3.0 / len(body)},
            "error": {"mode": "respond", "status": 500, "body": body},
            "hang": {"mode": "hang", "stubborn": claim("hangs") % 2 == 1},  # every second one lingers on TERM
        }.get(kind, {"mode": kind, "body": body})  # midbody, die


def file_answers():
    """The reply set last; one with "rotation" answers its bodies in turn."""
    for n in itertools.count(1):
        with open(os.path.join(LOG, "reply.json"), encoding="utf-8") as f, open(os.path.join(LOG, "reply.body"), "rb") as b:
            answer = json.load(f) | {"body": b.read()}
        rotation = answer.get("rotation")
        yield answer | ({"body": rotation[n % len(rotation)].encode()} if rotation else {})


def send(conn, a):
    """Answers as a says."""
    mode, body, length = a["mode"], a.get("body", b""), a.get("length", -1)
    if mode == "die":
        os._exit(3)
    if mode in ("silent", "hang", "close"):
        if mode == "hang":  # this request and every later one
            hanging.set()
        while mode != "close" and conn.recv(4096):  # until the client leaves
            pass
        return
    length = {"respond": len(body), "midbody": len(body) + 500}.get(mode, length)
    time.sleep(a.get("delay", 0))
    conn.sendall(("HTTP/1.1 %d Status\r\nContent-Type: application/json\r\nConnection: close\r\n%s%s\r\n" % (
        a.get("status", 200), a.get("headers", ""), "Content-Length: %d\r\n" % length if length >= 0 else "")).encode())
    if mode == "trickle":
        for i in range(len(body)):
            conn.sendall(body[i:i + 1])
            time.sleep(a["interval"])
    elif mode == "endless":  # until the client leaves, which is recorded with the megabytes it took
        try:
            for sent in range(512):
                conn.sendall(b"a" * (1 << 20))
        finally:
            record("served", json.dumps({"pid": PID, "sent": sent}))
    else:
        conn.sendall(body[: len(body) // 2] if mode == "midbody" else body)
        if mode == "respond":  # let the client read it all before the close
            conn.shutdown(socket.SHUT_WR)
        while mode != "midbody" and conn.recv(4096):  # "unfinished" never ends: until the client leaves
            pass


def serve(conn, answers):
    global stubborn
    with conn:
        try:
            conn.settimeout(10)
            head = b""
            while b"\r\n\r\n" not in head:
                if not (chunk := conn.recv(4096)):
                    return
                head += chunk
            record("served", json.dumps({"pid": PID, "head": head.decode("latin-1")}))
            with lock:
                answer = {"mode": "hang"} if hanging.is_set() else next(answers)
            stubborn = stubborn or answer.get("stubborn", False)
            record("served", json.dumps({"pid": PID, "mode": answer.get("kind", answer["mode"])}))
            send(conn, answer)
        except OSError:
            pass  # the client gave up first


def listen(answers):
    host = os.environ.get("CW_PROBE_HOST", "127.0.0.1")
    server = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if ":" in host:
        server.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    try:
        server.bind((host, int(os.environ.get("CW_PROBE_PORT") or 0)))
    except OSError:
        server.bind((host, 0))
    server.listen(16)
    port = str(server.getsockname()[1])
    if os.environ.get("CW_CHAOS_SUPPORT"):
        record_whole(os.path.join(os.environ["CW_CHAOS_SUPPORT"], "port"), port)
    record_whole(os.path.join(LOG, "%d.port" % PID), port)
    threading.Thread(target=lambda: [threading.Thread(target=serve, args=(server.accept()[0], answers), daemon=True).start()
                                     for _ in itertools.count()], daemon=True).start()


def main():
    if os.environ.get("CW_PROBE_UID"):
        uid = (int(os.environ["CW_PROBE_UID"]),) * 3
        os.setgroups([]), os.setresgid(*uid), os.setresuid(*uid)
    for signum in NAMES:
        signal.signal(signum, on_signal)
    record_whole(os.path.join(LOG, "%d.start.json" % PID), json.dumps(
        {"pid": PID, "ppid": os.getppid(), "argv": sys.orig_argv, "cwd": os.getcwd(), "env": dict(os.environ)}))
    serving = os.environ.get("CW_PROBE_SERVE")
    if serving == "chaos":
        generation = claim("gen")
        time.sleep(0.8 if generation % 6 == 4 else 0)
        if generation % 6 == 5:
            return 1
        listen(chaos_answers(generation))
    elif serving == "file":
        listen(file_answers())
    deadline = time.monotonic() + float(os.environ.get("CW_PROBE_LIFETIME", "30"))
    while not stop.is_set() and time.monotonic() < deadline:
        stop.wait(0.05)
    time.sleep(1.0 if stop.is_set() and stubborn else 0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
