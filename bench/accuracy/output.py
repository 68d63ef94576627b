"""What a method gives for one track: points with their own times."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass
class Output:
    """Per output point: time (seconds, the records' clock), x, y (metres,
    the records' frame), speed (m/s), heading (degrees clockwise from north)
    and curvature (1/m; NaN where the method gives none). Points of one
    `segment` are interpolated between; an instant outside every segment is
    not covered (velmora's failed trips and the gaps between its trips)."""

    time: np.ndarray
    x: np.ndarray
    y: np.ndarray
    speed: np.ndarray
    heading: np.ndarray
    curvature: np.ndarray
    segment: np.ndarray | None = None
    signed: bool = False  # curvature carries a sign (positive turning left)

    def __post_init__(self):
        for name in ("time", "x", "y", "speed", "heading", "curvature"):
            setattr(self, name, np.asarray(getattr(self, name), dtype=np.float64))
        if self.segment is None:
            self.segment = np.zeros(len(self.time), dtype=np.int64)

    def __len__(self) -> int:
        return len(self.time)

    def segments(self):
        """Index ranges of consecutive points of one segment."""
        if not len(self.time):
            return
        cuts = np.flatnonzero(np.diff(self.segment) != 0) + 1
        bounds = np.r_[0, cuts, len(self.time)]
        for start, stop in zip(bounds[:-1], bounds[1:]):
            yield start, stop


def empty() -> Output:
    nothing = np.empty(0)
    return Output(nothing, nothing, nothing, nothing, nothing, nothing)


def compass(vx, vy) -> np.ndarray:
    """Degrees clockwise from north of a velocity (x east, y north)."""
    return (90.0 - np.degrees(np.arctan2(vy, vx))) % 360.0
