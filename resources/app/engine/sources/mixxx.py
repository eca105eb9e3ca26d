"""Mixxx: the library, the sets and the playlists in `mixxxdb.sqlite`, as Mixxx 2.3 writes it (the schema
the tests build on is kept in tests/data/engine/mixxx-2.3-schema.sql).

- Library: `library` joined with `track_locations` on `track_locations.id = library.location`, leaving
  out `mixxx_deleted = 1` and `fs_deleted = 1`. Key from `key_id` (1-12 C ... B major, 13-24 C ... B
  minor; the text in `key` holds pairs such as "D♯m/E♭m" and is read only without a `key_id`). BPM as
  analysed, `bpm`; Mixxx re-analyses a track when a deck loads it, and such edits are followed.
- Sets: every Mixxx run creates a `Playlists` row with `hidden = 2`, its tracks in `PlaylistTracks`
  (`position`, `pl_datetime_added` in UTC). The newest (highest id) is tonight's, and the track now
  playing is its last by position; while it is empty (Mixxx just started) nothing is playing. Mixxx
  logs a track 1-2 s after its deck becomes the loudest, and `timesplayed` is written late, so plays
  are counted from these sets.
- Requests and moments: a playlist (`hidden = 0`) or crate named "Requests", or named for a moment.

The database is opened read-only (base.read_only: a `file:…?mode=ro` URI, as Mixxx keeps the plain
rollback journal; a database in write-ahead-log mode is read as it stands, so that nothing is created
beside it either way), with a short busy timeout, one statement at a time and never a transaction held
between polls. A change is noticed by the file's stat signature; the library is read again only when a
cheap aggregate over it moved.

Threads: the engine's main thread.
"""
import datetime
import os
import sqlite3
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ..history import History, PastSet
from ..library import Track
from . import Installation, Snapshot
from .base import (Damage, Part, ProgramSource, camelot_text, is_tonight, local_date, mtime, query, read_only,
                   requests_and_moments, sane_bpm, sane_time, sql_damage, stamp)

ID = "mixxx"
NAME = "Mixxx"
DATABASE = "mixxxdb.sqlite"
BUSY_TIMEOUT = 0.5  # seconds a statement waits while Mixxx writes; the next poll tries again
CHUNK = 20000  # library rows per statement, so that no read holds Mixxx's writer up for long
_NOTES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]

_TRACKS = """SELECT l.id, tl.location, l.title, l.artist, l.bpm, l.key_id, l.key FROM library l
    JOIN track_locations tl ON tl.id = l.location
    WHERE coalesce(l.mixxx_deleted, 0) = 0 AND coalesce(tl.fs_deleted, 0) = 0 AND l.id > ?
    ORDER BY l.id LIMIT %d""" % CHUNK
# Moves whenever a track is added, removed, hidden, moved, renamed or re-analysed (two scans, no join).
_LIBRARY_SUM = """SELECT count(*), max(id), total(bpm), total(key_id), total(mixxx_deleted),
    total(length(title)) + total(length(artist)) + total(length(key)), total(location) FROM library
    UNION ALL SELECT count(*), max(id), total(fs_deleted), total(length(location)), 0, 0, 0
    FROM track_locations"""
_COUNT = """SELECT count(*) FROM library l JOIN track_locations tl ON tl.id = l.location
    WHERE coalesce(l.mixxx_deleted, 0) = 0 AND coalesce(tl.fs_deleted, 0) = 0"""
_SET_SUMS = """SELECT p.id, p.date_created, count(pt.id), total(pt.position), total(pt.track_id), max(pt.id)
    FROM Playlists p LEFT JOIN PlaylistTracks pt ON pt.playlist_id = p.id WHERE p.hidden = 2
    GROUP BY p.id ORDER BY p.id"""
_LIST_TRACKS = """SELECT pt.playlist_id, tl.location, pt.pl_datetime_added FROM PlaylistTracks pt
    JOIN library l ON l.id = pt.track_id JOIN track_locations tl ON tl.id = l.location
    WHERE pt.playlist_id IN (%s) ORDER BY pt.playlist_id, pt.position, pt.id"""
_NAMED = "SELECT 'playlist', id, name FROM Playlists WHERE hidden = 0 UNION ALL SELECT 'crate', id, name FROM crates"
_CRATE_TRACKS = """SELECT tl.location FROM crate_tracks ct JOIN library l ON l.id = ct.track_id
    JOIN track_locations tl ON tl.id = l.location WHERE ct.crate_id = ? ORDER BY tl.location"""


def places(home: str, env: Mapping[str, str], system: str) -> List[str]:
    if system == "darwin":
        return [os.path.join(home, "Library", "Containers", "org.mixxx.mixxx", "Data", "Library",
                             "Application Support", "Mixxx"),
                os.path.join(home, "Library", "Application Support", "Mixxx")]
    if system == "win32":
        local = env.get("LOCALAPPDATA") or os.path.join(env.get("USERPROFILE") or home, "AppData", "Local")
        return [os.path.join(local, "Mixxx")]
    return [os.path.join(home, ".mixxx"), os.path.join(home, ".var", "app", "org.mixxx.Mixxx", ".mixxx")]


def database_of(path: str) -> str:
    return path if path.endswith(".sqlite") else os.path.join(path, DATABASE)


def probe(path: str, count: bool) -> Optional[Installation]:
    database = database_of(path)
    if not os.path.isfile(database):
        return None
    tracks = None
    if count:
        try:
            tracks = int(query(database, _COUNT)[0][0])
        except (Damage, TypeError, ValueError):
            tracks = None
    return Installation(ID, NAME, os.path.dirname(database), tracks, mtime(database))


def open_source(path: str) -> "MixxxSource":
    return MixxxSource(path)


def utc_seconds(value: Any) -> Optional[float]:
    """Unix seconds of a UTC time as Mixxx writes it ("2024-12-06 23:53:36", maybe with "T", a fraction
    or "Z"); None for anything else."""
    if not isinstance(value, str):
        return None
    try:
        moment = datetime.datetime.strptime(value.strip().replace("T", " ")[:19], "%Y-%m-%d %H:%M:%S")
    except ValueError:
        return None
    return sane_time(moment.replace(tzinfo=datetime.timezone.utc).timestamp())


def key_of(key_id: Any, text: Any) -> str:
    if isinstance(key_id, int) and 1 <= key_id <= 24:
        return camelot_text(_NOTES[(key_id - 1) % 12] + ("m" if key_id > 12 else ""))
    return camelot_text(text)


def _text(value: Any) -> str:
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return "" if value is None else str(value)


def read_tracks(con: sqlite3.Connection) -> List[Track]:
    tracks: List[Track] = []
    last = -1
    while True:
        rows = con.execute(_TRACKS, (last,)).fetchall()
        for row_id, location, title, artist, bpm, key_id, key in rows:
            if isinstance(location, str) and location:
                tracks.append(Track(path=location, title=_text(title) or os.path.basename(location),
                                    artist=_text(artist), key=key_of(key_id, key), bpm=sane_bpm(bpm)))
        if len(rows) < CHUNK:
            return tracks
        last = rows[-1][0]


@dataclass
class Sets:
    """The history playlists: each one's tracks, and when each was created and last added to."""
    sums: Dict[int, Tuple] = field(default_factory=dict)
    tracks: Dict[int, List[str]] = field(default_factory=dict)
    created: Dict[int, Optional[float]] = field(default_factory=dict)
    last_added: Dict[int, Optional[float]] = field(default_factory=dict)


def read_sets(con: sqlite3.Connection, known: Sets) -> Sets:
    """The history playlists, reading the tracks again only of those whose sums moved."""
    sets = Sets()
    for playlist_id, created, *sums in con.execute(_SET_SUMS):
        sets.sums[playlist_id] = tuple(sums)
        sets.created[playlist_id] = utc_seconds(created)
        if known.sums.get(playlist_id) == tuple(sums):
            sets.tracks[playlist_id] = known.tracks[playlist_id]
            sets.last_added[playlist_id] = known.last_added[playlist_id]
    stale = [i for i in sets.sums if i not in sets.tracks]
    for playlist_id in stale:
        sets.tracks[playlist_id], sets.last_added[playlist_id] = [], None
    for start in range(0, len(stale), 500):  # SQLite takes at most 999 parameters per statement
        batch = stale[start:start + 500]
        for playlist_id, location, added in con.execute(_LIST_TRACKS % ",".join("?" * len(batch)), batch):
            if isinstance(location, str) and location:
                sets.tracks[playlist_id].append(location)
                sets.last_added[playlist_id] = utc_seconds(added) or sets.last_added[playlist_id]
    return sets


def read_named(con: sqlite3.Connection) -> Tuple[List[str], Dict[str, str]]:
    """Requests, and the moment of each track in a playlist or crate named for one."""
    def paths(kind_and_id: Tuple[str, int]) -> List[str]:
        kind, list_id = kind_and_id
        if kind == "playlist":
            found = [location for _, location, _ in con.execute(_LIST_TRACKS % "?", (list_id,)).fetchall()]
        else:
            found = [location for (location,) in con.execute(_CRATE_TRACKS, (list_id,)).fetchall()]
        return [p for p in found if isinstance(p, str) and p]

    named = con.execute(_NAMED).fetchall()
    return requests_and_moments(((name, (kind, list_id)) for kind, list_id, name in named), paths)


@dataclass
class Catalogue:
    """The library as last read, with the requests and moments from named playlists and crates."""
    library_sum: Tuple = ()
    tracks: List[Track] = field(default_factory=list)
    requests: List[str] = field(default_factory=list)
    moments: Dict[str, str] = field(default_factory=dict)


class MixxxSource(ProgramSource):
    id = ID
    name = NAME

    def __init__(self, path: str, **kwargs: Any):
        self.database = database_of(path)
        super().__init__(os.path.dirname(self.database), **kwargs)
        self._sets = Sets()
        self._catalogue = Catalogue()

    def parts(self) -> Sequence[Part]:
        # Both parts change with the database file; the history is read first, and the library (a scan
        # of every track, however cheap) at the next poll, so that a new track is served at once.
        return (Part("history", lambda: stamp(self.database), lambda: self._read(self._read_sets)),
                Part("library", lambda: stamp(self.database), lambda: self._read(self._read_catalogue)))

    def _read(self, reader):
        con = read_only(self.database, BUSY_TIMEOUT)
        try:
            return reader(con)
        except sqlite3.Error as error:
            raise sql_damage(self.database, error)
        finally:
            con.close()

    def _read_sets(self, con: sqlite3.Connection) -> Sets:
        self._sets = read_sets(con, self._sets)
        return self._sets

    def _read_catalogue(self, con: sqlite3.Connection) -> Catalogue:
        known = self._catalogue
        fresh = Catalogue(library_sum=tuple(con.execute(_LIBRARY_SUM).fetchall()))
        fresh.tracks = known.tracks if fresh.library_sum == known.library_sum else read_tracks(con)
        requests, moments = read_named(con)
        # Unchanged values keep their identity, so that build() keeps the library and its index.
        fresh.requests = known.requests if requests == known.requests else requests
        fresh.moments = known.moments if moments == known.moments else moments
        self._catalogue = fresh
        return fresh

    def build(self, values: Mapping[str, Any]) -> Snapshot:
        catalogue: Catalogue = values.get("library", Catalogue())
        library = self.memo("library", (catalogue.tracks, catalogue.moments),
                            lambda: self.carried(catalogue.tracks, catalogue.moments))
        sets: Sets = values.get("history", Sets())
        newest = max(sets.tracks) if sets.tracks else None
        last = sets.last_added.get(newest) if newest is not None else None
        tonight = newest if newest is not None and is_tonight(last or mtime(self.database), time.time()) else None
        past_ids = [i for i in sets.tracks if i != tonight and sets.tracks[i]]
        history = self.memo("history", tuple(sets.tracks[i] for i in past_ids), lambda: History(past_sets=[
            PastSet(date=local_date(sets.created[i] or sets.last_added[i] or time.time()),
                    plays=tuple(sets.tracks[i]), name="Mixxx set %d" % i) for i in past_ids]))
        playing = sets.tracks[tonight] if tonight is not None else []
        return Snapshot(library=library, history=history.with_tonight(playing), requests=list(catalogue.requests),
                        exists=os.path.exists)
