"""The accuracy benchmark's own ground: a simulator whose truth is what its
positions say, and scoring that measures what it claims. None of this needs
the peers (movingpandas, Stone Soup)."""

import importlib.util

import numpy as np
import pytest

from accuracy.ais import course
from accuracy.methods import parse
from accuracy.output import Output
from accuracy.peers import turn_curvature, velocity_curvature
from accuracy.scoring import score
from accuracy.simulate import SCENARIOS, simulate, true_motion


@pytest.mark.parametrize("name", ["vessel_dense", "car_1hz", "car_10hz"])
@pytest.mark.parametrize("seed", [0, 1])
def test_truth_agrees_with_differences_of_its_positions(name, seed):
    truth = true_motion(np.random.default_rng(seed), SCENARIOS[name])
    dx, dy, dt = np.diff(truth.x), np.diff(truth.y), np.diff(truth.t)
    chord = np.hypot(dx, dy)
    # a constant acceleration within a step: the distance is the mean of the end speeds times the step
    mean_speed = 0.5 * (truth.speed[1:] + truth.speed[:-1])
    moving = mean_speed > 0.5
    np.testing.assert_allclose((chord / dt)[moving], mean_speed[moving], rtol=1e-3)
    np.testing.assert_allclose(chord[~moving], (mean_speed * dt)[~moving], atol=1e-3)
    # heading (clockwise from north) is the direction of the step, at its middle
    direction = (90.0 - np.degrees(np.arctan2(dy, dx))) % 360.0
    ends = np.radians(truth.heading)
    middle = np.degrees(
        np.arctan2(np.sin(ends[1:]) + np.sin(ends[:-1]), np.cos(ends[1:]) + np.cos(ends[:-1]))
    )
    assert np.abs((direction - middle + 180.0) % 360.0 - 180.0)[moving].max() < 0.1
    # signed curvature (left positive) is the turn between steps over their mean length
    turn = np.diff(np.unwrap(np.arctan2(dy, dx)))
    both = moving[1:] & moving[:-1]
    estimate = turn[both] / (0.5 * (chord[1:] + chord[:-1]))[both]
    bound = 0.03 * np.abs(truth.curvature).max()
    assert np.abs(estimate - truth.curvature[1:-1][both]).max() < bound
    assert (np.abs(truth.curvature[1:-1][both]) > 1e-4).mean() > 0.02  # and it was judged in turns


@pytest.mark.parametrize(
    "name, speeds, accel, lateral, waits",
    [
        ("vessel_dense", (2.0, 10.0), 0.04, 0.5, None),
        ("car_1hz", (0.0, 14.0), 2.5, 2.0, (10.0, 60.0)),
        ("car_10hz", (0.0, 14.0), 2.5, 2.0, (10.0, 60.0)),
    ],
)
def test_motion_keeps_to_its_scenario(name, speeds, accel, lateral, waits):
    """Speeds, accelerations and turns as the scenario states them, and for
    cars stops at red lights of the stated length (not a car creeping)."""
    for seed in range(3):
        truth = true_motion(np.random.default_rng(seed), SCENARIOS[name])
        assert speeds[0] <= truth.speed.min() and truth.speed.max() <= speeds[1]
        assert np.abs(np.diff(truth.speed) / np.diff(truth.t)).max() <= accel
        assert (truth.speed**2 * np.abs(truth.curvature)).max() <= lateral + 1e-9
        rest = np.diff(np.r_[0, (truth.speed == 0).astype(int), 0])
        starts, ends = np.flatnonzero(rest == 1), np.flatnonzero(rest == -1)
        inner = (starts > 0) & (ends < len(truth.t))  # a track may start at rest or end waiting
        seconds = (ends - starts)[inner] * SCENARIOS[name].dt
        if waits is None:
            assert not len(seconds)
        else:
            assert len(seconds) >= 1 and seconds.min() >= waits[0] and seconds.max() <= waits[1] + 0.5


@pytest.mark.parametrize("name, share", [("vessel_noisy", 0.5), ("car_10hz", 0.0)])
def test_receiver_error_has_its_sigma_and_correlation(name, share):
    track = simulate(SCENARIOS[name], 0, seed=3)
    keep = ~track.outliers
    error = np.r_[(track.x - track.truth.x)[keep], (track.y - track.truth.y)[keep]]
    assert np.std(error) == pytest.approx(track.sigma, rel=0.25)
    ex = (track.x - track.truth.x)[keep]
    lag1 = np.corrcoef(ex[:-1], ex[1:])[0, 1]
    gap = np.median(np.diff(track.time))
    assert lag1 == pytest.approx(share * np.exp(-gap / SCENARIOS[name].tau), abs=0.15)


def _output_of(truth, shift=0.0) -> Output:
    return Output(truth.t + shift, truth.x, truth.y, truth.speed, truth.heading, truth.curvature, signed=True)


@pytest.mark.parametrize("name", ["vessel_dense", "car_1hz"])
def test_truth_scores_zero_and_a_time_shift_is_along_track(name):
    track = simulate(SCENARIOS[name], 0, seed=2)
    exact = score(_output_of(track.grid), track.truth)
    assert exact.uncovered == 0
    for error, values in exact.errors.items():
        assert np.nanmax(values) < 1e-6, error
    late = score(_output_of(track.grid, shift=3.0), track.truth)
    assert late.uncovered == int(np.count_nonzero(track.truth.t < track.grid.t[0] + 3.0))
    covered = track.truth.t >= track.grid.t[0] + 3.0
    moving = track.truth.speed[covered] > 1.0
    along, cross = late.errors["along"][moving], late.errors["cross"][moving]
    assert np.median(along) == pytest.approx(3.0 * np.median(track.truth.speed[covered][moving]), rel=0.1)
    assert np.median(cross) < 0.02 * np.median(along)


def test_heading_and_curvature_interpolate_through_north_and_keep_gaps():
    t = np.array([0.0, 10.0, 20.0, 30.0])
    output = Output(
        t,
        np.zeros(4),
        t,
        np.ones(4),
        [350.0, 10.0, 20.0, 30.0],
        [0.0, 0.0, np.nan, 0.0],
        segment=np.array([0, 0, 0, 1]),
    )

    class Truth:
        t = np.array([5.0, 15.0, 25.0, 30.0])
        x = np.zeros(4)
        y = t.copy()
        speed = np.ones(4)
        heading = np.array([0.0, 15.0, 25.0, 30.0])
        curvature = np.zeros(4)

    result = score(output, Truth)
    assert result.uncovered == 1  # 25 s lies between the segments
    np.testing.assert_allclose(result.errors["heading"], [0.0, 0.0, 0.0], atol=1e-9)
    # next to a missing curvature the interpolation stays missing, not its neighbour's value
    assert np.isnan(result.errors["curvature"][1]) and result.errors["curvature"][0] == 0.0


@pytest.mark.parametrize("turning", [1.0, -1.0])
def test_peer_curvatures_are_positive_turning_left(turning):
    radius, t = 50.0, np.arange(0.0, 30.0, 0.5)
    angle = turning * t / 10.0  # 5 m/s on a circle of 50 m
    x, y = radius * np.sin(angle) * turning, radius * (1 - np.cos(angle)) * turning
    vx, vy = np.gradient(x, t), np.gradient(y, t)
    direction = (90.0 - np.degrees(np.arctan2(np.diff(y), np.diff(x)))) % 360.0
    step = np.hypot(np.diff(x), np.diff(y))
    steps = turn_curvature(np.r_[direction[0], direction], np.r_[0.0, step])
    np.testing.assert_allclose(steps[1:-1], turning / radius, rtol=1e-3)
    np.testing.assert_allclose(velocity_curvature(t, vx, vy)[2:-2], turning / radius, rtol=1e-2)


@pytest.mark.parametrize(
    "written, expected",
    [(10.0, 10.0), (359.9, 359.9), (-61.8, 347.8), (-0.1, np.nan), (-209.6, 200.0), (360.0, np.nan)],
)
def test_ais_course_decodes_the_signed_12_bit_wrap(written, expected):
    np.testing.assert_allclose(course(np.array([written])), [expected], atol=1e-9)


@pytest.mark.parametrize(
    "spec, settings",
    [
        ("velmora", {}),
        ("velmora:max_deviation=3,spacing=5", {"max_deviation": 3, "spacing": 5}),
        ("velmora:max_speed=None, stop_duration=0.0", {"max_speed": None, "stop_duration": 0.0}),
        ("kalman:process_noise=0.1", {"process_noise": 0.1}),
    ],
)
def test_method_variants_from_the_command_line(spec, settings):
    variant = parse(spec)
    assert variant.settings == settings and variant.label == spec
    assert variant.tuned == (variant.method.tuned is not None and variant.method.tuned not in settings)


@pytest.mark.parametrize("spec", ["nope", "velmora:spacing", "velmora:=3"])
def test_method_variants_that_cannot_be(spec):
    with pytest.raises(ValueError):
        parse(spec)


@pytest.mark.skipif(importlib.util.find_spec("velmora_fleet") is None, reason="needs velmora_fleet")
def test_a_setting_process_track_does_not_take_stops_the_run():
    from accuracy.evaluate import run_on_track

    with pytest.raises(TypeError, match="bogus"):
        run_on_track("velmora:bogus=1", "vessel_sparse", 1, 0, {}, quick=True)


def _straight(speed=5.0, heading=30.0, n=60, step=5.0):
    t = np.arange(n) * step
    angle = np.radians(90.0 - heading)
    return t, speed * t * np.cos(angle), speed * t * np.sin(angle)


@pytest.mark.parametrize("name", ["raw", "kalman", "kalman_state", "spline", "velmora"])
def test_methods_read_a_straight_constant_speed_track(name):
    from accuracy.methods import REGISTRY, Records, available

    method = REGISTRY[name]
    if not available(method):
        pytest.skip(f"needs {method.needs}")
    t, x, y = _straight()
    output = method.run(Records(t, x, y), 1.0, **({"process_noise": 0.1} if method.tuned else {}))
    inner = (output.time > 60.0) & (output.time < t[-1] - 60.0)  # the Kalman filter starts from rest
    np.testing.assert_allclose(output.speed[inner], 5.0, atol=0.02)
    np.testing.assert_allclose(output.heading[inner], 30.0, atol=0.2)
    np.testing.assert_allclose(output.curvature[inner], 0.0, atol=1e-4)


def test_local_frame_keeps_geodesic_distances_and_directions():
    pyproj = pytest.importorskip("pyproj")
    from accuracy.ais import local_metres

    rng = np.random.default_rng(4)
    lon, lat = -74.05 + rng.uniform(-0.1, 0.1, 50), 40.6 + rng.uniform(-0.08, 0.08, 50)
    x, y = local_metres(lon, lat)
    azimuth, _, distance = pyproj.Geod(ellps="WGS84").inv(lon[:-1], lat[:-1], lon[1:], lat[1:])
    np.testing.assert_allclose(np.hypot(np.diff(x), np.diff(y)), distance, rtol=2e-3)
    bearing = (90.0 - np.degrees(np.arctan2(np.diff(y), np.diff(x)))) % 360.0
    assert np.abs((bearing - azimuth + 180.0) % 360.0 - 180.0).max() < 0.1


@pytest.mark.parametrize("spec", ["spline", "velmora"])
def test_ais_errors_are_in_knots_and_degrees_against_sog_and_cog(tmp_path, spec):
    from accuracy.ais import KNOT, figures, load, run_method
    from accuracy.methods import REGISTRY, available

    if not available(REGISTRY[spec]):
        pytest.skip(f"needs {REGISTRY[spec].needs}")
    # a vessel steaming at 10 knots on course 350 (written the 12-bit way as -59.6), one at anchor,
    # a repeated time and a "not available" position, which are dropped
    t = np.arange(0, 600, 10)
    north = 10 * KNOT * t * np.cos(np.radians(350.0))
    east = 10 * KNOT * t * np.sin(np.radians(350.0))
    lat = 40.6 + north / 111_034.0
    lon = -74.05 + east / (111_319.5 * np.cos(np.radians(40.6)))
    rows = [
        (1, f"2020-06-30T00:{k // 6:02d}:{k % 6 * 10:02d}", lon[k], lat[k], 10.0, -59.6)
        for k in range(len(t))
    ]
    rows += [(1, rows[5][1], -70.0, 40.0, 10.0, -59.6), (1, "2020-06-30T00:10:05", 181.0, 91.0, 10.0, 350.0)]
    rows += [(2, f"2020-06-30T00:0{k}:00", -74.0, 40.7, 0.1, 20.0) for k in range(6)]
    frame = ["MMSI,BaseDateTime,LON,LAT,SOG,COG"] + [",".join(map(str, row)) for row in rows]
    path = tmp_path / "ais.csv"
    path.write_text("\n".join(frame) + "\n")
    vessels = load(str(path))
    assert (
        [len(v.sog) for v in vessels] == [len(t), 6]
        and vessels[0].moving.all()
        and not vessels[1].moving.any()
    )
    result = figures(run_method(spec, str(path), 3.0, {}, drawn_mmsi=1))
    assert result["moving_records"] == len(t) and result["moving_uncovered"] == 0
    assert result["speed_knots"]["p95"] < 0.05 and result["course_deg"]["p95"] < 0.2
    assert result["course_deg_decoded"]["n"] == len(t)


@pytest.mark.parametrize(
    "medians, chosen",
    [
        # the best in every term wins; a balance beats being best in one and far off in the rest
        ({0.1: (3, 0.1, 1, 1), 1.0: (2, 0.2, 2, 2)}, 0.1),
        ({0.1: (1, 1.5, 1.5, 1.5), 1.0: (1.2, 1.2, 1.2, 1.2), 3.0: (0.9, 9, 9, 9)}, 1.0),
    ],
)
def test_tuning_chooses_the_least_sum_of_relative_medians(medians, chosen):
    from accuracy.aggregate import OBJECTIVE, choose

    by_value = {
        value: {"tracks_failed": 0, "at_records": {k: {"median": m} for k, m in zip(OBJECTIVE, ms)}}
        for value, ms in medians.items()
    }
    assert choose(by_value)[0] == chosen
    by_value[chosen]["tracks_failed"] = 1  # a value on which the method failed is never chosen
    assert choose(by_value)[0] != chosen


@pytest.mark.skipif(importlib.util.find_spec("velmora_fleet") is None, reason="needs velmora_fleet")
def test_a_run_writes_its_tables_and_figures(tmp_path):
    import json

    from accuracy import run

    argv = ["--quick", "--scenario", "vessel_sparse", "--method", "velmora", "--method", "velmora:spacing=20"]
    assert run.main(argv + ["--ais", "none", "--jobs", "1", "--out", str(tmp_path)]) == 0
    results = json.loads((tmp_path / "results.json").read_text())
    figures = results["scenarios"]["vessel_sparse"]
    assert list(figures) == ["velmora", "velmora:spacing=20"]
    assert figures["velmora:spacing=20"]["points_per_record"] < figures["velmora"]["points_per_record"] / 10
    assert figures["velmora"]["at_records"]["speed"]["n"] > 0
    assert "| velmora:spacing=20 |" in (tmp_path / "report.md").read_text()
