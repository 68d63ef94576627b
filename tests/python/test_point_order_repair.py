import math

import pytest

import velmora

Path2D = velmora.Path2D
NAN = float("nan")
UNCACHED = "OnceCell(<uninit>)"

BACKSTEP = [[0, 0], [1, 0], [2, 0], [1.5, 0], [3, 0], [4, 0]]
STRAIGHT = [[0, 0], [1, 1], [2, 2], [3, 3], [4, 4]]
# the first pass removes index 3, which leaves a new reversal at index 2
TWO_PASSES = [[4, 2], [4, 0], [1, 0], [0, 0], [3, 0], [2, 2]]


@pytest.mark.parametrize(
    "points, sus_angle, flagged, repaired",
    [
        (BACKSTEP, 2.8, [2, 3], [[0, 0], [1, 0], [3, 0], [4, 0]]),
        (TWO_PASSES, 2.8, [3], [[4, 2], [4, 0], [3, 0], [2, 2]]),
        # headings of about 3.04 and -3.04 fold to a turn of about 0.20
        ([[1, -0.1], [0, 0], [-1, -0.1]], 2.8, [], None),
        ([[1, -0.1], [0, 0], [-1, -0.1]], 0.19, [1], [[1, -0.1], [-1, -0.1]]),
        # a repeated point only matters through the zero heading of its segment
        ([[0, 0], [1, 0], [1, 0], [2, 0]], 2.8, [], None),
        ([[2, 0], [1, 0], [1, 0], [0, 0]], 2.8, [1, 2], [[2, 0], [0, 0]]),
        (STRAIGHT, 2.8, [], None),
        # every turn is at least 0, so a threshold of 0 or below flags all interior points
        (STRAIGHT, 0.0, [1, 2, 3], [[0, 0], [4, 4]]),
        (STRAIGHT, -1.0, [1, 2, 3], [[0, 0], [4, 4]]),
        (STRAIGHT, -math.inf, [1, 2, 3], [[0, 0], [4, 4]]),
        # a right angle, at exactly the threshold and just above it
        ([[0, 0], [1, 0], [1, 1]], math.pi / 2, [1], [[0, 0], [1, 1]]),
        ([[0, 0], [1, 0], [1, 1]], math.nextafter(math.pi / 2, 4), [], None),
        ([[0, 0], [1, 0], [0, 0]], math.pi, [1], [[0, 0], [0, 0]]),
        ([[0, 0], [1, 0], [0, 0]], math.nextafter(math.pi, 4), [], None),
        # NaN turns and NaN thresholds flag nothing
        ([[0, 0], [1, NAN], [2, 0], [3, 0], [4, 0]], 0.0, [3], [[0, 0], [1, NAN], [2, 0], [4, 0]]),
        (BACKSTEP, NAN, [], None),
        # fewer than three points never flag
        ([[0, 0], [1, 0]], -1.0, [], None),
        ([[0, 0]], -1.0, [], None),
        ([], -1.0, [], None),
    ],
)
def test_detection_and_repair(points, sus_angle, flagged, repaired):
    path = Path2D(points=points)
    assert path.detect_corrupted_point_order(sus_angle) == flagged
    assert path.detect_corrupted_point_order(sus_angle=sus_angle) == flagged
    result = path.repair_corrupted_point_order(sus_angle)
    expected = [[float(x), float(y)] for x, y in (points if repaired is None else repaired)]
    assert str(result.points) == str(expected)
    if not math.isnan(sus_angle):
        assert result.detect_corrupted_point_order(sus_angle) == []


def test_default_threshold_is_2_8():
    # turns of 2.75 and 2.85 radians around the same corner
    path = lambda turn: Path2D(points=[[0, 0], [1, 0], [1 + math.cos(turn), math.sin(turn)]])
    assert path(2.75).detect_corrupted_point_order() == []
    assert path(2.85).detect_corrupted_point_order() == [1]
    assert len(path(2.85).repair_corrupted_point_order().points) == 2
    assert len(path(2.75).repair_corrupted_point_order().points) == 3


def with_state(points, columns=2):
    path = Path2D(points=points)
    for k in range(columns):
        path.add_associated_values([10.0 * k + i for i in range(len(points))])
    path.path_length_per_point
    path.orientation
    path.unit_tangent_vector
    path.curvature
    return path


@pytest.mark.parametrize("points", [STRAIGHT, [[0, 0], [1, 0]], [[5, 5]], []], ids=len)
def test_nothing_removed_gives_an_equal_copy_with_its_caches(points):
    path = with_state(points)
    before = repr(path)
    result = path.repair_corrupted_point_order()
    assert result is not path
    assert repr(result) == before
    assert UNCACHED not in before
    assert repr(path) == before


def test_partly_filled_caches_are_copied_as_they_are():
    path = Path2D(points=STRAIGHT)
    path.curvature
    result = path.repair_corrupted_point_order()
    assert repr(result) == repr(path)
    assert repr(result).count(UNCACHED) == 3


@pytest.mark.parametrize("points", [BACKSTEP, TWO_PASSES])
def test_removal_empties_all_caches_and_keeps_columns_aligned(points):
    path = with_state(points)
    before = repr(path)
    result = path.repair_corrupted_point_order()
    text = repr(result)
    assert text.count(UNCACHED) == 4
    assert repr(path) == before
    kept = [int(v) for v in result.associated_values(0)]
    assert [path.points[i] for i in kept] == result.points
    assert result.associated_values(1) == [10.0 + i for i in kept]
    assert result.associated_values(2) is None
    # properties are computed from the repaired points
    expected_length = sum(math.dist(a, b) for a, b in zip(result.points, result.points[1:]))
    assert result.length == pytest.approx(expected_length)
    assert len(result.curvature) == len(result.points)


@pytest.mark.parametrize(
    "x, y, new_x, new_y",
    [
        ([0, 1, 2, 1.5, 3, 4, 7, 8], [0, 0, 0, 0, 0, 0], [0, 1, 3, 4, 7, 8], [0, 0, 0, 0]),
        ([0, 0, 0, 0, 0, 0], [0, 1, 2, 1.5, 3, 4, 9], [0, 0, 0, 0], [0, 1, 3, 4, 9]),
    ],
)
def test_unequal_coordinate_lengths_lose_the_same_indices(x, y, new_x, new_y):
    path = Path2D(x=x, y=y)
    assert path.detect_corrupted_point_order() == [2, 3]
    result = path.repair_corrupted_point_order()
    assert result.x == [float(v) for v in new_x]
    assert result.y == [float(v) for v in new_y]
    assert len(result.points) == 4
    assert path.x == [float(v) for v in x]


def test_detection_reads_no_cache_and_changes_nothing():
    path = Path2D(points=BACKSTEP)
    path.add_associated_values([1, 2, 3, 4, 5, 6])
    before = repr(path)
    assert path.detect_corrupted_point_order() == [2, 3]
    assert repr(path) == before
