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

from velmora import fit_distance_profile


# Residuals over spans longer than this carry the motion between the records
# (turns, changes of speed) rather than their noise.
NOISE_SPAN = 60.0
OUTLIER_SIGMAS = 5.0  # beyond noise and plausible acceleration, in noise's own units
OUTLIER_PASSES = 3
BACKWARDS = 0.5  # a profile going back by more than this part of the noise is solved under constraints  # a record next to an outlier is judged again once the outlier is gone


def estimate_noise(t: np.ndarray, x: np.ndarray, y: np.ndarray, z=None) -> float:
    """The records' noise per axis (metres), or NaN where too few records lie
    close enough in time to tell. Each interior record is compared with the
    cubic in time through the two records on either side of it, which
    follows turns and changes of speed over short spans; for white noise of
    sigma per axis the residual is sqrt(1 + sum of the squared weights)
    sigma per axis. The lower quartile of the normalised residuals' lengths
    (a Rayleigh quartile, 0.7585 sigma) is robust to the residuals that
    motion inflates in tight turns and to outliers. With z, positions are
    earth-centred (a track too wide for one frame)."""
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
    square = 0.0
    for c in (x, y) if z is None else (x, y, z):
        square = square + (c[2:-2] - sum(w * c[k : n - 4 + k] for w, k in zip(weights, nodes))) ** 2
    gain = np.sqrt(1.0 + sum(w * w for w in weights))
    short = (t[4:] - t[:-4]) <= NOISE_SPAN
    residual = (np.sqrt(square) / gain)[short]
    if len(residual) < 5:
        return math.nan
    return float(np.percentile(residual, 25) / 0.7585)


REST_NOISE_RECORDS = 5  # records a stop needs to tell the noise at rest
REST_NOISE_MIN = 0.5  # m: receivers that repeat one position at rest still scatter on the move


def noise_at_rest(runs: list, x, y, z=None) -> float:
    """The records' noise per axis as their scatter at rest: in each run
    [first, last] (a stop) of at least REST_NOISE_RECORDS records, the steps
    from record to record, whose lengths for white noise of sigma per axis
    have the median 1.1774 sqrt(2) sigma; steps, not positions, so that a
    vessel swinging at anchor counts little. The median over the stops, at
    least REST_NOISE_MIN; NaN without such a stop."""
    medians = []
    for first, last in runs:
        if last - first + 1 >= REST_NOISE_RECORDS:
            part = slice(first, last + 1)
            steps = np.sqrt(sum(np.diff(c[part]) ** 2 for c in ((x, y) if z is None else (x, y, z))))
            medians.append(float(np.median(steps)) / (1.1774 * math.sqrt(2.0)))
    return max(float(np.median(medians)), REST_NOISE_MIN) if medians else math.nan


def outliers(
    t: np.ndarray, x: np.ndarray, y: np.ndarray, noise: float, max_acceleration: float, z=None
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
        excess = _interpolation_excess(
            t[kept], [c[kept] for c in ((x, y) if z is None else (x, y, z))], noise, max_acceleration
        )
        worst = excess > 1.0
        if not worst.any():
            break
        left, right = np.r_[0.0, excess[:-1]], np.r_[excess[1:], 0.0]
        worst &= (excess >= left) & (excess >= right)
        dropped[kept[worst]] = True
    return dropped


OUTLIER_ACCELERATIONS = 8.0  # the most a track is taken to accelerate, in its usual accelerations
OUTLIER_MIN_ACCELERATION = 0.5  # m/s²: ... but never less (a ship's hard turn)
OUTLIER_FALLBACK_ACCELERATION = 10.0  # m/s², a car braking hard: where the records cannot tell


def plausible_acceleration(t, x, y, noise: float, z=None) -> float:
    """The most acceleration a track's records are taken to be capable of:
    OUTLIER_ACCELERATIONS times the larger of the accelerations along and
    across the path that they show (see accelerations)."""
    usual = max(accelerations(t, x, y, noise, z, robust=True))
    if not math.isfinite(usual):
        return OUTLIER_FALLBACK_ACCELERATION
    return max(OUTLIER_ACCELERATIONS * usual, OUTLIER_MIN_ACCELERATION)


def _interpolation_excess(t, coordinates, noise, max_acceleration) -> np.ndarray:
    """Each record's distance from what its neighbours predict, over what
    noise and acceleration allow (above 1: implausible)."""
    n = len(t)
    # interior: between the records before and after; the ends: from the two beside them
    before = np.r_[1, np.arange(0, n - 2), n - 3]
    after = np.r_[2, np.arange(2, n), n - 2]
    t0, t1 = t[before], t[after]
    w = (t - t0) / (t1 - t0)
    residual = np.sqrt(sum((c - c[before] - w * (c[after] - c[before])) ** 2 for c in coordinates))
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


def along_the_curve(t, sx, vx, sy, vy, step: float, per_record: float):
    """Points every `step` metres (at least; at most per_record points per
    record on average) along the cubic in time through the smoothed records
    (sx, sy with slopes vx, vy), measured along the polyline of the smoothed
    records: as many points where records are sparse as where they are
    dense, and none piled up where the records stay in one place. The first
    and the last point are the first and last smoothed record. Returns the
    points and, for each record, the index of the point nearest it."""
    gap = np.hypot(np.diff(sx), np.diff(sy))
    reached = np.r_[0.0, np.cumsum(gap)]
    total = reached[-1]
    if not total > 0:
        return sx[[0, -1]], sy[[0, -1]], np.zeros(len(t), dtype=np.int64)
    count = max(1, int(math.ceil(total / max(step, total / (per_record * len(t))))))
    target = np.linspace(0.0, total, count + 1)
    k = np.clip(np.searchsorted(reached, target, side="right") - 1, 0, len(gap) - 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        fraction = np.where(gap[k] > 0, (target - reached[k]) / gap[k], 0.0)
    times = t[k] + np.clip(fraction, 0.0, 1.0) * (t[k + 1] - t[k])
    x, y = hermite(t, sx, vx, times), hermite(t, sy, vy, times)
    x[0], y[0], x[-1], y[-1] = sx[0], sy[0], sx[-1], sy[-1]
    return x, y, np.rint(reached / total * count).astype(np.int64)


def places(px, py, along, x, y, index) -> np.ndarray:
    """Each record's distance along the polyline (px, py) (cumulative length
    `along`) where it projects onto it, searched among the segments near the
    record's own point `index` (smoothing moves points along the path, so the
    nearest segment may be a few points away)."""
    n = len(px)
    if n < 2:
        return np.zeros(len(x))
    reach = 2 * max(int(np.max(np.diff(index), initial=1)), 1) + 2
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
    def fit(
        cls, t, z, noise: float, acceleration: float, still: list = (), monotone: bool = True
    ) -> "Profile":
        """The profile through the places z at times t, standing still through
        the runs `still` (see held). It goes to the monotone problem (a QP
        through Clarabel) only where the plain cubic smoothing spline, held
        still, would go backwards: mostly it does not, and that solve is O(n)."""
        t = np.asarray(t, dtype=np.float64)
        if len(t) < 2:
            return cls(t, np.asarray(z, float), np.zeros(len(t)))
        sigma = np.full(len(t), noise)
        q = acceleration * acceleration
        profile = cls._solved(t, z, fit_distance_profile(t, z, sigma, q, False)).held(still)
        if monotone and not profile._forwards(BACKWARDS * noise):
            profile = cls._solved(t, z, fit_distance_profile(t, z, sigma, q, True)).held(still)
        # A step back within the tolerance (a record's place is known to its noise) is flattened,
        # and a speed below zero beside a held wait (the spline's overshoot into it) clamped: the
        # pieces stay monotone with their distances never decreasing.
        return cls(t, np.maximum.accumulate(profile.s), np.maximum(profile.v, 0.0))

    @classmethod
    def _solved(cls, t, z, outcome) -> "Profile":
        if outcome is None:  # the solver failed: the records' own places, joined by straight pieces
            s = np.maximum.accumulate(np.asarray(z, float))
            return cls(t, s, np.gradient(s, t))
        return cls(t, np.asarray(outcome[0]), np.asarray(outcome[1]))

    def _forwards(self, tolerance: float) -> bool:
        """Whether the distances never go back by more than `tolerance`."""
        return bool(np.all(np.diff(self.s) >= -tolerance))

    def held(self, runs: list) -> "Profile":
        """The profile standing still through each run [first, last] of
        knots (records that stayed within their noise): one distance, speed
        zero, kept between the distances before and after the run."""
        if not runs:
            return self
        s, v = self.s.copy(), self.v.copy()
        for first, last in runs:
            level = float(np.mean(s[first : last + 1]))
            if first > 0:
                level = max(level, s[first - 1])
            if last + 1 < len(s):
                level = min(level, s[last + 1])
            s[first : last + 1], v[first : last + 1] = level, 0.0
        return Profile(self.t, np.maximum.accumulate(s), v)

    def rests(self) -> list[tuple[float, float, float]]:
        """(arrival, departure, distance) of each stretch of time where the
        profile stands still: speed zero at both ends and no distance between."""
        if len(self.t) < 2:
            return []
        tolerance = 1e-9 * (float(np.max(np.abs(self.s))) + 1.0)
        still = (np.diff(self.s) <= tolerance) & (self.v[:-1] <= tolerance) & (self.v[1:] <= tolerance)
        if not still.any():
            return []
        edges = np.diff(np.r_[0, still.astype(np.int8), 0])
        starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
        return [(float(self.t[a]), float(self.t[b]), float(self.s[a])) for a, b in zip(starts, ends)]

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


ACCELERATION_WIDTHS = 4.0  # the lag at which accelerations are read, in smoothing widths


def accelerations(t, x, y, noise: float, z=None, robust: bool = False):
    """The accelerations along and across the path (m/s², the square roots
    of the densities q of white acceleration) that the records show at the
    time scale the smoothing works at. A second divided difference over
    lags d1, d2 has expected square noise² gn + q gm, with
    gn = (2/(d1+d2))² (1/d2² + (1/d1+1/d2)² + 1/d1²) and
    gm = 4 / (3 (d1+d2)) for white acceleration, so each lag (of 1, 2, 4,
    ... records) gives q. Real accelerations are not white: q grows with
    the lag. It is read at the shortest lag L that is at least
    ACCELERATION_WIDTHS smoothing widths h = (noise² step / q)^(1/4) long,
    the scale over which the smoothing averages. NaN for a trip too short."""
    n = len(t)
    if n < 5:
        return math.nan, math.nan
    step = float(np.median(np.diff(t)))
    coordinates = (x, y) if z is None else (x, y, z)
    result, last = [None, None], [math.nan, math.nan]
    k = 1
    while 2 * k < n and None in result:  # lags in increasing order, until both are read
        d1, d2 = t[k:-k] - t[: -2 * k], t[2 * k :] - t[k:-k]
        scale = 2.0 / (d1 + d2)
        second = [scale * ((c[2 * k :] - c[k:-k]) / d2 - (c[k:-k] - c[: -2 * k]) / d1) for c in coordinates]
        chords = [c[2 * k :] - c[: -2 * k] for c in coordinates]
        chord = np.sqrt(sum(c * c for c in chords))
        chord[chord == 0] = 1.0
        along = sum(a * c for a, c in zip(second, chords)) / chord
        across_squared = np.maximum(sum(a * a for a in second) - along * along, 0.0)
        gn = scale * scale * (1.0 / d2**2 + (1.0 / d1 + 1.0 / d2) ** 2 + 1.0 / d1**2)
        noise_part = noise * noise * float(gn.mean())
        motion_part = float((4.0 / (3.0 * (d1 + d2))).mean())
        lag = float(np.median(d1 + d2)) / 2.0
        for c, square in enumerate((along * along, across_squared)):
            if result[c] is not None:
                continue
            if robust:  # outliers left in: the median square (of a normal variable's, 0.455 of the mean)
                middle = len(square) // 2
                mean = float(np.partition(square, middle)[middle]) / 0.455
            else:  # the largest squares are outliers' (each enters 3 differences)
                top = int(0.99 * (len(square) - 1))
                mean = float(np.minimum(square, np.partition(square, top)[top]).mean())
            q = max(mean - noise_part, 0.0) / motion_part
            last[c] = q
            if q > 0 and lag >= ACCELERATION_WIDTHS * (noise * noise * step / q) ** 0.25:
                result[c] = q
        k *= 2
    values = [last[c] if result[c] is None else result[c] for c in range(2)]
    return tuple(math.sqrt(v) if math.isfinite(v) else math.nan for v in values)


# The spread of a cubic smoothing spline's value at a record, in units of the
# records' noise, against r = step / h, h = (noise² step / q)^(1/4) the
# spline's width in time: computed from the posterior covariance of motion
# with white acceleration observed every `step` (a record in the middle of
# 81); few records within its width leave it near the noise, many average it down.
_SPREAD_R = np.log([0.0316, 0.178, 0.398, 0.577, 1.0, 1.111, 5.62, 31.6])
_SPREAD = np.array([0.118, 0.251, 0.375, 0.452, 0.594, 0.626, 0.993, 1.0])


def smoothed_spread(step: float, noise: float, acceleration: float) -> float:
    """The smoothed positions' spread over the records' noise (0..1]."""
    if not (step > 0 and noise > 0 and acceleration > 0):
        return 1.0
    r = step / (noise * noise * step / (acceleration * acceleration)) ** 0.25
    return float(np.interp(np.log(r), _SPREAD_R, _SPREAD, left=0.66 * math.sqrt(r), right=1.0))
