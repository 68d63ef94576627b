"""Removal of points that run against the direction of travel, vectorised."""

from __future__ import annotations

import numpy as np

PI = 3.141592653589793
TWO_PI = 6.283185307179586


def suspicious(pts: np.ndarray, sus_angle: float = 2.8) -> np.ndarray:
    """Interior indices whose turn angle, folded into [0, pi], is >= sus_angle."""
    if len(pts) < 3:
        return np.empty(0, dtype=np.intp)
    d = np.diff(pts, axis=0)
    heading = np.arctan2(d[:, 1], d[:, 0])
    diff = np.abs(heading[1:] - heading[:-1])
    turn = np.where(PI < diff, np.abs(TWO_PI - diff), diff)
    with np.errstate(invalid="ignore"):
        return np.flatnonzero(turn >= sus_angle) + 1


def repair(pts: np.ndarray, sus_angle: float = 2.8) -> np.ndarray:
    """Removes every flagged point in one pass and repeats until none is flagged."""
    pts = np.asarray(pts, dtype=float)
    flagged = suspicious(pts, sus_angle)
    while flagged.size:
        keep = np.ones(len(pts), dtype=bool)
        keep[flagged] = False
        pts = pts[keep]
        flagged = suspicious(pts, sus_angle)
    return pts
