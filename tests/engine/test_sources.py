"""The six DJ programs' sources on files the tests write from the published formats (Serato records by a tiny
writer, Mixxx databases on the schema Mixxx 2.3 creates): a table per program of what its source serves,
detection and settings, damaged files and an entity bomb, and the engine process following them live."""
import datetime, json, os, resource, shutil, sqlite3, struct, subprocess, sys, tempfile, time, unittest
from unittest import mock
from urllib.parse import quote

from engine_harness import SCRIPT, EngineRun, wait_for
from engine.ranking import rank
from engine.sources import DEMO, choose, detect, enginedj, mixxx, rekordbox_xml, serato, traktor, virtualdj

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "engine", "mixxx-2.3-schema.sql")
NOW = int(time.time())
CAFE = "Café Über Straße"


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


def write(path, data=b"", age_days=0.0):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode("utf-8") if isinstance(data, str) else data)
    os.utime(path, (NOW - age_days * 86400, NOW - age_days * 86400))
    return path


def sqlite_file(path, script, rows=()):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with sqlite3.connect(path) as conn:
        conn.executescript(script)
        for table, values in (row for row in rows if row[1]):
            conn.executemany("INSERT INTO %s VALUES (%s)" % (table, ",".join("?" * len(values[0]))), values)
    conn.close()


def mixxx_db(folder, tracks, sets, sql=""):
    """tracks: (path, bpm, key_id, key, hidden, gone from disk); sets: {id: (hours ago, [(track, position)])}."""
    at = {pid: time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(NOW - hours * 3600)) for pid, (hours, _) in sets.items()}
    with open(SCHEMA, encoding="utf-8") as f:
        sqlite_file(os.path.join(folder, "mixxxdb.sqlite"), f.read() + sql, [
            ("track_locations (id, location, fs_deleted)", [(i, t[0], t[5]) for i, t in enumerate(tracks, 1)]),
            ("library (id, title, location, bpm, key_id, key, mixxx_deleted)",
             [(i, os.path.basename(t[0]), i) + t[1:5] for i, t in enumerate(tracks, 1)]),
            ("Playlists (id, hidden, date_created)", [(pid, 2, at[pid]) for pid in sets]),
            ("PlaylistTracks (playlist_id, track_id, position, pl_datetime_added)",
             [(pid, t, pos, at[pid]) for pid, (_, entries) in sets.items() for t, pos in entries])])


class SourceCase(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="cw-sources-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.lines, self.clock = [], 1e6

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def song(self, name):
        return self.path("Music", name + ".mp3")

    def serve(self, source):
        source.say = self.lines.append
        source.start()
        snap = source.snapshot()
        self.tracks = {t.path: t for t in snap.library}
        return snap

    def settle(self, source, polls=4):
        for _ in range(polls):  # one part per poll
            self.clock += 1.0
            source.poll(self.clock)
        snap = source.snapshot()
        return rank(snap.library, snap.history, snap.requests, snap.today, snap.exists)

    def check(self, rows):
        for what, got, expected in rows:
            with self.subTest(what):
                self.assertEqual(got, expected)

    def track(self, name):
        track = self.tracks[self.song(name)]
        return track.key, track.bpm, track.title, track.category


class SeratoMixxxTest(SourceCase):
    def setUp(self):
        super().setUp()
        self.a, self.b, self.c, self.d, self.gone = [write(self.song(n)) for n in "abcd"] + [self.song("g")]
        self.library = [(self.a, 124, 22, "Am", 0, 0), (self.b, 125, 17, "Em", 0, 0),
                        (self.c, 126, 0, "D♯m/E♭m", 0, 0), (self.d, 124, 22, "Am", 1, 0),
                        (self.gone, 124, 9, "", 0, 0), (self.gone + "2", 9, 9, "", 0, 1)]

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
        folder = self.path("Music", "_Serato_")
        database, sessions = os.path.join(folder, "database V2"), os.path.join(folder, "History", "Sessions")
        good = rec(b"vrsn") + otrk(a) + otrk(b, "125.5", "Em") + otrk(c, "NaN", "H") + otrk(d, "1e999", "F#m", "") \
            + otrk("/x", tag=b"pnot") + otrk(gone, title="\ud800\0")
        write(database, good + otrk(a)[:-3])
        for crate, path in (("Requests", c), ("Sets%%Warm-up", b), ("Old%%requests", a)):
            write(os.path.join(folder, "Subcrates", crate + ".crate"), rec(b"vrsn") + otrk(path, tag=b"ptrk"))
        write(os.path.join(sessions, "1.session"), rec(b"vrsn") + oent(1, a, -900000, -899991, True) + oent(
            2, b, -899995, -899901, True, 2), age_days=10)
        write(os.path.join(sessions, "2.session"), rec(b"vrsn") + rec(b"\x01\x02\x03\x04"))
        write(os.path.join(sessions, "3.session"), rec(b"vrsn") + oent(1, a, -60))
        write(os.path.join(sessions, "\u00b9.session"), rec(b"vrsn"), age_days=30)  # isdigit(), yet no number
        drive = self.path(os.fsdecode(b"dj\xff"), "_Serato_")  # a name that is not UTF-8: its tracks left out
        write(os.path.join(drive, "database V2"), rec(b"vrsn") + otrk("/x.mp3"))
        source = serato.SeratoSource(folder, drives=lambda: [drive])
        snap = self.serve(source)
        result = self.settle(source)
        self.assertEqual({t.path: (t.key, t.bpm, t.category, t.title) for t in source.snapshot().library}, {
            a: ("8A", 124, None, "T"), b: ("9A", 125.5, "warmup", "T"), c: ("", 0, None, "T"),
            d: ("11A", 0, None, "d.mp3"), gone: ("8A", 124, None, "\ufffd")})
        picks = {p.track.path: p for p in result.next + result.fresh + result.bangers}
        self.assertEqual((result.now.path, result.cats, picks[b].proven, picks[c].prep, {a, gone} & set(picks)),
                         (a, [("warmup", "Warm-up")], 1, True, set()), "the track playing, missing files: no pick")
        self.assertEqual((sorted(snap.requests), "1 tracks left out" in self.lines.pop(),
                          ["session 2.session" in line for line in self.lines]), ([a, c], True, [True]),
                         "every crate named Requests; a damaged session is left out")
        for damage in (b"\x00\x01garbage" * 9, b"", b"vrsn\xff\xff\xff\xff"):
            kept = len(source.snapshot().library)
            write(database, damage, age_days=-1)
            self.assertEqual((len(self.settle(source).next), len(source.snapshot().library)), (2, kept))
            write(database, good + otrk(self.path("e")), age_days=-2)
            self.assertEqual((len(self.settle(source, 2).next), len(source.snapshot().library)), (2, 6))
            self.assertEqual([("cannot read" in x, "readable again" in x) for x in self.lines[1:]],
                             [(True, False), (False, True)], "the damage and the repair, each said once")
            del self.lines[1:]
        write(database, good, -4)  # a new version, replaced again while it is read:
        with mock.patch.object(serato, "read_tracks", lambda folder: write(database, good, -3) or []):
            self.settle(source, 1)
        self.assertEqual(len(source.snapshot().library), 6, "what was read from a replaced file is not trusted")
        self.assertEqual(len(self.settle(source, 2).next) and len(source.snapshot().library), 5)
        with open(os.path.join(sessions, "3.session"), "ab") as f:
            f.write(oent(2, b, -30, None, True, 2))
        self.assertEqual(self.settle(source).now.path, b, "tonight's session followed")
        write(os.path.join(sessions, "3.session"), b"\xff" * 64)
        self.assertEqual(getattr(self.settle(source).now, "path", None), b, "damaged: what was read of it stays")

    def test_mixxx_tonight_is_the_newest_history_playlist_read_while_mixxx_writes(self):
        folder = self.path(".mixxx")
        database = os.path.join(folder, "mixxxdb.sqlite")
        named = ("INSERT INTO crates VALUES (7, 'Peak time', 1, 1, 0, 0); INSERT INTO crate_tracks VALUES (7, 2);"
                 "INSERT INTO Playlists (id, name) VALUES (8, 'requests');"
                 "INSERT INTO PlaylistTracks VALUES (9, 8, 3, 1, 0);")
        for name, sets, now in [  # history playlists -> track now playing (None: the waiting document)
                ("newest by id, last by position", {2: (1, [(2, 2), (1, 1)]), 1: (0, [(3, 1)])}, self.b),
                ("newest empty: Mixxx just started", {1: (48, [(1, 1), (2, 2)]), 2: (0, [])}, None),
                ("write-ahead log, newest ended days ago", {1: (50, [(1, 1)]), 2: (48, [(2, 1), (3, 2)])}, None),
                ("a set followed before", {1: (30, [(1, 1), (2, 2)]), 2: (0, [(1, 1)])}, self.a)]:
            shutil.rmtree(folder, True)
            mixxx_db(folder, self.library, sets, named + ("PRAGMA journal_mode=WAL;" if "log" in name else ""))
            source = mixxx.MixxxSource(folder)
            self.serve(source)
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
        mixxx_db(folder, self.library, {1: (0, [(3, 1)])})
        self.assertEqual((self.settle(source).now.path, os.listdir(folder)), (self.c, ["mixxxdb.sqlite"]))


class VirtualDJTest(SourceCase):
    ENTRY = "#EXTVDJ:<time>21:00</time><artist>A</artist><title>%s</title>\r\n%s\r\n"

    def vdj(self):
        songs = [(self.song("a"), '<Tags Author="A &amp; B" Title="One" Key="Am"/><Scan Bpm="0.5" Key="C"/><Poi/>'),
                 (self.song(CAFE), '<Tags Title="%s"/><Scan Bpm="0" AltBpm="0.5" Key="A#m"/>' % CAFE),
                 (self.song("b"), '<Scan Bpm="0.48"/>'), ("netsearch://dz1", '<Tags Title="Stream"/>')]
        write(self.path("vdj/database.xml"), '<?xml version="1.0" encoding="UTF-8"?>\r\n<VirtualDJ_Database>\r\n'
              + "".join('<Song FilePath="%s">%s</Song>\r\n' % s for s in songs) + "</VirtualDJ_Database>\r\n")
        write(self.path("vdj/Playlists/Warm-up.m3u"), self.ENTRY % ("", self.song("b")))
        write(self.path("vdj/Playlists/Requests.m3u"), self.ENTRY % ("", self.song(CAFE)))
        write(self.path("vdj/History/2024/01/2024-01-05.m3u"), self.ENTRY % ("", self.song("a"))
              + self.ENTRY % ("", self.song("b")))
        write(self.path("vdj/History/tracklist.txt"), "VirtualDJ History - 2024/01/05\r\n21:00 : A - One\r\n")
        return write(self.path("vdj/History/%s.m3u" % datetime.date.today()), self.ENTRY % (CAFE, self.song(CAFE)))

    def test_source(self):
        tonight = self.vdj()
        with open(tonight, "ab") as f:
            f.write((self.ENTRY % ("Cut", self.song(CAFE))).encode()[:-8])  # cut inside "ß"
        snap = self.serve(virtualdj.open_source(self.path("vdj")))
        self.check([
            ("files, no stream", sorted(self.tracks), sorted(self.song(n) for n in ("a", "b", CAFE))),
            ("typed key wins, seconds per beat", self.track("a"), ("8A", 120.0, "One", None)),
            ("analysed key, Bpm 0 is unknown, title intact", self.track(CAFE), ("3A", 0.0, CAFE, None)),
            ("moment from a playlist", self.track("b")[3], "warmup"),
            ("requests", snap.requests, [self.song(CAFE)]),
            ("past set once, from History/YYYY/MM", [(s.date, s.plays) for s in snap.history.past_sets],
             [(datetime.date(2024, 1, 5), (self.song("a"), self.song("b")))]),
            ("tonight without the entry being written", snap.history.tonight, [self.song(CAFE)]),
        ])
        os.utime(tonight, (time.time() - 7 * 3600,) * 2)  # hours since the last track: the night is over
        self.assertEqual(self.serve(virtualdj.open_source(self.path("vdj"))).history.tonight, [])
        line = ("#EXTVDJ:<title>%s</title>\n%s\n" % (CAFE, self.song(CAFE))).encode()
        self.assertEqual([virtualdj.parse_m3u(line[:cut]) for cut in range(len(line) + 1)],
                         [[]] * len(line) + [[self.song(CAFE)]], "an entry counts once its line is complete")

    def test_the_engine_follows_the_set_live(self):
        tonight, run = self.vdj(), EngineRun()
        write(os.path.join(run.support, "settings.json"), json.dumps({"source": "virtualdj", "source_path": self.path(
            "vdj")}))
        playing = lambda path: lambda doc: (doc.get("now") or {}).get("path") == path
        with run:
            run.wait_feed(playing(self.song(CAFE)), 20)
            with open(tonight, "ab") as f:
                f.write((self.ENTRY % ("One", self.song("a"))).encode())
            os.mkfifo(self.path("vdj/Playlists/Peak.m3u"))  # opening it would wait for a writer for good
            self.assertTrue(wait_for(lambda: "Peak.m3u is a FIFO" in open(run.stderr, encoding="utf-8").read(), 5))
            with open(tonight, "ab") as f:
                f.write((self.ENTRY % ("Two", self.song("b"))).encode())
            run.wait_feed(playing(self.song("b")), 3)
            run.proc.terminate()
            self.assertEqual(run.proc.wait(5), 0)


class FormatsTest(SourceCase):
    def nml(self, rel, entries, playlists=()):
        nodes = "".join('<NODE TYPE="PLAYLIST" NAME="%s"><PLAYLIST>%s</PLAYLIST></NODE>' % p for p in playlists)
        write(self.path(rel), '<?xml version="1.0" encoding="UTF-8" standalone="no" ?><NML VERSION="19"><COLLECTION>'
              + "".join(entries) + '</COLLECTION><PLAYLISTS><NODE TYPE="FOLDER" NAME="$ROOT"><SUBNODES>'
              + nodes + "</SUBNODES></NODE></PLAYLISTS></NML>")

    def test_traktor(self):
        os.makedirs(self.path("Volumes", "Stick"))
        os.symlink("/", self.path("Volumes", "Macintosh HD"))
        boot = ("Macintosh HD", "/:" + "/:".join(self.path("Music").strip("/").split("/")) + "/:")
        stick = ("Stick", "/:Sets/:")

        def entry(where, name, extra=""):
            return '<ENTRY TITLE="%s" ARTIST="Art"><LOCATION VOLUME="%s" DIR="%s" FILE="%s.mp3"/>%s</ENTRY>' % (
                name, where[0], where[1], name, extra)

        def plays(*keys):
            return "".join('<ENTRY><PRIMARYKEY TYPE="TRACK" KEY="%s%s%s.mp3"/><EXTENDEDDATA STARTDATE="%d"/>'
                           '</ENTRY>' % (where + (name, 2024 << 16 | 3 << 8 | day)) for where, name, day in keys)

        # In the order Traktor writes an entry's parts; a file laid out otherwise is read as well.
        for extra in ('<ALBUM/><INFO KEY="1d"/><TEMPO BPM="124.5"/><LOUDNESS/><MUSICAL_KEY VALUE="21"/><CUE_V2/>',
                      '<TEMPO BPM="124.5"/><INFO KEY="1d"/><MUSICAL_KEY VALUE="21"/>'):
            self.nml("tk/collection.nml", [
                entry(boot, "a", extra), entry(boot, CAFE, '<INFO/><TEMPO BPM="fast"/><MUSICAL_KEY VALUE="6"/>'),
                entry(stick, "b", '<INFO/><MUSICAL_KEY VALUE="24"/>'), entry(("Gone", "/:Sets/:"), "c"),
                '<ENTRY TITLE="None"/>'], [("Requests", plays((stick, "b", 0))), ("Peak Time", plays((boot, "a", 0)))])
            for day, played in [(9, plays((boot, "a", 10), (stick, "b", 11))), (2, plays((boot, "a", 1 << 50))),
                                (16, plays((stick, "b", 16), (boot, CAFE, 0)))]:
                self.nml("tk/History/history_2024y03m%02dd_21h00m00s.nml" % day, [], [("HISTORY", played)])
            source, self.lines = traktor.open_source(self.path("tk")), []
            source.volumes_root = self.path("Volumes")
            snap, stick_b = self.serve(source), self.path("Volumes", "Stick", "Sets", "b.mp3")
            self.check([
                ("boot volume from /, the others under Volumes", sorted(self.tracks), sorted([
                    self.song("a"), self.song(CAFE), stick_b, self.path("Volumes", "Gone", "Sets", "c.mp3")])),
                ("MUSICAL_KEY, not INFO KEY; TEMPO; moment", self.track("a"), ("8A", 124.5, "a", "peak")),
                ("odd tempo costs the tempo, title intact", self.track(CAFE), ("2B", 0.0, CAFE, None)),
                ("requests", snap.requests, [stick_b]),
                ("past set by its first STARTDATE", [(s.date, s.plays) for s in snap.history.past_sets],
                 [(datetime.date(2024, 3, 2), (self.song("a"),)),  # its STARTDATE no date: the file's day
                  (datetime.date(2024, 3, 10), (self.song("a"), stick_b))]),
                ("newest history is tonight", snap.history.tonight, [stick_b, self.song(CAFE)]),
                ("said once what was left out", self.lines, ["Traktor: 1 entries of the library name no file "
                                                             "and are left out"]),
            ])
        write(self.path("tk/History/history_2024y03m16d_21h00m00s.nml"), "<NML><PLAYLISTS><NODE", -1)
        damaged = self.serve(source).history.tonight
        self.nml("tk/History/history_2024y03m23d_21h00m00s.nml", [], [("HISTORY", "")])
        self.assertEqual((damaged, self.serve(source).history.tonight), ([stick_b, self.song(CAFE)], []),
                         "a damaged newest session keeps what was read of it; a newer one without plays: none")

    def test_engine_dj(self):
        lib, dbs = self.path("Engine Library"), self.path("Engine Library", "Database2")
        rel = lambda name: "../Music/%s.mp3" % name
        sqlite_file(os.path.join(dbs, "m.db"), (  # in WAL mode: still nothing may appear beside it
            "PRAGMA journal_mode=WAL; CREATE TABLE Track (id INTEGER PRIMARY KEY, path TEXT, title TEXT, artist TEXT,"
            " bpm INTEGER, bpmAnalyzed REAL, key INTEGER); CREATE TABLE Playlist (id INTEGER PRIMARY KEY, title TEXT);"
            "CREATE TABLE PlaylistEntity (id INTEGER PRIMARY KEY, listId INT, trackId INT, nextEntityId INT);"), [
            ("Track", [(1, rel("a"), "One", "Art", 124, 123.6, 1), (2, rel(CAFE), CAFE, "X", 0, None, 19),
                       (3, None, "No path", "", 0, 120, 2), (4, rel("b"), "", "", 120, 120.2, 40)]),
            ("Playlist", [(1, "Requests"), (2, "closing"), (3, "Requests")]),
            ("PlaylistEntity", [(6, 1, 4, 0), (7, 1, 2, 6), (8, 2, 1, 0), (9, 3, 1, 0)])])
        sqlite_file(os.path.join(dbs, "hm.db"), (
            "CREATE TABLE Track (id INTEGER PRIMARY KEY, path TEXT, originTrackId INTEGER);"
            "CREATE TABLE Historylist (id INTEGER PRIMARY KEY, startTime INTEGER);"
            "CREATE TABLE HistorylistEntity (id INTEGER PRIMARY KEY, listId INT, trackId INT, startTime INT);"), [
            ("Track", [(10, rel("a-as-once-named"), 1), (11, rel("b"), 4), (12, rel("new"), 99)]),
            ("Historylist", [(1, 1709900000), (2, 1710500000)]),
            ("HistorylistEntity", [(1, 1, 10, 1709900100), (2, 1, 11, 1709900400), (4, 2, 12, 1710500400),
                                   (3, 2, 11, 1710500100)])])
        state = lambda: [(n, os.stat(os.path.join(dbs, n)).st_mtime_ns) for n in sorted(os.listdir(dbs))]
        before = state()
        os.makedirs(self.path(os.fsdecode(b"dj\xff")))  # a linked library folder, in a folder named in Latin-1
        os.symlink(lib, self.path(os.fsdecode(b"dj\xff"), "Engine Library"))
        snap = self.serve(enginedj.open_source(self.path(os.fsdecode(b"dj\xff"), "Engine Library")))
        self.check([
            ("relative paths, no NULL path", sorted(self.tracks), sorted(self.song(n) for n in ("a", "b", CAFE))),
            ("bpmAnalyzed, key 1 is Am, moment", self.track("a"), ("8A", 123.6, "One", "closing")),
            ("key 19 is Cm, NULL tempo unknown, title intact", self.track(CAFE), ("5A", 0.0, CAFE, None)),
            ("key out of range, title from the file", self.track("b")[::2], ("", "b")),
            ("playlists in chain order", snap.requests, [self.song(CAFE), self.song("b"), self.song("a")]),
            ("past set through originTrackId", [s.plays for s in snap.history.past_sets],
             [(self.song("a"), self.song("b"))]),
            ("newest session by start time is tonight", snap.history.tonight, [self.song("b"), self.song("new")]),
            ("nothing written or created", state(), before),
        ])
        sqlite_file(os.path.join(dbs, "hm.db"), "INSERT INTO Historylist VALUES (3, 1711100000);")
        self.assertEqual(self.serve(enginedj.open_source(lib)).history.tonight, [], "a new session, nothing played")

    def rekordbox(self, playlists):
        url = lambda name: "file://localhost" + quote(self.song(name))
        tracks = [(1, "One", "Abm", "124.00", url("a")), (2, CAFE, "5A", "fast", url(CAFE)),
                  (3, "", "F#", "128", url("b")), (4, "Web", "", "120", "https://example.com/w.mp3"),
                  (5, "Odd", "", "", "file://localhost/%FF.mp3")]
        collection = "".join('<TRACK TrackID="%d" Name="%s" Tonality="%s" AverageBpm="%s" Location="%s"><TEMPO '
                             'Bpm="1"/></TRACK>' % t for t in tracks)
        nodes = "".join('<NODE Type="1" Name="%s" KeyType="%d">%s</NODE>' % (name, by_url, "".join(
            '<TRACK Key="%s"/>' % (url(k) if by_url else k) for k in keys)) for name, by_url, keys in playlists)
        write(self.path("rb.xml"), '<?xml version="1.0" encoding="UTF-8"?><DJ_PLAYLISTS Version="1.0.0"><COLLECTION>'
              '%s</COLLECTION><PLAYLISTS><NODE Type="0" Name="ROOT">%s</NODE></PLAYLISTS></DJ_PLAYLISTS>'
              % (collection, nodes))
        return self.serve(rekordbox_xml.open_source(self.path("rb.xml")))

    def test_rekordbox_xml(self):
        snap = self.rekordbox([("Favourites", 0, ["1"]), ("Requests", 0, ["3", "9"]), ("HISTORY 2024-03-16 (2)", 0,
                               ["3"]), ("HISTORY 2024-03-16", 1, [CAFE, "a"]), ("Warm Up", 1, ["a"]),
                               ("HISTORY 2024-03-09", 0, ["1", "3"]), ("Requests", 1, [CAFE])])
        self.check([
            ("decoded local file URLs only", sorted(self.tracks), sorted(self.song(n) for n in ("a", "b", CAFE))),
            ("Tonality, AverageBpm, playlist by Location", self.track("a"), ("1A", 124.0, "One", "warmup")),
            ("Camelot Tonality, fast is unknown, title intact", self.track(CAFE), ("5A", 0.0, CAFE, None)),
            ("major key, title from the file", self.track("b")[::2], ("2B", "b")),
            ("requests by TrackID, by Location", snap.requests, [self.song("b"), self.song(CAFE)]),
            ("past sets by date", [(s.date, s.plays) for s in snap.history.past_sets], [
                (datetime.date(2024, 3, 9), (self.song("a"), self.song("b"))),
                (datetime.date(2024, 3, 16), (self.song(CAFE), self.song("a")))]),
            ("second session that day is tonight", snap.history.tonight, [self.song("b")]),
            ("no history: nothing playing", self.rekordbox([("Requests", 0, ["1"])]).history.tonight, []),
        ])


class DetectionTest(SourceCase):
    def test_standard_places_newest_first_and_settings(self):
        files = [  # file, program, where its installation is (newest first); the systems it is looked for on
            ("Library/Application Support/VirtualDJ/database.xml", "virtualdj", "..", "darwin"),
            ("Music/_Serato_/database V2", "serato", "..", "darwin win32"),
            ("Documents/Native Instruments/Traktor 3.11.1/collection.nml", "traktor", "..", "darwin win32"),
            ("Music/Engine Library/Database2/m.db", "engine", "../..", "darwin win32"),
            ("Documents/Native Instruments/Traktor 2.6/collection.nml", "traktor", "..", "darwin win32"),
            ("Documents/rekordbox.xml", "rekordbox-xml", "", "darwin win32"),
            ("AppData/Local/Mixxx/mixxxdb.sqlite", "mixxx", "..", "win32")]
        for age, (rel, _, _, _) in enumerate(files):
            write(self.path(rel), b'<?xml version="1.0"?><DJ_PLAYLISTS><COLLECTION Entries="7">', age / 1440)
        os.makedirs(self.path("Documents", "VirtualDJ"))  # without its database: never offered
        for system in ("darwin", "win32"):
            self.assertEqual([(i.id, i.path) for i in detect(self.home, {"USERPROFILE": self.home}, system)], [
                (program, os.path.normpath(self.path(rel, up))) for rel, program, up, on in files if system in on])
        for system, settings, expected in [("linux", {"source": "mixxx", "source_path": "/x"}, ("mixxx", "/x")),
                                           ("darwin", {"source": "later"}, ("virtualdj", os.path.dirname(files[0][0]))),
                                           ("win32", {"source": "mixxx"}, ("mixxx", "AppData/Local/Mixxx")),
                                           ("linux", {"source": "virtualdj"}, ("serato", "Music/_Serato_")),
                                           ("linux", {"source": "demo"}, (DEMO, ""))]:
            choice = choose(settings, self.home, {"USERPROFILE": self.home}, system)
            self.assertEqual((choice.id, choice.path), (expected[0], expected[1] and self.path(expected[1])), settings)

    def test_the_process_lists_sources_then_follows_detection_and_settings(self):
        for made in ((), ("mixxx", "serato")):
            if made:
                write(self.path("Music", "_Serato_", "database V2"), rec(b"vrsn") + otrk("/a"), 1)
                mixxx_db(self.path(".mixxx"), [(write(self.song(n)), 124, 22, "Am", 0, 0) for n in "abcd"],
                         {1: (0, [(1, 1)])})
            before = sorted(os.walk(self.home))
            out = subprocess.run([sys.executable, SCRIPT, "--list-sources"], env=dict(os.environ, HOME=self.home),
                                 capture_output=True, timeout=30)
            self.assertEqual((out.returncode, sorted(os.walk(self.home))), (0, before), "it writes nothing")
            self.assertEqual([(d["id"], d["tracks"], sorted(d)) for d in map(json.loads, out.stdout.splitlines())],
                             [(i, n, ["changed", "id", "name", "path", "tracks"]) for i, n in zip(made, (4, 1))])
        with EngineRun(home=self.home) as run:
            doc = run.wait_feed(lambda d: d.get("ok"))
            self.assertEqual((doc["source"], doc["now"]["path"], doc["cats"]),
                             ({"id": "mixxx", "name": "Mixxx", "tracks": 4}, self.song("a"), []))
            write(os.path.join(run.support, "settings.json"), b'{"source": "demo", "language": "de"}')
            run.wait_feed(lambda d: d["source"] == {"id": DEMO, "name": "Demo crate", "tracks": 60}, 10)
            os.unlink(os.path.join(run.support, "settings.json"))
            run.wait_feed(lambda d: d["source"]["id"] == "mixxx" and d["ok"], 8)
            with open(run.stderr, encoding="utf-8") as f:
                said = [line.split(",")[0][8:] for line in f if line.startswith("source: ")]
        self.assertEqual(said, ["Mixxx at %s/.mixxx" % self.home, "Demo crate", "Mixxx at %s/.mixxx" % self.home])


class DamagedTest(SourceCase):
    def test_damaged_files_and_an_entity_bomb_are_refused_whole_and_said_once(self):
        xml = '<?xml version="1.0" encoding="UTF-8"?>\n<{0}>' + "<x/>" * 50 + "</{0}>\n"
        levels = "".join('<!ENTITY l%d "%s">' % (i, ("&l%d;" % (i - 1)) * 10) for i in range(1, 10))
        bomb = ('<?xml version="1.0"?><!DOCTYPE {0} [<!ENTITY l0 "lol">%s]><{0}><Song FilePath="&l9;"/><ENTRY '
                'TITLE="&l9;"/><TRACK Name="&l9;"/></{0}>' % levels)
        damage = [("missing", None), ("empty", ""), ("truncated", xml[:80]), ("not XML", "\0\xff" * 64),
                  ("two roots", xml * 2), ("entity bomb", bomb), ("a device", "/dev/zero")]  # a link: last
        # program, the folder or file its source reads, the file damaged, its root element
        cases = [(program, where, rel, what, data and data.format(root)) for program, where, rel, root in [
            (virtualdj, "vdj", "vdj/database.xml", "VirtualDJ_Database"), (traktor, "tk", "tk/collection.nml", "NML"),
            (rekordbox_xml, "rb.xml", "rb.xml", "DJ_PLAYLISTS")] for what, data in damage]
        cases += [(enginedj, "Engine Library", "Engine Library/Database2/m.db", what, data) for what, data in [
            ("missing", None), ("empty", ""), ("not SQLite", b"SQLite format 3\0" + b"\7" * 600), ("no Track", "sql"),
            ("a device", "/dev/zero")]]
        for program, where, rel, what, data in cases:
            with self.subTest(rel=rel, what=what):
                shutil.rmtree(self.path(rel.split("/")[0]), ignore_errors=True)
                if data == "sql":
                    sqlite_file(self.path(rel), "CREATE TABLE Other (id INTEGER);")
                elif data == "/dev/zero":
                    os.unlink(write(self.path(rel)))
                    os.symlink(data, self.path(rel))
                elif data is not None:
                    write(self.path(rel), data)
                del self.lines[:]
                before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
                snap = self.serve(program.open_source(self.path(where)))
                said = ("document type" in self.lines[0], "a device" in self.lines[0])
                refused = (len(snap.library), snap.history.now, len(self.lines), said)
                self.assertEqual(refused, (0, None, 1, (what == "entity bomb", what == "a device")), self.lines)
                self.assertLess(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, 16 * 1024)


if __name__ == "__main__":
    unittest.main()
