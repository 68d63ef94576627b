"""Longitude and latitude to a local metric frame, one frame per track.

The frame is the east-north tangent plane of the WGS84 ellipsoid at the
track's mean position: points go to earth-centred coordinates and are rotated
into east, north and up, and up is dropped. The scale error grows with the
square of the distance from the origin (below 1e-6 for a track 10 km across),
and the frame has no seam at the antimeridian and no blow-up near the poles.
"""
from __future__ import annotations

import numpy as np

SEMI_MAJOR_AXIS = 6378137.0
FLATTENING = 1.0 / 298.257223563
ECCENTRICITY_SQUARED = FLATTENING * (2.0 - FLATTENING)


def _earth_centred(lon_rad, lat_rad):
    sin_lat = np.sin(lat_rad)
    prime_vertical = SEMI_MAJOR_AXIS / np.sqrt(1.0 - ECCENTRICITY_SQUARED * sin_lat * sin_lat)
    cos_lat = np.cos(lat_rad)
    return (prime_vertical * cos_lat * np.cos(lon_rad),
            prime_vertical * cos_lat * np.sin(lon_rad),
            prime_vertical * (1.0 - ECCENTRICITY_SQUARED) * sin_lat)


def to_local_metric(lon, lat):
    """(east, north, origin_lon, origin_lat) in metres and degrees for finite
    coordinates in degrees."""
    lon_rad = np.radians(np.asarray(lon, dtype=np.float64))
    lat_rad = np.radians(np.asarray(lat, dtype=np.float64))
    ex, ey, ez = _earth_centred(lon_rad, lat_rad)
    # The mean lies inside the ellipsoid; its direction gives an origin near
    # every point, which is all the frame needs.
    mx, my, mz = ex.mean(), ey.mean(), ez.mean()
    origin_lon = np.arctan2(my, mx)
    origin_lat = np.arctan2(mz, (1.0 - ECCENTRICITY_SQUARED) * np.hypot(mx, my))
    ox, oy, oz = _earth_centred(origin_lon, origin_lat)
    dx, dy, dz = ex - ox, ey - oy, ez - oz
    sin_lon, cos_lon = np.sin(origin_lon), np.cos(origin_lon)
    sin_lat, cos_lat = np.sin(origin_lat), np.cos(origin_lat)
    east = -sin_lon * dx + cos_lon * dy
    north = -sin_lat * cos_lon * dx - sin_lat * sin_lon * dy + cos_lat * dz
    return east, north, float(np.degrees(origin_lon)), float(np.degrees(origin_lat))
