#!/usr/bin/env python3
"""Large libraries in the VirtualDJ, Traktor, Engine DJ and rekordbox XML formats: for each, 100,000
tracks and 500 past sets written in a throw-away home, then the real engine started on it (settings.json
names the source) and timed from its start to the first feed that carries the whole library and the
track now playing; its peak memory (VmHWM) is read from /proc when that feed arrives.

Targets: first feed within 3 s, peak RSS within 250 MiB. Prints one PASS/MISS line per figure.
Usage: bench_engine_formats.py [--tracks N] [--sets N] [--formats virtualdj,traktor,engine,rekordbox-xml]
"""
import argparse
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request
from typing import Callable, Dict, List, Optional, Tuple
from urllib.parse import quote

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP_DIR = os.path.join(ROOT, "resources", "app")
FIRST_FEED_S = 3.0
PEAK_MIB = 250.0
SET_LENGTH = 24
PITCHES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]
# VirtualDJ keeps the beat grid, automix points and cues of every song (the Mixxx wiki's sample has these).
VDJ_POIS = "".join(' <Poi Pos="%.1f" Type="automix" Point="%s" />\n' % (3.7 + n, point) for n, point in enumerate(
    ("realStart", "realEnd", "fadeStart", "fadeEnd", "cutStart", "cutEnd"))) + "".join(
    ' <Poi Name="Cue %d" Pos="%.1f" Num="%d" />\n' % (n, 15.9 + n, n) for n in range(1, 5)) + \
    ' <Poi Pos="3.721451" Type="beatgrid" />\n'
# Traktor stores an audio fingerprint of about this size in every entry; it is most of the file.
AUDIO_ID = "AZ+N3M7d" * 80


class Library:
    """The invented library every format writes: files on disk, tags, and past sets of track indexes."""

    def __init__(self, home: str, tracks: int, sets: int):
        self.music = os.path.join(home, "Music", "Crate Ärger")
        self.count = tracks
        self.sets = [[(s * 37 + i * 101) % tracks for i in range(SET_LENGTH)] for s in range(sets)]
        for folder in range(100):
            os.makedirs(os.path.join(self.music, "%02d" % folder), exist_ok=True)
        for i in range(tracks):
            open(self.path(i), "wb").close()

    def path(self, i: int) -> str:
        return os.path.join(self.music, "%02d" % (i % 100), "Track %d — Café.mp3" % i)

    def title(self, i: int) -> str:
        return "Title %d Über" % i

    @staticmethod
    def artist(i: int) -> str:
        return "Artist %d" % (i % 2000)

    @staticmethod
    def bpm(i: int) -> float:
        return 90.0 + (i * 7 % 600) / 10.0

    @staticmethod
    def pitch(i: int) -> Tuple[int, bool]:
        return i % 12, (i // 12) % 2 == 1

    def set_date(self, s: int) -> Tuple[int, int, int]:
        day = time.localtime(time.time() - (len(self.sets) - s) * 3 * 86400)
        return day.tm_year, day.tm_mon, day.tm_mday


def xml_text(text: str) -> str:
    return text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")


def write_virtualdj(home: str, lib: Library) -> Tuple[str, str]:
    folder = os.path.join(home, "Documents", "VirtualDJ")
    os.makedirs(os.path.join(folder, "History"))
    with open(os.path.join(folder, "database.xml"), "w", encoding="utf-8", newline="\r\n") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<VirtualDJ_Database Version="8.2">\n')
        for i in range(lib.count):
            pitch, minor = lib.pitch(i)
            f.write('<Song FilePath="%s" FileSize="8123456">\n <Tags Author="%s" Title="%s" Genre="House" />\n'
                    ' <Infos SongLength="300.5" FirstSeen="1518996996" PlayCount="%d" LastPlay="1700000000" />\n'
                    ' <Scan Version="801" Bpm="%.6f" AltBpm="0.380975" Volume="0.25" Key="%s%s" Flag="32768" />\n'
                    ' %s</Song>\n'
                    % (xml_text(lib.path(i)), lib.artist(i), xml_text(lib.title(i)), i % 9, 60.0 / lib.bpm(i),
                       PITCHES[pitch], "m" if minor else "", VDJ_POIS))
        f.write("</VirtualDJ_Database>\n")
    days = [lib.set_date(s) for s in range(len(lib.sets))] + [tuple(time.localtime()[:3])]
    for (year, month, day), plays in zip(days, lib.sets + [lib.sets[0][:5]]):
        name = os.path.join(folder, "History", "%04d-%02d-%02d.m3u" % (year, month, day))
        with open(name, "a", encoding="utf-8", newline="\r\n") as f:
            for i in plays:
                f.write("#EXTVDJ:<time>21:00</time><lastplaytime>1700000000</lastplaytime><artist>%s</artist>"
                        "<title>%s</title>\n%s\n" % (lib.artist(i), xml_text(lib.title(i)), lib.path(i)))
    return "virtualdj", folder


def _traktor_location(path: str) -> Tuple[str, str]:
    folder, name = os.path.split(path)
    return "/:" + "/:".join(folder.strip("/").split("/")) + "/:", name


def write_traktor(home: str, lib: Library) -> Tuple[str, str]:
    folder = os.path.join(home, "Documents", "Native Instruments", "Traktor 3.11.1")
    os.makedirs(os.path.join(folder, "History"))

    def entry(i: int) -> str:
        directory, name = _traktor_location(lib.path(i))
        pitch, minor = lib.pitch(i)
        return ('<ENTRY MODIFIED_DATE="2024/1/2" MODIFIED_TIME="1000" AUDIO_ID="%s" TITLE="%s" ARTIST="%s">'
                '<LOCATION DIR="%s" FILE="%s" VOLUME="Macintosh HD" VOLUMEID="abc"/><ALBUM TRACK="1" TITLE="A"/>'
                '<MODIFICATION_INFO AUTHOR_TYPE="user"/><INFO BITRATE="320000" GENRE="House" KEY="8m" '
                'PLAYCOUNT="%d" PLAYTIME="300" IMPORT_DATE="2023/5/6" LAST_PLAYED="2024/1/2" FLAGS="12" '
                'FILESIZE="9000"/><TEMPO BPM="%.6f" BPM_QUALITY="100.000000"/><LOUDNESS PEAK_DB="-1" '
                'PERCEIVED_DB="0" ANALYZED_DB="0"/><MUSICAL_KEY VALUE="%d"/><CUE_V2 NAME="AutoGrid" '
                'DISPL_ORDER="0" TYPE="4" START="52.3" LEN="0" REPEATS="-1" HOTCUE="0"/></ENTRY>\n'
                % (AUDIO_ID, xml_text(lib.title(i)), lib.artist(i), xml_text(directory), xml_text(name), i % 9,
                   lib.bpm(i), pitch + (12 if minor else 0)))

    def key(i: int) -> str:
        directory, name = _traktor_location(lib.path(i))
        return ('<ENTRY><PRIMARYKEY TYPE="TRACK" KEY="%s"/><EXTENDEDDATA DECK="1" STARTDATE="0"/></ENTRY>'
                % xml_text("Macintosh HD" + directory + name))

    def nml(name: str, entries: List[int], plays: List[int]) -> None:
        with open(name, "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="UTF-8" standalone="no" ?>\n<NML VERSION="19"><COLLECTION>\n')
            f.writelines(entry(i) for i in entries)
            f.write('</COLLECTION><PLAYLISTS><NODE TYPE="FOLDER" NAME="$ROOT"><SUBNODES><NODE TYPE="PLAYLIST" '
                    'NAME="HISTORY"><PLAYLIST TYPE="LIST">%s</PLAYLIST></NODE></SUBNODES></NODE></PLAYLISTS>'
                    '</NML>\n' % "".join(key(i) for i in plays))

    nml(os.path.join(folder, "collection.nml"), list(range(lib.count)), [])
    for s, plays in enumerate(lib.sets):
        year, month, day = lib.set_date(s)
        nml(os.path.join(folder, "History", "history_%04dy%02dm%02dd_21h00m00s.nml" % (year, month, day)),
            plays, plays)
    return "traktor", folder


def write_engine(home: str, lib: Library) -> Tuple[str, str]:
    folder = os.path.join(home, "Music", "Engine Library")
    os.makedirs(os.path.join(folder, "Database2"))
    rel = lambda i: os.path.relpath(lib.path(i), folder)
    with sqlite3.connect(os.path.join(folder, "Database2", "m.db")) as conn:
        conn.executescript(
            "CREATE TABLE Track (id INTEGER PRIMARY KEY, playOrder INTEGER, length INTEGER, bpm INTEGER, year "
            "INTEGER, path TEXT, filename TEXT, bitrate INTEGER, bpmAnalyzed REAL, albumArtId INTEGER, title TEXT,"
            " artist TEXT, album TEXT, genre TEXT, key INTEGER, rating INTEGER, timeLastPlayed INTEGER, isPlayed "
            "BOOLEAN, dateAdded INTEGER, originTrackId INTEGER);"
            "CREATE TABLE Playlist (id INTEGER PRIMARY KEY, title TEXT, parentListId INTEGER, nextListId INTEGER);"
            "CREATE TABLE PlaylistEntity (id INTEGER PRIMARY KEY, listId INTEGER, trackId INTEGER, "
            "databaseUuid TEXT, nextEntityId INTEGER, membershipReference INTEGER);")
        conn.executemany("INSERT INTO Track VALUES (?,NULL,300,?,2020,?,?,320,?,1,?,?,'Album','House',?,0,"
                         "1700000000,1,1600000000,?)",
                         ((i + 1, round(lib.bpm(i)), rel(i), os.path.basename(lib.path(i)), lib.bpm(i),
                           lib.title(i), lib.artist(i), i % 24, i + 1) for i in range(lib.count)))
    with sqlite3.connect(os.path.join(folder, "Database2", "hm.db")) as conn:
        conn.executescript(
            "CREATE TABLE Track (id INTEGER PRIMARY KEY, path TEXT, title TEXT, artist TEXT, originTrackId INTEGER);"
            "CREATE TABLE Historylist (id INTEGER PRIMARY KEY, sessionId TEXT, title TEXT, startTime INTEGER);"
            "CREATE TABLE HistorylistEntity (id INTEGER PRIMARY KEY, listId INTEGER, trackId INTEGER, "
            "startTime INTEGER);")
        played = sorted({i for plays in lib.sets for i in plays})
        conn.executemany("INSERT INTO Track VALUES (?,?,?,?,?)",
                         ((i + 1, rel(i), lib.title(i), lib.artist(i), i + 1) for i in played))
        start = time.time() - len(lib.sets) * 3 * 86400
        for s, plays in enumerate(lib.sets):
            begun = int(start + s * 3 * 86400)
            conn.execute("INSERT INTO Historylist VALUES (?,?,?,?)", (s + 1, "s%d" % s, "Session", begun))
            conn.executemany("INSERT INTO HistorylistEntity (listId, trackId, startTime) VALUES (?,?,?)",
                             ((s + 1, i + 1, begun + n * 300) for n, i in enumerate(plays)))
    return "engine", folder


def write_rekordbox(home: str, lib: Library) -> Tuple[str, str]:
    path = os.path.join(home, "Documents", "rekordbox.xml")
    os.makedirs(os.path.dirname(path))
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<DJ_PLAYLISTS Version="1.0.0"><PRODUCT Name="rekordbox" '
                'Version="6.8.2" Company="AlphaTheta"/><COLLECTION Entries="%d">\n' % lib.count)
        for i in range(lib.count):
            pitch, minor = lib.pitch(i)
            f.write('<TRACK TrackID="%d" Name="%s" Artist="%s" Composer="" Album="A" Grouping="" Genre="House" '
                    'Kind="MP3 File" Size="9000000" TotalTime="300" DiscNumber="0" TrackNumber="1" Year="2020" '
                    'AverageBpm="%.2f" DateAdded="2023-05-06" BitRate="320" SampleRate="44100" Comments="" '
                    'PlayCount="%d" Rating="0" Location="file://localhost%s" Remixer="" Tonality="%s%s" Label="" '
                    'Mix=""><TEMPO Inizio="0.05" Bpm="%.2f" Metro="4/4" Battito="1"/><POSITION_MARK Name="" '
                    'Type="0" Start="0.05" Num="-1"/></TRACK>\n'
                    % (i + 1, xml_text(lib.title(i)), lib.artist(i), lib.bpm(i), i % 9, quote(lib.path(i)),
                       PITCHES[pitch], "m" if minor else "", lib.bpm(i)))
        f.write('</COLLECTION><PLAYLISTS><NODE Type="0" Name="ROOT" Count="1"><NODE Type="0" Name="HISTORY">\n')
        for s, plays in enumerate(lib.sets):
            f.write('<NODE Name="HISTORY %04d-%02d-%02d" Type="1" KeyType="0" Entries="%d">%s</NODE>\n' % (
                lib.set_date(s) + (len(plays), "".join('<TRACK Key="%d"/>' % (i + 1) for i in plays))))
        f.write("</NODE></NODE></PLAYLISTS></DJ_PLAYLISTS>\n")
    return "rekordbox-xml", path


WRITERS: Dict[str, Callable[[str, Library], Tuple[str, str]]] = {
    "virtualdj": write_virtualdj, "traktor": write_traktor, "engine": write_engine, "rekordbox-xml": write_rekordbox}


def _get(port: int) -> Optional[dict]:
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/json" % port, timeout=1.0) as answer:
            return json.loads(answer.read().decode("utf-8"))
    except (OSError, ValueError):
        return None


def _peak_mib(pid: int) -> float:
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def first_feed(home: str, source: str, path: str, tracks: int, deadline: float = 120.0) -> Tuple[float, float]:
    """(seconds from spawning the engine to a feed with the whole library and a track playing, peak MiB)."""
    sys.path.insert(0, APP_DIR)
    from engine.paths import support_dir

    support = support_dir(APP_DIR, home=home)
    os.makedirs(support, exist_ok=True)
    with open(os.path.join(support, "settings.json"), "w", encoding="utf-8") as f:
        json.dump({"source": source, "source_path": path}, f)
    env = dict(os.environ, HOME=home, CW_ENGINE_PORT="0", PYTHONDONTWRITEBYTECODE="1")
    started = time.monotonic()
    child = subprocess.Popen([sys.executable, os.path.join(APP_DIR, "live_next.py")], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        port_file = os.path.join(support, "port")
        while time.monotonic() - started < deadline:
            doc = _get(int(open(port_file).read())) if os.path.exists(port_file) else None
            if doc and doc.get("ok") and (doc.get("source") or {}).get("tracks") == tracks:
                return time.monotonic() - started, _peak_mib(child.pid)
            if child.poll() is not None:
                raise RuntimeError("the engine ended: %s" % child.stderr.read().decode("utf-8", "replace"))
            time.sleep(0.02)
        raise RuntimeError("no full feed within %.0f s" % deadline)
    finally:
        child.send_signal(signal.SIGTERM)
        try:
            child.wait(10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tracks", type=int, default=100000)
    parser.add_argument("--sets", type=int, default=500)
    parser.add_argument("--formats", default=",".join(WRITERS))
    args = parser.parse_args()
    for name in args.formats.split(","):
        home = tempfile.mkdtemp(prefix="cw-bench-formats-")
        try:
            lib = Library(home, args.tracks, args.sets)
            source, path = WRITERS[name](home, lib)
            seconds, peak = first_feed(home, source, path, args.tracks)
        finally:
            shutil.rmtree(home, ignore_errors=True)
        print("  %s  %-14s first feed %.2f s (target %.1f s), %d tracks, %d sets" % (
            "PASS" if seconds <= FIRST_FEED_S else "MISS", name, seconds, FIRST_FEED_S, args.tracks, args.sets))
        print("  %s  %-14s peak RSS %.0f MiB (target %.0f MiB)" % (
            "PASS" if peak <= PEAK_MIB else "MISS", name, peak, PEAK_MIB))
    return 0


if __name__ == "__main__":
    sys.exit(main())
