"""Chaikin corner cutting against a vectorised numpy version."""

from __future__ import annotations

import workloads
from harness import attempt, compare, exact_points, sized
from peers import chaikin

ITERATIONS = 5


def run(vm):
    n = sized(100_000)
    pts = workloads.noisy_wave(n)
    path = attempt(lambda: vm.Path2D(points=pts))

    yield compare(
        f"6 Chaikin {ITERATIONS} iterations, {n:,} points",
        lambda _: path.smoothed_path_chaikin(ITERATIONS),
        lambda _: chaikin.chaikin(pts, ITERATIONS),
        vm=vm,
        needs=("Path2D", "Path2D.smoothed_path_chaikin", "Path2D.points_np"),
        target=1.0,
        note="peer: numpy, one vectorised pass per iteration",
        check=exact_points,
    )
