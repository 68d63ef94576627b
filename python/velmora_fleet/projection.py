"""Longitude and latitude to local metric frames, and back.

A frame is the east-north tangent plane of the WGS84 ellipsoid at an origin:
points go to earth-centred coordinates and are rotated into east, north and
up, and up is dropped. There is no seam at the antimeridian and no blow-up
near the poles. Lengths shrink by the cosine of the angle from the origin
(seen from the earth's centre): under 8e-6 within 25 km of it, 3e-5 at 50 km,
2.5e-2 at 2,500 km. So a path is run in one frame at its mean position while
it lies within FRAME_RADIUS of it, and otherwise in pieces that each lie
within PIECE_RADIUS of their first point (so within FRAME_RADIUS of their
own mean), joined at a shared record.

The inverse is exact up to rounding: the point of the ellipsoid that
projects onto (east, north) is found by solving the quadratic along the
frame's up axis, then converted to latitude by Bowring's iteration.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

SEMI_MAJOR_AXIS = 6378137.0
FLATTENING = 1.0 / 298.257223563
ECCENTRICITY_SQUARED = FLATTENING * (2.0 - FLATTENING)
SEMI_MINOR_AXIS = SEMI_MAJOR_AXIS * (1.0 - FLATTENING)
FRAME_RADIUS = 25_000.0  # metres from a frame's origin within which lengths stay within 1e-5
PIECE_RADIUS = FRAME_RADIUS / 2


def _earth_centred(lon_rad, lat_rad):
    sin_lat = np.sin(lat_rad)
    prime_vertical = SEMI_MAJOR_AXIS / np.sqrt(1.0 - ECCENTRICITY_SQUARED * sin_lat * sin_lat)
    cos_lat = np.cos(lat_rad)
    return (
        prime_vertical * cos_lat * np.cos(lon_rad),
        prime_vertical * cos_lat * np.sin(lon_rad),
        prime_vertical * (1.0 - ECCENTRICITY_SQUARED) * sin_lat,
    )


@dataclass(frozen=True)
class Frame:
    """The tangent plane at an origin (radians)."""

    lon: float
    lat: float

    @property
    def origin_degrees(self) -> tuple[float, float]:
        return float(np.degrees(self.lon)), float(np.degrees(self.lat))

    def _axes(self):
        sin_lon, cos_lon = np.sin(self.lon), np.cos(self.lon)
        sin_lat, cos_lat = np.sin(self.lat), np.cos(self.lat)
        east = (-sin_lon, cos_lon, 0.0)
        north = (-sin_lat * cos_lon, -sin_lat * sin_lon, cos_lat)
        up = (cos_lat * cos_lon, cos_lat * sin_lon, sin_lat)
        return east, north, up

    def forward(self, lon, lat) -> tuple[np.ndarray, np.ndarray]:
        """(east, north) in metres of points in degrees."""
        ex, ey, ez = _earth_centred(
            np.radians(np.asarray(lon, dtype=np.float64)), np.radians(np.asarray(lat, dtype=np.float64))
        )
        ox, oy, oz = _earth_centred(self.lon, self.lat)
        dx, dy, dz = ex - ox, ey - oy, ez - oz
        sin_lon, cos_lon = np.sin(self.lon), np.cos(self.lon)
        sin_lat, cos_lat = np.sin(self.lat), np.cos(self.lat)
        east = -sin_lon * dx + cos_lon * dy
        north = -sin_lat * cos_lon * dx - sin_lat * sin_lon * dy + cos_lat * dz
        return east, north

    def inverse(self, east, north) -> tuple[np.ndarray, np.ndarray]:
        """(lon, lat) in degrees of the ellipsoid's points that project onto (east, north)."""
        east = np.asarray(east, dtype=np.float64)
        north = np.asarray(north, dtype=np.float64)
        (e1, e2, e3), (n1, n2, n3), (u1, u2, u3) = self._axes()
        ox, oy, oz = _earth_centred(self.lon, self.lat)
        qx, qy, qz = ox + east * e1 + north * n1, oy + east * e2 + north * n2, oz + east * e3 + north * n3
        a2, b2 = SEMI_MAJOR_AXIS**2, SEMI_MINOR_AXIS**2
        # |q + u·up| on the ellipsoid: A u² + B u + C = 0; the root near 0 is the surface below q.
        quad = (u1 * u1 + u2 * u2) / a2 + u3 * u3 / b2
        half_linear = (qx * u1 + qy * u2) / a2 + qz * u3 / b2
        constant = (qx * qx + qy * qy) / a2 + qz * qz / b2 - 1.0
        up = -constant / (half_linear + np.sqrt(half_linear * half_linear - quad * constant))
        x, y, z = qx + up * u1, qy + up * u2, qz + up * u3
        return np.degrees(np.arctan2(y, x)), np.degrees(_latitude(x, y, z))


def _latitude(x, y, z):
    """Geodetic latitude (radians) of earth-centred points on or near the ellipsoid."""
    p = np.hypot(x, y)
    second_eccentricity_squared = ECCENTRICITY_SQUARED / (1.0 - ECCENTRICITY_SQUARED)
    beta = np.arctan2(z * SEMI_MAJOR_AXIS, p * SEMI_MINOR_AXIS)
    for _ in range(3):  # Bowring: each step multiplies the error by about e², 1e-3
        lat = np.arctan2(
            z + second_eccentricity_squared * SEMI_MINOR_AXIS * np.sin(beta) ** 3,
            p - ECCENTRICITY_SQUARED * SEMI_MAJOR_AXIS * np.cos(beta) ** 3,
        )
        beta = np.arctan2((1.0 - FLATTENING) * np.sin(lat), np.cos(lat))
    return lat


def frame_at_mean(lon, lat) -> Frame:
    """The frame at the points' mean position. The mean of earth-centred
    points lies inside the ellipsoid; its direction gives an origin near
    every point, which is all a frame needs."""
    ex, ey, ez = _earth_centred(
        np.radians(np.asarray(lon, dtype=np.float64)), np.radians(np.asarray(lat, dtype=np.float64))
    )
    mx, my, mz = ex.mean(), ey.mean(), ez.mean()
    return Frame(
        float(np.arctan2(my, mx)), float(np.arctan2(mz, (1.0 - ECCENTRICITY_SQUARED) * np.hypot(mx, my)))
    )


def to_local_metric(lon, lat):
    """(east, north, origin_lon, origin_lat): metres in the frame at the
    points' mean, and that origin in degrees."""
    frame = frame_at_mean(lon, lat)
    east, north = frame.forward(lon, lat)
    return (east, north) + frame.origin_degrees


def pieces(lon, lat) -> list[tuple[int, int]]:
    """Index ranges [start, stop) to run in frames of their own: the whole
    path while it lies within FRAME_RADIUS of its mean, else consecutive
    pieces each within PIECE_RADIUS of its first point, each piece starting
    at the previous one's last record so that they join."""
    lon = np.asarray(lon, dtype=np.float64)
    lat = np.asarray(lat, dtype=np.float64)
    ex, ey, ez = _earth_centred(np.radians(lon), np.radians(lat))
    frame = frame_at_mean(lon, lat)
    ox, oy, oz = _earth_centred(frame.lon, frame.lat)
    if np.max(np.sqrt((ex - ox) ** 2 + (ey - oy) ** 2 + (ez - oz) ** 2), initial=0.0) <= FRAME_RADIUS:
        return [(0, len(lon))]
    ranges, start, n = [], 0, len(lon)
    while start < n - 1:
        chord = np.sqrt(
            (ex[start:] - ex[start]) ** 2 + (ey[start:] - ey[start]) ** 2 + (ez[start:] - ez[start]) ** 2
        )
        beyond = np.flatnonzero(chord > PIECE_RADIUS)
        stop = start + int(beyond[0]) if beyond.size else n
        stop = max(stop, start + 2)  # a record farther than the radius from the last still joins
        ranges.append((start, stop))
        start = stop - 1
    return ranges
