"""Equidistant resampling by number of points, linear and cubic."""

from __future__ import annotations

import numpy as np

import workloads
from harness import compare, max_abs_diff, sized
from peers import resampling


def run(vm):
    n = sized(1_000_000)
    pts = np.ascontiguousarray(workloads.wandering_path(n))
    m = n
    need = (
        "Path2D",
        "Path2D.resampled_path",
        "Path2D.points_np",
        "ResamplingMethod.by_number_points",
        "InterpolationMethod",
    )
    # a fresh path per call, so that its cached cumulative length is computed
    # inside the timed region just as the peer computes it
    fresh = lambda: vm.Path2D(points=pts)

    def linear(path):
        return path.resampled_path(
            vm.ResamplingMethod.by_number_points(m), vm.InterpolationMethod.Linear
        ).points_np

    def cubic(path):
        return path.resampled_path(
            vm.ResamplingMethod.by_number_points(m), vm.InterpolationMethod.Cubic
        ).points_np

    def agree(v, p):
        diff = max_abs_diff(v, p)
        return f"max|Δ| {diff:.1e}", diff <= 1e-9 * max(1.0, float(np.max(np.abs(p))))

    def shape_only(v, p):
        # Catmull-Rom and scipy's not-a-knot spline are different curves:
        # report how far apart they are, without a pass/fail
        return f"max|Δ| {max_abs_diff(v, p):.1e} (different splines)", None

    yield compare(
        f"3 resample Linear {n:,} -> {m:,}",
        linear,
        lambda _: resampling.linear(pts, m),
        vm=vm,
        needs=need,
        target=1.0,
        setup_velmora=fresh,
        note="peer: cumsum(hypot) + numpy.interp x2 + column_stack",
        check=agree,
    )
    yield compare(
        f"3 resample Cubic {n:,} -> {m:,}",
        cubic,
        lambda _: resampling.cubic(pts, m),
        vm=vm,
        needs=need,
        target=0.5,
        setup_velmora=fresh,
        note="peer: scipy CubicSpline over cumulative length",
        check=shape_only,
    )
