"""Running the items, so that a track that takes its worker down fails alone.

A task whose worker dies is run once more by Dask; if that worker dies too
(KilledWorker), its item is run again one track per task. Dask counts a
death against every task its worker held, running or queued, so a track
whose task died may only have been beside the culprit: each such suspect is
run once more with nothing else on the cluster, and only a suspect that
takes its worker down again (twice, alone) gets the status worker_lost.
"""

from __future__ import annotations

import logging
import re

from .engine import FleetEngineError, WorkerLost
from .output_folder import OutputFolder
from .progress import ProgressBar
from .records import FleetInputError
from .work import Item, Job, list_tracks, run_item, write_lost

SAFE_TASK_ATTEMPTS = (
    3  # listing an item's tracks or writing its lost rows: runs no track, so only a bystander
)
log = logging.getLogger("velmora_fleet")


class ItemRunner:
    def __init__(self, engine, job: Job, folder: OutputFolder, bar: ProgressBar, check_ids: bool):
        self.engine, self.job, self.folder, self.bar, self.check_ids = engine, job, folder, bar, check_ids
        self.split: dict[int, dict] = {}  # item run track by track -> its outcomes so far
        self.suspects: list[tuple] = []
        self.seen_ids: dict = {}

    def run(self, items: list[Item]) -> int:
        """Runs every item not yet complete, largest first; returns how many."""
        for summary in self.folder.done.values():
            self.bar.advance(summary["points_in"])
        todo = sorted((i for i in items if i.index not in self.folder.done), key=lambda i: -i.rows)
        tasks = self.engine.tasks()
        for item in todo:
            tasks.add(("item", item), run_item, self.job, item)
        self._drain(tasks)
        while self.suspects:
            tasks = self.engine.tasks()
            item, track_id, records, name = self.suspects.pop(0)
            tasks.add(("solo", item, track_id, records), run_item, self.job, item, track_id, name)
            self._drain(tasks)
        return len(todo)

    def _drain(self, tasks) -> None:
        try:
            for tag, outcome in tasks:
                self._handle(tasks, tag, outcome)
        except BaseException:
            tasks.cancel()
            raise

    def _handle(self, tasks, tag: tuple, outcome) -> None:
        kind, item = tag[0], tag[1]
        lost = isinstance(outcome, WorkerLost)
        log.debug("%s %s %s: %s", kind, item.name, tag[2:4], "lost" if lost else type(outcome).__name__)
        if isinstance(outcome, BaseException) and not lost:
            raise outcome
        if kind == "item":
            if lost:
                log.warning("a worker died twice running %s: running its tracks one by one", item.name)
                tasks.add(("list", item, 1), list_tracks, self.job, item)
            else:
                self._done(outcome)
        elif kind in ("list", "lost") and lost:
            if tag[2] >= SAFE_TASK_ATTEMPTS:
                raise FleetEngineError(
                    f"workers keep dying while {kind}ing the tracks of {item.name}: {outcome}"
                )
            function = list_tracks if kind == "list" else write_lost
            tasks.add((kind, item, tag[2] + 1), function, self.job, item, *tag[3:])
        elif kind == "list":
            state = self.split[item.index] = {
                "left": len(outcome),
                "suspects": 0,
                "lost": [],
                "summaries": [],
            }
            for k, (track_id, records) in enumerate(outcome):
                tasks.add(
                    ("track", item, track_id, records, f"{item.name}-{k:05d}"),
                    run_item,
                    self.job,
                    item,
                    track_id,
                    f"{item.name}-{k:05d}",
                )
            if not outcome:
                self._finish(tasks, item)
        elif kind == "track":
            state = self.split[item.index]
            state["left"] -= 1
            if lost:
                state["suspects"] += 1
                self.suspects.append((item, tag[2], tag[3], tag[4]))
            else:
                state["summaries"].append(outcome)
            if not state["left"] and not state["suspects"]:
                self._finish(tasks, item)
        elif kind == "solo":
            state = self.split[item.index]
            state["suspects"] -= 1
            if lost:
                state["lost"].append((tag[2], tag[3], _lost_message(tag[3], outcome)))
            else:
                state["summaries"].append(outcome)
            if not state["suspects"]:
                self._finish(tasks, item)
        elif kind == "lost":
            self.split[item.index]["summaries"].append(outcome)
            self._done(_merged(item, self.split.pop(item.index)["summaries"]))

    def _finish(self, tasks, item: Item) -> None:
        state = self.split[item.index]
        if state["lost"]:
            tasks.add(("lost", item, 1, state["lost"]), write_lost, self.job, item, state["lost"])
        else:
            self._done(_merged(item, self.split.pop(item.index)["summaries"]))

    def _done(self, summary: dict) -> None:
        ids = summary.pop("ids", None)
        if self.check_ids and ids:
            for track_id in ids:
                if self.seen_ids.setdefault(track_id, summary["index"]) != summary["index"]:
                    raise FleetInputError(
                        f"track {track_id!r} has records in more than one file, so the input "
                        "is not grouped by track: run without --grouped"
                    )
        self.folder.item_done(summary)
        self.bar.advance(summary["points_in"])


def _merged(item: Item, summaries: list[dict]) -> dict:
    """One summary of an item run in several tasks."""
    merged = merge_summaries(summaries)
    merged["index"] = item.index
    merged.setdefault("parts", [])
    return merged


def merge_summaries(summaries) -> dict:
    """Numbers add up, counts by name add up by name, lists join."""
    merged = {}
    for summary in summaries:
        for key, value in summary.items():
            if key == "index":
                continue
            if isinstance(value, dict):
                into = merged.setdefault(key, {})
                for name, count in value.items():
                    into[name] = into.get(name, 0) + count
            elif isinstance(value, list):
                merged[key] = merged.get(key, []) + value
            else:
                merged[key] = merged.get(key, 0) + value
    return merged


def _lost_message(records: int, lost: WorkerLost) -> str:
    worker = re.search(r"tcp://[\w.\-\[\]:]+:\d+", str(lost))
    return (
        f"its worker died twice while running it ({records:,} records): a memory limit or a crash "
        f"in native code" + (f"; the last was {worker.group(0)}" if worker else "")
    )
