"""The engine process as the panel meets it: port file, loopback only, /json alone, clean stop."""
import json
import os
import signal
import socket
import time
import unittest

from engine_harness import EngineRun, free_port, request


class ServerTest(unittest.TestCase):
    def test_port_file_is_written_before_the_first_answer(self):
        port = free_port()
        with EngineRun(port=port) as run:
            answered = None
            deadline = time.monotonic() + 10
            while answered is None and time.monotonic() < deadline:
                answered = request(port, timeout=0.5)
                if answered is None:
                    # Whenever the file exists it is whole: a reader never sees it half-written.
                    text = open(run.port_file).read() if os.path.exists(run.port_file) else None
                    self.assertIn(text, (None, "%d\n" % port))
                    time.sleep(0.02)
            self.assertIsNotNone(answered, "engine never answered")
            self.assertEqual(run.read_port(), port)
            status, body = answered
            self.assertEqual(status, 200)
            self.assertIs(json.loads(body)["ok"], False, "nothing plays before the demo's first track")

    def test_serves_json_alone(self):
        with EngineRun() as run:
            port = run.wait_serving()
            status, body = request(port, "/json")
            self.assertEqual(status, 200)
            self.assertIsInstance(json.loads(body.decode("utf-8")), dict)
            for method, path in [("GET", "/"), ("GET", "/json/x"), ("GET", "/jsonx"), ("GET", "/port"),
                                 ("POST", "/json"), ("HEAD", "/json"), ("DELETE", "/json")]:
                with self.subTest(method=method, path=path):
                    self.assertEqual(request(port, path, method)[0], 404)

    def test_listens_on_the_loopback_address_only(self):
        with EngineRun() as run:
            port = run.wait_serving()
            self.assertEqual(request(port, host="127.0.0.1")[0], 200)
            # Linux routes all of 127/8 to the loopback device: a socket bound to every address would
            # accept 127.0.0.2 too, one bound to 127.0.0.1 refuses it.
            other = ["127.0.0.2"]
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                probe.connect(("192.0.2.1", 9))  # sends nothing; only asks for the outgoing address
                own = probe.getsockname()[0]
                if not own.startswith("127."):
                    other.append(own)
            except OSError:
                pass
            finally:
                probe.close()
            for host in other:
                with self.subTest(host=host):
                    with self.assertRaises(OSError):
                        socket.create_connection((host, port), timeout=1).close()

    def test_a_port_taken_by_another_program_is_avoided(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen(1)
            taken = holder.getsockname()[1]
            with EngineRun(port=taken) as run:
                port = run.wait_serving()
                self.assertNotEqual(port, taken)
                self.assertGreater(port, 1024)
                self.assertEqual(request(port)[0], 200)

    def test_stop_signals_end_it_within_a_second(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name), EngineRun() as run:
                port = run.wait_serving()
                run.proc.send_signal(sig)
                started = time.monotonic()
                run.proc.wait(5)
                self.assertLess(time.monotonic() - started, 1.5)
                self.assertEqual(run.proc.returncode, 0)
                self.assertIsNone(request(port, timeout=0.5), "the port is closed after the stop")

    def test_stop_during_the_first_start_is_not_held_up_by_the_demo_crate(self):
        with EngineRun() as run:
            run.wait_port()  # the crate is written right after the port file
            run.proc.terminate()
            started = time.monotonic()
            run.proc.wait(5)
            self.assertLess(time.monotonic() - started, 1.5)
            crate = os.path.join(run.support, "demo", "crate")
            leftovers = [n for n in os.listdir(crate) if n.endswith(".tmp")] if os.path.isdir(crate) else []
            self.assertEqual(leftovers, [], "no half-written files stay behind")


if __name__ == "__main__":
    unittest.main()
