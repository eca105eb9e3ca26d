"""Probe engine: a stand-in for the engine that records how it was started and which signals reached
it, and serves the feed on 127.0.0.1 the way a test asks. The tests start it as the overlay starts its
engine (PY SCRIPT, with the probe copied to SCRIPT), or directly as a feed server.

Settings, from the environment:
  CW_PROBE_LOG       the directory for its records (required)
  CW_PROBE_SERVE     "" serves nothing; "file" answers each request as CW_PROBE_LOG/reply.json and
                     reply.body say at that moment; "chaos" answers well one to three times, then
                     misbehaves in the next way of MISCHIEF (a turn shared by all probes of the log)
  CW_PROBE_PORT      the port to listen on (0 or taken: any); chaos probes publish it in
                     CW_CHAOS_SUPPORT/port as the engine does
  CW_PROBE_ON_TERM   "exit" (default) ends on SIGTERM, SIGINT or SIGHUP; "stay" only records them
  CW_PROBE_LIFETIME  seconds after which it ends by itself (default 30), so none outlives a test long
  CW_CHAOS_ELSEWHERE where chaos redirects go

Records in CW_PROBE_LOG: <pid>.start.json (argv, cwd, environment, parent), <pid>.signals (a line per
signal), <pid>.port once listening, and "served": JSON lines per request, {"pid", "head"} as it arrives,
{"pid", "mode"} as it is answered and {"pid", "sent": body bytes} once the answer is over.
"""
import json
import os
import random
import signal
import socket
import sys
import threading
import time

LOG = os.environ["CW_PROBE_LOG"]
PID = os.getpid()
NAMES = {signal.SIGTERM: "TERM", signal.SIGINT: "INT", signal.SIGHUP: "HUP"}
MISCHIEF = ["garbage", "slow", "midbody", "redirect", "array", "trickle", "error", "die", "hang"]
lock = threading.Lock()
stop = threading.Event()
hanging = threading.Event()


def record(name, line):
    with lock, open(os.path.join(LOG, name), "a", encoding="utf-8") as f:
        f.write(line + "\n")


def record_whole(name, text):
    path = os.path.join(LOG, "%d.%s" % (PID, name))
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def claim(prefix):
    """The next number of a counter shared by every probe of the log: the first free prefix.<n>."""
    n = 0
    while True:
        try:
            os.close(os.open(os.path.join(LOG, "%s.%d" % (prefix, n)), os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            return n
        except FileExistsError:
            n += 1


def on_signal(signum, _frame):
    record("%d.signals" % PID, NAMES[signum])
    if os.environ.get("CW_PROBE_ON_TERM", "exit") != "stay":
        stop.set()


def chaos_document(rng, generation):
    picks = [{"title": "G%d pick %d" % (generation, i), "key": "%dA" % (i % 12 + 1), "bpm": 120 + i,
              "proven": rng.randint(0, 3), "path": "/m/%d/%d.mp3" % (generation, i)} for i in range(rng.randint(0, 14))]
    return json.dumps({"ok": rng.random() > 0.15, "rut": rng.random(), "played": generation, "next": picks,
                       "now": {"path": "/m/now/%d.mp3" % generation, "title": "Gen %d" % generation},
                       "fresh": picks[:2], "bangers": picks[::-1],
                       "cats": [{"id": "c%d" % i, "label": "M%d" % i} for i in range(rng.randint(0, 3))]}).encode()


def chaos_answers(generation):
    """The chaos probe's answers, one per request. The first probe answers well first: before a first
    good poll the overlay never restarts an engine, so a first engine that failed would end the chaos."""
    rng = random.Random(generation * 7919 + 17)
    while True:
        for _ in range(rng.randint(2 if generation == 0 else 1, 3)):
            yield {"mode": "respond", "body": chaos_document(rng, generation)}
        kind = MISCHIEF[claim("mischief") % len(MISCHIEF)]
        body = chaos_document(rng, generation)
        yield {"garbage": {"mode": "respond", "body": bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 3000)))},
               "slow": {"mode": "respond", "body": body, "delay": rng.uniform(0.3, 2.5)},
               "midbody": {"mode": "midbody", "body": body},
               "redirect": {"mode": "respond", "status": 302, "body": b"<html>moved</html>",
                            "headers": "Location: %s\r\n" % os.environ.get("CW_CHAOS_ELSEWHERE", "")},
               "array": {"mode": "respond", "body": b"[1, 2, 3]"},
               "trickle": {"mode": "trickle", "body": body, "interval": 3.0 / len(body)},
               "error": {"mode": "respond", "status": 500, "body": body},
               "die": {"mode": "die"},
               "hang": {"mode": "hang", "stubborn": claim("hangs") % 2 == 1}}[kind] | {"kind": kind}


def file_answer():
    with open(os.path.join(LOG, "reply.json"), encoding="utf-8") as f:
        answer = json.load(f)
    with open(os.path.join(LOG, "reply.body"), "rb") as f:
        answer["body"] = f.read()
    return answer


def send(conn, a):
    """Answers as a says; returns the body bytes handed over."""
    body, status, sent = a.get("body", b""), a.get("status", 200), 0
    length = {"respond": len(body), "midbody": len(body) + 500, "endless": a.get("length", -1)}.get(a["mode"], -1)
    head = "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nConnection: close\r\n%s" % (
        status, "OK" if status == 200 else "Status", a.get("headers", ""))
    head = (head + ("Content-Length: %d\r\n" % length if length >= 0 else "") + "\r\n").encode()
    mode = a["mode"]
    if mode in ("silent", "hang"):
        if mode == "hang":
            hanging.set()
        while not stop.is_set() and conn.recv(4096):  # until the client leaves
            pass
        return 0
    if mode == "close":
        return 0
    if mode == "die":
        os._exit(3)
    time.sleep(a.get("delay", 0))
    conn.sendall(head)
    if mode == "trickle":
        for i in range(len(body)):
            conn.sendall(body[i:i + 1])
            time.sleep(a.get("interval", 0.1))
        return len(body)
    if mode == "endless":
        chunk = b"a" * 65536
        conn.sendall(b'{"pad":"')
        while sent < 512 << 20:
            conn.sendall(chunk)
            sent += len(chunk)
        return sent
    part = body[: len(body) // 2] if mode == "midbody" else body
    conn.sendall(part)
    if mode == "unfinished":
        while conn.recv(4096):
            pass
    elif mode == "respond":  # let the client read it all before the close
        conn.shutdown(socket.SHUT_WR)
        conn.recv(1)
    return len(part)


def serve(conn, answers):
    global stubborn
    with conn:
        conn.settimeout(10)
        head, sent = b"", 0
        try:
            while b"\r\n\r\n" not in head:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                head += chunk
            record("served", json.dumps({"pid": PID, "head": head.decode("latin-1")}))
            with lock:
                answer = {"mode": "hang"} if hanging.is_set() else next(answers)
            stubborn = stubborn or answer.get("stubborn", False)
            record("served", json.dumps({"pid": PID, "mode": answer.get("kind", answer["mode"])}))
            sent = send(conn, answer)
        except OSError:
            pass  # the client gave up first
        finally:
            record("served", json.dumps({"pid": PID, "sent": sent}))


def listen(answers):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        server.bind(("127.0.0.1", int(os.environ.get("CW_PROBE_PORT", "0"))))
    except OSError:
        server.bind(("127.0.0.1", 0))
    server.listen(16)
    port = str(server.getsockname()[1])
    if os.environ.get("CW_CHAOS_SUPPORT"):
        with open(os.path.join(os.environ["CW_CHAOS_SUPPORT"], "port.%d" % PID), "w", encoding="utf-8") as f:
            f.write(port + "\n")
        os.replace(f.name, os.path.join(os.environ["CW_CHAOS_SUPPORT"], "port"))
    record_whole("port", port)

    def accept():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=serve, args=(conn, answers), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()


stubborn = False


def main():
    for signum in NAMES:
        signal.signal(signum, on_signal)
    record_whole("start.json", json.dumps({"pid": PID, "ppid": os.getppid(), "argv": sys.orig_argv,
                                           "cwd": os.getcwd(), "env": dict(os.environ)}))
    serving = os.environ.get("CW_PROBE_SERVE", "")
    if serving == "chaos":
        generation = claim("gen")
        if generation % 6 == 4:
            time.sleep(0.8)  # a slow start
        if generation % 6 == 5:
            return 1  # dies before it listens
        listen(chaos_answers(generation))
    elif serving == "file":
        listen(iter(file_answer, None))
    deadline = time.monotonic() + float(os.environ.get("CW_PROBE_LIFETIME", "30"))
    while not stop.is_set() and time.monotonic() < deadline:
        stop.wait(0.05)
    if stop.is_set() and stubborn:
        time.sleep(1.0)  # a stubborn hang lingers after the request to stop
    return 0


if __name__ == "__main__":
    sys.exit(main())
