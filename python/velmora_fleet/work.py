"""A task's work on a worker: read one item's records (input fragments that
hold whole tracks, or one bucket of the grouped records), run each track,
write the item's part of points.parquet and tracks.parquet, and return a
summary of a few numbers to the driver.
"""

from __future__ import annotations

import collections
import contextlib
import sys
import time as clock
from dataclasses import dataclass

import numpy as np

from .claim import Fence, FenceTimer, in_flight
from .destination import TABLES, Destination
from .options import Options
from .records import Fragment, Layout, carried_name, read_fragment
from .tables import Tables
from .track import AT_REST, NO_MOTION, OK, SUCCEEDED, WORKER_LOST, TrackResult, TripResult, process_sorted

ROW_GROUP_POINTS = 1_000_000  # output points a task holds before writing them


@dataclass(frozen=True)
class Job:
    """What every task of a run is given."""

    layout: Layout
    options: Options
    source_fs: object
    destination: Destination
    max_track_points: int | None
    crs: dict | None = None  # PROJJSON of x, y input, for the GeoParquet metadata
    run: str = ""  # tells this run's items from another's on a worker that served both
    report_ids: bool = False  # summaries name their tracks (to check an input declared grouped)
    fence: Fence | None = None  # what a task checks before writing: its run still holds the folder


@dataclass(frozen=True)
class Item:
    """One task's share of the records: whole tracks, never part of one."""

    index: int
    rows: int
    fragments: tuple[Fragment, ...] = ()  # input that holds whole tracks
    bucket: str | None = None  # or a file of the grouped records (relative to the output folder)
    low: object = None  # of the fragments' records, those with low <= track id < high (None: no bound)
    high: object = None
    split: tuple[int, int] | None = None  # (k, n): the tracks whose id hashes to k modulo n

    @property
    def name(self) -> str:
        return f"part-{self.index:05d}"


def run_item(job: Job, item: Item, only=None, name: str | None = None) -> dict:
    """Runs the item's tracks (or only the track `only`) and writes its parts
    under `name` (default: the item's). Returns the summary the driver keeps."""
    with in_flight(job.run), _storage_named(job):
        _check(job)
        return _run_item(job, item, only, name)


def _run_item(job: Job, item: Item, only, name: str | None) -> dict:
    started, started_cpu = clock.perf_counter(), clock.thread_time()
    name = name or item.name
    if only is None:  # parts of an earlier attempt that ran the item track by track
        for table in TABLES:
            job.destination.remove_parts(table, item.name + "-")
        tracks = _tracks_of(job, item)
    else:  # one of many tasks of the same item, which this worker has likely read already
        tracks = [t for t in _cached_tracks(job, item) if t[0] == only]
    tables = Tables(job.layout, job.crs)
    budget = _memory_budget()
    angles = tuple(job.layout.angles)
    time_kind = "time" if job.layout.time_kind == "time" else "float"
    summary, ids, stops = Summary(), [], []
    writers = [
        job.destination.open_writer(f"{table}/{name}.parquet", schema)
        for table, schema in (("points.parquet", tables.points), ("tracks.parquet", tables.trips))
    ]
    timer = FenceTimer(job.fence)
    try:
        pending, held = [], 0
        for track_id, time, a, b, carried in tracks:
            timer.tick()  # a stopped run's task ends here, not after all its tracks
            result = process_sorted(
                track_id,
                time,
                a,
                b,
                job.layout.geographic,
                job.options,
                max_points=job.max_track_points,
                memory_budget=budget,
                carried=carried,
                angles=angles,
                time_kind=time_kind,
            )
            summary.add(result)
            ids.append(track_id.item() if hasattr(track_id, "item") else track_id)
            stops.append(result.without_points())
            pending.append(result)
            held += result.points_out
            if held >= ROW_GROUP_POINTS:  # written now, so a task never holds all its output
                _write(writers, tables, pending)
                pending, held = [], 0
        _write(writers, tables, pending)
        stops_table = tables.stops_table(stops)
        writers.append(job.destination.open_writer(f"stops.parquet/{name}.parquet", stops_table.schema))
        writers[-1].write(stops_table)
        for writer in writers:
            writer.finish()
        _check(job)  # the parts go into place only while this run holds the folder
        parts = [writer.publish() for writer in writers]
    except BaseException:
        for writer in writers:
            writer.abandon()
        raise
    result = summary.counts()
    result.update(
        index=item.index,
        parts=parts,
        seconds=clock.perf_counter() - started,
        cpu_seconds=clock.thread_time() - started_cpu,
    )
    if job.report_ids:
        result["ids"] = ids
    return result


def _write(writers, tables: Tables, results: list) -> None:
    points, trips = writers
    points.write(tables.points_table(results))
    trips.write(tables.trips_table(results))


class Summary:
    """What the driver keeps of a task: counts, never records."""

    def __init__(self):
        self.tracks_failed, self.trips_failed = collections.Counter(), collections.Counter()
        self.dropped = collections.Counter()
        self.tracks = self.tracks_done = self.trips = self.stops = self.in_stops = 0
        self.points_in = self.points_out = 0

    def add(self, r: TrackResult) -> None:
        """A track is done when a trip of it succeeded, or when it is at rest throughout."""
        done = any(t.written and t.trip is not None for t in r.trips) or any(
            t.status in (AT_REST, NO_MOTION) for t in r.trips
        )
        self.tracks += 1
        self.tracks_done += done
        if not done:
            self.tracks_failed[r.trips[0].status if r.trips else OK] += 1
        for t in r.trips:
            self.trips += t.trip is not None
            if t.status not in SUCCEEDED:
                self.trips_failed[t.status] += 1
            self.dropped.update(t.dropped)
            self.in_stops += t.records_in_stops
        self.stops += len(r.stops)
        self.points_in += r.points_in
        self.points_out += r.points_out

    def counts(self) -> dict:
        return {
            "tracks": self.tracks,
            "tracks_done": self.tracks_done,
            "tracks_failed": dict(self.tracks_failed),
            "trips": self.trips,
            "trips_failed": dict(self.trips_failed),
            "stops": self.stops,
            "dropped": dict(self.dropped),
            "in_stops": self.in_stops,
            "points_in": self.points_in,
            "points_out": self.points_out,
        }


def list_tracks(job: Job, item: Item) -> list[tuple]:
    """The item's tracks and their records, for running them one by one, after
    removing what the item's own failed task may have written."""
    with in_flight(job.run), _storage_named(job):
        _check(job)
        for table in TABLES:
            job.destination.remove_parts(table, item.name + ".")
        return [(track[0], len(track[2])) for track in _cached_tracks(job, item)]


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
    results = [
        TrackResult(
            track_id, records, trips=[TripResult(None, records=records, status=WORKER_LOST, error=message)]
        )
        for track_id, records, message in lost
    ]
    name = f"{item.name}-lost"
    tables = Tables(job.layout, job.crs)
    summary = Summary()
    for result in results:
        summary.add(result)
    counts = summary.counts()
    with in_flight(job.run), _storage_named(job):
        part = job.destination.write_table(
            f"tracks.parquet/{name}.parquet", tables.trips_table(results), fence=job.fence
        )
    counts.update(index=item.index, parts=[part], seconds=0.0, cpu_seconds=0.0)
    return counts


def _check(job: Job) -> None:
    if job.fence is not None:
        job.fence.check()


@contextlib.contextmanager
def _storage_named(job: Job):
    """A failure to reach the output's or the input's storage, as such: it
    names this worker, and the run keeps what it finished."""
    try:
        yield
    except Exception as exc:
        from .records import FleetInputError
        from .storage import is_storage_failure, storage_failure

        if isinstance(exc, FleetInputError) or not is_storage_failure(exc):
            raise
        raise storage_failure(f"{job.destination.path}: cannot use the storage", exc) from None


def _tracks_of(job: Job, item: Item):
    """(track_id, time, a, b, carried) of each track of the item, by track id,
    each in order of time (ties in input order, missing times last)."""
    frame = _read_item(job, item)
    import pandas as pd

    codes, uniques = pd.factorize(frame["track_id"], sort=True)
    time = frame["time"].to_numpy()
    order = np.lexsort((frame["_row"].to_numpy(), frame["_file"].to_numpy(), time, codes))
    offsets = np.zeros(len(uniques) + 1, dtype=np.int64)
    np.cumsum(np.bincount(codes, minlength=len(uniques)), out=offsets[1:])
    time, a, b = time[order], frame["a"].to_numpy()[order], frame["b"].to_numpy()[order]
    carried = {name: frame[carried_name(k)].to_numpy()[order] for k, name in enumerate(job.layout.carried)}
    ids = np.asarray(uniques, dtype=object) if job.layout.id_kind == "str" else np.asarray(uniques)
    for k, track_id in enumerate(ids):
        lo, hi = offsets[k], offsets[k + 1]
        yield track_id, time[lo:hi], a[lo:hi], b[lo:hi], {name: c[lo:hi] for name, c in carried.items()}


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
    if item.split is not None:
        k, n = item.split
        hashes = pd.util.hash_pandas_object(frame["track_id"], index=False).to_numpy()
        frame = frame[hashes % np.uint64(n) == np.uint64(k)].reset_index(drop=True)
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
    distributed = sys.modules.get("distributed")  # a worker has it; importing it here would cost a second
    try:
        worker = distributed.get_worker() if distributed is not None else None
    except ValueError:
        return None
    if worker is None:
        return None
    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None)
    if not limit:
        return None
    import psutil

    return limit * 0.9 - psutil.Process().memory_info().rss
