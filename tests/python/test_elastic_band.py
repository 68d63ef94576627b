import math
import random
import subprocess
import sys
import textwrap

import pytest

import velmora
from conftest import raises_internal

Path2D = velmora.Path2D
SQUARE = velmora.ElasticBandMethod.SquareBounds
ORTHOGONAL = velmora.ElasticBandMethod.OrthogonalBounds
METHODS = pytest.mark.parametrize("method", [SQUARE, ORTHOGONAL], ids=["square", "orthogonal"])
# The solver stops at a feasibility and gap tolerance of 1e-4
TOL = 1e-4
NAN, INF = float("nan"), float("inf")
UNCACHED = "OnceCell(<uninit>)"


def noisy_walk(seed, noise=0.3):
    """A gently turning walk with unit steps and Gaussian noise, 20 to 200 points."""
    rng = random.Random(seed)
    heading = rng.uniform(-math.pi, math.pi)
    x, y = rng.uniform(-10, 10), rng.uniform(-10, 10)
    points = []
    for _ in range(rng.randint(20, 200)):
        heading += rng.gauss(0, 0.2)
        x, y = x + math.cos(heading), y + math.sin(heading)
        points.append([x + rng.gauss(0, noise), y + rng.gauss(0, noise)])
    return points


def scatter(seed):
    """Uniformly scattered points: sharp turns everywhere, most bounds active."""
    rng = random.Random(seed)
    return [[rng.uniform(-5, 5), rng.uniform(-5, 5)] for _ in range(rng.randint(20, 60))]


RANDOM_PATHS = [
    pytest.param(noisy_walk(0), 0.05, id="walk0-d0.05"),
    pytest.param(noisy_walk(1), 0.3, id="walk1-d0.3"),
    pytest.param(noisy_walk(2), 1.0, id="walk2-d1"),
    pytest.param(noisy_walk(3), 2.5, id="walk3-d2.5"),
    pytest.param(scatter(4), 0.3, id="scatter4-d0.3"),
    pytest.param(scatter(5), 1.5, id="scatter5-d1.5"),
]


def energy(points):
    """Sum of squared second differences of both coordinates."""
    return sum(
        (a[k] - 2 * b[k] + c[k]) ** 2 for a, b, c in zip(points, points[1:], points[2:]) for k in (0, 1)
    )


def max_difference(actual, expected):
    assert len(actual) == len(expected)
    return max((abs(a - e) for p, q in zip(actual, expected) for a, e in zip(p, q)), default=0.0)


def smooth(points, d, method):
    result = Path2D(points=points).smoothed_path_elastic_band(d, method)
    assert isinstance(result, Path2D)
    return result.points


@pytest.mark.parametrize("points, d", RANDOM_PATHS)
def test_square_bounds_keep_each_axis_within_the_deviation(points, d):
    result = smooth(points, d, SQUARE)
    assert max_difference([result[0], result[-1]], [points[0], points[-1]]) <= TOL
    for before, after in zip(points[1:-1], result[1:-1]):
        assert abs(after[0] - before[0]) <= d + TOL
        assert abs(after[1] - before[1]) <= d + TOL
    assert energy(result) <= energy(points)


@pytest.mark.parametrize("points, d", RANDOM_PATHS)
def test_orthogonal_bounds_move_points_only_along_the_normal(points, d):
    result = smooth(points, d, ORTHOGONAL)
    theta = Path2D(points=points).orientation
    assert max_difference([result[0], result[-1]], [points[0], points[-1]]) <= TOL
    normal_moves = []
    for (x, y), (sx, sy), angle in zip(points[1:-1], result[1:-1], theta[1:-1]):
        dx, dy = sx - x, sy - y
        assert abs(dx * math.cos(angle) + dy * math.sin(angle)) <= TOL
        normal = dx * math.sin(angle) - dy * math.cos(angle)
        assert -d - TOL <= normal <= d + TOL
        normal_moves.append(abs(normal))
    # on these noisy paths some bound is always active
    assert max(normal_moves) > d / 2
    assert energy(result) <= energy(points)


@pytest.mark.parametrize("seed", [0, 1, 2])
@METHODS
def test_smoothing_reduces_the_bending_energy(seed, method):
    points = noisy_walk(seed)
    energies = [energy(smooth(points, d, method)) / energy(points) for d in (0.05, 0.3, 1.0)]
    # a wider band is a larger feasible set, so the optimum can only drop
    assert energies[0] < 0.95 and energies[1] < 0.75
    assert energies[2] <= energies[1] <= energies[0]


@pytest.mark.parametrize(
    "height, d, middle_y",
    [(1.0, 0.3, 0.7), (-1.0, 0.3, -0.7), (1.0, 2.0, 0.0), (0.25, 0.0, 0.25)],
)
@METHODS
def test_single_interior_point_moves_as_far_as_the_band_allows(height, d, middle_y, method):
    result = smooth([[0, 0], [1, height], [2, 0]], d, method)
    assert max_difference(result, [[0, 0], [1, middle_y], [2, 0]]) <= 1e-3


@pytest.mark.parametrize("n", [3, 7, 200])
@pytest.mark.parametrize("start, step", [((0, 0), (1, 0)), ((-2, 5), (0.3, -0.4)), ((100, -100), (-2, -2))])
@pytest.mark.parametrize("d", [0.1, 1.0])
@METHODS
def test_straight_equally_spaced_path_comes_back_unchanged(n, start, step, d, method):
    points = [[start[0] + i * step[0], start[1] + i * step[1]] for i in range(n)]
    assert max_difference(smooth(points, d, method), points) <= TOL


@pytest.mark.parametrize(
    "points",
    [[[1.5, -2.0]], [[0, 0], [3, 4]], [[-1, 2], [-1, 2]], [[1e6, -3e5], [1e6 + 1, -3e5]]],
    ids=["one", "two", "two-equal", "two-far"],
)
@pytest.mark.parametrize("d", [0.5, 0.0, -1.0])
@METHODS
def test_paths_without_interior_points_are_returned(points, d, method):
    # no interior point means no deviation bound, so even d = -1 is feasible
    result = smooth(points, d, method)
    assert max_difference(result, points) <= TOL


@METHODS
def test_empty_path_raises_the_internal_error(method):
    path = Path2D(points=[])
    message = "index out of bounds: the len is 0 but the index is 0"
    raises_internal(message, lambda: path.smoothed_path_elastic_band(0.5, method))
    raises_internal(message, lambda: path.smoothed_path_elastic_band(0.5, method))
    # the module stays usable
    assert smooth([[0, 0], [1, 1], [2, 0]], 0.1, method)[1][1] == pytest.approx(0.9, abs=1e-3)


@pytest.mark.parametrize("points", [noisy_walk(6), scatter(7)], ids=["walk", "scatter"])
def test_orthogonal_bounds_with_zero_deviation_return_the_input(points):
    assert max_difference(smooth(points, 0.0, ORTHOGONAL), points) <= TOL


@pytest.mark.parametrize("direction", [1, -1], ids=["+x", "-x"])
def test_chords_along_the_x_axis_keep_interior_x(direction):
    rng = random.Random(11)
    xs = [0.0]
    for _ in range(30):
        xs.append(xs[-1] + direction * rng.uniform(0.5, 1.5))
    # equal y at i-1 and i+1: every interior chord is horizontal
    points = [[x, float(i % 2)] for i, x in enumerate(xs)]
    assert set(Path2D(points=points).orientation[1:-1]) == {0.0 if direction > 0 else math.pi}
    result = smooth(points, 0.3, ORTHOGONAL)
    moves = [after[1] - before[1] for before, after in zip(points, result)]
    assert all(abs(after[0] - before[0]) <= TOL for before, after in zip(points, result))
    assert max(abs(m) for m in moves) == pytest.approx(0.3, abs=TOL)


@pytest.mark.parametrize(
    "points",
    [[[0, 0], [1, 0.4], [2, 0]], noisy_walk(8)],
    ids=["three", "walk"],
)
def test_square_bounds_with_negative_deviation_return_none(points):
    assert Path2D(points=points).smoothed_path_elastic_band(-1, SQUARE) is None


def prepared_path(points):
    path = Path2D(points=points)
    path.add_associated_values([float(i) for i in range(len(points))])
    path.add_associated_values([-1.0] * len(points))
    path.curvature
    return path


@pytest.mark.parametrize(
    "d, method, solved",
    [(0.3, SQUARE, True), (0.3, ORTHOGONAL, True), (-1.0, SQUARE, False)],
)
def test_result_is_fresh_and_input_only_gains_its_orientation(d, method, solved):
    points = [[0, 0], [1, 0.5], [2, -0.3], [3, 0.2], [4, 0]]
    path, twin = prepared_path(points), prepared_path(points)
    assert "orientation: OnceCell(<uninit>)" in repr(path)
    result = path.smoothed_path_elastic_band(d, method)
    twin.orientation
    assert repr(path) == repr(twin)
    assert path.points == [[float(x), float(y)] for x, y in points]
    if not solved:
        assert result is None
        return
    text = repr(result)
    assert text.count(UNCACHED) == 4 and text.endswith("associated_values: [] } }")
    assert result.associated_values(0) is None


def test_default_type_is_orthogonal_bounds():
    path = Path2D(points=noisy_walk(9))
    default = path.smoothed_path_elastic_band(0.3).points
    assert default == path.smoothed_path_elastic_band(0.3, ORTHOGONAL).points
    # the two types differ on this path, so the comparison above means something
    assert max_difference(default, path.smoothed_path_elastic_band(0.3, SQUARE).points) > 1e-2


BASE = [[0, 0], [1, 0.4], [2, -0.2], [3, 0.1], [4, 0]]


def with_value(index, axis, value, points=BASE):
    changed = [list(p) for p in points]
    changed[index][axis] = value
    return changed


NON_FINITE = (
    [
        pytest.param(with_value(i, k, v), 0.3, id=f"p{i}{'xy'[k]}={v}")
        for v in (NAN, INF, -INF)
        for i in (0, 2, 4)
        for k in (0, 1)
    ]
    + [pytest.param(BASE, v, id=f"d={v}") for v in (NAN, INF, -INF, 1e20, 1e300)]
    + [pytest.param([[v, 1.0]], 0.1, id=f"one={v}") for v in (NAN, INF, -INF)]
    + [pytest.param([[0.0, 0.0], [1.0, v]], 0.1, id=f"two={v}") for v in (NAN, INF, -INF)]
    + [
        pytest.param([[0, 0], [1e300, 1e300], [2e300, 0]], 1e300, id="huge"),
    ]
)


@pytest.mark.parametrize("points, d", NON_FINITE)
@METHODS
def test_non_finite_input_gives_none_or_a_sound_path(points, d, method):
    try:
        result = Path2D(points=points).smoothed_path_elastic_band(d, method)
    except BaseException as error:  # the internal error is not an Exception
        pytest.fail(f"raised {type(error).__name__}: {error}")
    if result is None:
        return
    assert isinstance(result, Path2D)
    got = result.points
    assert len(got) == len(points)
    # a reported success must still hold the end points and be finite
    assert all(math.isfinite(v) for p in got for v in p), got
    assert max_difference([got[0], got[-1]], [points[0], points[-1]]) <= TOL


# Clarabel treats right-hand sides of 1e20 and more as infinite and clips
# them, equality rows included, while it still reports success: such data
# gives None. Below that, a success keeps the end points up to the solver's
# relative tolerance.
@pytest.mark.parametrize(
    "points, solved",
    [
        ([[1e25, 0], [2e25, 0]], False),
        ([[-5e20, 0], [0, 1], [5e20, 0]], False),
        ([[0, 0], [-1e25, 1], [2, 0]], False),
        ([[1e19, 0], [2e19, 0]], True),
        ([[-5e19, 0], [0, 1], [5e19, 0]], True),
        ([[1e15, 3], [1e15 + 1, 4], [1e15 + 2, 3]], True),
    ],
    ids=["1e25", "5e20", "interior-1e25", "1e19", "5e19", "1e15"],
)
def test_coordinates_the_solver_would_clip_give_none(points, solved):
    got = Path2D(points=points).smoothed_path_elastic_band(0.5, ORTHOGONAL)
    assert (got is not None) == solved
    if solved:
        for want, have in zip([points[0], points[-1]], [got.points[0], got.points[-1]]):
            for w, h in zip(want, have):
                assert abs(h - w) <= TOL * max(1.0, abs(w))


# Clarabel allocates in Rust, which aborts the process when an allocation
# fails. With little address space left the call must end in MemoryError
# instead, and with enough it must solve.
MEMORY_CHILD = """
import math, resource, sys
import velmora

path = velmora.Path2D(points=[[i * 0.1, math.sin(i * 0.05)] for i in range(8000)])
path.orientation
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
limit = size + (int(sys.argv[1]) << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    result = path.smoothed_path_elastic_band(0.1, getattr(velmora.ElasticBandMethod, sys.argv[2]))
except MemoryError:
    print("MemoryError")
else:
    print("None" if result is None else len(result.points))
"""


@pytest.mark.parametrize(
    "headroom_mib, outcome",
    [
        (14, "MemoryError"),
        (18, "MemoryError"),
        (22, "MemoryError"),
        (26, "MemoryError"),
        (32, "MemoryError"),
        (512, "8000"),
    ],
)
@pytest.mark.parametrize("method", ["SquareBounds", "OrthogonalBounds"])
def test_memory_exhaustion_in_the_solver_raises_memory_error(headroom_mib, outcome, method):
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(MEMORY_CHILD), str(headroom_mib), method],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == outcome
