"""What a track's records go through before any geometry: records that cannot
be used are dropped and counted by reason, jumps are dropped, and stops are
found. All of it works on records in order of time, with times in seconds
and positions in metres."""

from __future__ import annotations

import numpy as np

from .projection import _earth_centred

KEPT, NO_TIME, BAD_POSITION, DUPLICATE, JUMP, OUTLIER = range(6)
REASONS = {
    NO_TIME: "no_time",
    BAD_POSITION: "bad_position",
    DUPLICATE: "duplicate",
    JUMP: "jump",
    OUTLIER: "outlier",
}


def unusable(
    has_time: np.ndarray, a: np.ndarray, b: np.ndarray, seconds: np.ndarray, geographic: bool
) -> np.ndarray:
    """The reason each record is dropped (KEPT for none): no time; a
    coordinate that is not finite or, in degrees, outside lon -180..180,
    lat -90..90; or the time of the record kept before it (the first of
    records with the same time is kept)."""
    reason = np.where(has_time, KEPT, NO_TIME).astype(np.int8)
    bad = ~(np.isfinite(a) & np.isfinite(b))
    if geographic:
        with np.errstate(invalid="ignore"):
            bad |= (np.abs(a) > 180.0) | (np.abs(b) > 90.0)
    reason[(reason == KEPT) & bad] = BAD_POSITION
    if not reason.any():  # the usual case: every record usable; only repeats to find
        if len(seconds) > 1:
            reason[1:][seconds[1:] == seconds[:-1]] = DUPLICATE
        return reason
    usable = np.flatnonzero(reason == KEPT)
    if len(usable) > 1:
        # records are in order of time, so a repeat follows its first directly among the usable ones
        repeated = np.flatnonzero(seconds[usable[1:]] == seconds[usable[:-1]]) + 1
        reason[usable[repeated]] = DUPLICATE
    return reason


JUMP_REACH = 32  # records before a record among which a chain through it may continue


def jumps(seconds: np.ndarray, x: np.ndarray, y: np.ndarray, max_speed: float, z=None) -> np.ndarray:
    """Records that motion at most max_speed cannot reach from their
    neighbours: of the records, the longest chain in which each is reached
    from the one before it without exceeding max_speed is kept, the rest
    dropped. One bad fix therefore drops alone, wherever it lies (also first),
    and records that agree with each other are kept. Vectorised while no step
    is too fast (the usual case); else the chain is found record by record,
    each continuing the longest chain ending among the JUMP_REACH records
    before it, or the longest chain so far. With z, positions are earth-
    centred (a track too wide for one frame): distances are chords, which
    between records as near as a jump is measured are the surface's."""
    n = len(x)
    z = np.zeros(n) if z is None else z
    dropped = np.zeros(n, dtype=bool)
    if n < 2:
        return dropped
    step = np.sqrt(np.diff(x) ** 2 + np.diff(y) ** 2 + np.diff(z) ** 2)
    with np.errstate(divide="ignore", invalid="ignore"):
        fast = step > max_speed * np.diff(seconds)
    if not fast.any():
        return dropped
    length = np.ones(n, dtype=np.int64)  # the longest chain ending at each record
    before = np.full(n, -1, dtype=np.int64)
    best = 0  # the end of the longest chain so far
    for j in range(1, n):
        lo = max(0, j - JUMP_REACH)
        candidates = np.arange(lo, j)
        if best < lo:
            candidates = np.r_[best, candidates]
        distance = np.sqrt(
            (x[j] - x[candidates]) ** 2 + (y[j] - y[candidates]) ** 2 + (z[j] - z[candidates]) ** 2
        )
        reach = distance <= max_speed * (seconds[j] - seconds[candidates])
        if reach.any():
            # the longest chain it can continue; of equals, the earliest (a later record is the suspect)
            pick = candidates[int(np.argmax(np.where(reach, length[candidates], 0)))]
            length[j], before[j] = length[pick] + 1, pick
        if length[j] >= length[best]:
            best = j
    keep = np.zeros(n, dtype=bool)
    while best >= 0:
        keep[best] = True
        best = before[best]
    return ~keep


def stops(seconds: np.ndarray, x: np.ndarray, y: np.ndarray, diameter: float, duration: float) -> list[tuple]:
    """Runs [first, last] of records that stay within a box whose diagonal is
    at most `diameter` for at least `duration` seconds, each as long as it
    can be, none overlapping. Only records from which the record `duration`
    later lies within `diameter` can start one; those are few on the move,
    so the search is vectorised until then."""
    if duration <= 0 or len(x) < 2:
        return []
    return _stops(
        seconds,
        diameter,
        duration,
        lambda i, j: np.hypot(x[j] - x[i], y[j] - y[i]),
        lambda first, stop: (x[first:stop], y[first:stop]),
    )


def stops_on_ellipsoid(
    seconds: np.ndarray, lon: np.ndarray, lat: np.ndarray, diameter: float, duration: float
) -> list[tuple]:
    """stops() for records in degrees that reach farther than one tangent
    plane serves: the distance between two records is the straight line
    between their earth-centred positions, and a run's box is measured in the
    east-north-up frame at its first record, so a stop anywhere on the track
    is measured as if the track were only there."""
    if duration <= 0 or len(lon) < 2:
        return []
    lon_rad, lat_rad = np.radians(lon), np.radians(lat)
    centred = np.stack(_earth_centred(lon_rad, lat_rad))

    def around(first: int, stop: int) -> tuple:
        sin_lon, cos_lon = np.sin(lon_rad[first]), np.cos(lon_rad[first])
        sin_lat, cos_lat = np.sin(lat_rad[first]), np.cos(lat_rad[first])
        offsets = centred[:, first:stop] - centred[:, first : first + 1]
        east = np.array([-sin_lon, cos_lon, 0.0]) @ offsets
        north = np.array([-sin_lat * cos_lon, -sin_lat * sin_lon, cos_lat]) @ offsets
        up = np.array([cos_lat * cos_lon, cos_lat * sin_lon, sin_lat]) @ offsets
        return east, north, up

    return _stops(
        seconds,
        diameter,
        duration,
        lambda i, j: np.linalg.norm(centred[:, j] - centred[:, i], axis=0),
        around,
    )


def _stops(seconds: np.ndarray, diameter: float, duration: float, distance, around) -> list[tuple]:
    """The search of stops(): distance(i, j) between records i and j (arrays
    of indices); around(first, stop) the coordinates of records first..stop-1
    on axes of a frame where a box is measured."""
    n = len(seconds)
    later = np.searchsorted(seconds, seconds + duration, side="left")
    reach = later < n
    starts = np.flatnonzero(reach)
    near = distance(starts, later[starts]) <= diameter
    candidates = starts[near]
    found, position = [], 0
    for first in candidates:
        if first < position:
            continue
        last = _last_within(around, n, first, diameter)
        if seconds[last] - seconds[first] >= duration:
            found.append((int(first), int(last)))
            position = last + 1
    return found


def _last_within(around, n: int, first: int, diameter: float) -> int:
    """The last record such that records first..last fit a box of that diagonal."""
    width = 64
    while True:
        stop = min(n, first + width)
        spread = None
        for values in around(first, stop):
            extent = np.maximum.accumulate(values) - np.minimum.accumulate(values)
            spread = extent if spread is None else np.hypot(spread, extent)
        outside = np.flatnonzero(spread > diameter)
        if outside.size:
            return first + int(outside[0]) - 1
        if stop == n:
            return n - 1
        width *= 4
