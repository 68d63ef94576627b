"""Elastic band smoothing against the same QP assembled in Python and solved
by the clarabel package, plus the growth of time and memory with n."""

from __future__ import annotations

import statistics
import time

import memprobe
import workloads
from harness import Row, compare, describe, max_abs_diff, missing, sized
from peers import elastic_band

MAX_DEVIATION = 0.1
KINDS = (elastic_band.SQUARE, elastic_band.ORTHOGONAL)


def run(vm):
    n = sized(2_000)
    pts = workloads.noisy_wave(n)
    need = ("Path2D", "Path2D.smoothed_path_elastic_band", "Path2D.points_np", "ElasticBandMethod")

    def agree(v, p):
        if v is None or p is None:
            return (
                f"no solution: velmora {'None' if v is None else 'ok'}, peer {'None' if p is None else 'ok'}",
                False,
            )
        diff = max_abs_diff(v, p)
        return f"max|Δ| {diff:.1e}", diff <= 1e-6

    small_time = {}
    for size, target in ((n, 0.75), (sized(20_000), 0.85)):
        size_pts = pts if size == n else workloads.noisy_wave(size)
        for kind in KINDS:
            assembly = _assembly_seconds(size_pts, kind)

            def smooth(path, kind=kind):
                out = path.smoothed_path_elastic_band(MAX_DEVIATION, getattr(vm.ElasticBandMethod, kind))
                return None if out is None else out.points_np

            row = compare(
                f"5 elastic band {kind} n={size:,}",
                smooth,
                lambda _, kind=kind, size_pts=size_pts: elastic_band.smooth(size_pts, MAX_DEVIATION, kind),
                vm=vm,
                needs=need,
                target=target,
                setup_velmora=lambda size_pts=size_pts: vm.Path2D(points=size_pts),
                note=f"peer: scipy.sparse assembly ({assembly * 1e3:.1f} ms of it) + clarabel.DefaultSolver",
                check=agree,
                budget=None if size == n else 4.0,
            )
            if size == n:
                small_time[kind] = row.velmora
            elif row.velmora and small_time.get(kind):
                row.note += f"; {row.velmora / small_time[kind]:.1f}x the n={n:,} time for {size / n:g}x n"
            yield row

    big = sized(20_000)
    for kind in KINDS:
        yield _memory_growth(vm, kind, n, big)


def _assembly_seconds(pts, kind) -> float:
    """Median time the peer spends building P, A and b, to show how much of
    its time is Python-side assembly rather than the shared solver."""
    times = []
    for _ in range(7):
        start = time.perf_counter()
        a, _, _ = elastic_band.constraints(pts, MAX_DEVIATION, kind)
        elastic_band.objective(len(pts), a.shape[1] - 2 * len(pts))
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def _memory_growth(vm, kind, small, big):
    row = Row(
        f"5 peak memory {kind}, n={big:,} vs n={small:,}",
        kind="memory",
        note="velmora column: n large, peer column: n small; ratio ~ n ratio when linear",
    )
    if missing(vm, ("Path2D.smoothed_path_elastic_band", "ElasticBandMethod")):
        row.status, row.note = "n/a", "missing Path2D.smoothed_path_elastic_band"
        return row
    try:
        lo = memprobe.measure("elastic_band", small, kind)
        hi = memprobe.measure("elastic_band", big, kind)
    except Exception as exc:
        row.status, row.note = "error", describe(exc)
        return row
    row.velmora = (hi["peak_kib"] - hi["base_kib"]) * 1024.0
    row.peer = (lo["peak_kib"] - lo["base_kib"]) * 1024.0
    if lo["result_none"] or hi["result_none"]:
        row.check, row.check_ok = "a solve returned None", False
    row.reps = 1
    return row
