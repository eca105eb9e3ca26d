"""Engine DJ: the library and playlists from Database2/m.db, past sets from Database2/hm.db.

The Engine Library folder (`source_path`: ~/Music/Engine Library, or "Engine Library" at a drive's root)
holds two SQLite databases, opened read-only and only ever queried:
  Database2/m.db    Track(id, path relative to the Engine Library folder, e.g. "../Music/a.mp3", title,
                    artist, bpmAnalyzed (the integer bpm column is a rounded copy), key 0-23 in
                    circle-of-fifths order: 0 C, 1 Am, 2 G, 3 Em, ... even major, odd its relative minor,
                    dateAdded, timeLastPlayed in Unix seconds); Playlist(id, title) with PlaylistEntity(listId,
                    trackId, nextEntityId), a playlist's order being the chain of nextEntityId.
  Database2/hm.db   Historylist(id, startTime): one per session; HistorylistEntity(listId, trackId,
                    startTime); its trackId points to hm.db's own Track table, whose originTrackId is the
                    track's id in m.db.
"Now playing" is the newest entry of the newest session: Engine DJ does not expose plays live on disk.
Sources, each field confirmed in two: libdjinterop (xsco), whose musical_key enum runs c_major, a_minor,
g_major, e_minor, ... and whose v2 track table documents path (relative to the Engine library),
bpmAnalyzed, key 0-23 and playlist entities chained by next_entity_id; an Engine DJ key table in a public
converter (0 C, 1 Am, 2 G, 3 Em, ... 19 Cm); public SQLAlchemy models and queries of hm.db (Historylist
startTime in Unix seconds, HistorylistEntity listId/trackId/startTime, joined on Track.originTrackId).

Reading is pure (`read`); `EngineDJSource` re-reads when a database changes.
"""
import datetime
import os
import sqlite3
from typing import Dict, List, Optional, Tuple

from ..history import PastSet
from ..library import Track
from .dj_files import Damaged, Reading, bpm, is_file, local_date, number, open_sqlite, title_of, whole

NAME = "Engine DJ"
FOLDER = "Database2"
MAIN = "m.db"
HISTORY = "hm.db"


def camelot_of_engine_key(value: object) -> str:
    """Engine's key number as Camelot: walking the circle of fifths from C (8B) and A minor (8A)."""
    key = whole(value)
    if key is None or key > 23:
        return ""
    return "%d%s" % ((key // 2 + 7) % 12 + 1, "B" if key % 2 == 0 else "A")


def track_path(library: str, relative: object) -> Optional[str]:
    if not isinstance(relative, str) or not relative.strip():
        return None
    return os.path.normpath(os.path.join(library, relative))


def _tracks(conn: sqlite3.Connection, library: str) -> Tuple[Dict[int, Track], Dict[str, datetime.date], int]:
    """(tracks by m.db id, last played dates, rows skipped)."""
    tracks: Dict[int, Track] = {}
    played: Dict[str, datetime.date] = {}
    skipped = 0
    rows = conn.execute("SELECT id, path, title, artist, bpmAnalyzed, key, timeLastPlayed FROM Track")
    for row_id, relative, title, artist, tempo, key, last in rows:
        path = track_path(library, relative)
        if path is None or not isinstance(row_id, int):
            skipped += 1
            continue
        tracks[row_id] = Track(path=path, title=title_of(path, title if isinstance(title, str) else None),
                               artist=artist.strip() if isinstance(artist, str) else "",
                               key=camelot_of_engine_key(key), bpm=bpm(number(tempo)))
        day = local_date(number(last))
        if day:
            played[path] = day
    return tracks, played, skipped


def _playlists(conn: sqlite3.Connection, tracks: Dict[int, Track]) -> Dict[str, List[str]]:
    titles = {row_id: title for row_id, title in conn.execute("SELECT id, title FROM Playlist")
              if isinstance(title, str)}
    members: Dict[int, List[Tuple[int, int, int]]] = {}
    for entity_id, list_id, track_id, following in conn.execute(
            "SELECT id, listId, trackId, nextEntityId FROM PlaylistEntity"):
        members.setdefault(list_id, []).append((entity_id, track_id, following or 0))
    playlists: Dict[str, List[str]] = {}
    for list_id, title in titles.items():
        ids = _chain(members.get(list_id, []))
        playlists[title] = [tracks[t].path for t in ids if t in tracks]
    return playlists


def _chain(entities: List[Tuple[int, int, int]]) -> List[int]:
    """Track ids in playlist order, following nextEntityId from the entity nothing points to; a broken
    chain falls back to the order the entities were added in."""
    by_id = {e[0]: e for e in entities}
    pointed = {e[2] for e in entities}
    heads = [e for e in entities if e[0] not in pointed]
    order: List[int] = []
    seen = set()
    current = heads[0] if len(heads) == 1 else None
    while current is not None and current[0] not in seen:
        seen.add(current[0])
        order.append(current[1])
        current = by_id.get(current[2])
    if len(order) != len(entities):
        return [e[1] for e in sorted(entities)]
    return order


def _sessions(conn: sqlite3.Connection, library: str, tracks: Dict[int, Track]) -> Tuple[
        List[Tuple[Optional[float], List[str]]], Dict[str, Track]]:
    """Sessions oldest first as (start time, paths in playing order), and played tracks m.db lacks."""
    origin: Dict[int, str] = {}
    known: Dict[str, Track] = {}
    for row_id, origin_id, relative, title, artist in conn.execute(
            "SELECT id, originTrackId, path, title, artist FROM Track"):
        main = tracks.get(origin_id) if isinstance(origin_id, int) else None
        path = main.path if main else track_path(library, relative)
        if path is None:
            continue
        origin[row_id] = path
        if main is None:
            known[path] = Track(path=path, title=title_of(path, title if isinstance(title, str) else None),
                                artist=artist if isinstance(artist, str) else "")
    lists = sorted(((number(start) or 0.0, list_id) for list_id, start in conn.execute(
        "SELECT id, startTime FROM Historylist")), key=lambda s: (s[0], s[1]))
    plays: Dict[int, List[Tuple[float, int, str]]] = {}
    for entity_id, list_id, track_id, start in conn.execute(
            "SELECT id, listId, trackId, startTime FROM HistorylistEntity"):
        if track_id in origin:
            plays.setdefault(list_id, []).append((number(start) or 0.0, entity_id, origin[track_id]))
    sessions = [(start or None, [p for _s, _e, p in sorted(plays.get(list_id, []))]) for start, list_id in lists]
    return [s for s in sessions if s[1]], known


def read(library: str) -> Reading:
    main = os.path.join(library, FOLDER, MAIN)
    conn = open_sqlite(main)
    try:
        tracks, played, skipped = _tracks(conn, library)
        playlists = _playlists(conn, tracks)
    except sqlite3.Error as error:
        raise Damaged("%s cannot be read (%s)" % (main, error))
    finally:
        conn.close()
    sessions: List[Tuple[Optional[float], List[str]]] = []
    known: Dict[str, Track] = {}
    history = os.path.join(library, FOLDER, HISTORY)
    if os.path.isfile(history):
        conn = open_sqlite(history)
        try:
            sessions, known = _sessions(conn, library, tracks)
        except sqlite3.Error as error:
            raise Damaged("%s cannot be read (%s)" % (history, error))
        finally:
            conn.close()
    tonight = sessions.pop()[1] if sessions else []
    past = []
    for start, paths in sessions:
        day = local_date(start)
        if day is not None:
            past.append(PastSet(date=day, plays=tuple(paths), name=NAME))
    return Reading(tracks=[t for t in tracks.values() if is_file(t.path)], past_sets=past, tonight=tonight,
                   playlists=playlists, last_played=played,
                   known={p: t for p, t in known.items() if p in tonight}, skipped=skipped)
