import math
import random
import struct

import pytest

import velmora

Path2D = velmora.Path2D
NAN = float("nan")

LINE4 = [[0, 0], [1, 0], [2, 0], [3, 0]]
SQUARE = [[0, 0], [1, 0], [1, 1], [0, 1], [0, 0]]
UNCACHED = "OnceCell(<uninit>)"


def as_floats(points):
    return [[float(x), float(y)] for x, y in points]


def flat(points):
    return [v for point in points for v in point]


@pytest.mark.parametrize(
    "points, kwargs, expected",
    [
        (LINE4, dict(start=[0.5, 0.2], end=[2.5, -0.2]), [[0.5, 0], [1, 0], [2, 0], [2.5, 0]]),
        # default start snaps to p0 and is kept; default end merges with the copied p3
        (LINE4, dict(), LINE4),
        (LINE4, dict(start=None, end=None), LINE4),
        # a start within epsilon of the next point merges into it
        (LINE4, dict(start=[0.995, 0.0]), [[1, 0], [2, 0], [3, 0]]),
        # the point before the cut is never copied, even when the cut is near it
        (LINE4, dict(start=[2.005, 0.0]), [[2.005, 0], [3, 0]]),
        # an end within epsilon of the last copied point merges, one before the next point does not
        (LINE4, dict(end=[1.005, 0.0]), [[0, 0], [1, 0]]),
        (LINE4, dict(end=[0.995, 0.0]), [[0, 0], [0.995, 0]]),
        (LINE4, dict(start=[1, 0], end=[2, 0]), [[1, 0], [2, 0]]),
        # far beside the path still counts as on it
        (LINE4, dict(start=[0.5, 3.0]), [[0.5, 0], [1, 0], [2, 0], [3, 0]]),
        # equal positions give one point; the end merges with the start
        (LINE4, dict(start=[0.5, 0], end=[0.5, 0]), [[0.5, 0]]),
        (LINE4, dict(start=[3, 0]), [[3, 0]]),
        (LINE4, dict(start=[3, 0], end=[3.005, 0]), [[3, 0]]),
        # a wide epsilon snaps both cuts to the ends
        (LINE4, dict(start=[0.5, 0], end=[2.5, 0], epsilon=0.6), LINE4),
        (LINE4, dict(start=[0.5, 0], end=[2.5, 0], epsilon=0.0), [[0.5, 0], [1, 0], [2, 0], [2.5, 0]]),
        # the first point merges with a second point within epsilon
        ([[0, 0], [0.005, 0], [1, 0]], dict(), [[0.005, 0], [1, 0]]),
        # coinciding interior points are copied as they are
        ([[0, 0], [1, 0], [1, 0], [2, 0]], dict(), [[0, 0], [1, 0], [1, 0], [2, 0]]),
        # closed path: the default end snaps to the first point
        (SQUARE, dict(), [[0, 0]]),
        ([[0, 0], [1, 0], [1, 1], [0, 0.005]], dict(), [[0, 0]]),
        (SQUARE, dict(end=[0, 0.5]), [[0, 0], [1, 0], [1, 1], [0, 1], [0, 0.5]]),
        (SQUARE, dict(start=[1, 0.5], end=[0.5, 1]), [[1, 0.5], [1, 1], [0.5, 1]]),
        ([[1, 2]], dict(), [[1, 2]]),
        ([[1, 2]], dict(start=[1.005, 2], end=[1, 1.995]), [[1, 2]]),
    ],
)
def test_cuts_and_merges(points, kwargs, expected):
    result = Path2D(points=points).sub_path(**kwargs)
    assert type(result) is Path2D
    assert len(result.points) == len(expected)
    assert flat(result.points) == pytest.approx(flat(expected), abs=1e-12)
    assert result.x == [p[0] for p in result.points]
    assert result.y == [p[1] for p in result.points]


@pytest.mark.parametrize(
    "points, args",
    [
        ([], ()),
        ([], ([0, 0], [0, 0], 1e9)),
        (LINE4, ([1.5, 0], [0.5, 0])),
        # same segment, start after end
        (LINE4, ([0.8, 0], [0.2, 0])),
        (LINE4, ([-1, 0],)),
        (LINE4, (None, [3.5, 0])),
        (LINE4, ([3, 0], [2.5, 0])),
        ([[1, 2]], ([1.5, 2],)),
        # NaN never raises: the query or the box test simply fails
        (LINE4, ([NAN, 0],)),
        (LINE4, (None, [1.0, NAN])),
        (LINE4, (None, None, NAN)),
    ],
)
def test_no_result(points, args):
    assert Path2D(points=points).sub_path(*args) is None


COLUMN_CASES = [
    (dict(start=[0.5, 0], end=[1.5, 0]), [[0.5, 0], [1, 0], [1.5, 0]], [15, 20, 25], [1.5, 2, 2.5]),
    (dict(start=[2, 0]), [[2, 0]], [30], [3]),
    (dict(end=[1.25, 0]), [[0, 0], [1, 0], [1.25, 0]], [10, 20, 22.5], [1, 2, 2.25]),
    (dict(start=[0.995, 0]), [[1, 0], [2, 0]], [20, 30], [2, 3]),
    (dict(start=[0.5, 0], end=[0.5, 0]), [[0.5, 0]], [15], [1.5]),
    (dict(), [[0, 0], [1, 0], [2, 0]], [10, 20, 30], [1, 2, 3]),
]


@pytest.mark.parametrize("kwargs, points, first, second", COLUMN_CASES)
def test_columns_are_cut_and_interpolated_under_the_same_handles(kwargs, points, first, second):
    source = Path2D(points=[[0, 0], [1, 0], [2, 0]])
    assert source.add_associated_values([10, 20, 30]) == 0
    assert source.add_associated_values([1, 2, 3]) == 1
    source.curvature
    before = repr(source)
    result = source.sub_path(**kwargs)
    assert result.points == as_floats(points)
    assert result.associated_values(0) == pytest.approx(first, abs=1e-12)
    assert result.associated_values(1) == pytest.approx(second, abs=1e-12)
    assert result.associated_values(2) is None
    # the result is built afresh; the source is untouched
    assert repr(result).count(UNCACHED) == 4
    assert repr(source) == before


@pytest.mark.parametrize(
    "column, kwargs",
    [
        ([10.0, math.inf, 30.0, 40.0], dict()),
        ([10.0, 20.0, -math.inf, 40.0], dict(start=[1, 0], end=[2, 0])),
        ([-1e308, 1e308, -1e308, 1e308], dict()),
        ([-0.0, 1.0, -0.0, 2.0], dict(start=[0, 0], end=[2, 0])),
    ],
)
def test_cuts_on_source_points_take_their_values(column, kwargs):
    # The cut value is interpolated as (c[i+1] - c[i]) * t + c[i]; on the
    # point itself (t = 0) that would meet inf - x, an overflow or -0.0 + 0.0.
    path = Path2D(points=LINE4)
    path.add_associated_values(column)
    result = path.sub_path(**kwargs)
    first = int(kwargs.get("start", [0, 0])[0])
    last = int(kwargs.get("end", [3, 0])[0])
    expected = column[first : last + 1]
    assert [struct.pack("<d", v) for v in result.associated_values(0)] == [
        struct.pack("<d", v) for v in expected
    ]


def test_closed_path_columns_keep_the_first_value():
    path = Path2D(points=SQUARE)
    path.add_associated_values([1, 2, 3, 4, 5])
    result = path.sub_path()
    assert result.points == [[0.0, 0.0]]
    assert result.associated_values(0) == [1.0]


def test_result_without_columns_has_none_and_reads_its_own_points():
    path = Path2D(points=LINE4)
    path.path_length_per_point
    result = path.sub_path([0.5, 0], [2.5, 0])
    assert result.associated_values(0) is None
    assert result.path_length_per_point == [0.0, 0.5, 1.5, 2.0]
    assert result is not path


def distance_to_polyline(q, points):
    best = math.inf
    for (ax, ay), (bx, by) in zip(points, points[1:]):
        dx, dy = bx - ax, by - ay
        t = min(1.0, max(0.0, ((q[0] - ax) * dx + (q[1] - ay) * dy) / (dx * dx + dy * dy)))
        best = min(best, math.hypot(ax + dx * t - q[0], ay + dy * t - q[1]))
    return best


@pytest.mark.parametrize("seed", range(10))
def test_random_sub_paths_lie_on_the_source_and_carry_matching_columns(seed):
    rng = random.Random(seed)
    x, points = 0.0, []
    for _ in range(rng.randint(2, 25)):
        points.append([x, rng.uniform(-3.0, 3.0)])
        x += rng.uniform(0.5, 2.0)
    path = Path2D(points=points)
    handle_x = path.add_associated_values([p[0] for p in points])
    handle_y = path.add_associated_values([p[1] for p in points])

    def position():
        i = rng.randrange(len(points) - 1)
        t = rng.uniform(0.02, 0.98)
        (ax, ay), (bx, by) = points[i], points[i + 1]
        return (i, t), [ax + (bx - ax) * t, ay + (by - ay) * t]

    for _ in range(10):
        (a, start), (b, end) = sorted([position(), position()])
        result = path.sub_path(start, end, 1e-9)
        assert result is not None
        got = result.points
        assert got[0] == pytest.approx(start, abs=1e-9)
        assert got[-1] == pytest.approx(end, abs=1e-9)
        assert all(distance_to_polyline(q, points) < 1e-9 for q in got)
        # the interior is the source vertices strictly between the cuts
        assert got[1:-1] == [[float(u), float(v)] for u, v in points[a[0] + 1 : b[0] + 1]]
        # interpolated columns of the coordinates reproduce the cut points
        assert result.associated_values(handle_x) == pytest.approx(result.x, abs=1e-9)
        assert result.associated_values(handle_y) == pytest.approx(result.y, abs=1e-9)
        assert path.sub_path(end, start, 1e-9) is None or a == b
