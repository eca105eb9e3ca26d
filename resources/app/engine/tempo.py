"""Tempo fit: whether a track can be mixed in after another without pitching it audibly.

A deck's pitch fader covers a few percent either way; half and double time mix as naturally as the
same tempo (a 70 BPM track rides a 140 BPM groove).
"""
from typing import Optional

TOLERANCE = 0.06


def tempo_ratio(now_bpm: float, bpm: float) -> Optional[float]:
    """The smallest relative tempo change (0.02 for 2 %) that lines bpm up with now_bpm at the same,
    half or double time; None when either tempo is unknown."""
    if not now_bpm or not bpm or now_bpm <= 0 or bpm <= 0:
        return None
    return min(abs(candidate - now_bpm) / now_bpm for candidate in (bpm, bpm * 2.0, bpm / 2.0))


def tempo_fits(now_bpm: float, bpm: float, tolerance: float = TOLERANCE) -> bool:
    ratio = tempo_ratio(now_bpm, bpm)
    # A hair of slack so that exactly 6 % counts despite binary fractions.
    return ratio is not None and ratio <= tolerance + 1e-9
