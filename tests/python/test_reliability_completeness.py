"""The reference and memory check (test_reliability_refcounts.py) calls every
function, method, property and constructor of the module: a new one without a
case fails here instead of going unchecked."""

import operator
import re
import types

import velmora
from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

import test_reliability_refcounts as refcounts

CLASSES = [
    Path2D,
    ResamplingMethod,
    ResamplingMethod.ByNumberPoints,
    ResamplingMethod.BySamplingDistance,
    InterpolationMethod,
    ElasticBandMethod,
]
MEMBERS = (types.MethodDescriptorType, types.GetSetDescriptorType, staticmethod)


def entry_points():
    """Constructors by class; methods and properties by name, as classes share their code."""
    names = {"velmora._reconstruct"} | {f"{cls.__name__}.__new__" for cls in CLASSES}
    names |= {f"velmora.{name}" for name in velmora.__all__ if not isinstance(getattr(velmora, name), type)}
    for cls in CLASSES:
        names |= {
            name
            for name, member in vars(cls).items()
            if isinstance(member, MEMBERS) and (not name.startswith("_") or name == "__reduce__")
        }
    return names


def reached(fn):
    """What one case's callable calls, in the terms of entry_points()."""
    if isinstance(fn, type):
        return {f"{fn.__name__}.__new__"}
    if isinstance(fn, (operator.attrgetter, operator.methodcaller)):
        return set(re.findall(r"'([^']+)'", repr(fn)))
    if getattr(fn, "__module__", None) == "velmora":
        return {f"velmora.{fn.__name__}"}
    return {fn.__name__}


def test_every_entry_point_has_a_reference_and_memory_case():
    covered = set().union(*(reached(case.values[0]) for case in refcounts.CASES))
    assert entry_points() - covered == set()
