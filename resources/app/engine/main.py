"""The engine's run: find the support directory, choose a source, serve the feed, keep the ranking up to
date; and `--list-sources`, which prints the DJ software found and ends.

Threads: the main thread runs this loop (polling the source, following settings.json, ranking) and the
signal handlers; the server answers on its own threads from the last published bytes.

Processes: the panel starts the engine as the leader of a process group of its own; asked to stop
(SIGTERM, SIGINT), such an engine ends its whole group on the way out.
"""
import json
import os
import signal
import sys
import time
import traceback
from typing import Any, Dict, Mapping, Optional, Sequence

from .feed import document, source_entry, waiting_document
from .paths import load_settings, shown, support_dir
from .ranking import rank
from .server import DEFAULT_PORT, FeedServer
from .sources import DEMO, Choice, Source, choose, chosen_in_settings, detect, make_source
from .sources.base import stamp

TICK = 0.25  # seconds between source polls; also bounds how long a stop request waits
# settings.json is looked at (one stat) every second: the setup saves a new source while this engine
# keeps running, and the panel it restarts polls every 2 s, so its first or second poll already meets
# the new source.
SETTINGS_EVERY = 1.0
# With no source chosen, detection runs again every 5 s (a few stats per program), so that DJ software
# started or installed after the engine is picked up while the DJ is still setting up.
DETECT_EVERY = 5.0


def say(line: str) -> None:
    sys.stderr.write(line + "\n")
    sys.stderr.flush()


def encode(doc: Dict[str, Any]) -> bytes:
    """The feed is strict JSON: a NaN or an infinity raises here instead of reaching the panel."""
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8")


class Engine:
    def __init__(self) -> None:
        self.source: Optional[Source] = None
        self._body = encode(waiting_document())
        self._refused = False

    def body(self) -> bytes:
        return self._body

    def serve(self, source: Source) -> None:
        """Switches to a source that has not read anything yet: the panel waits until it has."""
        self.source = source
        self._body = encode(waiting_document(source_entry(source, 0)))

    def publish(self) -> None:
        source = self.source
        if source is None:
            return
        snap = source.snapshot()
        ranking = rank(snap.library, snap.history, snap.requests, snap.today, snap.exists)
        entry = source_entry(source, len(snap.library))
        try:
            self._body = encode(document(ranking, source.label, entry))
        except (ValueError, OverflowError) as error:
            if not self._refused:
                say("a value the feed cannot carry (%s): serving the waiting document" % error)
            self._refused = True
            self._body = encode(waiting_document(entry))


def _preferred_port(env: Mapping[str, str]) -> int:
    text = env.get("CW_ENGINE_PORT", "")
    return int(text) if text.isascii() and text.isdigit() else DEFAULT_PORT


def _guarded(step):
    """Runs one step of the loop. A fault in a source or the ranking must not take the feed down (the
    panel would only restart the engine into the same fault): the last good document stays served."""
    try:
        return step()
    except Exception:
        traceback.print_exc()
        return None


class _Stopped(BaseException):
    """Raised by the signal handler while a source is starting (reading a large library, writing the demo
    crate) or the loop sleeps, so that a stop request is honoured at once rather than after the files are
    read or the sleep is over."""


class _StopRequest:
    """A stop asked for by a signal. Not a threading.Event: a handler runs on the main thread between two
    of its steps, possibly inside Event.set or Event.wait, whose lock is not re-entrant, so a second
    SIGTERM right after the first (as a panel that quits sends) deadlocked the engine for good. A plain
    flag takes no lock; a request that comes while the loop sleeps ends the sleep (`sleeping`), since the
    panel waits for its engine to end as it quits."""

    def __init__(self) -> None:
        self.asked = False
        self.sleeping = False

    def is_set(self) -> bool:
        return self.asked

    def wait(self, seconds: float) -> None:
        self.sleeping = True
        try:
            if not self.asked:
                time.sleep(seconds)
        finally:
            self.sleeping = False


class _Once:
    """Says each distinct line once, so that a condition checked every few seconds is not repeated."""

    def __init__(self) -> None:
        self.said: set = set()

    def __call__(self, line: str) -> None:
        if line not in self.said:
            self.said.add(line)
            say(line)


def _home(env: Mapping[str, str]) -> str:
    return env.get("HOME") or os.path.expanduser("~")


def _end_own_group() -> None:
    """The panel starts the engine as the leader of a process group of its own and, when the panel ends,
    the engine alone may be asked to stop: whatever it started (a wrapper's helper, say) is asked too."""
    if os.getpgrp() != os.getpid():
        return  # started by hand, say: the group is the shell's
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    try:
        os.killpg(os.getpid(), signal.SIGTERM)
    except OSError:
        pass


def list_sources(env: Mapping[str, str], out=None) -> int:
    """One JSON object per line for each installation found, the most recently changed first."""
    out = out or sys.stdout
    for installation in detect(_home(env), env, count=True, warn=say):
        out.write(json.dumps(installation.as_json(), ensure_ascii=False, allow_nan=False) + "\n")
    out.flush()
    return 0


def run(env: Optional[Mapping[str, str]] = None, argv: Sequence[str] = ()) -> int:
    env = os.environ if env is None else env
    if "--list-sources" in argv:
        return list_sources(env)
    stop = _StopRequest()
    starting = [True]

    def on_signal(signum, frame) -> None:
        if stop.asked:
            return  # one stop is under way; raising again could cut its clean-up short
        stop.asked = True
        if starting[0] or stop.sleeping:
            raise _Stopped()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    server: Optional[FeedServer] = None
    engine = Engine()
    try:
        support = support_dir()
        server = FeedServer(support, engine.body, _preferred_port(env))
        try:
            server.start()
        except OSError as error:
            say("cannot serve the feed: %s" % error)
            return 1
        _follow(support, env, engine, stop, starting)
    except _Stopped:
        pass
    finally:
        starting[0] = False
        if server is not None:
            server.stop()
        if engine.source is not None:
            engine.source.stop()
        if stop.is_set():
            _end_own_group()
    return 0


def _switch(support: str, choice: Choice, env: Mapping[str, str], engine: Engine, starting) -> None:
    if engine.source is not None:
        engine.source.stop()
    source = make_source(support, choice, env)
    # The panel may already be polling: it gets "nothing playing yet" while the source reads its files.
    engine.serve(source)
    starting[0] = True
    _guarded(source.start)
    starting[0] = False
    _guarded(engine.publish)
    tracks = len(source.snapshot().library)
    where = " at %s" % shown(source.path) if source.path else ""
    say("source: %s%s, %d tracks (%s)" % (source.name, where, tracks, choice.why))


def _follow(support: str, env: Mapping[str, str], engine: Engine, stop: _StopRequest, starting) -> None:
    """The loop: poll the source, follow settings.json and, with no source chosen there, detection."""
    home = _home(env)
    settings_path = os.path.join(support, "settings.json")
    warn = _Once()
    seen = stamp(settings_path)
    settings = load_settings(support)
    choice = _guarded(lambda: choose(settings, home, env, warn=warn)) or Choice(DEMO, why="detection failed")
    _switch(support, choice, env, engine, starting)
    next_settings = next_detect = time.monotonic()
    day = time.localtime()[:3]
    while not stop.is_set():
        now = time.monotonic()
        recheck = False
        if now >= next_settings:
            next_settings = now + SETTINGS_EVERY
            current = stamp(settings_path)
            if current != seen:
                seen, settings, recheck = current, load_settings(support), True
                warn.said.clear()
        if now >= next_detect:
            next_detect = now + DETECT_EVERY
            recheck = recheck or not chosen_in_settings(settings, home, env)
        if recheck:
            wanted = _guarded(lambda: choose(settings, home, env, warn=warn))
            if wanted is not None and not wanted.same(choice):
                choice = wanted
                _switch(support, choice, env, engine, starting)
        changed = _guarded(lambda: engine.source.poll(time.monotonic()))
        today = time.localtime()[:3]
        if changed or today != day:
            day = today
            _guarded(engine.publish)
        stop.wait(TICK)
