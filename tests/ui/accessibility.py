"""The real cueview as a screen reader meets it, on the AT-SPI bus of a private session (ctest runs
dbus-run-session -- run_x11.sh x11 python3 accessibility.py <cueview>). With a feed served here, every
label is named by its text, each row is one item "title, detail", every button is named in words with its
state, the brand image is named; buttons pressed through the bus announce the new state and texts."""
import functools
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
from typing import Any, Callable, Dict, Tuple

import pyatspi
from gi.repository import GLib

FEED = {"ok": True, "rut": 0.31, "played": 23, "cats": [{"id": "p", "label": "Peak"}],
        "now": {"path": "/a", "title": "Halcyon", "key": "8A", "bpm": 124},
        "next": [{"title": "Strobe", "key": "8A", "bpm": 126, "proven": 2, "cat": "p"}]}


def until(what: str, check: Callable[[], Any], seconds: float = 20.0) -> Any:
    """check()'s first true answer, asked every 0.1 s until the deadline."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if answer := check():
            return answer
        time.sleep(0.1)
    raise AssertionError("no %s within %.0f s" % (what, seconds))


def on_screen(acc: Any) -> Dict[Tuple[str, str], Any]:
    """{(role, name): object} of acc's descendants that are showing."""
    found = {}
    for child in acc or []:
        if child is not None and pyatspi.STATE_SHOWING in child.getState().getStates():
            found[(child.getRoleName(), child.name)] = child
            found.update(on_screen(child))
    return found


class Accessibility(unittest.TestCase):
    def setUp(self) -> None:
        root = self.enterContext(tempfile.TemporaryDirectory())
        with open(root + "/json", "w") as feed:  # served as it is, at /json
            json.dump(FEED, feed)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(
            http.server.SimpleHTTPRequestHandler, directory=root))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(lambda: (server.shutdown(), server.server_close()))
        support, app = root + "/home/Library/Application Support/Crate Warden", root + "/app"
        for folder in (support, app):
            os.makedirs(folder)
        shutil.copy(os.path.dirname(__file__) + "/../../resources/app/brand.png", app)
        with open(support + "/port", "w") as port:  # the feed answers the ping, so no engine is started
            port.write(str(server.server_address[1]))
        env = dict(os.environ, HOME=root + "/home", TRK_LANG="en", XDG_RUNTIME_DIR=root,
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        panel = subprocess.Popen([sys.argv[1]], cwd=app, env=env)
        self.addCleanup(lambda: (panel.terminate(), panel.wait(10)))

    def test_panel(self) -> None:
        desktop = pyatspi.Registry.getDesktop(0)
        app = until("panel on the bus", lambda: next((a for a in desktop if a and a.name == "cueview"), None))
        seen = until("feed on the panel", lambda: (found := on_screen(app)).get(("label", "Halcyon")) and found)
        for role, name in [("label", "8A · 124 BPM · 23 played tonight"), ("label", "⏭ PLAY NEXT · drag to deck"),
                           ("label", "some repeats · 31%"), ("label", "▶ NOW PLAYING"), ("label", "Warden"),
                           ("image", "Crate Warden"), ("list item", "Strobe, 8A  ·  126  ·  played after 2×"),
                           ("check box", "Floor rescue"), ("check box", "Lock list"), ("check box", "Proven only"),
                           ("push button", "Other picks"), ("push button", "Moment: All"),
                           ("push button", "Settings"), ("push button", "Quit")]:
            self.assertIn((role, name), seen)
        self.assertEqual([key for key, acc in seen.items() if not key[1] and acc.childCount == 0], [])

        # Pressed through the bus, as by a screen reader's user: the new state and texts are announced.
        heard, expected = [], [("object:state-changed:checked", "Lock list", 1),
                               ("object:property-change:accessible-name", "🔒 FROZEN · play next", 0),
                               ("object:property-change:accessible-name", "Moment: Peak", 0)]
        pyatspi.Registry.registerEventListener(lambda e: heard.append((e.type, e.source.name, e.detail1)),
                                               "object:state-changed:checked", "object:property-change:accessible-name")
        seen[("check box", "Lock list")].queryAction().doAction(0)
        seen[("push button", "Moment: All")].queryAction().doAction(0)
        deadline = time.monotonic() + 20  # the loop ends once all is heard, or at the deadline
        GLib.timeout_add(100, lambda: (all(e in heard for e in expected) or time.monotonic() > deadline)
                         and pyatspi.Registry.stop() or True)
        pyatspi.Registry.start()
        self.assertEqual([e for e in expected if e not in heard], [])
        self.assertIn(pyatspi.STATE_CHECKED, seen[("check box", "Lock list")].getState().getStates())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
