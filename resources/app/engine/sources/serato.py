"""Serato DJ: the library in `_Serato_/database V2`, crates in `_Serato_/Subcrates/*.crate`, the sets in
`_Serato_/History/Sessions/*.session`; tracks on an external drive are listed in the `_Serato_` folder at
that drive's root, read alongside.

The formats, as open-source readers document them (Holzhaus/serato-tags, scripts/database_v2.py, for the
database and crate records and their field types; the "Serato .session File Format Guide" of
session-fixer and the session reader of whats-now-playing, nowplaying/serato.py, for the session
fields):
- Every file is a sequence of records: a 4-byte ASCII tag, a 32-bit big-endian length, the value; it
  starts with a `vrsn` record. In the database the tag's first letter gives the value's type: o nested
  records, t and p UTF-16BE text without terminator, u 32-bit unsigned, s 16-bit, b one byte.
- database V2: one `otrk` per track, holding `pfil` the path (no leading slash: relative to the root of
  the drive holding this `_Serato_` folder, `/` for the one in the home folder's Music), `tsng` title,
  `tart` artist, `tgen` genre, `tbpm` BPM as text ("123.38"), `tkey` key as text ("F#m"), `tadd`/`uadd`
  date added. Serato keeps no play count: plays are counted from the sessions.
- A crate: `otrk` records each holding `ptrk`, a path as in `pfil`. A crate inside a crate is a file
  named "Parent%%Child.crate".
- A session: `oent` records each holding one `adat`, whose value is a sequence of fields with a 32-bit
  big-endian number, a 32-bit big-endian length and the value: 1 row, 2 the absolute path (UTF-16BE,
  may end in NULs), 6 title, 7 artist, 15 BPM (32-bit integer), 28 start and 29 end (Unix seconds,
  32-bit), 31 deck, 50 played (one byte), 51 key (text). Tonight's file grows while the DJ plays: an
  entry is written when a track is loaded and written again, same row, with its end time and played
  flag when the deck's track is replaced or ejected.

"Now playing" in tonight's session (`playing`): an entry still on a deck (no end time) already marked
played, the most recently started of them; else, of the entries still on a deck, the one loaded first
(a track loaded on the other deck afterwards is the one being cued up); else, with every deck emptied,
the played entry that ended last. Tonight's set is every entry marked played, plus the one playing, in
the order they started; a track loaded and taken off again unplayed does not count. A record with a
field missing costs that record only; a half-written last record is left until it is complete.

Threads: the engine's main thread.
"""
import glob
import math
import os
import string
import struct
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Hashable, Iterator, List, Mapping, Optional, Sequence, Tuple

from ..history import History, PastSet
from ..library import Track
from . import Installation, Snapshot
from ..paths import shown
from .base import (Damage, Part, ProgramSource, camelot_text, is_tonight, local_date, mtime, open_file,
                   requests_and_moments, sane_bpm, sane_time, stamp)

ID = "serato"
NAME = "Serato DJ"
FOLDER = "_Serato_"
DATABASE = "database V2"
_HEADER = struct.Struct(">4sI")
_TAG_LETTERS = set((string.ascii_letters + string.digits + " ").encode())
_TRACK_FIELDS = (b"pfil", b"tsng", b"tart", b"tbpm", b"tkey")
PATH, TITLE, ARTIST, BPM, START, END, DECK, PLAYED, KEY = 2, 6, 7, 15, 28, 29, 31, 50, 51
ROW = 1
FULL_CHECK = 30.0  # seconds between looks at every session file


def places(home: str, env: Mapping[str, str], system: str) -> List[str]:
    if system == "win32":
        return [os.path.join(env.get("USERPROFILE") or home, "Music", FOLDER)]
    return [os.path.join(home, "Music", FOLDER)]


def drive_folders(system: str, env: Mapping[str, str]) -> List[str]:
    """The `_Serato_` folders at the roots of the drives mounted now."""
    if system == "win32":
        return [p for p in ("%s:\\%s" % (c, FOLDER) for c in string.ascii_uppercase) if os.path.isdir(p)]
    user = env.get("USER", "*")
    patterns = ["/Volumes/*/" + FOLDER] if system == "darwin" else [
        "/media/%s/*/%s" % (user, FOLDER), "/run/media/%s/*/%s" % (user, FOLDER), "/mnt/*/" + FOLDER]
    return sorted(p for pattern in patterns for p in glob.glob(pattern))


def probe(path: str, count: bool) -> Optional[Installation]:
    database = os.path.join(path, DATABASE)
    if not os.path.isfile(database):
        return None
    sessions = os.path.join(path, "History", "Sessions")
    newest = max(_session_files(sessions), key=lambda p: _session_number(os.path.basename(p)), default="")
    changed = max(mtime(database), mtime(sessions), mtime(newest))
    return Installation(ID, NAME, path, count_tracks(database) if count else None, changed)


def open_source(path: str) -> "SeratoSource":
    return SeratoSource(path)


# --- records ---------------------------------------------------------------------------------------

def text(value: bytes) -> str:
    """UTF-16BE text; an odd byte, a bad surrogate or trailing NULs do not stop it."""
    if len(value) & 1:
        value = value[:-1]
    decoded = value.decode("utf-16-be", "replace")
    return decoded.rstrip("\x00") if decoded.endswith("\x00") else decoded


def _check_tag(tag: bytes, where: str) -> None:
    if not set(tag) <= _TAG_LETTERS:
        raise Damage("unreadable record in %s" % where)


def records(data: bytes, where: str = "") -> Iterator[Tuple[bytes, bytes]]:
    """(tag, value) of each whole record; a last record cut short (still being written) is left out.
    With `where` (a file's name) the data is a whole file, checked to be one."""
    pos, size = 0, len(data)
    if where and size >= 8 and data[:4] != b"vrsn":
        raise Damage("%s does not start as a Serato file" % where)
    while pos + 8 <= size:
        tag, length = _HEADER.unpack_from(data, pos)
        end = pos + 8 + length
        if end > size:
            return
        if where:
            _check_tag(tag, where)
        yield tag, data[pos + 8:end]
        pos = end


def file_records(f, where: str) -> Iterator[Tuple[bytes, bytes]]:
    """records() read from a file one record at a time, so that a large database is never held whole."""
    while True:
        head = f.read(8)
        if len(head) < 8:
            return
        tag, length = _HEADER.unpack(head)
        _check_tag(tag, where)
        value = f.read(length)
        if len(value) < length:
            return
        yield tag, value


def _fields(value: bytes, wanted: Sequence[bytes]) -> Dict[bytes, bytes]:
    found: Dict[bytes, bytes] = {}
    pos, size = 0, len(value)
    while pos + 8 <= size:
        tag, length = _HEADER.unpack_from(value, pos)
        end = pos + 8 + length
        if end > size:
            break
        if tag in wanted:
            found[tag] = value[pos + 8:end]
            if len(found) == len(wanted):
                break  # the rest of a track's record is analysis data nothing here reads
        pos = end
    return found


def root_of(folder: str) -> str:
    """Where `pfil` paths start: `/` (or the drive) for the `_Serato_` folder in a home folder's Music,
    else the root of the drive that holds the folder."""
    folder = os.path.normpath(folder)
    parent = os.path.dirname(folder)
    if os.path.basename(parent).lower() == "music":
        return os.path.splitdrive(folder)[0] + os.sep
    return parent


def full_path(root: str, relative: str) -> str:
    path = os.path.join(root, relative.lstrip("/\\"))
    # Serato writes "/" on every system; only Windows needs them turned round.
    return os.path.normpath(path) if os.sep != "/" else path


def read_tracks(folder: str) -> List[Track]:
    database = os.path.join(folder, DATABASE)
    root = root_of(folder)
    tracks: List[Track] = []
    with open_file(database) as f:
        if f.read(4) != b"vrsn":
            raise Damage("%s does not start as a Serato file" % database)
        f.seek(0)
        whole = 0
        for tag, value in file_records(f, database):
            whole += 1
            if tag != b"otrk":
                continue
            fields = _fields(value, _TRACK_FIELDS)
            relative = text(fields.get(b"pfil", b""))
            if not relative:
                continue  # a track without its file costs that record only
            path = full_path(root, relative)
            tracks.append(Track(path=path, title=text(fields.get(b"tsng", b"")) or os.path.basename(path),
                                artist=text(fields.get(b"tart", b"")), key=camelot_text(text(fields.get(b"tkey", b""))),
                                bpm=sane_bpm(text(fields.get(b"tbpm", b"")))))
    if not whole:
        raise Damage("%s ends inside its first record" % database)
    return tracks


def count_tracks(database: str) -> Optional[int]:
    """The number of `otrk` records, reading only the record headers."""
    count = 0
    try:
        with open_file(database) as f:
            while True:
                head = f.read(8)
                if len(head) < 8:
                    return count
                tag, length = _HEADER.unpack(head)
                count += tag == b"otrk"
                f.seek(length, os.SEEK_CUR)
    except (OSError, Damage):
        return None


def read_crate(path: str, root: str) -> List[str]:
    with open_file(path) as f:
        data = f.read()
    paths = []
    for tag, value in records(data, path):
        if tag == b"otrk":
            relative = text(_fields(value, (b"ptrk",)).get(b"ptrk", b""))
            if relative:
                paths.append(full_path(root, relative))
    return paths


# --- sessions --------------------------------------------------------------------------------------

@dataclass
class Entry:
    path: str
    start: Optional[float]
    end: Optional[float]
    played: bool
    deck: Optional[int]
    order: int  # where the entry first appeared in the file


def _number(value: bytes) -> Optional[int]:
    return int.from_bytes(value, "big") if 1 <= len(value) <= 8 else None


def _adat_fields(value: bytes) -> Dict[int, bytes]:
    found: Dict[int, bytes] = {}
    pos, size = 0, len(value)
    while pos + 8 <= size:
        number, length = struct.unpack_from(">II", value, pos)
        end = pos + 8 + length
        if end > size:
            break
        found[number] = value[pos + 8:end]
        pos = end
    return found


def read_session(data: bytes, where: str = "") -> List[Entry]:
    """The session's entries, an entry written again (same row) taking the place of the earlier one."""
    entries: Dict[Hashable, Entry] = {}
    for tag, value in records(data, where):
        if tag != b"oent":
            continue
        adat = dict(records(value)).get(b"adat")
        fields = _adat_fields(adat) if adat else {}
        path = text(fields.get(PATH, b""))
        if not path:
            continue
        start = sane_time(_number(fields.get(START, b"")))
        row = _number(fields.get(ROW, b""))
        deck = _number(fields.get(DECK, b""))
        key: Hashable = ("row", row) if row is not None else (path, deck, start)
        order = entries[key].order if key in entries else len(entries)
        entries[key] = Entry(path=path, start=start, end=sane_time(_number(fields.get(END, b""))),
                             played=fields.get(PLAYED, b"\x00")[:1] not in (b"", b"\x00"), deck=deck, order=order)
    return sorted(entries.values(), key=lambda e: e.order)


def _started(entry: Entry) -> Tuple[float, int]:
    return (entry.start if entry.start is not None else math.inf, entry.order)


def playing(entries: Sequence[Entry]) -> Optional[Entry]:
    on_deck = [e for e in entries if e.end is None]
    started = [e for e in on_deck if e.played]
    if started:
        return max(started, key=_started)
    if on_deck:
        return min(on_deck, key=_started)
    ended = [e for e in entries if e.played]
    return max(ended, key=lambda e: (e.end or 0.0, e.order)) if ended else None


def played_paths(entries: Sequence[Entry], now: Optional[Entry] = None) -> List[str]:
    """The set in the order played, the playing entry last."""
    done = sorted((e for e in entries if e.played and e is not now), key=_started)
    return [e.path for e in done] + ([now.path] if now is not None else [])


def _session_number(name: str) -> Tuple[int, str]:
    digits = name.split(".")[0]
    # ASCII digits only: "¹" passes isdigit() but is no number int() reads.
    return (int(digits), name) if digits.isascii() and digits.isdigit() else (-1, name)


def _session_files(sessions: str) -> List[str]:
    try:
        names = os.listdir(sessions)
    except OSError:
        return []
    return [os.path.join(sessions, n) for n in names if n.endswith(".session")]


@dataclass
class Session:
    name: str
    changed: float
    entries: List[Entry]

    def past(self) -> Optional[PastSet]:
        plays = played_paths(self.entries)
        if not plays:
            return None
        starts = [e.start for e in self.entries if e.start is not None]
        return PastSet(date=local_date(min(starts) if starts else self.changed), plays=tuple(plays), name=self.name)


class SeratoSource(ProgramSource):
    id = ID
    name = NAME

    def __init__(self, path: str, drives: Optional[Callable[[], List[str]]] = None, **kwargs: Any):
        super().__init__(path, **kwargs)
        self.sessions_dir = os.path.join(path, "History", "Sessions")
        self.crates_dir = os.path.join(path, "Subcrates")
        self._drives = drives or (lambda: drive_folders(sys.platform, os.environ))
        self._sessions: Dict[str, Tuple[Hashable, Session]] = {}

    def folders(self) -> List[str]:
        return [self.path] + [d for d in self._drives() if os.path.normpath(d) != os.path.normpath(self.path)]

    def parts(self) -> Sequence[Part]:
        return (Part("history", self._history_signature, self._load_history),
                Part("library", lambda: tuple((f, stamp(os.path.join(f, DATABASE))) for f in self.folders()),
                     self._load_library),
                Part("crates", lambda: self._listing(self.crates_dir, ".crate"), self._load_crates))

    def _history_signature(self) -> Hashable:
        """Serato adds session files and appends to the newest: the folder and that file are looked at on
        every check, every file only every FULL_CHECK seconds (an edited old session can wait)."""
        try:
            names = [n for n in os.listdir(self.sessions_dir) if n.endswith(".session")]
        except FileNotFoundError:
            return ()
        newest = max(names, key=_session_number, default="")
        return (stamp(self.sessions_dir), newest, stamp(os.path.join(self.sessions_dir, newest)),
                int(time.monotonic() // FULL_CHECK))

    @staticmethod
    def _listing(folder: str, suffix: str) -> Hashable:
        try:
            names = sorted(n for n in os.listdir(folder) if n.endswith(suffix))
        except FileNotFoundError:
            return ()
        return tuple((n, stamp(os.path.join(folder, n))) for n in names)

    def _load_library(self) -> List[Track]:
        if not os.path.isfile(os.path.join(self.path, DATABASE)):
            raise Damage("no %s in it" % DATABASE)
        tracks = read_tracks(self.path)
        for drive in self.folders()[1:]:
            try:
                tracks += read_tracks(drive)
            except (OSError, Damage):
                pass  # a drive being unplugged: its tracks come back when it does
        return tracks

    def _load_crates(self) -> Tuple[List[str], Dict[str, str]]:
        """Requests and moments from the crates so named; a crate inside another ("Sets%%Peak.crate")
        counts by its own name."""
        root = root_of(self.path)
        listed = self._listing(self.crates_dir, ".crate")
        crates = ((name[: -len(".crate")].split("%%")[-1], name) for name, _ in listed)
        return requests_and_moments(crates, lambda name: read_crate(os.path.join(self.crates_dir, name), root))

    def _load_history(self) -> List[Session]:
        """Every session, reading again only the files that changed. A damaged file costs that session
        only: what was read of it before stays (tonight's track stays playing), else it is left out."""
        fresh: Dict[str, Tuple[Hashable, Session]] = {}
        for name, signature in self._listing(self.sessions_dir, ".session"):
            known = self._sessions.get(name)
            if known is None or known[0] != signature:
                path = os.path.join(self.sessions_dir, name)
                try:
                    with open_file(path) as f:
                        known = (signature, Session(name, os.fstat(f.fileno()).st_mtime, read_session(f.read(), path)))
                except (OSError, Damage) as error:
                    kept = "keeping what was read of it before" if known else "leaving it out"
                    self.tell(name, "%s: cannot read the session %s (%s); %s" % (self.name, shown(name), error, kept))
                    if known is None:
                        continue
                    known = (signature, known[1])  # read again when it changes, not at every check
                else:
                    self._told.pop(name, None)
            fresh[name] = known
        self._sessions = fresh
        return sorted((s for _, s in fresh.values()), key=lambda s: s.changed)

    def build(self, values: Mapping[str, Any]) -> Snapshot:
        tracks = values.get("library", [])
        requests, moments = values.get("crates", ([], {}))
        sessions: List[Session] = values.get("history", [])
        library = self.memo("library", (tracks, moments), lambda: self.carried(tracks, moments))
        tonight = sessions[-1] if sessions and is_tonight(sessions[-1].changed, time.time()) else None
        past = tuple(s for s in sessions if s is not tonight)
        history = self.memo("history", past, lambda: History(
            past_sets=[p for p in (s.past() for s in past) if p is not None]))
        entries = tonight.entries if tonight is not None else []
        return Snapshot(library=library, history=history.with_tonight(played_paths(entries, playing(entries))),
                        requests=list(requests), exists=os.path.exists)
