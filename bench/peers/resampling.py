"""Equidistant resampling by number of points, as a numpy or scipy user writes it."""

from __future__ import annotations

import numpy as np


def cumulative_length(pts: np.ndarray) -> np.ndarray:
    steps = np.hypot(np.diff(pts[:, 0]), np.diff(pts[:, 1]))
    return np.concatenate(([0.0], np.cumsum(steps)))


def linear(pts: np.ndarray, count: int) -> np.ndarray:
    cum = cumulative_length(pts)
    grid = np.linspace(0.0, cum[-1], count)
    return np.column_stack((np.interp(grid, cum, pts[:, 0]), np.interp(grid, cum, pts[:, 1])))


def cubic(pts: np.ndarray, count: int) -> np.ndarray:
    """scipy's cubic spline (not-a-knot) over the cumulative length; needs
    strictly increasing lengths, that is no repeated consecutive points."""
    from scipy.interpolate import CubicSpline

    cum = cumulative_length(pts)
    grid = np.linspace(0.0, cum[-1], count)
    return CubicSpline(cum, pts, axis=0)(grid)
