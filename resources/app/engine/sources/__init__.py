"""Sources: where the library, the play history and tonight's set come from.

A source is the only part of the engine that knows a file format or a piece of DJ software. It hands the
engine a `Snapshot` (plain model objects), and the ranking never looks further. The engine's loop calls
`poll` four times a second and ranks afresh whenever it answers True. Every method runs on the engine's
main thread.

Which source is served (`choose`): settings.json's "source" ("demo" or a program id below) with its
optional "source_path" (where that program keeps its files; without it, the program's standard place);
with no "source", the detected installation changed most recently; with none found, the demo.

Adding a DJ program is one entry in `PROGRAMS`: the name of a module in this package that defines
  ID, NAME                   the "source" value in settings.json; the program's name as the DJ knows it
  places(home, env, system)  the folders where the program keeps its files on `system` ("darwin",
                             "win32", "linux"), in order of preference; they need not exist. `home` and
                             `env` come from the caller, so tests point them at a temporary home.
  probe(path, count)         an `Installation` when `path` holds the program's files (else None): the
                             time they last changed, and the track count when `count` is set and the
                             count is cheap (None otherwise). It must take well under a second.
  open_source(path)          a `Source` reading that folder, usually a `ProgramSource` subclass (base.py)
                             with `id`, `name`, `parts()` and `build(values)`: each `Part` is a name, a
                             cheap signature (base.stamp of its files) and a load; `build` turns the parts'
                             last good values into a `Snapshot`: tracks with their moment as `category`,
                             past sets, tonight's set with the track playing last, the requests, and
                             `exists=os.path.exists`. The base re-reads only a part whose
                             signature moved, one part per poll, keeps the last good value when a load
                             fails and says so once on stderr (and once when it reads again). A reader
                             reports damage by raising `Damage` (transient=True for a lock that waiting
                             cures) or by letting OSError, ValueError or sqlite3.Error out of its load.
                             base.py also holds the rules every program shares: `camelot_text` (keys in
                             the feed's one notation, "8A"), `sane_bpm`/`sane_time` (absurd or non-finite
                             numbers read as absent), `requests_and_moments` and `with_moments` (what
                             playlists and crates say by their names), `read_only`/`query` (SQLite opened
                             so that nothing appears or changes beside it), `is_tonight` (when the newest
                             set is still tonight's) and `memo` (made again only when its inputs change).
Detection (`detect`) runs `places` then `probe` for every program and offers the newest first; a probe
that fails costs only that program.
"""
import datetime
import importlib
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

from ..history import History
from ..library import Library

DEMO = "demo"
# Module names, one per DJ program; the order breaks ties between equally recent installations.
PROGRAMS: Tuple[str, ...] = (
    "serato",
    "mixxx",
    "virtualdj",
    "traktor",
    "enginedj",
    "rekordbox_xml",
)


def _always(path: str) -> bool:
    return True


@dataclass
class Snapshot:
    library: Library = field(default_factory=Library)
    history: History = field(default_factory=History)
    requests: List[str] = field(default_factory=list)  # track paths the DJ has lined up
    today: datetime.date = field(default_factory=datetime.date.today)
    # Whether a track's file is there to be loaded; a track whose file is gone is never offered.
    exists: Callable[[str], bool] = _always


class Source:
    """The interface every source implements."""

    id = DEMO
    name = "Demo crate"
    # Short text the panel appends to each pick's detail line to say where it comes from.
    label = ""
    path = ""

    def start(self) -> None:
        """Reads (or, for the demo, creates) what the source needs; may take a moment."""

    def poll(self, now: float) -> bool:
        """Catches up with the outside world at monotonic time `now`; True when the snapshot changed."""
        return False

    def snapshot(self) -> Snapshot:
        raise NotImplementedError

    def stop(self) -> None:
        """Releases whatever the source holds; the engine ends or switches source after this."""


@dataclass(frozen=True)
class Installation:
    id: str
    name: str
    path: str
    tracks: Optional[int]
    changed: float  # Unix time the program's files last changed

    def as_json(self) -> Dict[str, Any]:
        return {"id": self.id, "name": self.name, "path": self.path, "tracks": self.tracks,
                "changed": self.changed}


def program(program_id: str):
    """The module of a program by its id, or None for an id no module claims."""
    for module_name in PROGRAMS:
        module = importlib.import_module("." + module_name, __name__)
        if module.ID == program_id:
            return module
    return None


def _modules():
    return [importlib.import_module("." + name, __name__) for name in PROGRAMS]


def detect(home: str, env: Mapping[str, str], system: str = sys.platform, count: bool = False,
           warn: Callable[[str], None] = lambda line: None) -> List[Installation]:
    """Every installation found in the standard places, the most recently changed first."""
    found: List[Installation] = []
    for module in _modules():
        seen = set()
        for place in module.places(home, env, system):
            if place in seen:
                continue
            seen.add(place)
            try:
                installation = module.probe(place, count)
            except Exception as error:  # a broken probe must not hide the other programs
                warn("%s: cannot look at %s (%s)" % (module.NAME, place, error))
                continue
            if installation is not None:
                found.append(installation)
    order = {module.ID: i for i, module in enumerate(_modules())}
    found.sort(key=lambda inst: (-inst.changed, order.get(inst.id, 0)))
    return found


@dataclass(frozen=True)
class Choice:
    """What the engine should serve: a source id and the folder it reads ("" for the demo or for a
    program's standard place). `why` says how it was chosen, for the line on stderr."""
    id: str
    path: str = ""
    why: str = ""

    def same(self, other: Optional["Choice"]) -> bool:
        return other is not None and (self.id, self.path) == (other.id, other.path)


def _given_path(settings: Mapping[str, Any]) -> str:
    path = settings.get("source_path")
    return os.path.expanduser(path) if isinstance(path, str) and path else ""


def chosen_in_settings(settings: Mapping[str, Any], home: str, env: Mapping[str, str],
                       system: str = sys.platform) -> bool:
    """Whether settings.json names a source this engine serves and where to read it: its "source_path",
    else the program's standard place on this system (else the engine detects)."""
    name = settings.get("source")
    if name == DEMO:
        return True
    module = program(name) if isinstance(name, str) and name else None
    return module is not None and bool(_given_path(settings) or module.places(home, env, system))


def choose(settings: Mapping[str, Any], home: str, env: Mapping[str, str], system: str = sys.platform,
           warn: Callable[[str], None] = lambda line: None) -> Choice:
    name = settings.get("source")
    if name == DEMO:
        return Choice(DEMO, why="chosen in settings.json")
    if chosen_in_settings(settings, home, env, system):
        if _given_path(settings):
            return Choice(name, _given_path(settings), "chosen in settings.json")
        places = program(name).places(home, env, system)
        existing = [p for p in places if os.path.exists(p)]
        return Choice(name, (existing or places)[0], "chosen in settings.json, standard place")
    module = program(name) if isinstance(name, str) and name else None
    if module is not None:
        warn("settings.json chooses %s with no source_path, and %s has no standard place here: detecting "
             "instead" % (module.NAME, module.NAME))
    elif name not in (None, ""):
        warn("settings.json names the source %r, which this engine does not know: detecting instead" % name)
    found = detect(home, env, system, warn=warn)
    if found:
        return Choice(found[0].id, found[0].path, "detected, changed most recently")
    return Choice(DEMO, why="no DJ software found")


def make_source(support: str, choice: Choice, env: Mapping[str, str]) -> Source:
    if choice.id != DEMO:
        module = program(choice.id)
        if module is not None:
            return module.open_source(choice.path)
    from .demo import DemoSource

    return DemoSource.from_environment(support, env)
