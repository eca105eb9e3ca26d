"""Musical keys: reading Camelot, Open Key and musical notation, and judging harmonic neighbours.

Libraries write keys in whatever notation their analyser used; every comparison happens on the Camelot
wheel, while the text shown to the DJ stays as the library has it.
"""
import functools
import re
from typing import List, NamedTuple, Optional

MINOR = "A"
MAJOR = "B"


class Camelot(NamedTuple):
    number: int  # 1..12, one step is a fifth
    letter: str  # "A" minor, "B" major

    def __str__(self) -> str:
        return "%d%s" % (self.number, self.letter)


_CAMELOT = re.compile(r"^(1[0-2]|0?[1-9])\s*([ABab])$")
_OPEN_KEY = re.compile(r"^(1[0-2]|0?[1-9])\s*([mdMD])$")
_MUSICAL = re.compile(r"^([A-Ga-g])\s*([#♯b♭]?)\s*([A-Za-z]*)$")

_NATURALS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def _wrap(n: int) -> int:
    return (n - 1) % 12 + 1


def parse_key(text: Optional[str]) -> Optional[Camelot]:
    """The Camelot position of a key in any of the three notations, or None when it is not a key."""
    return _parse_key(text) if isinstance(text, str) else None


# A library holds a handful of distinct key texts, each read once for every one of its tracks.
@functools.lru_cache(maxsize=1024)
def _parse_key(text: str) -> Optional[Camelot]:
    s = text.strip()
    m = _CAMELOT.match(s)
    if m:
        return Camelot(int(m.group(1)), m.group(2).upper())
    m = _OPEN_KEY.match(s)
    if m:
        # Open Key 1 sits where Camelot has 8 (1d is C major, 1m is A minor).
        return Camelot(_wrap(int(m.group(1)) + 7), MINOR if m.group(2).lower() == "m" else MAJOR)
    m = _MUSICAL.match(s)
    if m:
        pc = _NATURALS[m.group(1).upper()]
        accidental = m.group(2)
        if accidental in ("#", "♯"):
            pc += 1
        elif accidental in ("b", "♭"):
            pc -= 1
        pc %= 12
        quality = m.group(3)
        # "m" is minor and "M" major, as analysers write them; the spelled-out forms in any case.
        if quality == "m" or quality.lower() in ("min", "minor"):
            # Walking the circle of fifths: C minor is 5A, A minor 8A.
            return Camelot((pc * 7 + 4) % 12 + 1, MINOR)
        if quality in ("", "M") or quality.lower() in ("maj", "major"):
            return Camelot((pc * 7 + 7) % 12 + 1, MAJOR)
    return None


def tonic(key: Camelot) -> int:
    """Pitch class of the key's tonic, 0 for C up to 11 for B (the inverse of the walk above)."""
    return (7 * (key.number - (5 if key.letter == MINOR else 8))) % 12


def neighbours(key: Optional[Camelot]) -> List[Camelot]:
    """Every key `is_harmonic` accepts beside `key`, `key` itself first."""
    if key is None:
        return []
    other = MAJOR if key.letter == MINOR else MINOR
    return [key, Camelot(_wrap(key.number + 1), key.letter), Camelot(_wrap(key.number - 1), key.letter),
            Camelot(key.number, other)]


def is_harmonic(a: Optional[Camelot], b: Optional[Camelot]) -> bool:
    """Same key, one step round the wheel in the same mode (12 next to 1), or the relative major/minor."""
    if a is None or b is None:
        return False
    if a.letter == b.letter:
        return a.number == b.number or _wrap(a.number + 1) == b.number or _wrap(a.number - 1) == b.number
    return a.number == b.number
