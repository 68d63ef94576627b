"""Pickling and copying: paths, resampling methods and enumeration members
cross process boundaries exactly, and a damaged pickle fails as an ordinary
exception."""

import concurrent.futures
import copy
import math
import multiprocessing
import pickle
import struct

import pytest

import velmora
from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_1234))[0]
WILD = [NAN_PAYLOAD, -0.0, math.inf, -math.inf, 5e-324, 1e308]


def with_columns(path, *columns):
    for column in columns:
        path.add_associated_values(column)
    return path


PATHS = {
    "empty": lambda: Path2D(points=[]),
    "one-point": lambda: with_columns(Path2D(points=[[1.5, -0.0]]), [NAN_PAYLOAD]),
    "wild": lambda: with_columns(Path2D(x=WILD, y=WILD[::-1]), WILD, [1.0] * 6, WILD[::-1]),
    "uneven": lambda: with_columns(Path2D(x=[0.0, 1.0, 2.0, NAN_PAYLOAD], y=[5.0, -0.0]), [7.0, 8.0]),
    "after-cache": lambda: Path2D(points=[[0, 0], [3, 4], [6, 0]]),
}

COPIES = {
    **{
        f"protocol-{p}": (lambda obj, p=p: pickle.loads(pickle.dumps(obj, protocol=p)))
        for p in range(pickle.HIGHEST_PROTOCOL + 1)
    },
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def bits(values):
    return [struct.pack("<d", v) for v in values]


def columns_of(path):
    columns = []
    while (column := path.associated_values(len(columns))) is not None:
        columns.append(bits(column))
    return columns


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("name", PATHS)
def test_path_round_trips_exactly(name, how):
    source = PATHS[name]()
    source.curvature  # a filled cache does not change what is copied
    clone = COPIES[how](source)
    assert type(clone) is Path2D and clone is not source
    for attribute in ("x", "y"):
        assert bits(getattr(clone, attribute)) == bits(getattr(source, attribute))
    assert [bits(p) for p in clone.points] == [bits(p) for p in source.points]
    before = columns_of(source)
    assert columns_of(clone) == before
    # the next handle continues, and the copy is independent of its source
    assert clone.add_associated_values([0.25] * len(clone.points)) == len(before)
    assert columns_of(source) == before


ENUM_MEMBERS = [
    InterpolationMethod.Cubic,
    InterpolationMethod.Linear,
    ElasticBandMethod.SquareBounds,
    ElasticBandMethod.OrthogonalBounds,
]
VARIANTS = [
    ResamplingMethod.by_number_points(0),
    ResamplingMethod.by_number_points(2**64 - 1),
    ResamplingMethod.by_sampling_distance(-0.0),
    ResamplingMethod.by_sampling_distance(NAN_PAYLOAD, False),
]


@pytest.mark.parametrize("how", COPIES)
def test_enumerations_and_variants_round_trip(how):
    for member in ENUM_MEMBERS:
        assert COPIES[how](member) is member
    for variant in VARIANTS:
        clone = COPIES[how](variant)
        assert type(clone) is type(variant) and clone is not variant
        fields = type(variant).__match_args__
        assert [
            bits([getattr(clone, f)]) if f == "sampling_distance" else getattr(clone, f) for f in fields
        ] == [
            bits([getattr(variant, f)]) if f == "sampling_distance" else getattr(variant, f) for f in fields
        ]


def reconstruct_arguments():
    helper, args = with_columns(Path2D(x=[0.0, 1.0], y=[2.0, 3.0]), [4.0, 5.0]).__reduce__()
    assert helper is velmora._reconstruct
    return args


PATH_ARGS = reconstruct_arguments()
CORRUPTIONS = [
    (),
    ("Path2D",),
    PATH_ARGS[:-1],
    PATH_ARGS + (b"",),
    ("Nothing",) + PATH_ARGS[1:],
    (b"Path2D",) + PATH_ARGS[1:],
    ("Path2D", PATH_ARGS[1][:-1]) + PATH_ARGS[2:],
    ("Path2D", list(PATH_ARGS[1])) + PATH_ARGS[2:],
    ("Path2D", None) + PATH_ARGS[2:],
    ("Path2D", b"\0" * 9, b"\0" * 8, ()),
    PATH_ARGS[:3] + ([b"\0" * 16],),
    PATH_ARGS[:3] + ((b"\0" * 8,),),
    PATH_ARGS[:3] + ((b"\0" * 24,),),
    PATH_ARGS[:3] + ((b"\0" * 16, None),),
    PATH_ARGS[:3] + (None,),
    ("InterpolationMethod", 2),
    ("ElasticBandMethod", -1),
    ("InterpolationMethod", "Linear"),
    ("InterpolationMethod", 2**80),
    ("InterpolationMethod",),
    ("ResamplingMethod_ByNumberPoints", -1),
    ("ResamplingMethod_ByNumberPoints", 1.5),
    ("ResamplingMethod_BySamplingDistance", 1.0),
    ("ResamplingMethod_BySamplingDistance", b"\0" * 8, 1),
    ("ResamplingMethod_BySamplingDistance", b"\0" * 16, True),
    ("ResamplingMethod_BySamplingDistance", 1.0, True),
    ("PanicException", "not a tuple"),
    ("PanicException",),
]


@pytest.mark.parametrize("args", CORRUPTIONS, ids=range(len(CORRUPTIONS)))
def test_corrupted_reconstruct_arguments_raise_ordinary_errors(args):
    with pytest.raises(Exception):
        velmora._reconstruct(*args)


def test_truncated_pickles_raise_ordinary_errors():
    for obj in (PATHS["wild"](), InterpolationMethod.Linear, VARIANTS[3]):
        data = pickle.dumps(obj)
        for end in range(len(data)):
            with pytest.raises(Exception):
                pickle.loads(data[:end])


def raise_panic(_):
    Path2D(points=[[0, 0], [1, 0]]).resampled_path(ResamplingMethod.by_number_points(0))


def return_panic(_):
    try:
        raise_panic(None)
    except BaseException as e:  # noqa: BLE001 - the exception is the result
        return e


def local_panic():
    return return_panic(None)


def test_internal_error_pickles_as_itself():
    error = local_panic()
    error.note = "kept"
    clone = pickle.loads(pickle.dumps(error))
    assert type(clone) is type(error) and clone.args == error.args and clone.note == "kept"
    assert type(clone).__bases__ == (BaseException,)
    assert (type(clone).__module__, type(clone).__qualname__) == ("pyo3_runtime", "PanicException")


def test_internal_error_crosses_worker_processes():
    expected = local_panic()
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        with pytest.raises(BaseException) as info:
            pool.submit(raise_panic, None).result(timeout=60)
    assert type(info.value) is type(expected) and info.value.args == expected.args
    # multiprocessing.Pool: a task returning the exception sends it back
    with context.Pool(1) as pool:
        returned = pool.apply_async(return_panic, (None,)).get(timeout=60)
    assert type(returned) is type(expected) and returned.args == expected.args
