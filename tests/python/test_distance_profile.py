"""fit_distance_profile through the module: its answer against a dense solve of J written from
the model's definition, the containers it takes, its internal errors and its solver failure."""

import array
import math

import numpy as np
import pytest
import scipy.linalg

import velmora
from conftest import raises_internal

fit = velmora.fit_distance_profile


def dense_minimiser(t, z, sigma, q):
    """The minimiser of J: data terms (s_i - z_i)^2 / sigma_i^2, and per interval r' Q^-1 r with
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
    x = scipy.linalg.solve(h, b, assume_a="pos")
    return x[0::2], x[1::2]


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


def test_monotone_is_the_default_and_never_runs_backwards():
    # a stop after fast motion: the free profile overshoots and comes back
    t = np.arange(40.0)
    z = np.where(t < 20, 10 * t, 200.0) + np.random.default_rng(5).normal(0, 2.0, 40)
    free = fit(t, z, [2.0] * 40, 2.0, False)
    assert min(free[1]) < 0
    distance, speed = fit(t, z, [2.0] * 40, 2.0)
    assert min(speed) >= 0 and all(b >= a for a, b in zip(distance, distance[1:]))
    assert (distance, speed) == fit(t, z, [2.0] * 40, 2.0, monotone=True)


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


@pytest.mark.parametrize(
    "args, message",
    [
        (([0, 1], [0, 1, 2], [1, 1], 1.0), "time, distance and noise differ in length (2, 3 and 2)"),
        (([], [], [], 1.0), "needs at least 1 sample (got 0)"),
        (([0], [0], [1], -1.0), "acceleration_density must be finite and > 0 (got -1)"),
        (([0, 1], [0, 1], [1, 1], math.inf), "acceleration_density must be finite and > 0 (got inf)"),
        (
            (np.array([0.0, 2.0, 1.0]), [0, 1, 2], [1, 1, 1], 1.0),
            "times must increase strictly, but time[2] = 1 follows time[1] = 2",
        ),
        (([0, 1], [0, math.nan], [1, 1], 1.0), "distance[1] is not finite (nan)"),
        (([0, 1], [0, 1], (1, 0), 1.0), "noise[1] must be finite and > 0 (got 0)"),
    ],
)
def test_broken_preconditions_are_internal_errors(args, message):
    for monotone in (False, True):
        raises_internal(f"fit_distance_profile: {message}", lambda: fit(*args, monotone))


@pytest.mark.parametrize("monotone", [False, True])
def test_no_profile_when_every_sample_drowns_in_its_noise(monotone):
    # the weights 1 / noise^2 vanish against the prior: the normal equations say nothing
    assert fit([0, 1, 2], [0, 1, 2], [1e300] * 3, 1.0, monotone) is None
