"""Fewer output points for the same motion: Douglas–Peucker on the
synchronized distance.

Between two kept points the simplified output moves along a straight
segment at constant speed. Each full output point between them is measured
against where that segment is at the point's own time (the synchronized
distance), not against the nearest point of the segment: so a vessel that
slows down on a straight course keeps the points where its speed changes,
and speeds read from the kept points stay true. The fastest point is
always kept, so the trip's maximum speed is the full output's. Both outputs move linearly
in time between their points, so the distance between them at any instant
is largest at one of the full output's points: within the tolerance there
means within it at every instant, and each path lies within the tolerance
of the other.

A segment is also split where it is more than LENGTH_SHARE shorter than the
path it stands for (where the path winds within the tolerance, as a slow
vessel's drift does), so that a simplified trip is as long as the full one
to within LENGTH_SHARE, whatever its size.

The recursion runs a level at a time: the open segments of a level are
measured in one pass of array operations, and each whose farthest point lies
beyond the tolerance is split there. A level costs O(n) and balanced splits
make O(log n) levels; the Python loop runs once per level, never per point.
Douglas–Peucker keeps few points, not provably the fewest (finding those is
quadratic at best).
"""

from __future__ import annotations

import dataclasses

import numpy as np

from .trip_geometry import TripGeometry

LENGTH_SHARE = 0.004  # a kept segment is at least 99.6% as long as the path between its ends


def kept_indices(
    x, y, seconds, tolerance: float, length_share: float = LENGTH_SHARE, always=()
) -> np.ndarray:
    """Indices of the points to keep (the first, the last and `always`), in
    order, such that every point lies within `tolerance` of where the line
    through the kept points is at its time, and each kept segment is at least
    1 - length_share as long as the path between its ends. `seconds` never
    decreases; its unit does not matter (only ratios of times are used)."""
    x, y, t = (np.asarray(v, dtype=np.float64) for v in (x, y, seconds))
    n = len(x)
    if n <= 2:
        return np.arange(n)
    along = np.r_[0.0, np.cumsum(np.hypot(np.diff(x), np.diff(y)))]
    keep = np.zeros(n, dtype=bool)
    keep[[0, -1, *always]] = True
    anchors = np.flatnonzero(keep)
    starts, ends = anchors[:-1], anchors[1:]
    while True:
        still_open = ends - starts > 1
        starts, ends = starts[still_open], ends[still_open]
        if not starts.size:
            break
        inner = ends - starts - 1  # every open segment holds at least one point
        owner = np.repeat(np.arange(starts.size), inner)
        first = np.cumsum(inner) - inner  # where each segment's points start in the flat arrays
        index = starts[owner] + 1 + np.arange(owner.size) - first[owner]
        error = _synchronized_distance(x, y, t, starts[owner], ends[owner], index)
        error[np.isnan(error)] = np.inf  # a point that cannot be measured is kept
        worst = np.maximum.reduceat(error, first)
        at_worst = np.flatnonzero(error == worst[owner])
        leading = np.r_[True, owner[at_worst[1:]] != owner[at_worst[:-1]]]
        chord = np.hypot(x[ends] - x[starts], y[ends] - y[starts])
        split = (worst > tolerance) | (chord < (1.0 - length_share) * (along[ends] - along[starts]))
        at = index[at_worst[leading]][split]  # each split segment's farthest point (the first, on ties)
        keep[at] = True
        starts = np.concatenate([starts[split], at])
        ends = np.concatenate([at, ends[split]])
    return np.flatnonzero(keep)


def _synchronized_distance(x, y, t, a, b, i) -> np.ndarray:
    """Distance of point i from where the segment a→b is at t[i], moving at
    constant speed from t[a] to t[b]. A segment of no duration has no such
    place: the point's distance from the segment stands in."""
    dx, dy = x[b] - x[a], y[b] - y[a]
    span = t[b] - t[a]
    with np.errstate(divide="ignore", invalid="ignore"):
        timed = (t[i] - t[a]) / span
        length_squared = dx * dx + dy * dy
        nearest = np.where(
            length_squared > 0, ((x[i] - x[a]) * dx + (y[i] - y[a]) * dy) / length_squared, 0.0
        )
    fraction = np.clip(np.where(span > 0, timed, nearest), 0.0, 1.0)
    return np.hypot(x[i] - (x[a] + fraction * dx), y[i] - (y[a] + fraction * dy))


def subset(geometry: TripGeometry, indices: np.ndarray) -> TripGeometry:
    """The trip's geometry at the points `indices`: every per-point field (an
    array as long as `s`) and every per-point array in a dict field (the
    carried columns) is taken at them, whatever fields TripGeometry has; the
    rest (length, counts, origin) is kept as it is."""
    count = len(geometry.s)

    def take(value):
        if isinstance(value, np.ndarray) and value.ndim >= 1 and len(value) == count:
            return value[indices]
        if isinstance(value, dict):
            return {name: take(column) for name, column in value.items()}
        return value

    fields = [f.name for f in dataclasses.fields(geometry) if f.init]
    return dataclasses.replace(geometry, **{name: take(getattr(geometry, name)) for name in fields})


def simplified(geometry: TripGeometry, tolerance: float | None) -> TripGeometry:
    """The trip's geometry at the points kept within `tolerance` metres (see
    kept_indices; None: the geometry as it is), its fastest point among them,
    so that the trip's maximum speed is the full output's. Its length stays
    the full path's; `s`, time, speed and the other columns are the full
    output's values at the kept points."""
    if tolerance is None or len(geometry.s) <= 2:
        return geometry
    finite = np.isfinite(geometry.speed)
    fastest = [int(np.flatnonzero(finite)[np.argmax(geometry.speed[finite])])] if finite.any() else []
    return subset(geometry, kept_indices(geometry.x, geometry.y, geometry.time, tolerance, always=fastest))
