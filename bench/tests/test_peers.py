"""The reference implementations must follow velmora's semantics, or the
benchmark compares different work; these pin them on small hand-checked inputs."""

import math

import numpy as np
import pytest

from peers import chaikin, circle_fit, elastic_band, repair, resampling
import workloads

P = np.array


@pytest.mark.parametrize(
    "points, flagged, repaired",
    [
        ([(0, 0), (1, 0), (2, 0), (1.5, 0), (3, 0), (4, 0)], [2, 3], [(0, 0), (1, 0), (3, 0), (4, 0)]),
        ([(1, -0.1), (0, 0), (-1, -0.1)], [], [(1, -0.1), (0, 0), (-1, -0.1)]),
        ([(0, 0), (1, 0), (1, 0), (2, 0)], [], [(0, 0), (1, 0), (1, 0), (2, 0)]),
        ([(2, 0), (1, 0), (1, 0), (0, 0)], [1, 2], [(2, 0), (0, 0)]),
        ([(0, 0), (1, 0)], [], [(0, 0), (1, 0)]),
    ],
)
def test_repair_examples(points, flagged, repaired):
    pts = P(points, dtype=float)
    assert repair.suspicious(pts).tolist() == flagged
    np.testing.assert_array_equal(repair.repair(pts), P(repaired, dtype=float))


def test_repair_threshold_is_inclusive_and_repeats_until_clean():
    pts = P([(0, 0), (1, 0), (2, 0), (1.5, 0), (3, 0)], dtype=float)
    assert repair.suspicious(pts, math.pi).tolist() == [2, 3]
    assert repair.suspicious(pts, 0.0).tolist() == [1, 2, 3]
    assert repair.suspicious(pts, float("nan")).tolist() == []
    # the first pass removes indices 1 and 2, leaving a zero-length segment
    # (heading 0) followed by a step in -x: the second pass removes that too
    pts = P([(2.5, 0), (0, 0), (3.5, 0), (2.5, 0), (2, 0)], dtype=float)
    assert repair.suspicious(pts).tolist() == [1, 2]
    np.testing.assert_array_equal(repair.repair(pts), [(2.5, 0), (2, 0)])


def test_repair_of_injected_backward_steps_restores_the_rest():
    clean = workloads.wandering_path(2000)
    corrupt, idx = workloads.with_backward_steps(clean, 0.01)
    assert len(idx) == 20
    assert repair.suspicious(clean).size == 0
    keep = np.ones(len(clean), dtype=bool)
    keep[idx] = keep[idx - 1] = False
    np.testing.assert_array_equal(repair.repair(corrupt), clean[keep])


@pytest.mark.parametrize(
    "points, iterations, expected",
    [
        ([(0, 0), (4, 0)], 1, [(0, 0), (1, 0), (3, 0), (4, 0)]),
        (
            [(0, 0), (4, 0)],
            2,
            [(0, 0), (0.25, 0), (0.75, 0), (1.5, 0), (2.5, 0), (3.25, 0), (3.75, 0), (4, 0)],
        ),
        ([(0, 0), (4, 0), (4, 4)], 1, [(0, 0), (1, 0), (3, 0), (4, 1), (4, 3), (4, 4)]),
        ([(0, 0), (4, 0), (4, 4)], 0, [(0, 0), (4, 0), (4, 4)]),
        ([(1, 2)], 3, [(1, 2)]),
    ],
)
def test_chaikin_examples(points, iterations, expected):
    np.testing.assert_array_equal(
        chaikin.chaikin(P(points, dtype=float), iterations), P(expected, dtype=float)
    )


def test_chaikin_size_and_fixed_ends():
    pts = workloads.wandering_path(10)
    out = chaikin.chaikin(pts, 3)
    assert out.shape == (80, 2)
    np.testing.assert_array_equal(out[[0, -1]], pts[[0, -1]])


def test_linear_resampling_examples():
    pts = P([(0, 0), (1, 0), (3, 0)], dtype=float)
    np.testing.assert_allclose(resampling.linear(pts, 4), [(0, 0), (1, 0), (2, 0), (3, 0)])
    np.testing.assert_allclose(resampling.linear(pts, 2), [(0, 0), (3, 0)])
    np.testing.assert_allclose(
        resampling.linear(P([(0, 0), (3, 4), (3, 9)], dtype=float), 3), [(0, 0), (3, 4), (3, 9)]
    )
    np.testing.assert_allclose(
        resampling.linear(P([(0, 0), (3, 4), (3, 8)], dtype=float), 3), [(0, 0), (2.7, 3.6), (3, 8)]
    )


def test_cubic_resampling_passes_through_the_points_it_lands_on():
    pts = P([(0, 0), (1, 1), (2, 0), (3, 1), (4, 0)], dtype=float)
    out = resampling.cubic(pts, 5)
    np.testing.assert_allclose(out, pts, atol=1e-12)  # equal spacing puts the grid on the knots


def test_taubin_on_exact_circle():
    phi = np.linspace(0.3, 2.0, 7)
    x, y = 1 + 2 * np.cos(phi), -1 + 2 * np.sin(phi)
    cx, cy, r, rmse = circle_fit.taubin(x, y)
    assert (cx, cy, r) == pytest.approx((1, -1, 2), abs=1e-12)
    assert rmse < 1e-13
    assert circle_fit.taubin(x[::-1], y[::-1]) == pytest.approx((cx, cy, r, rmse), abs=1e-12)


def test_taubin_rmse_divides_by_n():
    x = P([0.0, 1.0, 2.0, 1.0])
    y = P([0.0, 1.0, 0.0, -1.1])
    cx, cy, r, rmse = circle_fit.taubin(x, y)
    e = np.hypot(x - cx, y - cy) - r
    assert rmse == pytest.approx(math.sqrt(np.sum(e * e) / 4), rel=1e-12)


def test_taubin_agrees_with_an_independent_implementation():
    circle_fit_pkg = pytest.importorskip("circle_fit")
    pts = workloads.noisy_arcs(5000)[:900]
    ref = circle_fit_pkg.taubinSVD(pts)
    ours = circle_fit.taubin(pts[:, 0], pts[:, 1])
    assert ours[2] == pytest.approx(ref[2], rel=1e-9)
    assert ours[:2] == pytest.approx(ref[:2], rel=1e-9)


def test_collinear_fit_is_not_finite_and_is_rejected():
    x = P([0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0])
    y = np.zeros(8)
    assert math.isnan(circle_fit.taubin(x, y)[3])
    assert circle_fit.segments(x, y, 0, 8) == [(0, 2, 0.0), (2, 4, 0.0), (4, 6, 0.0), (6, 8, 0.0)]


@pytest.mark.parametrize(
    "start, end, max_rmse, expected",
    [
        (0, 8, -1.0, [(0, 2, 0.0), (2, 4, 0.0), (4, 6, 0.0), (6, 8, 0.0)]),
        (0, 8, float("nan"), [(0, 2, 0.0), (2, 4, 0.0), (4, 6, 0.0), (6, 8, 0.0)]),
        (2, 5, -1.0, [(2, 3, 0.0), (3, 5, 0.0)]),
        (100, 102, 0.15, [(100, 102, 0.0)]),
        (4, 4, 0.15, [(4, 4, 0.0)]),
    ],
)
def test_segment_tables(start, end, max_rmse, expected):
    phi = np.linspace(0, 1, 10)
    assert circle_fit.segments(np.cos(phi), np.sin(phi), start, end, max_rmse) == expected


def test_segments_follow_arcs_and_tile_the_range():
    pts = workloads.noisy_arcs(5000, noise=0.01)
    segs = circle_fit.segments(pts[:, 0], pts[:, 1], 0, len(pts))
    assert segs[0][0] == 0 and segs[-1][1] == len(pts)
    assert all(a[1] == b[0] for a, b in zip(segs, segs[1:]))
    long = [s for s in segs if s[1] - s[0] > 200]
    # every long segment lies on one arc and carries that arc's curvature
    for s, e, k in long:
        arc = (s + e) // 2 * len(workloads.ARC_RADII) // len(pts)
        assert k == pytest.approx(1 / workloads.ARC_RADII[arc], rel=0.02)
    assert sum(e - s for s, e, _ in long) > 0.9 * len(pts)


def test_curvature_lengths_and_boundary_points():
    phi = np.linspace(0, 1, 12)
    k = circle_fit.curvature(3 * np.cos(phi), 3 * np.sin(phi))
    np.testing.assert_allclose(k, np.full(12, 1 / 3), rtol=1e-12)
    assert circle_fit.curvature(np.zeros(2), np.zeros(2)).tolist() == [0.0, 0.0]
    assert circle_fit.curvature(np.zeros(0), np.zeros(0)).tolist() == []


def test_qp_matches_the_worked_assembly():
    pts = P([(0, 0), (1, 1), (2, 0)], dtype=float)
    p = elastic_band.objective(3, 1).toarray()
    np.testing.assert_array_equal(p[:3, :3], [[2, -4, 2], [0, 8, -4], [0, 0, 2]])
    np.testing.assert_array_equal(p[3:6, 3:6], [[2, -4, 2], [0, 8, -4], [0, 0, 2]])
    assert not p[6].any() and not p[:, 6].any()

    a, b, eq = elastic_band.constraints(pts, 0.5, elastic_band.SQUARE)
    assert eq == 4
    np.testing.assert_array_equal(b, [0, 0, 2, 0, 1.5, -0.5, 1.5, -0.5])
    np.testing.assert_array_equal(
        a.toarray()[4:], [[0, 1, 0, 0, 0, 0], [0, -1, 0, 0, 0, 0], [0, 0, 0, 0, 1, 0], [0, 0, 0, 0, -1, 0]]
    )

    a, b, eq = elastic_band.constraints(pts, 0.5, elastic_band.ORTHOGONAL)
    assert eq == 6 and a.shape == (8, 7)
    # the chord of the interior point runs along +x: x fixed, y moves along -d*o
    np.testing.assert_array_equal(
        a.toarray()[4:],
        [[0, -1, 0, 0, 0, 0, 0.0], [0, 0, 0, 0, -1, 0, -0.5], [0, 0, 0, 0, 0, 0, 1], [0, 0, 0, 0, 0, 0, -1]],
    )
    np.testing.assert_array_equal(b[4:], [-1, -1, 1, 1])


@pytest.mark.parametrize("kind", [elastic_band.SQUARE, elastic_band.ORTHOGONAL])
def test_elastic_band_keeps_a_straight_line(kind):
    pts = np.column_stack((np.arange(8.0), 0.5 * np.arange(8.0)))
    np.testing.assert_allclose(elastic_band.smooth(pts, 0.3, kind), pts, atol=1e-4)


def test_elastic_band_bounds():
    pts = workloads.noisy_wave(200, noise=0.1)
    d = 0.05
    sq = elastic_band.smooth(pts, d, elastic_band.SQUARE)
    assert np.max(np.abs(sq - pts)) <= d + 1e-4
    np.testing.assert_allclose(sq[[0, -1]], pts[[0, -1]], atol=1e-4)
    orth = elastic_band.smooth(pts, d, elastic_band.ORTHOGONAL)
    move = orth - pts
    theta = elastic_band.orientation(pts)
    along = move[:, 0] * np.cos(theta) + move[:, 1] * np.sin(theta)
    assert np.max(np.hypot(move[:, 0], move[:, 1])) <= d + 1e-4
    assert np.max(np.abs(along)) <= 1e-4
    # both actually smooth: the bending energy drops
    energy = lambda q: np.sum(np.diff(q, 2, axis=0) ** 2)
    assert energy(sq) < 0.5 * energy(pts) and energy(orth) < 0.75 * energy(pts)
    fixed = elastic_band.smooth(pts, 0.0, elastic_band.ORTHOGONAL)
    np.testing.assert_allclose(fixed, pts, atol=1e-4)


def test_elastic_band_contradictory_bounds_give_no_result():
    pts = P([(0, 0), (1, 1), (2, 0)], dtype=float)
    assert elastic_band.smooth(pts, -1.0, elastic_band.SQUARE) is None
