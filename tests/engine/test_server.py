"""The engine as the panel meets it: a private port file, both loopbacks on one port nobody else holds, /json
alone for the loopback's names only, connections that cannot lock the feed out; its own files' mishaps."""
import contextlib, datetime, io, json, os, select, signal, socket, stat, tempfile, threading, time, unittest
from pathlib import Path

from engine.paths import load_settings
from engine.sources import demo_crate
from engine_harness import EngineRun, free_port, request, wait_for

GONE_PID = 4194305  # above any pid that Linux or macOS hands out


def still_open(sockets):
    gone = select.select(sockets, [], [], 0)[0]  # the engine sends them nothing: readable means closed
    return [s for s in sockets if s not in gone]


class ServerTest(unittest.TestCase):
    def test_listens_privately_on_both_loopbacks_at_one_port_nobody_else_holds(self):
        for taken in (None, "127.0.0.1", "::1"):  # None: the preferred port is free on both
            family = socket.AF_INET6 if taken == "::1" else socket.AF_INET
            with self.subTest(taken=taken), socket.socket(family) as holder:
                if taken:
                    holder.bind((taken, 0))
                    holder.listen(1)
                run = EngineRun(port=holder.getsockname()[1] if taken else free_port())
                os.makedirs(run.support)
                for name, mode in (("port", 0o644), ("port.%d.tmp" % GONE_PID, 0o600)):  # an old one, a kill's
                    os.close(os.open(os.path.join(run.support, name), os.O_CREAT | os.O_WRONLY, mode))
                with run:
                    port = run.wait_serving()
                    self.assertEqual(port == int(run.env["CW_ENGINE_PORT"]), taken is None)
                    self.assertEqual(oct(stat.S_IMODE(os.stat(run.port_file).st_mode)), "0o600")
                    self.assertEqual(os.listdir(run.support).count("port.%d.tmp" % GONE_PID), 0)
                    self.assertEqual([request(port, host=h)[0] for h in ("127.0.0.1", "::1")], [200, 200])
                    with self.assertRaises(OSError):  # a socket bound to every address would accept this one
                        socket.create_connection(("127.0.0.2", port), timeout=1).close()
                    run.proc.terminate()
                    self.assertEqual(run.proc.wait(1.5), 0)

    def test_answers_json_alone_and_only_to_the_names_of_the_loopback(self):
        with EngineRun() as run:
            port = run.wait_serving()
            get = "GET /json HTTP/1.1"
            for line, host, expected in [  # expected 0: an error status, or closed
                    (get, "localhost:%d" % port, 200), ("GET /json?t=1 HTTP/1.0", "LocalHost", 200),
                    (get, "127.0.0.1", 200), (get, "[::1]:%d" % port, 200), ("GET / HTTP/1.1", "localhost", 404),
                    ("GET /jsonx HTTP/1.1", "localhost", 404), ("POST /json HTTP/1.1", "localhost", 404),
                    ("HEAD /json HTTP/1.1", "localhost", 404), (get, "evil.example:%d" % port, 0),
                    (get, "localhost.evil.example", 0), (get, "127.0.0.1.nip.io", 0), (get, None, 0),
                    ("GET /json", "localhost", 0)]:
                with self.subTest(line=line, host=host), socket.create_connection(("127.0.0.1", port), 3) as s:
                    host_line = "Host: %s\r\n" % host if host else ""
                    s.sendall(("%s\r\n%sOrigin: http://x.example\r\n\r\n" % (line, host_line)).encode())
                    answer = b"".join(iter(lambda: s.recv(65536), b""))
                    status = int(answer[9:12]) if answer[:7] == b"HTTP/1." else 0
                    self.assertTrue(status == expected if expected else status // 100 == 4 or not answer, answer[:30])
                    self.assertEqual(b'"ok"' in answer, expected == 200)
                    self.assertNotIn(b"access-control", answer.lower())

    def test_queued_idle_and_trickling_connections_never_lock_the_feed_out(self):
        with EngineRun() as run, contextlib.ExitStack() as sockets:
            port = run.wait_serving()
            run.proc.send_signal(signal.SIGSTOP)  # accepting nothing, its listen queue must hold 128
            try:
                idle = [sockets.enter_context(socket.socket()) for _ in range(600)]
                for s in idle:
                    s.setblocking(False)
                    s.connect_ex(("127.0.0.1", port))
                self.assertTrue(wait_for(lambda: len(select.select([], idle, [], 0)[1]) >= 128, 3), "queued")
            finally:
                run.proc.send_signal(signal.SIGCONT)
            # Running again, it holds a bounded number (closing the oldest), well before any time-out.
            held = wait_for(lambda: 0 < len(still_open(idle)) <= 512 and still_open(idle), 3)
            self.assertTrue(held, "at most 512 held, and not all closed yet")
            trickler = sockets.enter_context(socket.create_connection(("127.0.0.1", port)))
            self.assertEqual(request(port)[0], 200, "the feed answers beside them")
            def all_closed():
                with contextlib.suppress(OSError):
                    trickler.send(b"G")  # a request line that never ends
                return not still_open(held + [trickler])
            self.assertTrue(wait_for(all_closed, 10.5, step=0.5), "idle connections closed within 10 s")

    def test_stop_requests_in_a_burst_end_it_every_time(self):
        # A panel that quits sends SIGTERM twice at once (its own request, then its death's); a handler
        # that took a lock deadlocked on the second one time in five.
        for attempt in range(10):
            with EngineRun() as run:
                run.wait_serving()
                until = time.monotonic() + 0.05
                while time.monotonic() < until:  # unreaped, it cannot give its pid to another
                    os.kill(run.proc.pid, signal.SIGTERM)
                    spin = time.perf_counter() + 5e-6
                    while time.perf_counter() < spin:
                        pass
                self.assertTrue(wait_for(lambda: run.proc.poll() is not None, 5), "stuck at attempt %d" % attempt)

    def test_settings_that_are_no_small_json_object_read_as_none_said_once_without_blocking(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "settings.json")
            for kind, make in [("fifo", os.mkfifo), ("directory", os.mkdir),
                               ("device", lambda p: os.symlink(os.devnull, p)),
                               ("huge", lambda p: Path(p).write_text("{}" + " " * (2 << 20))),
                               ("nested", lambda p: Path(p).write_text("[" * 100000)),
                               ("trailing comma", lambda p: Path(p).write_text('{"source": "demo",}'))]:
                with self.subTest(kind), contextlib.redirect_stderr(io.StringIO()) as err:
                    make(path)
                    read = []
                    reader = threading.Thread(target=lambda: read.extend(map(load_settings, [folder] * 2)), daemon=True)
                    reader.start()
                    reader.join(5)
                    (os.rmdir if kind == "directory" else os.unlink)(path)
                    self.assertEqual(read, [{}, {}], "read twice, without blocking")
                    self.assertEqual(err.getvalue().count("settings.json"), 1, err.getvalue())

    def test_demo_crate_clears_a_killed_starts_files_and_reads_numbers_a_float_cannot_hold_as_absent(self):
        today = datetime.date.today()
        tracks = demo_crate.invent(today)[0]
        literals = ["1e999", "-1e999", "NaN", "Infinity", "1" + "0" * 400, '"128"', "true", "null"]
        bad = ['{"file": %s, "bpm": %s}' % (json.dumps(t["file"]), n) for t, n in zip(tracks, literals)]
        text = '{"tracks": [%s, %s]}' % (", ".join(bad), json.dumps(tracks[8:])[1:-1])
        track = os.path.join("crate", os.path.basename(tracks[0]["file"]))
        # Only the pattern of the crate's own names is the demo's, and only a process that is gone left it.
        kept = ["notes.json.%d.tmp" % GONE_PID, "history.json.%d.tmp" % os.getppid(), track + ".tmp"]
        with tempfile.TemporaryDirectory() as demo:
            os.mkdir(os.path.join(demo, "crate"))
            for name in kept + ["history.json.%d.tmp" % GONE_PID, "%s.%d.tmp" % (track, GONE_PID)]:
                Path(demo, name).touch()
            Path(demo, "library.json").write_text(text)
            demo_crate.ensure(demo, today)
            left = [os.path.relpath(os.path.join(d, n), demo) for d, _, names in os.walk(demo) for n in names]
            self.assertEqual(sorted(n for n in left if n.endswith(".tmp")), sorted(kept))
            self.assertEqual([t.bpm for t in demo_crate.load(demo, today)[0]][:9], [0.0] * 8 + [tracks[8]["bpm"]])
