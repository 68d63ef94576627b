"""One trip through the module, in one of two ways.

`smooth` (the default) estimates the motion: the records' noise is
estimated (see motion); their positions are smoothed in time and densified
between records, so that the path is smooth where the records are sparse;
the elastic band smooths that path in space within a bound that follows the
noise; each record takes its place where it projects onto the smoothed path,
and one smooth, never-decreasing profile of distance over time through
those places gives every output point its time, speed and acceleration.

`plain` is the composition of the module's operations: repair, smoothing,
resampling, curvature, with the trip's time and carried columns travelling
as associated values. Repair removes a point's values with it; smoothing
keeps the point count, so the repaired values are attached again to the
smoothed path; resampling interpolates them. Time is not resampled by the
spline (which may overshoot): the smoothed path's own cumulative length is
carried instead, and gives each output point its place along the smoothed
path, where time is interpolated linearly between the records, so it is
exact at them and never decreases.

Either way a trip in degrees runs in one frame, or in pieces of frames of
their own when it reaches beyond one frame's extent (see projection).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

from .motion import (
    Profile,
    accelerations,
    along_the_curve,
    estimate_noise,
    places,
    smoothed_in_time,
    smoothed_spread,
)
from .cleaning import stops
from .projection import frame_at_mean, pieces

INTERNAL_ERROR, ERROR, TOO_LARGE = "internal_error", "error", "too_large"
NOISE_FALLBACK = 3.0  # m per axis, a GNSS fix's usual error, where a trip's records cannot tell
NOISE_MIN = 0.01  # m: exact records (planned paths) still get a well-posed problem
# The band's bound: BOUND_PER_NOISE times the spread left in the positions
# smoothed in time (see motion.smoothed_spread), that spread taken at most
# SPREAD_CAP of the noise; beyond it the band cuts the turns that sparse
# records leave it to guess. Chosen on the accuracy benchmark (bench/accuracy).
BOUND_PER_NOISE = 1.5
SPREAD_CAP = 0.5
# The band runs on points every DENSIFY_STEP metres (or every --spacing, where that is longer: the
# output needs no finer path), MAX_PER_GAP a record at most on average, which bounds its cost;
# more changed nothing measurable on the accuracy benchmark.
DENSIFY_STEP = 5.0
MAX_PER_GAP = 8
# The accelerations along and across the path where the records cannot tell
# (see motion.accelerations); estimates are held within what vehicles do.
ACCELERATION_FALLBACK = (0.3, 1.0)
ACCELERATION_RANGE = (0.01, 10.0)
# The speed's profile assumes this part of the distance profile's acceleration:
# a rate is best estimated smoother than the distance it is the rate of.
SPEED_SMOOTHING = 0.25
# Records whose positions smoothed in time stay within REST_DIAMETER noises
# for as long as crossing that at REST_SPEED takes (REST_SECONDS at least)
# stand still; two such waits REST_JOIN records apart are one.
REST_DIAMETER = 2.0
REST_SECONDS = 3.0
REST_SPEED = 0.5
REST_JOIN = 3
PINNED = 1e-3  # a held end's noise, in the records' noise: the smoothing meets it
PLAIN_MAX_DEVIATION = 1.0  # m, the plain composition's bound unless one is given


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
    acceleration: np.ndarray
    turn_rate: np.ndarray  # degrees per second, positive turning left
    signed_curvature: np.ndarray  # 1/m, positive turning left
    carried: dict = field(default_factory=dict)
    flagged: int = 0
    removed: int = 0
    length: float = 0.0
    origin: tuple = (np.nan, np.nan)
    noise: float = math.nan  # the records' noise per axis the trip was smoothed for
    bound: float = math.nan  # the band's bound used
    unsmoothed: str = ""  # why the band was left out, when it was


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
    bound: float
    unsmoothed: str


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
    epoch: int = 0,
    pinned: tuple = (False, False),
    noise_fallback: float = NOISE_FALLBACK,
):
    """The trip's geometry, or (status, message) where it fails. epoch: time
    0 in time units since the Unix epoch (for the time grid); pinned:
    whether the first and the last record are held where they are (a stop's
    position, which the trip must meet); noise_fallback: the noise where the
    trip's records cannot tell it."""
    ranges = pieces(a, b) if geographic else [(0, len(a))]
    frames = []
    for start, stop in ranges:
        piece_a, piece_b = a[start:stop], b[start:stop]
        frame = frame_at_mean(piece_a, piece_b) if geographic else None
        x, y = frame.forward(piece_a, piece_b) if geographic else (piece_a, piece_b)
        if memory_budget is not None:
            length = _length(x, y)
            points = len(x) + (length / DENSIFY_STEP if options.motion == "smooth" else 0.0)
            need = bytes_per_record * points + bytes_per_output_point * length / options.spacing
            if need > memory_budget:
                return TOO_LARGE, (
                    f"needs about {need / 1e6:,.0f} MB, its worker has "
                    f"{max(memory_budget, 0) / 1e6:,.0f} MB left under its memory limit"
                )
        frames.append((frame, x, y, start, stop))
    if options.motion == "plain":
        done = []
        for frame, x, y, start, stop in frames:
            piece_columns = {name: values[start:stop] for name, values in columns.items()}
            outcome = _run_module(x, y, time[start:stop], piece_columns, angles, options)
            if isinstance(outcome, tuple):
                return outcome
            done.append((frame, outcome))
        return _joined(done, a, b, geographic, seconds_per_unit)
    return _smooth_trip(
        frames,
        a,
        b,
        time,
        geographic,
        options,
        columns,
        angles,
        seconds_per_unit,
        epoch,
        pinned,
        noise_fallback,
    )


def _length(x, y) -> float:
    return float(np.hypot(np.diff(x), np.diff(y)).sum())


@dataclass
class _Shape:
    """One frame's piece of a smoothed trip, before time is known."""

    s: np.ndarray  # the output points: distance along the output path
    x: np.ndarray
    y: np.ndarray
    heading: np.ndarray
    curvature: np.ndarray
    signed_curvature: np.ndarray
    place: np.ndarray  # each output point's distance along the smoothed path
    record_place: np.ndarray  # each record's distance along the smoothed path
    along: float  # the smoothed path's length
    length: float  # the output path's length
    unsmoothed: str
    smoothed: tuple  # the records' positions smoothed in time (x, y)


def _smooth_trip(
    frames, a, b, time, geographic, options, columns, angles, seconds_per_unit, epoch, pinned, noise_fallback
):
    seconds = (time - time[0]) * seconds_per_unit  # from the trip's start: well conditioned
    noise = options.noise if options.noise is not None else _pooled_noise(frames, seconds, noise_fallback)
    along, across = _accelerations(frames, seconds, options, noise)
    bound = options.max_deviation
    if bound is None:
        spread = smoothed_spread(np.median(np.diff(seconds)), noise, across)
        bound = BOUND_PER_NOISE * noise * min(spread, SPREAD_CAP)
    shapes = []
    for k, (frame, x, y, start, stop) in enumerate(frames):
        ends = (pinned[0] and k == 0, pinned[1] and k == len(frames) - 1)
        shape = _shape(x, y, seconds[start:stop], options, noise, bound, ends, across)
        if isinstance(shape, tuple):
            return shape
        shapes.append(shape)
    # one profile for the whole trip: a later piece starts at the record the one before ends at
    record_places, places_out, offset = [], [], 0.0
    for k, shape in enumerate(shapes):
        keep = slice(1, None) if k else slice(None)
        record_places.append(shape.record_place[keep] + offset)
        places_out.append(shape.place[keep] + offset)
        offset += shape.along
    record_place, place = np.concatenate(record_places), np.concatenate(places_out)
    # records that stay within their noise for a while stand still (at a light, a lock)
    still = _still(shapes, seconds, noise)
    profile = Profile.fit(seconds, record_place, noise, along, still)
    # a rate is best estimated smoother than the distance it is the rate of (never below zero)
    rates = Profile.fit(seconds, record_place, noise, along * SPEED_SMOOTHING, still, monotone=False)
    # the output path runs from the first record's place to the last's: times exact at the ends
    first, last = profile.s[0], profile.s[-1]
    moving = last > first and offset > 0
    if moving:
        place = first + place * ((last - first) / offset)
        out_seconds, _, _ = profile.when(place)
        out_seconds[0], out_seconds[-1] = seconds[0], seconds[-1]  # exact where inversion rounds
    else:  # a trip that never moves along its path: time by distance, at rest
        fraction = place / offset if offset > 0 else np.linspace(0.0, 1.0, len(place))
        out_seconds = seconds[0] + fraction * (seconds[-1] - seconds[0])
    parts = []
    for k, ((frame, *_), shape) in enumerate(zip(frames, shapes)):
        keep = slice(1, None) if k else slice(None)
        lon, lat = frame.inverse(shape.x, shape.y) if geographic else (np.full(len(shape.x), np.nan),) * 2
        parts.append(
            (
                shape.s[keep],
                shape.x[keep],
                shape.y[keep],
                shape.heading[keep],
                shape.curvature[keep],
                shape.signed_curvature[keep],
                lon[keep],
                lat[keep],
            )
        )
    offsets = np.cumsum([0.0] + [shape.length for shape in shapes[:-1]])
    s = np.concatenate([p[0] + o for p, o in zip(parts, offsets)])
    x, y, heading, curvature, signed, lon, lat = (np.concatenate([p[i] for p in parts]) for i in range(1, 8))
    if geographic and len(shapes) > 1:  # one frame for the whole trip's x, y
        frame = frame_at_mean(a, b)
        x, y = frame.forward(lon, lat)
        origin = frame.origin_degrees
    else:
        origin = frames[0][0].origin_degrees if geographic else (np.nan, np.nan)
    out = dict(
        s=s,
        x=x,
        y=y,
        heading=heading,
        curvature=curvature,
        signed_curvature=signed,
        lon=lon,
        lat=lat,
        time=out_seconds,
    )
    if options.every is not None:
        out = _on_time_grid(out, place, profile, options.every, epoch, seconds_per_unit, time[0])
    elif moving:
        out = _with_rests(out, place, profile.rests())
    if moving:
        out["speed"], out["acceleration"] = rates.at(out["time"])[1:]
    else:
        out["speed"], out["acceleration"] = np.zeros(len(out["time"])), np.zeros(len(out["time"]))
    carried = _carried_at(seconds, columns, angles, out["time"])
    return TripGeometry(
        out["s"],
        out["x"],
        out["y"],
        out["curvature"],
        time[0] + out["time"] / seconds_per_unit,
        out["speed"],
        out["heading"],
        out["lon"],
        out["lat"],
        out["acceleration"],
        np.degrees(out["signed_curvature"] * out["speed"]),
        out["signed_curvature"],
        carried,
        0,
        0,
        float(sum(shape.length for shape in shapes)),
        origin,
        noise,
        bound,
        "; ".join(shape.unsmoothed for shape in shapes if shape.unsmoothed),
    )


def _still(shapes, seconds, noise: float) -> list:
    """Runs [first, last] of the trip's records whose positions smoothed in
    time stay within REST_DIAMETER noises for as long as crossing that at
    REST_SPEED would take (REST_SECONDS at least), found in each piece's own
    frame (a later piece's first record is the one before's last)."""
    runs, base = [], 0
    diameter = REST_DIAMETER * noise
    duration = max(REST_SECONDS, diameter / REST_SPEED)
    for shape in shapes:
        x, y = shape.smoothed
        for first, last in stops(seconds[base : base + len(x)], x, y, diameter, duration):
            if runs and runs[-1][0] >= base and base + first - runs[-1][1] <= REST_JOIN:  # one wait, cut?
                joined = slice(runs[-1][0] - base, last + 1)
                if np.hypot(np.ptp(x[joined]), np.ptp(y[joined])) <= 2.0 * diameter:
                    runs[-1] = (runs[-1][0], base + last)
                    continue
            runs.append((base + first, base + last))
        base += len(x) - 1
    return runs


def _pooled_noise(frames, seconds, fallback: float) -> float:
    """The records' noise, estimated on each frame's piece and pooled by records."""
    estimates, weights = [], []
    for _, x, y, start, stop in frames:
        value = estimate_noise(seconds[start:stop], x, y)
        if math.isfinite(value):
            estimates.append(value)
            weights.append(stop - start)
    if not estimates:
        return fallback
    return max(float(np.average(estimates, weights=weights)), NOISE_MIN)


def _accelerations(frames, seconds, options, noise: float) -> tuple[float, float]:
    """The accelerations along and across the path that the smoothing
    assumes: as set, or estimated from the trip's records (the largest
    piece's, for a trip in pieces)."""
    if options.acceleration is not None and options.turn_acceleration is not None:
        return options.acceleration, options.turn_acceleration
    _, x, y, start, stop = max(frames, key=lambda f: f[4] - f[3])
    found = accelerations(seconds[start:stop], x, y, noise)
    estimated = []
    for value, fallback in zip(found, ACCELERATION_FALLBACK):
        value = value if math.isfinite(value) and value > 0 else fallback
        estimated.append(min(max(value, ACCELERATION_RANGE[0]), ACCELERATION_RANGE[1]))
    return (
        options.acceleration if options.acceleration is not None else estimated[0],
        options.turn_acceleration if options.turn_acceleration is not None else estimated[1],
    )


def _shape(x, y, seconds, options, noise: float, bound: float, pinned: tuple, turn_acceleration: float):
    stage = "smoothing in time"
    try:
        sigma = np.full(len(x), noise)
        sigma[0] = noise * PINNED if pinned[0] else noise
        sigma[-1] = noise * PINNED if pinned[1] else sigma[-1]
        sx, vx, sy, vy = smoothed_in_time(seconds, x, y, sigma, turn_acceleration)
        for end, held in zip((0, -1), pinned):
            if held:
                sx[end], sy[end] = x[end], y[end]
        px, py, index = along_the_curve(
            seconds, sx, vx, sy, vy, max(DENSIFY_STEP, options.spacing), MAX_PER_GAP
        )
        stage = "elastic band smoothing"
        path = Path2D(x=px, y=py)
        band = path.smoothed_path_elastic_band(bound, ElasticBandMethod.SquareBounds)
        unsmoothed = ""
        if band is None:  # written as smoothed in time, without the band
            band, unsmoothed = path, "elastic band smoothing: the solver found no path"
        stage = "resampling"
        along = band.path_length_per_point_np
        place = band.add_associated_values(along)
        even = band.resampled_path(
            ResamplingMethod.by_sampling_distance(options.spacing, False), InterpolationMethod.Cubic
        )
        stage = "circle-fit curvature"
        curvature = np.asarray(even.compute_circle_fit_curvature(options.max_rmse), dtype=np.float64)
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # the module's internal error is a BaseException
        return _failure(stage, exc)
    orientation = even.orientation_np
    return _Shape(
        even.path_length_per_point_np,
        even.x_np,
        even.y_np,
        (90.0 - np.degrees(orientation)) % 360.0,  # x east, y north
        curvature,
        _signed(curvature, orientation, even.path_length_per_point_np),
        even.associated_value_np(place),
        places(band.x_np, band.y_np, along, x, y, index),
        float(along[-1]) if len(along) else 0.0,
        float(even.length),
        unsmoothed,
        (sx, sy),
    )


def _signed(curvature, orientation, s) -> np.ndarray:
    """The circle-fit curvature, positive where the path turns left (its
    orientation grows with distance)."""
    if len(s) < 3:
        return curvature.copy()
    turn = np.gradient(np.unwrap(orientation), s)
    return np.where(turn < 0, -curvature, curvature)


def _carried_at(seconds, columns: dict, angles: tuple, at) -> dict:
    """Each carried column interpolated in time at the output points (angles on the circle)."""
    values = {}
    for name, column in columns.items():
        column = np.asarray(column, dtype=np.float64)
        if name in angles:
            radians = np.radians(column)
            values[name] = (
                np.degrees(
                    np.arctan2(
                        np.interp(at, seconds, np.sin(radians)), np.interp(at, seconds, np.cos(radians))
                    )
                )
                % 360.0
            )
        else:
            values[name] = np.interp(at, seconds, column)
    return values


def _at_places(out: dict, place: np.ndarray, wanted: np.ndarray) -> dict:
    """The distance grid's geometry at other places along the path (headings on the circle)."""
    moved = {
        name: np.interp(wanted, place, out[name])
        for name in ("s", "x", "y", "curvature", "signed_curvature", "lon", "lat")
    }
    radians = np.radians(out["heading"])
    moved["heading"] = (
        np.degrees(
            np.arctan2(np.interp(wanted, place, np.sin(radians)), np.interp(wanted, place, np.cos(radians)))
        )
        % 360.0
    )
    return moved


def _on_time_grid(out, place, profile, every, epoch, seconds_per_unit, time0) -> dict:
    """The trip at every multiple of `every` seconds since the Unix epoch
    within it: where the profile puts it along the path then, with the
    distance grid's geometry there. The multiples are counted in whole time
    units where the units are nanoseconds, so that they fall exactly on them."""
    step = every * round(1.0 / seconds_per_unit) if seconds_per_unit < 1.0 else every
    if seconds_per_unit < 1.0 and float(step).is_integer():  # nanoseconds: integers, exactly
        step, first = int(step), epoch + int(round(time0))
        last = first + int(round(profile.t[-1] / seconds_per_unit))
        above = -(-first // step)  # the first multiple at or after the trip's start
        count = last // step - above + 1
        grid_units = (np.arange(max(count, 0), dtype=np.int64) + above) * step - first
        grid = grid_units.astype(np.float64) * seconds_per_unit
    else:
        first = epoch + time0
        grid = np.arange(
            math.ceil(first / step), math.floor((first + profile.t[-1] / seconds_per_unit) / step) + 1
        )
        grid = (grid * step - first) * seconds_per_unit
    grid = grid[(grid >= 0.0) & (grid <= profile.t[-1])]
    distance = np.clip(profile.at(grid)[0], place[0], place[-1])
    return dict(**_at_places(out, place, distance), time=grid)


def _with_rests(out: dict, place: np.ndarray, rests: list) -> dict:
    """The distance grid with two points at each place the profile rests at:
    when it arrives and when it leaves, so that a wait (at a light, a lock,
    a berth shorter than a stop) keeps its time and its speed of zero. A
    rest at either end of the trip shares that end's point."""
    if not rests:
        return out
    levels = np.clip(np.repeat([level for _, _, level in rests], 2), place[0], place[-1])
    extra = _at_places(out, place, levels)
    extra["time"] = np.array([when for start, end, _ in rests for when in (start, end)])
    joined = {name: np.concatenate([out[name], extra[name]]) for name in out}
    along = np.concatenate([place, levels])
    order = np.lexsort((joined["time"], along))
    along, when = along[order], joined["time"][order]
    keep = np.r_[True, (np.diff(along) != 0) | (np.diff(when) != 0)]
    return {name: values[order][keep] for name, values in joined.items()}


def _failure(stage: str, exc: BaseException) -> tuple:
    status = INTERNAL_ERROR if _is_internal_error(exc) else ERROR
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    if status == ERROR:
        text = f"{type(exc).__name__}: {text}"
    return status, f"{stage}: {text}"


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
        bound = PLAIN_MAX_DEVIATION if options.max_deviation is None else options.max_deviation
        smoothed = repaired.smoothed_path_elastic_band(bound, ElasticBandMethod.SquareBounds)
        unsmoothed = ""
        if smoothed is None:  # the repaired records are written as they are
            smoothed = Path2D(x=repaired.x_np, y=repaired.y_np)
            unsmoothed = "elastic band smoothing: the solver found no path"
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
        return _failure(stage, exc)
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
        bound,
        unsmoothed,
    )


def _is_internal_error(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def _joined(done: list, a, b, geographic: bool, seconds_per_unit: float) -> TripGeometry:
    """The pieces as one trip: a piece after the first starts at the record
    the one before ends at, so its first point is left out."""
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
    if len(parts) == 1:  # the usual case: one frame, nothing to join
        s, x, y, curvature, time, heading, lon, lat, carried = parts[0]
    else:
        s, x, y, curvature, time, heading, lon, lat = (
            np.concatenate([p[i] for p in parts]) for i in range(8)
        )
        carried = {name: np.concatenate([p[8][name] for p in parts]) for name in parts[0][8]}
    if geographic and len(done) > 1:  # one frame for the whole trip's x, y
        frame = frame_at_mean(a, b)
        x, y = frame.forward(lon, lat)
        origin = frame.origin_degrees
    else:
        origin = done[0][0].origin_degrees if geographic else (np.nan, np.nan)
    speed = _speed(s, time, seconds_per_unit)
    signed = _signed(curvature, np.radians(90.0 - heading), s)
    return TripGeometry(
        s,
        x,
        y,
        curvature,
        time,
        speed,
        heading,
        lon,
        lat,
        _speed(speed, time, seconds_per_unit),  # the speed's own rate of change
        np.degrees(signed * speed),
        signed,
        carried,
        sum(p.flagged for _, p in done),
        sum(p.removed for _, p in done),
        float(sum(p.length for _, p in done)),
        origin,
        bound=done[0][1].bound,
        unsmoothed="; ".join(p.unsmoothed for _, p in done if p.unsmoothed),
    )


def _speed(s: np.ndarray, time: np.ndarray, seconds_per_unit: float) -> np.ndarray:
    """The rate of s per second (m/s along the output path for distances):
    central differences, one-sided at the ends."""
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
