"""Repeated calls of every entry point, with valid and invalid arguments, must
leave the reference counts of their arguments unchanged and the process's
memory flat: a leaked reference or a leaked C++ buffer shows up here long
before it shows up in a user's long-running interpreter.

Three measurements per case, taken after a warm-up:
- sys.getrefcount of the receiver, of every argument and of the items of
  list and tuple arguments (a missing or extra decref);
- sys.getallocatedblocks, the interpreter's own count of live object blocks,
  which must come back exactly (one Python object leaked in all the calls);
- the resident set size from /proc/self/statm (a C++ buffer leaked per call;
  the receiver is large enough that a leaked copy of it is megabytes).
"""

import array
import ctypes
import gc
import math
import operator
import os
import sys

import numpy as np
import pytest

import velmora
from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

from internal_error import panic_type

SANITIZED = bool(os.environ.get("VELMORA_SANITIZED"))
REPEATS = 600 if SANITIZED else 2000
WARMUP = 50
# Generous: a copy of LONG leaked per call costs 2000 * 48 KB = 96 MB.
RSS_BOUND = 24 << 20


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


Panic = panic_type()

N = 1000
LONG_POINTS = [[i * 0.01, math.sin(i * 0.01)] for i in range(N)]
LONG = Path2D(points=LONG_POINTS)
LONG.add_associated_values([float(i) for i in range(N)])
SMALL = Path2D(points=[[i * 0.3, math.cos(i * 0.3)] for i in range(30)])
EMPTY = Path2D(points=[])
ATTACH = Path2D(points=[[0.0, 0.0], [1.0, 1.0]])
UNEVEN = Path2D(x=[0.0, 1.0, 2.0, 3.0], y=[0.0, 1.0])

CAUSE = KeyError("the cause")


class FloatRefusing:
    """__float__ fails with a TypeError carrying a cause."""

    def __float__(self):
        error = TypeError("no float here")
        error.__cause__ = CAUSE
        raise error


class IndexRefusing:
    def __index__(self):
        raise ValueError("no index here")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.25


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class ShortSeq(Seq):
    """Claims two items but has only one."""

    def __len__(self):
        return 2


LONG_X = np.array([p[0] for p in LONG_POINTS])
LONG_Y = np.array([p[1] for p in LONG_POINTS])
LONG_NP = np.array(LONG_POINTS)
FLOAT_STRIDED = np.array(LONG_POINTS)[::2]
FLOAT32 = np.array(LONG_POINTS, dtype=np.float32)
BIG_ENDIAN = np.array(LONG_POINTS, dtype=">f8")
DOUBLES = array.array("d", LONG_X.tolist())
FLOATS32 = array.array("f", [0.5] * N)
MEMVIEW_2D = memoryview(LONG_NP.tobytes()).cast("B").cast("d", [N, 2])
WITH_NAN = [[0.0, 0.0], [math.nan, 1.0], [math.inf, -math.inf], [-0.0, 1e308]]
QUERY = [2.0, 0.5]
QUERY_NP = np.array(QUERY)

TIMES = np.arange(N, dtype=float)
NOISE = np.full(N, 0.1)
# fast, then stopped: the free profile runs backwards, so the monotone one is a QP
STOPPING = [min(i, 20) * 10.0 + (0.7 if i % 3 == 0 else -0.4) for i in range(40)]

RM = ResamplingMethod
IM = InterpolationMethod
EB = ElasticBandMethod
BNP = RM.by_number_points(N)
BSD = RM.by_sampling_distance(0.05, False)


def case(name, fn, *args, expect=None, repeats=REPEATS, **kwargs):
    return pytest.param(fn, args, kwargs, expect, repeats, id=name)


def getter(*names):
    return operator.attrgetter(*names)


PROPERTIES = [
    "points",
    "points_np",
    "x",
    "x_np",
    "y",
    "y_np",
    "path_length_per_point",
    "path_length_per_point_np",
    "length",
    "orientation",
    "orientation_np",
    "unit_tangent_vector",
    "unit_tangent_vector_np",
    "curvature",
    "curvature_np",
]

CASES = [
    # constructor
    case("new-points-list", Path2D, LONG_POINTS),
    case("new-points-tuples", Path2D, tuple(tuple(p) for p in LONG_POINTS[:50])),
    case("new-points-ints", Path2D, [[1, 2], [3, 4], [True, False]]),
    case("new-points-numpy", Path2D, LONG_NP),
    case("new-points-numpy-strided", Path2D, FLOAT_STRIDED),
    case("new-points-numpy-float32", Path2D, FLOAT32[:100]),
    case("new-points-numpy-big-endian", Path2D, BIG_ENDIAN[:100]),
    case("new-points-memoryview", Path2D, MEMVIEW_2D, expect=NotImplementedError),
    case("new-points-seq", Path2D, Seq([Seq([1.0, 2.0]), (3.0, 4.0)])),
    case("new-points-special-floats", Path2D, WITH_NAN),
    case("new-xy-lists", Path2D, None, LONG_X.tolist(), LONG_Y.tolist()),
    case("new-xy-numpy", Path2D, x=LONG_X, y=LONG_Y),
    case("new-xy-array-module", Path2D, x=DOUBLES, y=FLOATS32),
    case("new-xy-bytes", Path2D, x=b"abc", y=bytearray(b"de")),
    case("new-xy-uneven", Path2D, x=[0.0, 1.0, 2.0], y=[1.0]),
    case("new-empty", Path2D, []),
    case("new-nothing", Path2D, expect=TypeError),
    case("new-points-none", Path2D, points=None, expect=TypeError),
    case("new-points-and-x", Path2D, [[0, 0]], [0.0], expect=TypeError),
    case("new-only-x", Path2D, x=[0.0, 1.0], expect=TypeError),
    case("new-str", Path2D, "ab", expect=TypeError),
    case("new-str-x", Path2D, x="ab", y=[1.0], expect=TypeError),
    case("new-not-a-sequence", Path2D, 42, expect=TypeError),
    case("new-dict", Path2D, {0: [0, 0]}, expect=TypeError),
    case("new-generator-like", Path2D, iter([[0, 0]]), expect=TypeError),
    case("new-point-of-three", Path2D, [[0, 0], [0, 0, 0]], expect=ValueError),
    case("new-point-not-a-sequence", Path2D, [[0, 0], 5], expect=TypeError),
    case("new-point-str-item", Path2D, [[0, "a"]], expect=TypeError),
    case("new-point-float-refusing", Path2D, [[0.0, FloatRefusing()]], expect=TypeError),
    case("new-point-short-seq", Path2D, [ShortSeq([1.0])], expect=IndexError),
    case("new-x-bad-item", Path2D, x=[0.0, None], y=[0.0, 1.0], expect=TypeError),
    case("new-y-float-refusing", Path2D, x=[0.0], y=[FloatRefusing()], expect=TypeError),
    case("new-numpy-three-columns", Path2D, np.zeros((4, 3)), expect=ValueError),
    case("new-too-many-positional", Path2D, 1, 2, 3, 4, expect=TypeError),
    case("new-unknown-keyword", Path2D, points=[], z=1, expect=TypeError),
    case("new-repeated-argument", Path2D, [], points=[], expect=TypeError),
    # properties and the text form
    *[case(f"property-{name}", getter(name), LONG) for name in PROPERTIES],
    *[case(f"property-empty-{name}", getter(name), EMPTY) for name in PROPERTIES],
    case("property-uneven-tangent-np", getter("unit_tangent_vector_np"), UNEVEN),
    case("repr", repr, LONG, repeats=REPEATS // 4),
    case("str-empty", str, EMPTY),
    case("set-attribute", setattr, LONG, "x", [1.0], expect=AttributeError),
    # compute_circle_fit_curvature
    case("circle-curvature", LONG.compute_circle_fit_curvature, repeats=REPEATS // 4),
    case("circle-curvature-negative", SMALL.compute_circle_fit_curvature, -1.0),
    case("circle-curvature-floaty", SMALL.compute_circle_fit_curvature, max_rmse=Floaty()),
    case("circle-curvature-none", LONG.compute_circle_fit_curvature, None, expect=TypeError),
    case("circle-curvature-refusing", LONG.compute_circle_fit_curvature, FloatRefusing(), expect=TypeError),
    case("circle-curvature-uneven", UNEVEN.compute_circle_fit_curvature, expect=Panic, repeats=REPEATS // 4),
    case("circle-curvature-extra", LONG.compute_circle_fit_curvature, 0.1, 2, expect=TypeError),
    # find_circle_segments
    case("segments", LONG.find_circle_segments, 0, N, repeats=REPEATS // 4),
    case("segments-index-objects", SMALL.find_circle_segments, Index(2), Index(20), 0.01),
    case("segments-beyond-end-short", LONG.find_circle_segments, 5000, 5002),
    case("segments-reversed", LONG.find_circle_segments, 5, 3, expect=Panic, repeats=REPEATS // 4),
    case("segments-past-end", LONG.find_circle_segments, 0, N + 1, expect=Panic, repeats=REPEATS // 4),
    case("segments-negative", LONG.find_circle_segments, -1, 3, expect=OverflowError),
    case("segments-huge", LONG.find_circle_segments, 0, 2**64, expect=OverflowError),
    case("segments-float-index", LONG.find_circle_segments, 0.5, 3, expect=TypeError),
    case("segments-index-refusing", LONG.find_circle_segments, 0, IndexRefusing(), expect=ValueError),
    case("segments-missing", LONG.find_circle_segments, 0, expect=TypeError),
    case("segments-keyword-twice", LONG.find_circle_segments, 0, 3, start=0, expect=TypeError),
    # resampled_path
    case("resample-number", LONG.resampled_path, BNP),
    case("resample-cubic", LONG.resampled_path, BNP, IM.Cubic, 0.1),
    case("resample-distance", LONG.resampled_path, resampling_method=BSD, epsilon=Floaty()),
    case("resample-one-point", Path2D(points=[[1, 2]]).resampled_path, RM.by_number_points(0)),
    case(
        "resample-zero-points", LONG.resampled_path, RM.ByNumberPoints(0), expect=Panic, repeats=REPEATS // 4
    ),
    case(
        "resample-nan-distance",
        LONG.resampled_path,
        RM.by_sampling_distance(math.nan),
        expect=Panic,
        repeats=REPEATS // 4,
    ),
    case("resample-too-many", LONG.resampled_path, RM.by_number_points(2**62), expect=MemoryError),
    case("resample-not-a-method", LONG.resampled_path, 5, expect=TypeError),
    case("resample-type-none", LONG.resampled_path, BNP, None, expect=TypeError),
    case("resample-type-wrong-enum", LONG.resampled_path, BNP, EB.SquareBounds, expect=TypeError),
    case("resample-epsilon-str", LONG.resampled_path, BNP, IM.Linear, "x", expect=TypeError),
    # smoothed_path_elastic_band (a solve per call: a smaller path, fewer calls)
    case("elastic-orthogonal", SMALL.smoothed_path_elastic_band, 0.1, repeats=REPEATS // 10),
    case("elastic-square", SMALL.smoothed_path_elastic_band, 0.1, EB.SquareBounds, repeats=REPEATS // 10),
    case(
        "elastic-infeasible", SMALL.smoothed_path_elastic_band, -1.0, EB.SquareBounds, repeats=REPEATS // 10
    ),
    case("elastic-empty", EMPTY.smoothed_path_elastic_band, 0.1, expect=Panic, repeats=REPEATS // 4),
    case("elastic-str", SMALL.smoothed_path_elastic_band, "0.1", expect=TypeError),
    case("elastic-type-int", SMALL.smoothed_path_elastic_band, 0.1, 1, expect=TypeError),
    # smoothed_path_chaikin
    case("chaikin", LONG.smoothed_path_chaikin, 2),
    case("chaikin-zero", LONG.smoothed_path_chaikin, num_iterations=0),
    case("chaikin-numpy-int", SMALL.smoothed_path_chaikin, np.int64(3)),
    case("chaikin-huge", LONG.smoothed_path_chaikin, 200, expect=MemoryError),
    case("chaikin-negative", LONG.smoothed_path_chaikin, -1, expect=OverflowError),
    case("chaikin-float", LONG.smoothed_path_chaikin, 1.5, expect=TypeError),
    case("chaikin-missing", LONG.smoothed_path_chaikin, expect=TypeError),
    # index_from_point and path_length_from_point
    *[
        c
        for method in ("index_from_point", "path_length_from_point")
        for c in (
            case(f"{method}", getattr(LONG, method), QUERY),
            case(f"{method}-tuple-epsilon", getattr(LONG, method), (2.0, 0.5), 0.5),
            case(f"{method}-numpy", getattr(LONG, method), point=QUERY_NP),
            case(f"{method}-outside", getattr(LONG, method), [-5.0, 0.0]),
            case(f"{method}-nan", getattr(LONG, method), [math.nan, 0.0]),
            case(f"{method}-empty-path", getattr(EMPTY, method), QUERY),
            case(f"{method}-three", getattr(LONG, method), [1, 2, 3], expect=ValueError),
            case(f"{method}-scalar", getattr(LONG, method), 5.0, expect=TypeError),
            case(f"{method}-str", getattr(LONG, method), "ab", expect=TypeError),
            case(f"{method}-refusing", getattr(LONG, method), [0.0, FloatRefusing()], expect=TypeError),
            case(f"{method}-epsilon-none", getattr(LONG, method), QUERY, None, expect=TypeError),
            case(f"{method}-unknown-keyword", getattr(LONG, method), QUERY, eps=1, expect=TypeError),
        )
    ],
    # sub_path
    case("sub-path-whole", LONG.sub_path),
    case("sub-path-cut", LONG.sub_path, [1.0, 0.0], [5.0, 0.0]),
    case("sub-path-nones", LONG.sub_path, None, None, 0.1),
    case("sub-path-reversed", LONG.sub_path, [5.0, 0.0], [1.0, 0.0]),
    case("sub-path-empty", EMPTY.sub_path),
    case("sub-path-three", LONG.sub_path, [1, 2, 3], expect=ValueError),
    case("sub-path-str", LONG.sub_path, end="xy", expect=TypeError),
    # point order
    case("detect", LONG.detect_corrupted_point_order),
    case("detect-zero", LONG.detect_corrupted_point_order, 0.0),
    case("detect-nan", LONG.detect_corrupted_point_order, sus_angle=math.nan),
    case("detect-str", LONG.detect_corrupted_point_order, "x", expect=TypeError),
    case("repair", LONG.repair_corrupted_point_order),
    case("repair-zero", SMALL.repair_corrupted_point_order, 0.0),
    case("repair-refusing", LONG.repair_corrupted_point_order, FloatRefusing(), expect=TypeError),
    # associated values
    case("attach", ATTACH.add_associated_values, [1.0, 2.0]),
    case("attach-numpy", ATTACH.add_associated_values, np.array([1.0, 2.0])),
    case("attach-wrong-length", LONG.add_associated_values, [1.0, 2.0], expect=TypeError),
    case("attach-wrong-length-numpy", LONG.add_associated_values, LONG_X[:10], expect=TypeError),
    case("attach-str", LONG.add_associated_values, "abc", expect=TypeError),
    case("attach-bad-item", ATTACH.add_associated_values, [1.0, "a"], expect=TypeError),
    case("attach-none", ATTACH.add_associated_values, None, expect=TypeError),
    case("attach-missing", ATTACH.add_associated_values, expect=TypeError),
    case("column", LONG.associated_values, 0),
    case("column-missing", LONG.associated_values, 99),
    case("column-index-object", LONG.associated_values, Index(0)),
    case("column-negative", LONG.associated_values, -1, expect=OverflowError),
    case("column-float", LONG.associated_values, 0.0, expect=TypeError),
    case("column-np", LONG.associated_value_np, 0),
    case("column-np-missing", LONG.associated_value_np, handle=7),
    case("column-np-refusing", LONG.associated_value_np, IndexRefusing(), expect=ValueError),
    # enumeration classes
    case("rm-by-number-points", RM.by_number_points, 5),
    case("rm-by-sampling-distance", RM.by_sampling_distance, 0.5),
    case(
        "rm-by-sampling-distance-keywords",
        RM.by_sampling_distance,
        sampling_distance=0.5,
        drop_last=np.bool_(False),
    ),
    case("rm-variant-number", RM.ByNumberPoints, number_points=5),
    case("rm-variant-distance", RM.BySamplingDistance, 0.5, True),
    case("rm-variant-distance-missing", RM.BySamplingDistance, 0.5, expect=TypeError),
    case("rm-negative", RM.by_number_points, -1, expect=OverflowError),
    case("rm-float-count", RM.by_number_points, 2.5, expect=TypeError),
    case("rm-int-drop-last", RM.by_sampling_distance, 1.0, 1, expect=TypeError),
    case("rm-no-constructor", RM, expect=TypeError),
    case("rm-properties", getter("number_points"), BNP),
    case("rm-distance-properties", getter("sampling_distance", "drop_last"), BSD),
    case("rm-equal", operator.eq, BNP, RM.ByNumberPoints(N)),
    case("rm-equal-other", operator.eq, BSD, 1),
    case("rm-order", operator.lt, BNP, BNP, expect=TypeError),
    case("rm-hash", hash, BNP, expect=TypeError),
    case("im-equal-int", operator.eq, IM.Linear, 1),
    case("im-equal-float", operator.eq, IM.Linear, 1.0),
    case("im-equal-index", operator.ne, EB.OrthogonalBounds, Index(1)),
    case("im-equal-index-refusing", operator.eq, IM.Cubic, IndexRefusing()),
    case("im-equal-huge", operator.eq, IM.Cubic, 2**100),
    case("im-order", operator.lt, IM.Linear, IM.Cubic, expect=TypeError),
    case("im-int", int, EB.SquareBounds),
    case("im-repr", repr, IM.Cubic),
    case("im-no-constructor", IM, expect=TypeError),
    case("eb-no-constructor", EB, 1, expect=TypeError),
    # fit_distance_profile (the monotone cases solve a QP: a shorter track, fewer calls)
    case(
        "profile-lists", velmora.fit_distance_profile, TIMES.tolist(), LONG_X.tolist(), [0.1] * N, 1.0, False
    ),
    case("profile-numpy", velmora.fit_distance_profile, TIMES, LONG_X, NOISE, 1.0, monotone=False),
    case(
        "profile-monotone",
        velmora.fit_distance_profile,
        TIMES[:40],
        STOPPING,
        NOISE[:40],
        2.0,
        repeats=REPEATS // 10,
    ),
    case("profile-none", velmora.fit_distance_profile, [0.0, 1.0], [0.0, 1.0], [1e300, 1e300], 1.0),
    case("profile-unequal", velmora.fit_distance_profile, TIMES, LONG_X[:10], NOISE, 1.0, expect=Panic),
    case(
        "profile-bad-item",
        velmora.fit_distance_profile,
        [0.0, 1.0],
        [0.0, None],
        [1.0, 1.0],
        1.0,
        expect=TypeError,
    ),
    # pickling: reductions, and the helper that rebuilds from them
    case("reduce-path", operator.methodcaller("__reduce__"), LONG, repeats=REPEATS // 4),
    case("reduce-variant", operator.methodcaller("__reduce__"), BSD),
    case("reduce-member", operator.methodcaller("__reduce__"), IM.Linear),
    case("reduce-panic", operator.methodcaller("__reduce__"), Panic("message")),
    case("rebuild-path", velmora._reconstruct, *LONG.__reduce__()[1], repeats=REPEATS // 4),
    case("rebuild-variant", velmora._reconstruct, *BSD.__reduce__()[1]),
    case("rebuild-member", velmora._reconstruct, "ElasticBandMethod", 1),
    case("rebuild-panic", velmora._reconstruct, "PanicException", ("message",)),
    case("rebuild-bad-column", velmora._reconstruct, "Path2D", b"", b"", (b"\0" * 8,), expect=ValueError),
    case("rebuild-unknown", velmora._reconstruct, "Nothing", expect=ValueError),
]


def tracked(fn, args, kwargs):
    """The receiver, every argument, and the items of list and tuple arguments."""
    objects = []
    receiver = getattr(fn, "__self__", None)
    if receiver is not None and not isinstance(receiver, type(sys)):
        objects.append(receiver)
    pending = list(args) + list(kwargs.values())
    for depth in range(3):
        nested = []
        for obj in pending:
            objects.append(obj)
            if isinstance(obj, (list, tuple)) and len(obj) <= 64:
                nested.extend(obj)
        pending = nested
    return objects


# gc's callbacks, put aside while a census collects (see settled()).
CALLBACKS = []


def settled():
    """Clears what holds objects that no leak explains: cyclic garbage not yet
    collected, the free lists of floats, tuples, lists and dicts (a full
    collection empties them) and the type attribute cache, which keeps the
    name of every cached lookup alive. A name made afresh per call
    (PyObject_GetAttrString makes one) stays alive in the slot its address
    hashes to until another lookup takes the slot, so how many such names
    live depends on where the allocator put them. The collection runs
    without gc's callbacks: Hypothesis installs one that keeps its running
    total as a float, and what a callback frees after the collection fills
    the free lists again."""
    CALLBACKS[:] = gc.callbacks
    gc.callbacks.clear()
    try:
        sys._clear_type_cache()
        gc.collect()
    finally:
        gc.callbacks[:] = CALLBACKS


class Census:
    """Live interpreter blocks and the reference counts of some objects, both
    taken in a settled state. The figures go into C arrays made beforehand,
    so that taking them leaves no object behind for the next census to see."""

    def __init__(self, objects):
        self.objects = objects
        self.counts = array.array("q", bytes(8 * len(objects)))
        self.live = array.array("q", [0])

    @property
    def blocks(self):
        return self.live[0]

    def take(self):
        settled()
        self.live[0] = sys.getallocatedblocks()
        for i, o in enumerate(self.objects):
            self.counts[i] = sys.getrefcount(o)


def call_many(fn, args, kwargs, expect, count):
    for _ in range(count):
        try:
            result = fn(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
            if expect is None or not isinstance(error, expect):
                raise
        else:
            assert expect is None, f"expected {expect.__name__}, got {result!r:.80}"
            del result


@pytest.mark.parametrize("fn, args, kwargs, expect, repeats", CASES)
def test_repeated_calls_keep_references_and_memory_flat(fn, args, kwargs, expect, repeats):
    call_many(fn, args, kwargs, expect, WARMUP)
    objects = tracked(fn, args, kwargs)
    before, after = Census(objects), Census(objects)
    rss_before = rss_bytes()
    # What exists now is left out of the collections: they then look at
    # what the calls made, which keeps a full collection per census cheap.
    gc.freeze()
    try:
        before.take()
        call_many(fn, args, kwargs, expect, repeats)
        after.take()
    finally:
        gc.unfreeze()
    rss_growth = rss_bytes() - rss_before

    changed = [(type(o).__name__, b, a) for o, b, a in zip(objects, before.counts, after.counts) if a != b]
    assert not changed, f"reference counts changed after {repeats} calls: {changed}"
    blocks_growth = after.blocks - before.blocks
    assert blocks_growth == 0, f"{blocks_growth} interpreter blocks kept by {repeats} calls"
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory on purpose
        assert rss_growth < RSS_BOUND, f"RSS grew by {rss_growth >> 20} MiB in {repeats} calls"


def test_the_cause_of_a_renamed_type_error_is_kept_and_released():
    before = sys.getrefcount(CAUSE)
    for _ in range(200):
        with pytest.raises(TypeError, match="^argument 'epsilon': no float here$") as info:
            LONG.index_from_point(QUERY, FloatRefusing())
        assert info.value.__cause__ is CAUSE
        del info
    assert sys.getrefcount(CAUSE) == before


def test_one_object_kept_by_a_missing_decref_would_be_seen():
    # The census itself must be able to fail: a float whose reference is
    # never given back, which no collection can free.
    keep = ctypes.pythonapi.Py_IncRef
    keep.argtypes = [ctypes.py_object]
    before, after = Census([]), Census([])
    before.take()
    keep(float(before.blocks) + 0.5)
    after.take()
    assert after.blocks - before.blocks == 1
