"""The demo crate: what it writes on the first start, and the files it leaves alone."""
import datetime, os, pathlib, shutil, tempfile, unittest, wave

from engine.keys import parse_key
from engine.sources import demo_crate

TODAY = datetime.date(2025, 6, 1)


class DemoCrateTest(unittest.TestCase):
    def test_writes_a_playable_crate_once_and_leaves_other_files_alone(self):
        crate = tempfile.mkdtemp(prefix="cw-demo-")
        self.addCleanup(shutil.rmtree, crate, True)
        demo_crate.ensure(crate, TODAY)
        library, past, requests = demo_crate.load(crate, TODAY)
        keys, bpms = {parse_key(t.key) for t in library} - {None}, [t.bpm for t in library]
        self.assertEqual((len(library), len(keys), min(bpms), max(bpms)), (60, 24, 90, 140))
        with wave.open(library[0].path, "rb") as w:
            self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate()), (1, 2, 44100))
        self.assertTrue(15 <= len(past) <= 25 and 2 <= len(requests) <= 6)
        self.assertTrue(all(p in library for p in requests + [p for s in past for p in s.plays]))
        later = TODAY + datetime.timedelta(days=400)  # the history moves with the calendar
        self.assertEqual(max(s.date for s in demo_crate.load(crate, later)[1]), later - datetime.timedelta(days=2))
        tracks = demo_crate.invent(TODAY)[0]
        for name in ("library.json", tracks[0]["file"], tracks[1]["file"]):
            os.unlink(os.path.join(crate, name))
        foreign = {"library.json": b'{"mine": true}', "notes.txt": b"keep me", tracks[0]["file"]: b"not ours"}
        for name, data in foreign.items():
            pathlib.Path(crate, name).write_bytes(data)
        demo_crate.ensure(crate, TODAY)
        self.assertEqual({n: pathlib.Path(crate, n).read_bytes() for n in foreign}, foreign, "left alone")
        self.assertTrue(os.path.exists(os.path.join(crate, tracks[1]["file"])), "a missing track comes back")


if __name__ == "__main__":
    unittest.main()
