"""The play history: the sets the DJ has played before, and tonight's set as it grows.

Past sets are what the ranking learns from (which track followed which, what was played when);
tonight's set says what is playing now and what is already done.
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


@dataclass
class History:
    past_sets: List[PastSet] = field(default_factory=list)
    tonight: List[str] = field(default_factory=list)  # track paths, the last one is playing

    def __post_init__(self) -> None:
        # Everything below reads "recent" as "latest by date", whatever order the source delivered.
        self.past_sets = sorted(self.past_sets, key=lambda s: s.date)

    @property
    def now(self) -> Optional[str]:
        return self.tonight[-1] if self.tonight else None

    def recent(self, count: int) -> List[PastSet]:
        return self.past_sets[-count:] if count > 0 else []

    def followers(self, path: str) -> Counter:
        """How often each track was played right after path, across past sets."""
        counts: Counter = Counter()
        for past in self.past_sets:
            for before, after in zip(past.plays, past.plays[1:]):
                if before == path:
                    counts[after] += 1
        return counts

    def set_counts(self, sets: Optional[Sequence[PastSet]] = None) -> Counter:
        """In how many of the given sets (all past sets by default) each track was played."""
        counts: Counter = Counter()
        for past in self.past_sets if sets is None else sets:
            counts.update(set(past.plays))
        return counts

    def last_played(self) -> Dict[str, datetime.date]:
        last: Dict[str, datetime.date] = {}
        for past in self.past_sets:
            for path in past.plays:
                last[path] = past.date
        return last

    def positions(self) -> Dict[str, List[float]]:
        """Where in its sets each track was played, 0.0 at the opening and 1.0 at the last track."""
        where: Dict[str, List[float]] = {}
        for past in self.past_sets:
            span = max(1, len(past.plays) - 1)
            for i, path in enumerate(past.plays):
                where.setdefault(path, []).append(i / span)
        return where
