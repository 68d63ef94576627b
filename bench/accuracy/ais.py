"""Real AIS against the vessels' own speed over ground and course.

Each vessel's records (US MarineCadastre columns MMSI, BaseDateTime, LON,
LAT, SOG in knots, COG in degrees) go to every method: velmora_fleet takes
lon, lat itself, the peers take metres in a local frame of the vessel's own.
A method's speed and course, interpolated at the record times, are compared
with SOG and COG on moving records (SOG at least 1 knot, a usable course).

This export writes some courses as a signed 12-bit number (tenths of a
degree, so 409.6 degrees is one wrap): -61.8 is 347.8 degrees, as the
vessels' own tracks confirm. Those are decoded; taken as written they would
be 50-200 degrees off and swamp the course errors.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field

import numpy as np

from .methods import Records
from .scoring import at_instants, summary

KNOT = 1852.0 / 3600.0  # m/s
MOVING_KNOTS = 1.0
COG_WRAP = 409.6  # degrees: 4096 tenths
# WGS84
A = 6378137.0
E2 = 6.69437999014e-3


@dataclass
class Vessel:
    mmsi: int
    records: Records
    sog: np.ndarray  # knots, NaN where not available
    cog: np.ndarray  # degrees clockwise from north, NaN where not usable
    decoded: np.ndarray  # the course was written as a negative number and decoded

    @property
    def moving(self) -> np.ndarray:
        return (self.sog >= MOVING_KNOTS) & np.isfinite(self.cog)


def load(path: str) -> list:
    import pandas as pd

    frame = pd.read_csv(path, usecols=["MMSI", "BaseDateTime", "LON", "LAT", "SOG", "COG"])
    frame["time"] = pd.to_datetime(frame["BaseDateTime"], utc=True)
    frame = frame[frame.LON.between(-180, 180) & frame.LAT.between(-90, 90)]
    start = frame["time"].min()
    vessels = []
    for mmsi, rows in frame.groupby("MMSI", sort=True):
        # in order of time; a repeated time keeps its first record, as velmora_fleet does
        rows = rows.sort_values("time", kind="stable").drop_duplicates("time")
        seconds = (rows["time"] - start).dt.total_seconds().to_numpy()
        lon, lat = rows.LON.to_numpy(dtype=np.float64), rows.LAT.to_numpy(dtype=np.float64)
        x, y = local_metres(lon, lat)
        sog = rows.SOG.to_numpy(dtype=np.float64)
        sog = np.where((sog >= 0) & (sog <= 102.2), sog, np.nan)
        cog = rows.COG.to_numpy(dtype=np.float64)
        vessels.append(Vessel(int(mmsi), Records(seconds, x, y, lon, lat), sog, course(cog), cog < 0))
    return vessels


def course(cog: np.ndarray) -> np.ndarray:
    cog = np.asarray(cog, dtype=np.float64)
    decoded = np.where(cog < 0, cog + COG_WRAP, cog)
    return np.where((decoded >= 0) & (decoded < 360.0), decoded, np.nan)


def local_metres(lon: np.ndarray, lat: np.ndarray) -> tuple:
    """East and north metres from the records' mean, on the ellipsoid's
    local radii (within a harbour, scale errors below 1e-4)."""
    lat0 = np.radians(lat.mean())
    lon0 = np.radians(lon.mean())
    w = 1.0 - E2 * np.sin(np.radians(lat)) ** 2
    prime = A / np.sqrt(w)  # at each record's latitude, for its parallel's scale
    meridian = A * (1.0 - E2) / (1.0 - E2 * np.sin(lat0) ** 2) ** 1.5
    x = (np.radians(lon) - lon0) * prime * np.cos(np.radians(lat))
    y = (np.radians(lat) - lat0) * meridian
    return x, y


def pick_vessel(vessels: list) -> int:
    """The vessel to draw: among those with 40 or more moving records, the one whose SOG varies most."""
    candidates = [v for v in vessels if v.moving.sum() >= 40] or vessels
    return max(candidates, key=lambda v: np.nanstd(np.where(v.moving, v.sog, np.nan))).mmsi


@dataclass
class AisRun:
    spec: str
    cpu: float = 0.0
    records: int = 0
    moving: int = 0
    uncovered: int = 0  # moving records the method gave nothing at
    failed: int = 0  # vessels the method raised on
    speed_knots: list = field(default_factory=list)
    course_deg: list = field(default_factory=list)
    course_decoded: list = field(default_factory=list)  # whether the reference course was decoded
    drawn: dict = field(default_factory=dict)  # the drawn vessel's output: time, speed (knots)


def run_method(
    spec: str, path: str, sigma: float, settings: dict, drawn_mmsi: int | None, part: int = 0, parts: int = 1
) -> AisRun:
    """The method on every `parts`-th vessel from the `part`-th (so that workers share the hour)."""
    from .evaluate import call, warm_up

    vessels = load(path)[part::parts]
    run = AisRun(spec)
    warm_up(spec, settings)
    for vessel in vessels:
        moving = vessel.moving
        run.records += len(vessel.sog)
        run.moving += int(moving.sum())
        began = time.process_time()
        try:
            output = call(spec, vessel.records, sigma, settings)
        except TypeError:
            raise
        except Exception:
            run.cpu += time.process_time() - began
            run.failed += 1
            run.uncovered += int(moving.sum())
            continue
        run.cpu += time.process_time() - began
        t = vessel.records.time[moving]
        estimate = at_instants(output, t)
        run.uncovered += int((~estimate.covered).sum())
        speed = estimate.speed / KNOT - vessel.sog[moving]
        turn = (estimate.heading - vessel.cog[moving] + 180.0) % 360.0 - 180.0
        covered = estimate.covered
        run.speed_knots.append(np.abs(speed[covered]))
        run.course_deg.append(np.abs(turn[covered]))
        run.course_decoded.append(vessel.decoded[moving][covered])
        if vessel.mmsi == drawn_mmsi:
            run.drawn = {"time": output.time.tolist(), "speed_knots": (output.speed / KNOT).tolist()}
    return run


def merged(runs: list) -> AisRun:
    run = AisRun(runs[0].spec)
    for part in runs:
        run.cpu += part.cpu
        run.records += part.records
        run.moving += part.moving
        run.uncovered += part.uncovered
        run.failed += part.failed
        run.speed_knots += part.speed_knots
        run.course_deg += part.course_deg
        run.course_decoded += part.course_decoded
        run.drawn = run.drawn or part.drawn
    return run


def figures(run: AisRun) -> dict:
    speed = np.concatenate(run.speed_knots) if run.speed_knots else np.empty(0)
    course_err = np.concatenate(run.course_deg) if run.course_deg else np.empty(0)
    decoded = np.concatenate(run.course_decoded) if run.course_decoded else np.empty(0, dtype=bool)
    return {
        "records": run.records,
        "moving_records": run.moving,
        "moving_uncovered": run.uncovered,
        "vessels_failed": run.failed,
        "speed_knots": summary(speed),
        "course_deg": summary(course_err),
        "course_deg_as_recorded": summary(course_err[~decoded]),
        "course_deg_decoded": summary(course_err[decoded]),
        "cpu_s_per_1k_records": 1000.0 * run.cpu / run.records if run.records else None,
    }
