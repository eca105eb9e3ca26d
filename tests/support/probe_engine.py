"""Probe engine for tests: records how it was started and which signals it received.

Everything it learns goes into the directory named by CW_PROBE_LOG, one set of files per process id:
  <pid>.start.json  argv (the interpreter's full argument list), cwd, environment, ppid; written atomically
  <pid>.signals     one signal name per line, appended as each signal arrives
  <pid>.requests    one request line per HTTP request served (serving probes only)
  <pid>.ready       present once a serving probe listens
  <pid>.exit        present once the probe ends on its own terms

Behaviour, also from the environment:
  CW_PROBE_SERVE_PORT  serve 200 {"ok": false} for every GET on 127.0.0.1 at this port
  CW_PROBE_ON_TERM     "exit" (default) ends on SIGTERM/SIGINT/SIGHUP; "stay" only records them
  CW_PROBE_LIFETIME    seconds after which the probe ends by itself (default 30), so a failed test
                       never leaves one behind for long
"""
import json
import os
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, HTTPServer

LOG = os.environ.get("CW_PROBE_LOG", "")
PID = os.getpid()
NAMES = {signal.SIGTERM: "TERM", signal.SIGINT: "INT", signal.SIGHUP: "HUP"}
done = threading.Event()
lock = threading.Lock()


def log_path(suffix):
    return os.path.join(LOG, "%d.%s" % (PID, suffix))


def append(suffix, line):
    if not LOG:
        return
    with lock, open(log_path(suffix), "a", encoding="utf-8") as f:
        f.write(line + "\n")
        f.flush()


def write_atomic(suffix, text):
    if not LOG:
        return
    tmp = log_path(suffix + ".tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, log_path(suffix))


def on_signal(signum, _frame):
    append("signals", NAMES.get(signum, str(signum)))
    if os.environ.get("CW_PROBE_ON_TERM", "exit") != "stay":
        done.set()


def serve(port):
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            append("requests", self.requestline)
            body = b'{"ok": false}'
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = HTTPServer(("127.0.0.1", port), Handler)
    write_atomic("ready", "")
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()


def main():
    for signum in NAMES:
        signal.signal(signum, on_signal)
    record = {
        "pid": PID,
        "ppid": os.getppid(),
        "argv": list(sys.orig_argv),
        "script": os.path.abspath(sys.argv[0]) if sys.argv and sys.argv[0] else "",
        "cwd": os.getcwd(),
        "env": dict(os.environ),
    }
    write_atomic("start.json", json.dumps(record))
    port = os.environ.get("CW_PROBE_SERVE_PORT")
    if port:
        serve(int(port))
    deadline = time.monotonic() + float(os.environ.get("CW_PROBE_LIFETIME", "30"))
    while not done.is_set() and time.monotonic() < deadline:
        done.wait(0.05)
    write_atomic("exit", "")
    return 0


if __name__ == "__main__":
    sys.exit(main())
