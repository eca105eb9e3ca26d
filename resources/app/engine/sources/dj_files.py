"""What the sources for VirtualDJ, Traktor, Engine DJ and rekordbox XML share: safe XML streaming, a
few field rules, and `FileSource`, which turns their parts into a snapshot.

Safety rules every reader follows through this module:
  - XML: a document type declaration is refused before anything in it is parsed, so no entity can be
    declared, expanded or fetched (expat's own amplification limits stay on as a second guard), and
    files are streamed through expat as start tags with their attributes, so memory stays flat
    (`XmlReader`);
  - a whole file that cannot be read raises `Damage`; a single odd record is skipped and counted.

Threads: everything runs on the engine's main thread.
"""
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, FrozenSet, Iterable, List, Mapping, Optional, Sequence, Tuple
from xml.parsers import expat

from ..history import History, PastSet
from ..library import Library, Track
from . import Installation, Snapshot
from .base import Damage, ProgramSource, mtime, number, open_file, requests_and_moments

CHUNK = 1 << 20


@dataclass
class Crate:
    """A library as read, before the engine's model is made of it."""
    tracks: List[Track] = field(default_factory=list)
    # (name, paths) of each playlist or crate: two may share a name, and both count
    playlists: List[Tuple[str, List[str]]] = field(default_factory=list)
    skipped: int = 0  # records that could not be used


class _Refused(Exception):
    pass


def _refuse(*_args) -> None:
    raise _Refused()


class XmlReader:
    """Streams an XML file through expat and calls `start(tag, attributes)` for every element in
    document order, the attributes as a dictionary: the readers need nothing but attributes, so no tree
    is built and memory stays flat for any file size. A document type declaration is refused at its
    first byte, before any entity can be declared, so nothing is ever expanded or fetched. Subclasses
    define `start`, and `finish` for what ends with the document.

    Turning attributes into Python strings is most of the cost of a large library file, so a reader that
    has what it wants of an element calls `pass_over(tag)`: its remaining children are still checked by
    expat, but none reaches Python."""

    missed = False

    def start(self, tag: str, attributes: Dict[str, str]) -> None:
        raise NotImplementedError

    def finish(self) -> None:
        """Called once the whole document was read."""

    def pass_over(self, *until: str, needed: FrozenSet[str] = frozenset()) -> None:
        """No more `start` calls until an open element named in `until` ends. A reader that passes over
        elements it only expects to be of no use (Traktor's album and info before an entry's tempo) names
        in `needed` those it must not miss: should one of them end while passed over, `start` is called
        again from there on and `missed` is set, for the reader to read the file again in full."""
        self._until, self._needed = until, needed
        self._parser.StartElementHandler = None
        self._parser.EndElementHandler = self._ended

    def _ended(self, tag: str) -> None:
        if tag in self._needed:
            self.missed = True
        elif tag not in self._until:
            return
        self._parser.StartElementHandler = self.start
        self._parser.EndElementHandler = None

    def read(self, path: str) -> None:
        """Reads the file at path. Raises Damage when it is unreadable or not whole."""
        with open_file(path) as f:
            self.read_chunks(iter(lambda: f.read(CHUNK), b""))

    def read_chunks(self, chunks: Iterable[bytes]) -> None:
        """Reads a document given in pieces."""
        self._parser = parser = expat.ParserCreate()
        parser.StartDoctypeDeclHandler = _refuse
        parser.EntityDeclHandler = _refuse
        parser.StartElementHandler = self.start
        try:
            for data in chunks:
                parser.Parse(data, False)
            parser.Parse(b"", True)
        except _Refused:
            raise Damage("it declares a document type (entities are not accepted)")
        except expat.ExpatError as error:
            raise Damage("it is not whole XML (%s)" % expat.ErrorString(error.code))
        finally:
            del self._parser  # the handlers refer back to this reader
        self.finish()


def whole(value: object) -> Optional[int]:
    result = number(value)
    return int(result) if result is not None and result >= 0 and result.is_integer() else None


def title_of(path: str, title: Optional[str]) -> str:
    """The title the program shows, else the file name without its extension."""
    if title and title.strip():
        return title.strip()
    name = path.replace("\\", "/").rsplit("/", 1)[-1]
    return name.rsplit(".", 1)[0] if "." in name else name


def listing(folder: str, keep: Callable[[str], bool]) -> Tuple[Tuple[str, int, int], ...]:
    """(name, mtime ns, size) of the files in folder whose names pass `keep`: a folder's change
    signature, cheap enough for every check."""
    found = []
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return ()
    for entry in entries:
        if keep(entry.name):
            try:
                st = entry.stat()
            except OSError:
                continue
            found.append((entry.name, st.st_mtime_ns, st.st_size))
    return tuple(sorted(found))


def installation(ids: Tuple[str, str], path: str, main: str, history: str,
                 keep: Callable[[str], bool]) -> Optional[Installation]:
    """What detection finds of the program `ids` (its ID and NAME) when `main`, its library file, exists:
    changed when that or the newest file `keep` accepts in the `history` folder was written."""
    if not os.path.isfile(main):
        return None
    newest = [changed / 1e9 for _, changed, _ in listing(history, keep)]
    return Installation(ids[0], ids[1], path, None, max([mtime(main)] + newest))


class FileSource(ProgramSource):
    """A ProgramSource whose parts give a `Crate` and the sets: playlists named for a moment of the
    night ("Warm-up", "Peak", ...) give their tracks that moment, one named "Requests" is the request
    list. The library and the past are made again only when what they come from changed, so a new track
    tonight costs a look-up, not a rebuild."""

    def __init__(self, path: str, **kwargs: Any):
        super().__init__(path, **kwargs)
        self._said_skipped = 0

    def crate(self, values: Mapping[str, Any]) -> Optional[Crate]:
        raise NotImplementedError

    def sets(self, values: Mapping[str, Any]) -> Tuple[Sequence[PastSet], List[str]]:
        """(past sets, tonight's paths in playing order), each cheap when only tonight changed."""
        raise NotImplementedError

    def build(self, values: Mapping[str, Any]) -> Snapshot:
        crate = self.crate(values)
        if crate is None:
            return Snapshot(exists=os.path.exists)  # no library read yet: the feed waits
        if crate.skipped and crate.skipped != self._said_skipped:
            self.say("%s: %d entries of the library name no file and are left out" % (self.name, crate.skipped))
        self._said_skipped = crate.skipped
        library, requests = self.memo("library", (crate,), lambda: self.library_of(crate))
        past, tonight = self.sets(values)
        history = self.memo("history", (past,), lambda: History(past_sets=list(past)))
        return Snapshot(library=library, history=history.with_tonight(tonight), requests=requests,
                        exists=os.path.exists)

    def library_of(self, crate: Crate) -> Tuple[Library, List[str]]:
        """The library with each track's moment from the playlists named for one, and the request list."""
        requests, moments = requests_and_moments(crate.playlists, list)
        return self.carried(crate.tracks, moments), requests
