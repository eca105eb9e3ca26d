"""What the readers of DJ programs' own files share: safe XML streaming, read-only SQLite, tolerant
field parsing, and the `Reading` each of them returns.

The readers (virtualdj, traktor, enginedj, rekordbox_xml) are pure functions from the program's files to
a `Reading`; only their `Source` wrappers keep state. Everything here runs on the engine's main thread.

Safety rules every reader follows through this module:
  - XML: a document type declaration is refused before anything in it is parsed, so no entity can be
    declared, expanded or fetched (expat's own amplification limits stay on as a second guard), and
    files are streamed as start tags with their attributes, so memory stays flat for any size;
  - SQLite: opened through a `mode=ro` URI with a busy timeout; nothing is created beside the file;
  - a whole file that cannot be read raises `Damaged`; a single odd record is skipped and counted.
"""
import datetime
import functools
import math
import os
import sqlite3
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Tuple
from urllib.parse import quote
from xml.parsers import expat

from ..history import PastSet
from ..keys import parse_key
from ..library import Track

CHUNK = 1 << 20
# Tempos outside this range are analysis faults or placeholders, not music a DJ mixes.
BPM_RANGE = (20.0, 400.0)


class Damaged(Exception):
    """A file that cannot be read as a whole: missing, truncated, of another format, or hostile."""


@dataclass
class Reading:
    """One read of a DJ program's files, in the engine's own terms (paths are absolute file paths)."""
    tracks: List[Track] = field(default_factory=list)  # the library, files that exist only
    past_sets: List[PastSet] = field(default_factory=list)
    tonight: List[str] = field(default_factory=list)  # paths in playing order, the last one is playing
    playlists: Dict[str, List[str]] = field(default_factory=dict)  # playlist or crate name -> paths
    play_counts: Dict[str, int] = field(default_factory=dict)  # as the program counted them
    last_played: Dict[str, datetime.date] = field(default_factory=dict)  # as the program recorded it
    known: Dict[str, Track] = field(default_factory=dict)  # played tracks the library lacks, for display
    skipped: int = 0  # records that could not be used


class _Refused(Exception):
    pass


def _refuse(*_args) -> None:
    raise _Refused()


def scan_xml(path: str) -> Iterator[Tuple[str, Dict[str, str]]]:
    """(tag, attributes) of every element of the XML file at path, in document order, streamed: the
    readers need nothing but attributes, so no tree is built and memory stays flat for any file size.
    A document type declaration is refused at its first byte, before any entity can be declared, so
    nothing is ever expanded or fetched. Raises Damaged when the file is unreadable or not whole."""
    found: List[Tuple[str, Dict[str, str]]] = []
    parser = expat.ParserCreate()
    parser.StartDoctypeDeclHandler = _refuse
    parser.EntityDeclHandler = _refuse
    parser.StartElementHandler = lambda tag, attributes: found.append((tag, attributes))
    try:
        with open(path, "rb") as f:
            while True:
                data = f.read(CHUNK)
                parser.Parse(data, not data)
                yield from found
                found.clear()
                if not data:
                    return
    except _Refused:
        raise Damaged("it declares a document type (entities are not accepted)")
    except expat.ExpatError as error:
        raise Damaged("it is not whole XML (%s)" % expat.ErrorString(error.code))
    except OSError as error:
        raise Damaged(error.strerror or str(error))


def open_sqlite(path: str) -> sqlite3.Connection:
    """A read-only connection that never creates a journal, lock or any file beside the database."""
    uri = "file:%s?mode=ro" % quote(os.path.abspath(path))
    try:
        conn = sqlite3.connect(uri, uri=True, timeout=2.0)
        conn.execute("PRAGMA query_only = ON")
        conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
    except sqlite3.Error as error:
        raise Damaged("it is not a readable SQLite database (%s)" % error)
    conn.text_factory = _text
    return conn


def _text(raw: bytes) -> str:
    # A text column written in another encoding costs that field only.
    return raw.decode("utf-8", "replace")


def number(value: object) -> Optional[float]:
    """A finite number from text or a number; None for anything else ("fast", "", NaN, NULL)."""
    if isinstance(value, bool) or value is None:
        return None
    try:
        result = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None
    return result if math.isfinite(result) else None


def whole(value: object) -> Optional[int]:
    result = number(value)
    return int(result) if result is not None and result >= 0 and result.is_integer() else None


def bpm(value: Optional[float]) -> float:
    """A tempo as the program analysed it, or 0.0 (unknown) when it is absent or absurd."""
    if value is None or not BPM_RANGE[0] <= value <= BPM_RANGE[1]:
        return 0.0
    return value


def camelot(text: Optional[str]) -> str:
    """A key in any notation the programs write ("A#m", "F#", "5A", "10m"), as Camelot ("3A"), or ""."""
    key = parse_key(text.strip()) if isinstance(text, str) else None
    return str(key) if key else ""


_PITCHES = ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B")


def camelot_of_pitch(pitch_class: int, minor: bool) -> str:
    """Camelot text of the key whose tonic is pitch_class (0 for C up to 11 for B)."""
    return camelot(_PITCHES[pitch_class % 12] + ("m" if minor else ""))


def local_date(unix_seconds: Optional[float]) -> Optional[datetime.date]:
    if unix_seconds is None or unix_seconds <= 0:
        return None
    try:
        return datetime.datetime.fromtimestamp(unix_seconds).date()
    except (OverflowError, OSError, ValueError):
        return None


@functools.lru_cache(maxsize=4096)  # a library repeats the same few hundred dates
def slash_date(text: Optional[str]) -> Optional[datetime.date]:
    """A date written "YYYY/M/D" or "YYYY-MM-DD", else None."""
    parts = (text or "").strip().replace("-", "/").split("/")
    try:
        return datetime.date(*(int(p) for p in parts)) if len(parts) == 3 else None
    except ValueError:
        return None


def title_of(path: str, title: Optional[str]) -> str:
    """The title the program shows, else the file name without its extension."""
    if title and title.strip():
        return title.strip()
    name = path.replace("\\", "/").rsplit("/", 1)[-1]
    return name.rsplit(".", 1)[0] if "." in name else name


def is_file(path: str) -> bool:
    """Whether a track's file is there to be loaded (an unmounted volume's tracks are not)."""
    try:
        return os.path.isfile(path)
    except (OSError, ValueError):
        return False
