"""Property-based checks of the public API over random paths, NaN, infinities,
-0.0, repeated points and huge coordinates included: every call ends either
with a result or with one of the documented exceptions (PanicException only
where the operation documents it) and leaves its receiver as it was, and every
layout of the same values converts alike. The invariants of each operation
are checked in its own file.
"""

import array
import math
import os
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

from internal_error import panic_type

# The example count comes from the profile that conftest.py loads.
PROFILE = settings(
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)

SPECIAL = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1e300, -1e300, 5e-324, 1.7976931348623157e308, 1e-300]
wild_coord = st.one_of(
    st.floats(-1e3, 1e3),
    st.sampled_from(SPECIAL),
    st.floats(allow_nan=True, allow_infinity=True),
)


def with_repeats(coord):
    """Point lists in which some points repeat in place."""
    point = st.tuples(coord, coord)
    runs = st.lists(st.tuples(point, st.sampled_from((1, 1, 1, 1, 2, 3))), max_size=24)
    return runs.map(lambda rs: [list(p) for p, k in rs for _ in range(k)])


@st.composite
def paths(draw, coord=wild_coord):
    """A path from points or from coordinates (possibly of unequal length),
    with up to two attached columns."""
    points = draw(with_repeats(coord))
    if draw(st.integers(0, 4)) == 0:
        x = [p[0] for p in points] + draw(st.lists(coord, max_size=3))
        y = [p[1] for p in points] + draw(st.lists(coord, max_size=3))
        path = Path2D(x=x, y=y)
    else:
        path = Path2D(points=points)
    n = len(path.points)
    for _ in range(draw(st.integers(0, 2))):
        assert path.add_associated_values(draw(st.lists(coord, min_size=n, max_size=n))) >= 0
    return path


Panic = panic_type()
INDEX_0 = "index out of bounds: the len is 0 but the index is 0"
UNWRAP = "called `Option::unwrap()` on a `None` value"


def same(a, b):
    """Equality of nested float lists where NaN equals NaN."""
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(u, v) for u, v in zip(a, b))
    return a == b or (math.isnan(a) and math.isnan(b))


def snapshot(path):
    columns = []
    while (column := path.associated_values(len(columns))) is not None:
        columns.append(column)
    return path.points, path.x, path.y, columns


def has_nan(values):
    return any(math.isnan(v) for v in values)


def fit_may_fail(x, y):
    # A circle fit may find no solution on NaN, infinite or overflowing input,
    # and where points coincide or their spread underflows (0/0 in the
    # normalisation).
    values = x + y
    if any(not math.isfinite(v) or abs(v) > 1e150 or 0 < abs(v) < 1e-150 for v in values):
        return True
    return any(x[i] == x[i + 1] and y[i] == y[i + 1] for i in range(min(len(x), len(y)) - 1))


def sampling_grid_size(total, d):
    """Entries of the grid by sampling distance, or None when the grid is
    [NaN] or empty (the internal error of the resampling)."""
    with np.errstate(all="ignore"):
        k = np.floor(np.float64(total) / np.float64(d))
        end = np.float64(d) * k
    if math.isnan(k) or k >= 2.0**64 or math.isnan(end):
        return None
    return int(k) + 1 if k > 0 else 1


class Outcome:
    """A drawn call and its documented outcomes: the internal-error messages
    it may raise (required: it must raise one), and whether MemoryError is due."""

    def __init__(self, call, panic=(), required=False, memory=False):
        self.call, self.panic, self.required, self.memory = call, set(panic), required, memory


# Each operation draws its arguments and says when a PanicException or a
# MemoryError is the documented outcome.
def op_resample(path, data):
    n = len(path.points)
    lengths = path.path_length_per_point
    total = lengths[-1] if lengths else 0.0
    kind = data.draw(st.sampled_from([InterpolationMethod.Linear, InterpolationMethod.Cubic]))
    epsilon = data.draw(st.sampled_from([0.01, 0.0, 1.0, math.nan]))
    panic = None
    if data.draw(st.booleans()):
        m = data.draw(st.one_of(st.integers(0, 300), st.sampled_from([2**40, 2**62, 2**64 - 1])))
        method = ResamplingMethod.by_number_points(m)
        memory = n >= 2 and m >= 2**40
        if n >= 2 and not memory:
            panic = INDEX_0 if m == 0 else UNWRAP if has_nan(lengths) else None
    else:
        d = data.draw(st.one_of(st.floats(0.01, 100.0), st.sampled_from(SPECIAL + [-2.0, 1e-12])))
        drop_last = data.draw(st.booleans())
        method = ResamplingMethod.by_sampling_distance(d, drop_last)
        size = sampling_grid_size(total, d) if n >= 2 else 1
        # grids that fit in memory but are large are skipped: this test must not allocate gigabytes
        assume(size is None or size <= 10**5 or size >= 10**10)
        memory = size is not None and size >= 10**10
        if n >= 2 and size is None:
            with np.errstate(all="ignore"):
                k = np.floor(np.float64(total) / np.float64(d))
            panic = INDEX_0 if k >= 2.0**64 else UNWRAP
    return Outcome(
        lambda: path.resampled_path(method, kind, epsilon),
        panic={panic} if panic else set(),
        required=bool(panic),
        memory=memory,
    )


def op_elastic_band(path, data):
    assume(len(path.points) <= 12)
    d = data.draw(st.sampled_from([0.1, 0.0, -1.0, 1e6, math.nan, math.inf]))
    kind = data.draw(st.sampled_from([ElasticBandMethod.SquareBounds, ElasticBandMethod.OrthogonalBounds]))
    empty = not path.points
    return Outcome(
        lambda: path.smoothed_path_elastic_band(d, kind), panic={INDEX_0} if empty else set(), required=empty
    )


def op_chaikin(path, data):
    k = data.draw(st.one_of(st.integers(0, 5), st.sampled_from([40, 64, 200, 2**63])))
    memory = len(path.points) >= 2 and k >= 40
    return Outcome(lambda: path.smoothed_path_chaikin(k), memory=memory)


def op_circle_segments(path, data):
    x, y = path.x, path.y
    start = data.draw(st.integers(0, len(x) + 3))
    end = data.draw(st.integers(0, len(x) + 3))
    rmse = data.draw(st.sampled_from([0.15, 0.0, -1.0, math.inf, math.nan, 1e-9]))
    call = lambda: path.find_circle_segments(start, end, rmse)  # noqa: E731
    if end < start:
        return Outcome(call, {f"slice index starts at {start} but ends at {end}"}, True)
    for length in (len(x), len(y)):
        if end - start >= 3 and end > length:
            return Outcome(call, {f"range end index {end} out of range for slice of length {length}"}, True)
    return Outcome(call, {UNWRAP} if fit_may_fail(x[start:end], y[start:end]) else set())


def op_circle_curvature(path, data):
    x, y = path.x, path.y
    rmse = data.draw(st.sampled_from([0.15, 0.0, -1.0, math.inf, math.nan]))
    call = lambda: path.compute_circle_fit_curvature(rmse)  # noqa: E731
    if len(x) >= 3 and len(y) < len(x):
        return Outcome(call, {f"range end index {len(x)} out of range for slice of length {len(y)}"}, True)
    return Outcome(call, {UNWRAP} if fit_may_fail(x, y) else set())


def op_queries(path, data):
    point = data.draw(st.tuples(wild_coord, wild_coord))
    epsilon = data.draw(st.sampled_from([0.01, 0.0, 1.0, math.nan, math.inf, -1.0]))
    name = data.draw(st.sampled_from(["index_from_point", "path_length_from_point"]))
    return Outcome(lambda: getattr(path, name)(point, epsilon))


def op_sub_path(path, data):
    point = st.one_of(st.none(), st.tuples(wild_coord, wild_coord))
    start, end = data.draw(point), data.draw(point)
    epsilon = data.draw(st.sampled_from([0.01, 0.0, 1.0, math.nan]))
    return Outcome(lambda: path.sub_path(start, end, epsilon))


def op_point_order(path, data):
    angle = data.draw(st.sampled_from([2.8, 0.0, -1.0, math.pi, math.nan, math.inf]))
    name = data.draw(st.sampled_from(["detect_corrupted_point_order", "repair_corrupted_point_order"]))
    return Outcome(lambda: getattr(path, name)(angle))


def op_properties(path, data):
    name = data.draw(st.sampled_from(PROPERTIES))
    return Outcome(lambda: (getattr(path, name), repr(path)))


PROPERTIES = [name for name, member in vars(Path2D).items() if isinstance(member, types.GetSetDescriptorType)]
OPERATIONS = [
    op_resample,
    op_elastic_band,
    op_chaikin,
    op_circle_segments,
    op_circle_curvature,
    op_queries,
    op_sub_path,
    op_point_order,
    op_properties,
]


@PROFILE
@given(paths(), st.sampled_from(OPERATIONS), st.data())
def test_only_documented_outcomes(path, operation, data):
    outcome = operation(path, data)
    before = snapshot(path)
    try:
        outcome.call()
    except MemoryError:
        assert outcome.memory, "MemoryError where the request fits in memory"
    except Panic as error:
        assert error.args[0] in outcome.panic, f"unexpected internal error: {error.args}"
    else:
        assert not outcome.memory, "a request larger than physical memory returned"
        assert not outcome.required, f"no internal error, expected one of {outcome.panic}"
    assert same(list(snapshot(path)), list(before)), "the source path changed"


def strided(points):
    """Every other row of a twice as long array: not contiguous."""
    doubled = np.zeros((2 * len(points), 2))
    doubled[::2] = points
    return doubled[::2]


# Layouts of the same float64 values; the conversion reads some through the
# buffer protocol and falls back to item by item for the others.
LAYOUTS = {
    "list": lambda pts: [list(p) for p in pts],
    "tuple": lambda pts: tuple(tuple(p) for p in pts),
    "array": lambda pts: np.array(pts, dtype=float).reshape(len(pts), 2),
    "fortran": lambda pts: np.asfortranarray(np.array(pts, dtype=float).reshape(len(pts), 2)),
    "strided": lambda pts: strided(np.array(pts, dtype=float).reshape(len(pts), 2)),
    "big-endian": lambda pts: np.array(pts, dtype=">f8").reshape(len(pts), 2),
    "rows-as-arrays": lambda pts: [np.array(p) for p in pts],
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@PROFILE
@given(points=with_repeats(wild_coord))
def test_conversions_agree(layout, points):
    as_lists = Path2D(points=points)
    other = Path2D(points=LAYOUTS[layout](points))
    assert same(other.points, as_lists.points)
    columns = np.array(points, dtype=float).reshape(len(points), 2)
    plain_buffers = (memoryview(columns[:, 0].copy()), array.array("d", columns[:, 1]))
    for xs, ys in (
        (columns[:, 0], columns[:, 1]),
        (list(columns[:, 0]), tuple(columns[:, 1])),
        plain_buffers,
    ):
        by_columns = Path2D(x=xs, y=ys)
        assert same(by_columns.points, as_lists.points)
        assert same(by_columns.x, other.x) and same(by_columns.y, other.y)


UNALIGNED = """
import json
import numpy as np
from velmora import Path2D
unaligned = np.frombuffer(b"\\0" + (np.arange(12) * 0.5).tobytes(), offset=1)
assert not unaligned.flags.aligned
by_points = Path2D(points=unaligned.reshape(6, 2))
by_coordinates = Path2D(x=unaligned[:6], y=unaligned[6:])
by_coordinates.add_associated_values(unaligned[:6])
print(json.dumps([by_points.points, by_coordinates.points, by_coordinates.associated_values(0),
                  by_points.index_from_point(unaligned[2:4])]))
"""


def test_unaligned_float64_buffers_convert(tmp_path):
    # NumPy exports unaligned float64 buffers (a view at an odd offset) as
    # C-contiguous "d" buffers; copying them must not load doubles through a
    # misaligned pointer, which the undefined-behaviour sanitizer reports.
    import json
    import subprocess
    import sys

    env = dict(os.environ)
    env["UBSAN_OPTIONS"] = f"halt_on_error=1:print_stacktrace=1:log_path={tmp_path}/ubsan"
    run = subprocess.run(
        [sys.executable, "-c", UNALIGNED], capture_output=True, text=True, env=env, timeout=120
    )
    reports = [p.read_text() for p in tmp_path.glob("ubsan*")]
    assert run.returncode == 0, run.stderr
    assert not reports
    halves = [i * 0.5 for i in range(12)]
    points, columns, column, index = json.loads(run.stdout)
    assert points == [[halves[2 * i], halves[2 * i + 1]] for i in range(6)]
    assert columns == [[halves[i], halves[6 + i]] for i in range(6)]
    assert column == halves[:6]
    assert index == 1
