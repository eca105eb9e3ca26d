"""The demo source: the crate it writes, the files it leaves alone, and the set it plays."""
import datetime
import json
import os
import shutil
import tempfile
import unittest
import wave

from engine import ranking
from engine.keys import parse_key
from engine.sources import make_source
from engine.sources import demo_crate
from engine.sources.demo import DemoSource
from engine_harness import EngineRun, request, wait_for

TODAY = datetime.date(2025, 6, 1)


class DemoCrateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Writing the crate takes a moment; the tests share one and copy it where they change it.
        cls.crate = tempfile.mkdtemp(prefix="cw-demo-")
        demo_crate.ensure(cls.crate, TODAY)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.crate, True)

    def setUp(self):
        self.dir = os.path.join(tempfile.mkdtemp(prefix="cw-demo-"), "demo")
        self.addCleanup(shutil.rmtree, os.path.dirname(self.dir), True)

    def test_first_start_writes_a_playable_crate_with_history_and_requests(self):
        library, past, requests = demo_crate.load(self.crate, TODAY)
        self.assertTrue(55 <= len(library) <= 65)
        wheel = {parse_key(t.key) for t in library}
        self.assertEqual(len(wheel), 24, "every key of the wheel")
        self.assertNotIn(None, wheel)
        self.assertEqual((min(t.bpm for t in library), max(t.bpm for t in library)), (90, 140))
        self.assertEqual(len({t.display_title for t in library}), len(library))
        for t in library:
            with self.subTest(track=t.path):
                self.assertLess(os.path.getsize(t.path), 200_000)
                with wave.open(t.path, "rb") as w:
                    self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate()), (1, 2, 44100))
                    self.assertGreaterEqual(w.getnframes() / w.getframerate(), 0.5)
        self.assertTrue(15 <= len(past) <= 25)
        self.assertTrue(all(play in library for s in past for play in s.plays))
        self.assertEqual(max(s.date for s in past), TODAY - datetime.timedelta(days=2))
        self.assertTrue(2 <= len(requests) <= 6 and all(r in library for r in requests))

    def test_history_moves_with_the_calendar(self):
        later = TODAY + datetime.timedelta(days=400)
        _, past, _ = demo_crate.load(self.crate, later)
        self.assertEqual(max(s.date for s in past), later - datetime.timedelta(days=2))

    def test_files_it_did_not_create_are_left_alone(self):
        shutil.copytree(self.crate, self.dir)
        tracks, _, _ = demo_crate.invent(TODAY)
        # Gone since the first start: the library, two tracks; then other programs put files in their place.
        for name in ("library.json", tracks[0]["file"], tracks[1]["file"]):
            os.unlink(os.path.join(self.dir, name))
        foreign = {
            "library.json": b'{"mine": true}',
            os.path.join("crate", "01 not ours.wav"): b"not audio",
            "notes.txt": b"keep me",
        }
        foreign[tracks[0]["file"]] = b"someone else's bytes under a demo name"
        for name, data in foreign.items():
            os.makedirs(os.path.dirname(os.path.join(self.dir, name)), exist_ok=True)
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(data)
        demo_crate.ensure(self.dir, TODAY)
        for name, data in foreign.items():
            with self.subTest(file=name), open(os.path.join(self.dir, name), "rb") as f:
                self.assertEqual(f.read(), data)
        self.assertTrue(os.path.exists(os.path.join(self.dir, tracks[1]["file"])))
        stamps = {n: os.stat(os.path.join(self.dir, "crate", n)).st_mtime_ns
                  for n in os.listdir(os.path.join(self.dir, "crate"))}
        demo_crate.ensure(self.dir, TODAY)
        self.assertEqual(stamps, {n: os.stat(os.path.join(self.dir, "crate", n)).st_mtime_ns
                                  for n in os.listdir(os.path.join(self.dir, "crate"))})


class DemoSetTest(unittest.TestCase):
    def test_plays_a_set_from_its_own_top_picks(self):
        support = tempfile.mkdtemp(prefix="cw-demo-")
        self.addCleanup(shutil.rmtree, support, True)
        source = DemoSource.from_environment(support, {"CW_DEMO_INTERVAL": "10", "CW_DEMO_WAIT": "3",
                                                       "CW_DEMO_SEED": "7"})
        source.start()
        self.assertFalse(source.poll(100.0))
        self.assertFalse(source.poll(102.9))
        self.assertEqual(source.snapshot().history.tonight, [])
        self.assertTrue(source.poll(103.0))
        self.assertFalse(source.poll(112.9))

        t, chosen_from_picks, proven_seen, ruts, requests_played = 103.0, 0, 0, set(), 0
        for step in range(25):
            snap = source.snapshot()
            before = ranking.rank(snap.library, snap.history, snap.requests, snap.today)
            ruts.add(round(before.rut, 2))
            proven_seen += any(p.proven > 0 for p in before.next)
            t += 10.0
            self.assertTrue(source.poll(t))
            played = source.snapshot().history.tonight[-1]
            offered = [p.track.path for p in before.next[:10] + before.fresh[:2]]
            chosen_from_picks += played in offered
            requests_played += played in snap.requests
        self.assertEqual(len(source.snapshot().history.tonight), 26)
        self.assertEqual(len(set(source.snapshot().history.tonight)), 26, "no track twice in a set")
        self.assertGreaterEqual(chosen_from_picks, 20)
        self.assertGreater(proven_seen, 0, "proven sequences show up during the set")
        self.assertGreater(len(ruts), 3, "the rut meter moves")

    def test_settings_naming_music_elsewhere_still_get_the_demo(self):
        source = make_source("/nonexistent", {"music_dir": "/Music", "source": "not-yet-written"}, {})
        self.assertIsInstance(source, DemoSource)


class DemoEngineTest(unittest.TestCase):
    def test_served_feed_waits_then_follows_the_set(self):
        with EngineRun(wait=1.0, interval=1.0) as run:
            port = run.wait_serving()

            def feed():
                answer = request(port)
                return json.loads(answer[1]) if answer and answer[0] == 200 else None

            first = wait_for(lambda: (lambda d: d if d and d.get("ok") else None)(feed()), 10)
            self.assertIsNotNone(first, "no track playing within 10 s")
            self.assertTrue(os.path.isfile(first["now"]["path"]))
            self.assertTrue(first["next"] and all(os.path.isfile(p["path"]) for p in first["next"]))
            self.assertEqual({p["src"] for p in first["next"]}, {"demo"})
            moved = wait_for(lambda: (lambda d: d if d and d["now"]["path"] != first["now"]["path"] else None)(
                feed()), 10)
            self.assertIsNotNone(moved, "the set did not move on")
            self.assertGreater(moved["played"], first["played"])


if __name__ == "__main__":
    unittest.main()
