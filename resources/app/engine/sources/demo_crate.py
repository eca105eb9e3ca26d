"""The demo crate: an invented record bag, its history and a request list, written once as real files.

Everything is derived from a fixed seed, so every install gets the same crate and a file that went
missing comes back identical. Files are only ever created where nothing exists yet: the demo never
rewrites or removes a file, so it cannot damage anything it did not make.

Layout below the demo directory:
  crate/NN Artist - Title.wav   one short, quiet tone per track (a soft pulse at the track's tempo on
                                the tonic of its key), so a dragged pick loads on a real deck
  library.json                  the tracks: file, title, artist, key, bpm, category
  history.json                  about twenty past sets: date, name, files in playing order
  requests.json                 the tracks the DJ has been asked for

Each file is written beside its name as `<name>.<pid>.tmp` and renamed into place; a start that was
killed on the way leaves such files behind, and the next start removes them before it writes.
The lists are read back the way every engine file is (regular files only, capped, never blocking); a
list that cannot be read takes the invented one (said once), and a track number that is not a finite
number reads as absent.
"""
import array
import datetime
import json
import math
import os
import random
import struct
import sys
import wave
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ..history import PastSet
from ..keys import Camelot, is_harmonic, parse_key, tonic
from ..library import Library, Track
from ..paths import (read_json_object, reason, remove_stale_temporaries, say_once, temporary_name,
                     write_atomically)
from ..tempo import tempo_fits

SEED = 20240611
TRACK_COUNT = 60
SAMPLE_RATE = 44100
SECONDS = 1.0

ARTISTS = [
    "Aurel Vance", "Mira Solen", "Kasimir Dune", "Tove Hallin", "Ondine Marsh", "Brisa Calder",
    "Halvard Quist", "Neon Parish", "The Velvet Dials", "Ilse Moreau", "Perrin & Vos", "Lumen Street",
    "Odile Sarno", "Cassius Wren", "Noor Amadi", "Felt Harbour", "Yara Lindqvist", "Moss Engine",
    "Quill & Cable", "Sunday Static",
]
ADJECTIVES = [
    "Night", "Copper", "Slow", "Glass", "Paper", "Static", "Harbour", "Velvet", "Amber", "Hollow",
    "Silver", "Quiet", "Late", "Open", "Neon", "Salt", "Golden", "Low", "Far", "Warm",
]
NOUNS = [
    "Drive", "Lines", "Bloom", "Orchard", "Suns", "Choir", "Lights", "Tide", "Current", "Motion",
    "Signal", "Garden", "Hours", "Window", "River", "Theory", "Echo", "Fever", "Parade", "Circuit",
]
# How many tracks of each moment, and the tempo range it lives in.
CATEGORIES = [("warmup", 14, 90, 108), ("build", 16, 108, 121), ("peak", 20, 121, 140), ("closing", 10, 96, 124)]
PHASE = {"warmup": 0, "build": 1, "peak": 2, "closing": 3}
# Days before the crate was made on which the past sets were played: weekly lately, sparser further back.
SET_AGES = [2, 9, 16, 23, 30, 44, 58, 72, 100, 128, 160, 190, 220, 250, 290, 330, 380, 430, 480, 540]
VENUES = ["Basement", "Rooftop", "Harbour Club", "Warehouse", "Lounge", "Festival tent"]

LISTS = ("library.json", "history.json", "requests.json")
LIST_LIMIT = 8 << 20  # bytes; the lists the demo writes are a few dozen kilobytes

_NOTE_NAMES = ["C", "Db", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B"]


def musical_name(number: int, letter: str) -> str:
    """Camelot position in the musical notation many DJ programs show (8A is "Am", 8B is "C")."""
    return _NOTE_NAMES[tonic(Camelot(number, letter))] + ("m" if letter == "A" else "")


def tonic_hz(key: str) -> float:
    camelot = parse_key(key)
    if camelot is None:
        return 220.0
    return 110.0 * 2.0 ** (((tonic(camelot) - 9) % 12) / 12.0)  # from A2 up to G#3


def _invent_tracks(rng: random.Random) -> List[Dict[str, Any]]:
    wheel = [(n, letter) for letter in "AB" for n in range(1, 13)]
    # Every key of the wheel at least twice, a few of them three times.
    keys = wheel * 2 + rng.sample(wheel, TRACK_COUNT - 2 * len(wheel))
    rng.shuffle(keys)
    titles = [(a, n) for a in ADJECTIVES for n in NOUNS]
    rng.shuffle(titles)
    tracks: List[Dict[str, Any]] = []
    for category, count, low, high in CATEGORIES:
        for _ in range(count):
            i = len(tracks)
            number, letter = keys[i]
            # Most keys in Camelot, some as an analyser writing musical notation would have them.
            key = musical_name(number, letter) if i % 4 == 3 else "%d%s" % (number, letter)
            adjective, noun = titles[i]
            artist = ARTISTS[rng.randrange(len(ARTISTS))]
            tracks.append({"title": "%s %s" % (adjective, noun), "artist": artist, "key": key,
                           "bpm": rng.randint(low, high), "category": category})
    # The whole promised range, end to end.
    tracks[0]["bpm"] = 90
    tracks[CATEGORIES[0][1] + CATEGORIES[1][1]]["bpm"] = 140
    for i, t in enumerate(tracks):
        t["file"] = "crate/%02d %s - %s.wav" % (i + 1, t["artist"], t["title"])
    return tracks


def _chain(start: int, pool: Sequence[int], tracks: List[Dict[str, Any]], rng: random.Random, length: int):
    """A run the DJ keeps playing in the same order: each step fits the one before."""
    run = [start]
    while len(run) < length:
        last = tracks[run[-1]]
        fits = [i for i in pool if i not in run and tempo_fits(last["bpm"], tracks[i]["bpm"])
                and is_harmonic(parse_key(last["key"]), parse_key(tracks[i]["key"]))]
        if not fits:
            fits = [i for i in pool if i not in run and tempo_fits(last["bpm"], tracks[i]["bpm"])]
        if not fits:
            break
        run.append(rng.choice(fits))
    return run


def _invent_history(rng: random.Random, tracks: List[Dict[str, Any]], made: datetime.date):
    order = list(range(len(tracks)))
    rng.shuffle(order)
    never = order[:14]          # fresh finds that were never played out
    old_only = order[14:24]     # played only more than half a year ago
    staples = order[24:32]      # in most recent sets
    regular = order[32:]
    played_pool = staples + regular
    chains = [_chain(start, played_pool, tracks, rng, rng.choice((2, 3, 3)))
              for start in rng.sample(played_pool, 7)]
    chains = [c for c in chains if len(c) > 1]

    sets = []
    for n, age in enumerate(SET_AGES):
        recent = n < 5
        chosen: List[List[int]] = []
        used = set()

        def take(unit: List[int]) -> None:
            if not used.intersection(unit):
                chosen.append(unit)
                used.update(unit)

        for unit in rng.sample(chains, min(len(chains), rng.randint(2, 4))):
            take(unit)
        for s in staples:
            # Each staple sits out one recent set at most; further back it comes and goes.
            if (recent and (s + n) % 5 != 0) or (not recent and rng.random() < 0.45):
                take([s])
        pool = regular + (old_only if age >= 190 else [])
        size = rng.randint(12, 18)
        for i in rng.sample(pool, len(pool)):
            if len(used) >= size:
                break
            take([i])
        chosen.sort(key=lambda unit: (PHASE[tracks[unit[0]]["category"]], rng.random()))
        plays = [tracks[i]["file"] for unit in chosen for i in unit]
        date = made - datetime.timedelta(days=age)
        sets.append({"date": date.isoformat(), "name": VENUES[n % len(VENUES)], "plays": plays})
    sets.reverse()
    requests = [tracks[i]["file"] for i in never[:2] + old_only[:1] + regular[:1]]
    return sets, requests


def invent(made: datetime.date) -> Tuple[List[Dict[str, Any]], List[Dict[str, Any]], List[str]]:
    rng = random.Random(SEED)
    tracks = _invent_tracks(rng)
    sets, requests = _invent_history(rng, tracks, made)
    return tracks, sets, requests


def tone(key: str, bpm: float) -> bytes:
    """A quiet tone on the key's tonic, swelling on every beat, faded in and out against clicks."""
    n = int(SAMPLE_RATE * SECONDS)
    beat = 60.0 / max(bpm, 1.0) * SAMPLE_RATE
    step = 2.0 * math.pi * tonic_hz(key) / SAMPLE_RATE
    fade = int(SAMPLE_RATE * 0.02)
    out = array.array("h", bytes(2 * n))
    for i in range(n):
        level = 2600.0 * (0.35 + 0.65 * math.exp(-6.0 * (i % beat) / SAMPLE_RATE))
        if i < fade:
            level *= i / fade
        elif n - i < fade:
            level *= (n - i) / fade
        out[i] = int(level * math.sin(step * i))
    if sys.byteorder == "big":
        out.byteswap()
    return out.tobytes()


def _info_chunk(title: str, artist: str) -> bytes:
    """A RIFF INFO list, so that players show the title and artist rather than the file name."""
    body = b"INFO"
    for tag, text in ((b"INAM", title), (b"IART", artist), (b"ISFT", "Crate Warden demo")):
        data = text.encode("utf-8") + b"\0"
        body += tag + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")
    return b"LIST" + struct.pack("<I", len(body)) + body


def write_wav(path: str, key: str, bpm: float, title: str, artist: str) -> None:
    tmp = temporary_name(path)
    try:
        with wave.open(tmp, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(SAMPLE_RATE)
            w.writeframes(tone(key, bpm))
        chunk = _info_chunk(title, artist)
        with open(tmp, "r+b") as f:
            f.seek(0, os.SEEK_END)
            f.write(chunk)
            size = f.tell()
            f.seek(4)
            f.write(struct.pack("<I", size - 8))
        # A name that already exists is left alone, even when it appeared while this file was written.
        if os.path.exists(path):
            os.unlink(tmp)
        else:
            os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _create(path: str, text: str) -> None:
    if not os.path.exists(path):
        write_atomically(path, text)


def ensure(demo_dir: str, today: datetime.date) -> None:
    """Creates whatever part of the demo is missing; touches nothing that is already there."""
    tracks, sets, requests = invent(today)
    crate = os.path.join(demo_dir, "crate")
    os.makedirs(crate, exist_ok=True)
    remove_stale_temporaries(crate, (os.path.basename(t["file"]) for t in tracks))
    remove_stale_temporaries(demo_dir, LISTS)
    for t in tracks:
        path = os.path.join(demo_dir, t["file"])
        if not os.path.exists(path):
            write_wav(path, t["key"], t["bpm"], t["title"], t["artist"])
    _create(os.path.join(demo_dir, "library.json"), json.dumps({"tracks": tracks}, indent=1, ensure_ascii=False))
    _create(os.path.join(demo_dir, "history.json"),
            json.dumps({"made": today.isoformat(), "sets": sets}, indent=1, ensure_ascii=False))
    _create(os.path.join(demo_dir, "requests.json"), json.dumps({"requests": requests}, indent=1))


def _read(path: str) -> Optional[Dict[str, Any]]:
    try:
        return read_json_object(path, LIST_LIMIT)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        say_once("%s: %s; the demo uses its original instead" % (path, reason(error)))
        return None


def number(value: Any) -> float:
    """A finite number, or 0.0 (absent) for anything else: a string, a boolean, NaN, an infinity (what
    JSON's 1e999 reads as) or an integer too large for a float."""
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return 0.0
    try:
        value = float(value)
    except OverflowError:
        return 0.0
    return value if math.isfinite(value) else 0.0


def _date(text: Any) -> Optional[datetime.date]:
    try:
        return datetime.date.fromisoformat(text)
    except (TypeError, ValueError):
        return None


def load(demo_dir: str, today: datetime.date) -> Tuple[Library, List[PastSet], List[str]]:
    """The demo as its files describe it. Dates move with the calendar: the crate is as many days from
    its last set today as on the day it was made, so the demo looks the same whenever it is opened.
    Whatever cannot be read falls back to the invented original."""
    tracks, sets, requests = invent(today)
    made = today
    lib = _read(os.path.join(demo_dir, "library.json"))
    if lib and isinstance(lib.get("tracks"), list):
        tracks = [t for t in lib["tracks"] if isinstance(t, dict) and isinstance(t.get("file"), str)]
    hist = _read(os.path.join(demo_dir, "history.json"))
    if hist and isinstance(hist.get("sets"), list):
        sets = [s for s in hist["sets"] if isinstance(s, dict)]
        made = _date(hist.get("made")) or today
    req = _read(os.path.join(demo_dir, "requests.json"))
    if req and isinstance(req.get("requests"), list):
        requests = [r for r in req["requests"] if isinstance(r, str)]

    def full(file: str) -> str:
        return os.path.join(demo_dir, file)

    def text(value: Any) -> str:
        return value if isinstance(value, str) else ""

    library = Library(Track(path=full(t["file"]), title=text(t.get("title")) or os.path.basename(t["file"]),
                            artist=text(t.get("artist")), key=text(t.get("key")), bpm=number(t.get("bpm")),
                            category=text(t.get("category")) or None) for t in tracks)
    shift = today - made
    past = []
    for s in sets:
        date = _date(s.get("date"))
        plays = s.get("plays")
        if date is None or not isinstance(plays, list):
            continue
        past.append(PastSet(date=date + shift, name=text(s.get("name")),
                            plays=tuple(full(p) for p in plays if isinstance(p, str))))
    return library, past, [full(r) for r in requests]
