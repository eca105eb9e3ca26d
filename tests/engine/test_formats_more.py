"""VirtualDJ, Traktor, Engine DJ and rekordbox XML sources on files written from the published formats: a
table per format of what its source serves, detection, damaged files and an entity bomb, VirtualDJ live."""
import datetime
import json
import os
import resource
import shutil
import sqlite3
import tempfile
import time
import unittest
from urllib.parse import quote

from engine_harness import EngineRun
from engine.sources import detect, enginedj, rekordbox_xml, traktor, virtualdj

CAFE = "Café Über Straße"


class FormatCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cw-formats-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def song(self, name):
        return self.path("Music", name + ".mp3")

    def write(self, rel, data):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        with open(self.path(rel), "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
        return self.path(rel)

    def serve(self, source):
        self.said = []
        source.say = self.said.append
        source.start()
        snap = source.snapshot()
        self.tracks = {t.path: t for t in snap.library}
        return snap

    def check(self, rows):
        for what, got, expected in rows:
            with self.subTest(what):
                self.assertEqual(got, expected)

    def track(self, name):
        track = self.tracks[self.song(name)]
        return track.key, track.bpm, track.title, track.category


class VirtualDJTest(FormatCase):
    ENTRY = "#EXTVDJ:<time>21:00</time><artist>A</artist><title>%s</title>\r\n%s\r\n"

    def home(self):
        songs = [(self.song("a"), '<Tags Author="A &amp; B" Title="One" Key="Am"/><Scan Bpm="0.5" Key="C"/>'),
                 (self.song(CAFE), '<Tags Title="%s"/><Scan Bpm="0" AltBpm="0.5" Key="A#m"/>' % CAFE),
                 (self.song("b"), '<Scan Bpm="0.48"/>'), ("netsearch://dz1", '<Tags Title="Stream"/>')]
        self.write("vdj/database.xml", '<?xml version="1.0" encoding="UTF-8"?>\r\n<VirtualDJ_Database>\r\n'
                   + "".join('<Song FilePath="%s">%s</Song>\r\n' % s for s in songs) + "</VirtualDJ_Database>\r\n")
        self.write("vdj/Playlists/Warm-up.m3u", self.ENTRY % ("", self.song("b")))
        self.write("vdj/Playlists/Requests.m3u", self.ENTRY % ("", self.song(CAFE)))
        self.write("vdj/History/2024/01/2024-01-05.m3u", self.ENTRY % ("", self.song("a"))
                   + self.ENTRY % ("", self.song("b")))
        self.write("vdj/History/tracklist.txt", "VirtualDJ History - 2024/01/05\r\n21:00 : A - One\r\n")
        return self.write("vdj/History/%s.m3u" % datetime.date.today(), self.ENTRY % (CAFE, self.song(CAFE)))

    def test_source(self):
        tonight = self.home()
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

    def test_an_entry_counts_once_its_line_is_complete(self):
        line = ("#EXTVDJ:<title>%s</title>\n%s\n" % (CAFE, self.song(CAFE))).encode()
        self.assertEqual([virtualdj.parse_m3u(line[:cut]) for cut in range(len(line) + 1)],
                         [[]] * len(line) + [[self.song(CAFE)]])

    def test_the_engine_follows_the_set_live(self):
        tonight, run = self.home(), EngineRun()
        os.makedirs(run.support)
        with open(os.path.join(run.support, "settings.json"), "w") as f:
            json.dump({"source": "virtualdj", "source_path": self.path("vdj")}, f)
        playing = lambda path: lambda doc: (doc.get("now") or {}).get("path") == path
        with run:
            run.wait_feed(playing(self.song(CAFE)), 20)
            with open(tonight, "ab") as f:
                f.write((self.ENTRY % ("One", self.song("a"))).encode())
            run.wait_feed(playing(self.song("a")), 3)


class TraktorTest(FormatCase):
    def nml(self, rel, entries, playlists):
        nodes = "".join('<NODE TYPE="PLAYLIST" NAME="%s"><PLAYLIST>%s</PLAYLIST></NODE>' % p for p in playlists)
        self.write(rel, '<?xml version="1.0" encoding="UTF-8" standalone="no" ?><NML VERSION="19"><COLLECTION>'
                   + "".join(entries) + '</COLLECTION><PLAYLISTS><NODE TYPE="FOLDER" NAME="$ROOT"><SUBNODES>'
                   + nodes + "</SUBNODES></NODE></PLAYLISTS></NML>")

    def test_source(self):
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
        self.nml("tk/collection.nml", [
            entry(boot, "a", '<TEMPO BPM="124.5"/><MUSICAL_KEY VALUE="21"/><INFO KEY="1d"/>'),
            entry(boot, CAFE, '<TEMPO BPM="fast"/><MUSICAL_KEY VALUE="6"/>'),
            entry(stick, "b", '<MUSICAL_KEY VALUE="24"/>'), entry(("Gone", "/:Sets/:"), "c"), '<ENTRY TITLE="None"/>'],
            [("Requests", plays((stick, "b", 0))), ("Peak Time", plays((boot, "a", 0)))])
        for day, played in [(9, plays((boot, "a", 10), (stick, "b", 11))),
                            (16, plays((stick, "b", 16), (boot, CAFE, 0)))]:
            self.nml("tk/History/history_2024y03m%02dd_21h00m00s.nml" % day, [], [("HISTORY", played)])
        source = traktor.open_source(self.path("tk"))
        source.volumes_root = self.path("Volumes")
        snap = self.serve(source)
        stick_b = self.path("Volumes", "Stick", "Sets", "b.mp3")
        self.check([
            ("boot volume from /, the others under Volumes", sorted(self.tracks), sorted([
                self.song("a"), self.song(CAFE), stick_b, self.path("Volumes", "Gone", "Sets", "c.mp3")])),
            ("MUSICAL_KEY, not INFO KEY; TEMPO; moment", self.track("a"), ("8A", 124.5, "a", "peak")),
            ("odd tempo costs the tempo, title intact", self.track(CAFE), ("2B", 0.0, CAFE, None)),
            ("requests", snap.requests, [stick_b]),
            ("past set by its first STARTDATE", [(s.date, s.plays) for s in snap.history.past_sets],
             [(datetime.date(2024, 3, 10), (self.song("a"), stick_b))]),
            ("newest history is tonight", snap.history.tonight, [stick_b, self.song(CAFE)]),
            ("said once what was left out", self.said, ["Traktor: 1 entries of the library name no file and are "
                                                        "left out"]),
        ])


def sqlite_file(path, script, rows):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with sqlite3.connect(path) as conn:
        conn.executescript(script)
        for table, values in rows:
            conn.executemany("INSERT INTO %s VALUES (%s)" % (table, ",".join("?" * len(values[0]))), values)
    conn.close()


class EngineDJTest(FormatCase):
    def test_source(self):
        lib, dbs = self.path("Engine Library"), self.path("Engine Library", "Database2")
        rel = lambda name: "../Music/%s.mp3" % name
        sqlite_file(os.path.join(dbs, "m.db"), (  # in WAL mode: still nothing may appear beside it
            "PRAGMA journal_mode=WAL; CREATE TABLE Track (id INTEGER PRIMARY KEY, path TEXT, title TEXT, artist TEXT,"
            " bpm INTEGER, bpmAnalyzed REAL, key INTEGER); CREATE TABLE Playlist (id INTEGER PRIMARY KEY, title TEXT);"
            "CREATE TABLE PlaylistEntity (id INTEGER PRIMARY KEY, listId INT, trackId INT, nextEntityId INT);"), [
            ("Track", [(1, rel("a"), "One", "Art", 124, 123.6, 1), (2, rel(CAFE), CAFE, "X", 0, None, 19),
                       (3, None, "No path", "", 0, 120, 2), (4, rel("b"), "", "", 120, 120.2, 40)]),
            ("Playlist", [(1, "Requests"), (2, "closing")]),
            ("PlaylistEntity", [(6, 1, 4, 0), (7, 1, 2, 6), (8, 2, 1, 0)])])
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
        snap = self.serve(enginedj.open_source(lib))
        self.check([
            ("relative paths, no NULL path", sorted(self.tracks), sorted(self.song(n) for n in ("a", "b", CAFE))),
            ("bpmAnalyzed, key 1 is Am, moment", self.track("a"), ("8A", 123.6, "One", "closing")),
            ("key 19 is Cm, NULL tempo unknown, title intact", self.track(CAFE), ("5A", 0.0, CAFE, None)),
            ("key out of range, title from the file", self.track("b")[::2], ("", "b")),
            ("playlist in chain order", snap.requests, [self.song(CAFE), self.song("b")]),
            ("past set through originTrackId", [s.plays for s in snap.history.past_sets],
             [(self.song("a"), self.song("b"))]),
            ("newest session by start time is tonight", snap.history.tonight, [self.song("b"), self.song("new")]),
            ("nothing written or created", state(), before),
        ])


class RekordboxXmlTest(FormatCase):
    def export(self, playlists):
        url = lambda name: "file://localhost" + quote(self.song(name))
        tracks = [(1, "One", "Abm", "124.00", url("a")), (2, CAFE, "5A", "fast", url(CAFE)),
                  (3, "", "F#", "128", url("b")), (4, "Web", "", "120", "https://example.com/w.mp3"),
                  (5, "Odd", "", "", "file://localhost/%FF.mp3")]
        self.write("rb.xml", '<?xml version="1.0" encoding="UTF-8"?><DJ_PLAYLISTS Version="1.0.0"><COLLECTION>'
                   + "".join(
            '<TRACK TrackID="%d" Name="%s" Tonality="%s" AverageBpm="%s" Location="%s"><TEMPO Bpm="1"/></TRACK>' % t
            for t in tracks) + '</COLLECTION><PLAYLISTS><NODE Type="0" Name="ROOT">' + "".join(
            '<NODE Type="1" Name="%s" KeyType="%d">%s</NODE>' % (name, by_url, "".join(
                '<TRACK Key="%s"/>' % (url(k) if by_url else k) for k in keys)) for name, by_url, keys in playlists)
            + "</NODE></PLAYLISTS></DJ_PLAYLISTS>")
        return self.serve(rekordbox_xml.open_source(self.path("rb.xml")))

    def test_source(self):
        snap = self.export([("Favourites", 0, ["1"]), ("Requests", 0, ["3", "9"]), ("HISTORY 2024-03-16 (2)", 0, ["3"]),
                            ("HISTORY 2024-03-16", 1, [CAFE, "a"]), ("Warm Up", 1, ["a"]),
                            ("HISTORY 2024-03-09", 0, ["1", "3"])])
        self.check([
            ("decoded local file URLs only", sorted(self.tracks), sorted(self.song(n) for n in ("a", "b", CAFE))),
            ("Tonality, AverageBpm, playlist by Location", self.track("a"), ("1A", 124.0, "One", "warmup")),
            ("Camelot Tonality, fast is unknown, title intact", self.track(CAFE), ("5A", 0.0, CAFE, None)),
            ("major key, title from the file", self.track("b")[::2], ("2B", "b")),
            ("requests by TrackID", snap.requests, [self.song("b")]),
            ("past sets by date", [(s.date, s.plays) for s in snap.history.past_sets], [
                (datetime.date(2024, 3, 9), (self.song("a"), self.song("b"))),
                (datetime.date(2024, 3, 16), (self.song(CAFE), self.song("a")))]),
            ("second session that day is tonight", snap.history.tonight, [self.song("b")]),
        ])
        self.assertEqual(self.export([("Requests", 0, ["1"])]).history.tonight, [])


class DetectionTest(FormatCase):
    def test_standard_places_newest_first(self):
        # file, program, where its installation is; newest first
        files = [("Library/Application Support/VirtualDJ/database.xml", "virtualdj", ".."),
                 ("Documents/Native Instruments/Traktor 3.11.1/collection.nml", "traktor", ".."),
                 ("Music/Engine Library/Database2/m.db", "engine", "../.."),
                 ("Documents/Native Instruments/Traktor 2.6/collection.nml", "traktor", ".."),
                 ("Documents/rekordbox.xml", "rekordbox-xml", "")]
        for age, (rel, _, _) in enumerate(files):
            self.write(rel, b'<?xml version="1.0"?><DJ_PLAYLISTS><COLLECTION Entries="7">')
            os.utime(self.path(rel), (time.time() - age * 60,) * 2)
        self.assertEqual([(i.id, i.path) for i in detect(self.dir, {}, "darwin")],
                         [(program, os.path.normpath(self.path(rel, up))) for rel, program, up in files])


class DamagedTest(FormatCase):
    XML = '<?xml version="1.0" encoding="UTF-8"?>\n<%s>' + "<x/>" * 50 + "</%s>\n"
    # how the source opens, the file it reads, its root element
    FORMATS = [(lambda p: virtualdj.open_source(p("vdj")), "vdj/database.xml", "VirtualDJ_Database"),
               (lambda p: traktor.open_source(p("tk")), "tk/collection.nml", "NML"),
               (lambda p: rekordbox_xml.open_source(p("rb.xml")), "rb.xml", "DJ_PLAYLISTS")]

    def refused(self, opened):
        snap = self.serve(opened(self.path))
        return len(snap.library), snap.history.now, len(self.said)

    def test_damaged_files_are_refused_whole_and_said_once(self):
        cases = [(opened, rel, what, data) for opened, rel, root in self.FORMATS for what, data in [
            ("missing", None), ("empty", b""), ("truncated", (self.XML % (root, root)).encode()[:80]),
            ("not XML", b"\x00\xff" * 64), ("two roots", (self.XML % (root, root) * 2).encode())]]
        engine, db = lambda p: enginedj.open_source(p("Engine Library")), "Engine Library/Database2/m.db"
        cases += [(engine, db, "missing", None), (engine, db, "empty", b""),
                  (engine, db, "not SQLite", b"SQLite format 3\x00" + b"\x07" * 600), (engine, db, "no Track", "sql")]
        for opened, rel, what, data in cases:
            with self.subTest(rel=rel, what=what):
                shutil.rmtree(self.path(rel.split("/")[0]), ignore_errors=True)
                if data == "sql":
                    sqlite_file(self.path(rel), "CREATE TABLE Other (id INTEGER);", [])
                elif data is not None:
                    self.write(rel, data)
                self.assertEqual(self.refused(opened), (0, None, 1))

    def test_an_entity_bomb_is_refused_without_growing(self):
        levels = "".join('<!ENTITY l%d "%s">' % (i, ("&l%d;" % (i - 1)) * 10) for i in range(1, 10))
        for opened, rel, root in self.FORMATS:
            with self.subTest(rel=rel):
                self.write(rel, '<?xml version="1.0"?><!DOCTYPE %s [<!ENTITY l0 "lol">%s]><%s><Song FilePath="&l9;"'
                           '/><ENTRY TITLE="&l9;"/><TRACK Name="&l9;"/></%s>' % (root, levels, root, root))
                before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
                self.assertEqual(self.refused(opened), (0, None, 1))
                self.assertLess(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, 16 * 1024)
