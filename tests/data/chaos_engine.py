"""Chaos engine for tests/robustness/tst_chaos: an engine that misbehaves, cycle after cycle.

The panel starts it as it starts the real engine (the test's fake interpreter exports the CW_CHAOS_*
settings). Each process is one generation. It listens on CW_CHAOS_PORT, or on a port of the system's
choosing when that one is taken (say by an engine that hangs on to it), and publishes the port it got in
the support directory's port file, as the real engine does. Then it answers each request with the next
action of its script: one to three good answers, then one piece of mischief, and so on. The mischief is
drawn in turn from one list shared by all generations (a counter in the log directory), so a run of a few
dozen requests meets every kind:

  garbage   200 and bytes that are no JSON
  slow      a good answer after 0.3 to 2.5 s (past the poll's 1.5 s limit at times)
  midbody   a Content-Length larger than the body, and the connection closed halfway
  redirect  302 to CW_CHAOS_ELSEWHERE, with an HTML body
  array     200 and JSON that is not an object
  trickle   headers, then the body one byte at a time over about 3 s
  error     500 with a feed document, which is still a good poll (the body decides)
  die       the process ends at once and the request goes unanswered
  hang      this and every later request go unanswered; the process stays; every second hang also
            lingers for a second after a termination request ("stubborn")

Some generations start slowly, and some die before they listen. Every generation ends on SIGTERM.

Files in CW_PROBE_LOG: gen.<n> and mischief.<n> (counters claimed with O_EXCL), <pid>.start
("generation script-path"), <pid>.signals (one line per termination signal), served (one line
"pid action" per request answered or dropped).
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
SUPPORT = os.environ["CW_CHAOS_SUPPORT"]
PREFERRED = int(os.environ["CW_CHAOS_PORT"])
ELSEWHERE = os.environ["CW_CHAOS_ELSEWHERE"]
LIFETIME = float(os.environ.get("CW_CHAOS_LIFETIME", "120"))
PID = os.getpid()
MISCHIEF = ["garbage", "slow", "midbody", "redirect", "array", "trickle", "error", "die", "hang"]

lock = threading.Lock()
hanging = threading.Event()
stop = threading.Event()


def claim(prefix):
    """The next number of a counter shared by every generation: the first free prefix.<n>."""
    n = 0
    while True:
        try:
            os.close(os.open(os.path.join(LOG, "%s.%d" % (prefix, n)), os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            return n
        except FileExistsError:
            n += 1


def append(name, line):
    with lock, open(os.path.join(LOG, name), "a", encoding="utf-8") as f:
        f.write(line + "\n")


GENERATION = claim("gen")
rng = random.Random(GENERATION * 7919 + 17)
stubborn = False


def on_term(signum, _frame):
    append("%d.signals" % PID, "TERM")
    stop.set()


def script():
    """The actions, one per request. The first generation always comes up and answers well first: before a
    first good poll the panel never restarts an engine, so a first engine that failed would end the chaos."""
    global stubborn
    while True:
        for _ in range(rng.randint(2 if GENERATION == 0 else 1, 3)):
            yield "good"
        kind = MISCHIEF[claim("mischief") % len(MISCHIEF)]
        if kind == "hang":
            stubborn = claim("hangs") % 2 == 1
        yield kind


actions = script()


def document():
    picks = [{"title": "G%d pick %d" % (GENERATION, i), "key": "%dA" % (i % 12 + 1), "bpm": 120 + i,
              "proven": rng.randint(0, 3), "path": "/m/%d/%d.mp3" % (GENERATION, i)}
             for i in range(rng.randint(0, 14))]
    doc = {"ok": rng.random() > 0.15, "rut": rng.random(), "played": GENERATION,
           "now": {"path": "/m/now/%d.mp3" % GENERATION, "title": "Gen %d" % GENERATION, "key": "8A", "bpm": 124},
           "next": picks, "fresh": picks[:2], "bangers": picks[::-1],
           "cats": [{"id": "c%d" % i, "label": "Moment %d" % i} for i in range(rng.randint(0, 3))]}
    return json.dumps(doc).encode()


def head(status, length=None, extra=""):
    reason = {200: "OK", 302: "Found", 500: "Internal Server Error"}[status]
    text = "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nConnection: close\r\n%s" % (status, reason, extra)
    if length is not None:
        text += "Content-Length: %d\r\n" % length
    return (text + "\r\n").encode()


def wait_forever():
    while not stop.is_set():
        stop.wait(0.1)


def serve(conn):
    with conn:
        conn.settimeout(5)
        request = b""
        try:
            while b"\r\n\r\n" not in request:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                request += chunk
        except OSError:
            return
        if hanging.is_set():
            append("served", "%d hang" % PID)
            wait_forever()
            return
        with lock:
            action = next(actions)
        append("served", "%d %s" % (PID, action))
        try:
            act(conn, action)
        except OSError:
            pass  # the panel gave up first


def act(conn, action):
    if action == "good":
        body = document()
        conn.sendall(head(200, len(body)) + body)
    elif action == "error":
        body = document()
        conn.sendall(head(500, len(body)) + body)
    elif action == "garbage":
        body = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 3000)))
        conn.sendall(head(200, len(body)) + body)
    elif action == "array":
        conn.sendall(head(200, 9) + b"[1, 2, 3]")
    elif action == "slow":
        time.sleep(rng.uniform(0.3, 2.5))
        body = document()
        conn.sendall(head(200, len(body)) + body)
    elif action == "trickle":
        body = document()
        conn.sendall(head(200, len(body)))
        for i in range(len(body)):
            conn.sendall(body[i:i + 1])
            time.sleep(3.0 / len(body))
    elif action == "midbody":
        body = document()
        conn.sendall(head(200, len(body) + 500) + body[: len(body) // 2])
        conn.shutdown(socket.SHUT_RDWR)
    elif action == "redirect":
        body = b"<html>moved</html>"
        conn.sendall(head(302, len(body), "Location: %s\r\n" % ELSEWHERE) + body)
    elif action == "die":
        os._exit(3)
    elif action == "hang":
        hanging.set()
        wait_forever()


def listen():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        server.bind(("127.0.0.1", PREFERRED))
    except OSError:
        server.bind(("127.0.0.1", 0))
    server.listen(16)
    port_file = os.path.join(SUPPORT, "port")
    with open(port_file + ".%d" % PID, "w", encoding="utf-8") as f:
        f.write("%d\n" % server.getsockname()[1])
    os.replace(port_file + ".%d" % PID, port_file)
    return server


def accept_loop(server):
    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def main():
    signal.signal(signal.SIGTERM, on_term)
    append("%d.start" % PID, "%d %s" % (GENERATION, os.path.abspath(sys.argv[0])))
    if GENERATION % 6 == 4:
        time.sleep(0.8)  # a slow start
    if GENERATION % 6 == 5:
        return 1  # dies before it listens
    threading.Thread(target=accept_loop, args=(listen(),), daemon=True).start()
    deadline = time.monotonic() + LIFETIME
    while not stop.is_set() and time.monotonic() < deadline:
        stop.wait(0.05)
    if stop.is_set() and stubborn:
        time.sleep(1.0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
