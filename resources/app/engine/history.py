"""The play history: the sets the DJ has played before, and tonight's set as it grows.

Past sets are what the ranking learns from (which track followed which, what was played when);
tonight's set says what is playing now and what is already done. What the ranking needs from the past
sets is counted once (`PastStats`) and shared by every History with the same past, since tonight changes
every few minutes while the past does not.
"""
import datetime
from collections import Counter
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple


@dataclass(frozen=True)
class PastSet:
    date: datetime.date
    plays: Tuple[str, ...]  # track paths in the order they were played
    name: str = ""


class PastStats:
    """Counts over all past sets: O(plays) to build, a dictionary look-up to use."""

    def __init__(self, past_sets: Sequence[PastSet]):
        self.followers: Dict[str, Counter] = {}  # path -> how often each track came right after it
        self.last_played: Dict[str, datetime.date] = {}
        self.set_counts: Counter = Counter()  # in how many sets each track was played
        for past in past_sets:
            for before, after in zip(past.plays, past.plays[1:]):
                self.followers.setdefault(before, Counter())[after] += 1
            for path in past.plays:
                self.last_played[path] = past.date
            self.set_counts.update(set(past.plays))
        by_count: Dict[int, List[str]] = {}
        for path, count in self.set_counts.items():
            by_count.setdefault(count, []).append(path)
        # The played tracks grouped by set count, most played first.
        self.by_count: List[Tuple[int, List[str]]] = sorted(by_count.items(), reverse=True)


@dataclass
class History:
    past_sets: List[PastSet] = field(default_factory=list)
    tonight: List[str] = field(default_factory=list)  # track paths, the last one is playing
    _stats: Optional[PastStats] = field(default=None, repr=False, compare=False)

    def __post_init__(self) -> None:
        # Everything below reads "recent" as "latest by date", whatever order the source delivered.
        self.past_sets = sorted(self.past_sets, key=lambda s: s.date)

    @property
    def stats(self) -> PastStats:
        if self._stats is None:
            self._stats = PastStats(self.past_sets)
        return self._stats

    def with_tonight(self, tonight: Sequence[str]) -> "History":
        """The same past (and its counts) with another set for tonight."""
        other = History(tonight=list(tonight), _stats=self.stats)
        other.past_sets = self.past_sets
        return other

    @property
    def now(self) -> Optional[str]:
        return self.tonight[-1] if self.tonight else None

    def recent(self, count: int) -> List[PastSet]:
        return self.past_sets[-count:] if count > 0 else []

    @staticmethod
    def set_counts(sets: Sequence[PastSet]) -> Counter:
        """In how many of the given sets each track was played."""
        counts: Counter = Counter()
        for past in sets:
            counts.update(set(past.plays))
        return counts
