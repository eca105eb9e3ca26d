"""Sources: where the library, the play history and tonight's set come from.

A source is the only part of the engine that knows a file format or a piece of DJ software. It hands the
engine a `Snapshot` (plain model objects), and the ranking never looks further. The engine's loop calls
`poll` a few times a second and ranks afresh whenever it answers True.

Adding a source for real DJ software (its library database, its history files, what is loaded on the
decks right now):
  1. write a `Source` subclass in a module beside demo.py; `start` reads the library and past sets
     (below `music_dir` from settings.json, or wherever the software keeps them), `poll` notices a new
     track in tonight's history, `snapshot` returns the model;
  2. add it to `SOURCES` under a short name;
  3. setup writes that name as "source" in settings.json, next to "music_dir".
Until a real source exists the demo is served whatever settings.json says.
"""
import datetime
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping

from ..history import History
from ..library import Library


@dataclass
class Snapshot:
    library: Library = field(default_factory=Library)
    history: History = field(default_factory=History)
    requests: List[str] = field(default_factory=list)  # track paths the DJ has lined up
    today: datetime.date = field(default_factory=datetime.date.today)


class Source:
    """The interface every source implements. All methods run on the engine's main thread."""

    # Short text the panel appends to each pick's detail line to say where it comes from.
    label = ""

    def start(self) -> None:
        """Reads (or, for the demo, creates) what the source needs; may take a moment."""

    def poll(self, now: float) -> bool:
        """Catches up with the outside world at monotonic time `now`; True when the snapshot changed."""
        return False

    def snapshot(self) -> Snapshot:
        raise NotImplementedError

    def stop(self) -> None:
        """Releases whatever the source holds; the engine ends after this."""


SourceFactory = Callable[[str, Mapping[str, Any], Mapping[str, str]], Source]


def _demo(support: str, settings: Mapping[str, Any], env: Mapping[str, str]) -> Source:
    from .demo import DemoSource

    return DemoSource.from_environment(support, env)


# Source name (settings.json "source") -> factory(support directory, settings, environment).
SOURCES: Dict[str, SourceFactory] = {"demo": _demo}
DEFAULT_SOURCE = "demo"


def make_source(support: str, settings: Mapping[str, Any], env: Mapping[str, str]) -> Source:
    name = settings.get("source")
    factory = SOURCES.get(name if isinstance(name, str) else DEFAULT_SOURCE) or SOURCES[DEFAULT_SOURCE]
    return factory(support, settings, env)
