"""The fleet pipeline on Dask (1 and 2 local worker processes) against the
same pipeline as a plain loop in one process, on a generated fleet.

The clusters start before timing and are reused by every repetition; their
start-up is reported in the note. Both sides read the same Parquet input and
write the same output folder, so the ratio is what Dask adds or saves.
"""

from __future__ import annotations

import os
import resource
import shutil
import tempfile
import time

from harness import Row, compare, sized

POINTS_PER_TRACK = 500
NEEDS = (
    "Path2D.repair_corrupted_point_order",
    "Path2D.smoothed_path_elastic_band",
    "Path2D.resampled_path",
    "Path2D.compute_circle_fit_curvature",
)


def run(vm):
    try:
        import velmora_fleet
        from dask.distributed import Client
    except ImportError as exc:
        yield Row("fleet pipeline on Dask", status="n/a", note=f"needs velmora[fleet]: {exc}")
        return
    yield from _per_track_cost(vm, velmora_fleet)
    points = sized(200_000, minimum=2 * POINTS_PER_TRACK)
    tracks = max(2, points // POINTS_PER_TRACK)
    work = tempfile.mkdtemp(prefix="velmora-fleet-bench-")
    try:
        source = os.path.join(work, "fleet.parquet")
        velmora_fleet.write_fleet(velmora_fleet.generate_fleet(tracks, POINTS_PER_TRACK, seed=1), source)
        total = tracks * POINTS_PER_TRACK

        def loop(_):
            return velmora_fleet.run(source, os.path.join(work, "loop"), workers=0, overwrite=True)

        for count, target in ((2, 1 / 1.6), (1, 1 / 0.85)):
            started = time.perf_counter()
            with velmora_fleet.local_cluster(count) as cluster, Client(cluster) as client:
                start_up = time.perf_counter() - started
                last = {}

                def on_dask(_):
                    last["summary"] = velmora_fleet.run(
                        source, os.path.join(work, f"dask{count}"), client=client, overwrite=True
                    )
                    return last["summary"]

                row = compare(
                    f"fleet, {total:,} points in {tracks:,} tracks, Dask {count} worker{'s' * (count > 1)}",
                    on_dask,
                    loop,
                    vm=vm,
                    needs=NEEDS,
                    target=target,
                    check=lambda d, p: _same_output(work, count, d, p),
                )
                # The work runs in worker processes, so this process's CPU
                # time says nothing about it: judge by the wall clock.
                row.velmora_cpu = row.peer_cpu = None
                row.note = _note(row, total, start_up, last.get("summary"), count)
                if row.status == "ok":
                    row.note += "; " + _cpu_account(client, lambda: on_dask(None), lambda: loop(None))
                yield row
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _cpu(usage) -> float:
    return usage.ru_utime + usage.ru_stime


def _cpu_account(client, on_dask, loop) -> str:
    """Processor time of one more (untimed) run of each side: other load on
    the shared machine stretches wall times but hardly these."""
    workers_before = client.run(resource.getrusage, resource.RUSAGE_SELF)
    driver_before = _cpu(resource.getrusage(resource.RUSAGE_SELF))
    summary = on_dask()
    driver = _cpu(resource.getrusage(resource.RUSAGE_SELF)) - driver_before
    workers_after = client.run(resource.getrusage, resource.RUSAGE_SELF)
    workers = sum(_cpu(workers_after[w]) - _cpu(workers_before[w]) for w in workers_before)
    before = _cpu(resource.getrusage(resource.RUSAGE_SELF))
    plain = loop()
    loop_cpu = _cpu(resource.getrusage(resource.RUSAGE_SELF)) - before
    return (
        f"CPU s per run: loop {loop_cpu:.2f} ({plain.task_cpu_seconds:.2f} in tracks); Dask workers "
        f"{workers:.2f} ({summary.task_cpu_seconds:.2f} in tracks) + driver {driver:.2f}"
    )


def _same_output(work, count, dask_summary, loop_summary) -> tuple[str, bool]:
    import pandas as pd

    same = True
    for name in ("points.parquet", "tracks.parquet"):
        a, b = (
            pd.read_parquet(os.path.join(work, side, name)).sort_values(
                "track_id", kind="stable", ignore_index=True
            )
            for side in (f"dask{count}", "loop")
        )
        same = same and a.equals(b)
    failed = sum(dask_summary.tracks_failed.values())
    return f"identical files, {dask_summary.points_out:,} points out, {failed} broken tracks", same


def _note(row: Row, total: int, start_up: float, summary, count: int) -> str:
    if row.velmora is None or row.peer is None:
        return row.note
    parts = [
        f"{total / row.velmora:,.0f} vs {total / row.peer:,.0f} points/s "
        f"({row.peer / row.velmora:.2f}x the loop)",
        f"cluster start {start_up:.1f} s (not timed)",
    ]
    if summary is not None:
        busy = summary.task_seconds / max(summary.seconds * count, 1e-9)
        parts.append(
            f"{summary.tasks} tasks, workers busy {busy:.0%} of the wall time, "
            f"planning {summary.read_seconds * 1e3:.0f} ms, grouping {summary.group_seconds:.2f} s"
        )
    return "; ".join(parts)


def _per_track_cost(vm, velmora_fleet):
    """What the pipeline adds per track (drops, stops, trips, time, speed,
    heading and the carried columns) to the module's own operations, in this
    thread: process_track's plain composition against the bare calls; then
    what its smooth motion (the default) costs against the plain one."""
    import numpy as np
    from velmora import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

    tracks = velmora_fleet.generate_fleet(sized(200, minimum=4), POINTS_PER_TRACK, seed=2)
    tracks = [
        (g["time"].to_numpy(), g["x"].to_numpy(), g["y"].to_numpy())
        for _, g in tracks.groupby("track_id")
        if len(g) > 1 and np.isfinite(g[["x", "y"]].to_numpy()).all()
    ]
    speed = [np.linspace(5.0, 15.0, len(x)) for _, x, _ in tracks]

    def pipeline(motion):
        def each(_):
            return [
                velmora_fleet.process_track(t, x=x, y=y, carry={"speed_in": v}, motion=motion).points_out
                for (t, x, y), v in zip(tracks, speed)
            ]

        return each

    def module(_):
        counts = []
        for _, x, y in tracks:
            path = Path2D(x=x, y=y)
            path.detect_corrupted_point_order(2.8)
            smoothed = path.repair_corrupted_point_order(2.8).smoothed_path_elastic_band(
                1.0, ElasticBandMethod.SquareBounds
            )
            even = smoothed.resampled_path(
                ResamplingMethod.by_sampling_distance(1.0, False), InterpolationMethod.Cubic
            )
            even.compute_circle_fit_curvature(0.15)
            counts.append(len(even.x))
        return counts

    label = f"{len(tracks)} tracks of {POINTS_PER_TRACK} points"
    yield compare(
        f"fleet, per track: the pipeline's plain steps around the module's, {label}",
        pipeline("plain"),
        module,
        vm=vm,
        needs=NEEDS,
        target=1.1,
        check=lambda p, m: ("same points out", p == m),
        budget=4.0,
    )
    yield compare(
        f"fleet, per track: the smooth motion (the default) against the plain composition, {label}",
        pipeline("smooth"),
        pipeline("plain"),
        vm=vm,
        needs=NEEDS,
        target=1.2,
        check=lambda s, p: (
            "every track written",
            len(s) == len(p) and all(n > 0 for n in s) == all(n > 0 for n in p),
        ),
        budget=4.0,
    )
