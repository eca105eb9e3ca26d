"""The ranking: what to play next, computed from the library, the play history and the requests.

A pure function of its inputs (`rank`), so that every rule can be checked on a small hand-made library
and a source never has to know how picks are chosen. The rules:

- proven: how often, across past sets, a track was played right after the track now playing;
- harmonic: same key, one step round the Camelot wheel in the same mode, or the relative major/minor;
- tempo fit: within 6 % at the same, half or double time;
- fresh: "never" played out, "overplayed" (in most of the recent sets), else "rested" or, after
  LONG_REST_DAYS, "rested_long", with the days since the last play;
- rut: the share of tonight's set that is overplayed, that is, what the DJ plays every gig anyway.

"next" orders proven sequences first, then requests that fit now, then harmonic and tempo fit, then
freshness, then the closer tempo; requests are always listed. "fresh" holds the never-played and
long-rested tracks whose tempo fits, in-key ones first. "bangers" are the tracks played in the most sets.
A pick's moment ("cat") is the track's category, which sources take from playlists or crates named for
a moment; a library without any has no moments. A track whose file is gone is never a pick.

Cost: each list is filled by walking the library index outwards from the playing track's tempo, in its
harmonic keys or in all keys, and stops once it holds enough of the best freshness; no step looks at
every track, so a 100,000-track library ranks in milliseconds. Counts over the past sets are made once
per past (history.PastStats).
"""
import datetime
from dataclasses import dataclass, field, replace
from typing import Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

from .history import History
from .keys import is_harmonic, neighbours
from .library import Library, Track, by_tempo
from .tempo import TOLERANCE, tempo_fits, tempo_ratio

RECENT_SETS = 5
LONG_REST_DAYS = 180
NEXT_LIMIT = 30
FRESH_LIMIT = 8
BANGER_LIMIT = 12

NEVER = "never"
OVERPLAYED = "overplayed"
RESTED = "rested"
RESTED_LONG = "rested_long"

# The moments of a night, in the order the panel cycles through them.
MOMENTS: Tuple[Tuple[str, str], ...] = (
    ("warmup", "Warm-up"),
    ("build", "Build"),
    ("peak", "Peak"),
    ("closing", "Closing"),
)


@dataclass
class Pick:
    track: Track
    proven: int = 0
    harmonic: bool = False
    tempo_fit: bool = False
    tempo_off: Optional[float] = None  # relative tempo change needed, None when a tempo is unknown
    fresh: str = NEVER
    rest: Optional[int] = None  # days since last played out
    cat: Optional[str] = None
    prep: bool = False
    fitnow: bool = False
    reason: str = ""

    @property
    def fits_now(self) -> bool:
        return self.harmonic and self.tempo_fit


@dataclass
class Ranking:
    ok: bool = False
    now: Optional[Track] = None
    played: int = 0
    rut: float = 0.0
    cats: List[Tuple[str, str]] = field(default_factory=list)
    next: List[Pick] = field(default_factory=list)
    fresh: List[Pick] = field(default_factory=list)
    bangers: List[Pick] = field(default_factory=list)


def freshness(last: Optional[datetime.date], recent_sets: int, recent_count: int,
              today: datetime.date) -> Tuple[str, Optional[int]]:
    """The freshness state and rest days of a track last played on `last` (None: never), played in
    `recent_sets` of the `recent_count` most recent sets."""
    if last is None:
        return NEVER, None
    rest = max(0, (today - last).days)
    if recent_count > 0 and recent_sets * 2 > recent_count:
        return OVERPLAYED, rest
    return (RESTED_LONG if rest >= LONG_REST_DAYS else RESTED), rest


def _moments(categories: Sequence[Optional[str]]) -> List[Tuple[str, str]]:
    present = [c for c in categories if c]
    known = [(cid, label) for cid, label in MOMENTS if cid in present]
    others: List[Tuple[str, str]] = []
    for c in present:
        if c not in dict(MOMENTS) and c not in dict(others):
            others.append((c, c.replace("_", " ").capitalize()))
    return known + others


def _rest_words(rest: int) -> str:
    months = max(1, rest // 30)
    return "rested %d mo" % months if months < 12 else "rested %d y" % (months // 12)


def _fresh_reason(pick: Pick) -> str:
    age = "never played" if pick.fresh == NEVER else _rest_words(pick.rest or 0)
    return age + (" · in key" if pick.harmonic else " · tempo fits")


def _always(path: str) -> bool:
    return True


def _fit_level(p: Pick) -> int:
    return 3 if p.fits_now else 2 if p.tempo_fit else 1 if p.harmonic else 0


def _fresh_level(p: Pick) -> int:
    return 2 if p.fresh in (NEVER, RESTED_LONG) else 1 if p.fresh == RESTED else 0


def _off(p: Pick) -> float:
    return p.tempo_off if p.tempo_off is not None else 1.0


def _next_order(p: Pick):
    return (-p.proven, -int(p.fitnow), -_fit_level(p), -_fresh_level(p), _off(p))


def _best(picks: Iterable[Pick], level: Callable[[Pick], int], top: int, limit: int,
          exists: Callable[[str], bool]) -> List[Pick]:
    """Up to `limit` picks of a stream already in tempo order, re-ordered by descending level. The walk
    stops as soon as `limit` picks of the top level are found: nothing later can pass them."""
    levels: Dict[int, List[Pick]] = {}
    for pick in picks:
        lv = level(pick)
        if lv == top and not exists(pick.track.path):
            continue
        levels.setdefault(lv, []).append(pick)
        if lv == top and len(levels[top]) >= limit:
            break
    chosen: List[Pick] = []
    for lv in sorted(levels, reverse=True):
        for pick in levels[lv]:
            if len(chosen) >= limit:
                return chosen
            if lv == top or exists(pick.track.path):
                chosen.append(pick)
    return chosen


class _Ranker:
    """One ranking: the playing track, what is done tonight, and how to make a pick of any track."""

    def __init__(self, library: Library, history: History, requests: Sequence[str], today: datetime.date,
                 exists: Callable[[str], bool]):
        self.library, self.history, self.today, self.exists = library, history, today, exists
        self.index = library.index
        self.stats = history.stats
        self.recent = history.recent(RECENT_SETS)
        self.recent_counts = history.set_counts(self.recent)
        now_path = history.now or ""
        self.now = library.get(now_path) or Track(path=now_path, title=now_path.rsplit("/", 1)[-1])
        self.done: Set[str] = set(history.tonight)
        self.followers = self.stats.followers.get(now_path, {})
        self.wanted = [p for p in dict.fromkeys(requests) if p in library and p not in self.done]
        self.near = neighbours(self.now.camelot)

    def fresh_of(self, path: str) -> Tuple[str, Optional[int]]:
        return freshness(self.stats.last_played.get(path), self.recent_counts.get(path, 0), len(self.recent),
                         self.today)

    def pick(self, track: Track) -> Pick:
        state, rest = self.fresh_of(track.path)
        pick = Pick(track=track, proven=self.followers.get(track.path, 0),
                    harmonic=is_harmonic(self.now.camelot, track.camelot),
                    tempo_fit=tempo_fits(self.now.bpm, track.bpm), tempo_off=tempo_ratio(self.now.bpm, track.bpm),
                    fresh=state, rest=rest, cat=track.category, prep=track.path in self.wanted)
        pick.fitnow = pick.prep and pick.fits_now
        return pick

    def walk(self, harmonic: bool, fitting: bool) -> Iterator[Pick]:
        """Picks not done tonight in tempo order: in the harmonic keys or in the others; those whose tempo
        fits (the walk ends past the tolerance) or those whose tempo does not."""
        if harmonic:
            lists = [self.index.key_tempo[k] for k in self.near if k in self.index.key_tempo]
        else:
            lists = [self.index.tempo]
        near = set(self.near)
        for off, position in by_tempo(lists, self.now.bpm):
            if fitting and off > TOLERANCE + 1e-6:
                return
            track = self.library[position]
            if track.path in self.done or tempo_fits(self.now.bpm, track.bpm) != fitting:
                continue
            if harmonic or self.index.keys[position] not in near:
                yield self.pick(track)

    def next(self) -> List[Pick]:
        followers = sorted((p for p in self.followers if p in self.library), key=self.index.position.get)
        proven = [self.pick(self.library.get(p)) for p in followers if p not in self.done and self.exists(p)]
        # In library order, so that equal requests keep the order of the library as every list does.
        requests = [self.pick(self.library.get(p)) for p in sorted(self.wanted, key=self.index.position.get)
                    if self.exists(p)]
        chosen = sorted(proven, key=_next_order)
        chosen += sorted((p for p in requests if p.fitnow and not p.proven), key=_next_order)
        tiers = ((True, True), (False, True), (True, False))  # fit 3, tempo only (2), key only (1)
        for harmonic, fitting in tiers:
            if len(chosen) >= NEXT_LIMIT:
                break
            listed = {p.track.path for p in chosen}
            stream = (p for p in self.walk(harmonic, fitting) if p.track.path not in listed and not p.proven)
            chosen += _best(stream, _fresh_level, 2, NEXT_LIMIT - len(chosen), self.exists)
        listed = {p.track.path for p in chosen}
        chosen += sorted((p for p in requests if p.track.path not in listed and not _fit_level(p)), key=_next_order)
        top = chosen[:NEXT_LIMIT]
        listed = {p.track.path for p in top}
        # A request the DJ lined up stays on the list however far down it ranks.
        return top + sorted((p for p in requests if p.track.path not in listed), key=_next_order)

    def fresh(self) -> List[Pick]:
        def level(p: Pick) -> int:
            return 1 if p.fresh == NEVER else 0

        chosen: List[Pick] = []
        for harmonic in (True, False):
            stream = (p for p in self.walk(harmonic, True) if p.fresh in (NEVER, RESTED_LONG))
            chosen += _best(stream, level, 1, FRESH_LIMIT - len(chosen), self.exists)
        return [replace(p, reason=_fresh_reason(p)) for p in chosen[:FRESH_LIMIT]]

    def bangers(self) -> List[Pick]:
        chosen: List[Pick] = []
        for count, paths in self.stats.by_count:
            group = [self.pick(self.library.get(p)) for p in paths if p in self.library and p not in self.done]
            group.sort(key=lambda p: (-int(p.tempo_fit), -int(p.harmonic), self.index.position[p.track.path]))
            # In the rescue list the count is how many sets the track was in, not a sequence count.
            kept = [replace(p, proven=count) for p in group if self.exists(p.track.path)]
            chosen += kept[:BANGER_LIMIT - len(chosen)]
            if len(chosen) >= BANGER_LIMIT:
                break
        return chosen


def rank(library: Library, history: History, requests: Sequence[str], today: datetime.date,
         exists: Optional[Callable[[str], bool]] = None) -> Ranking:
    result = Ranking(played=len(history.tonight), cats=_moments(library.index.categories))
    ranker = _Ranker(library, history, requests, today, exists or _always)
    if history.tonight:
        overplayed = sum(1 for path in history.tonight if ranker.fresh_of(path)[0] == OVERPLAYED)
        result.rut = overplayed / len(history.tonight)
    if history.now is None:
        return result
    result.ok, result.now = True, ranker.now
    result.next, result.fresh, result.bangers = ranker.next(), ranker.fresh(), ranker.bangers()
    return result
