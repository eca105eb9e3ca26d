#!/usr/bin/env python3
"""Benchmark of the engine on a large library in the VirtualDJ, Traktor, Engine DJ and rekordbox XML
formats: 100,000 tracks and 500 past sets each, with the figures and targets of bench_engine_library.py
(first feed <= 3 s, new track notice to served <= 100 ms, idle CPU < 1 %, peak RSS <= 250 MiB).
Standalone: `python3 bench/bench_engine_formats.py [--tracks N] [--sets N] [--idle S] [--programs ...]`.

The music, the past sets and the measuring are bench_engine_library.py's; this file adds only how each
program writes them, as real as the published formats allow (VirtualDJ's cue and automix points, Traktor's
audio fingerprint in every entry: most of what a parser has to get through). These programs do not run
on Linux, so settings.json names the source rather than detection finding it. "A new track" is what
each program writes as a track plays: VirtualDJ appends to today's history; Traktor and Engine DJ record
it when they save their history; for rekordbox the DJ exports the collection again.
"""
import json
import os
import sqlite3
import sys
import time
from typing import Callable, Dict, List
from urllib.parse import quote

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_engine_library  # noqa: E402
from bench_engine_library import APP_DIR, DAY, KEYS, Fixture, Song, _sets  # noqa: E402
from engine.paths import support_dir  # noqa: E402

# The beat grid, automix points and cues VirtualDJ keeps for every song (as in the Mixxx wiki's sample).
VDJ_POIS = "".join(' <Poi Pos="%.1f" Type="automix" Point="%s" />\n' % (3.7 + n, point) for n, point in enumerate(
    ("realStart", "realEnd", "fadeStart", "fadeEnd", "cutStart", "cutEnd"))) + "".join(
    ' <Poi Name="Cue %d" Pos="%.1f" Num="%d" />\n' % (n, 15.9 + n, n) for n in range(1, 5)) + \
    ' <Poi Pos="3.721451" Type="beatgrid" />\n'
AUDIO_ID = "AZ+N3M7d" * 80  # Traktor's fingerprint of every entry, about this long


def escaped(text: str) -> str:
    return text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")


def chosen(home: str, source: str, path: str) -> None:
    support = support_dir(APP_DIR, home=home)
    os.makedirs(support, exist_ok=True)
    with open(os.path.join(support, "settings.json"), "w", encoding="utf-8") as f:
        json.dump({"source": source, "source_path": path}, f)


def past_days(sets: int) -> List[time.struct_time]:
    return [time.localtime(time.time() - (sets - n) * 3 * DAY) for n in range(sets)]


def virtualdj_fixture(home: str, songs: List[Song], sets: int) -> Fixture:
    folder = os.path.join(home, "Library", "Application Support", "VirtualDJ")
    os.makedirs(os.path.join(folder, "History"))
    with open(os.path.join(folder, "database.xml"), "w", encoding="utf-8", newline="\r\n") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<VirtualDJ_Database Version="8.2">\n')
        for s in songs:
            f.write('<Song FilePath="%s" FileSize="8123456">\n <Tags Author="%s" Title="%s" Genre="House" />\n'
                    ' <Infos SongLength="300.5" FirstSeen="1518996996" PlayCount="3" LastPlay="1700000000" />\n'
                    ' <Scan Version="801" Bpm="%.6f" AltBpm="0.380975" Volume="0.25" Key="%s" Flag="32768" />\n'
                    '%s</Song>\n' % (escaped(s.path), escaped(s.artist), escaped(s.title), 60.0 / s.bpm, s.key,
                                     VDJ_POIS))
        f.write("</VirtualDJ_Database>\n")

    def entry(s: Song) -> str:
        return ("#EXTVDJ:<time>21:00</time><lastplaytime>%d</lastplaytime><artist>%s</artist><title>%s</title>\n"
                "%s\n" % (time.time(), escaped(s.artist), escaped(s.title), s.path))

    for day, played in zip(past_days(sets), _sets(songs, sets)):
        with open(os.path.join(folder, "History", time.strftime("%Y-%m-%d.m3u", day)), "w", newline="\r\n") as f:
            f.writelines(entry(s) for s in played)
    tonight, added = os.path.join(folder, "History", time.strftime("%Y-%m-%d.m3u")), [0]

    def add() -> str:
        added[0] += 1
        with open(tonight, "a", encoding="utf-8", newline="\r\n") as f:
            f.write(entry(songs[-added[0]]))
        return songs[-added[0]].path

    chosen(home, "virtualdj", folder)
    return Fixture(home, "virtualdj", folder, add(), add)


def traktor_fixture(home: str, songs: List[Song], sets: int) -> Fixture:
    folder = os.path.join(home, "Documents", "Native Instruments", "Traktor 3.11.1")
    os.makedirs(os.path.join(folder, "History"))

    def location(s: Song) -> str:
        return "/:" + "/:".join(os.path.dirname(s.path).strip("/").split("/")) + "/:"

    def entry(s: Song) -> str:
        return ('<ENTRY MODIFIED_DATE="2024/1/2" MODIFIED_TIME="1000" AUDIO_ID="%s" TITLE="%s" ARTIST="%s">'
                '<LOCATION DIR="%s" FILE="%s" VOLUME="Macintosh HD" VOLUMEID="abc"/><ALBUM TRACK="1" TITLE="A"/>'
                '<MODIFICATION_INFO AUTHOR_TYPE="user"/><INFO BITRATE="320000" GENRE="House" KEY="%s" '
                'PLAYCOUNT="3" PLAYTIME="300" IMPORT_DATE="2023/5/6" LAST_PLAYED="2024/1/2" FLAGS="12" '
                'FILESIZE="9000"/><TEMPO BPM="%.6f" BPM_QUALITY="100.000000"/><LOUDNESS PEAK_DB="-1" '
                'PERCEIVED_DB="0" ANALYZED_DB="0"/><MUSICAL_KEY VALUE="%d"/><CUE_V2 NAME="AutoGrid" '
                'DISPL_ORDER="0" TYPE="4" START="52.3" LEN="0" REPEATS="-1" HOTCUE="0"/></ENTRY>\n'
                % (AUDIO_ID, escaped(s.title), escaped(s.artist), escaped(location(s)),
                   escaped(os.path.basename(s.path)), s.key, s.bpm, s.key_id - 1))

    def nml(path: str, entries: List[Song], plays: List[Song], day: time.struct_time) -> None:
        packed = day.tm_year << 16 | day.tm_mon << 8 | day.tm_mday
        keys = "".join('<ENTRY><PRIMARYKEY TYPE="TRACK" KEY="%s"/><EXTENDEDDATA DECK="1" STARTDATE="%d"/>'
                       '</ENTRY>' % (escaped("Macintosh HD" + location(s) + os.path.basename(s.path)), packed)
                       for s in plays)
        with open(path, "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="UTF-8" standalone="no" ?>\n<NML VERSION="19"><COLLECTION>\n')
            f.writelines(entry(s) for s in entries)
            f.write('</COLLECTION><PLAYLISTS><NODE TYPE="FOLDER" NAME="$ROOT"><SUBNODES><NODE TYPE="PLAYLIST" '
                    'NAME="HISTORY"><PLAYLIST TYPE="LIST">%s</PLAYLIST></NODE></SUBNODES></NODE></PLAYLISTS>'
                    '</NML>\n' % keys)

    nml(os.path.join(folder, "collection.nml"), songs, [], time.localtime())
    for day, played in zip(past_days(sets), _sets(songs, sets)):
        nml(os.path.join(folder, "History", time.strftime("history_%Yy%mm%dd_21h00m00s.nml", day)), played,
            played, day)
    tonight = os.path.join(folder, "History", time.strftime("history_%Yy%mm%dd_%Hh%Mm%Ss.nml"))
    played: List[Song] = []

    def add() -> str:
        played.append(songs[-1 - len(played)])
        nml(tonight, played, played, time.localtime())  # Traktor saves the session again
        return played[-1].path

    chosen(home, "traktor", folder)
    return Fixture(home, "traktor", folder, add(), add)


def engine_fixture(home: str, songs: List[Song], sets: int) -> Fixture:
    folder = os.path.join(home, "Music", "Engine Library")
    os.makedirs(os.path.join(folder, "Database2"))
    ids = {s.path: i + 1 for i, s in enumerate(songs)}
    with sqlite3.connect(os.path.join(folder, "Database2", "m.db")) as db:
        db.executescript(
            "CREATE TABLE Track (id INTEGER PRIMARY KEY, playOrder INTEGER, length INTEGER, bpm INTEGER, year "
            "INTEGER, path TEXT, filename TEXT, bitrate INTEGER, bpmAnalyzed REAL, albumArtId INTEGER, title TEXT,"
            " artist TEXT, album TEXT, genre TEXT, key INTEGER, rating INTEGER, timeLastPlayed INTEGER, isPlayed "
            "BOOLEAN, dateAdded INTEGER, originTrackId INTEGER);"
            "CREATE TABLE Playlist (id INTEGER PRIMARY KEY, title TEXT, parentListId INTEGER, nextListId INTEGER);"
            "CREATE TABLE PlaylistEntity (id INTEGER PRIMARY KEY, listId INTEGER, trackId INTEGER, "
            "databaseUuid TEXT, nextEntityId INTEGER, membershipReference INTEGER);")
        db.executemany("INSERT INTO Track VALUES (?,NULL,300,?,2020,?,?,320,?,1,?,?,'Album','House',?,0,"
                       "1700000000,1,1600000000,?)",
                       ((ids[s.path], round(s.bpm), os.path.relpath(s.path, folder), os.path.basename(s.path), s.bpm,
                         s.title, s.artist, KEYS.index(s.key), ids[s.path]) for s in songs))
    db.close()
    history = os.path.join(folder, "Database2", "hm.db")

    def track(s: Song) -> tuple:
        return ids[s.path], os.path.relpath(s.path, folder), s.title, s.artist, ids[s.path]

    with sqlite3.connect(history) as db:
        db.executescript(
            "CREATE TABLE Track (id INTEGER PRIMARY KEY, path TEXT, title TEXT, artist TEXT, originTrackId INTEGER);"
            "CREATE TABLE Historylist (id INTEGER PRIMARY KEY, sessionId TEXT, title TEXT, startTime INTEGER);"
            "CREATE TABLE HistorylistEntity (id INTEGER PRIMARY KEY, listId INTEGER, trackId INTEGER, "
            "startTime INTEGER);")
        for n, played in enumerate(_sets(songs, sets)):
            db.executemany("INSERT OR IGNORE INTO Track VALUES (?,?,?,?,?)", (track(s) for s in played))
            begun = int(time.time() - (sets - n) * 3 * DAY)
            db.execute("INSERT INTO Historylist VALUES (?,?,?,?)", (n + 1, "s%d" % n, "Session", begun))
            db.executemany("INSERT INTO HistorylistEntity (listId, trackId, startTime) VALUES (?,?,?)",
                           ((n + 1, ids[s.path], begun + i * 300) for i, s in enumerate(played)))
        db.execute("INSERT INTO Historylist VALUES (?,?,?,?)", (sets + 1, "tonight", "Session", int(time.time())))
    db.close()
    added = [0]

    def add() -> str:
        added[0] += 1
        song = songs[-added[0]]
        with sqlite3.connect(history) as con:  # hm.db keeps its own row of every track it lists
            con.execute("INSERT OR IGNORE INTO Track VALUES (?,?,?,?,?)", track(song))
            con.execute("INSERT INTO HistorylistEntity (listId, trackId, startTime) VALUES (?,?,?)",
                        (sets + 1, ids[song.path], int(time.time()) + added[0]))
        con.close()
        return song.path

    chosen(home, "engine", folder)
    return Fixture(home, "engine", folder, add(), add)


def rekordbox_fixture(home: str, songs: List[Song], sets: int) -> Fixture:
    path = os.path.join(home, "Documents", "rekordbox.xml")
    os.makedirs(os.path.dirname(path))
    ids = {s.path: i + 1 for i, s in enumerate(songs)}
    collection = "".join(
        '<TRACK TrackID="%d" Name="%s" Artist="%s" Composer="" Album="A" Grouping="" Genre="House" Kind="MP3 File"'
        ' Size="9000000" TotalTime="300" DiscNumber="0" TrackNumber="1" Year="2020" AverageBpm="%.2f" '
        'DateAdded="2023-05-06" BitRate="320" SampleRate="44100" Comments="" PlayCount="3" Rating="0" '
        'Location="file://localhost%s" Remixer="" Tonality="%s" Label="" Mix=""><TEMPO Inizio="0.05" Bpm="%.2f" '
        'Metro="4/4" Battito="1"/><POSITION_MARK Name="" Type="0" Start="0.05" Num="-1"/></TRACK>\n'
        % (ids[s.path], escaped(s.title), escaped(s.artist), s.bpm, quote(s.path), s.key, s.bpm) for s in songs)

    def history(name: str, played: List[Song]) -> str:
        return '<NODE Name="HISTORY %s" Type="1" KeyType="0" Entries="%d">%s</NODE>\n' % (
            name, len(played), "".join('<TRACK Key="%d"/>' % ids[s.path] for s in played))

    past = "".join(history(time.strftime("%Y-%m-%d", day), played)
                   for day, played in zip(past_days(sets), _sets(songs, sets)))
    played: List[Song] = []

    def add() -> str:
        played.append(songs[-1 - len(played)])
        with open(path + ".new", "w", encoding="utf-8") as f:  # the DJ exports again
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<DJ_PLAYLISTS Version="1.0.0"><PRODUCT Name="rekordbox" '
                    'Version="6.8.2" Company="AlphaTheta"/><COLLECTION Entries="%d">\n%s</COLLECTION><PLAYLISTS>'
                    '<NODE Type="0" Name="ROOT" Count="1"><NODE Type="0" Name="HISTORY">\n%s%s</NODE></NODE>'
                    '</PLAYLISTS></DJ_PLAYLISTS>\n' % (len(songs), collection, past,
                                                       history(time.strftime("%Y-%m-%d"), played)))
        os.replace(path + ".new", path)
        return played[-1].path

    chosen(home, "rekordbox-xml", path)
    return Fixture(home, "rekordbox-xml", path, add(), add)


FIXTURES: Dict[str, Callable[[str, List[Song], int], Fixture]] = {
    "virtualdj": virtualdj_fixture, "traktor": traktor_fixture, "engine": engine_fixture,
    "rekordbox-xml": rekordbox_fixture}


def main() -> int:
    # The engine benchmark's own run, over these programs' fixtures.
    bench_engine_library.FIXTURES = FIXTURES
    return bench_engine_library.main()


if __name__ == "__main__":
    sys.exit(main())
