"""VirtualDJ, Traktor, Engine DJ and rekordbox XML readers on files written here from the programs'
published formats: one table per format of what its reader must produce, one table of damaged files
across all four, and an entity bomb."""
import datetime
import os
import resource
import shutil
import sqlite3
import tempfile
import time
import unittest
from urllib.parse import quote

from engine.sources import enginedj, rekordbox_xml, traktor, virtualdj
from engine.sources.dj_files import Damaged

CAFE = "Café Über Straße"


class FormatCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cw-formats-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.music = self.path("Music")
        for name in ("a", "b", CAFE):
            self.write("Music/%s.mp3" % name, b"")

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def song(self, name):
        return os.path.join(self.music, name + ".mp3")

    def write(self, rel, data, mode="wb"):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        with open(self.path(rel), mode) as f:
            f.write(data.encode("utf-8") if isinstance(data, str) and "b" in mode else data)
        return self.path(rel)

    def check(self, rows):
        for what, got, expected in rows:
            with self.subTest(what):
                self.assertEqual(got, expected)


class VirtualDJTest(FormatCase):
    def test_reader(self):
        songs = [(self.song("a"), '<Tags Author="A &amp; B" Title="One" Key="Am"/><Infos PlayCount="3"/>'
                  '<Scan Bpm="0.5" Key="C"/>'),
                 (self.song(CAFE), '<Tags Author="X" Title="%s"/><Scan Bpm="0" Key="A#m"/>' % CAFE),
                 (self.song("b"), '<Tags Title="Two"/><Scan Bpm="0.48"/>'),
                 (self.song("gone"), '<Tags Title="Gone"/>'), ("netsearch://dz1", '<Tags Title="Stream"/>')]
        self.write("vdj/database.xml", '<?xml version="1.0" encoding="UTF-8"?>\r\n<VirtualDJ_Database Version="8">\r\n'
                   + "".join('<Song FilePath="%s">%s</Song>\r\n' % s for s in songs) + "</VirtualDJ_Database>\r\n")
        entry = '#EXTVDJ:<time>21:0%d</time><artist>%s</artist><title>%s</title>\r\n%s\r\n'
        self.write("vdj/History/2024/01/2024-01-05.m3u", "#EXTM3U\r\n" + entry % (1, "A", "One", self.song("a"))
                   + entry % (2, "", "Two", self.song("b")))
        self.write("vdj/History/tracklist.txt", "VirtualDJ History - 2024/01/05\r\n21:01 : A - One\r\n")
        today = (entry % (1, "X", CAFE, self.song(CAFE))).encode() + (entry % (4, "Y", "Cut", self.song(CAFE))).encode()
        self.write("vdj/History/%s.m3u" % datetime.date.today(), today[:-8])  # cut inside "ß"
        got = virtualdj.read(self.path("vdj"))
        tracks = {t.path: t for t in got.tracks}
        self.check([
            ("tracks with files, no stream", sorted(tracks), sorted(self.song(n) for n in ("a", "b", CAFE))),
            ("typed key wins, seconds per beat", (tracks[self.song("a")].key, tracks[self.song("a")].bpm), ("8A", 120.0)),
            ("entities decoded", tracks[self.song("a")].artist, "A & B"),
            ("analysed key, Bpm 0 is unknown", (tracks[self.song(CAFE)].key, tracks[self.song(CAFE)].bpm), ("3A", 0.0)),
            ("title intact", tracks[self.song(CAFE)].title, CAFE),
            ("play counts", got.play_counts, {self.song("a"): 3}),
            ("skipped", got.skipped, 1),
            ("past set once, from History/YYYY/MM", [(s.date, s.plays) for s in got.past_sets],
             [(datetime.date(2024, 1, 5), (self.song("a"), self.song("b")))]),
            ("tonight without the entry being written", got.tonight, [self.song(CAFE)]),
        ])

    def test_an_entry_counts_once_its_line_is_complete(self):
        line = ("#EXTVDJ:<title>%s</title>\n%s\n" % (CAFE, self.song(CAFE))).encode()
        for cut in range(len(line)):
            with self.subTest(cut=cut):
                self.assertEqual([e.path for e in virtualdj.parse_m3u(line[:cut])], [])
        self.assertEqual(virtualdj.parse_m3u(line), [virtualdj.Entry(self.song(CAFE), "", CAFE)])


class TraktorTest(FormatCase):
    def entry(self, volume, folder, name, extra):
        return '<ENTRY TITLE="%s" ARTIST="Art"><LOCATION VOLUME="%s" DIR="%s" FILE="%s.mp3"/>%s</ENTRY>' % (
            name, volume, folder, name, extra)

    def key(self, volume, folder, name, packed=0):
        return ('<ENTRY><PRIMARYKEY TYPE="TRACK" KEY="%s%s%s.mp3"/><EXTENDEDDATA STARTDATE="%d"/></ENTRY>'
                % (volume, folder, name, packed))

    def nml(self, rel, entries, playlists):
        nodes = "".join('<NODE TYPE="PLAYLIST" NAME="%s"><PLAYLIST>%s</PLAYLIST></NODE>' % p for p in playlists)
        self.write(rel, '<?xml version="1.0" encoding="UTF-8" standalone="no" ?><NML VERSION="19"><COLLECTION>'
                   + "".join(entries) + '</COLLECTION><PLAYLISTS><NODE TYPE="FOLDER" NAME="$ROOT"><SUBNODES>'
                   + nodes + "</SUBNODES></NODE></PLAYLISTS></NML>")

    def test_reader(self):
        os.makedirs(self.path("Volumes", "Stick", "Sets"))
        os.symlink("/", self.path("Volumes", "Macintosh HD"))
        self.write("Volumes/Stick/Sets/b.mp3", b"")
        boot = "/:" + "/:".join(self.music.strip("/").split("/")) + "/:"
        boot_entry = lambda name, key, tempo: self.entry("Macintosh HD", boot, name, (
            '<INFO PLAYCOUNT="4" LAST_PLAYED="2024/3/2"/><TEMPO BPM="%s"/><MUSICAL_KEY VALUE="%s"/>' % (tempo, key)))
        self.nml("tk/collection.nml", [
            boot_entry("a", 21, "124.5"), boot_entry(CAFE, 6, "fast"),
            self.entry("Stick", "/:Sets/:", "b", '<MUSICAL_KEY VALUE="24"/>'),
            self.entry("Gone", "/:Sets/:", "c", ""), '<ENTRY TITLE="No location"/>'],
            [("Requests", self.key("Stick", "/:Sets/:", "b"))])
        march = lambda day: 2024 << 16 | 3 << 8 | day
        self.nml("tk/History/history_2024y03m09d_21h00m00s.nml", [], [("HISTORY", self.key(
            "Macintosh HD", boot, "a", march(9)) + self.key("Stick", "/:Sets/:", "b", march(10)))])
        self.nml("tk/History/history_2024y03m16d_21h00m00s.nml", [self.entry("Macintosh HD", boot, "new", "")],
                 [("HISTORY", self.key("Stick", "/:Sets/:", "b") + self.key("Macintosh HD", boot, "new"))])
        got = traktor.read(self.path("tk"), volumes_root=self.path("Volumes"))
        tracks = {t.path: t for t in got.tracks}
        stick = self.path("Volumes", "Stick", "Sets", "b.mp3")
        self.check([
            ("boot volume from /, mounted one under Volumes, the unplugged one left out",
             sorted(tracks), sorted([self.song("a"), self.song(CAFE), stick])),
            ("MUSICAL_KEY, TEMPO", (tracks[self.song("a")].key, tracks[self.song("a")].bpm), ("8A", 124.5)),
            ("odd key and tempo cost those fields", (tracks[self.song(CAFE)].key, tracks[self.song(CAFE)].bpm,
                                                      tracks[stick].key), ("2B", 0.0, "")),
            ("title intact", tracks[self.song(CAFE)].title, CAFE),
            ("skipped", got.skipped, 1),
            ("counts", (got.play_counts[self.song("a")], got.last_played[self.song("a")]),
             (4, datetime.date(2024, 3, 2))),
            ("playlists", got.playlists, {"Requests": [stick]}),
            ("past set by its first STARTDATE", [(s.date, s.plays) for s in got.past_sets],
             [(datetime.date(2024, 3, 9), (self.song("a"), stick))]),
            ("newest history is tonight", got.tonight, [stick, self.song("new")]),
            ("its own collection names the track now playing", got.known[self.song("new")].title, "new"),
        ])


def sqlite_file(path, script, rows):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with sqlite3.connect(path) as conn:
        conn.executescript(script)
        for table, values in rows:
            conn.executemany("INSERT INTO %s VALUES (%s)" % (table, ",".join("?" * len(values[0]))), values)
    conn.close()


class EngineDJTest(FormatCase):
    def test_reader(self):
        lib = self.path("Engine Library")
        rel = lambda name: "../Music/%s.mp3" % name
        sqlite_file(os.path.join(lib, "Database2", "m.db"), (
            "CREATE TABLE Track (id INTEGER PRIMARY KEY, path TEXT, title TEXT, artist TEXT, bpm INTEGER,"
            " bpmAnalyzed REAL, key INTEGER, dateAdded INTEGER, isPlayed INTEGER, timeLastPlayed INTEGER);"
            "CREATE TABLE Playlist (id INTEGER PRIMARY KEY, title TEXT);"
            "CREATE TABLE PlaylistEntity (id INTEGER PRIMARY KEY, listId INTEGER, trackId INTEGER,"
            " nextEntityId INTEGER);"), [
            ("Track", [(1, rel("a"), "One", "Art", 124, 123.6, 1, 0, 1, 1709900000),
                       (2, rel(CAFE), CAFE, "X", 0, None, 19, 0, 0, None), (3, None, "No path", "", 0, 120, 2, 0, 0, 0),
                       (4, rel("b"), "Two", "", 120, 120.2, 40, 0, 0, 0), (5, rel("gone"), "Gone", "", 0, 0, 0, 0, 0, 0)]),
            ("Playlist", [(1, "Requests")]), ("PlaylistEntity", [(7, 1, 4, 0), (6, 1, 2, 7)])])
        sqlite_file(os.path.join(lib, "Database2", "hm.db"), (
            "CREATE TABLE Track (id INTEGER PRIMARY KEY, path TEXT, title TEXT, artist TEXT, originTrackId INTEGER);"
            "CREATE TABLE Historylist (id INTEGER PRIMARY KEY, startTime INTEGER);"
            "CREATE TABLE HistorylistEntity (id INTEGER PRIMARY KEY, listId INTEGER, trackId INTEGER,"
            " startTime INTEGER);"), [
            ("Track", [(10, rel("a-as-once-named"), "One", "Art", 1), (11, rel("b"), "Two", "", 4), (12, rel("new"), "New", "", 99)]),
            ("Historylist", [(1, 1709900000), (2, 1710500000)]),
            ("HistorylistEntity", [(1, 1, 10, 1709900100), (2, 1, 11, 1709900400), (4, 2, 12, 1710500400),
                                   (3, 2, 11, 1710500100)])])
        before = {n: os.stat(os.path.join(lib, "Database2", n)).st_mtime_ns for n in ("m.db", "hm.db")}
        got = enginedj.read(lib)
        tracks = {t.path: t for t in got.tracks}
        self.check([
            ("relative paths, existing files, no NULL path", sorted(tracks), sorted(self.song(n) for n in ("a", "b", CAFE))),
            ("bpmAnalyzed, key 1 is Am", (tracks[self.song("a")].bpm, tracks[self.song("a")].key), (123.6, "8A")),
            ("key 19 is Cm, NULL tempo unknown", (tracks[self.song(CAFE)].key, tracks[self.song(CAFE)].bpm), ("5A", 0.0)),
            ("key out of range", tracks[self.song("b")].key, ""),
            ("title intact", tracks[self.song(CAFE)].title, CAFE),
            ("skipped", got.skipped, 1),
            ("playlist in chain order", got.playlists, {"Requests": [self.song(CAFE), self.song("b")]}),
            ("past set through originTrackId", [s.plays for s in got.past_sets], [(self.song("a"), self.song("b"))]),
            ("newest session by start time is tonight", got.tonight, [self.song("b"), self.song("new")]),
            ("last played", got.last_played, {self.song("a"): datetime.date.fromtimestamp(1709900000)}),
            ("nothing written", ({n: os.stat(os.path.join(lib, "Database2", n)).st_mtime_ns for n in before},
                                 sorted(os.listdir(os.path.join(lib, "Database2")))), (before, ["hm.db", "m.db"])),
        ])


class RekordboxXmlTest(FormatCase):
    def document(self, playlists):
        url = lambda name: "file://localhost" + quote(self.song(name))
        tracks = [(1, "One", "Art", "124.00", "Abm", url("a")), (2, CAFE, "X", "fast", "5A", url(CAFE)),
                  (3, "Two", "", "128", "F#", url("b")), (4, "Web", "", "120", "", "https://example.com/w.mp3"),
                  (5, "Gone", "", "120", "", url("gone"))]
        self.write("rb.xml", '<?xml version="1.0" encoding="UTF-8"?><DJ_PLAYLISTS Version="1.0.0"><COLLECTION>'
                   + "".join('<TRACK TrackID="%d" Name="%s" Artist="%s" AverageBpm="%s" Tonality="%s" PlayCount="2"'
                             ' Location="%s"><TEMPO Bpm="1"/></TRACK>' % t for t in tracks)
                   + '</COLLECTION><PLAYLISTS><NODE Type="0" Name="ROOT">' + "".join(
                       '<NODE Type="1" Name="%s" KeyType="%d">%s</NODE>' % (name, by_url, "".join(
                           '<TRACK Key="%s"/>' % (url(k) if by_url else k) for k in keys))
                       for name, by_url, keys in playlists) + "</NODE></PLAYLISTS></DJ_PLAYLISTS>")
        return rekordbox_xml.read(self.path("rb.xml"))

    def test_reader(self):
        got = self.document([("Requests", 0, ["3", "9"]), ("HISTORY 2024-03-16", 1, [CAFE, "a"]),
                             ("HISTORY 2024-03-09", 0, ["1", "3"]), ("HISTORY 2024-03-16 (2)", 0, ["3"])])
        tracks = {t.path: t for t in got.tracks}
        self.check([
            ("decoded file URLs only, existing files", sorted(tracks), sorted(self.song(n) for n in ("a", "b", CAFE))),
            ("Tonality forms", [tracks[self.song(n)].key for n in ("a", CAFE, "b")], ["1A", "5A", "2B"]),
            ("AverageBpm, and fast is unknown", [tracks[self.song(n)].bpm for n in ("a", CAFE)], [124.0, 0.0]),
            ("title intact", tracks[self.song(CAFE)].title, CAFE),
            ("skipped", got.skipped, 1),
            ("playlist by TrackID", got.playlists, {"Requests": [self.song("b")]}),
            ("past sets by date", [(s.date, s.plays) for s in got.past_sets], [
                (datetime.date(2024, 3, 9), (self.song("a"), self.song("b"))),
                (datetime.date(2024, 3, 16), (self.song(CAFE), self.song("a")))]),
            ("second session that day is tonight", got.tonight, [self.song("b")]),
        ])
        self.assertEqual(self.document([("Requests", 0, ["1"])]).tonight, [])


class DamagedTest(FormatCase):
    XML = '<?xml version="1.0" encoding="UTF-8"?>\n<%s>' + "<x/>" * 50 + "</%s>\n"
    # reader, file it reads, the folder to give it, root element
    FORMATS = [("virtualdj", "vdj/database.xml", "vdj", "VirtualDJ_Database"),
               ("traktor", "tk/collection.nml", "tk", "NML"), ("rekordbox", "rb.xml", "rb.xml", "DJ_PLAYLISTS")]

    def read(self, reader, where):
        return {"virtualdj": virtualdj.read, "traktor": traktor.read, "rekordbox": rekordbox_xml.read,
                "engine": enginedj.read}[reader](self.path(where))

    def test_damaged_files_are_refused_whole(self):
        cases = []
        for reader, rel, where, root in self.FORMATS:
            whole = (self.XML % (root, root)).encode()
            cases += [(reader, rel, where, "missing", None), (reader, rel, where, "empty", b""),
                      (reader, rel, where, "truncated", whole[: len(whole) // 2]),
                      (reader, rel, where, "not XML", b"\x00\xff" * 64),
                      (reader, rel, where, "two roots", whole + whole)]
        db = "Engine Library/Database2/m.db"
        cases += [("engine", db, "Engine Library", "missing", None), ("engine", db, "Engine Library", "empty", b""),
                  ("engine", db, "Engine Library", "not SQLite", b"SQLite format 3\x00" + b"\x07" * 600),
                  ("engine", db, "Engine Library", "no Track table", "sqlite")]
        for reader, rel, where, what, data in cases:
            with self.subTest(reader=reader, what=what):
                shutil.rmtree(self.path(where.split("/")[0]), ignore_errors=True)
                if data == "sqlite":
                    sqlite_file(self.path(rel), "CREATE TABLE Other (id INTEGER);", [])
                elif data is not None:
                    self.write(rel, data)
                with self.assertRaises(Damaged):
                    self.read(reader, where)

    def test_an_entity_bomb_is_refused_without_growing(self):
        levels = "".join('<!ENTITY l%d "%s">' % (i, ("&l%d;" % (i - 1)) * 10) for i in range(1, 10))
        for reader, rel, where, root in self.FORMATS:
            with self.subTest(reader=reader):
                self.write(rel, '<?xml version="1.0"?><!DOCTYPE %s [<!ENTITY l0 "lol">%s]><%s><Song FilePath="&l9;"/>'
                           '<ENTRY TITLE="&l9;"/><TRACK Name="&l9;"/></%s>' % (root, levels, root, root))
                before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
                with self.assertRaises(Damaged):
                    self.read(reader, where)
                self.assertLess(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, 16 * 1024)
