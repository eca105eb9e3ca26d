"""The demo source: the crate it writes, the files it leaves alone, and the set it plays."""
import datetime
import os
import shutil
import tempfile
import unittest
import wave

from engine import ranking
from engine.keys import parse_key
from engine.sources import choose, demo_crate, make_source
from engine.sources.demo import DemoSource

TODAY = datetime.date(2025, 6, 1)


def temp_dir(test):
    path = tempfile.mkdtemp(prefix="cw-demo-")
    test.addCleanup(shutil.rmtree, path, True)
    return path


class DemoCrateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Writing the crate takes a moment; the tests share one and copy it where they change it.
        cls.crate = tempfile.mkdtemp(prefix="cw-demo-")
        demo_crate.ensure(cls.crate, TODAY)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.crate, True)

    def test_first_start_writes_a_playable_crate_with_history_and_requests(self):
        library, past, requests = demo_crate.load(self.crate, TODAY)
        self.assertTrue(55 <= len(library) <= 65)
        self.assertEqual(len({parse_key(t.key) for t in library} - {None}), 24, "every key of the wheel")
        self.assertEqual((min(t.bpm for t in library), max(t.bpm for t in library)), (90, 140))
        self.assertEqual(len({t.display_title for t in library}), len(library))
        for t in library:
            with self.subTest(track=t.path), wave.open(t.path, "rb") as w:
                self.assertLess(os.path.getsize(t.path), 200_000)
                self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate()), (1, 2, 44100))
                self.assertGreaterEqual(w.getnframes() / w.getframerate(), 0.5)
        self.assertTrue(15 <= len(past) <= 25)
        self.assertTrue(all(play in library for s in past for play in s.plays))
        self.assertEqual(max(s.date for s in past), TODAY - datetime.timedelta(days=2))
        self.assertTrue(2 <= len(requests) <= 6 and all(r in library for r in requests))
        # The history moves with the calendar.
        later = TODAY + datetime.timedelta(days=400)
        self.assertEqual(max(s.date for s in demo_crate.load(self.crate, later)[1]), later - datetime.timedelta(days=2))

    def test_files_it_did_not_create_are_left_alone(self):
        crate = os.path.join(temp_dir(self), "demo")
        shutil.copytree(self.crate, crate)
        tracks = demo_crate.invent(TODAY)[0]
        # Gone since the first start: the library, two tracks; then other programs put files in their place.
        for name in ("library.json", tracks[0]["file"], tracks[1]["file"]):
            os.unlink(os.path.join(crate, name))
        foreign = {"library.json": b'{"mine": true}', os.path.join("crate", "01 not ours.wav"): b"not audio",
                   "notes.txt": b"keep me", tracks[0]["file"]: b"someone else's bytes under a demo name"}
        for name, data in foreign.items():
            with open(os.path.join(crate, name), "wb") as f:
                f.write(data)

        def stamps():
            return {n: os.stat(os.path.join(crate, "crate", n)).st_mtime_ns
                    for n in os.listdir(os.path.join(crate, "crate"))}
        demo_crate.ensure(crate, TODAY)
        for name, data in foreign.items():
            with self.subTest(file=name), open(os.path.join(crate, name), "rb") as f:
                self.assertEqual(f.read(), data)
        self.assertTrue(os.path.exists(os.path.join(crate, tracks[1]["file"])))
        before = stamps()
        demo_crate.ensure(crate, TODAY)
        self.assertEqual(stamps(), before, "a second start rewrites nothing")


class DemoSetTest(unittest.TestCase):
    def test_plays_a_set_from_its_own_top_picks(self):
        source = DemoSource.from_environment(temp_dir(self), {"CW_DEMO_INTERVAL": "10", "CW_DEMO_WAIT": "3",
                                                              "CW_DEMO_SEED": "7"})
        source.start()
        self.assertFalse(source.poll(100.0))
        self.assertFalse(source.poll(102.9))
        self.assertEqual(source.snapshot().history.tonight, [])
        self.assertTrue(source.poll(103.0))
        self.assertFalse(source.poll(112.9))

        t, chosen_from_picks, proven_seen, ruts = 103.0, 0, 0, set()
        for _ in range(25):
            snap = source.snapshot()
            before = ranking.rank(snap.library, snap.history, snap.requests, snap.today)
            ruts.add(round(before.rut, 2))
            proven_seen += any(p.proven > 0 for p in before.next)
            t += 10.0
            self.assertTrue(source.poll(t))
            chosen_from_picks += source.snapshot().history.tonight[-1] in [
                p.track.path for p in before.next[:10] + before.fresh[:2]]
        tonight = source.snapshot().history.tonight
        self.assertEqual((len(tonight), len(set(tonight))), (26, 26), "26 tracks, none twice in a set")
        self.assertGreaterEqual(chosen_from_picks, 20)
        self.assertGreater(proven_seen, 0, "proven sequences show up during the set")
        self.assertGreater(len(ruts), 3, "the rut meter moves")

    def test_unknown_source_without_dj_software_gets_the_demo(self):
        choice = choose({"music_dir": "/Music", "source": "later"}, temp_dir(self), {})
        self.assertIsInstance(make_source("/nonexistent", choice, {}), DemoSource)


if __name__ == "__main__":
    unittest.main()
