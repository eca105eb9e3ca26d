"""The demo source: a DJ working through a set from the demo crate, so the panel has something real to
show before any DJ software is connected.

It waits a few seconds with nothing playing, opens with a warm-up track, then moves on every `interval`
seconds the way a DJ might: mostly one of the engine's own top picks for the moment of the night, a
request when one fits, now and then a fresh find. After a full set it starts the next one.

Environment (for demos and tests): CW_DEMO_INTERVAL seconds between tracks (45), CW_DEMO_WAIT seconds
before the first track (5), CW_DEMO_SEED to repeat the same choices.
"""
import datetime
import os
import random
from typing import List, Mapping, Optional

from ..history import History, PastSet
from ..library import Library
from ..ranking import rank
from . import Snapshot, Source, demo_crate

DEFAULT_INTERVAL = 45.0
DEFAULT_WAIT = 5.0
SET_LENGTH = 32
# Where in the set each moment starts, by tracks played.
PHASES = ((0, "warmup"), (5, "build"), (12, "peak"), (26, "closing"))


def _seconds(env: Mapping[str, str], name: str, default: float) -> float:
    try:
        value = float(env.get(name, ""))
    except ValueError:
        return default
    return value if value >= 0 and value == value else default


class DemoSource(Source):
    label = "demo"

    def __init__(self, support: str, interval: float = DEFAULT_INTERVAL, wait: float = DEFAULT_WAIT,
                 seed: Optional[int] = None):
        self.demo_dir = os.path.join(support, "demo")
        self.interval = interval
        self.wait = wait
        self._rng = random.Random(seed)
        self.library = Library()
        self.past: List[PastSet] = []
        self.requests: List[str] = []
        self.tonight: List[str] = []
        self._since: Optional[float] = None  # monotonic time the engine first polled, then of the last change

    @classmethod
    def from_environment(cls, support: str, env: Mapping[str, str]) -> "DemoSource":
        seed = env.get("CW_DEMO_SEED", "")
        return cls(support, interval=_seconds(env, "CW_DEMO_INTERVAL", DEFAULT_INTERVAL),
                   wait=_seconds(env, "CW_DEMO_WAIT", DEFAULT_WAIT),
                   seed=int(seed) if seed.lstrip("-").isascii() and seed.lstrip("-").isdigit() else None)

    def start(self) -> None:
        today = datetime.date.today()
        try:
            demo_crate.ensure(self.demo_dir, today)
        except OSError:
            # Without a writable support directory the demo still runs; only dragging a pick finds no file.
            pass
        self.library, self.past, self.requests = demo_crate.load(self.demo_dir, today)

    def snapshot(self) -> Snapshot:
        return Snapshot(library=self.library, history=History(past_sets=self.past, tonight=list(self.tonight)),
                        requests=list(self.requests), today=datetime.date.today())

    def poll(self, now: float) -> bool:
        if self._since is None:
            self._since = now
            return False
        due = self.wait if not self.tonight else self.interval
        if now - self._since < due or not len(self.library):
            return False
        if len(self.tonight) >= SET_LENGTH:
            self.tonight = []
        self.tonight.append(self._next_track())
        self._since = now
        self._take_requests()
        return True

    def _phase(self) -> str:
        current = PHASES[0][1]
        for start, moment in PHASES:
            if len(self.tonight) >= start:
                current = moment
        return current

    def _next_track(self) -> str:
        played = set(self.tonight)
        if not self.tonight:
            openers = sorted((t for t in self.library if t.category == "warmup"), key=lambda t: t.bpm)
            openers = openers[: max(1, len(openers) // 3)] or list(self.library)
            return self._rng.choice(openers).path
        ranking = rank(self.library, self.snapshot().history, self.requests, datetime.date.today())
        roll = self._rng.random()
        fitting_requests = [p for p in ranking.next if p.fitnow]
        if fitting_requests and roll < 0.5:
            return fitting_requests[0].track.path
        if ranking.fresh and roll > 0.85:
            return self._rng.choice(ranking.fresh[:2]).track.path
        phase = self._phase()
        top = [p for p in ranking.next[:10] if p.cat == phase and not p.prep] or ranking.next[:3]
        if top:
            top = top[:3]
            return self._rng.choices(top, weights=[3, 2, 1][: len(top)])[0].track.path
        rest = [t.path for t in self.library if t.path not in played]
        return self._rng.choice(rest) if rest else self._rng.choice(list(self.library)).path

    def _take_requests(self) -> None:
        """Played requests are done; now and then somebody at the booth asks for another track."""
        played = set(self.tonight)
        self.requests = [r for r in self.requests if r not in played]
        if len(self.requests) < 2 and self._rng.random() < 0.3:
            asked = [t.path for t in self.library if t.path not in played and t.path not in self.requests]
            if asked:
                self.requests.append(self._rng.choice(asked))
