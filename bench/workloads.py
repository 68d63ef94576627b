"""Deterministic input paths shared by the cases and the memory probes."""

from __future__ import annotations

import numpy as np


def wandering_path(n: int, step: float = 1.0, seed: int = 1) -> np.ndarray:
    """A gently turning path with uneven spacing, shape (n, 2).

    The heading changes by a few milliradians per step, so no interior point
    turns sharply and the cumulative length is strictly increasing.
    """
    rng = np.random.default_rng(seed)
    s = np.arange(n - 1, dtype=float) * step
    heading = 0.6 * np.sin(s / 800.0) + 0.3 * np.sin(s / 137.0 + 1.0)
    lengths = step * (1.0 + 0.2 * rng.random(n - 1))
    pts = np.zeros((n, 2))
    pts[1:, 0] = np.cumsum(lengths * np.cos(heading))
    pts[1:, 1] = np.cumsum(lengths * np.sin(heading))
    return pts


def noisy_wave(n: int, noise: float = 0.05, seed: int = 2) -> np.ndarray:
    """A sine wave sampled every 0.1 with Gaussian noise on both axes."""
    rng = np.random.default_rng(seed)
    x = np.arange(n) * 0.1
    y = 2.0 * np.sin(x / 3.0)
    pts = np.column_stack([x, y])
    return pts + rng.normal(0.0, noise, pts.shape)


ARC_RADII = (50.0, 80.0, 120.0, 60.0, 100.0)


def noisy_arcs(n: int, noise: float = 0.01, seed: int = 3, sweep: float = 1.5) -> np.ndarray:
    """Consecutive circular arcs (alternating turn direction), each sweeping
    `sweep` radians and joined with a continuous tangent, plus Gaussian noise."""
    rng = np.random.default_rng(seed)
    counts = np.full(len(ARC_RADII), n // len(ARC_RADII))
    counts[: n - counts.sum()] += 1
    out = []
    start = np.zeros(2)
    heading = 0.0
    for k, (radius, count) in enumerate(zip(ARC_RADII, counts)):
        sign = 1.0 if k % 2 == 0 else -1.0
        # centre lies to the left (sign 1) or right (sign -1) of the heading
        centre = start + sign * radius * np.array([-np.sin(heading), np.cos(heading)])
        phi0 = np.arctan2(start[1] - centre[1], start[0] - centre[0])
        # the end point of one arc is the start of the next, so it is not repeated
        phis = phi0 + sign * sweep * np.arange(1, count + 1) / count
        arc = centre + radius * np.column_stack([np.cos(phis), np.sin(phis)])
        out.append(arc)
        start = arc[-1]
        heading += sign * sweep
    pts = np.concatenate(out)
    return pts + rng.normal(0.0, noise, pts.shape)


def with_backward_steps(pts: np.ndarray, fraction: float = 0.01, seed: int = 4):
    """Replaces a `fraction` of the points by a point halfway back along the
    previous segment, so the path steps back and then forward again.

    Returns the corrupted copy and the indices changed (at least four apart, so
    that each backward step stands alone).
    """
    rng = np.random.default_rng(seed)
    n = len(pts)
    count = int(n * fraction)
    slots = np.sort(rng.choice((n - 5) // 4, size=count, replace=False))
    idx = slots * 4 + 3
    out = pts.copy()
    out[idx] = pts[idx - 2] + 0.5 * (pts[idx - 1] - pts[idx - 2])
    return out, idx


def with_backward_run(pts: np.ndarray, fraction: float = 0.1, step: float = 0.01):
    """Keeps n points but puts a run of `fraction` of them, each `step` further
    back along the heading at the run's start, before the path goes on: a
    repair eats such a run from both ends, two points per pass.

    Returns the corrupted copy and the slice of it that holds the run.
    """
    n = len(pts)
    length = int(n * fraction)
    a = (n - length) // 2
    heading = pts[a] - pts[a - 1]
    heading = heading / np.hypot(*heading)
    run = pts[a] - step * np.arange(1, length + 1)[:, None] * heading
    return np.vstack([pts[: a + 1], run, pts[a + 1 : n - length]]), slice(a + 1, a + 1 + length)
