"""The engine's run: find the support directory, serve the feed, keep the ranking up to date.

Threads: the main thread runs this loop (polling the source and ranking) and the signal handlers; the
server answers on its own threads from the last published bytes.
"""
import json
import os
import signal
import sys
import threading
import time
import traceback
from typing import Mapping, Optional

from .feed import document, waiting_document
from .paths import load_settings, support_dir
from .ranking import rank
from .server import DEFAULT_PORT, FeedServer
from .sources import Source, make_source

TICK = 0.25  # seconds between source polls; also bounds how long a stop request waits


def _encode(doc) -> bytes:
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class Engine:
    def __init__(self, source: Source):
        self.source = source
        self._body = _encode(waiting_document())

    def body(self) -> bytes:
        return self._body

    def publish(self) -> None:
        snap = self.source.snapshot()
        ranking = rank(snap.library, snap.history, snap.requests, snap.today)
        self._body = _encode(document(ranking, self.source.label))


def _preferred_port(env: Mapping[str, str]) -> int:
    text = env.get("CW_ENGINE_PORT", "")
    return int(text) if text.isdigit() else DEFAULT_PORT


def _describe(settings: Mapping[str, object], source: Source) -> None:
    music = settings.get("music_dir")
    if isinstance(music, str) and music:
        sys.stderr.write("music folder %s: no source reads DJ software yet, serving the %s source\n"
                         % (music, type(source).__name__))


def _guarded(step):
    """Runs one step of the loop. A fault in a source or the ranking must not take the feed down (the
    panel would only restart the engine into the same fault): the last good document stays served."""
    try:
        return step()
    except Exception:
        traceback.print_exc()
        return None


class _Stopped(BaseException):
    """Raised by the signal handler while start-up is still busy (the first start writes the demo crate),
    so that a stop request is honoured at once rather than after the files are done."""


def run(env: Optional[Mapping[str, str]] = None) -> int:
    env = os.environ if env is None else env
    stop = threading.Event()
    starting = [True]

    def on_signal(signum, frame) -> None:
        stop.set()
        if starting[0]:
            raise _Stopped()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    server: Optional[FeedServer] = None
    source: Optional[Source] = None
    try:
        support = support_dir()
        settings = load_settings(support)
        source = make_source(support, settings, env)
        _describe(settings, source)
        engine = Engine(source)
        server = FeedServer(support, engine.body, _preferred_port(env))
        try:
            server.start()
        except OSError as error:
            sys.stderr.write("cannot serve the feed: %s\n" % error)
            return 1
        # The panel may already be polling: it gets "nothing playing yet" while the source gets ready.
        _guarded(source.start)
        starting[0] = False
        day = None
        while not stop.is_set():
            changed = _guarded(lambda: source.poll(time.monotonic()))
            today = time.localtime()[:3]
            if changed or today != day:
                day = today
                _guarded(engine.publish)
            stop.wait(TICK)
    except _Stopped:
        pass
    finally:
        starting[0] = False
        if server is not None:
            server.stop()
        if source is not None:
            source.stop()
    return 0
