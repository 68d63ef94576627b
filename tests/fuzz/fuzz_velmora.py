"""Fuzz target for velmora's argument binder and its sequence, point, number
and enumeration conversions.

Each input builds a receiver path and one action: a constructor call, a
method call with a random mix of positional and keyword arguments, property
reads, enumeration calls and comparisons, or protocol probes (copy, pickle,
weakref). Argument values are drawn from nested lists and tuples, NumPy
arrays of many dtypes and layouts, buffers, strings, and objects whose
__len__, __getitem__, __iter__, __float__ and __index__ misbehave, mutate the
sequence being converted, or call back into the path being converted for.

A finding is any exception outside the documented set, an internal-error
message outside the documented ones, a SystemError, a path whose points
changed or whose borrow was not released; the process dying by a signal is
found by the runner (run_fuzz.py).

Engines: atheris (coverage-guided mutation of the choice bytes) when it is
installed, else a seeded random driver. Reproduce a random-engine finding
with `python fuzz_velmora.py --engine random --replay SEED`, an atheris one by
passing the crash file: `python fuzz_velmora.py --engine atheris CRASH_FILE`.
"""

import argparse
import array
import copy
import gc
import inspect
import json
import math
import os
import pickle
import random
import re
import sys
import time
import types
import weakref

import numpy as np

import velmora
from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from internal_error import panic_type  # noqa: E402 - the Python suite's helper

RM, IM, EB = ResamplingMethod, InterpolationMethod, ElasticBandMethod


class FuzzError(Exception):
    """Raised on purpose by the odd objects below."""


Panic = panic_type()
PANIC_MESSAGES = [
    re.compile(r"index out of bounds: the len is \d+ but the index is \d+"),
    re.compile(r"called `Option::unwrap\(\)` on a `None` value"),
    re.compile(r"slice index starts at \d+ but ends at \d+"),
    re.compile(r"range end index \d+ out of range for slice of length \d+"),
]
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}
# IndexError and FuzzError come from the odd objects themselves,
# NotImplementedError from indexing a two-dimensional memoryview.
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, IndexError, FuzzError, NotImplementedError)


def parameter_names(fn):
    return [name for name in inspect.signature(fn).parameters if name != "self"]


# Every method, property and resampling constructor as the module publishes
# them, so that a new one is fuzzed without a change here.
METHODS = {
    name: parameter_names(member)
    for name, member in vars(Path2D).items()
    if isinstance(member, types.MethodDescriptorType) and not name.startswith("_")
}
PROPERTIES = [name for name, member in vars(Path2D).items() if isinstance(member, types.GetSetDescriptorType)]
RESAMPLING_MAKERS = {
    name: parameter_names(getattr(RM, name))
    for name, member in vars(RM).items()
    if isinstance(member, staticmethod)
}
RESAMPLING_MAKERS.update(
    {name: parameter_names(member) for name, member in vars(RM).items() if isinstance(member, type)}
)
JUNK_NAMES = ["z", "", "self", "points ", "\u00e9", "x" * 300, "\ud800"]

# Numbers: mid-sized counts (9 .. 2**30) are left out on purpose, so that no
# input asks for a result that fits in memory but takes gigabytes.
SPECIAL_FLOATS = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    1e300,
    -1e300,
    1.7976931348623157e308,
    5e-324,
    1e-300,
    2.8,
    0.15,
    0.01,
]
SPECIAL_INTS = [
    0,
    1,
    2,
    3,
    4,
    5,
    8,
    -1,
    -(2**63),
    2**31,
    2**32,
    2**40,
    2**62,
    2**63 - 1,
    2**63,
    2**64 - 1,
    2**64,
    2**100,
    -(2**100),
]


# --------------------------------------------------------------------------
# Sources of choices


class RandomSource:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def below(self, n):
        return self.rng.randrange(n) if n > 0 else 0

    def boolean(self):
        return self.rng.random() < 0.5

    def uniform(self, lo, hi):
        return self.rng.uniform(lo, hi)

    def text(self, n):
        return "".join(
            chr(self.rng.choice([0x61, 0x62, 0x30, 0xE9, 0x20, 0xD800, 0x1F600])) for _ in range(n)
        )


class AtherisSource:
    def __init__(self, data):
        import atheris

        self.fdp = atheris.FuzzedDataProvider(data)

    def below(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1) if n > 1 else 0

    def boolean(self):
        return self.fdp.ConsumeBool()

    def uniform(self, lo, hi):
        return self.fdp.ConsumeFloatInRange(lo, hi)

    def text(self, n):
        return self.fdp.ConsumeUnicode(n)


def pick(src, seq):
    return seq[src.below(len(seq))]


# --------------------------------------------------------------------------
# Values


def number(src):
    k = src.below(6)
    if k < 3:
        return pick(src, SPECIAL_FLOATS)
    if k == 3:
        return pick(src, SPECIAL_INTS)
    value = src.uniform(0.01, 100.0)
    return -value if src.boolean() else value


def count(src):
    return pick(src, SPECIAL_INTS) if src.below(3) == 0 else src.below(9)


class Context:
    """What the odd objects may reach: the receiver, and a log of the call."""

    receiver = None


class OddNumber:
    """__float__ / __index__ that return, fail, return the wrong type, or call
    back into the receiver while it is borrowed."""

    def __init__(self, src):
        self.mode = src.below(9)
        self.value = number(src)
        self.index = pick(src, SPECIAL_INTS)

    def _act(self):
        mode = self.mode
        if mode == 1:
            raise FuzzError("conversion refused")
        if mode == 2:
            error = TypeError("typed refusal")
            error.__cause__ = FuzzError("cause")
            raise error
        if mode == 3 and Context.receiver is not None:
            Context.receiver.add_associated_values([0.0] * len(Context.receiver.points))
        if mode == 4 and Context.receiver is not None:
            Context.receiver.points  # noqa: B018 - a shared borrow inside a conversion
            repr(Context.receiver)
        if mode == 5:
            gc.collect()
        if mode == 6 and Context.receiver is not None:
            try:
                Context.receiver.add_associated_values([])
            except (RuntimeError, TypeError):
                pass

    def __float__(self):
        self._act()
        if self.mode == 7:
            return "not a float"
        if self.mode == 8:
            return FloatSub(self.value)
        return float(self.value) if isinstance(self.value, float) else float(self.value % 7)

    def __index__(self):
        self._act()
        if self.mode == 7:
            return 1.5
        return self.index

    def __repr__(self):
        return f"OddNumber(mode={self.mode}, value={self.value!r}, index={self.index!r})"


class FloatSub(float):
    pass


class IntSub(int):
    pass


class OddSequence:
    """__len__ and __getitem__ that lie, fail or mutate."""

    def __init__(self, src, depth):
        self.items = [value(src, depth + 1) for _ in range(src.below(4))]
        self.length = pick(src, [None, None, -1, 2**62, 2**70, "two", 0, 5])
        self.fail_at = src.below(6)
        self.mode = src.below(4)

    def __len__(self):
        if self.length is None:
            return len(self.items)
        if self.length == "two":
            return "two"
        return self.length

    def __getitem__(self, i):
        if isinstance(i, slice):
            return self.items[i]
        if i >= self.fail_at:
            if self.mode == 0:
                raise FuzzError("item refused")
            if self.mode == 1:
                self.items.clear()
        return self.items[i]

    def __repr__(self):
        return f"OddSequence(items={self.items!r}, len={self.length!r}, fail_at={self.fail_at})"


class OddIterable(list):
    """A list subclass: the conversion must use its own __iter__ and __len__."""

    def __init__(self, items, mode):
        super().__init__(items)
        self.mode = mode

    def __iter__(self):
        for i, item in enumerate(list.__iter__(self)):
            if self.mode == 1 and i == 1:
                raise FuzzError("iteration refused")
            if self.mode == 2:
                self.append(item) if i < 3 else None
            if self.mode == 3:
                del self[:]
            yield item

    def __len__(self):
        return 10**6 if self.mode == 4 else list.__len__(self)


class MutatingPoint:
    """A point item whose conversion shrinks the list that holds it."""

    def __init__(self, holder):
        self.holder = holder

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i > 1:
            raise IndexError(i)
        self.holder.clear()
        return 1.0


def numpy_value(src):
    n = src.below(6)
    kind = src.below(13)
    if kind == 12:
        data = np.array([number(src) for _ in range(2 * n)], dtype=np.float64)
        view = np.frombuffer(b"\0" + data.tobytes(), offset=1)
        return view.reshape(n, 2) if src.boolean() else view
    base = np.array([[number(src), number(src)] for _ in range(n)], dtype=np.float64).reshape(n, 2)
    if kind == 0:
        return base
    if kind == 1:
        return base[:, 0].copy()
    if kind == 2:
        return np.asfortranarray(base)
    if kind == 3:
        with np.errstate(over="ignore"):
            return base.astype(np.float32)
    if kind == 4:
        return base.astype(">f8")
    if kind == 5:
        return np.zeros((n, 3))
    if kind == 6:
        return np.array(number(src))  # zero-dimensional
    if kind == 7:
        return np.array([OddNumber(src) for _ in range(n)], dtype=object)
    if kind == 8:
        return np.lib.stride_tricks.as_strided(np.zeros(2), shape=(n, 2), strides=(0, 8))
    if kind == 9:
        view = base.copy()
        view.setflags(write=False)
        return view
    if kind == 10:
        return np.zeros((2, 2, 2))
    return np.array([True, False][: n % 3], dtype=bool)


def value(src, depth=0):
    kinds = 22 if depth < 3 else 6
    k = src.below(kinds)
    if k == 0:
        return number(src)
    if k == 1:
        return count(src)
    if k == 2:
        return pick(src, [None, True, False, 1j, "", "ab", b"xy", bytearray(b"ab"), object()])
    if k == 3:
        return src.text(src.below(4))
    if k == 4:
        return OddNumber(src)
    if k == 5:
        return pick(
            src,
            [
                np.float64(math.nan),
                np.int64(-3),
                np.uint8(7),
                np.bool_(True),
                np.float32(0.5),
                FloatSub(2.5),
                IntSub(3),
            ],
        )
    if k in (6, 7, 8):
        return [number(src), number(src)] if k != 8 else (number(src), OddNumber(src))
    if k in (9, 10):
        return [point_like(src, depth + 1) for _ in range(src.below(6))]
    if k == 11:
        items = [value(src, depth + 1) for _ in range(src.below(4))]
        return tuple(items) if src.boolean() else items
    if k == 12:
        return numpy_value(src)
    if k == 13:
        data = [number(src) for _ in range(1 + src.below(6))]
        if src.boolean():
            return array.array("d", [float(v) for v in data])
        return memoryview(np.array(data + data, dtype=np.float64).tobytes()).cast("d", [len(data), 2])
    if k == 14:
        return OddSequence(src, depth)
    if k == 15:
        return OddIterable([point_like(src, depth + 1) for _ in range(src.below(4))], src.below(5))
    if k == 16:
        holder = [[0.0, 0.0]]
        holder.append(MutatingPoint(holder))
        holder.append([1.0, 1.0])
        return holder
    if k == 17:
        return enum_value(src)
    if k == 18:
        return pick(src, [RM, RM.ByNumberPoints, RM.BySamplingDistance, IM, EB, Path2D])
    if k == 19:
        return Context.receiver if Context.receiver is not None else Path2D(points=[])
    if k == 20:
        return pick(src, [{0: 1}, {1.0, 2.0}, range(3), iter([1.0, 2.0]), (x for x in [1.0])])
    return [[number(src), number(src)] for _ in range(src.below(40))]


def point_like(src, depth):
    k = src.below(8)
    if k < 4:
        return [number(src), number(src)]
    if k == 4:
        return (number(src), number(src))
    if k == 5:
        return np.array([number(src), number(src)])
    return value(src, depth)


def enum_value(src):
    k = src.below(8)
    if k == 0:
        return RM.by_number_points(count(src) % 9)
    if k == 1:
        return RM.by_sampling_distance(abs(number(src)) if src.boolean() else number(src), src.boolean())
    if k == 2:
        return RM.ByNumberPoints(src.below(9))
    if k in (3, 4):
        return pick(src, [IM.Cubic, IM.Linear])
    return pick(src, [EB.SquareBounds, EB.OrthogonalBounds])


def receiver(src):
    n = src.below(41)
    points = [[number(src), number(src)] for _ in range(n)]
    if src.below(5) == 0:
        path = Path2D(x=[p[0] for p in points], y=[p[1] for p in points][: n - src.below(3)])
    else:
        path = Path2D(points=points)
    m = len(path.points)
    for _ in range(src.below(3)):
        path.add_associated_values([number(src) for _ in range(m)])
    return path


PARAM_KINDS = {
    "max_rmse": "float",
    "epsilon": "float",
    "max_deviation": "float",
    "sus_angle": "float",
    "sampling_distance": "float",
    "start": "index-or-point",
    "end": "index-or-point",
    "num_iterations": "count",
    "handle": "count",
    "number_points": "count",
    "point": "point",
    "resampling_method": "enum",
    "resampling_type": "enum",
    "elastic_band_type": "enum",
    "drop_last": "bool",
    "values": "column",
    "points": "points",
    "x": "column",
    "y": "column",
}


def plausible(src, name):
    """Mostly a value of the parameter's own kind, so calls get past the first
    conversion; sometimes anything at all."""
    kind = PARAM_KINDS.get(name)
    if kind is None or src.below(3) == 0:
        return value(src)
    if kind == "float":
        return number(src) if src.below(4) else OddNumber(src)
    if kind == "count":
        return count(src) if src.below(4) else OddNumber(src)
    if kind == "index-or-point":
        return count(src) if src.boolean() else point_like(src, 1)
    if kind == "point":
        return point_like(src, 1)
    if kind == "enum":
        return enum_value(src)
    if kind == "bool":
        return pick(src, [True, False, np.bool_(True), 1, None])
    n = len(Context.receiver.points) if Context.receiver is not None else 0
    if kind == "column":
        if src.below(3) == 0:
            return value(src, 1)
        column = [number(src) for _ in range(n if src.below(4) else src.below(n + 2))]
        return pick(src, [column, tuple(column), np.array(column, dtype=float)])
    return [point_like(src, 1) for _ in range(src.below(8))]


def arguments(src, names):
    """Positional arguments, then keywords: mostly the remaining parameters,
    sometimes one too many, a repeated or an unknown name."""
    npos = src.below(len(names) + 2) if src.below(6) == 0 else src.below(len(names) + 1)
    args = [plausible(src, names[i]) if i < len(names) else value(src) for i in range(npos)]
    kwargs = {}
    for name in names[npos:]:
        if src.below(3):
            kwargs[name] = plausible(src, name)
    if src.below(6) == 0:
        name = pick(src, names + JUNK_NAMES) if names else pick(src, JUNK_NAMES)
        kwargs[name] = plausible(src, name)
    return args, kwargs


# --------------------------------------------------------------------------
# Actions


def action(src, path):
    """Returns (description, callable)."""
    k = src.below(12)
    if k < 5:
        name = pick(src, sorted(METHODS))
        args, kwargs = arguments(src, METHODS[name])
        return (f"path.{name}", args, kwargs), lambda: getattr(path, name)(*args, **kwargs)
    if k == 5:
        args, kwargs = arguments(src, ["points", "x", "y"])
        return ("Path2D", args, kwargs), lambda: Path2D(*args, **kwargs)
    if k == 6:
        names = [pick(src, PROPERTIES) for _ in range(3)]
        return (f"properties {names}", [], {}), lambda: (
            [getattr(path, n) for n in names],
            repr(path),
            str(path),
        )
    if k == 7:
        target = pick(src, sorted(RESAMPLING_MAKERS))
        names = RESAMPLING_MAKERS[target]
        args, kwargs = arguments(src, names)

        def call():
            made = getattr(RM, target)(*args, **kwargs)
            fields = [getattr(made, f, None) for f in made.__match_args__]
            return made == made, made != 1, fields

        return (f"ResamplingMethod.{target}", args, kwargs), call
    if k == 8:
        left = enum_value(src)
        right = value(src)
        op = pick(src, ["==", "!=", "<", ">=", "int", "repr", "hash", "bool"])
        ops = {
            "==": lambda: left == right,
            "!=": lambda: left != right,
            "<": lambda: left < right,
            ">=": lambda: right >= left,
            "int": lambda: int(left),
            "repr": lambda: repr(left),
            "hash": lambda: hash(left),
            "bool": lambda: bool(left),
        }
        return (f"enum {op}", [left, right], {}), ops[op]
    if k == 9:
        name = pick(src, sorted(METHODS))
        args, kwargs = arguments(src, METHODS[name])
        other = value(src)
        return (f"Path2D.{name} unbound", [other, *args], kwargs), (
            lambda: getattr(Path2D, name)(other, *args, **kwargs)
        )
    if k == 10:
        cls = pick(src, [RM, RM.ByNumberPoints, RM.BySamplingDistance, IM, EB, Path2D])
        other = pick(src, [RM, RM.ByNumberPoints, RM.BySamplingDistance, IM, EB, Path2D, object])
        args, kwargs = arguments(src, ["number_points", "sampling_distance", "drop_last"])
        return (f"{cls.__name__}.__new__({other.__name__})", args, kwargs), (
            lambda: cls.__new__(other, *args, **kwargs)
        )
    probe = pick(src, ["copy", "deepcopy", "pickle", "weakref", "setattr", "delattr", "dir", "swap-class"])
    target = pick(src, [path, enum_value(src)])
    new_class = pick(src, [RM, RM.ByNumberPoints, RM.BySamplingDistance, IM, EB, Path2D])

    def swap_class():
        target.__class__ = new_class
        return [
            getattr(target, name)
            for name in ("number_points", "sampling_distance", "drop_last")
            if hasattr(type(target), name)
        ]

    probes = {
        "copy": lambda: copy.copy(target),
        "deepcopy": lambda: copy.deepcopy(target),
        "pickle": lambda: pickle.dumps(target),
        "weakref": lambda: weakref.ref(target),
        "setattr": lambda: setattr(target, pick(src, PROPERTIES + ["number_points", "z"]), 1.0),
        "delattr": lambda: delattr(target, pick(src, PROPERTIES + ["drop_last"])),
        "dir": lambda: dir(target),
        "swap-class": swap_class,
    }
    return (f"probe {probe}", [target], {}), probes[probe]


def describe(desc):
    name, args, kwargs = desc
    text = f"{name}(*{args!r}, **{kwargs!r})"
    return text if len(text) < 2000 else text[:2000] + "..."


def same_points(a, b):
    return len(a) == len(b) and all(
        (u == v or (math.isnan(u) and math.isnan(v))) for p, q in zip(a, b) for u, v in zip(p, q)
    )


class Stats:
    def __init__(self):
        self.inputs = 0
        self.calls = 0
        self.outcomes = {}
        self.findings = []

    def count(self, key):
        self.outcomes[key] = self.outcomes.get(key, 0) + 1

    def as_dict(self):
        return {
            "inputs": self.inputs,
            "calls": self.calls,
            "outcomes": self.outcomes,
            "findings": self.findings,
        }


STATS = Stats()


def run_one(src):
    """One input: a receiver and one action, checked. Returns a finding or None."""
    STATS.inputs += 1
    path = receiver(src)
    Context.receiver = path
    points_before = path.points
    desc, call = action(src, path)
    STATS.calls += 1
    finding = None
    try:
        call()
        STATS.count("returned")
    except Panic as error:
        message = str(error.args[0]) if error.args else ""
        STATS.count("PanicException")
        if not any(p.fullmatch(message) for p in PANIC_MESSAGES):
            finding = f"undocumented internal error {message!r}"
    except SystemError as error:
        finding = f"SystemError {error}"
    except UnicodeEncodeError as error:
        finding = f"UnicodeEncodeError {error}"
    except RuntimeError as error:
        STATS.count(type(error).__name__)
        if not isinstance(error, NotImplementedError) and (
            type(error) is not RuntimeError or str(error) not in BORROW_MESSAGES
        ):
            finding = f"{type(error).__name__} {error}"
    except AttributeError as error:
        STATS.count("AttributeError")
        if not desc[0].startswith(("probe set", "probe del", "probe swap")):
            finding = f"AttributeError {error}"
    except ALLOWED as error:
        STATS.count(type(error).__name__)
    except BaseException as error:  # noqa: BLE001 - anything else is a finding
        finding = f"{type(error).__name__} {error}"
    Context.receiver = None

    if finding is None:
        try:
            if not same_points(path.points, points_before):
                finding = "the receiver's points changed"
            elif path.add_associated_values([0.0] * len(points_before)) is None:
                finding = "attaching after the call returned nothing"
        except BaseException as error:  # noqa: BLE001
            finding = f"the receiver is unusable after the call: {type(error).__name__} {error}"
    if finding is not None:
        finding = f"{finding}\n  call: {describe(desc)}"
        STATS.findings.append(finding)
    return finding


# --------------------------------------------------------------------------
# Drivers


def write_state(path, text):
    if path:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.write(fd, text.encode())
        os.close(fd)


def run_random(args):
    if args.replay is not None:
        finding = run_one(RandomSource(args.replay))
        print(finding or "no finding for this seed")
        return 1 if finding else 0
    deadline = time.monotonic() + args.seconds
    seed = args.seed
    while time.monotonic() < deadline:
        write_state(args.state, f"seed {seed}\n")
        finding = run_one(RandomSource(seed))
        if finding:
            print(f"FINDING (seed {seed}): {finding}", flush=True)
        if STATS.inputs % 2000 == 0:
            write_state(args.stats, json.dumps(STATS.as_dict()))
        seed += 1
    write_state(args.stats, json.dumps(STATS.as_dict()))
    return 1 if STATS.findings else 0


def instrument_harness(atheris):
    """Coverage for libFuzzer comes from this harness's own branches (the
    native module is not instrumented): which kinds of values and calls an
    input reaches."""
    module = sys.modules[__name__]
    for name, obj in list(vars(module).items()):
        if inspect.isfunction(obj) and obj.__module__ == __name__:
            setattr(module, name, atheris.instrument_func(obj))
        elif inspect.isclass(obj) and obj.__module__ == __name__:
            for attr, member in list(vars(obj).items()):
                if inspect.isfunction(member):
                    setattr(obj, attr, atheris.instrument_func(member))


def run_atheris(args, rest):
    import atheris

    instrument_harness(atheris)

    def one_input(data):
        finding = sys.modules[__name__].run_one(AtherisSource(data))
        if STATS.inputs % 500 == 0:
            write_state(args.stats, json.dumps(STATS.as_dict()))
        if finding:
            write_state(args.stats, json.dumps(STATS.as_dict()))
            raise AssertionError(finding)

    argv = [sys.argv[0], *rest]
    if not any(a.startswith("-max_total_time") for a in rest) and not any(os.path.isfile(a) for a in rest):
        argv.append(f"-max_total_time={args.seconds}")
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--engine", choices=["auto", "atheris", "random"], default="auto")
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--replay", type=int, help="random engine: run this one seed")
    parser.add_argument("--state", help="file that names the input in progress")
    parser.add_argument("--stats", help="file that receives the counts at the end")
    args, rest = parser.parse_known_args()
    engine = args.engine
    if engine == "auto":
        try:
            import atheris  # noqa: F401

            engine = "atheris"
        except ImportError:
            engine = "random"
    print(f"velmora fuzz: engine {engine}, module {velmora.__file__}", flush=True)
    if engine == "atheris":
        return run_atheris(args, rest)
    return run_random(args)


if __name__ == "__main__":
    sys.exit(main())
