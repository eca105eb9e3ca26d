#!/usr/bin/env python3
"""Benchmark of the engine on a DJ's large library: 100,000 tracks and 500 past sets, for each DJ program
it reads. Standalone (`python3 bench/bench_engine_library.py [--tracks N] [--sets N] [--idle S]
[--programs serato,mixxx]`); it prints each figure, its target and PASS or MISS.

Figures, each program in its own temporary home (detection finds it; no settings):
  first feed      engine start to the first document showing the track playing            <= 3 s
  new track       a track added to tonight's set: from the poll that notices it to the new
                  document served (median of 20)                                          <= 100 ms
  noticed         the same, from the DJ program's write to the document served
                  (the panel's 2 s poll adds to it)
  idle CPU        engine process while nothing changes                                    < 1 % of a core
  peak RSS        engine process                                                          <= 250 MiB

The fixture generators are importable, so that a benchmark of another program adds only its own:
    from bench_engine_library import make_music, serato_fixture, mixxx_fixture, measure
A fixture (`Fixture`) is a temporary home holding one program's files: `source` and `path` say what
detection should find, `playing` is the track now playing in tonight's set and `add()` lets the
program record one more track tonight, returning its path. `measure(fixture)` prints the figures.
"""
import argparse
import http.client
import json
import os
import random
import shutil
import signal
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP_DIR = os.path.join(ROOT, "resources", "app")
sys.path.insert(0, APP_DIR)

from engine.main import Engine  # noqa: E402
from engine.paths import support_dir  # noqa: E402
from engine.sources import program  # noqa: E402

MIXXX_SCHEMA = os.path.join(ROOT, "tests", "data", "engine", "mixxx-2.3-schema.sql")
KEYS = ["C", "Am", "G", "Em", "D", "Bm", "A", "F#m", "E", "C#m", "B", "G#m", "F#", "D#m", "Db", "Bbm",
        "Ab", "Fm", "Eb", "Cm", "Bb", "Gm", "F", "Dm"]
SET_LENGTH = 40
DAY = 86400.0


@dataclass
class Fixture:
    home: str
    source: str  # the program's id
    path: str  # the folder detection should find
    playing: str  # the track playing tonight
    add: Callable[[], str] = lambda: ""
    paths: List[str] = field(default_factory=list)


@dataclass(frozen=True)
class Song:
    path: str
    title: str
    artist: str
    bpm: float
    key: str
    key_id: int  # Mixxx's numbering: 1-12 C ... B major, 13-24 minor


def make_music(root: str, count: int, seed: int = 7) -> List[Song]:
    """`count` empty audio files (the engine offers only tracks whose file is there) with invented tags:
    most tempos in a club range, keys spread over the wheel."""
    rng = random.Random(seed)
    songs = []
    for i in range(count):
        folder = os.path.join(root, "Music", "crate%03d" % (i // 1000))
        if i % 1000 == 0:
            os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "%06d Artist %d - Title %d.mp3" % (i, i % 997, i))
        open(path, "wb").close()
        key = rng.randrange(24)
        key_id = (key // 2 * 7) % 12 + 1 + (12 if key % 2 else 0)
        bpm = round(rng.choice((rng.uniform(118, 132), rng.uniform(84, 176))), 2)
        songs.append(Song(path, "Title %d" % i, "Artist %d" % (i % 997), bpm, KEYS[key], key_id))
    return songs


def _sets(songs: List[Song], sets: int, seed: int = 11) -> List[List[Song]]:
    """Past sets drawn from a DJ's favourite fifth of the library, older ones first."""
    rng = random.Random(seed)
    favourites = songs[: max(SET_LENGTH, len(songs) // 5)]
    return [rng.sample(favourites, SET_LENGTH) for _ in range(sets)]


# --- Serato DJ ---------------------------------------------------------------------------------------

def _record(tag: bytes, value: bytes) -> bytes:
    return tag + struct.pack(">I", len(value)) + value


def _text(value: str) -> bytes:
    return value.encode("utf-16-be")


def _field(number: int, value: bytes) -> bytes:
    return struct.pack(">II", number, len(value)) + value


def serato_track(song: Song, added: int) -> bytes:
    """One `otrk` record with the fields Serato writes for a track (so the file has a realistic size)."""
    fields = [(b"ttyp", _text("mp3")), (b"pfil", _text(song.path.lstrip("/"))), (b"tsng", _text(song.title)),
              (b"tart", _text(song.artist)), (b"talb", _text("Album")), (b"tgen", _text("House")),
              (b"tlen", _text("06:12.00")), (b"tsiz", _text("14.2MB")), (b"tbit", _text("320.0kbps")),
              (b"tsmp", _text("44.1k")), (b"tbpm", _text("%.2f" % song.bpm)), (b"tcom", _text("")),
              (b"tadd", _text(str(added))), (b"tkey", _text(song.key)), (b"uadd", struct.pack(">I", added)),
              (b"utme", struct.pack(">I", added)), (b"bhrt", b"\x01"), (b"bmis", b"\x00"), (b"bply", b"\x00"),
              (b"blop", b"\x00"), (b"bitu", b"\x00"), (b"bovc", b"\x00"), (b"bcrt", b"\x00"), (b"biro", b"\x00")]
    return _record(b"otrk", b"".join(_record(tag, value) for tag, value in fields))


def serato_entry(row: int, song: Song, start: int, end: Optional[int], played: bool, deck: int) -> bytes:
    fields = [(1, struct.pack(">I", row)), (2, _text(song.path) + b"\x00\x00"), (6, _text(song.title)),
              (7, _text(song.artist)), (15, struct.pack(">I", int(song.bpm))), (28, struct.pack(">I", start)),
              (31, struct.pack(">I", deck)), (50, b"\x01" if played else b"\x00"), (51, _text(song.key))]
    if end is not None:
        fields.append((29, struct.pack(">I", end)))
    return _record(b"oent", _record(b"adat", b"".join(_field(n, v) for n, v in fields)))


def serato_fixture(home: str, songs: List[Song], sets: int) -> Fixture:
    folder = os.path.join(home, "Music", "_Serato_")
    sessions = os.path.join(folder, "History", "Sessions")
    os.makedirs(sessions)
    now = int(time.time())
    with open(os.path.join(folder, "database V2"), "wb") as f:
        f.write(_record(b"vrsn", _text("2.0/Serato Scratch LIVE Database")))
        for song in songs:
            f.write(serato_track(song, now - 400 * 86400))
    for number, chosen in enumerate(_sets(songs, sets), start=1):
        start = now - (sets - number + 1) * 3 * int(DAY)
        entries = [serato_entry(i + 1, s, start + 300 * i, start + 300 * i + 320, True, i % 2 + 1)
                   for i, s in enumerate(chosen)]
        path = os.path.join(sessions, "%d.session" % number)
        with open(path, "wb") as f:
            f.write(_record(b"vrsn", _text("1.0/Serato Scratch LIVE Review")) + b"".join(entries))
        os.utime(path, (start, start))
    tonight = os.path.join(sessions, "%d.session" % (sets + 1))
    rows = [0]

    def add() -> str:
        """The DJ loads the next track: the one on the other deck is written again, ended and played."""
        song = songs[-1 - rows[0]]
        with open(tonight, "ab") as f:
            if rows[0]:
                before = songs[-rows[0]]
                f.write(serato_entry(rows[0], before, now + rows[0], now + rows[0] + 1, True, rows[0] % 2 + 1))
            f.write(serato_entry(rows[0] + 1, song, now + rows[0] + 1, None, True, (rows[0] + 1) % 2 + 1))
        rows[0] += 1
        return song.path

    with open(tonight, "wb") as f:
        f.write(_record(b"vrsn", _text("1.0/Serato Scratch LIVE Review")))
    playing = add()
    return Fixture(home, "serato", folder, playing, add)


# --- Mixxx -------------------------------------------------------------------------------------------

def mixxx_fixture(home: str, songs: List[Song], sets: int) -> Fixture:
    folder = os.path.join(home, ".mixxx")
    os.makedirs(folder)
    database = os.path.join(folder, "mixxxdb.sqlite")
    con = sqlite3.connect(database)
    with open(MIXXX_SCHEMA, encoding="utf-8") as f:
        con.executescript(f.read())
    con.executemany("INSERT INTO track_locations (id, location, filename, directory, filesize, fs_deleted, "
                    "needs_verification) VALUES (?, ?, ?, ?, 1, 0, 0)",
                    ((i + 1, s.path, os.path.basename(s.path), os.path.dirname(s.path)) for i, s in enumerate(songs)))
    con.executemany("INSERT INTO library (id, artist, title, location, bpm, key, key_id, mixxx_deleted, filetype) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, 0, 'mp3')",
                    ((i + 1, s.artist, s.title, i + 1, s.bpm, s.key, s.key_id) for i, s in enumerate(songs)))
    ids = {s.path: i + 1 for i, s in enumerate(songs)}
    now = time.time()
    stamp = lambda t: time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))  # noqa: E731
    for number, chosen in enumerate(_sets(songs, sets), start=1):
        created = stamp(now - (sets - number + 1) * 3 * DAY)
        con.execute("INSERT INTO Playlists (id, name, position, hidden, date_created, date_modified) "
                    "VALUES (?, ?, ?, 2, ?, ?)", (number, created[:10], number, created, created))
        con.executemany("INSERT INTO PlaylistTracks (playlist_id, track_id, position, pl_datetime_added) "
                        "VALUES (?, ?, ?, ?)", ((number, ids[s.path], i + 1, created) for i, s in enumerate(chosen)))
    tonight = sets + 1
    con.execute("INSERT INTO Playlists (id, name, position, hidden, date_created, date_modified) "
                "VALUES (?, 'tonight', ?, 2, ?, ?)", (tonight, tonight, stamp(now), stamp(now)))
    con.commit()
    con.close()
    added = [0]

    def add() -> str:
        song = songs[-1 - added[0]]
        added[0] += 1
        with sqlite3.connect(database) as db:
            db.execute("INSERT INTO PlaylistTracks (playlist_id, track_id, position, pl_datetime_added) "
                       "VALUES (?, ?, ?, ?)", (tonight, ids[song.path], added[0], stamp(time.time())))
        db.close()
        return song.path

    playing = add()
    return Fixture(home, "mixxx", folder, playing, add)


FIXTURES: Dict[str, Callable[[str, List[Song], int], Fixture]] = {"serato": serato_fixture, "mixxx": mixxx_fixture}


# --- measuring ---------------------------------------------------------------------------------------

def _get(port: int) -> Optional[dict]:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
    try:
        conn.request("GET", "/json")
        return json.loads(conn.getresponse().read())
    except (OSError, ValueError):
        return None
    finally:
        conn.close()


def _wait(condition, timeout: float):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.01)
    return None


def _proc_cpu(pid: int) -> float:
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _peak_rss(pid: int) -> float:
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def report(name: str, value: float, unit: str, target: Optional[float], strictly: bool = False) -> None:
    """One figure against an upper bound (`strictly` below it, or at most it)."""
    verdict = "" if target is None else ("PASS" if (value < target if strictly else value <= target) else "MISS")
    goal = "" if target is None else "target %s %g %s" % ("<" if strictly else "<=", target, unit)
    print("  %-34s %10.1f %-4s %-22s %s" % (name, value, unit, goal, verdict))


def notice_to_served(fixture: Fixture, rounds: int = 20) -> List[float]:
    """In-process: each round the program records a track; the time from the poll that notices it to
    the new document's bytes."""
    source = program(fixture.source).open_source(fixture.path)
    engine = Engine()
    engine.serve(source)
    source.start()
    engine.publish()
    clock, times = 1000.0, []
    for _ in range(rounds):
        path = fixture.add()
        clock += 1.0
        started = time.perf_counter()
        if not source.poll(clock):
            continue
        engine.publish()
        times.append((time.perf_counter() - started) * 1000.0)
        assert json.loads(engine.body())["now"]["path"] == path
    source.stop()
    return times


def measure(fixture: Fixture, idle_seconds: float) -> None:
    env = dict(os.environ, HOME=fixture.home, CW_ENGINE_PORT="0", PYTHONDONTWRITEBYTECODE="1")
    port_file = os.path.join(support_dir(APP_DIR, home=fixture.home), "port")
    started = time.monotonic()
    proc = subprocess.Popen([sys.executable, os.path.join(APP_DIR, "live_next.py")], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def playing() -> Optional[dict]:
            try:
                with open(port_file) as f:
                    port = int(f.read())
            except (OSError, ValueError):
                return None
            doc = _get(port)
            return doc if doc and doc.get("now", {}).get("path") == fixture.playing else None

        doc = _wait(playing, 60)
        first = time.monotonic() - started
        if doc is None:
            print("  engine never served the track playing; is the fixture found?")
            return
        report("first feed (%d tracks)" % doc["source"]["tracks"], first, "s", 3.0)
        with open(port_file) as f:
            port = int(f.read())
        time.sleep(2.0)  # settle: the first minutes of a run are not its idle cost
        cpu0, t0 = _proc_cpu(proc.pid), time.monotonic()
        time.sleep(idle_seconds)
        idle = (_proc_cpu(proc.pid) - cpu0) / (time.monotonic() - t0) * 100.0
        noticed = []
        for _ in range(5):
            path, wrote = fixture.add(), time.monotonic()
            if _wait(lambda: (_get(port) or {}).get("now", {}).get("path") == path, 10):
                noticed.append(time.monotonic() - wrote)
        report("idle CPU", idle, "%", 1.0, strictly=True)
        report("noticed: write to served (median)", statistics.median(noticed) * 1000.0, "ms", None)
        report("peak RSS", _peak_rss(proc.pid), "MiB", 250.0)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    times = notice_to_served(fixture)
    report("new track: notice to served (median)", statistics.median(times), "ms", 100.0)
    report("new track: notice to served (max)", max(times), "ms", None)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tracks", type=int, default=100000)
    parser.add_argument("--sets", type=int, default=500)
    parser.add_argument("--idle", type=float, default=20.0, help="seconds of idle measured")
    parser.add_argument("--programs", default=",".join(FIXTURES))
    args = parser.parse_args()
    for name in args.programs.split(","):
        home = tempfile.mkdtemp(prefix="cw-bench-%s-" % name)
        try:
            made = time.monotonic()
            songs = make_music(home, args.tracks)
            fixture = FIXTURES[name](home, songs, args.sets)
            print("%s: %d tracks, %d past sets (fixture made in %.1f s)"
                  % (program(fixture.source).NAME, args.tracks, args.sets, time.monotonic() - made))
            measure(fixture, args.idle)
        finally:
            shutil.rmtree(home, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
