import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmora
from conftest import same_floats, raises_internal

Path2D = velmora.Path2D
RM = velmora.ResamplingMethod
Linear = velmora.InterpolationMethod.Linear
Cubic = velmora.InterpolationMethod.Cubic
NAN = float("nan")
UNCACHED = "OnceCell(<uninit>)"
INDEX_MSG = "index out of bounds: the len is 0 but the index is 0"
UNWRAP_MSG = "called `Option::unwrap()` on a `None` value"

# Cumulative length [0, 1, 3], total 3.
P3 = [[0, 0], [1, 0], [3, 0]]
CUBIC_AT_2 = 2 + 1 / 804


def bnp(n):
    return RM.by_number_points(n)


def bsd(d, drop_last=True):
    return RM.by_sampling_distance(d, drop_last)


def floats(points):
    return [[float(x), float(y)] for x, y in points]


def assert_points(actual, expected, tol=1e-12):
    assert len(actual) == len(expected), actual
    for a, e in zip(actual, expected):
        assert a == pytest.approx(e, abs=tol), (actual, expected)


@pytest.mark.parametrize(
    "points, method, kind, kwargs, expected",
    [
        (P3, bnp(4), Linear, {}, [[0, 0], [1, 0], [2, 0], [3, 0]]),
        (P3, bnp(2), Linear, {}, [[0, 0], [3, 0]]),
        # a single point lies at the end of the path
        (P3, bnp(1), Linear, {}, [[3, 0]]),
        (P3, bnp(1), Cubic, {}, [[3, 0]]),
        (P3, bsd(1.2, False), Linear, {}, [[0, 0], [1.2, 0], [2.4, 0], [3, 0]]),
        (P3, bsd(1.2, True), Linear, {}, [[0, 0], [1.2, 0], [2.4, 0]]),
        # the grid already reaches the end: no second end point
        (P3, bsd(1.0, False), Linear, {}, [[0, 0], [1, 0], [2, 0], [3, 0]]),
        (P3, bsd(1.0, True), Linear, {}, [[0, 0], [1, 0], [2, 0], [3, 0]]),
        (P3, bsd(1.2, False), Linear, dict(epsilon=1.0), [[0, 0], [1.2, 0], [2.4, 0]]),
        # k = 0: the grid is [0]
        (P3, bsd(5.0, False), Linear, {}, [[0, 0], [3, 0]]),
        (P3, bsd(5.0, True), Linear, {}, [[0, 0]]),
        # the end is appended only when the gap is strictly greater than epsilon
        (P3, bsd(1.25, False), Linear, dict(epsilon=0.5), [[0, 0], [1.25, 0], [2.5, 0]]),
        (
            P3,
            bsd(1.25, False),
            Linear,
            dict(epsilon=math.nextafter(0.5, 0)),
            [[0, 0], [1.25, 0], [2.5, 0], [3, 0]],
        ),
        (P3, bsd(1.0, False), Linear, dict(epsilon=-1.0), [[0, 0], [1, 0], [2, 0], [3, 0], [3, 0]]),
        (P3, bsd(1.0, False), Linear, dict(epsilon=NAN), [[0, 0], [1, 0], [2, 0], [3, 0]]),
        # default epsilon 0.01
        ([[0, 0], [3.005, 0]], bsd(1.0, False), Linear, {}, [[0, 0], [1, 0], [2, 0], [3, 0]]),
        (
            [[0, 0], [3.005, 0]],
            bsd(1.0, False),
            Linear,
            dict(epsilon=0.001),
            [[0, 0], [1, 0], [2, 0], [3, 0], [3.005, 0]],
        ),
        ([[0, 0], [3.02, 0]], bsd(1.0, False), Linear, {}, [[0, 0], [1, 0], [2, 0], [3, 0], [3.02, 0]]),
        # negative distance: grid [4, 3]; 4 lies past the spline and samples as 0.0
        (P3, bsd(-2.0, False), Linear, {}, [[0, 0], [3, 0]]),
        (P3, bsd(-2.0, True), Linear, {}, [[0, 0]]),
        ([[5, 7], [6, 7], [8, 7]], bsd(-2.0, False), Linear, {}, [[0, 0], [8, 7]]),
        ([[5, 7], [6, 7], [8, 7]], bsd(-2.0, False), Cubic, {}, [[0, 0], [8, 7]]),
        (P3, bnp(4), Cubic, {}, [[0, 0], [1, 0], [CUBIC_AT_2, 0], [3, 0]]),
        (P3, bsd(1.0, False), Cubic, {}, [[0, 0], [1, 0], [CUBIC_AT_2, 0], [3, 0]]),
        # coinciding points: total length 0
        ([[1, 2]] * 3, bnp(1), Linear, {}, [[1, 2]]),
        ([[1, 2]] * 3, bnp(3), Linear, {}, [[1, 2]] * 3),
        ([[1, 2]] * 3, bnp(3), Cubic, {}, [[1, 2]] * 3),
        ([[1, 2]] * 2, bsd(0.5, False), Linear, {}, [[1, 2]]),
        ([[1, 2]] * 4, bsd(0.5, False), Cubic, {}, [[1, 2]]),
        # a repeated interior point keeps the cubic finite and through the points
        ([[0, 0], [1, 0], [1, 0], [3, 0]], bnp(4), Cubic, {}, [[0, 0], [1, 0], [CUBIC_AT_2, 0], [3, 0]]),
    ],
)
def test_resampled_points(points, method, kind, kwargs, expected):
    result = Path2D(points=points).resampled_path(method, kind, **kwargs)
    assert_points(result.points, expected, tol=1e-15)
    assert result.x == [p[0] for p in result.points] and result.y == [p[1] for p in result.points]


def test_default_interpolation_is_linear():
    path = Path2D(points=[[0, 0], [1, 1], [3, 0], [4, 2]])
    default = path.resampled_path(bnp(9)).points
    assert default == path.resampled_path(bnp(9), Linear).points
    assert default != path.resampled_path(bnp(9), Cubic).points


def test_caches_of_result_are_fresh_and_source_gains_only_its_length():
    path = Path2D(points=P3)
    path.curvature
    result = path.resampled_path(bnp(4))
    assert repr(result).count(UNCACHED) == 4
    text = repr(path)
    assert "path_length_per_point: OnceCell([0.0, 1.0, 3.0])" in text
    assert "orientation: OnceCell(<uninit>)" in text and "curvature: OnceCell([" in text
    assert path.points == floats(P3)


def short_source(kind):
    if kind == "unequal-xy":
        # a full copy keeps the extra x entries
        return Path2D(x=[1.0, 2.0, 3.0], y=[4.0])
    path = Path2D(points=[] if kind.startswith("empty") else [[1.5, -2]])
    if kind.endswith("full"):
        # the column and the filled caches must be copied too
        path.add_associated_values([7.0] * len(path.points))
        path.length
        path.curvature
    return path


@pytest.mark.parametrize("source", ["empty", "empty-full", "one", "one-full", "unequal-xy"])
@pytest.mark.parametrize(
    "method",
    [bnp(0), bnp(1), bnp(5), bnp(2**62), bsd(0.0), bsd(NAN, False), bsd(-1.0, False), bsd(1e-300)],
)
@pytest.mark.parametrize("kind", [Linear, Cubic])
def test_fewer_than_two_points_give_a_full_copy(source, method, kind):
    path = short_source(source)
    before = repr(path)
    result = path.resampled_path(method, kind)
    assert result is not path and type(result) is Path2D
    assert repr(result) == before and repr(path) == before
    # deep copy: a new column on the result does not reach the source
    result.add_associated_values(result.x[: len(result.points)])
    assert repr(path) == before


@pytest.mark.parametrize(
    "method, kind, expected",
    [
        (bnp(4), Linear, [10, 20, 30, 40]),
        (bnp(4), Cubic, [10, 20, 30 + 10 / 804, 40]),
        (bsd(1.2, False), Linear, [10, 22, 34, 40]),
        (bnp(1), Cubic, [40]),
        # the parameter 4 lies past the spline, like the points
        (bsd(-2.0, False), Linear, [0, 40]),
    ],
)
def test_columns_are_resampled_under_their_handles(method, kind, expected):
    path = Path2D(points=P3)
    assert path.add_associated_values([10, 20, 40]) == 0
    assert path.add_associated_values([-10, -20, -40]) == 1
    result = path.resampled_path(method, kind)
    assert result.associated_values(0) == pytest.approx(expected, abs=1e-13)
    assert result.associated_values(1) == pytest.approx([-v for v in expected], abs=1e-13)
    assert result.associated_values(2) is None
    assert path.associated_values(0) == [10.0, 20.0, 40.0]


def random_path(rng, n, scale=10.0):
    return (rng.normal(size=(n, 2)) * scale).tolist()


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", [Linear, Cubic])
def test_columns_use_the_same_spline_as_the_points(seed, kind):
    rng = np.random.default_rng(seed)
    path = Path2D(points=random_path(rng, int(rng.integers(2, 30))))
    path.add_associated_values(path.x)
    path.add_associated_values(path.y)
    for method in (bnp(int(rng.integers(1, 80))), bsd(float(rng.uniform(0.3, 5)), bool(seed % 2))):
        result = path.resampled_path(method, kind)
        assert result.associated_values(0) == result.x
        assert result.associated_values(1) == result.y


@pytest.mark.parametrize("seed", range(8))
def test_linear_matches_interpolation_over_cumulative_length(seed):
    rng = np.random.default_rng(100 + seed)
    pts = np.array(random_path(rng, int(rng.integers(2, 40))))
    cum = np.concatenate([[0.0], np.cumsum(np.hypot(*np.diff(pts, axis=0).T))])
    path = Path2D(points=pts.tolist())
    assert path.path_length_per_point == pytest.approx(cum.tolist(), abs=1e-12)
    total = cum[-1]

    m = int(rng.integers(2, 200))
    grid = np.linspace(0.0, total, m)
    got = np.array(path.resampled_path(bnp(m)).points)
    assert np.allclose(got[:, 0], np.interp(grid, cum, pts[:, 0]), rtol=0, atol=1e-12)
    assert np.allclose(got[:, 1], np.interp(grid, cum, pts[:, 1]), rtol=0, atol=1e-12)

    d = float(rng.uniform(0.1, 3.0))
    grid = d * np.arange(math.floor(total / d) + 1)
    got = np.array(path.resampled_path(bsd(d, True)).points)
    assert np.allclose(got[:, 0], np.interp(grid, cum, pts[:, 0]), rtol=0, atol=1e-12)
    assert np.allclose(got[:, 1], np.interp(grid, cum, pts[:, 1]), rtol=0, atol=1e-12)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", [Linear, Cubic])
def test_resampling_passes_through_the_source_points(seed, kind):
    # An axis-parallel walk with integer steps puts every source point at an
    # integer path length, which a grid of step 1 hits exactly.
    rng = np.random.default_rng(200 + seed)
    pts, lengths = [[0.0, 0.0]], [0]
    for _ in range(int(rng.integers(2, 15))):
        step = int(rng.integers(1, 4))
        dx, dy = [(1, 0), (-1, 0), (0, 1), (0, -1)][int(rng.integers(4))]
        pts.append([pts[-1][0] + dx * step, pts[-1][1] + dy * step])
        lengths.append(lengths[-1] + step)
    path = Path2D(points=pts)
    result = path.resampled_path(bnp(lengths[-1] + 1), kind).points
    assert [result[s] for s in lengths] == pts
    if kind is Cubic:
        assert result != path.resampled_path(bnp(lengths[-1] + 1), Linear).points


def bits(values):
    return [struct.pack("<d", v) for v in values]


@pytest.mark.parametrize("kind", [Linear, Cubic])
@pytest.mark.parametrize("total", [2.0**47, 2.0**48, 1e15, 1e150])
def test_very_long_paths_keep_their_last_sample(total, kind):
    # Past 2**47 the end guards' offsets round away; the guards must still lie
    # after the last length, or the last sample comes back absent (0).
    path = Path2D(points=[[0, 0], [total, 0]])
    path.add_associated_values([1.0, 2.0])
    result = path.resampled_path(bnp(2), kind)
    assert result.points == [[0.0, 0.0], [total, 0.0]]
    assert result.associated_values(0) == [1.0, 2.0]


@pytest.mark.parametrize("kind", [Linear, Cubic])
@pytest.mark.parametrize(
    "column",
    [
        [10.0, math.inf, 30.0],
        [-math.inf, 5.0, math.inf],
        # differences overflow
        [-1e308, 1e308, -1e308],
        # the sign of zero is kept
        [-0.0, 1.0, -0.0],
    ],
)
def test_samples_on_source_points_are_their_values(column, kind):
    path = Path2D(points=[[0, 0], [1, 0], [2, 0]])
    path.add_associated_values(column)
    result = path.resampled_path(bnp(3), kind)
    assert bits(result.associated_values(0)) == bits(column)


@pytest.mark.parametrize("kind", [Linear, Cubic])
@pytest.mark.parametrize(
    "points, method, message",
    [
        (P3, bnp(0), INDEX_MSG),
        (P3, bsd(0.0, True), INDEX_MSG),
        (P3, bsd(0.0, False), INDEX_MSG),
        # a quotient of 2**64 or more wraps the point count to 0
        (P3, bsd(1e-300, False), INDEX_MSG),
        (P3, bsd(3 / 2**64), INDEX_MSG),
        (P3, bsd(NAN, True), UNWRAP_MSG),
        (P3, bsd(NAN, False), UNWRAP_MSG),
        # zero length over zero distance is NaN
        ([[1, 1], [1, 1]], bsd(0.0), UNWRAP_MSG),
        ([[0, 0], [NAN, 0], [3, 0]], bnp(3), UNWRAP_MSG),
        ([[NAN, 0], [1, 0], [3, 0]], bnp(3), UNWRAP_MSG),
        ([[0, 0], [1, 0], [3, NAN]], bnp(3), UNWRAP_MSG),
        ([[0, 0], [1, 0], [3, NAN]], bsd(1.0, False), UNWRAP_MSG),
    ],
)
def test_internal_errors(points, method, message, kind, capfd):
    path = Path2D(points=points)
    path.add_associated_values([1.0] * len(points))
    raises_internal(message, lambda: path.resampled_path(method, kind))
    assert message in capfd.readouterr().err
    # the path and the module stay usable
    assert path.associated_values(0) == [1.0] * len(points)
    assert same_floats(sum(path.points, []), sum(floats(points), []))
    assert len(Path2D(points=P3).resampled_path(bnp(2), kind).points) == 2


coordinate = st.floats(-50, 50, allow_nan=False, allow_infinity=False)


@settings(derandomize=True, max_examples=150, deadline=None)
@given(
    points=st.lists(st.tuples(coordinate, coordinate), min_size=2, max_size=25),
    method=st.one_of(
        st.integers(1, 300).map(bnp),
        st.builds(bsd, st.floats(0.05, 40), st.booleans()),
    ),
    kind=st.sampled_from([Linear, Cubic]),
    epsilon=st.floats(0, 2),
    columns=st.integers(0, 2),
)
def test_point_and_column_counts(points, method, kind, epsilon, columns):
    path = Path2D(points=points)
    for c in range(columns):
        path.add_associated_values([c + i for i in range(len(points))])
    total = path.length
    if isinstance(method, RM.ByNumberPoints):
        expected = method.number_points
    else:
        d = method.sampling_distance
        k = math.floor(total / d)
        expected = k + 1 + (not method.drop_last and abs(d * k - total) > epsilon)
    result = path.resampled_path(method, kind, epsilon)
    assert len(result.points) == len(result.x) == len(result.y) == expected
    for c in range(columns):
        assert len(result.associated_values(c)) == expected
    assert result.associated_values(columns) is None
    # the grid starts at 0 and, by number of points, ends exactly at the total
    if isinstance(method, RM.ByNumberPoints):
        assert result.points[-1] == [float(v) for v in points[-1]]
    if not (isinstance(method, RM.ByNumberPoints) and expected == 1):
        assert result.points[0] == [float(v) for v in points[0]]
