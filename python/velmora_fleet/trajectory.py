"""A trip's line with a time at every vertex: the line of tracks.parquet,
its `vertex_times`, and the exports' trajectories.

A trajectory's time must increase strictly along it (PostGIS's
ST_IsValidTrajectory, kepler.gl's trips layer): output times never
decrease, but two output points may round to one time (an end point kept a
hair after the last resampled one); of such a run the first vertex is kept,
and the last where the run ends the trip, so the trip keeps its ends.
"""

from __future__ import annotations

import numpy as np

from . import antimeridian

NS = 1_000_000_000


def epoch_seconds(times: np.ndarray, start, time_kind: str) -> np.ndarray:
    """The output times in seconds: since 1970 for times (`times` in the
    pipeline's ns from the trip's first time, which is `start`, a datetime64),
    as they are for numbers."""
    if time_kind != "time":
        return np.asarray(times, dtype=np.float64)
    start_ns = int(np.datetime64(start, "ns").astype(np.int64))
    whole, rest = divmod(start_ns, NS)  # whole seconds apart: a float holds ns only near 1970
    return whole + (rest + (times - times[0])) / NS


def increasing(times: np.ndarray) -> np.ndarray:
    """Which vertices to keep so that time increases strictly, from times that
    never decrease: each one later than the one before, and the last."""
    keep = np.r_[True, times[1:] > times[:-1]]
    if not keep[-1]:  # a run of one time ends the trip: its last vertex stands for it
        first_of_run = np.flatnonzero(keep)[-1]
        keep[first_of_run] = first_of_run == 0  # unless the run starts the trip too
        keep[-1] = True
    return keep


def trip_parts(a: np.ndarray, b: np.ndarray, seconds: np.ndarray, geographic: bool) -> list:
    """The trip's line as parts (a, b, seconds): one, or in degrees one per
    side of each crossing of the antimeridian; time increasing along each."""
    keep = increasing(seconds)
    if not keep.all():
        a, b, seconds = a[keep], b[keep], seconds[keep]
    if not geographic:
        return [(a, b, seconds)]
    # a line of two points on the seam itself has no part left: it stays whole
    return antimeridian.split(antimeridian.normalised(a), b, seconds) or [(a, b, seconds)]


def check_increasing(parts: list, what: str) -> None:
    """Raises ValueError where time does not increase strictly along a part."""
    for k, (_, _, seconds) in enumerate(parts):
        steps = np.diff(seconds)
        if len(seconds) < 2 or not (steps > 0).all():
            where = f" (part {k + 1})" if len(parts) > 1 else ""
            raise ValueError(f"{what}{where}: time does not increase along the line, so it is no trajectory")
