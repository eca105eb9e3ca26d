"""The engine process as the panel meets it: port file, loopback only, /json alone, clean stop."""
import json
import os
import signal
import socket
import time
import unittest

from engine_harness import EngineRun, free_port, request, wait_for


class ServerTest(unittest.TestCase):
    def test_port_file_is_written_before_the_first_answer(self):
        port = free_port()
        with EngineRun(port=port) as run:
            def answered():
                # Until the first answer the file is absent or whole: a reader never sees it half-written.
                self.assertIn(run.port_text(), (None, "%d\n" % port))
                return request(port, timeout=0.5)
            answer = wait_for(answered, 10, step=0.02)
            self.assertIsNotNone(answer, "engine never answered")
            self.assertEqual(run.read_port(), port)
            self.assertEqual(answer[0], 200)
            self.assertIs(json.loads(answer[1])["ok"], False, "nothing plays before the demo's first track")

    def test_serves_json_alone(self):
        with EngineRun() as run:
            port = run.wait_serving()
            status, body = request(port, "/json")
            self.assertEqual(status, 200)
            self.assertIsInstance(json.loads(body.decode("utf-8")), dict)
            for method, path in [("GET", "/"), ("GET", "/json/x"), ("GET", "/jsonx"), ("POST", "/json"),
                                 ("HEAD", "/json")]:
                with self.subTest(method=method, path=path):
                    self.assertEqual(request(port, path, method)[0], 404)

    def test_listens_on_the_loopback_address_only(self):
        with EngineRun() as run:
            port = run.wait_serving()
            # Linux routes all of 127/8 to the loopback device: a socket bound to every address would
            # accept 127.0.0.2 too, one bound to 127.0.0.1 refuses it. So would the machine's own address.
            others = ["127.0.0.2"]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                try:
                    probe.connect(("192.0.2.1", 9))  # sends nothing; only asks for the outgoing address
                    others += [a for a in [probe.getsockname()[0]] if not a.startswith("127.")]
                except OSError:
                    pass
            for host in others:
                with self.subTest(host=host), self.assertRaises(OSError):
                    socket.create_connection((host, port), timeout=1).close()

    def test_a_port_taken_by_another_program_is_avoided(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen(1)
            taken = holder.getsockname()[1]
            with EngineRun(port=taken) as run:
                port = run.wait_serving()
                self.assertNotEqual(port, taken)
                self.assertEqual(request(port)[0], 200)

    def test_stop_signals_end_it_within_a_second(self):
        # The last case stops it while it writes the demo crate, right after the port file.
        for sig, serving in ((signal.SIGTERM, True), (signal.SIGINT, True), (signal.SIGTERM, False)):
            with self.subTest(signal=sig.name, serving=serving), EngineRun() as run:
                port = run.wait_serving() if serving else run.wait_port()
                run.proc.send_signal(sig)
                started = time.monotonic()
                run.proc.wait(5)
                self.assertLess(time.monotonic() - started, 1.5)
                self.assertEqual(run.proc.returncode, 0)
                self.assertIsNone(request(port, timeout=0.5), "the port is closed after the stop")
                crate = os.path.join(run.support, "demo", "crate")
                leftovers = [n for n in os.listdir(crate) if n.endswith(".tmp")] if os.path.isdir(crate) else []
                self.assertEqual(leftovers, [], "no half-written files stay behind")


if __name__ == "__main__":
    unittest.main()
