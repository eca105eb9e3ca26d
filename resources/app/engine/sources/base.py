"""The shared base of sources that read a DJ program's own files, and the rules they share: values
(keys, tempos, times), names of playlists and crates (requests, moments of the night), and opening SQLite
read-only.

A `ProgramSource` is made of `Part`s (the history, the library, the crates...). Each part has a cheap
signature (stat results, a directory listing) and a load. At most every `CHECK_EVERY` seconds the
signatures are taken again, and only a part whose signature moved is read again; one part per poll, in
the order `parts()` gives, so that a new track in tonight's set (the history comes first) is served
before a large library is read again at the next poll. A load that fails keeps the part's last good
value: the feed goes on (or waits, when nothing was ever read), one line on stderr says what is wrong,
and one more says when it reads again. Damage that waiting may cure (a database the program holds
locked) is retried every `RETRY_TRANSIENT` seconds, other damage when the file changes. A file that
changes while it is read is read again at the next check rather than trusted.

Nothing here writes, creates, locks or renames anything in the program's folders.

Threads: everything runs on the engine's main thread.
"""
import datetime
import functools
import math
import os
import sqlite3
import struct
import sys
import time
from dataclasses import dataclass, replace
from typing import Any, BinaryIO, Callable, Dict, Hashable, Iterable, List, Mapping, Optional, Sequence, Tuple, TypeVar
from urllib.parse import quote

from ..keys import parse_key
from ..library import Library, Track
from ..paths import NotAFile, open_regular, shown
from . import Snapshot, Source

CHECK_EVERY = 0.5  # seconds between signature checks: the panel polls every 2 s, a stat costs microseconds
RETRY_TRANSIENT = 1.0
# The newest set counts as tonight while its last entry is younger than this; after that it is history
# and nothing is playing (a DJ opening the panel days after the last gig sees the waiting state).
TONIGHT_HOURS = 6.0
MIN_BPM, MAX_BPM = 20.0, 400.0
EARLIEST = 631152000.0  # 1990-01-01: no DJ software wrote history before that
REQUESTS = "requests"

# Playlist or crate names that mark a moment of the night, compared lower-case without spaces, hyphens
# or underscores ("Warm-up", "warm up" and "WARMUP" are one name).
MOMENT_NAMES = {
    "warmup": "warmup", "opening": "warmup", "openers": "warmup",
    "build": "build", "buildup": "build",
    "peak": "peak", "peaktime": "peak", "peakhour": "peak",
    "closing": "closing", "closers": "closing", "cooldown": "closing", "afterhours": "closing",
}

READ_ERRORS = (OSError, ValueError, UnicodeError, struct.error, sqlite3.Error, EOFError, OverflowError)


class Damage(Exception):
    """A DJ program's file that cannot be read as it should. `transient` when waiting may cure it (the
    program holds the database locked) rather than only a new version of the file."""

    def __init__(self, message: str, transient: bool = False):
        super().__init__(message)
        self.transient = transient


@dataclass
class Part:
    name: str  # what the stderr line calls it: "library", "history", "crates"
    signature: Callable[[], Hashable]  # cheap; changes whenever the content may have
    load: Callable[[], Any]  # the read; raises Damage or one of READ_ERRORS when the files are damaged


def _plain(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return "%s: %s" % (error.strerror, shown(str(error.filename or "")))
    return str(error) or type(error).__name__


def open_file(path: str) -> BinaryIO:
    """A DJ program's file, open for reading; links are followed, as DJs link folders and drives in.
    Anything there that is not a regular file (a FIFO, a device) is refused at once as Damage: opening or
    reading it could block the engine's one thread for good."""
    try:
        return open_regular(path)
    except NotAFile as error:
        raise Damage("%s is %s, not a file" % (shown(path), error.strerror)) from None


class ProgramSource(Source):
    """A source that reads a DJ program's files through `parts()` and turns the parts' last good values
    into a snapshot with `build()`. Subclasses set `id`, `name` and `path`."""

    def __init__(self, path: str, say: Callable[[str], None] = lambda line: sys.stderr.write(line + "\n")):
        self.path = path
        self.say = say
        self.values: Dict[str, Any] = {}
        self._seen: Dict[str, Hashable] = {}
        self._broken: Dict[str, str] = {}
        self._retry_at: Dict[str, float] = {}
        self._next_check = 0.0
        self._snapshot = Snapshot(exists=os.path.exists)
        self._made: Dict[str, Tuple[Tuple[Any, ...], Any]] = {}
        self._told: Dict[str, str] = {}  # what was last said about one file or one rule

    def parts(self) -> Sequence[Part]:
        raise NotImplementedError

    def build(self, values: Mapping[str, Any]) -> Snapshot:
        """The snapshot from each part's last good value (a part never read yet is absent)."""
        raise NotImplementedError

    def start(self) -> None:
        self._refresh(time.monotonic(), every_part=True)

    def poll(self, now: float) -> bool:
        if now < self._next_check:
            return False
        self._next_check = now + CHECK_EVERY
        return self._refresh(now)

    def snapshot(self) -> Snapshot:
        return replace(self._snapshot, today=datetime.date.today())

    def memo(self, name: str, inputs: Tuple[Any, ...], make: Callable[[], Any]) -> Any:
        """make(), again only when one of `inputs` is another object than last time (they are kept, so
        an identity is never reused while compared): `build` runs on every change tonight, and the
        library and the past, with their indexes, are made again only when what they come from changed."""
        made = self._made.get(name)
        if made is None or len(made[0]) != len(inputs) or any(a is not b for a, b in zip(made[0], inputs)):
            made = (inputs, make())
            self._made[name] = made
        return made[1]

    def tell(self, about: str, line: str) -> None:
        """Says `line` unless it is what was last said `about` the same thing: one damaged file among many
        (a session) is said once, not at every read."""
        if self._told.get(about) != line:
            self._told[about] = line
            self.say(line)

    def carried(self, tracks: Iterable[Track], moments: Mapping[str, str]) -> Library:
        """The library (`with_moments`), saying once which tracks the feed cannot carry and leaves out."""
        left_out: List[str] = []
        library = with_moments(tracks, moments, left_out)
        if left_out:
            self.tell("not UTF-8", "%s: %d tracks left out, their path or tags are not UTF-8 (the feed cannot "
                      "carry them), the first %s" % (self.name, len(left_out), shown(left_out[0])))
        return library

    @property
    def damaged(self) -> bool:
        return bool(self._broken)

    def _signature(self, part: Part) -> Hashable:
        try:
            return part.signature()
        except READ_ERRORS as error:
            return ("unreadable", _plain(error))

    def _refresh(self, now: float, every_part: bool = False) -> bool:
        changed = False
        for part in self.parts():
            signature = self._signature(part)
            retry = part.name in self._retry_at and now >= self._retry_at[part.name]
            if part.name in self._seen and signature == self._seen[part.name] and not retry:
                continue
            self._retry_at.pop(part.name, None)
            try:
                value = part.load()
            except Damage as error:
                self._damaged(part, signature, str(error), error.transient, now)
                continue
            except READ_ERRORS as error:
                self._damaged(part, signature, _plain(error), False, now)
                continue
            if self._signature(part) != signature:
                continue  # changed while read: read it again at the next check rather than trust it
            self._seen[part.name] = signature
            self.values[part.name] = value
            changed = True
            if self._broken.pop(part.name, None) is not None and not self._broken:
                self.say("%s: %s readable again" % (self.name, shown(self.path)))
            if not every_part:
                self._next_check = now  # the parts after this one get their turn at the next poll
                break
        if changed:
            self._snapshot = self.build(self.values)
        return changed

    def _damaged(self, part: Part, signature: Hashable, message: str, transient: bool, now: float) -> None:
        self._seen[part.name] = signature
        if transient:
            self._retry_at[part.name] = now + RETRY_TRANSIENT
        if self._broken.get(part.name) != message:
            # Parts of one file fail alike (a locked database): the same trouble is said once.
            said = message in self._broken.values()
            self._broken[part.name] = message
            kept = "keeping what was read before" if part.name in self.values else "nothing to show yet"
            if not said:
                self.say("%s: cannot read %s (%s); %s" % (self.name, shown(self.path), message, kept))


def read_only(path: str, timeout: float = 0.5) -> sqlite3.Connection:
    """The SQLite database at path, opened so that nothing is created or changed beside it and no lock
    outlives a statement: a `mode=ro` URI, autocommit (every statement its own short read), a busy
    timeout while the program writes. A database in write-ahead-log mode (header bytes 18-19 are 2) would
    have even a read-only reader create its -wal and -shm files, or write its marks into them: such a
    file is read as it stands (`immutable`), and the log's newest changes arrive when the program
    checkpoints them into it. A text field that is not UTF-8 costs that field only. Raises Damage."""
    try:
        with open_file(path) as f:
            header = f.read(20)
    except OSError as error:
        raise Damage("%s: %s" % (shown(os.path.basename(path)), error.strerror or error))
    wal = len(header) == 20 and header[18] == 2
    # The path's own bytes: a folder name that is not UTF-8 is still the folder.
    uri = "file:%s?%s" % (quote(os.fsencode(os.path.abspath(path))), "immutable=1" if wal else "mode=ro")
    try:
        conn = sqlite3.connect(uri, uri=True, timeout=timeout, isolation_level=None)
    except sqlite3.Error as error:
        raise sql_damage(path, error)
    conn.text_factory = _text
    return conn


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


def sql_damage(path: str, error: sqlite3.Error) -> Damage:
    """What a failed statement on the database at path means: a lock the program holds clears by itself,
    so the part is read again soon; other trouble waits for the file to change."""
    text = str(error).lower()
    return Damage("%s: %s" % (os.path.basename(path), error), transient="locked" in text or "busy" in text)


def query(path: str, sql: str) -> List[tuple]:
    """All rows of one query on the SQLite file at path, opened read-only and closed again at once, so
    no lock outlives the read (`read_only`). Raises Damage when the file is no database or lacks the
    table."""
    conn = read_only(path)
    try:
        return conn.execute(sql).fetchall()
    except sqlite3.Error as error:
        raise sql_damage(path, error)
    finally:
        conn.close()


def stamp(path: str) -> Optional[Hashable]:
    """A file's change signature: None when it is absent."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_size, st.st_ino)


def mtime(path: str) -> float:
    try:
        return os.stat(path).st_mtime
    except OSError:
        return 0.0


def number(value: Any) -> Optional[float]:
    """A finite number from a number or its text, else None."""
    try:
        result = float(value.strip() if isinstance(value, str) else value)
    except (TypeError, ValueError, OverflowError):
        return None
    return result if math.isfinite(result) else None


def sane_bpm(value: Any) -> float:
    """A tempo as analysed, or 0.0 (unknown) for anything no track has."""
    bpm = number(value)
    return bpm if bpm is not None and MIN_BPM <= bpm <= MAX_BPM else 0.0


def sane_time(value: Any, now: Optional[float] = None) -> Optional[float]:
    """Unix seconds that a DJ program can have written (not before 1990, not after tomorrow), else None."""
    seconds = number(value)
    latest = (time.time() if now is None else now) + 86400.0
    return seconds if seconds is not None and EARLIEST <= seconds <= latest else None


def local_date(seconds: float) -> datetime.date:
    return datetime.datetime.fromtimestamp(seconds).date()


@functools.lru_cache(maxsize=4096)
def camelot_text(text: Any) -> str:
    """A key in the feed's one notation ("8A"); "" when it is not a key. Of a pair such as "D♯m/E♭m"
    the first spelling is read."""
    if not isinstance(text, str):
        return ""
    key = parse_key(text.split("/")[0])
    return str(key) if key is not None else ""


def _plain_name(name: str) -> str:
    return "".join(c for c in name.lower() if c not in " -_")


def moment_named(name: Any) -> Optional[str]:
    """The moment a playlist or crate stands for by its name, or None."""
    return MOMENT_NAMES.get(_plain_name(name)) if isinstance(name, str) else None


Listed = TypeVar("Listed")


def requests_and_moments(lists: Iterable[Tuple[Any, Listed]],
                         read: Callable[[Listed], Iterable[str]]) -> Tuple[List[str], Dict[str, str]]:
    """What the DJ's playlists or crates, given as (name, what `read` turns into its track paths), say by
    their names: the requests, from every list named "Requests" in turn, and the moment of each track in
    a list named for one (the first such list wins). Only those lists are read."""
    requests: List[str] = []
    moments: Dict[str, str] = {}
    for name, listed in lists:
        moment = moment_named(name)
        if moment:
            for path in read(listed):
                moments.setdefault(path, moment)
        elif isinstance(name, str) and _plain_name(name) == REQUESTS:
            requests += read(listed)
    return requests, moments


def feed_carries(track: Track) -> bool:
    """Whether the feed (UTF-8 JSON) can carry the track: a path with bytes that are not UTF-8 comes out
    of the file system with lone surrogates, which no UTF-8 text holds. Such a track cannot be offered
    at all, since a deck loads the exact path."""
    try:
        (track.path + track.title + track.artist + track.key).encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def with_moments(tracks: Iterable[Track], moments: Mapping[str, str], left_out: List[str]) -> Library:
    """The library, each track in a list named for a moment of the night carrying that moment; a track the
    feed cannot carry is left out (its path added to `left_out`)."""
    kept: List[Track] = []
    for t in tracks:
        if not feed_carries(t):
            left_out.append(t.path)
        else:
            kept.append(t._replace(category=moments[t.path]) if t.path in moments else t)
    return Library(kept)


def is_tonight(last_entry: Optional[float], now: Optional[float] = None) -> bool:
    if last_entry is None:
        return False
    return (time.time() if now is None else now) - last_entry <= TONIGHT_HOURS * 3600.0
