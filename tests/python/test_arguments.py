"""Argument binding and conversion of every method and constructor.

The binding cases are generated from the signatures the module publishes
(inspect reads the text signatures that the method table writes), so a new
method or parameter is covered without a new row. The wording is pinned by a
few literal messages, and each kind of conversion by one table."""

import inspect
import json

import numpy as np
import pytest

import velmora
from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

RM = ResamplingMethod
# A valid value for every parameter; (callable, parameter) where a name means two things.
VALID = {
    "points": [[0.0, 0.0], [1.0, 0.5]],
    "x": None,
    "y": None,
    "values": [1.0, 2.0, 3.0],
    "handle": 0,
    "max_rmse": 0.15,
    "resampling_method": RM.by_number_points(4),
    "resampling_type": InterpolationMethod.Cubic,
    "epsilon": 0.05,
    "max_deviation": 0.1,
    "num_iterations": 1,
    "point": [1.5, 0.2],
    "sus_angle": 1.0,
    "number_points": 3,
    "sampling_distance": 0.5,
    "drop_last": False,
    "elastic_band_type": ElasticBandMethod.SquareBounds,
    ("find_circle_segments", "start"): 0,
    ("find_circle_segments", "end"): 3,
    ("sub_path", "start"): [0.5, 0.1],
    ("sub_path", "end"): None,
    "time": [0.0, 1.0, 2.5],
    "distance": [0.0, 1.5, 2.0],
    "noise": [0.5, 0.5, 1.0],
    "acceleration_density": 0.5,
    "monotone": False,
}


def receiver():
    """Three points, a column and one filled cache: a call that fails must leave all of it."""
    path = Path2D(points=[[0.0, 0.0], [1.0, 0.4], [2.0, 0.0]])
    path.add_associated_values([1.0, 2.0, 3.0])
    path.curvature
    return path


def callables():
    """(label, name, a getter of the callable) of every method, static method, constructor and
    module function."""
    methods = [n for n in dir(Path2D) if callable(getattr(Path2D, n)) and not n.startswith("_")]
    for name in methods + ["__reduce__"]:
        yield f"Path2D.{name}()", name, lambda name=name: getattr(receiver(), name)
    for cls in [Path2D] + [member for member in vars(RM).values() if isinstance(member, type)]:
        yield f"{cls.__name__}.__new__()", "__new__", lambda cls=cls: cls
    for name in [name for name, member in vars(RM).items() if isinstance(member, staticmethod)]:
        yield f"ResamplingMethod.{name}()", name, lambda name=name: getattr(RM, name)
    for name in [name for name in velmora.__all__ if not isinstance(getattr(velmora, name), type)]:
        yield f"{name}()", name, lambda name=name: getattr(velmora, name)


CALLABLES = list(callables())


def valid(name, param):
    return VALID.get((name, param), VALID.get(param))


def binding_cases(name, params):
    names = list(params)
    required = [p for p in names if params[p].default is inspect.Parameter.empty]
    takes = f"{len(names)}" if len(required) == len(names) else f"from {len(required)} to {len(names)}"
    given = len(names) + 1
    args = [valid(name, p) for p in names] + [None]
    yield args, {}, f"takes {takes} positional arguments but {given} {'was' if given == 1 else 'were'} given"
    yield [], {"bogus": 1}, "got an unexpected keyword argument 'bogus'"
    if names:
        yield (
            [valid(name, names[0])],
            {names[0]: valid(name, names[0])},
            f"got multiple values for argument '{names[0]}'",
        )
    if required:
        quoted = [f"'{p}'" for p in required]
        # the interpreter's own wording: 'a' and 'b'; 'a', 'b', and 'c'
        listed = (
            quoted[0]
            if len(quoted) == 1
            else ", ".join(quoted[:-1]) + "," * (len(quoted) > 2) + " and " + quoted[-1]
        )
        plural = "" if len(required) == 1 else "s"
        yield [], {}, f"missing {len(required)} required positional argument{plural}: {listed}"


def parameters(get):
    params = dict(inspect.signature(get()).parameters)
    params.pop("self", None)
    return params


@pytest.mark.parametrize("label, name, get", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_binding_errors_follow_the_signature(label, name, get):
    for args, kwargs, message in binding_cases(name, parameters(get)):
        with pytest.raises(TypeError) as info:
            get()(*args, **kwargs)
        assert str(info.value) == f"{label} {message}"


@pytest.mark.parametrize("label, name, get", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_each_argument_converts_or_fails_under_its_name_leaving_the_receiver(label, name, get):
    params = parameters(get)
    for bad in params:
        fn = get()
        before = repr(getattr(fn, "__self__", None))
        with pytest.raises(TypeError, match=f"^argument '{bad}': ") as info:
            fn(**{p: object() if p == bad else valid(name, p) for p in params})
        assert type(info.value) is TypeError
        assert repr(getattr(fn, "__self__", None)) == before
    if params:  # conversion runs in parameter order
        with pytest.raises(TypeError, match=f"^argument '{next(iter(params))}': "):
            get()(**{p: object() for p in params})


@pytest.mark.parametrize("label, name, get", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_keywords_bind_by_their_text_in_any_order(label, name, get):
    # json.loads makes names that are not interned: the binder must compare text then
    params = parameters(get)
    values = [valid(name, p) for p in params]
    loaded = json.loads(json.dumps(list(params)))
    assert all(a == b and a is not b for a, b in zip(loaded, params))
    expected = get()(*values)
    got = get()(**dict(zip(reversed(loaded), reversed(values))))
    assert got == expected if isinstance(got, RM) else repr(got) == repr(expected)


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def number_likes(value):
    """Objects that convert to value as a float (value a float) or as an index (an int)."""
    whole = float(value).is_integer()
    if isinstance(value, float):
        ints = [int(value), np.int32(value), IndexLike(int(value))] if whole else []
        return [np.float64(value), FloatLike(value)] + ints
    return [np.int64(value), np.uint8(value), IndexLike(value)] + ([True] if value == 1 else [])


@pytest.mark.parametrize("label, name, get", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_number_likes_convert_as_their_value(label, name, get):
    values = {p: valid(name, p) for p in parameters(get)}
    expected = get()(**values)
    for param, value in values.items():
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            for like in number_likes(value):
                got = get()(**{**values, param: like})
                assert got == expected if isinstance(got, RM) else repr(got) == repr(expected), (param, like)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.__reduce__(1), "Path2D.__reduce__() takes 0 positional arguments but 1 was given"),
        (
            lambda p: Path2D(1, 2, 3, 4),
            "Path2D.__new__() takes from 0 to 3 positional arguments but 4 were given",
        ),
        (
            lambda p: p.find_circle_segments(),
            "Path2D.find_circle_segments() missing 2 required positional arguments: 'start' and 'end'",
        ),
        (
            lambda p: RM.BySamplingDistance(0.5),
            "ResamplingMethod_BySamplingDistance.__new__() missing 1 required "
            "positional argument: 'drop_last'",
        ),
        (
            lambda p: p.sub_path(**{"\ud800": 1}),
            "Path2D.sub_path() got an unexpected keyword argument '\ud800'",
        ),
        (lambda p: p.sub_path(**{"a\0b": 1}), "Path2D.sub_path() got an unexpected keyword argument 'a\0b'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call(receiver())
    assert str(info.value) == message


# One row per kind of conversion; None: the message is the interpreter's own.
@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda p: p.smoothed_path_chaikin(-1), OverflowError, None),
        (lambda p: p.smoothed_path_chaikin(2**64), OverflowError, None),
        (
            lambda p: p.associated_values(0.0),
            TypeError,
            "argument 'handle': 'float' object cannot be interpreted as an integer",
        ),
        (lambda p: p.index_from_point([0, 0, 0]), ValueError, "expected a sequence of length 2 (got 3)"),
        (lambda p: p.sub_path(end=[1]), ValueError, "expected a sequence of length 2 (got 1)"),
        (lambda p: p.index_from_point(np.zeros(3)), ValueError, "expected a sequence of length 2 (got 3)"),
        (
            lambda p: p.index_from_point(5),
            TypeError,
            "argument 'point': 'int' object cannot be converted to 'Sequence'",
        ),
        (lambda p: p.index_from_point(["a", 0]), TypeError, "argument 'point': must be real number, not str"),
        (
            lambda p: p.resampled_path(RM.by_number_points(2), None),
            TypeError,
            "argument 'resampling_type': 'NoneType' object cannot be converted to 'InterpolationMethod'",
        ),
        (
            lambda p: p.smoothed_path_elastic_band(0.1, InterpolationMethod.Linear),
            TypeError,
            "argument 'elastic_band_type': 'InterpolationMethod' object cannot be converted to 'ElasticBandMethod'",
        ),
        (
            lambda p: p.resampled_path(4),
            TypeError,
            "argument 'resampling_method': 'int' object cannot be converted to 'ResamplingMethod'",
        ),
        (
            lambda p: RM.by_sampling_distance(1.0, 1),
            TypeError,
            "argument 'drop_last': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda p: p.add_associated_values("abc"),
            TypeError,
            "argument 'values': Can't extract `str` to `Vec`",
        ),
        (
            lambda p: p.add_associated_values([1, "x", 3]),
            TypeError,
            "argument 'values': must be real number, not str",
        ),
    ],
)
def test_conversion_errors(call, exc, message):
    path = receiver()
    before = repr(path)
    with pytest.raises(exc) as info:
        call(path)
    assert type(info.value) is exc
    assert message is None or str(info.value) == message
    assert repr(path) == before
