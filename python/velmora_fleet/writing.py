"""The output folder: points.parquet written batch by batch as results arrive
(in batch order, so a run's files do not depend on which worker finished
first), tracks.parquet once at the end."""
from __future__ import annotations

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from .batches import BatchResult

POINT_COLUMNS = ("s", "x", "y", "curvature")
TRACK_COLUMNS = ("track_id", "points_in", "points_flagged", "points_removed", "points_out", "length",
                 "status", "error", "origin_lon", "origin_lat")


class OutputFolder:
    def __init__(self, url: str, track_id_type: pa.DataType, storage_options: dict | None = None):
        import fsspec

        self.url = url.rstrip("/")
        self.fs, self.path = fsspec.core.url_to_fs(self.url, **(storage_options or {}))
        self.fs.makedirs(self.path, exist_ok=True)
        fields = [pa.field("track_id", track_id_type)] + [pa.field(n, pa.float64()) for n in POINT_COLUMNS]
        self._schema = pa.schema(fields)
        self._points_file = self.fs.open(self._join("points.parquet"), "wb")
        self._writer = pq.ParquetWriter(self._points_file, self._schema)
        self._waiting: dict[int, BatchResult] = {}
        self._next = 0
        self._tracks: list[dict] = []

    def _join(self, name: str) -> str:
        return self.path.rstrip("/") + "/" + name

    def add(self, result: BatchResult) -> None:
        """Takes results in any order and writes them in batch order."""
        self._waiting[result.index] = result
        while self._next in self._waiting:
            self._write(self._waiting.pop(self._next))
            self._next += 1

    def _write(self, result: BatchResult) -> None:
        ids = np.repeat(result.tracks["track_id"], result.tracks["points_out"])
        columns = [pa.array(ids, type=self._schema.field("track_id").type)]
        columns += [pa.array(getattr(result, name), type=pa.float64()) for name in POINT_COLUMNS]
        self._writer.write_table(pa.Table.from_arrays(columns, schema=self._schema))
        self._tracks.append(result.tracks)

    def close(self) -> tuple[str, str]:
        if self._waiting:
            raise RuntimeError(f"batches {sorted(self._waiting)} arrived without batch {self._next}")
        self._writer.close()
        self._points_file.close()
        table = {
            name: np.concatenate([t[name] for t in self._tracks]) if self._tracks else np.empty(0)
            for name in TRACK_COLUMNS
        }
        arrays = [pa.array(table["track_id"], type=self._schema.field("track_id").type)]
        arrays += [pa.array(table[name]) for name in TRACK_COLUMNS[1:]]
        with self.fs.open(self._join("tracks.parquet"), "wb") as fh:
            pq.write_table(pa.Table.from_arrays(arrays, names=list(TRACK_COLUMNS)), fh)
        return self.url + "/points.parquet", self.url + "/tracks.parquet"

    def abandon(self) -> None:
        """Closes the points file after a failed run (it holds what was written)."""
        try:
            self._writer.close()
        finally:
            self._points_file.close()
