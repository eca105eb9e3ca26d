"""The library model: the tracks a DJ can play, as a source reads them.

A track is identified by the path of its audio file, which is also what a pick hands to the deck.
"""
from dataclasses import dataclass
from typing import Dict, Iterable, Iterator, List, Optional

from .keys import Camelot, parse_key


@dataclass(frozen=True)
class Track:
    path: str
    title: str
    artist: str = ""
    key: str = ""  # as the library writes it; shown unchanged
    bpm: float = 0.0
    category: Optional[str] = None  # the moment the track belongs to ("warmup", "peak", ...)

    @property
    def display_title(self) -> str:
        return "%s — %s" % (self.artist, self.title) if self.artist else self.title

    @property
    def camelot(self) -> Optional[Camelot]:
        return parse_key(self.key)

    @property
    def whole_bpm(self) -> int:
        # The feed carries whole beats per minute; the panel shows nothing finer.
        return int(round(self.bpm)) if self.bpm and self.bpm > 0 else 0


class Library:
    """Tracks in the order the source lists them; the first entry wins when a path repeats."""

    def __init__(self, tracks: Iterable[Track] = ()):
        self._tracks: List[Track] = []
        self._by_path: Dict[str, Track] = {}
        for track in tracks:
            if track.path not in self._by_path:
                self._by_path[track.path] = track
                self._tracks.append(track)

    def __iter__(self) -> Iterator[Track]:
        return iter(self._tracks)

    def __len__(self) -> int:
        return len(self._tracks)

    def __contains__(self, path: object) -> bool:
        return path in self._by_path

    def get(self, path: str) -> Optional[Track]:
        return self._by_path.get(path)
