"""Engine DJ: the library and playlists from Database2/m.db, past sets from Database2/hm.db.

The Engine Library folder (`source_path`: ~/Music/Engine Library, or "Engine Library" at a drive's root)
holds two SQLite databases, opened read-only and only ever queried:
  Database2/m.db    Track(id, path relative to the Engine Library folder, e.g. "../Music/a.mp3", title,
                    artist, bpmAnalyzed (the integer bpm column is a rounded copy), key 0-23 in
                    circle-of-fifths order: 0 C, 1 Am, 2 G, 3 Em, ... even major, odd its relative minor);
                    Playlist(id, title) with PlaylistEntity(listId, trackId, nextEntityId), a playlist's
                    order being the chain of nextEntityId.
  Database2/hm.db   Historylist(id, startTime): one per session; HistorylistEntity(listId, trackId,
                    startTime); its trackId points to hm.db's own Track table, whose originTrackId is the
                    track's id in m.db.
The newest session is tonight and its newest entry the track now playing: Engine DJ does not record plays
on disk live.
Sources, each field confirmed in two: libdjinterop (xsco), whose musical_key enum runs c_major, a_minor,
g_major, e_minor, ... and whose v2 track table documents path (relative to the Engine library),
bpmAnalyzed, key 0-23 and playlist entities chained by next_entity_id; an Engine DJ key table in a public
converter (0 C, 1 Am, 2 G, 3 Em, ... 19 Cm); public SQLAlchemy models and queries of hm.db (Historylist
startTime in Unix seconds, HistorylistEntity listId/trackId/startTime, joined on Track.originTrackId).
"""
import os
import string
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ..history import PastSet
from ..library import Track
from . import Installation
from .base import Damage, Part, local_date, mtime, number, query, sane_bpm, sane_time, stamp
from .dj_files import Crate, FileSource, title_of, whole

ID = "engine"
NAME = "Engine DJ"
FOLDER = "Engine Library"
DATABASES = "Database2"
MAIN = "m.db"
HISTORY = "hm.db"


def camelot_of_engine_key(value: object) -> str:
    """Engine's key number as Camelot: walking the circle of fifths from C (8B) and A minor (8A)."""
    key = whole(value)
    if key is None or key > 23:
        return ""
    return "%d%s" % ((key // 2 + 7) % 12 + 1, "B" if key % 2 == 0 else "A")


def places(home: str, env: Mapping[str, str], system: str) -> List[str]:
    """~/Music/Engine Library, then an Engine Library at the root of each drive."""
    if system == "darwin":
        try:
            drives = sorted(os.path.join("/Volumes", name) for name in os.listdir("/Volumes"))
        except OSError:
            drives = []
    elif system == "win32":
        drives = ["%s:\\" % letter for letter in string.ascii_uppercase]
    else:
        return []
    user = env.get("USERPROFILE") or home if system == "win32" else home
    return [os.path.join(user, "Music", FOLDER)] + [os.path.join(d, FOLDER) for d in drives]


def probe(path: str, count: bool) -> Optional[Installation]:
    main = os.path.join(path, DATABASES, MAIN)
    if not os.path.isfile(main):
        return None
    tracks = query(main, "SELECT count(*) FROM Track")[0][0] if count else None
    changed = max(mtime(os.path.join(path, DATABASES, name)) for name in (MAIN, HISTORY))
    return Installation(ID, NAME, path, tracks, changed)


def open_source(path: str) -> "EngineSource":
    return EngineSource(path)


def track_path(library: str, relative: object) -> Optional[str]:
    """The file a path relative to the library folder names. `library` must be resolved (realpath):
    normpath folds "../" by text, which through a linked library folder would leave the real one."""
    if not isinstance(relative, str) or not relative.strip():
        return None
    return os.path.normpath(os.path.join(library, relative))


def read_library(library: str) -> Tuple[Crate, Dict[int, str]]:
    """(the crate, paths by m.db track id)."""
    main = os.path.join(library, DATABASES, MAIN)
    crate = Crate()
    by_id: Dict[int, str] = {}
    folder = os.path.realpath(library)
    for row_id, relative, title, artist, tempo, key in query(
            main, "SELECT id, path, title, artist, bpmAnalyzed, key FROM Track"):
        path = track_path(folder, relative)
        if path is None or not isinstance(row_id, int):
            crate.skipped += 1
            continue
        by_id[row_id] = path
        crate.tracks.append(Track(path=path, title=title_of(path, title if isinstance(title, str) else None),
                                  artist=artist.strip() if isinstance(artist, str) else "",
                                  key=camelot_of_engine_key(key), bpm=sane_bpm(tempo)))
    try:
        crate.playlists = read_playlists(main, by_id)
    except Damage:
        pass  # playlists only name moments and requests: without them the library still serves
    return crate, by_id


def read_playlists(main: str, by_id: Dict[int, str]) -> List[Tuple[str, List[str]]]:
    """(title, paths) of each playlist; two may share a title."""
    titles = query(main, "SELECT id, title FROM Playlist ORDER BY id")
    members: Dict[Any, List[Tuple[int, int, int]]] = {}
    for entity, list_id, track, following in query(
            main, "SELECT id, listId, trackId, nextEntityId FROM PlaylistEntity"):
        members.setdefault(list_id, []).append((entity, track, following or 0))
    return [(title, [by_id[t] for t in _chain(members.get(list_id, [])) if t in by_id])
            for list_id, title in titles if isinstance(title, str)]


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
    return order if len(order) == len(entities) else [e[1] for e in sorted(entities)]


Play = Tuple[Any, Any]  # (m.db track id, else the path hm.db itself names, relative to the library)


def read_history(library: str) -> List[Tuple[float, List[Play]]]:
    """The sessions oldest first: (start time, plays in playing order)."""
    history = os.path.join(library, DATABASES, HISTORY)
    if not os.path.isfile(history):
        return []
    tracks = {row_id: (origin, relative)
              for row_id, origin, relative in query(history, "SELECT id, originTrackId, path FROM Track")}
    plays: Dict[Any, List[Tuple[float, int, Play]]] = {}
    for entity, list_id, track, start in query(
            history, "SELECT id, listId, trackId, startTime FROM HistorylistEntity"):
        if track in tracks:
            plays.setdefault(list_id, []).append((number(start) or 0.0, entity, tracks[track]))
    lists = sorted((number(start) or 0.0, list_id) for list_id, start in query(
        history, "SELECT id, startTime FROM Historylist"))
    sessions = [(start, [play for _, _, play in sorted(plays.get(list_id, []))]) for start, list_id in lists]
    # The newest session is tonight even before its first play: else the last gig's final track is "now".
    return [s for i, s in enumerate(sessions) if s[1] or i == len(sessions) - 1]


def _paths(plays: List[Play], by_id: Dict[int, str], folder: str) -> List[str]:
    """The files a session's plays name: through the library's track where it has one, else by the path
    relative to the (resolved) library folder."""
    paths = (by_id.get(origin) or track_path(folder, relative) for origin, relative in plays)
    return [p for p in paths if p]


class EngineSource(FileSource):
    id = ID
    name = NAME
    label = NAME

    def __init__(self, path: str, **kwargs: Any):
        super().__init__(path, **kwargs)
        self._earlier: Optional[Tuple[Any, List[Tuple[float, List[Play]]]]] = None
        self._past: List[PastSet] = []

    def parts(self) -> Sequence[Part]:
        def signature(name: str) -> Any:
            base = os.path.join(self.path, DATABASES, name)
            # Changes may sit in a write-ahead log before they reach the database file.
            return stamp(base), stamp(base + "-wal")

        return [Part("history", lambda: signature(HISTORY), lambda: read_history(self.path)),
                Part("library", lambda: signature(MAIN), lambda: read_library(self.path))]

    def crate(self, values: Mapping[str, Any]) -> Optional[Crate]:
        library = values.get("library")
        return library[0] if library else None

    def sets(self, values: Mapping[str, Any]) -> Tuple[Sequence[PastSet], List[str]]:
        """Every session but the newest is a past set; the newest is tonight. hm.db is read whole when it
        changed, so the past is compared by value: a track played tonight leaves it as it was."""
        library = values.get("library") or (None, {})
        found = values.get("history") or []
        folder = os.path.realpath(self.path)  # once, not for each of hundreds of sessions
        earlier = (library, found[:-1])
        if self._earlier is None or earlier[0] is not self._earlier[0] or earlier[1] != self._earlier[1]:
            self._earlier = earlier
            sessions = ((start, _paths(plays, library[1], folder)) for start, plays in found[:-1])
            self._past = [PastSet(date=local_date(start), plays=tuple(paths), name=NAME)
                          for start, paths in sessions if paths and sane_time(start)]
        return self._past, _paths(found[-1][1], library[1], folder) if found else []
