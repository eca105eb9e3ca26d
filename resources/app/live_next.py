"""Stand-in pick engine: serves a small, valid pick feed at GET /json on 127.0.0.1.

The port comes from the port file in the support directory (8787 when missing). Ends on SIGTERM.
Python standard library only.
"""
import json
import os
import re
import signal
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))


def support_dir() -> str:
    name = "Crate Warden"
    try:
        with open(os.path.join(HERE, "brand.py"), encoding="utf-8") as f:
            m = re.search(r'BRAND_NAME", "([^"]+)', f.read())
            if m:
                name = m.group(1)
    except OSError:
        pass
    return os.path.join(os.path.expanduser("~"), "Library", "Application Support", name)


def engine_port() -> int:
    try:
        with open(os.path.join(support_dir(), "port"), encoding="utf-8") as f:
            port = int(f.read().strip())
            return port if 1024 < port <= 65535 else 8787
    except (OSError, ValueError):
        return 8787


DEMO = [
    ("Night Drive", "Aurel Vance", "8A", 124, "peak", 3, True),
    ("Copper Lines", "Mira Solen", "9A", 125, "peak", 1, True),
    ("Low Tide Theory", "Kasimir", "8B", 122, "build", 0, True),
    ("Glass Orchard", "Tove Hale", "7A", 126, "peak", 0, True),
    ("Paper Suns", "Ondine Marsh", "3A", 118, "warmup", 0, False),
    ("Slow Bloom", "Juno Reyes", "8A", 121, "build", 2, True),
    ("Static Choir", "Lenz", "10A", 128, "peak", 0, False),
    ("Harbour Lights", "Mira Solen", "8A", 123, "closing", 0, True),
]


def feed(started: float) -> dict:
    if time.time() - started < 3:
        return {"ok": False, "rut": 0.1}
    picks = []
    for title, artist, key, bpm, cat, proven, harmonic in DEMO:
        picks.append({"title": f"{artist} — {title}", "key": key, "bpm": bpm, "cat": cat, "proven": proven,
                      "harmonic": harmonic, "path": "", "fresh": "rested", "rest": 200, "src": "demo"})
    return {
        "ok": True,
        "now": {"path": "/demo/now.wav", "title": "Aurel Vance — Warm Current", "key": "8A", "bpm": 124},
        "played": 7,
        "rut": 0.3,
        "cats": [{"id": "warmup", "label": "Warm-up"}, {"id": "build", "label": "Build"},
                 {"id": "peak", "label": "Peak"}, {"id": "closing", "label": "Closing"}],
        "next": picks,
        "fresh": [{"title": "Kasimir — First Light", "key": "8A", "bpm": 124, "reason": "never played, fits"}],
        "bangers": [dict(p, proven=9 - i) for i, p in enumerate(picks[:4])],
    }


def main() -> int:
    started = time.time()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path != "/json":
                self.send_error(404)
                return
            body = json.dumps(feed(started)).encode("utf-8")
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", engine_port()), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        server.serve_forever()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
