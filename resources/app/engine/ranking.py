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
"""
import datetime
from dataclasses import dataclass, field, replace
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from .history import History
from .keys import is_harmonic
from .library import Library, Track
from .tempo import tempo_fits, tempo_ratio

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


def moment_of(track: Track, positions: Dict[str, List[float]]) -> Optional[str]:
    """The track's own category, else where the DJ usually plays it in a set."""
    if track.category:
        return track.category
    where = positions.get(track.path)
    if not where:
        return None
    mean = sum(where) / len(where)
    if mean < 0.25:
        return "warmup"
    if mean < 0.5:
        return "build"
    if mean < 0.85:
        return "peak"
    return "closing"


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


def rank(library: Library, history: History, requests: Sequence[str], today: datetime.date,
         exists: Optional[Callable[[str], bool]] = None) -> Ranking:
    result = Ranking(played=len(history.tonight))
    positions = history.positions()
    result.cats = _moments([moment_of(t, positions) for t in library])

    recent = history.recent(RECENT_SETS)
    recent_counts = history.set_counts(recent)
    last = history.last_played()

    def fresh_of(path: str) -> Tuple[str, Optional[int]]:
        return freshness(last.get(path), recent_counts.get(path, 0), len(recent), today)

    if history.tonight:
        overplayed = sum(1 for path in history.tonight if fresh_of(path)[0] == OVERPLAYED)
        result.rut = overplayed / len(history.tonight)

    now_path = history.now
    if now_path is None:
        return result
    now = library.get(now_path) or Track(path=now_path, title=now_path.rsplit("/", 1)[-1])
    result.ok = True
    result.now = now

    done = set(history.tonight)
    followers = history.followers(now_path)
    wanted = [p for p in dict.fromkeys(requests) if p in library and p not in done]
    now_key = now.camelot

    picks: List[Pick] = []
    for track in library:
        if track.path in done or (exists is not None and not exists(track.path)):
            continue
        state, rest = fresh_of(track.path)
        pick = Pick(
            track=track,
            proven=followers.get(track.path, 0),
            harmonic=is_harmonic(now_key, track.camelot),
            tempo_fit=tempo_fits(now.bpm, track.bpm),
            tempo_off=tempo_ratio(now.bpm, track.bpm),
            fresh=state,
            rest=rest,
            cat=moment_of(track, positions),
            prep=track.path in wanted,
        )
        pick.fitnow = pick.prep and pick.fits_now
        picks.append(pick)

    def fit_level(p: Pick) -> int:
        return 3 if p.fits_now else 2 if p.tempo_fit else 1 if p.harmonic else 0

    def fresh_level(p: Pick) -> int:
        return 2 if p.fresh in (NEVER, RESTED_LONG) else 1 if p.fresh == RESTED else 0

    def next_order(p: Pick):
        off = p.tempo_off if p.tempo_off is not None else 1.0
        return (-p.proven, -int(p.fitnow), -fit_level(p), -fresh_level(p), off)

    candidates = sorted((p for p in picks if p.proven > 0 or fit_level(p) > 0 or p.prep), key=next_order)
    # A request the DJ lined up stays on the list however far down it ranks.
    result.next = candidates[:NEXT_LIMIT] + [p for p in candidates[NEXT_LIMIT:] if p.prep]

    def fresh_order(p: Pick):
        return (-int(p.harmonic), -int(p.fresh == NEVER), p.tempo_off if p.tempo_off is not None else 1.0)

    fresh = sorted((p for p in picks if p.tempo_fit and p.fresh in (NEVER, RESTED_LONG)), key=fresh_order)
    result.fresh = [replace(p, reason=_fresh_reason(p)) for p in fresh[:FRESH_LIMIT]]

    plays = history.set_counts()
    by_plays = [p for p in picks if plays.get(p.track.path, 0) > 0]
    by_plays.sort(key=lambda p: (-plays[p.track.path], -int(p.tempo_fit), -int(p.harmonic)))
    # In the rescue list the count is how many sets the track was in, not a sequence count.
    result.bangers = [replace(p, proven=plays[p.track.path]) for p in by_plays[:BANGER_LIMIT]]
    return result
