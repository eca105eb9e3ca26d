"""The feed document: a ranking written as the JSON object the panel polls.

Keys are written only when they carry something; the panel treats a missing key as its default, so an
absent "cat" or "rest" says "none" more plainly than a null would. "cats" is always written, empty when
the library names no moments: an absent "cats" would leave the panel showing the moments of the source
it served before. Every document, the waiting one included, says which source it comes from in
"source" ({"id", "name", "tracks"}), a key the panel does not read.
"""
from typing import Any, Dict, Optional

from .library import Track
from .ranking import Pick, Ranking


def _carried(text: str) -> str:
    """Text the feed (UTF-8) can carry: each lone surrogate (a byte of a file name that is not UTF-8) as
    "?". Only for what names the track playing, which the panel shows and compares but never loads; a
    pick's path must be exact, so the sources leave such tracks out of the library."""
    return text.encode("utf-8", "replace").decode("utf-8")


def now_entry(track: Track) -> Dict[str, Any]:
    return {"path": _carried(track.path), "title": _carried(track.display_title), "key": track.key,
            "bpm": track.whole_bpm}


def pick_entry(pick: Pick, src: str) -> Dict[str, Any]:
    track = pick.track
    entry: Dict[str, Any] = {
        "title": track.display_title,
        "key": track.key,
        "bpm": track.whole_bpm,
        "path": track.path,
        "proven": pick.proven,
        "harmonic": pick.harmonic,
        "prep": pick.prep,
        "fitnow": pick.fitnow,
        "fresh": pick.fresh,
    }
    if pick.rest is not None:
        entry["rest"] = pick.rest
    if pick.cat:
        entry["cat"] = pick.cat
    if pick.reason:
        entry["reason"] = pick.reason
    if src:
        entry["src"] = src
    return entry


def source_entry(source: Any, tracks: int) -> Dict[str, Any]:
    return {"id": source.id, "name": source.name, "tracks": tracks}


def document(ranking: Ranking, src: str = "", source: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    doc: Dict[str, Any] = {
        "ok": ranking.ok,
        "played": ranking.played,
        "rut": round(ranking.rut, 3),
        "cats": [{"id": cid, "label": label} for cid, label in ranking.cats],
    }
    if source is not None:
        doc["source"] = source
    if not ranking.ok or ranking.now is None:
        return doc
    doc["now"] = now_entry(ranking.now)
    doc["next"] = [pick_entry(p, src) for p in ranking.next]
    doc["fresh"] = [pick_entry(p, src) for p in ranking.fresh]
    doc["bangers"] = [pick_entry(p, src) for p in ranking.bangers]
    return doc


def waiting_document(source: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """What is served before a source has delivered anything at all: no track, and no rut to show."""
    return {"ok": False} if source is None else {"ok": False, "source": source}
