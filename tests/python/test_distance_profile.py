"""fit_distance_profile through the module: its answer against a dense solve of J written from
the model's definition, the containers it takes, its internal errors and its solver failure."""

import array
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
import scipy.linalg
import scipy.optimize

import velmora
from conftest import raises_internal

fit = velmora.fit_distance_profile


def normal_equations(t, z, sigma, q):
    """H and b of J = x'Hx - 2b'x + c, x = (s_0, v_0, s_1, v_1, ...), from the definition: data
    terms (s_i - z_i)^2 / sigma_i^2, and per interval r' Q^-1 r with
    r = (s_{k+1} - s_k - v_k d, v_{k+1} - v_k), Q = q [[d^3/3, d^2/2], [d^2/2, d]]."""
    n = len(t)
    h = np.zeros((2 * n, 2 * n))
    b = np.zeros(2 * n)
    for i in range(n):
        h[2 * i, 2 * i] = 1 / sigma[i] ** 2
        b[2 * i] = z[i] / sigma[i] ** 2
    for k in range(n - 1):
        d = t[k + 1] - t[k]
        r = np.zeros((2, 2 * n))
        r[0, 2 * k : 2 * k + 3] = [-1, -d, 1]
        r[1, [2 * k + 1, 2 * k + 3]] = [-1, 1]
        h += r.T @ np.linalg.inv(q * np.array([[d**3 / 3, d**2 / 2], [d**2 / 2, d]])) @ r
    return h, b


def dense_minimiser(t, z, sigma, q):
    h, b = normal_equations(t, z, sigma, q)
    x = scipy.linalg.solve(h, b, assume_a="pos")
    return x[0::2], x[1::2]


def goes_backwards(t, distance, speed):
    """Whether the profile falls anywhere: at a sample, or on the cubic Hermite between two
    (its speed there has Bernstein coefficients v_k, 3 (s_{k+1} - s_k) / d - v_k - v_{k+1}, v_{k+1})."""
    for k in range(len(t) - 1):
        a, b = speed[k], speed[k + 1]
        middle = 3 * (distance[k + 1] - distance[k]) / (t[k + 1] - t[k]) - a - b
        if a < 0 or b < 0 or middle + math.sqrt(a * b) < -1e-9 * (a + b):
            return True
    return False


def random_track(seed, n):
    rng = np.random.default_rng(seed)
    t = 1000.0 + np.cumsum(rng.uniform(0.1, 5.0, n))
    return t, np.cumsum(rng.normal(1.0, 2.0, n)), rng.uniform(0.3, 3.0, n)


@pytest.mark.parametrize("seed, n, q", [(0, 2, 1.0), (1, 5, 0.1), (2, 60, 3.0), (3, 200, 0.02)])
def test_matches_a_dense_solve_of_j(seed, n, q):
    t, z, sigma = random_track(seed, n)
    distance, speed = fit(t, z, sigma, q, monotone=False)
    expected_distance, expected_speed = dense_minimiser(t, z, sigma, q)
    assert np.max(np.abs(np.subtract(distance, expected_distance))) <= 1e-9 * np.ptp(z)
    assert np.max(np.abs(np.subtract(speed, expected_speed))) <= 1e-9 * np.max(np.abs(expected_speed))


STOP = (np.arange(30.0), np.where(np.arange(30) < 15, 10.0 * np.arange(30), 150.0), 2.0)
HESITATION = (np.arange(8.0), np.array([0, 10, 20, 30, 30.5, 40.5, 50.5, 60.5]), 10.0)


@pytest.mark.parametrize(
    "t, z, q",
    [(STOP[0], STOP[1] + np.random.default_rng(5).normal(0, 2.0, 30), STOP[2]), HESITATION],
    ids=["stop", "hesitation"],
)
def test_monotone_profile_is_scipys_minimiser_under_the_same_constraints(t, z, q):
    # v >= 0 and, per interval, d v_k <= 3 (s_{k+1} - s_k) >= d v_{k+1}: never backwards
    sigma = np.full(len(t), 2.0 if len(t) == 30 else 0.1)
    assert goes_backwards(t, *fit(t, z, sigma, q, False))
    distance, speed = fit(t, z, sigma, q)  # monotone is the default
    assert not goes_backwards(t, distance, speed)

    n = len(t)
    h, b = normal_equations(t, z, sigma, q)
    rows = [np.eye(2 * n)[2 * i + 1] for i in range(n)]
    for k in range(n - 1):
        for v in (2 * k + 1, 2 * k + 3):
            row = np.zeros(2 * n)
            row[[2 * k, 2 * k + 2, v]] = [-3, 3, -(t[k + 1] - t[k])]
            rows.append(row)
    a = np.array(rows)
    start = np.zeros(2 * n)
    start[0::2] = np.maximum.accumulate(z)
    reference = scipy.optimize.minimize(
        lambda x: x @ h @ x - 2 * b @ x,
        start,
        jac=lambda x: 2 * (h @ x - b),
        method="SLSQP",
        constraints=[{"type": "ineq", "fun": lambda x: a @ x, "jac": lambda x: a}],
        options={"ftol": 1e-14, "maxiter": 1000},
    )
    assert reference.success
    assert np.max(np.abs(np.subtract(distance, reference.x[0::2]))) <= 1e-6 * np.ptp(z)
    assert np.max(np.abs(np.subtract(speed, reference.x[1::2]))) <= 1e-6 * np.ptp(z) / np.ptp(t)


def objective(t, z, sigma, q, distance, speed):
    s, v, d = np.asarray(distance), np.asarray(speed), np.diff(t)
    e = np.diff(s) - d * (v[:-1] + v[1:]) / 2
    return np.sum(((s - z) / sigma) ** 2) + np.sum((12 * e**2 / d**3 + np.diff(v) ** 2 / d) / q)


def made_monotone(t, distance, speed):
    """Speeds >= 0, distances non-decreasing, each interval's end speeds within 3 times its mean."""
    s = np.maximum.accumulate(np.asarray(distance, dtype=float))
    v = np.maximum(np.asarray(speed, dtype=float), 0)
    cap = 3 * np.diff(s) / np.diff(t)
    v[:-1] = np.minimum(v[:-1], cap)
    v[1:] = np.minimum(v[1:], cap)
    return s, v


@st.composite
def stopping_tracks(draw):
    """Moving, stopping and moving again, at steps of a second or less with gaps of minutes."""
    n = draw(st.integers(3, 120))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    base = draw(st.sampled_from([0.1, 1.0, 5.0]))
    steps = np.where(
        rng.random(n - 1) < draw(st.sampled_from([0.0, 0.05, 0.5])), rng.uniform(1, 600, n - 1), base
    )
    speed = np.clip(np.cumsum(rng.normal(0, 1, n)) + rng.uniform(-3, 6), 0, None)
    t = 1.7e9 + np.concatenate([[0.0], np.cumsum(steps)])
    sigma = np.full(n, draw(st.sampled_from([0.5, 3.0, 10.0])))
    z = draw(st.sampled_from([0.0, 1e6])) + np.concatenate([[0], np.cumsum(speed[:-1] * steps)])
    return t, z + rng.normal(0, 1, n) * sigma, sigma, draw(st.sampled_from([1e-3, 0.1, 3.0]))


@given(stopping_tracks())
def test_monotone_profile_never_goes_back_and_beats_the_repaired_free_one(track):
    t, z, sigma, q = track
    distance, speed = fit(t, z, sigma, q)
    assert not goes_backwards(t, distance, speed)
    free = made_monotone(t, *fit(t, z, sigma, q, False))
    assert objective(t, z, sigma, q, distance, speed) <= objective(t, z, sigma, q, *free) * (1 + 1e-9)


T, Z, SIGMA = random_track(7, 30)


@pytest.mark.parametrize(
    "convert",
    [
        list,
        tuple,
        np.asarray,
        lambda v: np.asarray(v, dtype=np.float32),  # not float64: read item by item
        lambda v: np.repeat(np.asarray(v), 2)[::2],  # strided
        lambda v: array.array("d", v),
        lambda v: memoryview(array.array("d", v)),
    ],
    ids=["list", "tuple", "ndarray", "float32", "strided", "array", "memoryview"],
)
def test_sequences_convert_as_path_coordinates_do(convert):
    t, z, sigma = ([float(a) for a in convert(v)] for v in (T, Z, SIGMA))
    got = fit(convert(T), convert(Z), convert(SIGMA), 0.3)
    assert got == fit(t, z, sigma, 0.3)
    assert all(type(v) is float for part in got for v in part)


# The messages themselves are the core's (tests/cpp): here, that they arrive whole, for a sequence
# and for the scalar.
@pytest.mark.parametrize(
    "args, message",
    [
        (
            ([0, 1], np.array([0.0, 1.0, 2.0]), (1, 1), 1.0),
            "time, distance and noise differ in length (2, 3 and 2)",
        ),
        (([0, 1], [0, 1], [1, 1], math.inf), "acceleration_density must be finite and > 0 (got inf)"),
    ],
)
def test_broken_preconditions_are_internal_errors(args, message):
    for monotone in (False, True):
        raises_internal(f"fit_distance_profile: {message}", lambda: fit(*args, monotone))


@pytest.mark.parametrize("monotone", [False, True])
def test_no_profile_when_every_sample_drowns_in_its_noise(monotone):
    # the weights 1 / noise^2 vanish against the prior: the normal equations say nothing
    assert fit([0, 1, 2], [0, 1, 2], [1e300] * 3, 1.0, monotone) is None
