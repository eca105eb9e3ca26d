"""Traktor: the library and playlists from collection.nml, past sets from the History folder.

The Traktor root folder (`source_path`, the newest "Traktor <version>" folder) holds:
  collection.nml    <NML><COLLECTION><ENTRY TITLE ARTIST> with <LOCATION VOLUME DIR FILE>, <TEMPO BPM>,
                    <MUSICAL_KEY VALUE> (0-11 C ... B major, 12-23 C ... B minor; the free-text INFO KEY
                    is not used); and <PLAYLISTS> of NODEs whose PLAYLIST ENTRYs name tracks by
                    <PRIMARYKEY KEY>.
  History/history_YYYYyMMmDDd_HHhMMmSSs.nml
                    one file per session, written when Traktor saves it (not while a track plays):
                    PLAYLIST ENTRYs in playing order, each <PRIMARYKEY KEY> (VOLUME + DIR + FILE of the
                    collection entry) and <EXTENDEDDATA STARTDATE> (year << 16 | month << 8 | day).
DIR separates folders with "/:". On Windows VOLUME is a drive ("C:") that prefixes the path; on macOS a
named volume is mounted under /Volumes, except the boot volume (listed there as a link to "/"), whose
paths start at "/".
The newest history file is tonight and its last entry the track now playing: Traktor does not record
plays on disk live.
Sources, each field confirmed in two: traktor-nml-utils (wolkenarchitekt) test fixtures, whose entries
give both MUSICAL_KEY VALUE and Traktor's own Open Key text (VALUE 12 with "10m", 22 with "8m", 11 with
"6d", 0 with "1d") and a history file with PRIMARYKEY "Transcend/:DJing/:...mp3" and STARTDATE 132319762
(2019-10-18); dj-data-converter (digital-dj-tools), whose location mapping puts a drive-letter VOLUME
before the path and leaves a named one out.
"""
import datetime
import os
import re
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ..history import PastSet
from ..library import Track
from ..paths import shown
from . import Installation
from .base import READ_ERRORS, Damage, Part, camelot_text, open_file, sane_bpm, stamp
from .dj_files import Crate, FileSource, XmlReader, installation, title_of, whole

ID = "traktor"
NAME = "Traktor"
COLLECTION = "collection.nml"
HISTORY = "History"
VOLUMES = "/Volumes"
_HISTORY_FILE = re.compile(r"^history_(\d{4})y(\d{1,2})m(\d{1,2})d_(\d{1,2})h(\d{1,2})m(\d{1,2})s\.nml$")
_DRIVE = re.compile(r"^[A-Za-z]:$")
_VERSION_FOLDER = re.compile(r"^Traktor (\d+(?:\.\d+)*)$")
# MUSICAL_KEY VALUE: 0-11 the major keys from C up, 12-23 the minor ones, as Camelot text by VALUE's text.
_PITCHES = ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B")
_KEYS = {str(value): camelot_text(_PITCHES[value % 12] + ("m" if value >= 12 else "")) for value in range(24)}
_ENTRY_PARTS = frozenset(("LOCATION", "TEMPO", "MUSICAL_KEY"))
_AFTER_INFO = _ENTRY_PARTS - {"LOCATION"}
# A collection ENTRY is complete when the next ENTRY or anything after the collection begins.
_ENTRY_ENDS = frozenset(("ENTRY", "COLLECTION", "SETS", "PLAYLISTS", "INDEXING", "SORTING_ORDER", "NODE"))
_SECTIONS = frozenset(("COLLECTION", "SETS", "PLAYLISTS", "INDEXING", "SORTING_ORDER"))
_STRUCTURE = _ENTRY_ENDS | _SECTIONS | frozenset(("PRIMARYKEY", "EXTENDEDDATA"))


class Locations:
    """The file each LOCATION points to, for one read of a collection: where each VOLUME is mounted is
    decided once per volume, and each folder's path made once per folder."""

    def __init__(self, root: str = VOLUMES):
        self.root = root
        self._listed = os.path.isdir(root)
        self._mounts: Dict[str, str] = {}
        self._folders: Dict[Tuple[str, str], str] = {}

    def path(self, volume: str, folder: str, name: str) -> Optional[str]:
        """The file, or None when the LOCATION names none."""
        if not name:
            return None
        made = self._folders.get((volume, folder))
        if made is None:
            made = self._folders[(volume, folder)] = self._folder(volume, folder)
        return made + name

    def _folder(self, volume: str, folder: str) -> str:
        parts = [p for p in folder.split("/:") if p]
        if _DRIVE.match(volume):
            sep = os.sep if os.name == "nt" else "/"
            return volume + sep + "".join(p + sep for p in parts)
        return self._mount(volume) + "/" + "".join(p + "/" for p in parts)

    def _mount(self, volume: str) -> str:
        if volume not in self._mounts:
            mount = os.path.join(self.root, volume)
            # Where there is a volumes folder (macOS), every volume but the boot one, which is listed
            # there as a link to "/", lives under it; a drive not plugged in is simply not there yet.
            boot = not volume or not self._listed or os.path.realpath(mount) == os.path.realpath("/")
            self._mounts[volume] = "" if boot else mount
        return self._mounts[volume]


def _entry(entry: Dict[str, str], parts: Dict[str, Dict[str, str]],
           locations: Locations) -> Tuple[Optional[str], Optional[Track]]:
    """(primary key, track) of a collection ENTRY; both None when it names no file."""
    location = parts.get("LOCATION")
    if location is None:
        return None, None
    volume, folder, name = location.get("VOLUME") or "", location.get("DIR") or "", location.get("FILE") or ""
    path = locations.path(volume, folder, name)
    if path is None:
        return None, None
    tempo, key = parts.get("TEMPO"), parts.get("MUSICAL_KEY")
    track = Track(path=path, title=title_of(path, entry.get("TITLE")), artist=(entry.get("ARTIST") or "").strip(),
                  key=_KEYS.get(key.get("VALUE", ""), "") if key else "",
                  bpm=sane_bpm(tempo.get("BPM")) if tempo else 0.0)
    # History and playlist entries name a collection entry by VOLUME + DIR + FILE.
    return volume + folder + name, track


@dataclass
class Nml:
    """collection.nml, or a history file (a collection of its own, and one playlist of the plays)."""
    entries: Dict[str, Track] = field(default_factory=dict)  # by primary key
    playlists: Dict[str, List[str]] = field(default_factory=dict)  # name -> primary keys in order
    first_played: Optional[datetime.date] = None  # STARTDATE of the first playlist entry
    skipped: int = 0

    def add(self, entry: Dict[str, str], parts: Dict[str, Dict[str, str]], locations: Locations) -> None:
        key, track = _entry(entry, parts, locations)
        if key is None or track is None:
            self.skipped += 1
        else:
            self.entries[key] = track


class _NmlReader(XmlReader):
    """Reads an NML file: collection ENTRYs with the parts of them that matter (the album, info and cue
    points around those never reach Python, unless `in_full`), then the PRIMARYKEYs of each playlist
    NODE."""

    def __init__(self, locations: Optional[Locations], in_full: bool = False):
        self.nml = Nml()
        self.locations = locations
        self.in_full = in_full
        self.entry: Optional[Dict[str, str]] = None  # the collection ENTRY being read
        self.parts: Dict[str, Dict[str, str]] = {}
        self.playlist: Optional[List[str]] = None  # the playlist whose entries are being read
        self.in_collection = False

    def start(self, tag: str, attributes: Dict[str, str]) -> None:
        if tag in _ENTRY_PARTS:
            if self.entry is not None and tag not in self.parts:
                self.parts[tag] = attributes
                if len(self.parts) == len(_ENTRY_PARTS):
                    self.pass_over("ENTRY")
                elif tag == "LOCATION" and not self.in_full:
                    # Traktor writes ALBUM, MODIFICATION_INFO and INFO next, then TEMPO and MUSICAL_KEY.
                    self.pass_over("INFO", "ENTRY", needed=_AFTER_INFO)
            return
        if tag not in _STRUCTURE:
            return  # album, loudness...: passed over at once
        if tag in _ENTRY_ENDS:
            self.finish()
        if tag in _SECTIONS:
            self.in_collection = tag == "COLLECTION"
        elif tag == "ENTRY":
            if self.in_collection and self.locations is not None:
                self.entry, self.parts = attributes, {}
            elif self.in_collection:
                self.pass_over("ENTRY")
        elif tag == "PRIMARYKEY":
            if self.playlist is not None and attributes.get("KEY"):
                self.playlist.append(attributes["KEY"])
        elif tag == "EXTENDEDDATA":
            if self.nml.first_played is None:
                self.nml.first_played = start_date(attributes.get("STARTDATE"))
        elif tag == "NODE":
            name = attributes.get("NAME") or ""
            self.playlist = self.nml.playlists.setdefault(name, []) if attributes.get("TYPE") == "PLAYLIST" else None

    def finish(self) -> None:
        if self.entry is not None:
            self.nml.add(self.entry, self.parts, self.locations)
        self.entry = None


def read_nml(path: str, locations: Optional[Locations]) -> Nml:
    """collection.nml or a history file; without `locations` the entries of its collection are skipped (a
    session needs only the keys of its plays, which the main collection resolves)."""
    reader = _NmlReader(locations)
    reader.read(path)
    if reader.missed:  # its entries are laid out otherwise: read again, every element
        reader = _NmlReader(locations, in_full=True)
        reader.read(path)
    return reader.nml


def history_files(folder: str, names: Sequence[str]) -> List[Tuple[datetime.datetime, str]]:
    """The session files among a folder's names, oldest first, by the start time in their names."""
    found: List[Tuple[datetime.datetime, str]] = []
    for name in names:
        match = _HISTORY_FILE.match(name)
        try:
            found.append((datetime.datetime(*(int(g) for g in match.groups())), os.path.join(folder, name)))
        except (AttributeError, ValueError):  # another file, or no time
            continue
    return sorted(found)


def start_date(packed: object) -> Optional[datetime.date]:
    value = whole(packed)
    if value is None:
        return None
    try:
        return datetime.date(value >> 16, (value >> 8) & 0xFF, value & 0xFF)
    except (ValueError, OverflowError):  # no such day, or a year beyond any date
        return None


Session = Tuple[datetime.date, List[str]]  # day of its first play, primary keys in playing order


def read_session(started: datetime.datetime, path: str) -> Session:
    """A session file, its plays empty when it has none; raises Damage or one of READ_ERRORS when it is
    damaged. The file repeats the collection entries of the tracks it names, which collection.nml
    already has: only the part from its PLAYLISTS on is parsed (no "<" can stand inside an attribute, so
    the first one found starts it)."""
    with open_file(path) as f:
        data = f.read()
    reader = _NmlReader(None)
    at = data.find(b"<PLAYLISTS")
    reader.read_chunks([b"<NML>", data[at:]] if at >= 0 else [data])
    keys = [k for keys in reader.nml.playlists.values() for k in keys]
    return reader.nml.first_played or started.date(), keys


def places(home: str, env: Mapping[str, str], system: str) -> List[str]:
    """The "Traktor <version>" folders under Documents/Native Instruments, the newest version first."""
    if system not in ("darwin", "win32"):
        return []
    base = os.path.join(env.get("USERPROFILE") or home if system == "win32" else home, "Documents",
                        "Native Instruments")
    try:
        names = os.listdir(base)
    except OSError:
        return []
    versions = [(tuple(int(n) for n in m.group(1).split(".")), name)
                for name in names for m in [_VERSION_FOLDER.match(name)] if m]
    return [os.path.join(base, name) for _, name in sorted(versions, reverse=True)]


def probe(path: str, count: bool) -> Optional[Installation]:
    return installation((ID, NAME), path, os.path.join(path, COLLECTION), os.path.join(path, HISTORY), _is_history)


def open_source(path: str) -> "TraktorSource":
    return TraktorSource(path)


def _is_history(name: str) -> bool:
    return _HISTORY_FILE.match(name) is not None


class TraktorSource(FileSource):
    id = ID
    name = NAME
    label = NAME
    volumes_root = VOLUMES

    def __init__(self, path: str, **kwargs: Any):
        super().__init__(path, **kwargs)
        self._known: Dict[Any, Session] = {}  # session files read, by path and stat
        self._names: List[str] = []
        self._history: List[Tuple[datetime.datetime, str]] = []

    def parts(self) -> Sequence[Part]:
        collection = os.path.join(self.path, COLLECTION)
        history = os.path.join(self.path, HISTORY)
        return [Part("history", lambda: self._history_signature(history), lambda: self._sessions(history)),
                Part("library", lambda: stamp(collection), lambda: read_nml(collection, Locations(self.volumes_root)))]

    def _files(self, folder: str) -> List[Tuple[datetime.datetime, str]]:
        # Checked twice a second: the names are listed every time, read as dates only when they moved.
        try:
            names = os.listdir(folder)
        except OSError:
            names = []
        if names != self._names:
            self._names, self._history = names, history_files(folder, names)
        return self._history

    def _history_signature(self, folder: str) -> Any:
        # Traktor saves a session into its own file: only the newest can change, the others come or go.
        files = self._files(folder)
        return tuple(path for _, path in files), stamp(files[-1][1]) if files else None

    def _sessions(self, folder: str) -> List[Session]:
        """The sessions oldest first; a file read before and unchanged since is not read again, so a
        session saved tonight costs one file. A damaged file costs that session only: what was read of
        it before stays, else it counts as a session without plays (the newest one: nothing playing)."""
        found: Dict[Any, Session] = {}
        before = {path: session for (path, _), session in self._known.items()}
        for started, path in self._files(folder):
            key = (path, stamp(path))
            if key in self._known:
                found[key] = self._known[key]
                continue
            try:
                found[key] = read_session(started, path)
                self._told.pop(path, None)
            except (Damage,) + READ_ERRORS as error:
                found[key] = before.get(path) or (started.date(), [])
                self.tell(path, "%s: cannot read the session %s (%s); %s" % (
                    self.name, shown(os.path.basename(path)), error,
                    "keeping what was read of it before" if path in before else "no plays from it"))
        self._known = found
        return list(found.values())

    def crate(self, values: Mapping[str, Any]) -> Optional[Crate]:
        nml = values.get("library")
        if nml is None:
            return None
        return self.memo("crate", (nml,), lambda: Crate(
            list(nml.entries.values()), [(name, _paths(keys, nml)) for name, keys in nml.playlists.items()],
            nml.skipped))

    def sets(self, values: Mapping[str, Any]) -> Tuple[Sequence[PastSet], List[str]]:
        """Every session but the newest is a past set; the newest is tonight, its last play the track
        now playing (Traktor writes a session when it saves it, not as tracks play)."""
        nml, found = values.get("library") or Nml(), values.get("history") or []
        earlier = tuple(found[:-1])
        past = self.memo("past", (nml,) + earlier, lambda: [
            PastSet(date=day, plays=tuple(paths), name=NAME) for day, paths in (
                (day, _paths(keys, nml)) for day, keys in earlier) if paths])
        return past, _paths(found[-1][1], nml) if found else []


def _paths(keys: List[str], nml: Nml) -> List[str]:
    return [nml.entries[k].path for k in keys if k in nml.entries]
