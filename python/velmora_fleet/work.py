"""A task's work on a worker: read one item's records (input fragments that
hold whole tracks, or one bucket of the grouped records), run each track,
write the item's part of points.parquet and tracks.parquet, and return a
summary of a few numbers to the driver.
"""
from __future__ import annotations

import collections
import time as clock
from dataclasses import dataclass

import numpy as np

from .destination import Destination
from .options import Options
from .records import Fragment, Layout, read_fragment
from .track import WORKER_LOST, TrackResult, process_sorted

POINT_COLUMNS = ("s", "x", "y", "curvature")
TRACK_COLUMNS = ("track_id", "points_in", "points_flagged", "points_removed", "points_out", "length",
                 "status", "error", "origin_lon", "origin_lat")
ROW_GROUP_POINTS = 1_000_000  # output points a task holds before writing them


@dataclass(frozen=True)
class Job:
    """What every task of a run is given."""

    layout: Layout
    options: Options
    source_fs: object
    destination: Destination
    max_track_points: int | None
    run: str = ""  # tells this run's items from another's on a worker that served both
    report_ids: bool = False  # summaries name their tracks (to check an input declared grouped)


@dataclass(frozen=True)
class Item:
    """One task's share of the records: whole tracks, never part of one."""

    index: int
    rows: int
    fragments: tuple[Fragment, ...] = ()  # input that holds whole tracks
    bucket: str | None = None  # or a file of the grouped records (relative to the output folder)
    low: object = None  # of the fragments' records, those with low <= track id < high (None: no bound)
    high: object = None

    @property
    def name(self) -> str:
        return f"part-{self.index:05d}"


def part_names(name: str) -> list[str]:
    return [f"{table}/{name}.parquet" for table in ("points.parquet", "tracks.parquet")]


def run_item(job: Job, item: Item, only=None, name: str | None = None) -> dict:
    """Runs the item's tracks (or only the track `only`) and writes its parts
    under `name` (default: the item's). Returns the summary the driver keeps."""
    started, started_cpu = clock.perf_counter(), clock.thread_time()
    name = name or item.name
    if only is None:  # parts of an earlier attempt that ran the item track by track
        for table in ("points.parquet", "tracks.parquet"):
            job.destination.remove_parts(table, item.name + "-")
    if only is None:
        tracks = _tracks_of(job, item)
    else:  # one of many tasks of the same item, which this worker has likely read already
        tracks = [t for t in _cached_tracks(job, item) if t[0] == only]
    budget = _memory_budget()
    writer = job.destination.open_writer(f"points.parquet/{name}.parquet", points_schema(job))
    try:
        results, pending, held = [], [], 0
        statuses = collections.Counter()
        points_in = points_out = 0
        for track_id, time, a, b in tracks:
            result = process_sorted(track_id, time, a, b, job.layout.geographic, job.options,
                                    max_points=job.max_track_points, memory_budget=budget)
            results.append(_track_row(result))
            statuses[result.status] += 1
            points_in += result.points_in
            points_out += result.points_out
            if result.points_out:
                pending.append(result)
                held += result.points_out
            if held >= ROW_GROUP_POINTS:
                writer.write(_points_table(job, pending))
                pending, held = [], 0
        writer.write(_points_table(job, pending))
        points_part = writer.close()
    except BaseException:
        writer.abandon()
        raise
    tracks_part = job.destination.write_table(f"tracks.parquet/{name}.parquet", tracks_table(job, results))
    summary = {"index": item.index, "parts": [points_part, tracks_part], "tracks": len(results),
               "points_in": points_in, "points_out": points_out, "statuses": dict(statuses),
               "seconds": clock.perf_counter() - started, "cpu_seconds": clock.thread_time() - started_cpu}
    if job.report_ids:
        summary["ids"] = [row[0].item() if hasattr(row[0], "item") else row[0] for row in results]
    return summary


def list_tracks(job: Job, item: Item) -> list[tuple]:
    """The item's tracks and their records, for running them one by one, after
    removing what the item's own failed task may have written."""
    for table in ("points.parquet", "tracks.parquet"):
        job.destination.remove_parts(table, item.name + ".")
    return [(track_id, len(a)) for track_id, _, a, _ in _cached_tracks(job, item)]


_cache: dict = {}


def _cached_tracks(job: Job, item: Item) -> list:
    """The item's tracks, kept for the next task of the same item: when an
    item runs track by track, each worker reads it once, not once a track."""
    key = (job.run, item.index)
    if key not in _cache:
        _cache.clear()
        _cache[key] = list(_tracks_of(job, item))
    return _cache[key]


def write_lost(job: Job, item: Item, lost: list[tuple]) -> dict:
    """The rows of the tracks that took their worker down with them."""
    results = []
    for track_id, records, message in lost:
        result = TrackResult(track_id, records, status=WORKER_LOST, error=message)
        results.append(_track_row(result))
    name = f"{item.name}-lost"
    return {"index": item.index, "parts": [job.destination.write_table(f"tracks.parquet/{name}.parquet",
                                                                       tracks_table(job, results))],
            "tracks": len(results), "points_in": sum(r[1] for r in lost), "points_out": 0,
            "statuses": {WORKER_LOST: len(results)}, "seconds": 0.0, "cpu_seconds": 0.0}


def _tracks_of(job: Job, item: Item):
    """(track_id, time, a, b) of each track of the item, by track id, each in
    order of time (ties in input order)."""
    frame = _read_item(job, item)
    import pandas as pd

    codes, uniques = pd.factorize(frame["track_id"], sort=True)
    time = frame["time"].to_numpy()
    order = np.lexsort((frame["_row"].to_numpy(), frame["_file"].to_numpy(), time, codes))
    offsets = np.zeros(len(uniques) + 1, dtype=np.int64)
    np.cumsum(np.bincount(codes, minlength=len(uniques)), out=offsets[1:])
    time, a, b = time[order], frame["a"].to_numpy()[order], frame["b"].to_numpy()[order]
    ids = np.asarray(uniques, dtype=object) if job.layout.id_kind == "str" else np.asarray(uniques)
    for k, track_id in enumerate(ids):
        lo, hi = offsets[k], offsets[k + 1]
        yield track_id, time[lo:hi], a[lo:hi], b[lo:hi]


def _read_item(job: Job, item: Item):
    import pandas as pd
    import pyarrow.parquet as pq

    if item.bucket is not None:
        with job.destination.fs.open(job.destination.join(item.bucket), "rb") as fh:
            table = pq.read_table(fh)
        frame = table.to_pandas(ignore_metadata=True)
        frame["time"] = frame["time"].astype(job.layout.empty_frame()["time"].dtype)
        return frame
    frames = [read_fragment(f, job.layout, job.source_fs) for f in item.fragments]
    frame = pd.concat(frames, ignore_index=True) if len(frames) > 1 else frames[0]
    if item.low is None and item.high is None:
        return frame
    ids = frame["track_id"]
    inside = np.ones(len(frame), dtype=bool)
    if item.low is not None:
        inside &= (ids >= item.low).to_numpy()
    if item.high is not None:
        inside &= (ids < item.high).to_numpy()
    return frame[inside].reset_index(drop=True)


def _memory_budget() -> float | None:
    """Bytes this worker may still take for one track: its memory limit less
    what it holds, or None outside a Dask worker with a limit."""
    try:
        from distributed import get_worker

        worker = get_worker()
    except (ImportError, ValueError):
        return None
    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None)
    if not limit:
        return None
    import psutil

    return limit * 0.9 - psutil.Process().memory_info().rss


def id_type(job: Job):
    import pyarrow as pa

    return {"int": pa.int64(), "float": pa.float64(), "str": pa.string()}[job.layout.id_kind]


def points_schema(job: Job):
    import pyarrow as pa

    return pa.schema([pa.field("track_id", id_type(job))] + [pa.field(n, pa.float64()) for n in POINT_COLUMNS])


def _points_table(job: Job, results: list[TrackResult]):
    import pyarrow as pa

    schema = points_schema(job)
    if not results:
        return schema.empty_table()
    ids = np.array([r.track_id for r in results], dtype=object if job.layout.id_kind == "str" else None)
    ids = np.repeat(ids, [r.points_out for r in results])
    columns = [pa.array(ids, type=schema.field("track_id").type)]
    columns += [pa.array(np.concatenate([getattr(r, n) for r in results]), type=pa.float64()) for n in POINT_COLUMNS]
    return pa.Table.from_arrays(columns, schema=schema)


def _track_row(result: TrackResult) -> tuple:
    return (result.track_id, result.points_in, result.points_flagged, result.points_removed, result.points_out,
            result.length, result.status, result.error, result.origin_lon, result.origin_lat)


def tracks_table(job: Job, rows: list[tuple]):
    import pyarrow as pa

    types = [id_type(job), pa.int64(), pa.int64(), pa.int64(), pa.int64(), pa.float64(), pa.string(),
             pa.string(), pa.float64(), pa.float64()]
    columns = list(zip(*rows)) if rows else [[] for _ in TRACK_COLUMNS]
    return pa.Table.from_arrays([pa.array(list(c), type=t) for c, t in zip(columns, types)],
                                names=list(TRACK_COLUMNS))
