"""The smooth motion of a trip against a known truth: time, speed, heading
and curvature closer to it than the records' own, waits kept, a time grid,
and the settings that fix what is otherwise estimated."""

import math

import numpy as np
import pytest

from velmora_fleet import process_track


def vessel(seconds=1800.0, every=(2.0, 12.0), sigma=3.0, seed=0, turn=+1):
    """A vessel at 6 m/s easing to 4 m/s through a 120° turn of 400 m radius
    (left for turn=+1), reporting at random intervals with white noise.
    Returns the records and the truth as functions of time."""
    rng = np.random.default_rng(seed)
    t = np.cumsum(rng.uniform(*every, size=int(seconds / every[0])))
    t = np.r_[0.0, t[t < seconds]]

    def speed(t):
        return 6.0 - 2.0 * np.clip((t - 600.0) / 300.0, 0.0, 1.0)

    fine = np.linspace(0.0, seconds, 200_001)
    s = np.r_[0.0, np.cumsum((speed(fine[1:]) + speed(fine[:-1])) / 2.0 * np.diff(fine))]
    radius, start = 400.0, 4_000.0
    arc = radius * np.radians(120.0)
    kappa = np.where((s > start) & (s < start + arc), turn / radius, 0.0)
    theta = np.r_[0.0, np.cumsum((kappa[1:] + kappa[:-1]) / 2.0 * np.diff(s))]
    x = np.r_[0.0, np.cumsum(np.cos(theta[:-1]) * np.diff(s))]
    y = np.r_[0.0, np.cumsum(np.sin(theta[:-1]) * np.diff(s))]
    truth = {
        "x": lambda u: np.interp(u, fine, x),
        "y": lambda u: np.interp(u, fine, y),
        "speed": speed,
        "heading": lambda u: (90.0 - np.degrees(np.interp(u, fine, theta))) % 360.0,
        "curvature": lambda u: np.interp(u, fine, kappa),
    }
    noise = rng.normal(0.0, sigma, (2, len(t)))
    return t, truth["x"](t) + noise[0], truth["y"](t) + noise[1], truth


def errors(result, truth):
    t = result.time
    inner = (t > t[0] + 60.0) & (t < t[-1] - 60.0)  # the ends have half the records to go by
    t = t[inner]
    angle = np.abs((result.heading[inner] - truth["heading"](t) + 180.0) % 360.0 - 180.0)
    return {
        "position": np.median(np.hypot(result.x[inner] - truth["x"](t), result.y[inner] - truth["y"](t))),
        "speed": np.median(np.abs(result.speed[inner] - truth["speed"](t))),
        "heading": np.median(angle),
        "curvature": np.median(np.abs(result.signed_curvature[inner] - truth["curvature"](t))),
    }


def test_smooth_motion_is_closer_to_the_truth_than_the_plain_composition():
    t, x, y, truth = vessel()
    smooth, plain = (process_track(t, x=x, y=y, spacing=10.0, motion=m) for m in ("smooth", "plain"))
    assert smooth.ok and plain.ok and smooth.dropped() == {}
    got, before = errors(smooth, truth), errors(plain, truth)
    # what the records allow (3 m noise, a record every 7 s): measured 1.8 m, 0.05 m/s, 0.4°, 1e-4/m
    assert got["position"] < 2.5 and got["speed"] < 0.1 and got["heading"] < 1.0 and got["curvature"] < 3e-4
    for name in got:
        assert got[name] < 0.7 * before[name], name
    # the noise is estimated, and the band's bound follows it
    (trip,) = smooth.trips
    assert 1.5 < trip.noise < 4.0 and 0.0 < trip.max_deviation < 2.0 * trip.noise
    # time exact at the ends and increasing between; acceleration is the speed's rate
    assert (smooth.time[0], smooth.time[-1]) == (t[0], t[-1]) and np.all(np.diff(smooth.time) > 0)
    rate = np.gradient(smooth.speed, smooth.time)
    assert np.median(np.abs(rate - smooth.acceleration)) < 2e-3


@pytest.mark.parametrize("turn", [+1, -1])
def test_curvature_and_turn_rate_are_signed_positive_turning_left(turn):
    t, x, y, truth = vessel(turn=turn, sigma=0.5, seed=1)
    result = process_track(t, x=x, y=y, spacing=10.0)
    turning = np.abs(truth["curvature"](result.time)) > 0
    inside = turning & (np.abs(result.signed_curvature) > 1e-3)
    assert np.mean(np.sign(result.signed_curvature[inside]) == turn) > 0.99
    assert np.allclose(result.curvature, np.abs(result.signed_curvature))
    expected = np.degrees(result.signed_curvature * result.speed)
    assert np.allclose(result.turn_rate, expected)


def test_outliers_and_bad_fixes_drop_and_genuine_turns_stay():
    t, x, y, truth = vessel(sigma=1.0, seed=2)
    x, y = x.copy(), y.copy()
    x[0], y[0] = -1.0e6, 0.0  # a bad first fix, far off
    gaps = np.diff(t)
    far = int(np.flatnonzero((gaps[:-1] >= 8.0) & (gaps[1:] >= 8.0))[10]) + 1
    y[far] += 150.0  # 150 m off its neighbours' motion, yet reachable under max_speed
    result = process_track(t, x=x, y=y, spacing=10.0, max_speed=25.0)
    assert result.dropped() == {"jump": 1, "outlier": 1}
    # the turn (120° over 840 m) is the vessel's: nothing of it dropped, its curvature found
    turning = np.abs(truth["curvature"](result.time)) > 0
    assert np.median(np.abs(result.signed_curvature[turning] - 1 / 400.0)) < 3e-4


def test_a_wait_shorter_than_a_stop_keeps_its_arrival_and_departure():
    rng = np.random.default_rng(3)
    t = np.arange(0.0, 200.0)
    s = np.interp(t, [0, 60, 70, 130, 140, 200], [0, 600, 650, 650, 700, 1300])  # 60 s still at 650 m
    x, y = s + rng.normal(0, 2.0, len(t)), rng.normal(0, 2.0, len(t))
    result = process_track(t, x=x, y=y)
    (trip,) = result.trips
    assert trip.ok and result.stops == []  # 60 s is no stop (300 s), but the vehicle stood still
    resting = np.flatnonzero(np.diff(result.s) == 0)
    assert len(resting) == 1 and result.speed[resting[0]] == result.speed[resting[0] + 1] == 0.0
    arrival, departure = result.time[resting[0]], result.time[resting[0] + 1]
    assert 60.0 < arrival < 80.0 and 120.0 < departure < 140.0
    assert abs(result.x[resting[0]] - 650.0) < 2.0


@pytest.mark.parametrize("every", [10.0, "10s", "1min"])
def test_a_time_grid_puts_every_point_on_a_multiple_since_the_epoch(every):
    t, x, y, truth = vessel(seed=4)
    start = np.datetime64("2026-05-01T12:00:03.5", "ns")
    times = start + (t * 1e9).astype("timedelta64[ns]")
    result = process_track(times, x=x, y=y, every=every)
    step = 60 if every == "1min" else 10
    nanoseconds = result.time.astype(np.int64)
    assert np.all(nanoseconds % (step * 10**9) == 0) and np.all(np.diff(nanoseconds) == step * 10**9)
    assert result.time[0] >= times[0] and result.time[-1] <= times[-1]
    assert result.time[0] - times[0] < np.timedelta64(step, "s")
    seconds = (result.time - start).astype(np.int64) / 1e9
    inner = (seconds > 60) & (seconds < t[-1] - 60)
    assert np.median(np.hypot(result.x - truth["x"](seconds), result.y - truth["y"](seconds))[inner]) < 2.5


def test_settings_fix_what_is_otherwise_estimated():
    t, x, y, _ = vessel(seed=5)
    given = process_track(t, x=x, y=y, spacing=10.0, noise=5.0, max_deviation=0.5)
    (trip,) = given.trips
    assert (trip.noise, trip.max_deviation) == (5.0, 0.5)
    ais = process_track(t, x=x, y=y, preset="ais")
    explicit = process_track(
        t,
        x=x,
        y=y,
        spacing=10.0,
        acceleration=0.07,
        turn_acceleration=0.3,
        max_acceleration=1.0,
        max_rmse=1.0,
        max_speed=25.0,
        stop_diameter=100.0,
        stop_duration=600.0,
    )
    assert np.array_equal(ais.x, explicit.x) and np.array_equal(ais.speed, explicit.speed)
    with pytest.raises(ValueError, match="preset must be one of ais, got 'boats'"):
        process_track(t, x=x, y=y, preset="boats")
    assert math.isnan(process_track(t, x=x, y=y, motion="plain").trips[0].noise)


def test_a_sparse_trip_takes_its_noise_from_the_tracks_scatter_at_rest():
    # a record a minute, too sparse to tell noise from motion, then 20 minutes at a berth with 1 m of noise
    rng = np.random.default_rng(6)
    moving, resting = np.arange(30) * 60.0, 1800.0 + np.arange(120) * 10.0
    x = np.r_[moving * 5.0, np.full(120, 9000.0)] + rng.normal(0.0, 1.0, 150)
    y = rng.normal(0.0, 1.0, 150)
    (trip,) = process_track(np.r_[moving, resting], x=x, y=y).trips
    assert trip.records_in_stops == 120 and 0.7 < trip.noise < 1.4
    # without the berth it cannot be told: the usual GNSS error is assumed
    assert process_track(moving, x=x[:30], y=y[:30]).trips[0].noise == 3.0
