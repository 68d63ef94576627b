"""Several Python threads on shared and on their own paths.

The module never releases the interpreter lock, but the interpreter switches
threads between bytecodes and inside argument conversions that run Python
code; with a tiny switch interval the threads interleave densely. Shared paths
are only read (their caches fill on first use, by whichever thread comes
first); each thread attaches values only to its own paths. Every result must
equal the one a single thread computes.
"""

import math
import sys
import threading
import time

import pytest

from velmora import InterpolationMethod, Path2D, ResamplingMethod

THREADS = 6
ROUNDS = 60


def make_shared():
    wave = Path2D(points=[[i * 0.1, math.sin(i * 0.1)] for i in range(300)])
    wave.add_associated_values([float(i) for i in range(300)])
    spiral = Path2D(
        x=[t * math.cos(t) for t in (i * 0.05 for i in range(200))],
        y=[t * math.sin(t) for t in (i * 0.05 for i in range(200))],
    )
    return {"wave": wave, "spiral": spiral}


class Yielding:
    """A float argument whose conversion runs Python code, so the interpreter
    may switch threads while the receiving path is borrowed."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)  # releases the interpreter lock: another thread runs now
        return self.value


def shared_work(paths):
    wave, spiral = paths["wave"], paths["spiral"]
    by_number = ResamplingMethod.by_number_points(97)
    by_distance = ResamplingMethod.by_sampling_distance(0.37, False)
    return [
        wave.points,
        spiral.x,
        wave.length,
        spiral.curvature,
        wave.orientation,
        wave.unit_tangent_vector,
        spiral.path_length_per_point,
        wave.resampled_path(by_number, InterpolationMethod.Cubic, Yielding(0.01)).points,
        wave.resampled_path(by_distance).associated_values(0),
        spiral.resampled_path(by_distance, epsilon=Yielding(0.5)).points,
        wave.index_from_point([12.3, 0.2], Yielding(0.01)),
        wave.path_length_from_point([7.7, -0.4]),
        spiral.path_length_from_point([0.0, 0.0], epsilon=Yielding(0.1)),
        wave.sub_path([3.05, 0.0], [20.0, 1.0]).points,
        wave.sub_path([3.05, 0.0], [20.0, 1.0]).associated_values(0),
        spiral.compute_circle_fit_curvature(Yielding(0.05)),
        wave.smoothed_path_chaikin(2).points,
        spiral.detect_corrupted_point_order(Yielding(1.0)),
        list(wave.curvature_np),
    ]


def own_work(seed):
    path = Path2D(points=[[seed + i * 0.5, (i * seed) % 7] for i in range(50)])
    handles = [
        path.add_associated_values([Yielding(seed * 100.0 + i) for i in range(50)]),
        path.add_associated_values([float(i * i) for i in range(50)]),
    ]
    resampled = path.resampled_path(ResamplingMethod.by_number_points(31))
    return [
        handles,
        path.associated_values(0),
        resampled.associated_values(1),
        list(path.associated_value_np(1)),
        resampled.points,
        path.length,
    ]


def same(a, b):
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(u, v) for u, v in zip(a, b))
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return a == b


@pytest.fixture
def dense_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_threads_give_the_single_thread_results(dense_switching):
    expected_shared = shared_work(make_shared())
    expected_own = {seed: own_work(seed) for seed in range(THREADS)}

    shared = make_shared()  # fresh caches: the threads race to fill them
    start = threading.Barrier(THREADS)
    failures = []

    def worker(seed):
        try:
            start.wait()
            for round_ in range(ROUNDS):
                got = shared_work(shared)
                if not same(got, expected_shared):
                    bad = [i for i, (a, b) in enumerate(zip(got, expected_shared)) if not same(a, b)]
                    failures.append((seed, round_, "shared", bad))
                if not same(own_work(seed), expected_own[seed]):
                    failures.append((seed, round_, "own"))
        except BaseException as error:  # noqa: BLE001 - a PanicException must be reported too
            failures.append((seed, type(error).__name__, str(error)))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a worker thread hangs"
    assert failures == []
    # the shared paths were only read: no column was added, caches agree
    assert shared["wave"].associated_values(1) is None
    assert repr(shared["spiral"]) == repr(make_shared_filled()["spiral"])


def make_shared_filled():
    paths = make_shared()
    shared_work(paths)
    return paths


def test_attaching_to_a_path_another_thread_is_reading_is_refused():
    path = Path2D(points=[[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]])
    inside, release = threading.Event(), threading.Event()

    class Blocking:
        def __float__(self):
            inside.set()
            release.wait(timeout=30)
            return 0.01

    result = []
    reader = threading.Thread(
        target=lambda: result.append(path.path_length_from_point([0.5, 0.0], Blocking()))
    )
    reader.start()
    assert inside.wait(timeout=30)
    # the reader holds a shared borrow while its argument converts
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        path.add_associated_values([1.0, 2.0, 3.0])
    assert path.points == [[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]]  # shared reads still work
    release.set()
    reader.join(timeout=30)
    assert result == [0.5]
    assert path.add_associated_values([1.0, 2.0, 3.0]) == 0  # the borrow was released
