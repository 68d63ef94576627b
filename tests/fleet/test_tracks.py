"""process_track: every way a track can fail is a status, never an exception."""
import math

import numpy as np
import pytest

from velmora_fleet import process_track

LINE = np.arange(6.0)


@pytest.mark.parametrize("arguments, status, message", [
    (dict(time=[0.0], x=[1.0], y=[2.0]), "too_short", "a track needs at least 2 points, this one has 1"),
    (dict(time=LINE, x=LINE, y=[0, 0, math.nan, 0, 0, 0]), "invalid_input",
     "1 of 6 points have non-finite coordinates"),
    (dict(time=LINE, x=LINE, y=[0, 0, 0, math.inf, 0, 0]), "invalid_input",
     "1 of 6 points have non-finite coordinates"),
    (dict(time=LINE, lon=LINE, lat=[0, 0, 0, 0, 91, 0]), "invalid_input",
     "1 of 6 points lie outside lon -180..180, lat -90..90"),
    (dict(time=np.array(["2026-01-01", "NaT"], dtype="datetime64[ns]"), x=[0, 1], y=[0, 0]), "invalid_input",
     "1 of 2 points have no time"),
    # contradictory bounds: the solver reports no solution
    (dict(time=LINE, x=LINE, y=LINE * 0.1, max_deviation=-1.0), "solver_failed",
     "elastic band smoothing: the solver found no path"),
    # a sampling distance of 0 breaks the module's own expectation (its internal error)
    (dict(time=LINE, x=LINE, y=LINE * 0, spacing=0.0), "internal_error",
     "resampling: index out of bounds: the len is 0 but the index is 0"),
])
def test_failing_track_gets_status_and_message(arguments, status, message):
    result = process_track(track_id=7, **arguments)
    assert (result.status, result.error, result.points_out) == (status, message, 0)
    assert result.track_id == 7 and math.isnan(result.length)


def test_points_are_taken_in_order_of_time():
    time = np.array([3.0, 0.0, 2.0, 1.0, 4.0])
    x = np.array([30.0, 0.0, 20.0, 10.0, 40.0])
    shuffled = process_track(time, x=x, y=x * 0.5)
    ordered = process_track(np.sort(time), x=np.sort(x), y=np.sort(x) * 0.5)
    assert shuffled.points_flagged == 0 and shuffled.status == "ok"
    assert np.array_equal(shuffled.x, ordered.x) and np.array_equal(shuffled.curvature, ordered.curvature)


A, E2 = 6378137.0, 0.00669437999014
EQUATOR = A * math.radians(0.01)
MERIDIAN_NEAR_POLE = A * (1 - E2) / (1 - E2 * math.sin(math.radians(89.995)) ** 2) ** 1.5 * math.radians(0.009)


@pytest.mark.parametrize("lon, lat, length", [
    ((0.0, 0.01), (0.0, 0.0), EQUATOR),
    ((179.995, 180.005), (0.0, 0.0), EQUATOR),  # across the antimeridian
    ((30.0, 30.0), (89.99, 89.999), MERIDIAN_NEAR_POLE),
])
def test_degrees_become_metres_in_a_local_frame(lon, lat, length):
    steps = np.linspace(0.0, 1.0, 11)
    lons = (lon[0] + steps * (lon[1] - lon[0]) + 180.0) % 360.0 - 180.0
    result = process_track(steps, lon=lons, lat=lat[0] + steps * (lat[1] - lat[0]))
    assert result.status == "ok"
    assert result.length == pytest.approx(length, rel=1e-6)
