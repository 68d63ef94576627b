import ast
import math
import pathlib
import pickle
import types
import warnings

import numpy as np
import pytest

import velmora
from velmora import Path2D

from conftest import same_floats

NAN = float("nan")


def matrix(rows):
    with warnings.catch_warnings():  # NumPy discourages the class, users still have it
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(rows)


@pytest.mark.parametrize(
    "kwargs, points",
    [
        ({"points": [[0, 0], [1, 2]]}, [[0.0, 0.0], [1.0, 2.0]]),
        ({"points": [(0, 0), (1, 2)]}, [[0.0, 0.0], [1.0, 2.0]]),
        ({"points": ((0, 0), (1, 2))}, [[0.0, 0.0], [1.0, 2.0]]),
        ({"points": np.array([[0, 0], [1, 2]], dtype=np.float64)}, [[0.0, 0.0], [1.0, 2.0]]),
        ({"points": np.array([[0, 0], [1, 2]], dtype=np.int32)}, [[0.0, 0.0], [1.0, 2.0]]),
        (
            {"points": np.array([[0, 0], [1, 2]], dtype=np.float64)[:, ::-1].T.T[:, ::-1]},
            [[0.0, 0.0], [1.0, 2.0]],
        ),
        ({"points": [[0, 0], [1, 1]], "x": None, "y": None}, [[0.0, 0.0], [1.0, 1.0]]),
        ({"x": [0, 1], "y": [2, 3]}, [[0.0, 2.0], [1.0, 3.0]]),
        ({"x": np.array([0.0, 1.0]), "y": (2, 3)}, [[0.0, 2.0], [1.0, 3.0]]),
        ({"points": []}, []),
        ({"x": [], "y": []}, []),
        ({"points": np.zeros((0, 2))}, []),
    ],
)
def test_constructor_combinations(kwargs, points):
    assert Path2D(**kwargs).points == points


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((), {"points": None}),
        ((), {"points": [[0, 0]], "x": [0]}),
        ((), {"points": [[0, 0]], "y": [0]}),
        ((), {"x": [0, 1]}),
        ((), {"y": [0, 1]}),
        (([[0, 0]], [0], [0]), {}),
    ],
)
def test_wrong_combination(args, kwargs):
    with pytest.raises(TypeError, match="^Create path either from points or coordinates$"):
        Path2D(*args, **kwargs)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"points": "ab"}, TypeError, "argument 'points': Can't extract `str` to `Vec`"),
        ({"x": "ab", "y": [1]}, TypeError, "argument 'x': Can't extract `str` to `Vec`"),
        ({"x": [1], "y": "ab"}, TypeError, "argument 'y': Can't extract `str` to `Vec`"),
        ({"points": [[0, 0, 0]]}, ValueError, "expected a sequence of length 2 (got 3)"),
        ({"points": [[0]]}, ValueError, "expected a sequence of length 2 (got 1)"),
        ({"points": np.zeros((2, 3))}, ValueError, "expected a sequence of length 2 (got 3)"),
        ({"points": 5}, TypeError, "argument 'points': 'int' object cannot be converted to 'Sequence'"),
        ({"points": [5]}, TypeError, "argument 'points': 'int' object cannot be converted to 'Sequence'"),
        ({"points": {1: 2}}, TypeError, "argument 'points': 'dict' object cannot be converted to 'Sequence'"),
        ({"x": [1, "a"], "y": [1, 2]}, TypeError, "argument 'x': must be real number, not str"),
        ({"x": [1, None], "y": [1, 2]}, TypeError, "argument 'x': must be real number, not NoneType"),
        ({"points": [["a", 1]]}, TypeError, "argument 'points': must be real number, not str"),
        (
            {"points": (p for p in [[0, 0]])},
            TypeError,
            "argument 'points': 'generator' object cannot be converted to 'Sequence'",
        ),
        # buffers are read in place only where iterating would give the same
        ({"points": matrix([[0.0, 1.0]])}, ValueError, "expected a sequence of length 2 (got 1)"),
        (
            {"points": pickle.PickleBuffer(np.zeros((2, 2)))},
            TypeError,
            "argument 'points': 'PickleBuffer' object cannot be converted to 'Sequence'",
        ),
        (
            {"x": pickle.PickleBuffer(np.zeros(2)), "y": [0, 0]},
            TypeError,
            "argument 'x': 'PickleBuffer' object cannot be converted to 'Sequence'",
        ),
        (
            {"points": memoryview(np.zeros((2, 2)))},
            NotImplementedError,
            "multi-dimensional sub-views are not implemented",
        ),
    ],
)
def test_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Path2D(**kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_argument_error_keeps_the_cause_of_the_original():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("no float here") from inner

    with pytest.raises(TypeError) as info:
        Path2D(x=[Bad()], y=[1.0])
    assert str(info.value) == "argument 'x': no float here"
    assert isinstance(info.value.__cause__, KeyError)


class Refusal(TypeError):
    """A subclass of TypeError: only TypeError itself is renamed for the argument."""


@pytest.mark.parametrize("error", [OverflowError("too big"), Refusal("refused")])
def test_errors_of_other_types_pass_unchanged(error):
    class Bad:
        def __float__(self):
            raise error

    with pytest.raises(type(error)) as info:
        Path2D(x=[Bad()], y=[1.0])
    assert info.value is error


def test_a_list_that_shrinks_while_its_items_convert_ends_there():
    # as the list's own iterator would: its length is read again at every step
    class Clearing:
        def __float__(self):
            values.clear()
            return 2.0

    values = [1.0, Clearing(), 3.0]
    assert Path2D(x=values, y=[0, 0, 0]).x == [1.0, 2.0]


def test_buffer_fast_path_gives_what_the_generic_path_gives():
    rng = np.random.default_rng(1)
    arr = rng.normal(size=(1000, 2)) * 1e6
    arr[3] = [np.nan, -0.0]
    arr[4] = [np.inf, 5e-324]
    fast = Path2D(points=arr)
    generic = Path2D(points=arr.tolist())
    strided = Path2D(points=np.asfortranarray(arr))  # not C-contiguous: generic path
    assert repr(fast) == repr(generic) == repr(strided)
    x = arr[:, 0].copy()
    assert repr(Path2D(x=x, y=x)) == repr(Path2D(x=x.tolist(), y=x.tolist()))
    assert repr(Path2D(x=arr[:, 0], y=arr[:, 1])) == repr(fast)  # strided columns


@pytest.mark.filterwarnings("ignore:Warning. converting a masked element to nan")
def test_masked_entries_convert_as_iteration_gives_them():
    masked = np.ma.masked_array([[0.0, 1.0], [2.0, 3.0]], mask=[[0, 1], [0, 0]])
    assert same_floats(sum(Path2D(points=masked).points, []), [0.0, NAN, 2.0, 3.0])
    column = np.ma.masked_array([5.0, 6.0], mask=[True, False])
    assert same_floats(Path2D(x=column, y=[0, 0]).x, [NAN, 6.0])


class LengthRaising:
    """A sequence of the given items whose __len__ raises the given exception."""

    def __init__(self, error, items):
        self.error, self.items = error, items

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), ValueError("no len")])
def test_failing_len_only_loses_the_capacity_hint_for_ordinary_errors(error):
    for kwargs in (
        {"points": LengthRaising(error, [[0, 0], [1, 0]])},
        {"x": LengthRaising(error, [0, 1]), "y": [0, 1]},
    ):
        if isinstance(error, Exception):
            assert len(Path2D(**kwargs).points) == 2
        else:
            with pytest.raises(type(error)):
                Path2D(**kwargs)


def test_unequal_coordinates_keep_their_lengths():
    p = Path2D(x=[0, 1, 2], y=[5, 6])
    assert p.points == [[0.0, 5.0], [1.0, 6.0]]
    assert p.x == [0.0, 1.0, 2.0] and p.y == [5.0, 6.0]
    assert len(p.unit_tangent_vector) == 2 and len(p.curvature) == 2


PROPERTIES = [name for name, member in vars(Path2D).items() if isinstance(member, types.GetSetDescriptorType)]


def test_empty_path_properties():
    p = Path2D(points=[])
    assert p.points == [] and p.x == [] and p.length == 0.0
    assert p.points_np.shape == (0, 0)
    assert p.unit_tangent_vector_np.shape == (0, 0)
    assert p.x_np.shape == (0,)
    for name in ("path_length_per_point", "orientation", "unit_tangent_vector", "curvature"):
        assert getattr(p, name) == []
    assert "path_length_per_point: OnceCell([])" in repr(p)


def test_single_point_properties():
    p = Path2D(points=[[1, 2]])
    assert p.path_length_per_point == [0.0]
    assert p.orientation == [0.0]
    assert all(math.isnan(v) for v in p.unit_tangent_vector[0])
    assert math.isnan(p.curvature[0])


def test_two_point_properties():
    p = Path2D(points=[[0, 0], [3, 4]])
    assert p.path_length_per_point == [0.0, 5.0]
    assert p.orientation == [math.atan2(4, 3)] * 2
    assert p.unit_tangent_vector == [[0.6, 0.8], [0.6, 0.8]]
    assert p.curvature == [0.0, 0.0]
    assert p.length == 5.0


def test_curvature_on_a_circle_and_a_line():
    assert Path2D(points=[[0, 0], [1, 2], [2, 4], [3, 6]]).curvature == [0.0] * 4
    r = 2.5
    n = 40
    ccw = [[r * math.cos(2 * math.pi * i / n), r * math.sin(2 * math.pi * i / n)] for i in range(n)]
    k = Path2D(points=ccw).curvature
    assert all(abs(v - 1 / r) < 1e-12 for v in k[2:-2])
    assert abs(k[0] - 1 / r) > 1e-3
    k_cw = Path2D(points=ccw[::-1]).curvature
    assert all(abs(v + 1 / r) < 1e-12 for v in k_cw[2:-2])


def test_degenerate_geometry_flows_into_results():
    p = Path2D(points=[[0, 0], [1, 0], [1, 0]])
    assert p.orientation[-1] == 0.0
    assert p.path_length_per_point == [0.0, 1.0, 1.0]
    u = Path2D(points=[[0, 0], [1, 0], [0, 0]])
    assert all(math.isnan(v) for v in u.unit_tangent_vector[1])
    assert u.orientation[1] == 0.0


def test_length_uses_sqrt_of_sum_of_squares():
    # hypot and sqrt(dx*dx + dy*dy) differ in the last bit for these values
    dx, dy = 1e-160, 1e-160
    p = Path2D(points=[[0, 0], [dx, dy]])
    assert p.length == math.sqrt(dx * dx + dy * dy)


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_return_fresh_copies(name):
    p = Path2D(points=[[0, 0], [1, 1], [3, 1]])
    first, second = getattr(p, name), getattr(p, name)
    if name == "length":
        assert first == second
        return
    assert first is not second
    if isinstance(first, np.ndarray):
        assert first.dtype == np.float64 and first.flags.c_contiguous and first.flags.owndata
        before = first.copy()
        first[...] = 99
        assert np.array_equal(getattr(p, name), before)
    else:
        assert first == second
        first.clear()
        assert getattr(p, name) == second


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(name):
    p = Path2D(points=[[0, 0]])
    with pytest.raises(AttributeError):
        setattr(p, name, [1.0])


def test_arrays_match_lists():
    p = Path2D(points=[[0, 0], [1, 1], [3, 1], [4, 5]])
    for name in (
        "points",
        "x",
        "y",
        "path_length_per_point",
        "orientation",
        "unit_tangent_vector",
        "curvature",
    ):
        assert getattr(p, name + "_np").tolist() == getattr(p, name)
    assert p.points_np.shape == (4, 2)


def test_text_form_shows_filled_caches():
    p = Path2D(points=[[0, 0], [1, 0]])
    assert repr(p) == str(p)
    _ = p.length
    assert repr(p) == (
        "Path2D { path: Path2D { points: [[0.0, 0.0], [1.0, 0.0]], x: [0.0, 1.0], y: [0.0, 0.0], "
        "path_length_per_point: OnceCell([0.0, 1.0]), orientation: OnceCell(<uninit>), "
        "unit_tangent_vector: OnceCell(<uninit>), curvature: OnceCell(<uninit>), associated_values: [] } }"
    )
    _ = p.unit_tangent_vector
    p.add_associated_values([1, 2])
    assert "unit_tangent_vector: OnceCell([[1.0, 0.0], [1.0, 0.0]])" in repr(p)
    assert repr(p).endswith("associated_values: [[1.0, 2.0]] } }")


@pytest.mark.parametrize(
    "value, text",
    [
        (0.1, "0.1"),
        (1e-5, "1e-5"),
        (0.0001, "0.0001"),
        (1e16, "1e16"),
        (2.5e16, "2.5e16"),
        (123456789012345680.0, "1.2345678901234568e17"),
        (-0.0, "-0.0"),
        (0.0, "0.0"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
        (NAN, "NaN"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (1.0, "1.0"),
        (-2.5, "-2.5"),
        (1234567.125, "1234567.125"),
        (9999999999999998.0, "9999999999999998.0"),
        (0.00012345, "0.00012345"),
        (-9.99e-5, "-9.99e-5"),
        (1e100, "1e100"),
        (3.0e-310, "3e-310"),
    ],
)
def test_float_text_form(value, text):
    assert repr(Path2D(x=[value], y=[])) == (
        f"Path2D {{ path: Path2D {{ points: [], x: [{text}], y: [], path_length_per_point: OnceCell(<uninit>), "
        "orientation: OnceCell(<uninit>), unit_tangent_vector: OnceCell(<uninit>), curvature: OnceCell(<uninit>), "
        "associated_values: [] } }"
    )


def test_class_shape():
    assert Path2D.__text_signature__ == "(points=None, x=None, y=None)"
    assert Path2D.__doc__ == (
        "Path2D(points=None, x=None, y=None)\n\nClass storing a 2D path.\n\n"
        ":param points: List of points\n:param x: List of x coordinates\n:param y: List of y coordinates\n\n"
        ":type points: list[list[float]]\n:type x: list[float]\n:type y: list[float]"
    )
    with pytest.raises(TypeError):
        type("Sub", (Path2D,), {})
    p = Path2D(points=[[0, 0]])
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(p)
    with pytest.raises(AttributeError):
        p.new_attribute = 1
    q = Path2D(points=[[0, 0]])
    assert p != q and p == p
    assert hash(p) == hash(p)


STUBS = pathlib.Path(__file__).resolve().parents[2] / "python" / "velmora.pyi"
# Docstrings write a non-literal default by its value, the stubs as "...".
DOC_DEFAULTS = {
    "resampling_type": "InterpolationMethod.Linear",
    "elastic_band_type": "ElasticBandMethod.OrthogonalBounds",
}
DOC_NAMES = {"associated_value_np": "associated_values_np"}  # the docstring's own spelling


def stub_methods():
    tree = ast.parse(STUBS.read_text())
    for cls in tree.body:
        if isinstance(cls, ast.ClassDef) and cls.name in ("Path2D", "ResamplingMethod"):
            for fn in cls.body:
                decorators = {getattr(d, "id", None) for d in getattr(fn, "decorator_list", [])}
                if (
                    isinstance(fn, ast.FunctionDef)
                    and not fn.name.startswith("_")
                    and "property" not in decorators
                ):
                    yield cls.name, fn, "staticmethod" in decorators


def parameter_texts(fn, static, in_doc):
    args = fn.args.args if static else fn.args.args[1:]
    defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
    texts = []
    for a, default in zip(args, defaults):
        if default is None:
            texts.append(a.arg)
        elif default.value is Ellipsis:
            texts.append(f"{a.arg}={DOC_DEFAULTS[a.arg] if in_doc else '...'}")
        else:
            texts.append(f"{a.arg}={default.value!r}")
    return texts


@pytest.mark.parametrize("cls, fn, static", list(stub_methods()), ids=lambda v: getattr(v, "name", ""))
def test_text_signature_and_docstring_header_follow_the_stubs(cls, fn, static):
    method = getattr(getattr(velmora, cls), fn.name)
    receiver = [] if static else ["$self"]
    assert method.__text_signature__ == f"({', '.join(receiver + parameter_texts(fn, static, False))})"
    lines = method.__doc__.split("\n")
    assert lines[:2] == [
        f"{DOC_NAMES.get(fn.name, fn.name)}({', '.join(parameter_texts(fn, static, True))})",
        "",
    ]
    assert lines[2] and lines[-1].startswith(":rtype: ") and any(ln.startswith(":returns: ") for ln in lines)


def test_stubs_name_every_method():
    public = {name for name in dir(Path2D) if not name.startswith("_") and callable(getattr(Path2D, name))}
    assert public == {fn.name for cls, fn, _ in stub_methods() if cls == "Path2D"}


def test_property_values_match_independent_formulas():
    rng = np.random.default_rng(7)
    pts = rng.normal(size=(50, 2))
    p = Path2D(points=pts)
    d = np.diff(pts, axis=0)
    assert np.array_equal(p.path_length_per_point_np[1:], np.cumsum(np.sqrt(d[:, 0] ** 2 + d[:, 1] ** 2)))
    gx, gy = np.gradient(pts[:, 0]), np.gradient(pts[:, 1])
    norm = np.sqrt(gx * gx + gy * gy)
    assert np.allclose(p.unit_tangent_vector_np, np.column_stack([gx / norm, gy / norm]), rtol=0, atol=1e-15)
    gxx, gyy = np.gradient(gx), np.gradient(gy)
    assert np.allclose(p.curvature_np, (gx * gyy - gxx * gy) / (gx * gx + gy * gy) ** 1.5, rtol=1e-12)
    o = [math.atan2(b[1] - a[1], b[0] - a[0]) for a, b in zip(pts[:-2], pts[2:])]
    assert p.orientation[1:-1] == o
