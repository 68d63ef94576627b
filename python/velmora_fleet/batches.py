"""Groups of whole tracks, the unit of work sent to a worker.

A task costs the scheduler and the wire about a millisecond whatever its
size, while a track of a few hundred points takes a few milliseconds to
process, so tracks travel in batches of many thousand points. Batch sizes
shrink as the run goes on (each takes a share of what is left), so the
workers start on large batches and finish on small ones at about the same
time, instead of one worker waiting on another's last large batch.
"""
from __future__ import annotations

import time as clock
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from .options import Options
from .track import process_sorted

if TYPE_CHECKING:  # reading needs pandas, which a worker does not
    from .reading import Fleet

MIN_BATCH_POINTS = 5_000
MAX_BATCH_POINTS = 50_000
SHARE_OF_REST = 2  # a batch takes 1 / (SHARE_OF_REST * workers) of the points left


@dataclass
class Batch:
    """Consecutive tracks of a fleet, with the arrays they need and nothing else."""

    index: int
    track_ids: np.ndarray
    offsets: np.ndarray  # relative to this batch's arrays
    time: np.ndarray
    a: np.ndarray
    b: np.ndarray
    geographic: bool
    options: Options


@dataclass
class BatchResult:
    """Per point (all tracks of the batch, in order) and per track columns."""

    index: int
    s: np.ndarray
    x: np.ndarray
    y: np.ndarray
    curvature: np.ndarray
    tracks: dict  # column name -> array, one entry per track
    seconds: float  # time spent processing, measured inside the task
    cpu_seconds: float  # the processor time of that, which other load on the machine does not inflate


def split(fleet: "Fleet", options: Options, workers: int, points_per_batch: int | None = None) -> list[Batch]:
    """Cuts the fleet at track boundaries into batches of about points_per_batch
    points each, or by default of shrinking sizes for this many workers."""
    offsets = fleet.offsets
    batches, first = [], 0
    while first < fleet.tracks:
        size = points_per_batch
        if size is None:
            rest = int(offsets[-1] - offsets[first])
            size = min(MAX_BATCH_POINTS, max(MIN_BATCH_POINTS, rest // (SHARE_OF_REST * max(1, workers))))
        # the first track boundary at or past the target, at least one track
        last = int(np.searchsorted(offsets, offsets[first] + size, side="left"))
        last = min(max(last, first + 1), fleet.tracks)
        lo, hi = offsets[first], offsets[last]
        batches.append(Batch(len(batches), fleet.track_ids[first:last], offsets[first:last + 1] - lo,
                             fleet.time[lo:hi], fleet.a[lo:hi], fleet.b[lo:hi], fleet.geographic, options))
        first = last
    return batches


def process_batch(batch: Batch) -> BatchResult:
    started, started_cpu = clock.perf_counter(), clock.thread_time()
    results = []
    for k, track_id in enumerate(batch.track_ids):
        lo, hi = batch.offsets[k], batch.offsets[k + 1]
        results.append(process_sorted(track_id, batch.time[lo:hi], batch.a[lo:hi], batch.b[lo:hi],
                                      batch.geographic, batch.options))

    def joined(name):
        parts = [getattr(r, name) for r in results]
        return np.concatenate(parts) if parts else np.empty(0)

    tracks = {
        "track_id": batch.track_ids,
        "points_in": np.array([r.points_in for r in results], dtype=np.int64),
        "points_flagged": np.array([r.points_flagged for r in results], dtype=np.int64),
        "points_removed": np.array([r.points_removed for r in results], dtype=np.int64),
        "points_out": np.array([r.points_out for r in results], dtype=np.int64),
        "length": np.array([r.length for r in results], dtype=np.float64),
        "status": np.array([r.status for r in results], dtype=object),
        "error": np.array([r.error for r in results], dtype=object),
        "origin_lon": np.array([r.origin_lon for r in results], dtype=np.float64),
        "origin_lat": np.array([r.origin_lat for r in results], dtype=np.float64),
    }
    return BatchResult(batch.index, joined("s"), joined("x"), joined("y"), joined("curvature"), tracks,
                       clock.perf_counter() - started, clock.thread_time() - started_cpu)
