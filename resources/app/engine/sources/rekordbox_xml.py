"""rekordbox, through the XML collection it exports (File > Export Collection in xml format). rekordbox's
own database is encrypted and stays out of reach; the export is a snapshot, so nothing here is live.

`source_path` is the exported file:
  <DJ_PLAYLISTS><COLLECTION><TRACK TrackID Name Artist AverageBpm Tonality Location>: Location is
                "file://localhost" + the percent-encoded UTF-8 path ("file://localhost/C:/..." on
                Windows); Tonality is musical ("Abm", "F#m") or Camelot ("5A") as the DJ chose to show
                keys. PlayCount and DateAdded are not needed: plays are counted from the history.
  <PLAYLISTS><NODE Type="0"> folders and <NODE Type="1" KeyType> playlists whose <TRACK Key> is the
                TrackID (KeyType 0) or the Location (KeyType 1).
Playlists named "HISTORY yyyy-mm-dd" are the past sets (a " (n)" after the date is read as the n-th
session of that day); the newest is tonight and its last track is playing. Without one the feed waits.
Sources, each field confirmed in two: rekordbox's "xml_format_list" as reproduced in pyrekordbox's
documentation (attributes, KeyType 0/1, Location including the file name) and in rekordcrate's parser;
dj-data-converter (digital-dj-tools), which writes Location as file://localhost plus an optional drive
letter plus the percent-encoded path.
"""
import datetime
import functools
import os
import re
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple
from urllib.parse import unquote

from ..history import PastSet
from ..library import Track
from . import Installation
from .base import Damage, Part, camelot_text, mtime, open_file, sane_bpm, stamp
from .dj_files import Crate, FileSource, XmlReader, title_of

ID = "rekordbox-xml"
NAME = "rekordbox"
# Where a DJ who exports as "rekordbox.xml" into Documents or Music has it found without a setting.
EXPORT = "rekordbox.xml"
_HISTORY = re.compile(r"^HISTORY (\d{4})-(\d{2})-(\d{2})(?: \((\d+)\))?$", re.IGNORECASE)
_DRIVE_PATH = re.compile(r"^/[A-Za-z]:/")


def places(home: str, env: Mapping[str, str], system: str) -> List[str]:
    if system not in ("darwin", "win32"):
        return []
    user = env.get("USERPROFILE") or home if system == "win32" else home
    return [os.path.join(user, folder, EXPORT) for folder in ("Documents", "Music")]


def probe(path: str, count: bool) -> Optional[Installation]:
    """The export when its first bytes show a rekordbox XML document; its COLLECTION says how many
    tracks it holds."""
    try:
        with open_file(path) as f:
            head = f.read(4096)
    except (OSError, Damage):
        return None
    if b"<DJ_PLAYLISTS" not in head:
        return None
    entries = re.search(rb'<COLLECTION\s+Entries="(\d+)"', head) if count else None
    return Installation(ID, NAME, path, int(entries.group(1)) if entries else None, mtime(path))


def open_source(path: str) -> "RekordboxXmlSource":
    return RekordboxXmlSource(path)


def location_path(location: Optional[str]) -> Optional[str]:
    """The local file a Location URL names, or None for anything that is not a local file."""
    url = (location or "").strip()
    scheme = url[:17].lower()
    if scheme == "file://localhost/":
        encoded = url[16:]
    elif scheme.startswith("file:///"):
        encoded = url[7:]
    else:
        return None
    folder, _, name = encoded.partition("?")[0].partition("#")[0].rpartition("/")
    try:
        path = _folder(folder) + "/" + unquote(name, errors="strict")
    except UnicodeDecodeError:
        return None
    if _DRIVE_PATH.match(path):
        path = path[1:].replace("/", "\\") if os.name == "nt" else path[1:]
    return path if len(path) > 1 else None


@functools.lru_cache(maxsize=8192)  # a collection has far fewer folders than tracks
def _folder(encoded: str) -> str:
    return unquote(encoded, errors="strict")


def _track(attributes: Dict[str, str]) -> Optional[Track]:
    path = location_path(attributes.get("Location"))
    if path is None:
        return None
    return Track(path=path, title=title_of(path, attributes.get("Name")),
                 artist=(attributes.get("Artist") or "").strip(), key=camelot_text(attributes.get("Tonality")),
                 bpm=sane_bpm(attributes.get("AverageBpm")))


def _history_order(name: str) -> Optional[Tuple[datetime.date, int]]:
    match = _HISTORY.match(name.strip())
    if not match:
        return None
    try:
        return datetime.date(*(int(g) for g in match.groups()[:3])), int(match.group(4) or 1)
    except ValueError:
        return None


Export = Tuple[Crate, List[PastSet], List[str]]


class _Export(XmlReader):
    """Reads the export: the collection's TRACKs (their tempo and cue children never reach Python), then
    each playlist NODE's TRACK keys."""

    def __init__(self) -> None:
        self.crate = Crate()
        self.by_id: Dict[str, str] = {}
        self.playlists: List[Tuple[str, bool, List[str]]] = []  # name, keyed by Location, the TRACK keys
        self.keys: Optional[List[str]] = None  # those of the playlist being read
        self.in_collection = False

    def start(self, tag: str, attributes: Dict[str, str]) -> None:
        if tag == "TRACK":
            if self.in_collection:
                self.pass_over("TRACK")
                track = _track(attributes)
                if track is None:
                    self.crate.skipped += 1
                else:
                    self.by_id[attributes.get("TrackID") or ""] = track.path
                    self.crate.tracks.append(track)
            elif self.keys is not None:
                self.keys.append(attributes.get("Key") or "")
        elif tag == "NODE":
            self.keys = [] if attributes.get("Type") == "1" else None
            if self.keys is not None:
                self.playlists.append((attributes.get("Name") or "", attributes.get("KeyType") == "1", self.keys))
        elif tag in ("COLLECTION", "PLAYLISTS"):
            self.in_collection = tag == "COLLECTION"


def read(path: str) -> Export:
    """(the crate, past sets, tonight) of an export."""
    export = _Export()
    export.read(path)
    crate = export.crate
    history: List[Tuple[Tuple[datetime.date, int], List[str]]] = []
    for name, by_location, members in export.playlists:
        paths = [p for p in (location_path(k) if by_location else export.by_id.get(k) for k in members) if p]
        order = _history_order(name)
        if order is None:
            crate.playlists.append((name, paths))
        elif paths:
            history.append((order, paths))
    history.sort(key=lambda h: h[0])
    tonight = history.pop()[1] if history else []
    return crate, [PastSet(date=order[0], plays=tuple(paths), name=NAME) for order, paths in history], tonight


class RekordboxXmlSource(FileSource):
    id = ID
    name = NAME
    label = NAME

    def parts(self) -> Sequence[Part]:
        return [Part("export", lambda: stamp(self.path), lambda: read(self.path))]

    def crate(self, values: Mapping[str, Any]) -> Optional[Crate]:
        export = values.get("export")
        return export[0] if export else None

    def sets(self, values: Mapping[str, Any]) -> Tuple[Sequence[PastSet], List[str]]:
        export = values.get("export")
        return (export[1], export[2]) if export else ([], [])
