"""Longitudes at the antimeridian: output longitudes in [-180, 180), lines
split where they cross ±180°, and the longitude range of a path across it.

A trip's consecutive output points lie metres apart (kilometres at most,
once simplified), so a step of more than 180° of longitude between them is
a crossing of the antimeridian, never a path around the world the long way.
Where a path crosses, it is split there (as RFC 7946 asks of GeoJSON, and
so that planar readers do not draw it across the whole map), with the
crossing interpolated onto the seam on both sides; its longitude range then
runs from a west end greater than its east end (RFC 7946's bounding box,
which GeoParquet's bbox follows).
"""

from __future__ import annotations

import numpy as np


def normalised(lon) -> np.ndarray:
    """Longitudes in [-180, 180): 180 becomes -180 (the same meridian);
    values already in range are returned as they are, bit for bit."""
    lon = np.asarray(lon, dtype=np.float64)
    return np.where(lon >= 180.0, lon - 360.0, np.where(lon < -180.0, lon + 360.0, lon))


def crossings(lon: np.ndarray) -> np.ndarray:
    """Indices i whose step to i + 1 crosses the antimeridian."""
    return np.flatnonzero(np.abs(np.diff(lon)) > 180.0)


def longitude_range(lon: np.ndarray) -> tuple[float, float]:
    """(west, east) of the path's longitudes: min and max where it does not
    cross the antimeridian; across it, the ends of the arc it sweeps, west >
    east; (-180, 180) where it sweeps all the way round."""
    if not len(lon):
        return np.nan, np.nan
    if not crossings(lon).size:
        return float(lon.min()), float(lon.max())
    steps = np.diff(lon)
    unwrapped = lon[0] + np.r_[0.0, np.cumsum(steps - 360.0 * np.round(steps / 360.0))]
    low, high = unwrapped.min(), unwrapped.max()
    if high - low >= 360.0:
        return -180.0, 180.0
    return float(normalised(low)), float(normalised(high))


def split(lon: np.ndarray, lat: np.ndarray, m: np.ndarray) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """The line (lon, lat, with a measure m per vertex, such as time) as the
    parts between its crossings of the antimeridian: each part ends on the
    seam (180 going east, -180 going west) where the next starts on the other
    side, at the latitude and measure interpolated there. A line that does
    not cross comes back whole and unchanged."""
    at = crossings(lon)
    if not at.size:
        return [(lon, lat, m)]
    before, after = lon[at], lon[at + 1]
    seam = np.where(after < before, 180.0, -180.0)  # going east, the seam is met at +180
    fraction = (seam - before) / (after + 2.0 * seam - before)  # `after` continued past the seam
    seam_lat = lat[at] + fraction * (lat[at + 1] - lat[at])
    seam_m = m[at] + fraction * (m[at + 1] - m[at])
    bounds = np.r_[0, at + 1, len(lon)]  # the vertices of each part
    parts = []
    for k in range(len(bounds) - 1):  # a loop per part: a trip crosses a few times at most
        take = slice(bounds[k], bounds[k + 1])
        head = (-seam[k - 1], seam_lat[k - 1], seam_m[k - 1]) if k else ((), (), ())
        tail = (seam[k], seam_lat[k], seam_m[k]) if k < len(at) else ((), (), ())
        parts.append(tuple(np.r_[h, v[take], t] for h, v, t in zip(head, (lon, lat, m), tail)))
    return [part for part in map(_without_repeats, parts) if len(part[0]) >= 2]


def _without_repeats(part):
    """A seam point that falls on a vertex (a vertex on the seam, or within
    rounding of it: the same measure) is left out, so that m increases."""
    lon, lat, m = part
    same = np.r_[False, m[1:] == m[:-1]]
    return (lon[~same], lat[~same], m[~same]) if same.any() else part
