"""process_track: bad records drop and are counted, trips and stops, time and
carried columns, degrees in and out; every failure is a status, never an
exception."""

import math

import numpy as np
import pytest

from velmora_fleet import process_track

LINE = np.arange(6.0)
STRAIGHT = dict(time=np.arange(40.0), x=np.arange(40.0) * 5.0, y=np.zeros(40))


@pytest.mark.parametrize(
    "arguments, status, message",
    [
        (dict(time=[0.0], x=[1.0], y=[2.0]), "too_short", "a trip needs at least 2 points, this one has 1"),
        (
            dict(time=[math.nan, math.nan], x=[0, 1], y=[0, 0]),
            "invalid_input",
            "all 2 records dropped: 2 without a time",
        ),
        # a sampling distance of 0 breaks the module's own expectation (its internal error)
        (
            dict(time=LINE, x=LINE, y=LINE * 0, spacing=0.0),
            "internal_error",
            "resampling: index out of bounds: the len is 0 but the index is 0",
        ),
    ],
)
def test_failing_track_gets_status_and_message(arguments, status, message):
    result = process_track(track_id=7, **arguments)
    assert (result.status, result.error, result.points_out) == (status, message, 0)
    assert result.track_id == 7 and math.isnan(result.length)


@pytest.mark.parametrize(
    "change, reason",
    [
        (dict(time={3: math.nan}), "no_time"),
        (dict(y={3: math.nan}), "bad_position"),
        (dict(x={3: math.inf}), "bad_position"),
        (dict(time={4: 3.0}), "duplicate"),  # the same time as the record before: the first is kept
        (dict(x={3: 5000.0}), "jump"),  # 5 km in a second
    ],
)
def test_each_bad_record_is_dropped_and_counted(change, reason):
    arrays = {name: np.array(values, dtype=float) for name, values in STRAIGHT.items()}
    for name, edits in change.items():
        for index, value in edits.items():
            arrays[name][index] = value
    result = process_track(**arrays, max_speed=50.0)
    (trip,) = result.trips
    assert result.status == "ok" and trip.dropped == {reason: 1}
    assert trip.records == 40 and trip.records_used == 39


@pytest.mark.parametrize("motion", ["smooth", "plain"])
def test_a_trip_the_solver_fails_is_written_unsmoothed_with_its_status(motion):
    # contradictory bounds: the solver reports no solution, and the trip keeps its points without the band
    result = process_track(LINE, x=LINE, y=LINE * 0.1, max_deviation=-1.0, motion=motion)
    (trip,) = result.trips
    assert trip.status == "unsmoothed" and trip.error.startswith(
        "elastic band smoothing: the solver found no path"
    )
    assert (
        trip.points_out > 5
        and np.all(np.diff(result.time) > 0)
        and result.length == pytest.approx(5.0 * 1.005, rel=0.01)
    )


def test_lon_lat_out_of_range_and_not_available_drop_alone():
    lon, lat = np.linspace(10.0, 10.01, 8), np.full(8, 50.0)
    lon[2], lat[5] = 181.0, 91.0
    result = process_track(np.arange(8.0), lon=lon, lat=lat)
    assert result.ok and result.dropped() == {"bad_position": 2}


@pytest.mark.parametrize(
    "arguments",
    [
        dict(time=LINE, x=np.full(6, 3.0), y=np.zeros(6)),
        dict(time=LINE, lon=np.full(6, 11.5), lat=np.full(6, 48.1)),
    ],
)
def test_a_trip_that_does_not_move_keeps_its_row_and_no_line(arguments):
    result = process_track(**arguments)
    (trip,) = result.trips
    assert (trip.status, trip.points_out, trip.geometry, trip.length) == ("no_motion", 0, None, 0.0)
    assert (trip.records, trip.records_used, trip.start, trip.end) == (6, 6, 0.0, 5.0)
    assert result.status == "at_rest" and result.points_out == 0


@pytest.mark.parametrize(
    "time",
    [
        np.array(
            ["2020-01-01T00:00:00", "2020-01-01T00:00:01", "9999-12-31", "2020-01-01T00:00:02"], "M8[us]"
        ),
        ["2020-01-01T00:00:00Z", "2020-01-01T00:00:01Z", "9999-12-31T00:00:00Z", "2020-01-01T00:00:02Z"],
    ],
)
def test_a_time_beyond_what_nanoseconds_hold_is_no_time(time):
    result = process_track(time, x=np.arange(4.0), y=np.zeros(4))
    assert result.ok and result.dropped() == {"no_time": 1}
    assert result.time[-1] == np.datetime64("2020-01-01T00:00:02")


def test_stops_far_from_the_track_middle_are_measured_where_they_are():
    # a voyage along the equator from 60 W to 150 E (10 m/s, a record every 20 minutes), then
    # 40 minutes in port: the track's middle lies near 45 E, more than 90 degrees from both ends
    voyage = np.arange(-60.0, 150.0, 12_000.0 / 111_319.49)
    rng = np.random.default_rng(1)
    port = 150.0 + rng.normal(0.0, 1e-4, 80), 0.001 + rng.normal(0.0, 1e-4, 80)
    lon, lat = np.r_[voyage, port[0]], np.r_[np.zeros(len(voyage)), port[1]]
    time = np.r_[np.arange(len(voyage)) * 1200.0, len(voyage) * 1200.0 + np.arange(80) * 30.0]
    result = process_track(
        time, lon=lon, lat=lat, stop_diameter=100.0, stop_duration=600.0, max_gap=0, spacing=5000.0
    )
    (stop,) = result.stops
    assert stop.records == 80 and stop.arrival == time[len(voyage)]
    assert (stop.lon, stop.lat) == pytest.approx((port[0].mean(), port[1].mean()), abs=1e-7)
    assert result.lon[-1] == pytest.approx(stop.lon, abs=1e-7)  # the trip ends at the stop


def test_time_is_exact_at_the_ends_monotone_between_and_gives_the_speed():
    time = np.datetime64("2026-03-01T10:00:00", "ns") + np.arange(40) * np.timedelta64(500, "ms")
    result = process_track(time, x=np.arange(40.0) * 4.0, y=np.zeros(40), spacing=0.7)
    out = result.time
    assert out.dtype == np.dtype("datetime64[ns]")
    assert (out[0], out[-1]) == (time[0], time[-1]) and np.all(np.diff(out.astype(np.int64)) > 0)
    assert result.speed == pytest.approx(np.full(result.points_out, 8.0), rel=1e-6)
    assert result.heading == pytest.approx(np.full(result.points_out, 90.0))  # due east


@pytest.mark.parametrize(
    "values, near", [([350.0, 355.0, 5.0, 10.0], 0.0), ([170.0, 175.0, 185.0, 190.0], 180.0)]
)
def test_angles_are_carried_on_the_circle(values, near):
    time = np.arange(4.0) * 10.0
    result = process_track(
        time,
        x=time * 3.0,
        y=np.zeros(4),
        carry_angles={"COG": values},
        carry={"SOG": [1, 2, 3, 4]},
        spacing=1.0,
    )
    cog = result.carried("COG")
    assert np.all(np.abs((cog - near + 180.0) % 360.0 - 180.0) <= 10.0 + 1e-9)
    assert result.carried("SOG")[0] == 1.0 and result.carried("SOG")[-1] == 4.0


def test_gaps_start_trips_and_stops_end_them_at_their_mean_position():
    rng = np.random.default_rng(0)
    drive = np.arange(60.0) * 10.0  # 10 m/s for a minute ...
    rest = 650.0 + rng.normal(0.0, 2.0, 400)  # ... then jitter at rest for 400 s ...
    time = np.r_[
        np.arange(60.0), 60.0 + np.arange(400.0), 2000.0 + np.arange(30.0)
    ]  # ... then a gap of 1,540 s
    x = np.r_[drive, rest, 900.0 + np.arange(30.0) * 10.0]
    x[-5] = math.nan  # a bad record of the second trip is counted there
    y = np.r_[np.zeros(60), rng.normal(0.0, 2.0, 400), np.zeros(30)]
    result = process_track(time, x=x, y=y, max_acceleration=1e3)  # it stops dead from 10 m/s
    assert [t.trip for t in result.trips] == [0, 1]
    (stop,) = result.stops
    assert (stop.arrival, stop.departure, stop.records) == (60.0, 459.0, 400)
    assert (stop.x, stop.y) == pytest.approx((x[60:460].mean(), y[60:460].mean()))
    first, second = result.trips
    assert (first.start, first.end) == (0.0, 60.0) and (second.start, second.end) == (2000.0, 2029.0)
    assert first.records_in_stops == 400 and first.records + second.records == len(time)
    assert (first.dropped, second.dropped) == ({}, {"bad_position": 1})
    ends = result.x[result.trip == 0][-1], result.y[result.trip == 0][-1]
    assert ends == pytest.approx((stop.x, stop.y), abs=1e-6)
    # with both off: one trip through the jitter, as the plain module operations give
    plain = process_track(time, x=x, y=y, max_gap=0, stop_duration=0, motion="plain")
    assert len(plain.trips) == 1 and plain.points_out > result.points_out


@pytest.mark.parametrize(
    "lon, lat",
    [((11.5, 11.58), (48.1, 48.15)), ((179.99, -179.99), (0.0, 0.01)), ((30.0, 31.0), (89.99, 89.995))],
)
def test_degrees_map_to_east_north_and_back_as_an_independent_geodesy_library_says(lon, lat):
    pyproj = pytest.importorskip("pyproj")
    steps = np.linspace(0.0, 1.0, 60)
    lons = (lon[0] + steps * (((lon[1] - lon[0]) + 180.0) % 360.0 - 180.0) + 180.0) % 360.0 - 180.0
    result = process_track(steps * 100.0, lon=lons, lat=lat[0] + steps * (lat[1] - lat[0]))
    assert result.ok
    # the path starts where its records do (a mirrored frame would start it at the other end)
    start = ((result.lon[0] - lons[0] + 180.0) % 360.0 - 180.0, result.lat[0] - lat[0])
    assert np.abs(start).max() < 1e-4
    origin_lon, origin_lat = result.origin_lon, result.origin_lat
    # the frame sits at the track's middle, not at one end, so its error is least where the track lies
    span = (((lon[1] - lon[0]) + 180.0) % 360.0 - 180.0, lat[1] - lat[0])
    middle = ((origin_lon - lon[0] - span[0] / 2 + 180.0) % 360.0 - 180.0, origin_lat - lat[0] - span[1] / 2)
    assert abs(middle[0]) <= 0.1 * abs(span[0]) and abs(middle[1]) <= 0.1 * abs(span[1])
    enu = pyproj.Transformer.from_pipeline(
        "+proj=pipeline +step +proj=axisswap +order=2,1 +step +proj=unitconvert +xy_in=deg +xy_out=rad "
        f"+step +proj=cart +ellps=WGS84 +step +proj=topocentric +ellps=WGS84 +lon_0={origin_lon} +lat_0={origin_lat}"
    )
    east, north, _ = enu.transform(result.lat, result.lon, np.zeros(result.points_out))
    assert np.max(np.hypot(east - result.x, north - result.y)) < 1e-3  # x east, y north, and back within 1 mm


def test_long_trips_keep_their_geodesic_length():
    pyproj = pytest.importorskip("pyproj")
    geod = pyproj.Geod(ellps="WGS84")
    lon, lat = np.array(geod.npts(-5.0, 36.0, 35.0, 60.0, 5000)).T  # about 3,700 km, a point every 740 m
    result = process_track(np.arange(len(lon)) * 60.0, lon=lon, lat=lat, spacing=200.0, max_deviation=0.0)
    assert result.ok and len(result.trips) == 1
    assert np.all(np.diff(result.s) > 0)  # the pieces' shared records appear once
    assert result.length == pytest.approx(geod.line_length(lon, lat), rel=1e-5)


def test_text_times_are_ordered_as_times_and_missing_ones_drop():
    x = np.array([20.0, 0.0, 10.0, 5.0, 30.0])
    numbers = process_track(["10", "0", "2", None, "12"], x=x, y=np.zeros(5), motion="plain")
    assert numbers.ok and numbers.dropped() == {"no_time": 1}
    assert (numbers.x[0], numbers.x[-1]) == pytest.approx((0.0, 30.0), abs=1e-9)  # "10" after "2"
    # the same instants in two offsets are ordered by instant
    iso = process_track(
        ["2026-01-01T10:00:00+02:00", "2026-01-01T07:00:00Z", "2026-01-01T08:30:00Z"],
        x=[1000.0, 0.0, 2000.0],
        y=[0.0, 0.0, 0.0],
        max_gap=0,
        motion="plain",
    )
    assert (iso.x[0], iso.x[-1]) == pytest.approx((0.0, 2000.0), abs=1e-9)
    assert iso.time[0] == np.datetime64("2026-01-01T07:00:00")


def _rule(name, *args):
    """The record rules on their own, where a boundary shows exactly."""
    from velmora_fleet import cleaning, trips

    if name == "unusable":
        seconds, bad = args
        a = np.where(bad, np.nan, 0.0)
        return list(np.flatnonzero(cleaning.unusable(np.ones(len(seconds), bool), a, a, seconds, False)))
    if name == "jumps":
        seconds, x, max_speed = args
        return list(
            np.flatnonzero(
                cleaning.jumps(np.asarray(seconds, float), np.asarray(x, float), np.zeros(len(x)), max_speed)
            )
        )
    if name == "stops":
        seconds, x, diameter, duration = args
        return cleaning.stops(
            np.asarray(seconds, float), np.asarray(x, float), np.zeros(len(x)), diameter, duration
        )
    seconds, max_gap = args
    plans, _ = trips.plan_trips(
        np.asarray(seconds, float), np.zeros(len(seconds)), np.zeros(len(seconds)), [], max_gap
    )
    return [(p.first, p.last) for p in plans]


@pytest.mark.parametrize(
    "rule, args, expected",
    [
        # the later of two records with one time drops, with or without other drops around it
        ("unusable", (np.array([0.0, 1.0, 1.0, 2.0]), [False] * 4), [2]),
        ("unusable", (np.array([0.0, 1.0, 1.0, 2.0]), [True, False, False, False]), [0, 2]),
        # a jump is measured from the last kept record: 40 m in 2 s from x=10 is not above 20 m/s
        ("jumps", ([0, 1, 2, 3, 4], [0, 0, 10, 40, 40], 20.0), [3]),
        # ... and at speed distance / time, also between records half a second apart
        ("jumps", ([0, 0.5, 1, 1.5, 2], [0, 0, 5, 20, 10], 10.0), [3]),
        # a stop may span its whole diameter and last exactly its duration
        ("stops", (np.arange(11.0), np.linspace(0.0, 25.0, 11), 25.0, 10.0), [(0, 10)]),
        ("stops", (np.arange(11.0), np.linspace(0.0, 25.0, 11), 24.9, 10.0), []),
        # a gap of exactly max_gap does not split a trip; one second more does
        ("plan_trips", ([0, 1, 601, 1202], 600.0), [(0, 2), (3, 3)]),
    ],
)
def test_record_rules_at_their_boundaries(rule, args, expected):
    assert _rule(rule, *args) == expected


def test_a_jump_far_from_a_wide_tracks_middle_is_measured_where_it_lies():
    # across half the equator at 18 m/s; 1,000 s after the last fix at 176°E (88° from the track's
    # middle) one more 1° east: 111 km, 111 m/s, though a frame at the middle makes it 4 km
    lon = np.r_[np.arange(0.0, 177.0, 16.0), 177.0]
    time = np.r_[np.arange(12.0) * 1e5, 11e5 + 1000.0]
    result = process_track(time, lon=lon, lat=np.zeros(13), max_speed=25.0, max_gap=0, spacing=1e5)
    assert result.dropped() == {"jump": 1} and result.trips[0].records_used == 12
