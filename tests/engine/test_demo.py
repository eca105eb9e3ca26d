"""The demo source: the crate it writes, the files it leaves alone, and the set it plays."""
import datetime
import os
import pathlib
import shutil
import tempfile
import unittest
import wave

from engine import ranking
from engine.keys import parse_key
from engine.sources import demo_crate
from engine.sources.demo import DemoSource

TODAY = datetime.date(2025, 6, 1)


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cw-demo-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_writes_a_playable_crate_once_and_leaves_other_files_alone(self):
        crate = os.path.join(self.dir, "demo")
        demo_crate.ensure(crate, TODAY)
        library, past, requests = demo_crate.load(crate, TODAY)
        self.assertEqual((len(library), len({parse_key(t.key) for t in library} - {None})), (60, 24))
        self.assertEqual((min(t.bpm for t in library), max(t.bpm for t in library)), (90, 140))
        for t in list(library)[::7]:
            with wave.open(t.path, "rb") as w:
                self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes() > 22050),
                                 (1, 2, 44100, True))
        self.assertTrue(15 <= len(past) <= 25 and 2 <= len(requests) <= 6)
        self.assertTrue(all(p in library for p in requests + [p for s in past for p in s.plays]))
        later = TODAY + datetime.timedelta(days=400)  # the history moves with the calendar
        self.assertEqual(max(s.date for s in demo_crate.load(crate, later)[1]), later - datetime.timedelta(days=2))
        tracks = demo_crate.invent(TODAY)[0]
        for name in ("library.json", tracks[0]["file"], tracks[1]["file"]):
            os.unlink(os.path.join(crate, name))
        foreign = {"library.json": b'{"mine": true}', "notes.txt": b"keep me", tracks[0]["file"]: b"not ours"}
        for name, data in foreign.items():
            with open(os.path.join(crate, name), "wb") as f:
                f.write(data)
        demo_crate.ensure(crate, TODAY)
        self.assertEqual({n: pathlib.Path(crate, n).read_bytes() for n in foreign}, foreign, "left alone")
        self.assertTrue(os.path.exists(os.path.join(crate, tracks[1]["file"])), "a missing track comes back")

    def test_plays_a_set_from_its_own_top_picks(self):
        source = DemoSource.from_environment(self.dir, {"CW_DEMO_INTERVAL": "10", "CW_DEMO_WAIT": "3", "CW_DEMO_SEED": "7"})
        source.start()
        self.assertEqual([source.poll(t) for t in (100.0, 102.9, 103.0, 112.9)], [False, False, True, False])
        from_picks, proven, ruts = 0, 0, set()
        for t in range(113, 363, 10):
            snap = source.snapshot()
            before = ranking.rank(snap.library, snap.history, snap.requests, snap.today)
            ruts.add(round(before.rut, 2))
            proven += any(p.proven > 0 for p in before.next)
            self.assertTrue(source.poll(float(t)))
            from_picks += source.snapshot().history.tonight[-1] in [p.track.path for p in before.next[:10] + before.fresh[:2]]
        tonight = source.snapshot().history.tonight
        self.assertEqual((len(tonight), len(set(tonight))), (26, 26), "26 tracks, none twice in a set")
        self.assertTrue(from_picks >= 20 and proven > 0 and len(ruts) > 3, "proven sequences show, the rut moves")


if __name__ == "__main__":
    unittest.main()
