"""The point records of one input fragment, read and typed on a worker.

A fragment is a CSV file or a run of row groups of a Parquet file. Reading it
gives a frame in the pipeline's own columns and types whatever the input
called or typed them: track_id, time, a and b (x, y or lon, lat), then
`_file` and `_row` (where each record came from: among records of one track
with the same time, the earlier one in the input comes first, whichever
worker read it). A value of the wrong kind (text in a numeric column) ends
the run with a message naming the file and the row; a missing value is left
to the track it belongs to.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import pandas as pd
import pyarrow as pa

CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".csv.xz", ".csv.zst")
NS_PER_S = 1_000_000_000
STRING = pd.StringDtype("pyarrow")


class FleetInputError(ValueError):
    """The input cannot be read or does not hold valid point records."""


@dataclass(frozen=True)
class Layout:
    """How the input's columns become the pipeline's, the same for every fragment."""

    columns: dict  # pipeline name (track_id, time, x, y or lon, lat) -> the input's column
    geographic: bool
    id_kind: str  # "int", "float" or "str"
    time_kind: str  # "int", "float" or "time"
    time_format: str | None = None  # strftime format of text times; None: ISO 8601
    carried: tuple = ()  # numeric input columns carried to the output points
    angles: tuple = ()  # those of them that are angles in degrees
    missing: dict = field(default_factory=dict)  # input column -> values that mean "not available"
    valid: dict = field(default_factory=dict)  # input column -> (lowest, highest): outside is not available
    wrapped: dict = field(default_factory=dict)  # input column -> (modulus, resolution): see unwrapped()

    @property
    def coords(self) -> tuple[str, str]:
        return ("lon", "lat") if self.geographic else ("x", "y")

    def wanted(self) -> list[str]:
        """The input columns a fragment reads, in the pipeline's order."""
        return [self.columns[name] for name in ("track_id", "time", *self.coords)] + list(self.carried)

    def empty_frame(self) -> pd.DataFrame:
        """The typed frame with no rows: what every fragment's frame looks like."""
        return pd.DataFrame(
            {
                "track_id": pd.Series([], dtype=_id_dtype(self.id_kind)),
                "time": pd.Series([], dtype=_time_dtype(self.time_kind)),
                "a": pd.Series([], dtype=np.float64),
                "b": pd.Series([], dtype=np.float64),
                **{carried_name(k): pd.Series([], dtype=np.float64) for k in range(len(self.carried))},
                "_file": pd.Series([], dtype=np.int32),
                "_row": pd.Series([], dtype=np.int64),
            }
        )


def carried_name(k: int) -> str:
    """The pipeline's own name for the k-th carried column (the input's may be anything)."""
    return f"_carried{k}"


@dataclass(frozen=True)
class Fragment:
    """A piece of the input one task reads."""

    url: str  # the file as messages name it
    path: str  # the file on its filesystem
    file_index: int  # the file's position among the input's files
    kind: str  # "parquet" or "csv"
    spans: tuple[tuple[int, int, int], ...] | None = (
        None  # Parquet: (row group, its first row, rows); None: all
    )
    rows: int | None = None  # records, where the file says so before reading
    partition: dict = field(default_factory=dict)  # hive keys of the file's folders

    def row_numbers(self, count: int) -> np.ndarray:
        """The file row of each record read (0 for the file's first)."""
        if self.spans is None:
            return np.arange(count, dtype=np.int64)
        return np.concatenate(
            [np.arange(start, start + n, dtype=np.int64) for _, start, n in self.spans]
            or [np.empty(0, dtype=np.int64)]
        )

    def row_of(self, position: int) -> int:
        """The file row (from 1) of the record read at this position."""
        return int(self.row_numbers(position + 1)[position]) + 1 if self.spans else position + 1


def read_fragment(fragment: Fragment, layout: Layout, fs) -> pd.DataFrame:
    if fragment.kind == "csv":
        columns = _read_csv(fragment, layout, fs)
    else:
        columns = _read_parquet(fragment, layout, fs)
    count = len(columns[layout.columns["track_id"]])
    c = layout.columns
    numbers = {
        name: _numbers(
            fragment,
            name,
            columns[name],
            layout.missing.get(name, ()),
            layout.valid.get(name),
            layout.wrapped.get(name),
        )
        for name in (c[layout.coords[0]], c[layout.coords[1]], *layout.carried)
    }
    return pd.DataFrame(
        {
            "track_id": _track_ids(fragment, layout, columns[c["track_id"]]),
            "time": _times(fragment, layout, columns[c["time"]]),
            "a": numbers[c[layout.coords[0]]],
            "b": numbers[c[layout.coords[1]]],
            **{carried_name(k): numbers[name] for k, name in enumerate(layout.carried)},
            "_file": np.full(count, fragment.file_index, dtype=np.int32),
            "_row": fragment.row_numbers(count),
        }
    )


def _read_csv(fragment: Fragment, layout: Layout, fs) -> dict[str, pd.Series]:
    from .storage import read_failure

    wanted = set(layout.wanted())
    try:
        with fs.open(fragment.path, "rb", compression="infer") as fh:
            # Every value as written: ids stay text ("007" is not "7"), and the
            # conversions below name the first value they cannot take.
            frame = pd.read_csv(
                fh, dtype=str, keep_default_na=False, na_values=[""], usecols=lambda name: name in wanted
            )
    except Exception as exc:
        raise read_failure(fragment.url, "CSV", exc) from None
    return {name: frame[name] for name in frame.columns} | _partition_columns(fragment, layout, len(frame))


def _read_parquet(fragment: Fragment, layout: Layout, fs) -> dict[str, pd.Series]:
    import pyarrow.parquet as pq

    from .storage import read_failure

    wanted = [name for name in layout.wanted() if name not in fragment.partition]
    try:
        with fs.open(fragment.path, "rb") as fh:
            file = pq.ParquetFile(fh)
            if fragment.spans is None:
                table = file.read(columns=wanted)
            else:
                table = file.read_row_groups([group for group, _, _ in fragment.spans], columns=wanted)
    except Exception as exc:
        raise read_failure(fragment.url, "Parquet", exc) from None
    columns = {name: _arrow_to_series(table.column(name)) for name in wanted}
    return columns | _partition_columns(fragment, layout, table.num_rows)


def _arrow_to_series(column: pa.ChunkedArray) -> pd.Series:
    kind = column.type
    if pa.types.is_dictionary(kind):
        column = column.cast(kind.value_type)
        kind = kind.value_type
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return pd.Series(column.to_pandas(), dtype=STRING)
    if pa.types.is_timestamp(kind):
        if kind.tz is not None:
            column = column.cast(pa.timestamp(kind.unit))  # the stored values are UTC already
        return pd.Series(as_ns(column.to_numpy()), dtype="datetime64[ns]")
    if pa.types.is_decimal(kind):  # as SQL exports write coordinates: their nearest doubles
        return pd.Series(column.cast(pa.int64() if decimal_kind(kind) == "int" else pa.float64()).to_pandas())
    return pd.Series(column.to_pandas())


def decimal_kind(kind) -> str:
    """Whole decimals that int64 holds are integers, other decimals numbers."""
    return "int" if kind.scale == 0 and kind.precision <= 18 else "float"


def as_ns(values) -> np.ndarray:
    """datetime64 values of any unit as datetime64[ns], NaT where a value lies
    beyond what nanoseconds since 1970 in 64 bits hold (1677-09-21 to
    2262-04-11): a placeholder such as 9999-12-31 is a time the pipeline
    cannot use, not a reason to stop."""
    values = np.asarray(values)
    unit, count = np.datetime_data(values.dtype)
    if unit in ("Y", "M"):  # months and years have no fixed length; days hold them exactly
        values, unit, count = values.astype("datetime64[D]"), "D", 1
    if unit == "ns" and count == 1:
        return values
    factor = np.timedelta64(count, unit) // np.timedelta64(1, "ns")
    if factor < 1:  # finer than nanoseconds: every such value fits
        return values.astype("datetime64[ns]")
    raw = values.view(np.int64)
    limit = (2**63 - 1) // int(factor)
    inside = (raw >= -limit) & (raw <= limit)  # NaT, the lowest int64, lies outside
    ns = np.full(raw.shape, np.iinfo(np.int64).min, dtype=np.int64)
    ns[inside] = raw[inside] * int(factor)
    return ns.view("datetime64[ns]")


def _partition_columns(fragment: Fragment, layout: Layout, count: int) -> dict[str, pd.Series]:
    return {
        name: pd.Series([value] * count, dtype=STRING)
        for name, value in fragment.partition.items()
        if name in layout.wanted()
    }


def first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _first_bad(
    fragment: Fragment, name: str, column: pd.Series, bad: np.ndarray, expected: str
) -> FleetInputError:
    row = int(np.flatnonzero(bad)[0])
    value = column.iloc[row]
    shown = "an empty value" if pd.isna(value) else repr(value)
    return FleetInputError(
        f"{fragment.url}: column '{name}' holds {shown} in row {fragment.row_of(row)}, expected {expected}"
    )


def _id_dtype(kind: str):
    return {"int": np.int64, "float": np.float64, "str": STRING}[kind]


def _time_dtype(kind: str):
    return {"int": np.int64, "float": np.float64, "time": "datetime64[ns]"}[kind]


def _is_text(column: pd.Series) -> bool:
    return column.dtype == object or pd.api.types.is_string_dtype(column.dtype)


def _track_ids(fragment: Fragment, layout: Layout, column: pd.Series) -> pd.Series:
    name = layout.columns["track_id"]
    missing = column.isna().to_numpy()
    if missing.any():
        raise _first_bad(fragment, name, column, missing, "a track id")
    if layout.id_kind == "str":
        return column.astype(STRING)
    return column.astype(_id_dtype(layout.id_kind))


def _times(fragment: Fragment, layout: Layout, column: pd.Series) -> pd.Series:
    name = layout.columns["time"]
    if not _is_text(column):
        if layout.time_kind == "int" and column.hasnans:  # a null the file's statistics did not tell
            raise _first_bad(fragment, name, column, column.isna().to_numpy(), "a time")
        return column.astype(_time_dtype(layout.time_kind))
    present = column.notna().to_numpy()
    if layout.time_kind == "time":
        times = pd.to_datetime(column, errors="coerce", format=layout.time_format or "ISO8601", utc=True)
        bad = times.isna().to_numpy() & present
        if bad.any():
            expected = f"a time as {layout.time_format}" if layout.time_format else "an ISO 8601 time"
            raise _first_bad(fragment, name, column, bad, expected)
        return pd.Series(as_ns(times.dt.tz_localize(None).to_numpy()), dtype="datetime64[ns]")
    numbers = pd.to_numeric(column, errors="coerce")
    bad = numbers.isna().to_numpy() & present
    if bad.any():
        raise _first_bad(fragment, name, column, bad, "a number")
    return numbers.astype(_time_dtype(layout.time_kind))


def _numbers(
    fragment: Fragment,
    name: str,
    column: pd.Series,
    missing: tuple = (),
    valid: tuple | None = None,
    wrapped: tuple | None = None,
) -> np.ndarray:
    if _is_text(column):
        parsed = pd.to_numeric(column, errors="coerce")
        bad = (parsed.isna() & column.notna()).to_numpy()
        if bad.any():
            raise _first_bad(fragment, name, column, bad, "a number")
        values = parsed.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        values = column.to_numpy(dtype=np.float64, na_value=np.nan)
    if missing:
        values = np.where(np.isin(values, missing), np.nan, values)
    if wrapped is not None:
        values = unwrapped(values, *wrapped)
    if valid is not None:
        with np.errstate(invalid="ignore"):
            values = np.where((values < valid[0]) | (values > valid[1]), np.nan, values)
    return values


def unwrapped(values: np.ndarray, modulus: float, resolution: float) -> np.ndarray:
    """Values written as a signed count of `resolution` that wrapped around
    (a 12-bit count of tenths holds -204.8 to 204.7): a negative one plus
    `modulus` is the value. Counted in whole steps, so -200.3 gives 209.3
    as exactly as the text 209.3 does."""
    with np.errstate(invalid="ignore"):
        negative = values < 0
    steps = np.round(values[negative] / resolution) + round(modulus / resolution)
    values = values.copy()
    values[negative] = steps / round(1 / resolution) if resolution < 1 else steps * resolution
    return values
