"""Circle-fit curvature against the same decomposition written with numpy,
and one fit against an independent Taubin implementation."""

from __future__ import annotations

import numpy as np

import workloads
from harness import Row, attempt, compare, describe, missing, sized
from peers import circle_fit

MAX_RMSE = 0.15


def _relative(a, b) -> float:
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    scale = np.maximum(np.abs(b), 1e-300)
    return float(np.max(np.abs(a - b) / scale)) if a.size else 0.0


def run(vm):
    n = sized(100_000)
    pts = workloads.noisy_arcs(n)
    x, y = pts[:, 0].copy(), pts[:, 1].copy()
    path = attempt(lambda: vm.Path2D(points=pts))

    def agree(v, p):
        text = [f"curvature rel|Δ| {_relative(v, p):.1e}"]
        ok = len(v) == len(p) and _relative(v, p) <= 1e-9
        if not missing(vm, ("Path2D.find_circle_segments",)):
            ours = circle_fit.segments(x, y, 0, n, MAX_RMSE)
            theirs = path.find_circle_segments(0, n, MAX_RMSE)
            same = [a[:2] for a in ours] == [tuple(b[:2]) for b in theirs]
            text.append(f"{len(theirs)} segments, {'same' if same else 'DIFFERENT'} bounds")
            ok = ok and same
        return ", ".join(text), ok

    yield compare(
        f"7 circle-fit curvature, {n:,} points of {len(workloads.ARC_RADII)} noisy arcs",
        lambda _: path.compute_circle_fit_curvature(MAX_RMSE),
        lambda _: circle_fit.curvature(x, y, MAX_RMSE),
        vm=vm,
        needs=("Path2D", "Path2D.compute_circle_fit_curvature"),
        target=0.1,
        note="peer: numpy recursion + junction merge, Taubin via numpy.linalg.svd",
        check=agree,
    )
    # The same path with a tight threshold splits into hundreds of arcs: the
    # per-fit overhead of the numpy version then dominates.
    tight = 0.01
    yield compare(
        f"7 circle-fit curvature, same path, max_rmse {tight} (many segments)",
        lambda _: path.compute_circle_fit_curvature(tight),
        lambda _: circle_fit.curvature(x, y, tight),
        vm=vm,
        needs=("Path2D", "Path2D.compute_circle_fit_curvature"),
        note="information: the decomposition with hundreds of fits",
        check=lambda v, p: (
            f"curvature rel|Δ| {_relative(v, p):.1e}",
            len(v) == len(p) and _relative(v, p) <= 1e-9,
        ),
    )
    yield _single_fit(vm, path, pts)


def _single_fit(vm, path, pts):
    """velmora's fit is only visible through a segment's curvature, so take a
    range of one arc that is accepted whole and compare 1/r."""
    try:
        from circle_fit import taubinSVD as reference

        source = "circle_fit.taubinSVD"
    except ImportError:
        reference = lambda p: circle_fit.taubin(p[:, 0], p[:, 1])
        source = "bench numpy Taubin (circle-fit not installed)"
    per_arc = len(pts) // len(workloads.ARC_RADII)
    start, end = per_arc // 10, per_arc // 2
    row = Row(f"7 Taubin fit vs {source}, points {start:,}..{end:,}", kind="check")
    if missing(vm, ("Path2D", "Path2D.find_circle_segments")) or path is None:
        row.status, row.note = "n/a", "missing Path2D.find_circle_segments"
        return row
    try:
        segs = path.find_circle_segments(start, end, MAX_RMSE)
    except BaseException as exc:
        row.status, row.note = "error", describe(exc)
        return row
    if len(segs) != 1:
        row.check, row.check_ok = f"range split into {len(segs)} segments", False
        return row
    r = reference(np.ascontiguousarray(pts[start:end]))[2]
    rel = abs(segs[0][2] - 1.0 / r) * r
    row.check = f"1/r {segs[0][2]:.12g} vs {1.0 / r:.12g}, rel|Δ| {rel:.1e}"
    row.check_ok = rel <= 1e-9
    row.note = "target: rel|Δ| <= 1e-9"
    return row
