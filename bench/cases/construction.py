"""Building a path from a list or an array, reading it back as arrays, and
the peak memory of construction."""

from __future__ import annotations

import numpy as np

import memprobe
import workloads
from harness import Row, attempt, compare, describe, max_abs_diff, missing, sized

BYTES_PER_POINT = 32  # points (16) + x (8) + y (8)


def _same_points(path, reference):
    diff = max_abs_diff(path.points_np, reference)
    return f"max|Δ| {diff:.1e}", diff == 0.0


def run(vm):
    n = sized(1_000_000)
    arr = np.ascontiguousarray(workloads.wandering_path(n))
    as_list = arr.tolist()
    need = ("Path2D",)

    yield compare(
        f"1 Path2D(points=list of {n:,} [x, y])",
        lambda _: vm.Path2D(points=as_list),
        lambda _: np.asarray(as_list, dtype=np.float64),
        vm=vm,
        needs=need,
        target=1.5,
        note="peer: numpy.asarray(list, float64)",
        check=lambda p, a: _same_points(p, a) if not missing(vm, ("Path2D.points_np",)) else ("", None),
    )
    yield compare(
        f"1 Path2D(points=ndarray ({n:,}, 2))",
        lambda _: vm.Path2D(points=arr),
        lambda _: arr.copy(),
        vm=vm,
        needs=need,
        target=2.0,
        note="peer: ndarray.copy()",
    )
    del as_list

    path = attempt(lambda: vm.Path2D(points=arr))
    x = arr[:, 0].copy()
    yield compare(
        f"1 points_np ({n:,} points)",
        lambda _: path.points_np,
        lambda _: arr.copy(),
        vm=vm,
        needs=("Path2D.points_np",),
        target=1.5,
        note="peer: ndarray.copy()",
        check=lambda v, p: (f"max|Δ| {max_abs_diff(v, p):.1e}", max_abs_diff(v, p) == 0.0),
    )
    yield compare(
        f"1 x_np ({n:,} points)",
        lambda _: path.x_np,
        lambda _: x.copy(),
        vm=vm,
        needs=("Path2D.x_np",),
        target=1.5,
        note="peer: ndarray.copy()",
        check=lambda v, p: (f"max|Δ| {max_abs_diff(v, p):.1e}", max_abs_diff(v, p) == 0.0),
    )
    del path

    for probe, label in (("construct_list", "list"), ("construct_array", "ndarray")):
        yield _memory_row(vm, probe, label, n)


def _memory_row(vm, probe, label, n):
    row = Row(
        f"1 peak memory, Path2D from {label} ({n:,})",
        kind="memory",
        target=1.5,
        note="peer column: data the path holds (32 B/point)",
    )
    if missing(vm, ("Path2D",)):
        row.status, row.note = "n/a", "missing Path2D"
        return row
    try:
        fig = memprobe.measure(probe, n)
    except Exception as exc:
        row.status, row.note = "error", describe(exc)
        return row
    row.velmora = (fig["peak_kib"] - fig["base_kib"]) * 1024.0
    row.peer = float(n * BYTES_PER_POINT)
    retained = (fig["after_kib"] - fig["base_kib"]) / 1024.0
    row.check = f"retained RSS +{retained:.1f} MiB"
    if not fig["peak_reset"]:
        row.note += "; peak could not be reset, includes set-up"
    row.reps = 1
    return row
