"""Where a run's files go, as every task sees it: each part is written under
a hidden temporary name and renamed into place once complete, so a reader
(and a resumed run) never takes a half-written file for a part."""

from __future__ import annotations

import json
import uuid
from dataclasses import dataclass

MANIFEST = "_velmora_run.json"  # written last: its presence says the result is complete
WORK = "_velmora_work"  # the run's own state and scratch data, gone once the run is complete
STATE = f"{WORK}/state.json"
GROUPS = f"{WORK}/groups"  # the input's records grouped by track, a file per bucket
TABLES = ("points.parquet", "tracks.parquet", "stops.parquet")


@dataclass(frozen=True)
class Destination:
    fs: object  # an fsspec filesystem (they pickle, so every worker gets the same)
    path: str

    def join(self, *names: str) -> str:
        return "/".join([self.path.rstrip("/"), *names])

    def write_table(self, name: str, table, row_group_rows: int | None = None, fence=None) -> str:
        """Writes an Arrow table to `name` (relative to the folder) atomically;
        with a fence, only while the fence lets this run write."""
        import pyarrow.parquet as pq

        final = self.join(name)
        folder, _, base = final.rpartition("/")
        temporary = f"{folder}/.{base}.{uuid.uuid4().hex}.tmp"
        self.fs.makedirs(folder, exist_ok=True)
        try:
            with self.fs.open(temporary, "wb") as fh:
                pq.write_table(table, fh, row_group_size=row_group_rows)
            if fence is not None:
                fence.check()
            self.fs.mv(temporary, final)
        except BaseException:
            self._remove_quietly(temporary)
            raise
        return name

    def open_writer(self, name: str, schema):
        return PartWriter(self, name, schema)

    def write_json(self, name: str, value: dict) -> None:
        final = self.join(name)
        folder, _, base = final.rpartition("/")
        temporary = f"{folder}/.{base}.{uuid.uuid4().hex}.tmp"
        self.fs.makedirs(folder, exist_ok=True)
        with self.fs.open(temporary, "w") as fh:
            json.dump(value, fh, indent=1, sort_keys=True, default=str)
        self.fs.mv(temporary, final)

    def read_json(self, name: str) -> dict | None:
        try:
            with self.fs.open(self.join(name), "r") as fh:
                return json.load(fh)
        except FileNotFoundError:
            return None

    def exists(self, name: str) -> bool:
        return self.fs.exists(self.join(name))

    def remove_parts(self, table: str, prefix: str) -> None:
        """Removes the parts of `table` whose names start with `prefix`: what an
        earlier, unfinished attempt at the same work may have left."""
        folder = self.join(table)
        try:
            names = self.fs.ls(folder, detail=False)
        except FileNotFoundError:
            return
        for path in names:
            if path.rstrip("/").rpartition("/")[2].startswith(prefix):
                self._remove_quietly(path)

    def remove_parts_except(self, table: str, keep: set) -> None:
        """Removes every file of `table` not named in `keep` (names relative to
        the folder): what tasks cut short or stopped left, so that the folder
        holds exactly the parts its manifest lists."""
        folder = self.join(table)
        try:
            names = self.fs.ls(folder, detail=False)
        except FileNotFoundError:
            return
        for path in names:
            if f"{table}/{path.rstrip('/').rpartition('/')[2]}" not in keep:
                self._remove_quietly(path)

    def remove(self, name: str) -> None:
        path = self.join(name)
        if self.fs.exists(path):
            self.fs.rm(path, recursive=True)

    def _remove_quietly(self, path: str) -> None:
        try:
            self.fs.rm(path)
        except (FileNotFoundError, OSError):
            pass


class PartWriter:
    """A part written a row group at a time, so a task never holds all of its
    output at once; renamed into place by close()."""

    def __init__(self, destination: Destination, name: str, schema):
        import pyarrow.parquet as pq

        from .geoparquet import parquet_options

        self.destination, self.name = destination, name
        final = destination.join(name)
        folder, _, base = final.rpartition("/")
        self.final, self.temporary = final, f"{folder}/.{base}.{uuid.uuid4().hex}.tmp"
        destination.fs.makedirs(folder, exist_ok=True)
        self._file = destination.fs.open(self.temporary, "wb")
        self._writer = pq.ParquetWriter(self._file, schema, **parquet_options(schema))

    def write(self, table) -> None:
        self._writer.write_table(table)

    def finish(self) -> None:
        """Completes the temporary file; publish() then puts it in place."""
        self._writer.close()
        self._file.close()

    def publish(self) -> str:
        self.destination.fs.mv(self.temporary, self.final)
        return self.name

    def close(self) -> str:
        self.finish()
        return self.publish()

    def abandon(self) -> None:
        try:
            self._writer.close()
            self._file.close()
        except Exception:  # closed already, or the storage is gone: the temporary goes anyway
            pass
        finally:
            self.destination._remove_quietly(self.temporary)
