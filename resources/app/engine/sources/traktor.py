"""Traktor: the library and playlists from collection.nml, past sets from the History folder.

The Traktor root folder (`source_path`, the newest "Traktor <version>" folder) holds:
  collection.nml    <NML><COLLECTION><ENTRY TITLE ARTIST> with <LOCATION VOLUME DIR FILE>, <TEMPO BPM>,
                    <MUSICAL_KEY VALUE> (0-11 C ... B major, 12-23 C ... B minor; the free-text INFO KEY
                    is not used), <INFO PLAYCOUNT IMPORT_DATE="YYYY/M/D">; and <PLAYLISTS> of NODEs
                    whose PLAYLIST ENTRYs name tracks by <PRIMARYKEY KEY>.
  History/history_YYYYyMMmDDd_HHhMMmSSs.nml
                    one file per session, written when Traktor saves it (not while a track plays):
                    PLAYLIST ENTRYs in playing order, each <PRIMARYKEY KEY> (VOLUME + DIR + FILE of the
                    collection entry) and <EXTENDEDDATA STARTDATE> (year << 16 | month << 8 | day); the
                    file carries its own COLLECTION of the tracks it names.
DIR separates folders with "/:". On Windows VOLUME is a drive ("C:") that prefixes the path; on macOS a
named volume is mounted under /Volumes, except the boot volume (listed there as a link to "/"), whose
paths start at "/".
"Now playing" is the last entry of the newest history file: Traktor does not record plays on disk live.
Sources, each field confirmed in two: traktor-nml-utils (wolkenarchitekt) test fixtures, whose entries
give both MUSICAL_KEY VALUE and Traktor's own Open Key text (VALUE 12 with "10m", 22 with "8m", 11 with
"6d", 0 with "1d") and a history file with PRIMARYKEY "Transcend/:DJing/:...mp3" and STARTDATE 132319762
(2019-10-18); dj-data-converter (digital-dj-tools), whose location mapping puts a drive-letter VOLUME
before the path and leaves a named one out.

Reading is pure (`read` and the functions below it); `TraktorSource` re-reads what changed.
"""
import datetime
import os
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from ..history import PastSet
from ..library import Track
from .dj_files import Damaged, Reading, bpm, camelot_of_pitch, is_file, number, scan_xml, slash_date, title_of, whole

NAME = "Traktor"
COLLECTION = "collection.nml"
HISTORY = "History"
VOLUMES = "/Volumes"
_HISTORY_FILE = re.compile(r"^history_(\d{4})y(\d{1,2})m(\d{1,2})d_(\d{1,2})h(\d{1,2})m(\d{1,2})s\.nml$")
_DRIVE = re.compile(r"^[A-Za-z]:$")
_VERSION_FOLDER = re.compile(r"^Traktor (\d+(?:\.\d+)*)$")
# MUSICAL_KEY VALUE: 0-11 the major keys from C up, 12-23 the minor ones.
_KEYS = [camelot_of_pitch(value % 12, value >= 12) for value in range(24)]
_ENTRY_PARTS = frozenset(("LOCATION", "TEMPO", "MUSICAL_KEY", "INFO"))
# A collection ENTRY is complete when the next ENTRY or anything after the collection begins.
_ENTRY_ENDS = frozenset(("ENTRY", "COLLECTION", "SETS", "PLAYLISTS", "INDEXING", "SORTING_ORDER", "NODE"))
_SECTIONS = frozenset(("COLLECTION", "SETS", "PLAYLISTS", "INDEXING", "SORTING_ORDER"))


def primary_key(location) -> str:
    """How history and playlist entries name a collection entry: VOLUME + DIR + FILE."""
    return (location.get("VOLUME") or "") + (location.get("DIR") or "") + (location.get("FILE") or "")


class Volumes:
    """Where each VOLUME of a LOCATION is mounted, decided once per volume name per read."""

    def __init__(self, root: str = VOLUMES):
        self.root = root
        self._listed = os.path.isdir(root)
        self._prefix: Dict[str, str] = {}

    def prefix(self, volume: str) -> str:
        if volume not in self._prefix:
            mount = os.path.join(self.root, volume)
            # Where there is a volumes folder (macOS), every volume but the boot one, which is listed
            # there as a link to "/", lives under it; a drive not plugged in is simply not there yet.
            boot = not volume or not self._listed or os.path.realpath(mount) == os.path.realpath("/")
            self._prefix[volume] = "" if boot else mount
        return self._prefix[volume]


def location_path(volume: str, folder: str, name: str, volumes: Volumes) -> Optional[str]:
    """The file a LOCATION points to, or None when it names no file."""
    if not name:
        return None
    parts = [p for p in folder.split("/:") if p] + [name]
    if _DRIVE.match(volume):
        return volume + os.sep + os.sep.join(parts) if os.name == "nt" else volume + "/" + "/".join(parts)
    return volumes.prefix(volume) + "/" + "/".join(parts)


def _entry(entry: Dict[str, str], parts: Dict[str, Dict[str, str]], volumes: Volumes) -> Tuple[Optional[str],
                                                                                                Optional[Track]]:
    """(primary key, track) of a collection ENTRY; both None when it names no file."""
    location = parts.get("LOCATION")
    if location is None:
        return None, None
    path = location_path(location.get("VOLUME") or "", location.get("DIR") or "", location.get("FILE") or "",
                         volumes)
    if path is None:
        return None, None
    value = whole(parts.get("MUSICAL_KEY", {}).get("VALUE"))
    track = Track(path=path, title=title_of(path, entry.get("TITLE")), artist=(entry.get("ARTIST") or "").strip(),
                  key=_KEYS[value] if value is not None and value < 24 else "",
                  bpm=bpm(number(parts.get("TEMPO", {}).get("BPM"))))
    return primary_key(location), track


@dataclass
class Nml:
    """collection.nml, or a history file (a collection of its own, and one playlist of the plays)."""
    entries: Dict[str, Track] = field(default_factory=dict)  # by primary key
    playlists: Dict[str, List[str]] = field(default_factory=dict)  # name -> primary keys in order
    first_played: Optional[datetime.date] = None  # STARTDATE of the first playlist entry
    play_counts: Dict[str, int] = field(default_factory=dict)
    last_played: Dict[str, datetime.date] = field(default_factory=dict)
    skipped: int = 0

    def add(self, entry: Dict[str, str], parts: Dict[str, Dict[str, str]], volumes: Volumes) -> None:
        key, track = _entry(entry, parts, volumes)
        if key is None or track is None:
            self.skipped += 1
            return
        self.entries[key] = track
        info = parts.get("INFO", {})
        plays, last = whole(info.get("PLAYCOUNT")), slash_date(info.get("LAST_PLAYED"))
        if plays:
            self.play_counts[track.path] = plays
        if last:
            self.last_played[track.path] = last


def read_nml(path: str, volumes: Volumes, with_collection: bool = True) -> Nml:
    """collection.nml or a history file; `with_collection` False skips the entries of its collection
    (a past session needs only the keys of its plays, which the main collection resolves)."""
    nml = Nml()
    entry: Optional[Dict[str, str]] = None  # the collection ENTRY being read
    parts: Dict[str, Dict[str, str]] = {}
    playlist: Optional[List[str]] = None  # the playlist whose entries are being read
    in_collection = False
    for tag, attributes in scan_xml(path):
        if tag in _ENTRY_PARTS:
            if entry is not None:
                parts.setdefault(tag, attributes)
            continue
        if entry is not None and tag in _ENTRY_ENDS:
            nml.add(entry, parts, volumes)
            entry = None
        if tag == "ENTRY":
            entry, parts = (attributes, {}) if in_collection and with_collection else (None, {})
        elif tag == "PRIMARYKEY":
            if playlist is not None and attributes.get("KEY"):
                playlist.append(attributes["KEY"])
        elif tag == "EXTENDEDDATA":
            if nml.first_played is None:
                nml.first_played = start_date(attributes.get("STARTDATE"))
        elif tag == "NODE":
            playlist = nml.playlists.setdefault(attributes.get("NAME") or "", []) \
                if attributes.get("TYPE") == "PLAYLIST" else None
        elif tag in _SECTIONS:
            in_collection = tag == "COLLECTION"
    if entry is not None:
        nml.add(entry, parts, volumes)
    return nml


def history_files(folder: str) -> List[Tuple[datetime.datetime, str]]:
    """The session files, oldest first, by the start time in their names."""
    found: List[Tuple[datetime.datetime, str]] = []
    try:
        names = os.listdir(folder)
    except OSError:
        return found
    for name in names:
        match = _HISTORY_FILE.match(name)
        if not match:
            continue
        try:
            found.append((datetime.datetime(*(int(g) for g in match.groups())), os.path.join(folder, name)))
        except ValueError:
            continue
    return sorted(found)


def start_date(packed: object) -> Optional[datetime.date]:
    value = whole(packed)
    if value is None:
        return None
    try:
        return datetime.date(value >> 16, (value >> 8) & 0xFF, value & 0xFF)
    except ValueError:
        return None


def read(root: str, volumes_root: str = VOLUMES) -> Reading:
    collection = os.path.join(root, COLLECTION)
    if not os.path.isfile(collection):
        raise Damaged("%s is missing" % collection)
    volumes = Volumes(volumes_root)
    main = read_nml(collection, volumes)
    entries, skipped = main.entries, main.skipped
    sessions: List[Tuple[datetime.date, List[str]]] = []
    known: Dict[str, Track] = {}
    files = history_files(os.path.join(root, HISTORY))
    for n, (started, path) in enumerate(files):
        try:
            # The newest file's own collection names what is playing when the main one lacks it.
            session = read_nml(path, volumes, with_collection=n == len(files) - 1)
        except Damaged:
            skipped += 1  # one unreadable session costs that session only
            continue
        plays = [_path_of(k, entries, session.entries) for keys in session.playlists.values() for k in keys]
        for track in session.entries.values():
            known.setdefault(track.path, track)
        sessions.append((session.first_played or started.date(), [p for p in plays if p]))
    sessions = [s for s in sessions if s[1]]
    tonight = sessions.pop()[1] if sessions else []
    listed = {t.path for t in entries.values()}
    return Reading(
        tracks=[t for t in entries.values() if is_file(t.path)],
        past_sets=[PastSet(date=day, plays=tuple(paths), name=NAME) for day, paths in sessions],
        tonight=tonight,
        playlists={name: [p for p in (_path_of(k, entries, {}) for k in keys) if p]
                   for name, keys in main.playlists.items()},
        play_counts=main.play_counts,
        last_played=main.last_played,
        known={p: t for p, t in known.items() if p in tonight and p not in listed},
        skipped=skipped)


def _path_of(key: str, entries: Dict[str, Track], own: Dict[str, Track]) -> Optional[str]:
    track = entries.get(key) or own.get(key)
    return track.path if track else None


def newest_root(documents: str) -> Optional[str]:
    """The newest "Traktor <version>" folder with a collection under Documents/Native Instruments."""
    base = os.path.join(documents, "Native Instruments")
    try:
        names = os.listdir(base)
    except OSError:
        return None
    versions = []
    for name in names:
        match = _VERSION_FOLDER.match(name)
        if match and os.path.isfile(os.path.join(base, name, COLLECTION)):
            versions.append((tuple(int(n) for n in match.group(1).split(".")), name))
    return os.path.join(base, max(versions)[1]) if versions else None
