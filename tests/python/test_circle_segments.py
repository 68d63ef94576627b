import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmora
from conftest import raises_internal

Path2D = velmora.Path2D
NAN = float("nan")
INF = float("inf")
UNWRAP_MSG = "called `Option::unwrap()` on a `None` value"


def circle(radius, n, centre=(0.0, 0.0), step=0.1, phase=0.3, ccw=True):
    sign = 1 if ccw else -1
    angles = [phase + sign * step * i for i in range(n)]
    return Path2D(
        x=[centre[0] + radius * math.cos(a) for a in angles],
        y=[centre[1] + radius * math.sin(a) for a in angles],
    )


def arcs(pieces):
    """Tangent-continuous chain of arcs: (radius, steps, turn per step)."""
    pts, heading = [[0.0, 0.0]], 0.0
    for radius, steps, turn in pieces:
        chord = 2 * radius * math.sin(abs(turn) / 2)
        for _ in range(steps):
            mid = heading + turn / 2
            pts.append([pts[-1][0] + chord * math.cos(mid), pts[-1][1] + chord * math.sin(mid)])
            heading += turn
    return Path2D(points=pts)


def noisy_arc(n):
    """The path the capped child builds: an arc of radius 50 with a ripple."""
    return Path2D(
        points=[[50 * math.cos(1e-3 * i), 50 * math.sin(1e-3 * i) + 0.01 * (i % 3)] for i in range(n)]
    )


def noisy(seed, n):
    rng = np.random.default_rng(seed)
    return Path2D(points=(rng.normal(size=(n, 2)) * 5).tolist())


def assert_tiles(segments, start, end):
    assert segments and segments[0][0] == start and segments[-1][1] == end
    for (_, e, _), (s, _, _) in zip(segments, segments[1:]):
        assert e == s
    for s, e, k in segments:
        assert type(s) is int and type(e) is int and type(k) is float
        assert e > s or len(segments) == 1
        if e - s < 3:
            assert k == 0.0 and math.copysign(1, k) == 1


def expand(segments):
    return [k for s, e, k in segments for _ in range(e - s)]


@pytest.mark.parametrize(
    "start, end",
    [
        (0, 0),
        (3, 3),
        (10, 10),
        (4, 5),
        (4, 6),
        (0, 2),
        (9, 11),
        (100, 100),
        (100, 101),
        (100, 102),
        (2**64 - 2, 2**64 - 1),
    ],
)
@pytest.mark.parametrize("max_rmse", [0.15, -1.0, NAN, INF])
def test_short_ranges_are_returned_unchecked(start, end, max_rmse):
    path = noisy(0, 10)
    assert path.find_circle_segments(start, end, max_rmse) == [(start, end, 0.0)]


@pytest.mark.parametrize(
    "path, start, end, message",
    [
        (noisy(1, 10), 5, 3, "slice index starts at 5 but ends at 3"),
        (noisy(1, 10), 1, 0, "slice index starts at 1 but ends at 0"),
        (Path2D(points=[]), 5, 4, "slice index starts at 5 but ends at 4"),
        (noisy(1, 10), 0, 11, "range end index 11 out of range for slice of length 10"),
        (noisy(1, 10), 8, 11, "range end index 11 out of range for slice of length 10"),
        (noisy(1, 10), 100, 103, "range end index 103 out of range for slice of length 10"),
        # x and y of unequal length: x is checked first
        (
            Path2D(x=list(range(10)), y=[0, 1] * 4),
            0,
            10,
            "range end index 10 out of range for slice of length 8",
        ),
        (
            Path2D(x=list(range(10)), y=[0, 1] * 4),
            0,
            9,
            "range end index 9 out of range for slice of length 8",
        ),
        (
            Path2D(x=list(range(10)), y=[0, 1] * 4),
            0,
            11,
            "range end index 11 out of range for slice of length 10",
        ),
        (
            Path2D(x=list(range(8)), y=[0, 1] * 5),
            0,
            10,
            "range end index 10 out of range for slice of length 8",
        ),
        (Path2D(x=list(range(10)), y=[0, 1] * 4), 5, 3, "slice index starts at 5 but ends at 3"),
    ],
)
def test_range_errors(path, start, end, message):
    raises_internal(message, lambda: path.find_circle_segments(start, end))


def test_range_within_the_longer_coordinate_list_is_accepted():
    # only x and y are read, so points beyond the point list still count
    path = Path2D(x=[math.cos(0.2 * i) for i in range(12)], y=[math.sin(0.2 * i) for i in range(10)])
    assert len(path.points) == 10
    assert path.find_circle_segments(0, 10, 1e-9) == [(0, 10, pytest.approx(1.0, rel=1e-9))]


@pytest.mark.parametrize(
    "radius, n, centre, ccw, start, end",
    [
        (2.0, 3, (1.0, -1.0), True, 0, 3),
        (2.0, 20, (1.0, -1.0), True, 0, 20),
        (2.0, 20, (1.0, -1.0), False, 0, 20),
        (0.5, 12, (0.0, 0.0), True, 0, 12),
        (25.0, 40, (-100.0, 30.0), False, 0, 40),
        (3.0, 30, (2.0, 2.0), True, 5, 17),
        (3.0, 30, (2.0, 2.0), True, 27, 30),
    ],
)
def test_points_on_one_circle_give_one_segment(radius, n, centre, ccw, start, end):
    path = circle(radius, n, centre, step=0.15, ccw=ccw)
    assert path.find_circle_segments(start, end) == [(start, end, pytest.approx(1 / radius, rel=1e-9))]
    if (start, end) == (0, n):
        assert path.compute_circle_fit_curvature() == pytest.approx([1 / radius] * n, rel=1e-9)


@pytest.mark.parametrize(
    "start, end, expected",
    [
        (0, 3, [(0, 1), (1, 3)]),
        (0, 4, [(0, 2), (2, 4)]),
        (0, 5, [(0, 2), (2, 3), (3, 5)]),
        (0, 8, [(0, 2), (2, 4), (4, 6), (6, 8)]),
        (2, 10, [(2, 4), (4, 6), (6, 8), (8, 10)]),
        (0, 11, [(0, 2), (2, 3), (3, 5), (5, 6), (6, 8), (8, 9), (9, 11)]),
    ],
)
@pytest.mark.parametrize("max_rmse", [-1.0, -1e-300, -INF, NAN])
def test_rejecting_thresholds_halve_down_to_pieces_of_two(start, end, expected, max_rmse):
    path = circle(2.0, 12)
    assert path.find_circle_segments(start, end, max_rmse) == [(s, e, 0.0) for s, e in expected]
    assert path.compute_circle_fit_curvature(max_rmse) == [0.0] * 12


@pytest.mark.parametrize("max_rmse", [0.15, 1e9, INF])
def test_points_on_the_x_axis_never_fit(max_rmse):
    # y all zero makes the fit's RMSE NaN, which no threshold accepts
    path = Path2D(x=[0, 1, 2.5, 3, 4, 6, 7, 8], y=[0.0] * 8)
    assert path.find_circle_segments(0, 8, max_rmse) == [(0, 2, 0.0), (2, 4, 0.0), (4, 6, 0.0), (6, 8, 0.0)]
    assert path.compute_circle_fit_curvature(max_rmse) == [0.0] * 8


@pytest.mark.parametrize(
    "points, curvature",
    [
        ([[1, 0], [0, 1], [-1, 0], [0, -1]], 1.0),
        ([[3, 1], [1, 3], [-1, 1], [1, -1]], 0.5),
        ([[4, 0], [0, 4], [-4, 0], [0, -4]], 0.25),
    ],
)
def test_rmse_equal_to_the_threshold_is_accepted(points, curvature):
    # these symmetric fits come out with an RMSE of exactly 0.0
    path = Path2D(points=points)
    assert path.find_circle_segments(0, 4, 0.0) == [(0, 4, pytest.approx(curvature, rel=1e-12))]
    assert path.compute_circle_fit_curvature(0.0) == pytest.approx([curvature] * 4, rel=1e-12)
    assert path.find_circle_segments(0, 4, -1e-300) == [(0, 2, 0.0), (2, 4, 0.0)]


@pytest.mark.parametrize("seed", range(5))
def test_infinite_threshold_accepts_any_finite_fit(seed):
    path = noisy(seed, 15)
    [(start, end, k)] = path.find_circle_segments(0, 15, INF)
    assert (start, end) == (0, 15) and k > 0
    assert path.find_circle_segments(0, 15, 1e300) == [(0, 15, k)]
    assert path.compute_circle_fit_curvature(INF) == [k] * 15
    assert len(path.find_circle_segments(0, 15, 1e-6)) > 1


@pytest.mark.parametrize("delta, accepted", [(0.145, True), (0.155, False)])
def test_default_threshold(delta, accepted):
    # radii alternating 5 + delta and 5 - delta give an RMSE close to delta
    r = [5 + delta * (-1) ** i for i in range(16)]
    path = Path2D(
        x=[r[i] * math.cos(0.2 * i) for i in range(16)], y=[r[i] * math.sin(0.2 * i) for i in range(16)]
    )
    default = path.find_circle_segments(0, 16)
    assert default == path.find_circle_segments(0, 16, 0.15)
    assert (len(default) == 1) == accepted
    assert path.compute_circle_fit_curvature() == path.compute_circle_fit_curvature(0.15)


ARCS = [(2.0, 20, 0.1), (5.0, 20, 0.05), (1.0, 20, -0.2), (10.0, 30, 0.02)]


def test_chain_of_arcs_is_recovered():
    path = arcs(ARCS)
    n = len(path.points)
    segments = path.find_circle_segments(0, n, 1e-6)
    assert_tiles(segments, 0, n)
    curvature = path.compute_circle_fit_curvature(1e-6)
    assert curvature == expand(segments)
    first = 0
    for radius, steps, _ in ARCS:
        # any three points fit a circle, so a short bridge may cover a junction
        inner = curvature[first + 2 : first + steps - 1]
        assert inner == pytest.approx([1 / radius] * len(inner), rel=1e-6)
        first += steps
    # no longer segment straddles two arcs
    radii = [pytest.approx(1 / r, rel=1e-6) for r, _, _ in ARCS]
    assert all(k in radii for s, e, k in segments if e - s > 3)


@pytest.mark.parametrize(
    "path, max_rmse",
    [
        (arcs(ARCS), 1e-6),
        (arcs(ARCS), 0.15),
        (noisy(7, 40), 0.5),
        (noisy(8, 33), 2.0),
        (circle(1.0, 9), -1.0),
    ],
)
def test_boundary_points_take_the_later_segment(path, max_rmse):
    n = len(path.x)
    segments = path.find_circle_segments(0, n, max_rmse)
    curvature = path.compute_circle_fit_curvature(max_rmse)
    assert len(curvature) == n and curvature == expand(segments)
    distinct = [(a, b) for a, b in zip(segments, segments[1:]) if a[2] != b[2]]
    assert distinct or max_rmse < 0
    for before, after in distinct:
        assert curvature[after[0]] == after[2] and curvature[after[0] - 1] == before[2]


@pytest.mark.parametrize(
    "x, y, expected",
    [
        ([], [], []),
        ([1.0], [2.0], [0.0]),
        ([1.0, 2.0], [2.0, 5.0], [0.0, 0.0]),
        # one value per x entry, not per point
        ([0.0, 1.0], [5.0], [0.0, 0.0]),
        ([0.0, 1.0], [], [0.0, 0.0]),
    ],
)
def test_curvature_has_one_value_per_x_entry(x, y, expected):
    assert Path2D(x=x, y=y).compute_circle_fit_curvature() == expected


@pytest.mark.parametrize("y, length", [([5, 6], 2), ([], 0)])
def test_curvature_with_fewer_y_than_x_values(y, length):
    raises_internal(
        f"range end index 3 out of range for slice of length {length}",
        lambda: Path2D(x=[0, 1, 2], y=y).compute_circle_fit_curvature(),
    )


def test_extra_y_values_are_ignored():
    x = [2 * math.cos(0.3 * i) for i in range(8)]
    y = [2 * math.sin(0.3 * i) for i in range(8)]
    assert (
        Path2D(x=x, y=y + [9.0, -4.0]).compute_circle_fit_curvature()
        == Path2D(x=x, y=y).compute_circle_fit_curvature()
    )


def test_nan_coordinates_fail_the_fit():
    path = Path2D(points=[[0, 0], [1, NAN], [2, 1], [3, 0], [4, 2]])
    raises_internal(UNWRAP_MSG, lambda: path.find_circle_segments(0, 5))
    raises_internal(UNWRAP_MSG, lambda: path.compute_circle_fit_curvature())


def test_queries_leave_the_path_alone():
    path = circle(2.0, 10)
    before = repr(path)
    path.find_circle_segments(0, 10)
    path.compute_circle_fit_curvature()
    assert repr(path) == before


coordinate = st.one_of(st.integers(-20, 20), st.floats(-50, 50, allow_nan=False))
threshold = st.one_of(st.sampled_from([-1.0, 0.0, 1e-3, 0.15, INF, NAN]), st.floats(0, 5))


@settings(derandomize=True, max_examples=120, deadline=None)
@given(
    points=st.lists(st.tuples(coordinate, coordinate), unique=True, max_size=40),
    max_rmse=threshold,
    data=st.data(),
)
def test_segments_tile_the_range(points, max_rmse, data):
    path = Path2D(points=points)
    n = len(points)
    start = data.draw(st.integers(0, n))
    end = data.draw(st.integers(start, n))
    segments = path.find_circle_segments(start, end, max_rmse)
    assert_tiles(segments, start, end)
    for s, e, k in segments:
        if e - s >= 3:
            # an accepted fit is accepted again on its own
            assert k > 0 and path.find_circle_segments(s, e, max_rmse) == [(s, e, k)]
    whole = path.find_circle_segments(0, n, max_rmse)
    assert path.compute_circle_fit_curvature(max_rmse) == expand(whole)


CAPPED_FIT = """
import json, math, resource, sys
import velmora

n, headroom = int(sys.argv[1]), int(sys.argv[2])
path = velmora.Path2D(points=[[50 * math.cos(1e-3 * i), 50 * math.sin(1e-3 * i) + 0.01 * (i % 3)]
                              for i in range(n)])
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + headroom, hard))
outcome = {}
try:
    outcome["capped"] = path.compute_circle_fit_curvature(1e-4)
except MemoryError:
    outcome["capped"] = "MemoryError"
# the process stays usable, and the same fit works once memory is back
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
outcome["after"] = path.compute_circle_fit_curvature(1e-4)
print(json.dumps(outcome))
"""


@pytest.mark.skipif(
    bool(os.environ.get("VELMORA_SANITIZED")), reason="RLIMIT_AS cannot hold the sanitizer's shadow memory"
)
@pytest.mark.parametrize("n", [300, 2000])
@pytest.mark.parametrize("headroom, fits", [(24 << 20, False), (1 << 30, True)])
def test_fit_under_an_address_space_cap(n, headroom, fits):
    # The first large fit of a process needs LAPACK's work buffer: short of
    # address space that must end in MemoryError, promptly, never in a spin.
    expected = noisy_arc(n).compute_circle_fit_curvature(1e-4)
    try:
        child = subprocess.run(
            [sys.executable, "-c", CAPPED_FIT, str(n), str(headroom)],
            capture_output=True,
            text=True,
            timeout=30,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("the capped fit did not return within 30 s")
    assert child.returncode == 0, child.stderr[-2000:]
    outcome = json.loads(child.stdout)
    assert outcome["capped"] == (expected if fits else "MemoryError")
    assert outcome["after"] == expected
