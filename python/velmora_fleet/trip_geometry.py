"""One trip through the module: repair, smoothing, resampling, curvature,
with the trip's time and carried columns travelling as associated values.

Repair removes a point's values with it; smoothing keeps the point count, so
the repaired values are attached again to the smoothed path; resampling
interpolates them. Time is not resampled by the spline (which may overshoot):
the smoothed path's own cumulative length is carried instead, and gives each
output point its place along the smoothed path, where time is interpolated
linearly between the records, so it is exact at them and never decreases.
A trip in degrees runs in one frame, or in pieces of frames of their own
when it reaches beyond one frame's extent (see projection).
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

from .projection import frame_at_mean, pieces

SOLVER_FAILED, INTERNAL_ERROR, ERROR, TOO_LARGE = "solver_failed", "internal_error", "error", "too_large"


@dataclass
class TripGeometry:
    s: np.ndarray
    x: np.ndarray
    y: np.ndarray
    curvature: np.ndarray
    time: np.ndarray  # the pipeline's time units (see track)
    speed: np.ndarray
    heading: np.ndarray
    lon: np.ndarray
    lat: np.ndarray
    carried: dict = field(default_factory=dict)
    flagged: int = 0
    removed: int = 0
    length: float = 0.0
    origin: tuple = (np.nan, np.nan)


@dataclass
class _Piece:
    s: np.ndarray
    x: np.ndarray
    y: np.ndarray
    curvature: np.ndarray
    time: np.ndarray
    heading: np.ndarray
    carried: dict
    flagged: int
    removed: int
    length: float


def run_trip(
    a,
    b,
    time,
    geographic: bool,
    options,
    columns: dict,
    angles: tuple,
    memory_budget,
    bytes_per_record: float,
    bytes_per_output_point: float,
    seconds_per_unit: float = 1.0,
):
    """The trip's geometry, or (status, message) where it fails."""
    ranges = pieces(a, b) if geographic else [(0, len(a))]
    done = []
    for start, stop in ranges:
        piece_a, piece_b = a[start:stop], b[start:stop]
        frame = frame_at_mean(piece_a, piece_b) if geographic else None
        x, y = frame.forward(piece_a, piece_b) if geographic else (piece_a, piece_b)
        if memory_budget is not None:
            need = bytes_per_record * len(x) + bytes_per_output_point * _length(x, y) / options.spacing
            if need > memory_budget:
                return TOO_LARGE, (
                    f"needs about {need / 1e6:,.0f} MB, its worker has "
                    f"{max(memory_budget, 0) / 1e6:,.0f} MB left under its memory limit"
                )
        piece_columns = {name: values[start:stop] for name, values in columns.items()}
        outcome = _run_module(x, y, time[start:stop], piece_columns, angles, options)
        if isinstance(outcome, tuple):
            return outcome
        done.append((frame, outcome))
    return _joined(done, a, b, geographic, seconds_per_unit)


def _length(x, y) -> float:
    return float(np.hypot(np.diff(x), np.diff(y)).sum())


def _run_module(x, y, time, columns: dict, angles: tuple, options):
    stage = "construction"
    try:
        path = Path2D(x=x, y=y)
        handles = {}
        for name, values in columns.items():
            if name in angles:  # on the circle: 359 and 1 meet at 0, not 180
                radians = np.radians(values)
                handles[name] = (
                    path.add_associated_values(np.cos(radians)),
                    path.add_associated_values(np.sin(radians)),
                )
            else:
                handles[name] = (path.add_associated_values(np.asarray(values, dtype=np.float64)),)
        time_handle = path.add_associated_values(np.asarray(time, dtype=np.float64))
        stage = "point-order repair"
        flagged = len(path.detect_corrupted_point_order(options.sus_angle))
        repaired = path.repair_corrupted_point_order(options.sus_angle)
        removed = len(x) - len(repaired.x)
        stage = "elastic band smoothing"
        smoothed = repaired.smoothed_path_elastic_band(options.max_deviation, ElasticBandMethod.SquareBounds)
        if smoothed is None:
            return SOLVER_FAILED, "elastic band smoothing: the solver found no path"
        stage = "resampling"
        # the smoothed path has the repaired one's points, one for one: give it their values again
        along = smoothed.path_length_per_point_np
        carried = {
            name: tuple(smoothed.add_associated_values(repaired.associated_value_np(h)) for h in hs)
            for name, hs in handles.items()
        }
        place = smoothed.add_associated_values(along)
        # drop_last=False keeps the track's end point, so no recorded distance is lost.
        even = smoothed.resampled_path(
            ResamplingMethod.by_sampling_distance(options.spacing, False), InterpolationMethod.Cubic
        )
        stage = "circle-fit curvature"
        curvature = np.asarray(even.compute_circle_fit_curvature(options.max_rmse), dtype=np.float64)
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # the module's internal error is a BaseException
        status = INTERNAL_ERROR if _is_internal_error(exc) else ERROR
        text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        if status == ERROR:
            text = f"{type(exc).__name__}: {text}"
        return status, f"{stage}: {text}"
    times = np.interp(even.associated_value_np(place), along, repaired.associated_value_np(time_handle))
    values = {}
    for name, hs in carried.items():
        if len(hs) == 2:
            values[name] = (
                np.degrees(np.arctan2(even.associated_value_np(hs[1]), even.associated_value_np(hs[0])))
                % 360.0
            )
        else:
            values[name] = even.associated_value_np(hs[0])
    heading = (90.0 - np.degrees(even.orientation_np)) % 360.0  # x east, y north
    return _Piece(
        even.path_length_per_point_np,
        even.x_np,
        even.y_np,
        curvature,
        times,
        heading,
        values,
        flagged,
        removed,
        float(even.length),
    )


def _is_internal_error(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def _joined(done: list, a, b, geographic: bool, seconds_per_unit: float) -> TripGeometry:
    """The pieces as one trip: a piece after the first starts at the record
    the one before ends at, so its first point is left out."""
    if len(done) == 1:  # the usual case: one frame, nothing to join
        frame, p = done[0]
        lon, lat = frame.inverse(p.x, p.y) if geographic else (np.full(len(p.x), np.nan),) * 2
        origin = frame.origin_degrees if geographic else (np.nan, np.nan)
        return TripGeometry(
            p.s,
            p.x,
            p.y,
            p.curvature,
            p.time,
            _speed(p.s, p.time, seconds_per_unit),
            p.heading,
            lon,
            lat,
            p.carried,
            p.flagged,
            p.removed,
            p.length,
            origin,
        )
    parts, offset = [], 0.0
    for k, (frame, piece) in enumerate(done):
        keep = slice(1, None) if k else slice(None)
        lon, lat = frame.inverse(piece.x, piece.y) if geographic else (np.full(len(piece.x), np.nan),) * 2
        parts.append(
            (
                piece.s[keep] + offset,
                piece.x[keep],
                piece.y[keep],
                piece.curvature[keep],
                piece.time[keep],
                piece.heading[keep],
                lon[keep],
                lat[keep],
                {name: v[keep] for name, v in piece.carried.items()},
            )
        )
        offset += piece.length
    s, x, y, curvature, time, heading, lon, lat = (np.concatenate([p[i] for p in parts]) for i in range(8))
    carried = {name: np.concatenate([p[8][name] for p in parts]) for name in parts[0][8]}
    if geographic and len(done) > 1:  # one frame for the whole trip's x, y
        frame = frame_at_mean(a, b)
        x, y = frame.forward(lon, lat)
        origin = frame.origin_degrees
    else:
        origin = done[0][0].origin_degrees if geographic else (np.nan, np.nan)
    return TripGeometry(
        s,
        x,
        y,
        curvature,
        time,
        _speed(s, time, seconds_per_unit),
        heading,
        lon,
        lat,
        carried,
        sum(p.flagged for _, p in done),
        sum(p.removed for _, p in done),
        float(sum(p.length for _, p in done)),
        origin,
    )


def _speed(s: np.ndarray, time: np.ndarray, seconds_per_unit: float) -> np.ndarray:
    """m/s along the output path: central differences, one-sided at the ends."""
    if len(s) < 2:
        return np.full(len(s), np.nan)
    seconds = time * seconds_per_unit
    ds, dt = np.empty_like(s), np.empty_like(s)
    ds[1:-1], dt[1:-1] = s[2:] - s[:-2], seconds[2:] - seconds[:-2]
    ds[0], dt[0] = s[1] - s[0], seconds[1] - seconds[0]
    ds[-1], dt[-1] = s[-1] - s[-2], seconds[-1] - seconds[-2]
    with np.errstate(divide="ignore", invalid="ignore"):
        speed = ds / dt
    speed[~np.isfinite(speed)] = np.nan
    return speed
