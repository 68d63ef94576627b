"""One track through the pipeline.

Records that cannot be used are dropped and counted; jumps are dropped;
stops are found; the rest is cut into trips (at gaps in time and at stops),
and each trip is repaired, smoothed, resampled and given its curvature, its
time, speed and heading, and the columns it carries. Every geometric step is
a call into velmora; a failing trip gets a status with a message instead of
raising, and every other trip of the track completes.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .cleaning import (
    BAD_POSITION,
    JUMP,
    KEPT,
    NO_TIME,
    OUTLIER,
    REASONS,
    jumps,
    stops,
    stops_on_ellipsoid,
    unusable,
)
from .motion import estimate_noise, noise_at_rest, outliers, plausible_acceleration
from .options import SETTINGS, TRACK_SETTINGS, Options, pick, takes_settings
from .presets import preset_named
from .projection import FRAME_RADIUS, _earth_centred, frame_at_mean
from .records import as_ns
from .simplify import simplified
from .trips import Stop, TripPlan, plan_trips
from .trip_geometry import NOISE_FALLBACK, TripGeometry, run_trip

OK = "ok"
INVALID_INPUT = "invalid_input"  # every record was dropped (no time, or no usable position)
TOO_SHORT = "too_short"  # fewer than two points
UNSMOOTHED = "unsmoothed"  # the elastic band's solver found no path: written without the band
INTERNAL_ERROR = "internal_error"  # the module raised its internal-error exception
ERROR = "error"  # any other exception, for example MemoryError
TOO_LARGE = "too_large"  # more records than the run allows, or than its worker's memory holds
WORKER_LOST = "worker_lost"  # its worker died twice while running it (memory limit, a crash)
AT_REST = "at_rest"  # every usable record lies in a stop: no trip, and nothing failed
NO_MOTION = "no_motion"  # a trip whose points all lie at one position: no line, and nothing failed
STATUSES = (
    OK,
    INVALID_INPUT,
    TOO_SHORT,
    UNSMOOTHED,
    INTERNAL_ERROR,
    ERROR,
    TOO_LARGE,
    WORKER_LOST,
    AT_REST,
    NO_MOTION,
)
SUCCEEDED = (OK, AT_REST, NO_MOTION)

# What running a trip takes, measured: about 3.6 KB per record (the elastic
# band's problem and its solver) plus about 80 bytes per output point.
BYTES_PER_RECORD = 3_600
BYTES_PER_OUTPUT_POINT = 100
NS = 1_000_000_000


@dataclass
class TripResult:
    """One trip of a track: its row in the trip table."""

    trip: int | None  # None: the row of a track that yields no trip
    start: Any = None  # times in the input's kind (numbers, or datetime64[ns])
    end: Any = None
    records: int = 0  # input records accounted to this row: used + dropped + in stops
    records_used: int = 0
    dropped: dict = field(default_factory=dict)  # reason -> records
    records_in_stops: int = 0
    points_flagged: int = 0
    points_removed: int = 0
    points_out: int = 0
    length: float = math.nan
    status: str = OK
    error: str = ""
    origin_lon: float = math.nan
    origin_lat: float = math.nan
    noise: float = math.nan  # the records' noise per axis it was smoothed for (metres)
    max_deviation: float = math.nan  # the band's bound used (metres)
    geometry: TripGeometry | None = None

    @property
    def ok(self) -> bool:
        return self.status == OK

    @property
    def written(self) -> bool:
        """Whether the trip has output points: ok, or written without the band."""
        return self.geometry is not None


@dataclass
class StopResult:
    stop: int
    arrival: Any
    departure: Any
    x: float
    y: float
    lon: float
    lat: float
    records: int


@dataclass
class TrackResult:
    """The outcome of one track: its trips (with the output points of those
    that succeeded, in order), its stops, and its records' accounting."""

    track_id: Any
    points_in: int
    trips: list = field(default_factory=list)
    stops: list = field(default_factory=list)
    geographic: bool = False
    time_kind: str = "float"

    def _joined(self, name: str) -> np.ndarray:
        parts = [getattr(t.geometry, name) for t in self.trips if t.geometry is not None]
        return np.concatenate(parts) if parts else np.empty(0, dtype=np.float64)

    # the output points' columns, trip after trip
    s = property(lambda self: self._joined("s"))
    x = property(lambda self: self._joined("x"))
    y = property(lambda self: self._joined("y"))
    curvature = property(lambda self: self._joined("curvature"))
    speed = property(lambda self: self._joined("speed"))
    heading = property(lambda self: self._joined("heading"))
    lon = property(lambda self: self._joined("lon"))
    lat = property(lambda self: self._joined("lat"))
    acceleration = property(lambda self: self._joined("acceleration"))
    turn_rate = property(lambda self: self._joined("turn_rate"))
    signed_curvature = property(lambda self: self._joined("signed_curvature"))

    @property
    def time(self) -> np.ndarray:
        times = self._joined("time")
        return _time_out(times, self.time_kind, self._origin_ns)

    _origin_ns: int = 0

    @property
    def trip(self) -> np.ndarray:
        parts = [np.full(t.points_out, t.trip, dtype=np.int64) for t in self.trips if t.geometry is not None]
        return np.concatenate(parts) if parts else np.empty(0, dtype=np.int64)

    def carried(self, name: str) -> np.ndarray:
        parts = [t.geometry.carried[name] for t in self.trips if t.geometry is not None]
        return np.concatenate(parts) if parts else np.empty(0, dtype=np.float64)

    @property
    def points_out(self) -> int:
        return sum(t.points_out for t in self.trips)

    @property
    def points_flagged(self) -> int:
        return sum(t.points_flagged for t in self.trips)

    @property
    def points_removed(self) -> int:
        return sum(t.points_removed for t in self.trips)

    @property
    def length(self) -> float:
        done = [t.length for t in self.trips if t.written and t.trip is not None]
        return float(sum(done)) if done else math.nan

    @property
    def status(self) -> str:
        """ok when every trip is (or the track is at rest); else the first trip's failure."""
        failed = [t for t in self.trips if t.status not in SUCCEEDED]
        return failed[0].status if failed else AT_REST if self.trips and not self.points_out else OK

    @property
    def error(self) -> str:
        failed = [t for t in self.trips if t.status not in SUCCEEDED]
        return failed[0].error if failed else ""

    @property
    def ok(self) -> bool:
        return self.status == OK

    @property
    def origin_lon(self) -> float:
        return self.trips[0].origin_lon if self.trips else math.nan

    @property
    def origin_lat(self) -> float:
        return self.trips[0].origin_lat if self.trips else math.nan

    def without_points(self) -> "TrackResult":
        """The same track, its stops and its trips' counts, without the output points."""
        return TrackResult(
            self.track_id,
            self.points_in,
            stops=self.stops,
            geographic=self.geographic,
            time_kind=self.time_kind,
        )

    def dropped(self) -> dict:
        total = {}
        for t in self.trips:
            for reason, count in t.dropped.items():
                total[reason] = total.get(reason, 0) + count
        return total


@takes_settings(TRACK_SETTINGS)
def process_track(
    time,
    x=None,
    y=None,
    *,
    lon=None,
    lat=None,
    track_id=None,
    carry: dict | None = None,
    carry_angles: dict | None = None,
    preset: str | None = None,
    **settings,
) -> TrackResult:
    """Runs one track's records (in any order; taken in order of time, ties in
    the given order) through the pipeline. Give either x and y in metres or
    lon and lat in degrees; `time` as numbers (seconds), datetime64 values or
    text (ISO 8601, or numbers), None where a record has none. `carry` and
    `carry_angles` map names to per-record values (angles in degrees) carried
    to every output point. `preset` names a kind of recording whose settings
    apply where none is given (as run() does). The settings go to the module
    as given (run() checks them first; a duration may be text, as "10s"). A
    failing trip gets a status and message; the call raises only for
    arguments it cannot take."""
    if (x is None) == (lon is None) or (x is None) != (y is None) or (lon is None) != (lat is None):
        raise TypeError("process_track takes either x and y, or lon and lat")
    geographic = x is None
    a = np.asarray(lon if geographic else x, dtype=np.float64)
    b = np.asarray(lat if geographic else y, dtype=np.float64)
    time, kind = normalised_times(time)
    columns = {**(carry or {}), **(carry_angles or {})}
    carried = [np.asarray(v, dtype=np.float64) for v in columns.values()]
    if not all(len(c) == len(time) for c in [a, b] + carried):
        raise ValueError(
            f"time, {'lon, lat' if geographic else 'x, y'} and the carried columns differ in length: "
            f"{len(time)}, {', '.join(str(len(c)) for c in [a, b] + carried)}"
        )
    order = np.argsort(time, kind="stable")  # NaT and NaN last
    if preset is not None:
        names = {s.name for s in TRACK_SETTINGS}
        settings = {**{k: v for k, v in preset_named(preset).settings.items() if k in names}, **settings}
    if isinstance(settings.get("every"), str):
        settings["every"] = SETTINGS["every"].check(settings["every"])
    options = Options(**pick(settings, TRACK_SETTINGS))
    return process_sorted(
        track_id,
        time[order],
        a[order],
        b[order],
        geographic,
        options,
        carried={name: c[order] for name, c in zip(columns, carried)},
        angles=tuple(carry_angles or ()),
        time_kind=kind,
    )


def normalised_times(values) -> tuple[np.ndarray, str]:
    """Times as datetime64[ns] (naive UTC; NaT where missing) or float64
    numbers (NaN where missing), and which: "time" or "float"."""
    array = np.asarray(values)
    if array.dtype.kind == "M":
        return as_ns(array), "time"
    if array.dtype.kind in "iufb" and array.dtype.kind != "b":
        return array.astype(np.float64), "float"
    import pandas as pd

    series = pd.Series(array.ravel(), dtype=object)
    present = series.notna().to_numpy()
    numbers = pd.to_numeric(series, errors="coerce")
    if not (numbers.isna().to_numpy() & present).any():
        return numbers.to_numpy(dtype=np.float64, na_value=np.nan), "float"
    times = pd.to_datetime(series, errors="coerce", utc=True, format="ISO8601")
    unreadable = times.isna().to_numpy() & present
    if unreadable.any():
        raise ValueError(
            f"time holds {series[unreadable].iloc[0]!r}, which is neither a number nor an ISO 8601 time"
        )
    return as_ns(times.dt.tz_localize(None).to_numpy()), "time"


def _time_out(values: np.ndarray, kind: str, origin_ns: int) -> np.ndarray:
    if kind != "time":
        return values
    return (np.round(values).astype(np.int64) + origin_ns).astype("datetime64[ns]")


def _time_in(values: np.ndarray, kind: str, origin_ns: int):
    """A time of the output from the pipeline's own (ns from the track's first, or the number)."""
    if kind != "time":
        return float(values)
    return np.datetime64(int(round(values)) + origin_ns, "ns")


def process_sorted(
    track_id,
    time: np.ndarray,
    a: np.ndarray,
    b: np.ndarray,
    geographic: bool,
    options: Options,
    max_points: int | None = None,
    memory_budget: float | None = None,
    carried: dict | None = None,
    angles: tuple = (),
    time_kind: str | None = None,
) -> TrackResult:
    """The pipeline on records already in order of time (a, b: x, y or lon,
    lat; time as datetime64 or numbers, missing last). A trip of more than
    max_points records, or whose estimated need exceeds memory_budget bytes,
    is not run (status too_large)."""
    carried = carried or {}
    time_kind = time_kind or ("time" if time.dtype.kind == "M" else "float")
    n = len(a)
    result = TrackResult(track_id, n, geographic=geographic, time_kind=time_kind)
    has_time = ~np.isnat(time) if time.dtype.kind == "M" else ~np.isnan(time.astype(np.float64))
    # the pipeline's own time: float ns from the first record (times) or the numbers themselves
    if time_kind == "time" and has_time.any():
        result._origin_ns = int(time[has_time][0].astype("datetime64[ns]").astype(np.int64))
        value = np.where(has_time, time.astype("datetime64[ns]").astype(np.int64) - result._origin_ns, 0)
        value = value.astype(np.float64)
        seconds = value / NS
    else:
        value = np.where(has_time, time.astype(np.float64), 0.0)
        seconds = value
    reason = unusable(has_time, a, b, seconds, geographic)
    kept = np.flatnonzero(reason == KEPT)
    if len(kept):
        frame = frame_at_mean(a[kept], b[kept]) if geographic else None
        x, y = frame.forward(a[kept], b[kept]) if geographic else (a[kept], b[kept])
        # distances between records, measured where they lie: in the track's frame, or as
        # earth-centred chords for a track too wide for one
        local = (x, y, None)
        if geographic and not _within_frame(frame, a[kept], b[kept]):
            local = _earth_centred(np.radians(a[kept]), np.radians(b[kept]))
        if options.max_speed is not None:
            jumped = jumps(seconds[kept], *local[:2], options.max_speed, local[2])
            reason[kept[jumped]] = JUMP
            kept, x, y = kept[~jumped], x[~jumped], y[~jumped]
            local = tuple(None if c is None else c[~jumped] for c in local)
        if options.motion == "smooth" and len(kept) > 3:
            noise = options.noise
            if noise is None:
                noise = estimate_noise(seconds[kept], *local)
            noise = noise if math.isfinite(noise) else NOISE_FALLBACK
            limit = options.max_acceleration
            if limit is None:
                limit = plausible_acceleration(seconds[kept], *local[:2], noise, local[2])
            far = outliers(seconds[kept], *local[:2], noise, limit, local[2])
            reason[kept[far]] = OUTLIER
            kept, x, y = kept[~far], x[~far], y[~far]
    if len(kept) == 0:
        counts = {
            REASONS[r]: int(np.count_nonzero(reason == r))
            for r in (NO_TIME, BAD_POSITION)
            if (reason == r).any()
        }
        detail = ", ".join(f"{count} {_REASON_TEXT[name]}" for name, count in counts.items())
        result.trips = [
            TripResult(
                None,
                records=n,
                dropped=counts,
                status=INVALID_INPUT if n else TOO_SHORT,
                error=f"all {n} records dropped: {detail}"
                if n
                else "a track needs at least 2 points, this one has 0",
            )
        ]
        return result
    wide = geographic and options.stop_duration > 0 and not _within_frame(frame, a[kept], b[kept])
    find_stops = stops_on_ellipsoid if wide else stops
    stop_ranges = find_stops(
        seconds[kept], *((a[kept], b[kept]) if wide else (x, y)), options.stop_diameter, options.stop_duration
    )
    plans, stop_list = plan_trips(seconds[kept], x, y, stop_ranges, options.max_gap)
    # the noise where a trip's own records cannot tell it (sparse ones): the track's scatter at rest
    at_rest = noise_at_rest(
        stop_ranges, *(_earth_centred(*np.radians([a[kept], b[kept]])) if wide else (x, y))
    )
    context = _Context(
        kept,
        value,
        a,
        b,
        geographic,
        frame if geographic else None,
        carried,
        angles,
        options,
        max_points,
        memory_budget,
        1.0 / NS if time_kind == "time" else 1.0,
        result._origin_ns if time_kind == "time" else 0,
        {
            id(stop): _local_mean(a[kept[stop.first : stop.last + 1]], b[kept[stop.first : stop.last + 1]])
            for stop in stop_list
        }
        if wide
        else {},
        at_rest if math.isfinite(at_rest) else NOISE_FALLBACK,
    )
    result.trips = [_run_one(context, k, plan) for k, plan in enumerate(plans)]
    result.stops = [_stop_result(context, k, stop) for k, stop in enumerate(stop_list)]
    _account(result, reason, value, has_time, kept, plans, stop_list, time_kind)
    for stop in result.stops:
        stop.arrival = _time_in(stop.arrival, time_kind, result._origin_ns)
        stop.departure = _time_in(stop.departure, time_kind, result._origin_ns)
    return result


_REASON_TEXT = {
    "no_time": "without a time",
    "bad_position": "with a position that is missing, not finite or outside lon -180..180, lat -90..90",
}


@dataclass
class _Context:
    kept: np.ndarray  # indices of the kept records
    value: np.ndarray  # every record's time in the pipeline's units
    a: np.ndarray
    b: np.ndarray
    geographic: bool
    frame: Any  # the track's frame (degrees only), where stops are averaged
    carried: dict
    angles: tuple
    options: Options
    max_points: int | None
    memory_budget: float | None
    seconds_per_unit: float
    epoch: int  # time 0 in time units since the Unix epoch (nanoseconds for times, else 0)
    places: dict  # id(stop) -> its (lon, lat), where the track's frame cannot tell it (see _within_frame)
    noise_fallback: float  # the records' noise where a trip's own records cannot tell it


def _run_one(context: _Context, number: int, plan: TripPlan) -> TripResult:
    """The trip's points (stop ends included) through the module."""
    indices = context.kept[plan.first : plan.last + 1]
    a, b, t = context.a[indices], context.b[indices], context.value[indices]
    columns = {name: values[indices] for name, values in context.carried.items()}
    ends = []
    if plan.starts_at is not None:
        ends.append(("start", plan.starts_at, context.value[context.kept[plan.starts_at.last]]))
    if plan.ends_at is not None:
        ends.append(("end", plan.ends_at, context.value[context.kept[plan.ends_at.first]]))
    for where, stop, when in ends:  # the stop's mean position, at its departure or arrival
        sa, sb = _stop_position(context, stop)
        stop_columns = _stop_columns(context, stop)
        if where == "start":
            a, b, t = np.r_[sa, a], np.r_[sb, b], np.r_[when, t]
            columns = {name: np.r_[stop_columns[name], v] for name, v in columns.items()}
        else:
            a, b, t = np.r_[a, sa], np.r_[b, sb], np.r_[t, when]
            columns = {name: np.r_[v, stop_columns[name]] for name, v in columns.items()}
    trip = TripResult(number, records_used=plan.records)
    trip.start, trip.end = t[0], t[-1]
    if len(a) < 2:
        return _failed(trip, TOO_SHORT, f"a trip needs at least 2 points, this one has {len(a)}")
    if context.max_points is not None and len(a) > context.max_points:
        return _failed(
            trip,
            TOO_LARGE,
            f"{len(a):,} records, more than the {context.max_points:,} a trip may have (max_track_points)",
        )
    outcome = run_trip(
        a,
        b,
        t,
        context.geographic,
        context.options,
        columns,
        context.angles,
        context.memory_budget,
        BYTES_PER_RECORD,
        BYTES_PER_OUTPUT_POINT,
        context.seconds_per_unit,
        context.epoch,
        (plan.starts_at is not None, plan.ends_at is not None),
        context.noise_fallback,
    )
    if isinstance(outcome, tuple):
        return _failed(trip, *outcome)
    if len(outcome.s) < 2 or not outcome.length > 0:  # a line needs two places: no line, the counts kept
        _failed(trip, NO_MOTION, f"its {len(a)} points lie at one position")
        trip.length = 0.0
        return trip
    outcome = simplified(outcome, context.options.simplify)  # --simplify: fewer points, same motion
    trip.geometry = outcome
    trip.points_flagged, trip.points_removed = outcome.flagged, outcome.removed
    trip.points_out, trip.length = len(outcome.s), outcome.length
    trip.origin_lon, trip.origin_lat = outcome.origin
    trip.noise, trip.max_deviation = outcome.noise, outcome.bound
    if outcome.unsmoothed:
        trip.status, trip.error = UNSMOOTHED, f"{outcome.unsmoothed}; written without it"
    return trip


def _within_frame(frame, lon: np.ndarray, lat: np.ndarray) -> bool:
    """Whether every record lies within FRAME_RADIUS of the frame's origin,
    where the track's frame measures stops as well as a frame of their own."""
    ex, ey, ez = _earth_centred(np.radians(lon), np.radians(lat))
    ox, oy, oz = _earth_centred(frame.lon, frame.lat)
    return float(np.max((ex - ox) ** 2 + (ey - oy) ** 2 + (ez - oz) ** 2, initial=0.0)) <= FRAME_RADIUS**2


def _local_mean(lon: np.ndarray, lat: np.ndarray) -> tuple[float, float]:
    """The mean position of records, taken in a frame at the records themselves."""
    frame = frame_at_mean(lon, lat)
    x, y = frame.forward(lon, lat)
    mean_lon, mean_lat = frame.inverse(np.array([x.mean()]), np.array([y.mean()]))
    return float(mean_lon[0]), float(mean_lat[0])


def _stop_position(context: _Context, stop: Stop) -> tuple[float, float]:
    if id(stop) in context.places:
        return context.places[id(stop)]
    if context.geographic:
        lon, lat = context.frame.inverse(np.array([stop.x]), np.array([stop.y]))
        return float(lon[0]), float(lat[0])
    return stop.x, stop.y


def _stop_columns(context: _Context, stop: Stop) -> dict:
    """Carried values at a stop: their mean over its records (angles on the circle)."""
    indices = context.kept[stop.first : stop.last + 1]
    values = {}
    for name, column in context.carried.items():
        part = column[indices]
        part = part[np.isfinite(part)]
        if not part.size:
            values[name] = np.nan
        elif name in context.angles:
            values[name] = (
                np.degrees(np.arctan2(np.sin(np.radians(part)).mean(), np.cos(np.radians(part)).mean()))
                % 360.0
            )
        else:
            values[name] = part.mean()
    return values


def _stop_result(context: _Context, number: int, stop: Stop) -> StopResult:
    lon, lat = _stop_position(context, stop) if context.geographic else (math.nan, math.nan)
    first, last = context.kept[stop.first], context.kept[stop.last]
    x, y = stop.x, stop.y
    if id(stop) in context.places:  # in the track's frame, for drawing, as a long trip's x, y
        x, y = (float(v[0]) for v in context.frame.forward(np.array([lon]), np.array([lat])))
    return StopResult(
        number,
        context.value[first],
        context.value[last],
        x,
        y,
        lon,
        lat,
        stop.last - stop.first + 1,
    )


def _account(
    result: TrackResult,
    reason: np.ndarray,
    value: np.ndarray,
    has_time: np.ndarray,
    kept: np.ndarray,
    plans: list,
    stop_list: list,
    kind: str,
) -> None:
    """Gives every input record to one row: a trip's own records to it; a
    stop's to the trip it ends (or starts); a dropped record to the trip in
    whose time it falls (from one trip's start to the next's), or the first."""
    trips = result.trips
    for trip, plan in zip(trips, plans):
        trip.records = plan.records
    if not stop_list and len(kept) == len(reason):  # the usual case: nothing at rest, nothing dropped
        _convert_times(result, kind)
        return
    starts = np.array([t.start for t in trips], dtype=np.float64)
    owner_of_stop = {}
    for trip, plan in zip(trips, plans):
        for stop in (plan.ends_at, plan.starts_at):
            if stop is not None:
                owner_of_stop.setdefault(id(stop), trip)
    for stop in stop_list:
        owner = owner_of_stop.get(id(stop))
        if owner is None:  # a stop with no trip beside it: the trip nearest in time
            when = value[kept[stop.first]]
            owner = (
                trips[int(np.clip(np.searchsorted(starts, when, side="right") - 1, 0, len(trips) - 1))]
                if trips
                else None
            )
        if owner is None:
            owner = _tripless_row(result)
        owner.records_in_stops += stop.last - stop.first + 1
        owner.records += stop.last - stop.first + 1
    dropped = np.flatnonzero(reason != KEPT)
    if len(dropped):
        if trips:
            slot = np.clip(np.searchsorted(starts, value[dropped], side="right") - 1, 0, len(trips) - 1)
            slot[~has_time[dropped]] = 0
        else:
            slot = np.zeros(len(dropped), dtype=np.int64)
        rows = trips if trips else [_tripless_row(result)]
        for k, index in zip(slot, dropped):
            row = rows[k]
            name = REASONS[int(reason[index])]
            row.dropped[name] = row.dropped.get(name, 0) + 1
            row.records += 1
    _convert_times(result, kind)


def _convert_times(result: TrackResult, kind: str) -> None:
    for trip in result.trips:
        trip.start = _time_in(trip.start, kind, result._origin_ns) if trip.start is not None else None
        trip.end = _time_in(trip.end, kind, result._origin_ns) if trip.end is not None else None


def _tripless_row(result: TrackResult) -> TripResult:
    for trip in result.trips:
        if trip.trip is None:
            return trip
    row = TripResult(None, status=AT_REST, error="every usable record lies in a stop")
    result.trips.append(row)
    return row


def _failed(trip: TripResult, status: str, message: str) -> TripResult:
    trip.status, trip.error = status, message
    trip.geometry, trip.points_out, trip.length = None, 0, math.nan
    return trip


__all__ = ["TrackResult", "TripResult", "StopResult", "process_track", "STATUSES"]
