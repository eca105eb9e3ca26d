"""VirtualDJ: the library from database.xml, past sets and tonight's set from the History folder's m3u
files, which VirtualDJ appends to as tracks play, so "now" is live.

The VirtualDJ home folder (`source_path`) holds:
  database.xml                 <VirtualDJ_Database><Song FilePath=...> with <Tags Author Title Key>,
                               <Infos PlayCount LastPlay FirstSeen> (Unix seconds) and <Scan Bpm Key>,
                               where Scan Bpm is seconds per beat (BPM = 60 / Bpm) and Key is musical
                               ("A#m"); lines end CR LF.
  History/YYYY-MM-DD.m3u       one file a day: "#EXTVDJ:<time>21:39</time><lastplaytime>...</lastplaytime>
                               <artist>...</artist><title>...</title>" then the file's path on the next
                               line; older days may be moved into History/YYYY/MM/.
  History/tracklist.txt        the same plays again as text: never read, so no play counts twice.
  Playlists/*.m3u              the DJ's playlists ("Requests", "Warm-up", ...), same entry format.
Sources for the formats, each field confirmed in two: the Mixxx wiki page "Virtual DJ cue storage format"
(a database.xml sample: Scan Bpm="0.507959", Key="A#"); the vdj-manager parser (akhilguliani/
music-library-manager: Bpm as a fraction of 60, LastPlay/FirstSeen Unix timestamps, CR LF); m3u
converters and scrobblers on GitHub that quote #EXTVDJ lines with <time>, <lastplaytime>, <filesize>,
<artist>, <title> and the path line after them.

Reading is pure (`read`, `read_library`, `parse_m3u`); `VirtualDJSource` adds the live poll.
"""
import datetime
import html
import os
import re
import time
from dataclasses import dataclass
from typing import Dict, Iterable, List, Optional, Tuple

from ..history import PastSet
from ..library import Track
from .dj_files import Damaged, Reading, bpm, camelot, is_file, local_date, number, scan_xml, title_of, whole

NAME = "VirtualDJ"
DATABASE = "database.xml"
HISTORY = "History"
PLAYLISTS = "Playlists"
_DAY_FILE = re.compile(r"^(\d{4})-(\d{2})-(\d{2})\.m3u$", re.IGNORECASE)
_TAG = re.compile(r"<(artist|title)>(.*?)</\1>", re.IGNORECASE | re.DOTALL)
# A set that runs past midnight stays in the file of the day it began while it is still being written.
PAST_MIDNIGHT = 6 * 3600
_SONG_PARTS = frozenset(("Tags", "Infos", "Scan"))


@dataclass(frozen=True)
class Entry:
    path: str
    artist: str = ""
    title: str = ""


@dataclass
class Library:
    tracks: List[Track]  # those whose files exist
    play_counts: Dict[str, int]
    last_played: Dict[str, datetime.date]
    skipped: int


def read_library(path: str) -> Library:
    library = Library([], {}, {}, 0)
    song: Optional[Dict[str, str]] = None
    parts: Dict[str, Dict[str, str]] = {}
    for tag, attributes in scan_xml(path):
        if tag in _SONG_PARTS:
            if song is not None:
                parts.setdefault(tag, attributes)
        elif tag == "Song":
            if song is not None:
                _add(library, song, parts)
            song, parts = attributes, {}
    if song is not None:
        _add(library, song, parts)
    return library


def _add(library: Library, song: Dict[str, str], parts: Dict[str, Dict[str, str]]) -> None:
    track = _song(song, parts)
    if track is None:
        library.skipped += 1
        return
    infos = parts.get("Infos", {})
    plays = whole(infos.get("PlayCount"))
    last = local_date(number(infos.get("LastPlay")))
    if plays:
        library.play_counts[track.path] = plays
    if last:
        library.last_played[track.path] = last
    if is_file(track.path):
        library.tracks.append(track)


def _song(song: Dict[str, str], parts: Dict[str, Dict[str, str]]) -> Optional[Track]:
    path = (song.get("FilePath") or "").strip()
    if not path or "://" in path:  # netsearch:// and other streams are not files a deck can load
        return None
    tags, scan = parts.get("Tags", {}), parts.get("Scan", {})
    seconds_per_beat = number(scan.get("Bpm"))
    tempo = bpm(60.0 / seconds_per_beat) if seconds_per_beat and seconds_per_beat > 0 else 0.0
    # A key the DJ typed in (Tags) wins over the analysed one, as in VirtualDJ's own browser.
    key = camelot(tags.get("Key")) or camelot(scan.get("Key"))
    return Track(path=path, title=title_of(path, tags.get("Title")), artist=(tags.get("Author") or "").strip(),
                 key=key, bpm=tempo)


def parse_m3u(data: bytes) -> List[Entry]:
    """The complete entries of an m3u as VirtualDJ writes it. Only lines that end in a line break count,
    so an entry still being written (cut anywhere, even inside a UTF-8 sequence) waits for the next read;
    a complete line that is not UTF-8 costs its own entry."""
    entries: List[Entry] = []
    artist = title = ""
    for raw in data.split(b"\n")[:-1]:  # the last piece has no line break yet
        try:
            line = raw.decode("utf-8").lstrip("\ufeff").strip()
        except UnicodeDecodeError:
            artist = title = ""
            continue
        if line.upper().startswith("#EXTVDJ:"):
            fields = {name.lower(): html.unescape(value).strip() for name, value in _TAG.findall(line)}
            artist, title = fields.get("artist", ""), fields.get("title", "")
        elif line and not line.startswith("#"):
            entries.append(Entry(path=line, artist=artist, title=title))
            artist = title = ""
    return entries


def day_files(history_dir: str) -> List[Tuple[datetime.date, str]]:
    """The history files by day, oldest first: History/*.m3u and History/YYYY/MM/*.m3u."""
    found: List[Tuple[datetime.date, str]] = []
    for folder in _history_folders(history_dir):
        try:
            names = os.listdir(folder)
        except OSError:
            continue
        for name in names:
            match = _DAY_FILE.match(name)
            if not match:
                continue
            try:
                day = datetime.date(*(int(g) for g in match.groups()))
            except ValueError:
                continue
            found.append((day, os.path.join(folder, name)))
    return sorted(found)


def _history_folders(history_dir: str) -> Iterable[str]:
    yield history_dir
    for year in _subfolders(history_dir, 4):
        yield from _subfolders(year, 2)


def _subfolders(folder: str, digits: int) -> List[str]:
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    return [os.path.join(folder, n) for n in sorted(names) if len(n) == digits and n.isdigit()]


def tonight_file(days: List[Tuple[datetime.date, str]], now: float) -> Optional[str]:
    """Today's history file; or yesterday's while it is still being written (a set past midnight)."""
    if not days:
        return None
    day, path = days[-1]
    today = datetime.date.fromtimestamp(now)
    if day == today:
        return path
    if day == today - datetime.timedelta(days=1):
        try:
            if now - os.path.getmtime(path) < PAST_MIDNIGHT:
                return path
        except OSError:
            return None
    return None


def read_entries(path: str) -> List[Entry]:
    try:
        with open(path, "rb") as f:
            return parse_m3u(f.read())
    except OSError:
        return []


def read_playlists(folder: str) -> Dict[str, List[str]]:
    playlists: Dict[str, List[str]] = {}
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return playlists
    for name in names:
        if name.lower().endswith(".m3u"):
            playlists[name[:-4]] = [e.path for e in read_entries(os.path.join(folder, name))]
    return playlists


def read(home: str, now: Optional[float] = None) -> Reading:
    """Everything VirtualDJ keeps in the home folder, as of `now` (Unix seconds, default the clock)."""
    now = time.time() if now is None else now
    database = os.path.join(home, DATABASE)
    if not os.path.isfile(database):
        raise Damaged("%s is missing" % database)
    library = read_library(database)
    days = day_files(os.path.join(home, HISTORY))
    current = tonight_file(days, now)
    past = [PastSet(date=day, plays=tuple(e.path for e in read_entries(path)), name=NAME)
            for day, path in days if path != current]
    tonight = read_entries(current) if current else []
    listed = {t.path for t in library.tracks}
    known = {e.path: Track(path=e.path, title=title_of(e.path, e.title), artist=e.artist)
             for e in tonight if e.path not in listed}
    return Reading(tracks=library.tracks, past_sets=[p for p in past if p.plays], tonight=[e.path for e in tonight],
                   playlists=read_playlists(os.path.join(home, PLAYLISTS)), play_counts=library.play_counts,
                   last_played=library.last_played, known=known, skipped=library.skipped)

