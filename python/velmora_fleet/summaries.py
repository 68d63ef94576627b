"""A trip's summary for its row in tracks.parquet: its fastest speed and its
extent, from its output points as written (simplified ones keep the fastest,
and lie within the tolerance of the full output's extent)."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .antimeridian import longitude_range, normalised

NAN = math.nan


@dataclass(frozen=True)
class TripSummary:
    max_speed: float = NAN
    x_min: float = NAN
    x_max: float = NAN
    y_min: float = NAN
    y_max: float = NAN
    lon_min: float = NAN  # the west end: greater than lon_max for a trip across the antimeridian
    lon_max: float = NAN
    lat_min: float = NAN
    lat_max: float = NAN


def summarise(geometry) -> TripSummary:
    if not len(geometry.s):
        return TripSummary()
    speed = geometry.speed[np.isfinite(geometry.speed)]
    lon = normalised(geometry.lon)
    west, east = longitude_range(lon) if np.isfinite(lon).all() else (NAN, NAN)
    lat = geometry.lat
    return TripSummary(
        float(speed.max()) if speed.size else NAN,
        float(geometry.x.min()),
        float(geometry.x.max()),
        float(geometry.y.min()),
        float(geometry.y.max()),
        west,
        east,
        float(lat.min()) if np.isfinite(west) else NAN,
        float(lat.max()) if np.isfinite(west) else NAN,
    )
