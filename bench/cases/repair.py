"""Repair of backward steps against a vectorised numpy loop, and repair's
worst case (many passes) against its typical one."""

from __future__ import annotations

import numpy as np

import workloads
from harness import attempt, compare, exact_points, sized
from peers import repair

NEEDS = ("Path2D", "Path2D.repair_corrupted_point_order", "Path2D.points_np")


def run(vm):
    n = sized(1_000_000)
    clean = workloads.wandering_path(n)
    pts, injected = workloads.with_backward_steps(clean, 0.01)
    path = attempt(lambda: vm.Path2D(points=pts))

    yield compare(
        f"8 repair {n:,} points, {len(injected):,} backward steps",
        lambda _: path.repair_corrupted_point_order(2.8),
        lambda _: repair.repair(pts, 2.8),
        vm=vm,
        needs=NEEDS,
        target=1.0,
        note="peer: numpy flag + mask pass, repeated until clean",
        check=lambda v, p: exact_points(v, p, "points kept"),
    )

    # A run that the repair removes two points per pass: thousands of passes.
    n = sized(100_000)
    clean = workloads.wandering_path(n)
    typical = attempt(lambda: vm.Path2D(points=workloads.with_backward_steps(clean, 0.01)[0]))
    corrupted, run = workloads.with_backward_run(clean, 0.1)
    worst = attempt(lambda: vm.Path2D(points=corrupted))

    def as_numpy(v, _):
        # Only turns next to removed points change, and the path around the
        # run turns gently: numpy's repair of a window holding the run, with
        # the rest unchanged, is the whole repair (and needs no minute).
        lo, hi = run.start - 100, run.stop + 100
        window = repair.repair(corrupted[lo:hi], 2.8)
        return exact_points(v, np.vstack([corrupted[:lo], window, corrupted[hi:]]), "points kept as numpy's")

    yield compare(
        f"8 repair {n:,} points with a backward run of {run.stop - run.start:,}, vs typical data",
        lambda _: worst.repair_corrupted_point_order(2.8),
        lambda _: typical.repair_corrupted_point_order(2.8),
        vm=vm,
        needs=NEEDS,
        target=3.0,
        note="peer: the same velmora call on the same path with 1% single backward steps",
        check=as_numpy,
    )
