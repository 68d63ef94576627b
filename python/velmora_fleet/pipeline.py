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
import uuid
import warnings

from .destination import TABLES
from .engine import FleetEngineError, open_engine
from .grouping import bucket_name, group_records
from .geoparquet import projjson
from .options import RUN_SETTINGS, SETTINGS, TRACK_SETTINGS, Options, takes_settings
from .output_folder import OutputFolder
from .progress import ProgressBar
from .records import FleetInputError
from .sources import plan_input
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
CSV_BYTES_PER_RECORD = 40  # for sizing the buckets of a CSV input, whose footers tell no count
log = logging.getLogger("velmora_fleet")


@takes_settings(TRACK_SETTINGS + RUN_SETTINGS)
def run(input: str, out: str, *, client=None, storage_options: dict | None = None, **settings) -> RunSummary:
    """Runs every track of `input` (Parquet or CSV: a file, a folder, a glob,
    any fsspec URL) and writes the folders points.parquet, tracks.parquet
    (a row per trip) and stops.parquet (one part per task each, GeoParquet)
    and a manifest into the folder `out`.

    The engine is, in order of precedence: the given dask.distributed `client`;
    a cluster at `scheduler`; `workers=0`, a plain loop in this process; or an
    embedded LocalCluster with `workers` processes (default: one per core).
    The input is checked completely before any engine starts. A `preset`
    sets columns and settings for a kind of recording; settings given here
    win over it."""
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
    in_process = client is None and values["scheduler"] is None and values["workers"] == 0
    for fs in (plan.fs, folder.fs):
        if not in_process and "memory" in _protocols(fs):
            raise FleetEngineError(
                "memory:// is seen by this process alone, not by Dask's workers: "
                "give workers=0, or a filesystem every worker reaches"
            )
    run_key = {
        "fingerprint": plan.fingerprint,
        "columns": plan.layout.columns,
        "settings": vars(options),
        "carried": list(plan.layout.carried),
        "batch_points": values["batch_points"],
        "grouped": values["grouped"],
        "crs": values["crs"],
    }
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
        ) as engine,
    ):
        start_seconds = clock.perf_counter() - started - plan_seconds
        state = folder.begin(run_key, how)
        job = Job(
            plan.layout,
            options,
            plan.fs,
            folder.destination,
            values["max_track_points"],
            crs=crs,
            run=uuid.uuid4().hex,
            report_ids=values["grouped"],
        )
        try:
            group_started = clock.perf_counter()
            # a resumed run keeps the task size its first part chose (from that run's cluster)
            batch_points = (
                state.get("batch_points") or values["batch_points"] or _batch_points(plan, engine.slots)
            )
            shares = plan.shares(batch_points) if "buckets" not in state else None
            folder.note(batch_points=batch_points, grouped_input=shares is not None)
            items = _items(engine, plan, job, folder, shares, batch_points)
            group_seconds = clock.perf_counter() - group_started
            bar = ProgressBar(sum(i.rows for i in items), values["progress"] and not values["quiet"])
            try:
                ran = ItemRunner(engine, job, folder, bar, check_ids=values["grouped"]).run(items)
            finally:
                bar.close()
        except FleetInputError:
            folder.discard()
            raise
        except BaseException:
            folder.save()
            raise
        totals = merge_summaries(folder.done.values())
        description = engine.description
        manifest = {"format": 1, "input": input, "run": run_key, "engine": description, **totals}
        folder.commit(manifest)
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
            Item(k, share.rows, share.fragments, low=share.low, high=share.high)
            for k, share in enumerate(shares)
        ]
    if "buckets" not in folder.state:
        buckets = max(1, math.ceil(plan.estimated_points(CSV_BYTES_PER_RECORD) / batch_points))
        log.info("grouping the records of %d files into %d buckets by track", plan.files, buckets)
        found = group_records(engine, plan.fragments, plan.layout, plan.fs, job.destination, buckets)
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
