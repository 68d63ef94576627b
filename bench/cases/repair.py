"""Repair of backward steps against a vectorised numpy loop."""
from __future__ import annotations

import workloads
from harness import attempt, compare, exact_points, sized
from peers import repair


def run(vm):
    n = sized(1_000_000)
    clean = workloads.wandering_path(n)
    pts, injected = workloads.with_backward_steps(clean, 0.01)
    path = attempt(lambda: vm.Path2D(points=pts))

    yield compare(
        f"8 repair {n:,} points, {len(injected):,} backward steps",
        lambda _: path.repair_corrupted_point_order(2.8), lambda _: repair.repair(pts, 2.8),
        vm=vm, needs=("Path2D", "Path2D.repair_corrupted_point_order", "Path2D.points_np"), target=1.0,
        note="peer: numpy flag + mask pass, repeated until clean", check=lambda v, p: exact_points(v, p, "points kept"))
