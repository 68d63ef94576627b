"""run(): plan the input on the driver, gather each track's records on the
workers where the input does not already hold them together, run the tracks
in tasks that read and write their own parts, then commit the output folder.

The driver holds the plan (a few hundred bytes per input fragment) and a
summary of a few numbers per task, never records: its memory does not grow
with the number of points.
"""

from __future__ import annotations

import contextlib
import logging
import math
import time as clock
import warnings

from .claim import Fenced, FolderBusy, FolderClaim, new_run_id
from .destination import TABLES
from .engine import FleetEngineError, open_engine
from .grouping import bucket_name, group_records
from .geoparquet import projjson
from .options import ROW_SETTINGS, RUN_SETTINGS, SETTINGS, TRACK_SETTINGS, Options, takes_settings
from .output_folder import OutputFolder
from .progress import ProgressBar
from .records import FleetInputError
from .sources import Share, plan_input
from .storage import FleetStorageError, first_line, is_storage_failure
from .summary import RunSummary
from .presets import preset_named
from .runner import ItemRunner, merge_summaries
from .work import Item, Job

# Tasks by default: about TASKS_PER_SLOT per worker thread, so that workers
# finish close together, but never so small that a task's own costs (reading
# and writing its parts) weigh, nor so large that a failure costs much.
TASKS_PER_SLOT = 4
MIN_BATCH_POINTS = 20_000
MAX_BATCH_POINTS = 200_000
# A floor on any task's size, --batch-points included: below it a task's own
# costs (a process hop, reading, three files written) outweigh its tracks.
MIN_TASK_POINTS = 1_000
# An input of at most this many records runs in this process unless workers,
# a scheduler or a client are given: it is done before a cluster would be up.
IN_PROCESS_POINTS = 50_000
# A single fragment is read by this many tasks at most, each keeping a share
# of its tracks; more tasks than that shuffle instead.
MAX_SPLIT_READS = 8
# How long a stopped run waits for its tasks still running on the workers:
# before emptying the folder, long enough for any task to notice its fence.
SETTLE_SECONDS = 10.0
SETTLE_SECONDS_DISCARD = 60.0
CSV_BYTES_PER_RECORD = 40  # for sizing the buckets of a CSV input, whose footers tell no count
log = logging.getLogger("velmora_fleet")


@takes_settings(TRACK_SETTINGS + RUN_SETTINGS)
def run(input: str, out: str, *, client=None, storage_options: dict | None = None, **settings) -> RunSummary:
    """Runs every track of `input` (Parquet or CSV: a file, a folder, a glob,
    any fsspec URL) and writes the folders points.parquet, tracks.parquet
    (a row per trip) and stops.parquet (one part per task each, GeoParquet)
    and a manifest into the folder `out`.

    The engine is, in order of precedence: the given dask.distributed `client`;
    a cluster at `scheduler`; `workers=0`, a plain loop in this process; an
    embedded LocalCluster with `workers` processes; or, without any of them,
    this process for a small input and else an embedded cluster of one
    worker per core. The input is checked completely before any engine
    starts. A `preset` sets columns and settings for a kind of recording;
    settings given here win over it. `storage_options` go to fsspec for the
    input and the output, on the driver and on every worker."""
    values = resolved_settings(settings)
    if values["workers"] is not None and values["scheduler"] is not None:
        raise ValueError("give workers or scheduler, not both")
    if values["resume"] and values["overwrite"]:
        raise ValueError("give resume or overwrite, not both")
    options = Options(**{s.name: values[s.name] for s in TRACK_SETTINGS})
    crs = projjson(values["crs"])
    storage = storage_options or {}
    started = clock.perf_counter()

    folder = OutputFolder(out, storage)
    preset = preset_named(values["preset"]) if values["preset"] else None
    carry = tuple(c for c in values["carry"] if c not in values["carry_angles"])
    plan = plan_input(
        input,
        storage,
        values["columns"],
        out_path=folder.path,
        time_format=values["time_format"],
        grouped=values["grouped"],
        carry=carry,
        angles=values["carry_angles"],
        preset=preset,
        carry_if_present=not ({"carry", "carry_angles"} & set(settings)),
    )
    small = plan.estimated_points(CSV_BYTES_PER_RECORD) <= IN_PROCESS_POINTS
    in_process = (
        client is None
        and values["scheduler"] is None
        and (values["workers"] == 0 or (values["workers"] is None and small))
    )
    for fs in (plan.fs, folder.fs):
        if not in_process and "memory" in _protocols(fs):
            raise FleetEngineError(
                "memory:// is seen by this process alone, not by Dask's workers: "
                "give workers=0, or a filesystem every worker reaches"
            )
    run_key = _run_key(plan, values)
    claim = FolderClaim(folder.destination, folder.url, new_run_id())
    claim.acquire()
    try:
        how = folder.check(run_key, values["resume"], values["overwrite"])
        plan_seconds = clock.perf_counter() - started
        with (
            _quieted(values["quiet"]),
            open_engine(
                client,
                values["scheduler"],
                values["workers"],
                values["wait_workers"],
                values["dashboard"],
                log.warning,
                small=small,
            ) as engine,
        ):
            start_seconds = clock.perf_counter() - started - plan_seconds
            state = folder.begin(run_key, how)
            claim.keep_folder()
            job = Job(
                plan.layout,
                options,
                plan.fs,
                folder.destination,
                values["max_track_points"],
                crs=crs,
                run=claim.run,
                report_ids=values["grouped"],
                fence=claim.fence,
            )
            try:
                group_started = clock.perf_counter()
                # a resumed run keeps the task size its first part chose (from that run's cluster)
                batch_points = state.get("batch_points") or max(
                    MIN_TASK_POINTS, values["batch_points"] or _batch_points(plan, engine.slots)
                )
                shares = _shares(plan, batch_points) if "buckets" not in state else None
                folder.note(batch_points=batch_points, grouped_input=shares is not None)
                items = _items(engine, plan, job, folder, shares, batch_points)
                group_seconds = clock.perf_counter() - group_started
                bar = ProgressBar(sum(i.rows for i in items), values["progress"] and not values["quiet"])
                try:
                    ran = ItemRunner(engine, job, folder, bar, check_ids=values["grouped"]).run(items)
                finally:
                    bar.close()
            except BaseException as exc:
                raise _stopped(exc, engine, claim, folder) from exc
            totals = merge_summaries(folder.done.values())
            description = engine.description
            manifest = {"format": 1, "input": input, "run": run_key, "engine": description, **totals}
            claim.check()  # still this run's folder: no other run took it over meanwhile
            folder.commit(manifest)
    finally:
        claim.release()
    return RunSummary(
        tracks=totals.get("tracks", 0),
        tracks_failed=totals.get("tracks_failed", {}),
        points_in=totals.get("points_in", 0),
        points_out=totals.get("points_out", 0),
        seconds=clock.perf_counter() - started,
        read_seconds=plan_seconds,
        start_seconds=start_seconds,
        group_seconds=group_seconds,
        task_seconds=totals.get("seconds", 0.0),
        task_cpu_seconds=totals.get("cpu_seconds", 0.0),
        tasks=len(items),
        engine=description,
        outputs=tuple(f"{folder.url}/{name}" for name in TABLES),
        mode="grouped input" if shares is not None else "shuffled",
        resumed=len(items) - ran,
        trips=totals.get("trips", 0),
        trips_failed=totals.get("trips_failed", {}),
        stops=totals.get("stops", 0),
        records_dropped=totals.get("dropped", {}),
        records_in_stops=totals.get("in_stops", 0),
        columns=plan.describe_columns(),
    )


def _run_key(plan, values: dict) -> dict:
    """What the rows of a run depend on: the input as listed, and every
    setting but those declared not to change a row (options.py), as the user
    gave or the preset set them; then the columns and carried columns they
    resolved to. --resume goes on only under the same key."""
    return {
        "fingerprint": plan.fingerprint,
        "settings": {s.name: values[s.name] for s in ROW_SETTINGS},
        "columns": plan.layout.columns,
        "carried": list(plan.layout.carried),
        "angles": list(plan.layout.angles),
        "time_kind": plan.layout.time_kind,
    }


def _stopped(exc: BaseException, engine, claim: FolderClaim, folder: OutputFolder) -> BaseException:
    """Ends a run that stops early, whatever stopped it, so that nothing of
    it is written afterwards: its tasks are told to stop (the claim says so),
    those still running on the workers are waited for, and only then is the
    folder emptied (input that cannot be used) or its state kept for
    --resume (an interrupt, a failure of the storage or of the cluster).
    Returns the exception to raise."""
    with contextlib.suppress(Exception):
        claim.stopping()
    discard = isinstance(exc, FleetInputError)
    settled = engine.settle(claim.run, SETTLE_SECONDS_DISCARD if discard else SETTLE_SECONDS)
    if not settled:
        log.warning("tasks of this run still ran on the workers; they are fenced off from the output")
    if discard:
        folder.discard()
        return exc
    saved = folder.save()
    if isinstance(exc, Fenced) or claim.lost:
        return FolderBusy(
            f"{folder.url}: another run took the folder over; this run stopped without committing"
        )
    if isinstance(exc, FleetStorageError) or (isinstance(exc, Exception) and is_storage_failure(exc)):
        kept = (
            f"; {folder.url} keeps the {len(folder.done):,} finished tasks' parts: --resume finishes the run"
            if saved
            else "; the storage did not take the run's state: --resume finishes the run from its last save"
        )
        return FleetStorageError(first_line(_storage_cause(exc)) + kept)
    return exc


def _storage_cause(exc: BaseException) -> BaseException:
    """The error that names the file and the worker, where Dask wrapped it
    (a shuffle reports its tasks' errors as its own)."""
    seen, cause = set(), exc
    while cause is not None and id(cause) not in seen:
        if isinstance(cause, FleetStorageError):
            return cause
        seen.add(id(cause))
        cause = cause.__cause__ or cause.__context__
    return exc


def _shares(plan, batch_points: int) -> list | None:
    """The shares the input already holds whole tracks in, if known. A single
    small fragment (one CSV file, one Parquet file of a few row groups) holds
    every track whole by itself: its tasks each read it and keep the tracks
    whose id hashes to their share, which costs a few reads of a small file
    instead of a shuffle."""
    shares = plan.shares(batch_points)
    if shares is None and len(plan.fragments) == 1:
        rows = plan.estimated_points(CSV_BYTES_PER_RECORD)
        count = math.ceil(rows / batch_points)
        if rows <= MAX_BATCH_POINTS and count <= MAX_SPLIT_READS:
            shares = [Share(tuple(plan.fragments), None, None, rows // count) for _ in range(count)]
            shares = [(share, (k, count)) for k, share in enumerate(shares)]
    return shares


def resolved_settings(given: dict) -> dict:
    """Every setting's value: given, else the preset's, else the default; each checked."""
    preset_name = SETTINGS["preset"].check(given.get("preset"))
    from_preset = preset_named(preset_name).settings if preset_name else {}
    return {
        s.name: s.check(given[s.name] if s.name in given else from_preset.get(s.name, s.default))
        for s in TRACK_SETTINGS + RUN_SETTINGS
    }


def _protocols(fs) -> tuple:
    return (fs.protocol,) if isinstance(fs.protocol, str) else tuple(fs.protocol)


def _batch_points(plan, slots: int) -> int:
    per_task = math.ceil(plan.estimated_points(CSV_BYTES_PER_RECORD) / (TASKS_PER_SLOT * slots))
    return min(MAX_BATCH_POINTS, max(MIN_BATCH_POINTS, per_task))


def _items(
    engine, plan, job: Job, folder: OutputFolder, shares: list | None, batch_points: int
) -> list[Item]:
    """The tasks' shares of the records: the shares the input already holds
    whole tracks in, or else the buckets of the grouped records (grouped now,
    or by the run this one resumes)."""
    if shares is not None:
        return [
            Item(k, share.rows, share.fragments, low=share.low, high=share.high, split=split)
            for k, (share, split) in enumerate(s if isinstance(s, tuple) else (s, None) for s in shares)
        ]
    if "buckets" not in folder.state:
        buckets = max(1, math.ceil(plan.estimated_points(CSV_BYTES_PER_RECORD) / batch_points))
        log.info("grouping the records of %d files into %d buckets by track", plan.files, buckets)
        found = group_records(engine, plan.fragments, plan.layout, plan.fs, job.destination, buckets, job)
        if not found:
            raise FleetInputError(f"{plan.url}: holds no point records")
        folder.note(buckets=found)
    return [Item(b, n, bucket=bucket_name(b)) for b, n in folder.state["buckets"]]


@contextlib.contextmanager
def _quieted(quiet: bool):
    """--quiet: none of Dask's own warnings (its loggers and warnings.warn)."""
    if not quiet:
        yield
        return
    loggers = [logging.getLogger(name) for name in ("distributed", "dask", "bokeh", "tornado")]
    levels = [logger.level for logger in loggers]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for logger in loggers:
            logger.setLevel(logging.ERROR)
        try:
            yield
        finally:
            for logger, level in zip(loggers, levels):
                logger.setLevel(level)


__all__ = ["run"]
