"""The statistics of a trip's motion: how noisy its records are, which of
them no plausible motion reaches, where each record lies along the smoothed
path, and a smooth distance-over-time profile through those places.

Positions and time are estimated apart, as the records carry them: the
path's geometry is smoothed in space (see trip_geometry), and time enters
through one profile s(t) of distance along that path, the posterior mean of
motion with white acceleration (a cubic smoothing spline) that never goes
backwards. Its speed is s'(t) and its acceleration s''(t), both smooth
between records, where the records' own differences are not.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

try:
    from velmora import fit_distance_profile
except ImportError:  # SCRATCH-SHIM: until the module has it
    import sys as _sys

    _sys.path.insert(0, "/work/scratch")
    from profile_ref import fit as _fit

    def fit_distance_profile(t, z, sigma, q, monotone=True):
        return _fit(t, z, sigma, q, monotone)


NOISE_MIN = 0.01  # m: exact records (planned paths) still get a well-posed profile
# Residuals over spans longer than this carry the motion between the records
# (turns, changes of speed) rather than their noise.
NOISE_SPAN = 60.0
OUTLIER_SIGMAS = 5.0  # beyond noise and plausible acceleration, in noise's own units
OUTLIER_PASSES = 3  # a record next to an outlier is judged again once the outlier is gone


def estimate_noise(t: np.ndarray, x: np.ndarray, y: np.ndarray) -> float:
    """The records' noise per axis (metres), or NaN where too few records lie
    close enough in time to tell. Each interior record is compared with the
    cubic in time through the two records on either side of it, which
    follows turns and changes of speed over short spans; for white noise of
    sigma per axis the residual is sqrt(1 + sum of the squared weights)
    sigma per axis. The lower quartile of the normalised residuals' lengths
    (a Rayleigh quartile, 0.7585 sigma) is robust to the residuals that
    motion inflates in tight turns and to outliers."""
    n = len(t)
    if n < 7:
        return math.nan
    nodes = (0, 1, 3, 4)
    at = t[2:-2]
    weights = []
    for j in nodes:
        w = np.ones_like(at)
        for m in nodes:
            if m != j:
                w = w * (at - t[m : n - 4 + m]) / (t[j : n - 4 + j] - t[m : n - 4 + m])
        weights.append(w)
    px = sum(w * x[k : n - 4 + k] for w, k in zip(weights, nodes))
    py = sum(w * y[k : n - 4 + k] for w, k in zip(weights, nodes))
    gain = np.sqrt(1.0 + sum(w * w for w in weights))
    short = (t[4:] - t[:-4]) <= NOISE_SPAN
    residual = (np.hypot(x[2:-2] - px, y[2:-2] - py) / gain)[short]
    if len(residual) < 5:
        return math.nan
    return float(np.percentile(residual, 25) / 0.7585)


def outliers(
    t: np.ndarray, x: np.ndarray, y: np.ndarray, noise: float, max_acceleration: float
) -> np.ndarray:
    """Records that no plausible motion through their neighbours reaches:
    farther from the linear interpolation in time of the records on either
    side than the noise (OUTLIER_SIGMAS of it) and an acceleration of
    max_acceleration (turns included) allow. Only the worst record of a
    neighbourhood is taken in a pass (its neighbours' residuals carry part of
    its own); the first and last records are judged against the two beyond
    them. Genuine turns, however sharp, stay: the test allows the motion
    that acceleration makes possible in the time between the records."""
    dropped = np.zeros(len(t), dtype=bool)
    for _ in range(OUTLIER_PASSES):
        kept = np.flatnonzero(~dropped)
        if len(kept) < 4:
            break
        excess = _interpolation_excess(t[kept], x[kept], y[kept], noise, max_acceleration)
        worst = excess > 1.0
        if not worst.any():
            break
        left, right = np.r_[0.0, excess[:-1]], np.r_[excess[1:], 0.0]
        worst &= (excess >= left) & (excess >= right)
        dropped[kept[worst]] = True
    return dropped


def _interpolation_excess(t, x, y, noise, max_acceleration) -> np.ndarray:
    """Each record's distance from what its neighbours predict, over what
    noise and acceleration allow (above 1: implausible)."""
    n = len(t)
    # interior: between the records before and after; the ends: from the two beside them
    before = np.r_[1, np.arange(0, n - 2), n - 3]
    after = np.r_[2, np.arange(2, n), n - 2]
    t0, t1 = t[before], t[after]
    w = (t - t0) / (t1 - t0)
    px, py = x[before] + w * (x[after] - x[before]), y[before] + w * (y[after] - y[before])
    residual = np.hypot(x - px, y - py)
    motion = max_acceleration * np.abs((t - t0) * (t - t1)) / 2.0
    spread = noise * np.sqrt(1.0 + w * w + (1.0 - w) ** 2)
    return residual / (motion + OUTLIER_SIGMAS * spread)


def hermite(tk, sk, vk, t):
    """The cubic Hermite through (tk, sk) with slopes vk, at t (inside [tk[0], tk[-1]])."""
    k = np.clip(np.searchsorted(tk, t, side="right") - 1, 0, len(tk) - 2)
    h = tk[k + 1] - tk[k]
    u = (t - tk[k]) / h
    ds = sk[k + 1] - sk[k]
    m0, m1 = vk[k] * h, vk[k + 1] * h
    c2, c3 = 3.0 * ds - 2.0 * m0 - m1, m0 + m1 - 2.0 * ds
    return sk[k] + ((c3 * u + c2) * u + m0) * u


def smoothed_in_time(t, x, y, sigma: np.ndarray, acceleration: float):
    """x(t), y(t) as cubic smoothing splines (the posterior mean of motion
    with white acceleration of scale `acceleration`, records with noise
    sigma per axis): values and slopes at the records."""
    q = acceleration * acceleration
    sx, vx = fit_distance_profile(t, x, sigma, q, False)
    sy, vy = fit_distance_profile(t, y, sigma, q, False)
    return np.asarray(sx), np.asarray(vx), np.asarray(sy), np.asarray(vy)


def densified(t, sx, vx, sy, vy, step: float, max_per_gap: int):
    """The smoothed positions at the records, and between two records every
    about `step` metres (at most max_per_gap points per gap); and each
    record's index among them."""
    gap = np.hypot(np.diff(sx), np.diff(sy))
    count = np.clip(np.ceil(gap / step), 1, max_per_gap).astype(np.int64)
    index = np.r_[0, np.cumsum(count)]
    if index[-1] == len(t) - 1:
        return sx, sy, index
    gap_of = np.repeat(np.arange(len(gap)), count)
    fraction = (np.arange(index[-1]) - index[:-1][gap_of]) / count[gap_of]
    times = np.r_[t[:-1][gap_of] + fraction * np.diff(t)[gap_of], t[-1]]
    x, y = hermite(t, sx, vx, times), hermite(t, sy, vy, times)
    x[index], y[index] = sx, sy  # exactly the smoothed records
    return x, y, index


def places(px, py, along, x, y, index) -> np.ndarray:
    """Each record's distance along the polyline (px, py) (cumulative length
    `along`) where it projects onto it, searched among the segments near the
    record's own point `index` (smoothing moves points along the path, so the
    nearest segment may be a few points away)."""
    n = len(px)
    if n < 2:
        return np.zeros(len(x))
    reach = 2 * int(np.max(np.diff(index), initial=1)) + 2
    seg = np.clip(index[:, None] + np.arange(-reach, reach + 1)[None, :], 0, n - 2)
    ax, ay = px[seg], py[seg]
    dx, dy = px[seg + 1] - ax, py[seg + 1] - ay
    length2 = dx * dx + dy * dy
    with np.errstate(invalid="ignore", divide="ignore"):
        u = ((x[:, None] - ax) * dx + (y[:, None] - ay) * dy) / length2
    u = np.where(length2 > 0, np.clip(u, 0.0, 1.0), 0.0)
    distance = np.hypot(x[:, None] - (ax + u * dx), y[:, None] - (ay + u * dy))
    best = np.argmin(distance, axis=1)
    rows = np.arange(len(x))
    start = seg[rows, best]
    return along[start] + u[rows, best] * (along[start + 1] - along[start])


@dataclass
class Profile:
    """Distance s along the path over time t, never decreasing: the knots
    (times, distances, speeds) of a piecewise cubic whose pieces are kept
    monotone."""

    t: np.ndarray
    s: np.ndarray
    v: np.ndarray

    @classmethod
    def fit(cls, t, z, noise: float, acceleration: float) -> "Profile":
        if len(t) < 2:
            return cls(np.asarray(t, float), np.asarray(z, float), np.zeros(len(t)))
        outcome = fit_distance_profile(t, z, np.full(len(t), noise), acceleration * acceleration, True)
        if outcome is None:  # the solver failed: the records' own places, joined by straight pieces
            s = np.maximum.accumulate(np.asarray(z, float))
            v = np.gradient(s, t)
            return cls(np.asarray(t, float), s, v)
        s = np.maximum.accumulate(np.asarray(outcome[0]))  # rounding: never backwards
        return cls(np.asarray(t, float), s, np.maximum(np.asarray(outcome[1]), 0.0))

    def _pieces(self, k):
        """Coefficients of piece k in u = (t - t_k) / h: s = c0 + c1 u + c2 u² + c3 u³.
        Slopes too steep for a monotone piece are shrunk (Fritsch and Carlson)."""
        h = self.t[k + 1] - self.t[k]
        ds = self.s[k + 1] - self.s[k]
        m0, m1 = self.v[k] * h, self.v[k + 1] * h
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = np.hypot(m0, m1) / ds
        shrink = np.where((ds > 0) & (ratio > 3.0), 3.0 / ratio, 1.0)
        m0, m1 = np.where(ds > 0, m0 * shrink, 0.0), np.where(ds > 0, m1 * shrink, 0.0)
        return h, self.s[k], m0, 3.0 * ds - 2.0 * m0 - m1, m0 + m1 - 2.0 * ds

    @staticmethod
    def _derivatives(h, u, c1, c2, c3):
        speed = ((3.0 * c3 * u + 2.0 * c2) * u + c1) / h
        return np.maximum(speed, 0.0), (6.0 * c3 * u + 2.0 * c2) / (h * h)

    def at(self, times):
        """Distance, speed and acceleration at the given times (within the knots)."""
        k = np.clip(np.searchsorted(self.t, times, side="right") - 1, 0, len(self.t) - 2)
        h, c0, c1, c2, c3 = self._pieces(k)
        u = np.clip((times - self.t[k]) / h, 0.0, 1.0)
        return (c0 + ((c3 * u + c2) * u + c1) * u, *self._derivatives(h, u, c1, c2, c3))

    def when(self, distances):
        """Time, speed and acceleration where the profile first reaches each
        distance (within [s[0], s[-1]]): each monotone piece inverted by
        Newton's method kept inside a bracket."""
        k = np.clip(np.searchsorted(self.s, distances, side="right") - 1, 0, len(self.t) - 2)
        h, c0, c1, c2, c3 = self._pieces(k)
        ds = self.s[k + 1] - c0
        goal = distances - c0
        moving = ds > 0
        u = np.where(moving, np.clip(goal / np.where(moving, ds, 1.0), 0.0, 1.0), 0.0)
        low, high = np.zeros_like(u), np.ones_like(u)
        tolerance = 1e-12 * (np.abs(c0) + np.abs(ds) + 1.0)
        for _ in range(60):
            f = ((c3 * u + c2) * u + c1) * u - goal
            done = ~moving | (np.abs(f) <= tolerance) | (high - low <= 1e-15)
            if done.all():
                break
            low, high = np.where(f < 0, u, low), np.where(f > 0, u, high)
            slope = (3.0 * c3 * u + 2.0 * c2) * u + c1
            with np.errstate(invalid="ignore", divide="ignore"):
                step = u - f / slope
            newton = np.isfinite(step) & (step > low) & (step < high)
            u = np.where(done, u, np.where(newton, step, 0.5 * (low + high)))
        u = np.where(moving, u, 0.0)
        return (self.t[k] + u * h, *self._derivatives(h, u, c1, c2, c3))


LAG_SECONDS = (1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0)


def motion_scales(t, x, y):
    """(noise², along², across²): the records' noise variance per axis and the
    densities q of white acceleration along and across the path, from the
    records' second differences at several lags. A second divided difference
    over lags d1, d2 has expected square sigma² gn + q gm, with
    gn = (2/(d1+d2))² (1/d2² + (1/d1+1/d2)² + 1/d1²) from the noise and
    gm = 4 / (3 (d1+d2)) from motion with white acceleration; both parts
    are fitted by least squares weighted by the expected square's inverse."""
    n = len(t)
    step = float(np.median(np.diff(t))) if n > 1 else 1.0
    lags = sorted({max(1, int(round(s / step))) for s in LAG_SECONDS})
    lags = [k for k in lags if 2 * k < n]
    if not lags:
        return math.nan, math.nan, math.nan
    rows = []
    for k in lags:
        d1, d2 = t[k:-k] - t[: -2 * k], t[2 * k :] - t[k:-k]
        ax = 2.0 * ((x[2 * k :] - x[k:-k]) / d2 - (x[k:-k] - x[: -2 * k]) / d1) / (d1 + d2)
        ay = 2.0 * ((y[2 * k :] - y[k:-k]) / d2 - (y[k:-k] - y[: -2 * k]) / d1) / (d1 + d2)
        cx, cy = x[2 * k :] - x[: -2 * k], y[2 * k :] - y[: -2 * k]
        chord = np.hypot(cx, cy)
        chord[chord == 0] = 1.0
        ux, uy = cx / chord, cy / chord
        along, across = ax * ux + ay * uy, ax * uy - ay * ux
        gn = (2.0 / (d1 + d2)) ** 2 * (1.0 / d2**2 + (1.0 / d1 + 1.0 / d2) ** 2 + 1.0 / d1**2)
        gm = 4.0 / (3.0 * (d1 + d2))
        rows.append((gn, gm, along * along, across * across))
    gn = np.concatenate([r[0] for r in rows])
    gm = np.concatenate([r[1] for r in rows])
    a2 = np.concatenate([r[2] for r in rows])
    c2 = np.concatenate([r[3] for r in rows])
    # the largest squares are outliers' (a record far off inflates every difference it enters)
    keep = (a2 <= np.quantile(a2, 0.99)) & (c2 <= np.quantile(c2, 0.99))
    gn, gm, a2, c2 = gn[keep], gm[keep], a2[keep], c2[keep]
    # unknowns: sigma², q_along, q_across; equations: E a2 = s gn + qa gm, E c2 = s gn + qc gm
    zero = np.zeros_like(gn)
    design = np.r_[np.c_[gn, gm, zero], np.c_[gn, zero, gm]]
    target = np.r_[a2, c2]
    weight = 1.0 / np.maximum(target.mean(), 1e-30) * np.ones_like(target)
    solution = np.zeros(3)
    for _ in range(4):
        w = np.sqrt(weight)
        solution, *_ = np.linalg.lstsq(design * w[:, None], target * w, rcond=None)
        solution = np.maximum(solution, 0.0)
        expected = design @ solution
        weight = 1.0 / np.maximum(expected, 1e-12 * expected.max() + 1e-30) ** 2
    return float(solution[0]), float(solution[1]), float(solution[2])
