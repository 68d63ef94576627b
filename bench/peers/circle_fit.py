"""Taubin circle fit and circle-segment decomposition written with numpy."""

from __future__ import annotations

import numpy as np


class FitFailed(RuntimeError):
    pass


def _inverse(r: float) -> float:
    return float(np.float64(1.0) / np.float64(r)) if r else float("inf")


def taubin(x: np.ndarray, y: np.ndarray) -> tuple[float, float, float, float]:
    """Centre x, centre y, radius and RMSE of the Taubin fit (SVD form)."""
    if len(x) == 0 or len(y) == 0:
        raise FitFailed("empty run")
    mx, my = x.mean(), y.mean()
    X, Y = x - mx, y - my
    Z = X * X + Y * Y
    zm = Z.mean()
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = 2.0 * np.sqrt(zm)
        z0 = (Z - zm) / scale
        try:
            vt = np.linalg.svd(np.column_stack((z0, X, Y)), full_matrices=False)[2]
        except np.linalg.LinAlgError as exc:
            raise FitFailed(str(exc)) from exc
        a0, a1, a2 = vt[2]
        a0 = a0 / scale
        a3 = -zm * a0
        cx = mx + (a1 * -0.5) / a0
        cy = my + (a2 * -0.5) / a0
        r = np.sqrt(a1 * a1 + a2 * a2 - 4.0 * a0 * a3) * 0.5 / abs(a0)
        e = np.sqrt((x - cx) ** 2 + (y - cy) ** 2) - r
        rmse = np.sqrt(np.sum(e * e) / len(x))
    return float(cx), float(cy), float(r), float(rmse)


def segments(x: np.ndarray, y: np.ndarray, start: int, end: int, max_rmse: float = 0.15):
    """Recursive halving with one junction merge per split; list of (start, end, 1/r)."""
    if end - start < 3:
        return [(start, end, 0.0)]
    _, _, r, rmse = taubin(x[start:end], y[start:end])
    if max_rmse >= rmse:
        return [(start, end, _inverse(r))]
    mid = start + (end - start) // 2
    left = segments(x, y, start, mid, max_rmse)
    right = segments(x, y, mid, end, max_rmse)
    g, h = left[-1][0], right[0][1]
    _, _, r, rmse = taubin(x[g:h], y[g:h])
    if max_rmse >= rmse:
        left[-1] = (g, h, _inverse(r))
        left.extend(right[1:])
    else:
        left.extend(right)
    return left


def curvature(x: np.ndarray, y: np.ndarray, max_rmse: float = 0.15) -> np.ndarray:
    """Per-point curvature: each point takes the curvature of its segment."""
    segs = segments(x, y, 0, len(x), max_rmse)
    out = np.empty(len(x))
    for s, e, k in segs:
        out[s:e] = k
    return out
