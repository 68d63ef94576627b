"""One track through the pipeline: repair, smooth, resample, curvature.

Every geometric step is a call into velmora; this file only orders the
points, checks what the module cannot be given, and turns each way a track
can fail into a status with a message.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

from .options import TRACK_SETTINGS, Options, pick, takes_settings
from .projection import to_local_metric

OK = "ok"
INVALID_INPUT = "invalid_input"  # missing times, non-finite or out-of-range coordinates
TOO_SHORT = "too_short"  # fewer than two points
SOLVER_FAILED = "solver_failed"  # the elastic band's solver returned no path
INTERNAL_ERROR = "internal_error"  # the module raised its internal-error exception
ERROR = "error"  # any other exception, for example MemoryError
TOO_LARGE = "too_large"  # more records than the run allows, or than its worker's memory holds
WORKER_LOST = "worker_lost"  # its worker died twice while running it (memory limit, a crash)
STATUSES = (OK, INVALID_INPUT, TOO_SHORT, SOLVER_FAILED, INTERNAL_ERROR, ERROR, TOO_LARGE, WORKER_LOST)

# What running a track takes, measured: about 3.6 KB per record (the elastic
# band's problem and its solver) plus about 80 bytes per output point.
BYTES_PER_RECORD = 3_600
BYTES_PER_OUTPUT_POINT = 100

_EMPTY = np.empty(0, dtype=np.float64)


@dataclass
class TrackResult:
    """The outcome of one track; the four arrays are empty unless status is ok."""

    track_id: Any
    points_in: int
    points_flagged: int = 0
    points_removed: int = 0
    length: float = math.nan
    status: str = OK
    error: str = ""
    origin_lon: float = math.nan
    origin_lat: float = math.nan
    s: np.ndarray = field(default_factory=lambda: _EMPTY)
    x: np.ndarray = field(default_factory=lambda: _EMPTY)
    y: np.ndarray = field(default_factory=lambda: _EMPTY)
    curvature: np.ndarray = field(default_factory=lambda: _EMPTY)

    @property
    def points_out(self) -> int:
        return len(self.s)

    @property
    def ok(self) -> bool:
        return self.status == OK


@takes_settings(TRACK_SETTINGS)
def process_track(time, x=None, y=None, *, lon=None, lat=None, track_id=None, **settings) -> TrackResult:
    """Runs one track's records (in any order; sorted here by time, ties kept
    in the given order) through the pipeline. Give either x and y in metres or
    lon and lat in degrees. The settings go to the module as given (run()
    checks them first). A failing track returns a result with its status and
    message instead of raising."""
    if (x is None) == (lon is None) or (x is None) != (y is None) or (lon is None) != (lat is None):
        raise TypeError("process_track takes either x and y, or lon and lat")
    geographic = x is None
    a = np.asarray(lon if geographic else x, dtype=np.float64)
    b = np.asarray(lat if geographic else y, dtype=np.float64)
    time = np.asarray(time)
    if not (len(time) == len(a) == len(b)):
        raise ValueError(f"time, {'lon, lat' if geographic else 'x, y'} differ in length: "
                         f"{len(time)}, {len(a)}, {len(b)}")
    order = np.argsort(time, kind="stable")
    options = Options(**pick(settings, TRACK_SETTINGS))
    return process_sorted(track_id, time[order], a[order], b[order], geographic, options)


def missing_times(time: np.ndarray) -> int:
    if time.dtype.kind == "M":
        return int(np.isnat(time).sum())
    if time.dtype.kind == "f":
        return int(np.isnan(time).sum())
    return 0


def process_sorted(track_id, time: np.ndarray, a: np.ndarray, b: np.ndarray, geographic: bool,
                   options: Options, max_points: int | None = None,
                   memory_budget: float | None = None) -> TrackResult:
    """The pipeline on records already in time order (a, b: x, y or lon, lat).
    A track of more than max_points records, or one whose estimated need
    exceeds memory_budget bytes, is not run (status too_large)."""
    result = TrackResult(track_id, len(a))
    undated = missing_times(time)
    if undated:
        return _failed(result, INVALID_INPUT, f"{undated} of {len(a)} points have no time")
    bad = int(np.count_nonzero(~(np.isfinite(a) & np.isfinite(b))))
    if bad:
        return _failed(result, INVALID_INPUT, f"{bad} of {len(a)} points have non-finite coordinates")
    if geographic:
        outside = int(np.count_nonzero((np.abs(a) > 180.0) | (np.abs(b) > 90.0)))
        if outside:
            return _failed(result, INVALID_INPUT,
                           f"{outside} of {len(a)} points lie outside lon -180..180, lat -90..90")
    if len(a) < 2:
        return _failed(result, TOO_SHORT, f"a track needs at least 2 points, this one has {len(a)}")
    if max_points is not None and len(a) > max_points:
        return _failed(result, TOO_LARGE, f"{len(a):,} records, more than the {max_points:,} "
                                          "a track may have (max_track_points)")
    if geographic:
        a, b, result.origin_lon, result.origin_lat = to_local_metric(a, b)
    if memory_budget is not None:
        need = estimated_need(a, b, options.spacing)
        if need > memory_budget:
            return _failed(result, TOO_LARGE, f"needs about {need / 1e6:,.0f} MB, its worker has "
                                              f"{max(memory_budget, 0) / 1e6:,.0f} MB left under its memory limit")
    return _run_operations(result, a, b, options)


def estimated_need(x: np.ndarray, y: np.ndarray, spacing: float) -> float:
    """Bytes running the track takes, about (from its records and its length)."""
    length = float(np.hypot(np.diff(x), np.diff(y)).sum())
    return BYTES_PER_RECORD * len(x) + BYTES_PER_OUTPUT_POINT * length / spacing


def _run_operations(result: TrackResult, x: np.ndarray, y: np.ndarray, options: Options) -> TrackResult:
    stage = "construction"
    try:
        path = Path2D(x=x, y=y)
        stage = "point-order repair"
        result.points_flagged = len(path.detect_corrupted_point_order(options.sus_angle))
        repaired = path.repair_corrupted_point_order(options.sus_angle)
        result.points_removed = result.points_in - len(repaired.x)
        stage = "elastic band smoothing"
        smoothed = repaired.smoothed_path_elastic_band(options.max_deviation, ElasticBandMethod.SquareBounds)
        if smoothed is None:
            return _failed(result, SOLVER_FAILED, "elastic band smoothing: the solver found no path")
        stage = "resampling"
        # drop_last=False keeps the track's end point, so no recorded distance is lost.
        even = smoothed.resampled_path(ResamplingMethod.by_sampling_distance(options.spacing, False),
                                       InterpolationMethod.Cubic)
        stage = "circle-fit curvature"
        curvature = np.asarray(even.compute_circle_fit_curvature(options.max_rmse), dtype=np.float64)
        result.s = even.path_length_per_point_np
        result.x = even.x_np
        result.y = even.y_np
        result.curvature = curvature
        result.length = float(even.length)
        return result
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # the module's internal error is a BaseException
        status = INTERNAL_ERROR if _is_internal_error(exc) else ERROR
        text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        if status == ERROR:
            text = f"{type(exc).__name__}: {text}"
        return _failed(result, status, f"{stage}: {text}")


def _is_internal_error(exc: BaseException) -> bool:
    kind = type(exc)
    return kind.__name__ == "PanicException" and not isinstance(exc, Exception)


def _failed(result: TrackResult, status: str, message: str) -> TrackResult:
    result.status, result.error = status, message
    result.s = result.x = result.y = result.curvature = _EMPTY
    result.length = math.nan
    return result


__all__ = ["TrackResult", "process_track", "STATUSES"]
