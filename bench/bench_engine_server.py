#!/usr/bin/env python3
"""How the engine's feed server holds up under load and under a flood of idle connections.

Standalone: `python3 bench/bench_engine_server.py [--clients 200] [--requests 100] [--hold 10]`. Starts
the real engine (resources/app/live_next.py) in a throw-away home, waits for its first full feed, then
  1. `--clients` clients at once, each sending `--requests` GET /json one after another, from four
     processes (so the clients are not held back by one interpreter): time to connect and time to the
     whole answer;
  2. 300 idle connections kept open for `--hold` seconds (one that the engine closes is opened again),
     while /json is asked twice a second: its slowest answer and the engine's CPU over the window;
  3. the same with 1,020 idle connections, more than the engine keeps open at once.
Prints each figure, its target and PASS/MISS. Everything goes to 127.0.0.1; the engine is reaped.
CPU is read from /proc (Linux); elsewhere that figure is left out.
"""
import argparse
import json
import multiprocessing
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP_DIR = os.path.join(ROOT, "resources", "app")
sys.path.insert(0, APP_DIR)
from engine.paths import support_dir  # noqa: E402

REQUEST = b"GET /json HTTP/1.1\r\nHost: localhost\r\n\r\n"
TIMEOUT = 5.0


def fetch(port):
    """(seconds to connect, seconds to the whole answer, the answer; b"" when there was none)."""
    started = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as s:
            connected = time.monotonic() - started
            s.sendall(REQUEST)
            answer = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        return connected, time.monotonic() - started, answer
    except OSError:
        return TIMEOUT, TIMEOUT, b""


def answered(answer):
    return answer.startswith(b"HTTP/1.0 200 ")


def client_process(port, threads, requests, start, results):
    samples = []
    lock = threading.Lock()

    def client():
        start.wait()
        mine = [(connect, total, answered(answer)) for connect, total, answer in
                (fetch(port) for _ in range(requests))]
        with lock:
            samples.extend(mine)

    workers = [threading.Thread(target=client) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    results.put(samples)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100.0 * len(ordered)))]


def verdict(passed, text):
    print("  %s  %s" % ("PASS" if passed else "MISS", text))


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def concurrent_clients(port, clients, requests):
    processes = 4
    start = multiprocessing.Event()
    results = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=client_process,
                                       args=(port, clients // processes, requests, start, results))
               for _ in range(processes)]
    for w in workers:
        w.start()
    start.set()
    samples = [s for _ in workers for s in results.get(timeout=600)]
    for w in workers:
        w.join()
    connects = [s[0] for s in samples]
    totals = [s[1] for s in samples]
    failed = sum(1 for s in samples if not s[2])
    print("%d clients at once, %d requests each: %d answers, %d failed" % (clients, requests, len(samples), failed))
    print("  answer: p50 %.1f ms, p99 %.1f ms, max %.1f ms; connect: p99 %.1f ms, max %.1f ms"
          % tuple(1000 * v for v in (percentile(totals, 50), percentile(totals, 99), max(totals),
                                     percentile(connects, 99), max(connects))))
    verdict(percentile(totals, 99) < 0.5 and failed == 0,
            "p99 %.3f s, %d failed (target < 0.5 s, none failed)" % (percentile(totals, 99), failed))
    verdict(max(totals) < 0.9, "slowest %.3f s (target: no connection waits 0.9 s or more)" % max(totals))


def idle_flood(port, pid, count, hold):
    idle = []

    def top_up():
        # One that the engine closed reads as readable with nothing to read: open another in its place.
        for s in list(idle):
            try:
                if s.recv(1, socket.MSG_DONTWAIT | socket.MSG_PEEK) == b"":
                    idle.remove(s)
                    s.close()
            except BlockingIOError:
                pass
            except OSError:
                idle.remove(s)
                s.close()
        while len(idle) < count:
            idle.append(socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT))

    top_up()
    cpu_before, started = cpu_seconds(pid), time.monotonic()
    slowest, failed = 0.0, 0
    while time.monotonic() - started < hold:
        _, took, answer = fetch(port)
        slowest, failed = max(slowest, took), failed + (not answered(answer))
        top_up()
        time.sleep(0.5)
    cpu_after, elapsed = cpu_seconds(pid), time.monotonic() - started
    held = len(os.listdir("/proc/%d/fd" % pid)) if os.path.isdir("/proc/%d/fd" % pid) else -1
    for s in idle:
        s.close()
    print("%d idle connections kept open for %.0f s (the engine has %d descriptors open at the end)"
          % (count, elapsed, held))
    verdict(slowest < 1.0 and failed == 0, "/json slowest %.3f s, %d failed (target < 1 s)" % (slowest, failed))
    if cpu_before is not None and cpu_after is not None:
        share = 100.0 * (cpu_after - cpu_before) / elapsed
        verdict(share < 20.0, "engine CPU %.2f %% of a core (target < 20 %%)" % share)


def feed(port):
    """The feed document the engine serves now, or None."""
    answer = fetch(port)[2]
    try:
        return json.loads(answer.split(b"\r\n\r\n", 1)[1]) if answered(answer) else None
    except ValueError:
        return None


def wait_for_feed(port_file, proc):
    """The port, once the engine serves a feed with a track playing (a feed of its full size)."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            with open(port_file) as f:
                port = int(f.read())
            if (feed(port) or {}).get("ok") is True:
                return port
        except (OSError, ValueError):
            pass
        time.sleep(0.1)
    raise SystemExit("the engine served no feed within 30 s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--requests", type=int, default=100)
    parser.add_argument("--hold", type=float, default=10.0)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    home = tempfile.mkdtemp(prefix="cw-bench-server-")
    env = dict(os.environ, HOME=home, CW_ENGINE_PORT="0", CW_DEMO_WAIT="0", PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.Popen([sys.executable, os.path.join(APP_DIR, "live_next.py")], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    try:
        port_file = os.path.join(support_dir(APP_DIR, home=home), "port")
        port = wait_for_feed(port_file, proc)
        print("engine pid %d on port %d, feed of %d bytes" % (proc.pid, port, len(fetch(port)[2])))
        concurrent_clients(port, args.clients, args.requests)
        idle_flood(port, proc.pid, 300, args.hold)
        idle_flood(port, proc.pid, 1020, args.hold)
    finally:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
