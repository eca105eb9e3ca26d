"""The real cueview as a screen reader meets it, through the AT-SPI bus of a private session (run by ctest
as: dbus-run-session -- run_x11.sh x11 python3 accessibility.py <cueview>). A feed served here on
127.0.0.1 fills the panel; the reader finds every label named by its text, each row as one item
"title, detail", every button named in words with its on/off state, and the brand image named; pressing
buttons through the bus announces the new state and texts."""
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import pyatspi
from gi.repository import GLib

FEED = {"ok": True, "rut": 0.31, "played": 23, "cats": [{"id": "p", "label": "Peak"}],
        "now": {"path": "/a", "title": "Halcyon", "key": "8A", "bpm": 124},
        "next": [{"title": "Strobe", "key": "8A", "bpm": 126, "proven": 2, "cat": "p"}]}


class Feed(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps(FEED).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *_):
        pass


def until(what, check, seconds=20.0):
    """check()'s first true answer, polled until the deadline."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        answer = check()
        if answer:
            return answer
        time.sleep(0.1)
    raise AssertionError("no %s within %.0f s" % (what, seconds))


def showing(acc):
    """acc's descendants on screen, depth first."""
    for child in acc or []:
        if child is not None and pyatspi.STATE_SHOWING in child.getState().getStates():
            yield child
            yield from showing(child)


class Accessibility(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.root)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Feed)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.shutdown)
        support = os.path.join(self.root, "home/Library/Application Support/Crate Warden")
        app = os.path.join(self.root, "app")
        os.makedirs(support)
        os.makedirs(app)
        shutil.copy(os.path.join(os.path.dirname(__file__), "../../resources/app/brand.png"), app)
        with open(os.path.join(support, "port"), "w") as f:  # the feed answers the ping: no engine starts
            f.write(str(server.server_address[1]))
        env = dict(os.environ, HOME=os.path.join(self.root, "home"), TRK_LANG="en", XDG_RUNTIME_DIR=self.root,
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.panel = subprocess.Popen([sys.argv[1]], cwd=app, env=env)
        self.addCleanup(self.panel.wait, 10)
        self.addCleanup(self.panel.terminate)

    def named(self, app):
        return {(a.getRoleName(), a.name): a for a in showing(app)}

    def test_panel(self):
        app = until("panel on the bus", lambda: next((a for a in pyatspi.Registry.getDesktop(0)
                                                       if a is not None and a.name == "cueview"), None))
        items = until("feed on the panel", lambda: ("label", "Halcyon") in self.named(app) and self.named(app))
        for role, name in [("label", "Halcyon"), ("label", "8A · 124 BPM · 23 played tonight"),
                           ("label", "⏭ PLAY NEXT · drag to deck"), ("label", "some repeats · 31%"),
                           ("label", "▶ NOW PLAYING"), ("label", "Warden"), ("image", "Crate Warden"),
                           ("list item", "Strobe, 8A  ·  126  ·  played after 2×"),
                           ("check box", "Floor rescue"), ("check box", "Lock list"), ("check box", "Proven only"),
                           ("push button", "Other picks"), ("push button", "Moment: All"),
                           ("push button", "Settings"), ("push button", "Quit")]:
            self.assertIn((role, name), items)
        unnamed = [(a.getRoleName(), a.name) for a in showing(app) if not a.name and a.childCount == 0]
        self.assertEqual(unnamed, [])

        # Pressed through the bus, as a reader's user does: the state and the texts that change are announced.
        heard = []
        pyatspi.Registry.registerEventListener(
            lambda e: heard.append((e.type, e.source.name, e.detail1)),
            "object:state-changed:checked", "object:property-change:accessible-name")
        expected = [("object:state-changed:checked", "Lock list", 1),
                    ("object:property-change:accessible-name", "🔒 FROZEN · play next", 0),
                    ("object:property-change:accessible-name", "Moment: Peak", 0)]
        for name in ("Lock list", "Moment: All"):
            items[next(k for k in items if k[1] == name)].queryAction().doAction(0)
        deadline = time.monotonic() + 20

        def done():
            if all(e in heard for e in expected) or time.monotonic() > deadline:
                pyatspi.Registry.stop()
            return True
        GLib.timeout_add(100, done)
        pyatspi.Registry.start()
        for event in expected:
            self.assertIn(event, heard)
        self.assertIn(pyatspi.STATE_CHECKED, self.named(app)[("check box", "Lock list")].getState().getStates())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
