import math
import random

import numpy as np
import pytest

import velmora

Path2D = velmora.Path2D
NAN = float("nan")
INF = float("inf")

LINE3 = [[0, 0], [1, 0], [2, 0]]
CORNER = [[0, 0], [2, 0], [2, 2]]
SQUARE_U = [[0, 0], [4, 0], [4, 4], [0, 4]]


def query(points, point, *args, **kwargs):
    """Both projection answers for one query on a fresh path."""
    path = Path2D(points=points)
    return path.index_from_point(point, *args, **kwargs), path.path_length_from_point(point, *args, **kwargs)


def same_answer(got, expected):
    if expected is None or got is None:
        return got is expected
    if math.isnan(expected):
        return math.isnan(got)
    return got == pytest.approx(expected, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize(
    "points, point, epsilon, index, length",
    [
        # on a segment, and arbitrarily far beside it
        (LINE3, [0.5, 0.3], 0.01, 0, 0.5),
        (LINE3, [0.5, 40.0], 0.01, 0, 0.5),
        (LINE3, [1.5, -0.3], 0.01, 1, 1.5),
        (LINE3, [0.5, 1e300], 0.01, 0, 0.5),
        # t == 1 on segment 0 is rejected, segment 1 takes it with t == 0
        (LINE3, [1.0, 0.3], 0.01, 1, 1.0),
        # snapped to the last point: exactly its cumulative length
        (LINE3, [2.005, 0.0], 0.01, 2, 2.0),
        (LINE3, [1.9, 0.0], 1.5, 2, 2.0),
        # the box is per axis: the corner of the box is farther than epsilon
        (LINE3, [2.009, 0.009], 0.01, 2, 2.0),
        (LINE3, [2.25, -0.25], 0.25, 2, 2.0),
        # snapped to the first point: the raw query gives the length, sign included
        (LINE3, [-0.009, 0.009], 0.01, 0, -0.009),
        (LINE3, [0.009, -0.009], 0.01, 0, 0.009),
        (LINE3, [-0.009, 0.009], 0.005, None, None),
        # both ends qualify: the first point wins
        (LINE3, [1.0, 0.0], 1.5, 0, 1.0),
        ([[0, 0], [1, 0], [1, 1], [0, 0.005]], [0.0, 0.0], 0.01, 0, 0.0),
        # beyond either end and outside the box
        (LINE3, [2.5, 0.0], 0.01, None, None),
        (LINE3, [-0.02, 0.0], 0.01, None, None),
        # zero epsilon still snaps an exact end point, a negative one never does
        (LINE3, [2.0, 0.0], 0.0, 2, 2.0),
        (LINE3, [2.0, 0.0], -1.0, None, None),
        (LINE3, [0.0, 0.0], -1.0, 0, 0.0),
        ([[0, 0], [1, 0]], [1.0, 0.5], 0.01, None, None),
        # outside a corner: the foot falls beyond one segment and before the next
        ([[0, 0], [1, 0], [1, 1]], [1.5, -0.5], 0.01, None, None),
        # equal distances go to the lowest index; a strictly closer later segment wins
        (CORNER, [1.5, 0.5], 0.01, 0, 1.5),
        (CORNER, [1.6, 0.5], 0.01, 1, 2.5),
        (SQUARE_U, [1.0, 3.0], 0.01, 2, 11.0),
        # coinciding first points: the zero-length segment makes the length NaN
        ([[0, 0], [0, 0], [1, 0]], [0.001, 0.0], 0.01, 0, NAN),
        # the zero-length segment itself is skipped, the next one is used
        ([[0, 0], [1, 0], [1, 0], [2, 0]], [1.5, 0.2], 0.01, 2, 1.5),
        # one point: only a snap can find it
        ([[1, 2]], [1.005, 2.0], 0.01, 0, 0.0),
        ([[1, 2]], [1.5, 2.0], 0.01, None, None),
        ([], [0.0, 0.0], 0.01, None, None),
        ([], [0.0, 0.0], 1e9, None, None),
    ],
)
def test_projection_table(points, point, epsilon, index, length):
    got_index, got_length = query(points, point, epsilon)
    assert got_index == index
    assert type(got_index) is (int if index is not None else type(None))
    assert same_answer(got_length, length)
    if length is not None:
        assert type(got_length) is float


@pytest.mark.parametrize(
    "points, point, epsilon, index",
    [
        (LINE3, [NAN, 0.0], 0.01, None),
        (LINE3, [0.5, NAN], 0.01, None),
        (LINE3, [0.0, NAN], 0.01, None),
        (LINE3, [0.5, INF], 0.01, None),
        (LINE3, [INF, 0.0], 0.01, None),
        # a NaN epsilon disables snapping; a true projection still answers
        (LINE3, [-0.009, 0.009], NAN, None),
        (LINE3, [2.005, 0.0], NAN, None),
        (LINE3, [2.0, 0.0], NAN, None),
        (LINE3, [0.5, 0.3], NAN, 0),
        ([[1, 2]], [1.0, 2.0], NAN, None),
        ([[0, 0], [NAN, 0], [2, 0]], [1.0, 0.0], 0.01, None),
    ],
)
def test_nan_input_answers_without_raising(points, point, epsilon, index):
    got_index, got_length = query(points, point, epsilon)
    assert got_index == index
    assert (got_length is None) == (index is None)


def test_the_default_epsilon_is_one_hundredth():
    path = Path2D(points=LINE3)
    assert path.index_from_point([2.0099, 0.0]) == 2
    assert path.index_from_point([2.0101, 0.0]) is None
    assert path.path_length_from_point([-0.0099, 0.0]) == pytest.approx(-0.0099)
    assert path.path_length_from_point([-0.0101, 0.0]) is None


@pytest.mark.parametrize(
    "point",
    [[0.5, 0.3], (0.5, 0.3), np.array([0.5, 0.3]), [np.float32(0.5), 0.3], [1, 0], range(1, 3)],
    ids=["list", "tuple", "ndarray", "numpy-scalar", "ints", "range"],
)
def test_point_arguments_of_any_sequence_kind(point):
    path = Path2D(points=[[0, 0], [4, 0], [4, 4]])
    xy = [float(v) for v in point]
    expected = Path2D(points=[[0, 0], [4, 0], [4, 4]]).index_from_point(xy)
    assert path.index_from_point(point) == expected
    assert path.index_from_point(point=point, epsilon=0.01) == expected
    assert path.path_length_from_point(point, 0.01) == Path2D(
        points=[[0, 0], [4, 0], [4, 4]]
    ).path_length_from_point(xy)


def test_path_length_fills_only_the_length_cache():
    path = Path2D(points=LINE3)
    path.index_from_point([0.5, 0.0])
    assert "path_length_per_point: OnceCell(<uninit>)" in repr(path)
    path.path_length_from_point([0.5, 0.0])
    text = repr(path)
    assert "path_length_per_point: OnceCell([0.0, 1.0, 2.0])" in text
    assert text.count("OnceCell(<uninit>)") == 3


def test_queries_use_the_longer_coordinate_only_up_to_the_point_count():
    path = Path2D(x=[0, 1, 2, 3], y=[0, 0, 0])
    assert path.index_from_point([2.005, 0.0]) == 2
    assert path.index_from_point([2.5, 0.0]) is None


def monotone_path(rng, n):
    """Random path whose x strictly increases, so no vertex lies on another segment."""
    x, points = 0.0, []
    for _ in range(n):
        points.append([x, rng.uniform(-5.0, 5.0)])
        x += rng.uniform(0.5, 2.0)
    return points


@pytest.mark.parametrize("seed", range(8))
def test_each_vertex_projects_to_its_own_index_and_length(seed):
    rng = random.Random(seed)
    path = Path2D(points=monotone_path(rng, rng.randint(2, 40)))
    cumulative = path.path_length_per_point
    for i, point in enumerate(path.points):
        assert path.index_from_point(point, 1e-9) == i
        assert path.path_length_from_point(point, 1e-9) == cumulative[i]


@pytest.mark.parametrize("seed", range(8))
def test_points_along_a_segment_give_the_segment_and_its_length(seed):
    rng = random.Random(100 + seed)
    points = monotone_path(rng, rng.randint(2, 30))
    path = Path2D(points=points)
    cumulative = path.path_length_per_point
    for _ in range(20):
        i = rng.randrange(len(points) - 1)
        t = rng.uniform(0.05, 0.95)
        (ax, ay), (bx, by) = points[i], points[i + 1]
        q = [ax + (bx - ax) * t, ay + (by - ay) * t]
        assert path.index_from_point(q, 1e-9) == i
        expected = cumulative[i] + t * math.hypot(bx - ax, by - ay)
        assert path.path_length_from_point(q, 1e-9) == pytest.approx(expected, rel=1e-9)
