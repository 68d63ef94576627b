import random

import pytest

import velmora

Path2D = velmora.Path2D
UNCACHED = "OnceCell(<uninit>)"


@pytest.mark.parametrize(
    "points, iterations, expected",
    [
        ([[0, 0], [4, 0]], 0, [[0, 0], [4, 0]]),
        ([[0, 0], [4, 0]], 1, [[0, 0], [1, 0], [3, 0], [4, 0]]),
        (
            [[0, 0], [4, 0]],
            2,
            [[0, 0], [0.25, 0], [0.75, 0], [1.5, 0], [2.5, 0], [3.25, 0], [3.75, 0], [4, 0]],
        ),
        # the corner (4, 0) is cut
        ([[0, 0], [4, 0], [4, 4]], 1, [[0, 0], [1, 0], [3, 0], [4, 1], [4, 3], [4, 4]]),
        # a closed path keeps its common end point and is not smoothed across it
        (
            [[0, 0], [4, 0], [4, 4], [0, 0]],
            1,
            [[0, 0], [1, 0], [3, 0], [4, 1], [4, 3], [3, 3], [1, 1], [0, 0]],
        ),
        ([[8, -4], [0, 4]], 1, [[8, -4], [6, -2], [2, 2], [0, 4]]),
        ([[1, 1], [1, 1]], 3, [[1, 1]] * 16),
    ],
)
def test_exact_values(points, iterations, expected):
    result = Path2D(points=points).smoothed_path_chaikin(iterations)
    assert result.points == [[float(x), float(y)] for x, y in expected]
    assert result.x == [float(p[0]) for p in expected]
    assert result.y == [float(p[1]) for p in expected]


def filled_path(points):
    path = Path2D(points=points)
    path.add_associated_values([float(i) for i in range(len(points))])
    path.path_length_per_point
    path.curvature
    return path


@pytest.mark.parametrize("points", [[], [[1.5, -2.0]]], ids=["empty", "one-point"])
@pytest.mark.parametrize("iterations", [0, 1, 64, 2**64 - 1])
def test_fewer_than_two_points_give_a_full_copy(points, iterations):
    path = filled_path(points)
    before = repr(path)
    result = path.smoothed_path_chaikin(iterations)
    assert result is not path
    assert repr(result) == before
    assert "OnceCell(<uninit>)" in before and "OnceCell([" in before
    assert result.associated_values(0) == [float(i) for i in range(len(points))]
    assert repr(path) == before


@pytest.mark.parametrize("iterations", [0, 2])
def test_two_or_more_points_give_a_fresh_path(iterations):
    path = filled_path([[0, 0], [4, 0], [4, 4]])
    before = repr(path)
    result = path.smoothed_path_chaikin(iterations)
    assert repr(result).count(UNCACHED) == 4
    assert repr(result).endswith("associated_values: [] } }")
    assert result.associated_values(0) is None
    assert repr(path) == before
    if iterations == 0:
        assert result.points == path.points


def reference_chaikin(points, iterations):
    current = [tuple(p) for p in points]
    for _ in range(iterations):
        cut = [current[0]]
        for (ax, ay), (bx, by) in zip(current, current[1:]):
            cut.append((ax * 0.75 + bx * 0.25, ay * 0.75 + by * 0.25))
            cut.append((ax * 0.25 + bx * 0.75, ay * 0.25 + by * 0.75))
        cut.append(tuple(points[-1]))
        current = cut
    return [list(p) for p in current]


@pytest.mark.parametrize("seed", range(12))
def test_random_paths_match_the_corner_cutting_rule(seed):
    rng = random.Random(seed)
    points = [[rng.uniform(-50, 50), rng.uniform(-50, 50)] for _ in range(rng.randint(2, 15))]
    iterations = rng.randint(0, 5)
    got = Path2D(points=points).smoothed_path_chaikin(iterations).points
    assert len(got) == len(points) * 2**iterations
    assert got[0] == points[0] and got[-1] == points[-1]
    # every cut is a convex combination, so nothing leaves the bounding box
    for axis in (0, 1):
        low = min(p[axis] for p in points)
        high = max(p[axis] for p in points)
        assert all(low <= p[axis] <= high for p in got)
    # bit-exact: the two products are summed in this order
    assert got == reference_chaikin(points, iterations)
