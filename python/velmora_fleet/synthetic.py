"""A synthetic fleet for demos, tests and benchmarks.

Each track drives a route of straights and bends at 10 Hz with a varying
speed, stops once or twice (the receiver keeps reporting, so the points
jitter around the stop), carries GPS-like noise and has a few pairs of
points recorded in swapped order. A few tracks are broken on purpose: one
with a single point, one with a missing coordinate, per fifty tracks.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

SAMPLE_SECONDS = 0.1
NOISE_METRES = 0.3
SWAPPED_SHARE = 0.003
BROKEN_PER = 50
START = np.datetime64("2026-01-01T06:00:00", "ns")
ORIGIN_LON, ORIGIN_LAT = 11.5755, 48.1374  # where --lonlat fleets are placed
METRES_PER_DEGREE = 111_319.49


def generate_fleet(tracks: int, points: int, seed: int = 0, lonlat: bool = False) -> pd.DataFrame:
    """`tracks` tracks of `points` records each (broken tracks have fewer),
    rows interleaved in order of time as a fleet's log would be."""
    if tracks < 1 or points < 1:
        raise ValueError("tracks and points must be at least 1")
    rng = np.random.default_rng(seed)
    broken = _broken_tracks(rng, tracks)
    frames = []
    for k in range(tracks):
        x, y = _drive(rng, points)
        if broken.get(k) == "single":
            x, y = x[:1], y[:1]
        elif broken.get(k) == "missing":
            x[len(x) // 2] = np.nan
        start = START + np.timedelta64(int(rng.integers(0, 3600_000)), "ms")
        time = start + (np.arange(len(x)) * SAMPLE_SECONDS * 1e9).astype("timedelta64[ns]")
        frame = {"track_id": np.full(len(x), 1000 + k, dtype=np.int64), "time": time}
        if lonlat:
            lat = ORIGIN_LAT + y / METRES_PER_DEGREE
            lon = ORIGIN_LON + x / (METRES_PER_DEGREE * np.cos(np.radians(ORIGIN_LAT)))
            frame.update(lon=lon, lat=lat)
        else:
            frame.update(x=x, y=y)
        frames.append(pd.DataFrame(frame))
    fleet = pd.concat(frames, ignore_index=True)
    return fleet.sort_values("time", kind="stable", ignore_index=True)


def write_fleet(frame: pd.DataFrame, url: str, files: int = 1) -> None:
    """Parquet, or CSV when the name ends in .csv (optionally compressed). With
    files > 1, `url` is a folder of that many files of consecutive rows (in
    order of time: a fleet's log, every track spread over the files)."""
    import fsspec

    from .records import CSV_SUFFIXES

    fs, path = fsspec.core.url_to_fs(url)
    folder = path if files > 1 else path.rpartition("/")[0]
    if folder:
        fs.makedirs(folder, exist_ok=True)
    csv = url.lower().endswith(CSV_SUFFIXES)
    if files > 1:
        suffix = ".csv" if csv else ".parquet"
        cuts = np.linspace(0, len(frame), files + 1).astype(int)
        targets = [
            (f"{url.rstrip('/')}/part-{k:04d}{suffix}", frame.iloc[cuts[k] : cuts[k + 1]])
            for k in range(files)
        ]
    else:
        targets = [(url, frame)]
    for target, rows in targets:
        if csv:
            rows.to_csv(target, index=False, date_format="%Y-%m-%dT%H:%M:%S.%f")
        else:
            rows.to_parquet(target, index=False)


def _broken_tracks(rng, tracks: int) -> dict[int, str]:
    if tracks < 10:
        return {}
    count = max(1, tracks // BROKEN_PER)
    chosen = rng.choice(tracks, size=2 * count, replace=False)
    return {int(k): ("single" if i < count else "missing") for i, k in enumerate(chosen)}


def _drive(rng, points: int) -> tuple[np.ndarray, np.ndarray]:
    # speed in m/s per sample: a cruise speed that wanders, and stops
    cruise = rng.uniform(6.0, 18.0)
    wander = np.cumsum(rng.normal(0.0, 0.05, points))
    speed = np.clip(cruise + wander, 2.0, 25.0)
    for _ in range(int(rng.integers(1, 3))):
        at = int(rng.integers(0, points))
        speed[at : at + int(rng.integers(30, 100))] = 0.0
    step = speed * SAMPLE_SECONDS
    travelled = np.cumsum(step)

    # a route of pieces with constant curvature: straights, and bends of 20-200 m radius
    total = float(travelled[-1]) + 1.0
    lengths = rng.uniform(40.0, 300.0, size=int(total / 40.0) + 2)
    ends = np.cumsum(lengths)
    bends = rng.random(len(lengths)) < 0.5
    curvature = np.where(
        bends, rng.choice([-1.0, 1.0], len(lengths)) / rng.uniform(20.0, 200.0, len(lengths)), 0.0
    )
    heading = rng.uniform(-np.pi, np.pi) + np.cumsum(curvature[np.searchsorted(ends, travelled)] * step)
    x = rng.uniform(-5000.0, 5000.0) + np.cumsum(step * np.cos(heading))
    y = rng.uniform(-5000.0, 5000.0) + np.cumsum(step * np.sin(heading))
    x += rng.normal(0.0, NOISE_METRES, points)
    y += rng.normal(0.0, NOISE_METRES, points)

    # points recorded out of order: swap a few neighbours, times stay increasing
    for i in rng.choice(max(1, points - 1), size=int(points * SWAPPED_SHARE), replace=False):
        x[i], x[i + 1] = x[i + 1], x[i]
        y[i], y[i + 1] = y[i + 1], y[i]
    return x, y
