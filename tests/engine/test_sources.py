"""Serato DJ and Mixxx sources on files the tests write (Serato records by a tiny writer, Mixxx databases on the
schema Mixxx 2.3 creates), detection, and the engine process following them."""
import json
import os
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

from engine_harness import SCRIPT, EngineRun
from engine.ranking import rank
from engine.sources import DEMO, choose, mixxx, serato

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "engine", "mixxx-2.3-schema.sql")
NOW = int(time.time())


def rec(tag, value=b""):
    return tag + struct.pack(">I", len(value)) + value


def otrk(path, bpm="124.00", key="Am", title="T", tag=b"pfil"):
    fields = {tag: path.lstrip("/"), b"tsng": title, b"tbpm": bpm, b"tkey": key}
    return rec(b"otrk", b"".join(rec(t, v.encode("utf-16-be", "surrogatepass")) for t, v in fields.items() if v))


def oent(row, path, start, end=None, played=False, deck=1):
    numbers = [(1, row), (28, NOW + start), (31, deck)] + ([(29, NOW + end)] if end else [])
    fields = [(n, struct.pack(">I", v)) for n, v in numbers] + [(2, path.encode("utf-16-be") + b"\0\0"),
                                                                  (50, bytes([played]))]
    return rec(b"oent", rec(b"adat", b"".join(struct.pack(">II", n, len(v)) + v for n, v in fields)))


def write(path, data, age_days=0.0):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (NOW - age_days * 86400, NOW - age_days * 86400))


def mixxx_db(folder, tracks, sets, sql=""):
    """tracks: (path, bpm, key_id, key, hidden, gone from disk); sets: {id: (hours ago, [(track, position)])}."""
    os.makedirs(folder, exist_ok=True)
    with sqlite3.connect(os.path.join(folder, "mixxxdb.sqlite")) as con, open(SCHEMA, encoding="utf-8") as f:
        con.executescript(f.read() + sql)
        for i, (path, bpm, key_id, key, hidden, gone) in enumerate(tracks, start=1):
            con.execute("INSERT INTO track_locations (id, location, fs_deleted) VALUES (?, ?, ?)", (i, path, gone))
            con.execute("INSERT INTO library (id, title, location, bpm, key_id, key, mixxx_deleted) VALUES "
                        "(?, ?, ?, ?, ?, ?, ?)", (i, os.path.basename(path), i, bpm, key_id, key, hidden))
        for pid, (hours, entries) in sets.items():
            at = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(NOW - hours * 3600))
            con.execute("INSERT INTO Playlists (id, hidden, date_created) VALUES (?, 2, ?)", (pid, at))
            con.executemany("INSERT INTO PlaylistTracks (playlist_id, track_id, position, pl_datetime_added) "
                            "VALUES (?, ?, ?, ?)", [(pid, t, pos, at) for t, pos in entries])
    con.close()


class SourcesTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="cw-sources-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.lines, self.clock = [], 1e6
        self.a, self.b, self.c, self.d, self.gone = [os.path.join(self.home, "Music", n + ".mp3") for n in "abcdg"]
        for path in (self.a, self.b, self.c, self.d):
            write(path, b"")
        self.tracks = [(self.a, 124, 22, "Am", 0, 0), (self.b, 125, 17, "Em", 0, 0), (self.c, 126, 0, "D♯m/E♭m", 0, 0),
                       (self.d, 124, 22, "Am", 1, 0), (self.gone, 124, 9, "", 0, 0), (self.gone + "2", 9, 9, "", 0, 1)]

    def open(self, kind, path, **options):
        made = kind(path, say=self.lines.append, **options)
        made.start()
        return made

    def settle(self, source, polls=4):
        for _ in range(polls):  # one part per poll
            self.clock += 1.0
            source.poll(self.clock)
        snap = source.snapshot()
        return rank(snap.library, snap.history, snap.requests, snap.today, snap.exists)

    def test_serato_now_playing_over_a_growing_session(self):
        a, b, x = "/m/a.mp3", "/m/b.mp3", "/m/x.mp3"
        cases = [  # entries (row, path, start, end, played, deck) as written, oldest first -> (now, tonight)
            ("loaded on one deck", [(1, a, 10)], a, [a]),
            ("two decks: the first loaded plays", [(1, a, 10), (2, b, 20, None, False, 2)], a, [a]),
            ("handed over", [(1, a, 10), (2, b, 20, None, False, 2), (1, a, 10, 30, True)], b, [a, b]),
            ("loaded, never played", [(1, a, 10), (2, x, 20, None, False, 2), (2, x, 20, 25, False, 2),
                                      (3, b, 26, None, False, 2), (1, a, 10, 40, True)], b, [a, b]),
            ("marked played on deck", [(1, a, 10, None, True), (2, b, 20, None, True, 2)], b, [a, b]),
            ("replay", [(1, a, 10, 20, True), (2, b, 15, 30, True, 2), (3, a, 31)], a, [a, b, a]),
            ("end written later", [(1, a, 10, None, True), (1, a, 10, 50, True)], a, [a]),
            ("every deck emptied", [(1, b, 10, 60, True), (2, a, 20, 50, True, 2)], b, [a, b]),
            ("nothing played", [(1, a, 10, 20, False)], None, []),
        ]
        for name, entries, now, tonight in cases:
            for cut in (0, 7):  # a half-written last record waits until it is complete
                got = serato.read_session(rec(b"vrsn") + b"".join(oent(*e) for e in entries) + oent(
                    9, x, 99, None, True)[:cut], "s")
                entry = serato.playing(got)
                self.assertEqual((getattr(entry, "path", None), serato.played_paths(got, entry)), (now, tonight), name)

    def test_serato_library_crates_sets_and_damage(self):
        a, b, c, d, gone = self.a, self.b, self.c, self.d, self.gone
        folder = os.path.join(self.home, "Music", "_Serato_")
        database, sessions = os.path.join(folder, "database V2"), os.path.join(folder, "History", "Sessions")
        good = rec(b"vrsn") + otrk(a) + otrk(b, "125.5", "Em") + otrk(c, "NaN", "H") + otrk(d, "1e999", "F#m", "") \
            + otrk("/x", tag=b"pnot") + otrk(gone, title="\ud800\0")
        write(database, good + otrk(a)[:-3])
        for crate, path in (("Requests", c), ("Sets%%Warm-up", b)):
            write(os.path.join(folder, "Subcrates", crate + ".crate"), rec(b"vrsn") + otrk(path, tag=b"ptrk"))
        write(os.path.join(sessions, "1.session"), rec(b"vrsn") + oent(1, a, -900000, -899991, True) + oent(
            2, b, -899995, -899901, True, 2), age_days=10)
        write(os.path.join(sessions, "2.session"), rec(b"vrsn") + rec(b"\x01\x02\x03\x04"))
        write(os.path.join(sessions, "3.session"), rec(b"vrsn") + oent(1, a, -60))
        source = self.open(serato.SeratoSource, folder, drives=list)
        result = self.settle(source)
        self.assertEqual({t.path: (t.key, t.bpm, t.category, t.title) for t in source.snapshot().library}, {
            a: ("8A", 124, None, "T"), b: ("9A", 125.5, "warmup", "T"), c: ("", 0, None, "T"),
            d: ("11A", 0, None, "d.mp3"), gone: ("8A", 124, None, "\ufffd")})
        picks = {p.track.path: p for p in result.next + result.fresh + result.bangers}
        self.assertEqual((result.now.path, result.cats, picks[b].proven, picks[c].prep, {a, gone} & set(picks)),
                         (a, [("warmup", "Warm-up")], 1, True, set()), "the track playing, missing files: no pick")
        self.assertEqual(["session 2.session" in line for line in self.lines], [True], "a damaged session is left out")
        for damage in (b"\x00\x01garbage" * 9, b"", b"vrsn\xff\xff\xff\xff"):
            kept = len(source.snapshot().library)
            write(database, damage, age_days=-1)
            self.assertEqual((len(self.settle(source).next), len(source.snapshot().library)), (2, kept))
            write(database, good + otrk(os.path.join(self.home, "e")), age_days=-2)
            self.assertEqual((len(self.settle(source, 2).next), len(source.snapshot().library)), (2, 6))
            self.assertEqual([("cannot read" in x, "readable again" in x) for x in self.lines[1:]],
                             [(True, False), (False, True)], "the damage and the repair, each said once")
            del self.lines[1:]
        write(database, good, -4)  # a new version, replaced again while it is read:
        with mock.patch.object(serato, "read_tracks", lambda folder: write(database, good, -3) or []):
            self.settle(source, 1)
        self.assertEqual(len(source.snapshot().library), 6, "what was read from a replaced file is not trusted")
        self.assertEqual(len(self.settle(source, 2).next) and len(source.snapshot().library), 5)

    def test_mixxx_tonight_is_the_newest_history_playlist_read_while_mixxx_writes(self):
        folder = os.path.join(self.home, ".mixxx")
        database = os.path.join(folder, "mixxxdb.sqlite")
        named = ("INSERT INTO crates VALUES (7, 'Peak time', 1, 1, 0, 0); INSERT INTO crate_tracks VALUES (7, 2);"
                 "INSERT INTO Playlists (id, name) VALUES (8, 'requests');"
                 "INSERT INTO PlaylistTracks VALUES (9, 8, 3, 1, 0)")
        for name, sets, now in [  # history playlists -> track now playing (None: the waiting document)
                ("newest by id, last by position", {2: (1, [(2, 2), (1, 1)]), 1: (0, [(3, 1)])}, self.b),
                ("newest empty: Mixxx just started", {1: (48, [(1, 1), (2, 2)]), 2: (0, [])}, None),
                ("newest ended days ago", {1: (50, [(1, 1)]), 2: (48, [(2, 1), (3, 2)])}, None),
                ("a set followed before", {1: (30, [(1, 1), (2, 2)]), 2: (0, [(1, 1)])}, self.a)]:
            shutil.rmtree(folder, True)
            mixxx_db(folder, self.tracks, sets, named)
            source = self.open(mixxx.MixxxSource, folder)
            result = self.settle(source)
            self.assertEqual((getattr(result.now, "path", None), result.cats, os.listdir(folder)),
                             (now, [("peak", "Peak")], ["mixxxdb.sqlite"]), name)
        picks = {p.track.path: p for p in result.next}
        self.assertEqual((picks[self.b].proven, picks[self.c].prep, self.gone in picks), (1, True, False))
        keys = {t.path: t.key for t in source.snapshot().library}
        self.assertEqual(keys, {self.a: "8A", self.b: "9A", self.c: "2A", self.gone: "4B"})
        with sqlite3.connect(database) as con:
            con.execute("UPDATE library SET bpm = 127.5 WHERE id = 1")
            con.execute("INSERT INTO PlaylistTracks (playlist_id, track_id, position) VALUES (2, 2, 2)")
        self.assertEqual((self.settle(source).now.path, source.snapshot().library.get(self.a).bpm), (self.b, 127.5))
        holder = sqlite3.connect(database, isolation_level=None)
        holder.execute("BEGIN EXCLUSIVE")
        os.utime(database, (NOW + 5, NOW + 5))
        self.assertEqual((self.settle(source).now.path, len(self.lines)), (self.b, 1), self.lines)
        holder.execute("ROLLBACK")
        holder.close()
        self.assertEqual((self.settle(source).now.path, self.lines[-1][-14:]), (self.b, "readable again"))
        with open(database, "r+b") as f:
            f.write(b"not a database at all" * 10)
        self.assertEqual((self.settle(source).now.path, len(self.lines)), (self.b, 3), self.lines)
        shutil.rmtree(folder)
        mixxx_db(folder, self.tracks, {1: (0, [(3, 1)])})
        self.assertEqual((self.settle(source).now.path, os.listdir(folder)), (self.c, ["mixxxdb.sqlite"]))

    def test_detection_in_the_standard_places_of_each_system_and_settings(self):
        serato_folder, mixxx_folder = os.path.join(self.home, "Music", "_Serato_"), os.path.join(self.home, "Mixxx")
        write(os.path.join(serato_folder, "database V2"), rec(b"vrsn"), 3)
        os.makedirs(mixxx_folder)  # without its database: never offered
        for system, settings, expected in [("darwin", {}, ("serato", serato_folder)),
                                           ("win32", {}, ("serato", serato_folder)),
                                           ("linux", {"source": "mixxx", "source_path": "/x"}, ("mixxx", "/x")),
                                           ("linux", {"source": "later"}, ("serato", serato_folder)),
                                           ("win32", {"source": "mixxx"}, ("mixxx", mixxx_folder))]:
            choice = choose(settings, self.home, {"USERPROFILE": self.home, "LOCALAPPDATA": self.home}, system)
            self.assertEqual((choice.id, choice.path), expected, settings)

    def test_the_process_lists_sources_then_follows_detection_and_settings(self):
        for made in ((), ("mixxx", "serato")):
            if made:
                write(os.path.join(self.home, "Music", "_Serato_", "database V2"), rec(b"vrsn") + otrk("/a"), 1)
                mixxx_db(os.path.join(self.home, ".mixxx"), self.tracks, {1: (0, [(1, 1)])})
            before = sorted(os.walk(self.home))
            out = subprocess.run([sys.executable, SCRIPT, "--list-sources"], env=dict(os.environ, HOME=self.home),
                                 capture_output=True, timeout=30)
            self.assertEqual((out.returncode, sorted(os.walk(self.home))), (0, before), "it writes nothing")
            self.assertEqual([(d["id"], d["tracks"], sorted(d)) for d in map(json.loads, out.stdout.splitlines())],
                             [(i, n, ["changed", "id", "name", "path", "tracks"]) for i, n in zip(made, (4, 1))])
        with EngineRun(home=self.home) as run:
            doc = run.wait_feed(lambda d: d.get("ok"))
            self.assertEqual((doc["source"], doc["now"]["path"], doc["cats"]),
                             ({"id": "mixxx", "name": "Mixxx", "tracks": 4}, self.a, []))
            write(os.path.join(run.support, "settings.json"), b'{"source": "demo", "language": "de"}')
            run.wait_feed(lambda d: d["source"] == {"id": DEMO, "name": "Demo crate", "tracks": 60}, 10)
            os.unlink(os.path.join(run.support, "settings.json"))
            run.wait_feed(lambda d: d["source"]["id"] == "mixxx" and d["ok"], 8)
            with open(run.stderr, encoding="utf-8") as f:
                said = [line.split(",")[0][8:] for line in f if line.startswith("source: ")]
        self.assertEqual(said, ["Mixxx at %s/.mixxx" % self.home, "Demo crate", "Mixxx at %s/.mixxx" % self.home])


if __name__ == "__main__":
    unittest.main()
