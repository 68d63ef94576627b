"""run(): read and check the input, spread batches of tracks over Dask
workers (or a plain loop in this process), write the output folder."""
from __future__ import annotations

import collections
import contextlib
import logging
import os
import time as clock
from typing import Iterator

import pyarrow as pa

from .batches import Batch, BatchResult, process_batch, split
from .options import Options
from .progress import ProgressBar
from .reading import read_fleet
from .summary import RunSummary
from .track import OK
from .writing import OutputFolder

CONNECT_TIMEOUT = "10s"


def run(input: str, out: str, *, workers: int | None = None, scheduler: str | None = None, client=None,
        max_deviation: float = 1.0, spacing: float = 1.0, max_rmse: float = 0.15, sus_angle: float = 2.8,
        batch_points: int | None = None, progress: bool = False,
        storage_options: dict | None = None) -> RunSummary:
    """Runs every track of `input` (Parquet or CSV, any fsspec URL) and writes
    points.parquet and tracks.parquet into the folder `out`.

    The engine is, in order of precedence: the given dask.distributed `client`;
    a cluster at `scheduler`; `workers=0`, a plain loop in this process; or an
    embedded LocalCluster with `workers` processes (default: one per core).
    The input is checked completely before any engine starts."""
    options = Options(max_deviation, spacing, max_rmse, sus_angle).check()
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 0):
        raise ValueError(f"workers must be an integer of at least 0, got {workers!r}")
    if batch_points is not None and (not isinstance(batch_points, int) or batch_points < 1):
        raise ValueError(f"batch_points must be a positive integer, got {batch_points!r}")
    started = clock.perf_counter()
    fleet = read_fleet(input, storage_options)
    read_seconds = clock.perf_counter() - started

    with _engine(client, scheduler, workers) as (submit_all, engine, parallelism):
        start_seconds = clock.perf_counter() - started - read_seconds
        batches = split(fleet, options, parallelism, batch_points)
        id_type = pa.array(fleet.track_ids[:1]).type
        folder = OutputFolder(out, id_type, storage_options)
        bar = ProgressBar(fleet.points, progress)
        failed: collections.Counter[str] = collections.Counter()
        points_out = task_seconds = task_cpu_seconds = 0
        try:
            for result in submit_all(batches):
                folder.add(result)
                statuses = result.tracks["status"]
                failed.update(s for s in statuses if s != OK)
                points_out += len(result.s)
                task_seconds += result.seconds
                task_cpu_seconds += result.cpu_seconds
                bar.advance(int(result.tracks["points_in"].sum()))
        except BaseException:
            folder.abandon()
            raise
        finally:
            bar.close()
        outputs = folder.close()
    return RunSummary(fleet.tracks, dict(failed), fleet.points, points_out, clock.perf_counter() - started,
                      read_seconds, start_seconds, task_seconds, task_cpu_seconds, len(batches), engine, outputs)


def _in_process(batches: list[Batch]) -> Iterator[BatchResult]:
    for batch in batches:
        yield process_batch(batch)


def _on_client(client):
    from dask.distributed import as_completed

    def submit_all(batches: list[Batch]) -> Iterator[BatchResult]:
        # pure=False: each batch is new work; hashing its arrays for a key would only cost time
        futures = [client.submit(process_batch, batch, pure=False) for batch in batches]
        try:
            for future in as_completed(futures):
                yield future.result()
                future.release()
        finally:
            for future in futures:
                future.cancel()

    return submit_all


@contextlib.contextmanager
def _engine(client, scheduler: str | None, workers: int | None):
    """Yields (submit_all, description, parallelism) and closes what it opened."""
    if client is not None:
        yield _on_client(client), _describe(client), _slots(client)
        return
    if scheduler is None and workers == 0:
        yield _in_process, "this process (no Dask)", 1
        return
    from dask.distributed import Client

    if scheduler is not None:
        with Client(scheduler, timeout=CONNECT_TIMEOUT) as remote:
            yield _on_client(remote), _describe(remote), _slots(remote)
        return
    count = workers or _cores()
    with local_cluster(count) as cluster, Client(cluster) as local:
        yield _on_client(local), _describe(local), count


def local_cluster(workers: int | None = None):
    """The embedded engine: a LocalCluster on the loopback interface with one
    single-threaded worker process per core (the module holds the interpreter
    lock for the whole of every call, so threads in a worker would not help)."""
    import dask
    from dask.distributed import LocalCluster

    # The workers' sampling profiler costs about one per cent of a core each,
    # for a dashboard that the embedded cluster does not serve. Dask also
    # starts workers with MALLOC_TRIM_THRESHOLD_ set, which turns off glibc's
    # adaptive mmap threshold: every large vector of a solve is then mapped and
    # unmapped afresh, about 15 % more processor time per track here.
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", default={}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    with dask.config.set({"distributed.worker.profile.enabled": False,
                          "distributed.nanny.pre-spawn-environ": environ}):
        return LocalCluster(n_workers=workers or _cores(), threads_per_worker=1, processes=True,
                            host="127.0.0.1", dashboard_address=None, silence_logs=logging.ERROR)


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _worker_count(client) -> int:
    return len(client.nthreads())


def _slots(client) -> int:
    """Tasks the cluster runs at once, for sizing the batches."""
    return max(1, sum(client.nthreads().values()))


def _describe(client) -> str:
    count = _worker_count(client)
    return f"Dask at {client.scheduler.address} with {count} worker{'s' if count != 1 else ''}"


__all__ = ["run"]
