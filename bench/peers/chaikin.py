"""Chaikin corner cutting with fixed end points, vectorised with numpy."""

from __future__ import annotations

import numpy as np


def chaikin(pts: np.ndarray, iterations: int) -> np.ndarray:
    pts = np.asarray(pts, dtype=float)
    if len(pts) < 2:
        return pts.copy()
    first, last = pts[0], pts[-1]
    q = pts
    for _ in range(iterations):
        a, b = q[:-1], q[1:]
        out = np.empty((2 * len(q), 2))
        out[0] = first
        # same operation order as the scalar scheme, so results match bit for bit
        out[1:-1:2] = a * 0.75 + b * 0.25
        out[2:-1:2] = a * 0.25 + b * 0.75
        out[-1] = last
        q = out
    return q.copy() if q is pts else q
