"""VirtualDJ: the library from database.xml, past sets and tonight's set from the History folder's m3u
files, which VirtualDJ appends to as tracks play, so "now" is live.

The VirtualDJ home folder (`source_path`; macOS ~/Library/Application Support/VirtualDJ, before that
~/Documents/VirtualDJ; Windows Documents\\VirtualDJ) holds:
  database.xml             <VirtualDJ_Database><Song FilePath> with <Tags Author Title Key>, <Infos
                           PlayCount LastPlay> and <Scan Bpm Key>, where Scan Bpm is seconds per beat
                           (BPM = 60 / Bpm; AltBpm is only a second guess) and Key is musical ("A#m").
                           A key typed into Tags wins over the analysed one, as in VirtualDJ's browser.
  History/YYYY-MM-DD.m3u   one file a day, appended as tracks play: "#EXTVDJ:<time>21:39</time>
                           <lastplaytime>...</lastplaytime><artist>...</artist><title>...</title>", then
                           the file's path on a line of its own; older days may be moved into
                           History/YYYY/MM/. The newest file is tonight while VirtualDJ wrote to it in
                           the last hours (see base.TONIGHT_HOURS), else it is one more past set.
  History/tracklist.txt    the same plays again as text: never read, so no play counts twice.
  Playlists/*.m3u          the DJ's playlists ("Requests", "Warm-up", ...), entries as above.
Sources, each field confirmed in two: the Mixxx wiki page "Virtual DJ cue storage format" (a
database.xml sample with Scan Bpm="0.507959", Key="A#") and the vdj-manager parser (akhilguliani/
music-library-manager: Bpm as seconds per beat, Unix times, CR LF line ends, the macOS home in
Library/Application Support with Documents/VirtualDJ as the older one); VirtualDJ's own wiki (mapper
files in Documents/VirtualDJ on both systems); m3u converters and scrobblers on GitHub quoting #EXTVDJ
lines with <time>, <lastplaytime>, <filesize>, <artist>, <title> and the path line after them.
"""
import datetime
import os
import re
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ..history import PastSet
from ..library import Track
from . import Installation
from .base import Part, camelot_text, is_tonight, mtime, number, open_file, sane_bpm, stamp
from .dj_files import Crate, FileSource, XmlReader, installation, listing, title_of

ID = "virtualdj"
NAME = "VirtualDJ"
DATABASE = "database.xml"
HISTORY = "History"
PLAYLISTS = "Playlists"
_DAY_FILE = re.compile(r"^(\d{4})-(\d{2})-(\d{2})\.m3u$", re.IGNORECASE)
_SONG_PARTS = frozenset(("Tags", "Scan"))


def places(home: str, env: Mapping[str, str], system: str) -> List[str]:
    if system == "darwin":
        return [os.path.join(home, "Library", "Application Support", "VirtualDJ"),
                os.path.join(home, "Documents", "VirtualDJ")]
    if system == "win32":
        return [os.path.join(env.get("USERPROFILE") or home, "Documents", "VirtualDJ")]
    return []


def probe(path: str, count: bool) -> Optional[Installation]:
    # Today's file sits at the top of History; only older days are moved into History/YYYY/MM.
    return installation((ID, NAME), path, os.path.join(path, DATABASE), os.path.join(path, HISTORY), _is_day)


def open_source(path: str) -> "VirtualDJSource":
    return VirtualDJSource(path)


class _Songs(XmlReader):
    """Reads database.xml: a Song, then the parts of it that matter; its cue and grid points after them
    (most of the file) never reach Python."""

    def __init__(self) -> None:
        self.crate = Crate()
        self.song: Optional[Mapping[str, str]] = None
        self.parts: Dict[str, Mapping[str, str]] = {}

    def start(self, tag: str, attributes: Dict[str, str]) -> None:
        if tag in _SONG_PARTS:
            if self.song is not None and tag not in self.parts:
                self.parts[tag] = attributes
                if len(self.parts) == len(_SONG_PARTS):
                    self.pass_over("Song")
        elif tag == "Song":
            self.finish()
            self.song, self.parts = attributes, {}

    def finish(self) -> None:
        if self.song is not None:
            _add(self.crate, self.song, self.parts)
        self.song = None


def read_library(path: str) -> Crate:
    songs = _Songs()
    songs.read(path)
    return songs.crate


_NO_PART: Mapping[str, str] = {}


def _add(crate: Crate, song: Mapping[str, str], parts: Mapping[str, Mapping[str, str]]) -> None:
    path = (song.get("FilePath") or "").strip()
    if not path or "://" in path:  # netsearch:// and other streams are not files a deck can load
        crate.skipped += 1
        return
    tags, scan = parts.get("Tags", _NO_PART), parts.get("Scan", _NO_PART)
    seconds_per_beat = number(scan.get("Bpm"))
    crate.tracks.append(Track(
        path=path, title=title_of(path, tags.get("Title")), artist=(tags.get("Author") or "").strip(),
        key=camelot_text(tags.get("Key")) or camelot_text(scan.get("Key")),
        bpm=sane_bpm(60.0 / seconds_per_beat) if seconds_per_beat and seconds_per_beat > 0 else 0.0))


def parse_m3u(data: bytes) -> List[str]:
    """The paths of the complete entries of an m3u as VirtualDJ writes it. Only a line that ends in a
    line break counts, so an entry still being written (cut anywhere, even inside a UTF-8 sequence)
    waits for the next read; a complete line that is not UTF-8 costs its own entry."""
    paths = []
    for raw in data.split(b"\n")[:-1]:  # the last piece has no line break yet
        try:
            line = raw.decode("utf-8").lstrip("\ufeff").strip()
        except UnicodeDecodeError:
            continue
        if line and not line.startswith("#"):
            paths.append(line)
    return paths


def read_m3u(path: str) -> List[str]:
    with open_file(path) as f:
        return parse_m3u(f.read())


def _is_day(name: str) -> bool:
    return _DAY_FILE.match(name) is not None


def day_files(listed: Sequence[Tuple[str, Sequence[str]]]) -> List[Tuple[datetime.date, str]]:
    """(day, path) of the history files among (folder, names) listings, oldest first."""
    found = []
    for folder, names in listed:
        for name in names:
            match = _DAY_FILE.match(name)
            try:
                found.append((datetime.date(*map(int, match.groups())), os.path.join(folder, name)))
            except (AttributeError, ValueError):  # not a day file, or not a day
                continue
    return sorted(found)


def history_listing(history: str) -> Tuple[Tuple[str, Tuple[str, ...]], ...]:
    """The names in History and in its History/YYYY/MM folders, where older days may be moved."""
    listed = []
    for folder in [history] + [m for y in _subfolders(history, 4) for m in _subfolders(y, 2)]:
        try:
            listed.append((folder, tuple(sorted(os.listdir(folder)))))
        except OSError:
            continue
    return tuple(listed)


def _subfolders(folder: str, digits: int) -> List[str]:
    try:
        return [e.path for e in os.scandir(folder) if len(e.name) == digits and e.name.isdigit() and e.is_dir()]
    except OSError:
        return []


class VirtualDJSource(FileSource):
    id = ID
    name = NAME
    label = NAME

    def __init__(self, path: str, **kwargs: Any):
        super().__init__(path, **kwargs)
        self._listed: Any = None
        self._day_list: List[Tuple[datetime.date, str]] = []

    def parts(self) -> Sequence[Part]:
        database = os.path.join(self.path, DATABASE)
        playlists = os.path.join(self.path, PLAYLISTS)
        # Tonight first: a track just played is served before anything larger is read again.
        return [Part("tonight", self._tonight_signature, self._tonight),
                Part("history", self._past_signature, self._past),
                Part("playlists", lambda: listing(playlists, self._is_m3u), lambda: self._playlists(playlists)),
                Part("library", lambda: stamp(database), lambda: read_library(database))]

    @staticmethod
    def _is_m3u(name: str) -> bool:
        return name.lower().endswith(".m3u")

    def _playlists(self, folder: str) -> List[Tuple[str, List[str]]]:
        return [(name[:-4], read_m3u(os.path.join(folder, name))) for name, _, _ in listing(folder, self._is_m3u)]

    def _days(self) -> List[Tuple[datetime.date, str]]:
        # Checked twice a second: the names are listed every time, made into days only when they moved.
        listed = history_listing(os.path.join(self.path, HISTORY))
        if listed != self._listed:
            self._listed, self._day_list = listed, day_files(listed)
        return self._day_list

    # Only the newest day is written to; a past day's file is new, moved or gone, never rewritten.
    def _past_signature(self) -> Any:
        return tuple(path for _, path in self._days()[:-1])

    def _past(self) -> List[PastSet]:
        sets = [PastSet(date=day, plays=tuple(read_m3u(path)), name=NAME) for day, path in self._days()[:-1]]
        return [s for s in sets if s.plays]

    def _tonight_signature(self) -> Any:
        return [(path, stamp(path), is_tonight(mtime(path))) for _, path in self._days()[-1:]]

    def _tonight(self) -> List[Tuple[datetime.date, List[str], bool]]:
        return [(day, read_m3u(path), is_tonight(mtime(path))) for day, path in self._days()[-1:]]

    def crate(self, values: Mapping[str, Any]) -> Optional[Crate]:
        crate = values.get("library")
        if crate is None:
            return None
        return self.memo("crate", (crate, values.get("playlists")),
                         lambda: Crate(crate.tracks, values.get("playlists") or [], crate.skipped))

    def sets(self, values: Mapping[str, Any]) -> Tuple[Sequence[PastSet], List[str]]:
        past = values.get("history") or []
        newest = values.get("tonight") or []
        if newest and newest[0][2]:
            return past, newest[0][1]
        # The newest day is over: it is one more past set, and nothing is playing.
        return self.memo("ended", (past, newest), lambda: list(past) + [
            PastSet(date=day, plays=tuple(plays), name=NAME) for day, plays, _ in newest if plays]), []
