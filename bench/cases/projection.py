"""Locating points on a path and cutting sub-paths, against shapely."""

from __future__ import annotations

import numpy as np

import workloads
from harness import attempt, compare, sized


def _queries(pts, count, seed, spread):
    """Points beside the path, as an (count, 2) array. Each lies off a random
    segment, away from its ends, so no query sits within a cut-merge tolerance
    of a path point or in the gap outside a corner."""
    rng = np.random.default_rng(seed)
    i = np.sort(rng.integers(len(pts) // 50, len(pts) - len(pts) // 50 - 1, count))
    t = rng.uniform(0.05, 0.95, count)
    d = pts[i + 1] - pts[i]
    foot = pts[i] + d * t[:, None]
    normal = np.column_stack((-d[:, 1], d[:, 0])) / np.hypot(d[:, 0], d[:, 1])[:, None]
    return foot + normal * rng.uniform(-spread, spread, count)[:, None]


def run(vm):
    import shapely
    from shapely.geometry import LineString, Point
    from shapely.ops import substring

    n = sized(10_000)
    pts = workloads.wandering_path(n)
    line = LineString(pts)
    queries = _queries(pts, 1000, 6, 0.5)
    q_lists = queries.tolist()
    q_points = [Point(q) for q in q_lists]
    q_array = shapely.points(queries)
    path = attempt(lambda: vm.Path2D(points=pts))

    def agree(v, p):
        v = np.array([np.nan if r is None else r for r in v])
        found = ~np.isnan(v)
        p = np.asarray(p)
        diff = float(np.max(np.abs(v[found] - p[found]))) if found.any() else float("nan")
        ok = diff <= 1e-12 * float(np.max(p)) and found.all()
        return f"max|Δ| {diff:.1e}, {int((~found).sum())} of {len(v)} None", ok

    loop = lambda _: [path.path_length_from_point(q) for q in q_lists]
    need = ("Path2D", "Path2D.path_length_from_point")
    yield compare(
        f"4 path_length_from_point x1000 ({n:,}-point path)",
        loop,
        lambda _: [line.project(q) for q in q_points],
        vm=vm,
        needs=need,
        target=1.0,
        note="peer: LineString.project in the same loop (shapely points prebuilt)",
        check=agree,
    )
    yield compare(
        f"4 path_length_from_point x1000 vs vectorised",
        loop,
        lambda _: shapely.line_locate_point(line, q_array),
        vm=vm,
        needs=need,
        note="peer: shapely.line_locate_point on an array of points (information)",
    )

    # cuts between pairs of query points; the peer projects both and cuts by length
    pairs = _queries(pts, 200, 7, 0.5).tolist()
    starts, ends = pairs[0::2], pairs[1::2]
    starts, ends = zip(
        *[
            (a, b) if line.project(Point(a)) <= line.project(Point(b)) else (b, a)
            for a, b in zip(starts, ends)
        ]
    )

    def cut_velmora(_):
        return [path.sub_path(a, b) for a, b in zip(starts, ends)]

    def cut_shapely(_):
        return [substring(line, line.project(Point(a)), line.project(Point(b))) for a, b in zip(starts, ends)]

    def same_cuts(v, p):
        worst, bad = 0.0, 0
        for sub, ref in zip(v, p):
            got = np.asarray(sub.points) if sub is not None else None
            want = np.asarray(ref.coords)
            if got is None or got.shape != want.shape:
                bad += 1
                continue
            worst = max(worst, float(np.max(np.abs(got - want))))
        ok = bad == 0 and worst <= 1e-12 * float(np.max(np.abs(pts)))
        return f"max|Δ| {worst:.1e}, {bad} of {len(v)} differ in point count", ok

    yield compare(
        f"4 sub_path x{len(starts)} ({n:,}-point path)",
        cut_velmora,
        cut_shapely,
        vm=vm,
        needs=("Path2D", "Path2D.sub_path", "Path2D.points"),
        target=1.0,
        note="peer: 2x LineString.project + shapely.ops.substring",
        check=same_cuts,
    )
