"""The output folder's life: refused when it holds a result it would
replace, cleared for --overwrite, taken up again for --resume, then committed.

While a run is going, the folder holds the parts written so far and a state
record of the items complete (rewritten atomically, at most every few
seconds); a run that ends early leaves both and no manifest, so the folder
reads as incomplete and --resume can finish it. The manifest is written last.
"""

from __future__ import annotations

import datetime
import json
import time as clock

from .destination import MANIFEST, STATE, TABLES, WORK, Destination

SAVE_EVERY_SECONDS = 2.0


class OutputRefused(ValueError):
    """The output folder holds something this run must not replace."""


class OutputFolder:
    def __init__(self, url: str, storage_options: dict | None = None):
        import fsspec

        self.url = url.rstrip("/")
        fs, path = fsspec.core.url_to_fs(self.url, **(storage_options or {}))
        self.destination = Destination(fs, path.rstrip("/"))
        self.done: dict[int, dict] = {}
        self.state: dict = {}
        self._saved = 0.0

    @property
    def fs(self):
        return self.destination.fs

    @property
    def path(self) -> str:
        return self.destination.path

    def check(self, run_key: dict, resume: bool, overwrite: bool) -> str:
        """How this run will use the folder: "fresh", "resume" or "overwrite";
        raises OutputRefused with one line when it may not."""
        d = self.destination
        if d.exists(MANIFEST):
            if overwrite:
                return "overwrite"
            raise OutputRefused(
                f"{self.url} holds the complete result of an earlier run; --overwrite replaces it"
            )
        if d.exists(STATE):
            if overwrite:
                return "overwrite"
            if not resume:
                raise OutputRefused(
                    f"{self.url} holds an interrupted run: --resume finishes it, --overwrite starts afresh"
                )
            earlier = d.read_json(STATE) or {}
            difference = _difference(earlier.get("run", {}), _as_stored(run_key))
            if difference:
                raise OutputRefused(f"{self.url}: cannot resume: {difference}")
            return "resume"
        leftovers = [name for name in TABLES + (WORK,) if d.exists(name)]
        if leftovers:
            if overwrite:
                return "overwrite"
            raise OutputRefused(
                f"{self.url} holds {', '.join(leftovers)} of an earlier run; --overwrite replaces them"
            )
        return "fresh"

    def begin(self, run_key: dict, how: str) -> dict:
        """Marks the folder as holding an incomplete run (first of all by
        removing the manifest) and returns the state to go on from."""
        d = self.destination
        if how == "resume":
            self.state = d.read_json(STATE) or {}
            self.done = {
                int(k): v
                for k, v in self.state.get("done", {}).items()
                if all(d.exists(part) for part in v["parts"])
            }
            return self.state
        if how == "overwrite":
            d.remove(MANIFEST)
            for name in TABLES + (WORK,):
                d.remove(name)
        d.fs.makedirs(d.path, exist_ok=True)
        self.state = {"run": run_key, "started": _now(), "done": {}}
        self._save()
        return self.state

    def note(self, **facts) -> None:
        """Records facts the rest of the run (and a resumed one) goes on from."""
        self.state.update(facts)
        self._save()

    def item_done(self, summary: dict) -> None:
        self.done[summary["index"]] = summary
        if clock.monotonic() - self._saved >= SAVE_EVERY_SECONDS:
            self._save()

    def save(self) -> bool:
        """Saves the state of a run that stops; False (and the state saved
        last stays) if the storage cannot take it now."""
        if not self.state:
            return True
        try:
            self._save()
        except Exception:
            return False
        return True

    def _save(self) -> None:
        self.state["done"] = {str(k): v for k, v in sorted(self.done.items())}
        self.destination.write_json(STATE, self.state)
        self._saved = clock.monotonic()

    def commit(self, manifest: dict) -> None:
        """Writes the manifest (the result is complete from then on), then
        clears the run's scratch."""
        parts = sorted(p for summary in self.done.values() for p in summary["parts"])
        manifest = dict(
            manifest, complete=True, finished=_now(), started=self.state.get("started"), parts=parts
        )
        for table in TABLES:  # what tasks cut short by a dead worker or an interrupt left
            self.destination.remove_parts_except(table, set(parts))
        self.destination.write_json(MANIFEST, manifest)
        self.destination.remove(WORK)

    def discard(self) -> None:
        """Removes everything this run wrote (an input found unusable while
        reading): no table of it stays to be taken for a result."""
        for name in TABLES + (WORK,):
            self.destination.remove(name)


def _difference(earlier: dict, now: dict) -> str:
    """What differs between the key of the interrupted run and this one's,
    as the user would name it (the flag of a setting), or ""."""
    from .options import SETTINGS

    if earlier.get("fingerprint") != now["fingerprint"]:
        return "the input differs from the interrupted run"
    before, after = earlier.get("settings", {}), now["settings"]
    # the preset first (it sets others), then in the order the settings are declared
    order = ["preset"] + [name for name in SETTINGS if name != "preset"]
    for name in sorted(set(before) | set(after), key=lambda n: order.index(n) if n in order else len(order)):
        if before.get(name) != after.get(name):
            flag = SETTINGS[name].flag if name in SETTINGS else name
            then, now_ = _shown(before.get(name)), _shown(after.get(name))
            return f"{flag} differs from the interrupted run ({then} then, {now_} now)"
    for key in now:
        if earlier.get(key) != now[key]:
            return f"{key.replace('_', ' ')} differs from the interrupted run"
    return ""


def _shown(value) -> str:
    if value is None:
        return "not given"
    if isinstance(value, list):
        return ",".join(map(str, value)) or "none"
    if isinstance(value, dict):
        return ",".join(f"{k}={v}" for k, v in value.items()) or "none"
    return str(value)


def _as_stored(value: dict) -> dict:
    """The key as the state file gives it back (tuples become lists)."""
    return json.loads(json.dumps(value, sort_keys=True, default=str))


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
