"""Runs the real engine entry script as a child in a throw-away home and talks to it over HTTP. Every wait
is bounded, and leaving the `with` block always ends and reaps the child."""
import http.client, json, os, shutil, socket, subprocess, sys, tempfile, time

APP_DIR = os.environ.get("CW_APP_DIR") or os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "app"))
if APP_DIR not in sys.path:
    sys.path.insert(0, APP_DIR)
SCRIPT = os.path.join(APP_DIR, "live_next.py")

from engine.paths import support_dir  # noqa: E402


def wait_for(condition, timeout, step=0.05):
    """condition() until it returns something truthy (returned) or timeout seconds pass (None)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(step)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(port, path="/json", method="GET", host="127.0.0.1", timeout=2.0):
    """(status, body bytes) of one request, or None when nothing answers."""
    conn = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        conn.request(method, path)
        response = conn.getresponse()
        return response.status, response.read()
    except OSError:
        return None
    finally:
        conn.close()


class EngineRun:
    # Port 0 lets the system choose, so parallel tests never meet on the product's default port.
    def __init__(self, port=0, wait=30.0, interval=45.0, home=None):
        self.home = home or tempfile.mkdtemp(prefix="cw-engine-")
        self.support = support_dir(APP_DIR, home=self.home)
        self.port_file = os.path.join(self.support, "port")
        self.stderr = os.path.join(self.home, "engine.err")
        self.env = dict(os.environ, HOME=self.home, PYTHONDONTWRITEBYTECODE="1", CW_ENGINE_PORT=str(port),
                        CW_DEMO_WAIT=str(wait), CW_DEMO_INTERVAL=str(interval))

    def __enter__(self):
        with open(self.stderr, "wb") as err:
            self.proc = subprocess.Popen([sys.executable, SCRIPT], env=self.env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=err)
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.home, ignore_errors=True)
        return False

    def read_port(self):
        try:
            with open(self.port_file, encoding="utf-8") as f:
                text = f.read().strip()
        except OSError:
            return None
        return int(text) if text.isdigit() else None

    def wait_serving(self, timeout=10.0):
        port = wait_for(self.read_port, timeout)
        assert port and wait_for(lambda: request(port), timeout), "not serving within %.0f s" % timeout
        return port

    def wait_feed(self, condition, timeout=15.0):
        """The first document served that meets condition; strict JSON (a NaN or Infinity fails the test)."""
        def feed():
            answer = request(self.read_port() or 0, timeout=1.0)
            return json.loads(answer[1], parse_constant=int) if answer and answer[0] == 200 else {}
        doc = wait_for(lambda: (lambda d: d if d and condition(d) else None)(feed()), timeout, 0.1)
        assert doc, "the feed never met the condition within %.0f s; last: %s" % (timeout, feed())
        return doc
