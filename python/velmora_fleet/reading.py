"""Reads and checks the point records, then groups them into tracks.

Everything that can make the whole input unusable (an unreadable file, a
missing column, a column of the wrong type, a record without a track) is
found here, before any track is processed, and reported naming the file and
the column. Problems of single points (a missing time, a missing or
non-finite coordinate) are left to the track they belong to.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".csv.xz", ".csv.zst")
METRIC = ("x", "y")
GEOGRAPHIC = ("lon", "lat")
WANTED = frozenset(("track_id", "time") + METRIC + GEOGRAPHIC)  # other columns are not read


class FleetInputError(ValueError):
    """The input cannot be read or does not hold valid point records."""


@dataclass
class Fleet:
    """Point records sorted by track and time; track k owns the rows
    offsets[k]:offsets[k + 1]. a and b are x, y or lon, lat."""

    source: str
    track_ids: np.ndarray
    offsets: np.ndarray
    time: np.ndarray
    a: np.ndarray
    b: np.ndarray
    geographic: bool

    @property
    def points(self) -> int:
        return len(self.a)

    @property
    def tracks(self) -> int:
        return len(self.track_ids)


def read_fleet(url: str, storage_options: dict | None = None) -> Fleet:
    frame = _read_frame(url, storage_options or {})
    columns = set(frame.columns)
    for name in ("track_id", "time"):
        if name not in columns:
            raise FleetInputError(f"{url}: missing column '{name}'")
    if set(METRIC) <= columns:
        coords, geographic = METRIC, False
    elif set(GEOGRAPHIC) <= columns:
        coords, geographic = GEOGRAPHIC, True
    else:
        have = "x" if "x" in columns else "y" if "y" in columns else "lon" if "lon" in columns else "lat"
        pair = METRIC if have in METRIC else GEOGRAPHIC
        absent = [name for name in pair if name not in columns] or ["x"]
        raise FleetInputError(f"{url}: missing column '{absent[0]}' (need x and y in metres, "
                              "or lon and lat in degrees)")
    if len(frame) == 0:
        raise FleetInputError(f"{url}: holds no point records")
    track_id = _track_ids(url, frame["track_id"])
    time = _times(url, frame["time"])
    a = _numbers(url, coords[0], frame[coords[0]])
    b = _numbers(url, coords[1], frame[coords[1]])

    codes, uniques = pd.factorize(track_id, sort=True)
    order = np.lexsort((time, codes))  # stable: equal times keep the file's order
    offsets = np.zeros(len(uniques) + 1, dtype=np.int64)
    np.cumsum(np.bincount(codes, minlength=len(uniques)), out=offsets[1:])
    return Fleet(url, np.asarray(uniques), offsets, time[order], a[order], b[order], geographic)


def _read_frame(url: str, storage_options: dict) -> pd.DataFrame:
    import fsspec

    try:
        fs, path = fsspec.core.url_to_fs(url, **storage_options)
        if not fs.exists(path):
            raise FleetInputError(f"{url}: cannot read: no such file")
    except FleetInputError:
        raise
    except Exception as exc:
        raise FleetInputError(f"{url}: cannot read: {_first_line(exc)}") from None
    is_csv = path.lower().endswith(CSV_SUFFIXES)
    try:
        if is_csv:
            with fs.open(path, "rb", compression="infer") as fh:
                return pd.read_csv(fh, low_memory=False, usecols=lambda name: name in WANTED)
        import pyarrow.dataset as ds

        dataset = ds.dataset(path, filesystem=fs, format="parquet")
        columns = [name for name in dataset.schema.names if name in WANTED]
        return dataset.to_table(columns=columns).to_pandas()
    except Exception as exc:
        kind = "CSV" if is_csv else "Parquet"
        raise FleetInputError(f"{url}: cannot read as {kind}: {_first_line(exc)}") from None


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _first_bad(url: str, name: str, column: pd.Series, bad: np.ndarray, expected: str) -> FleetInputError:
    row = int(np.flatnonzero(bad)[0])
    value = column.iloc[row]
    shown = "an empty value" if pd.isna(value) else repr(value)
    return FleetInputError(f"{url}: column '{name}' holds {shown} in row {row + 1}, expected {expected}")


def _track_ids(url: str, column: pd.Series) -> np.ndarray:
    if column.isna().any():
        raise _first_bad(url, "track_id", column, column.isna().to_numpy(), "a track id")
    kind = column.dtype.kind
    if kind in "iuf":
        return column.to_numpy()
    if kind == "O" or pd.api.types.is_string_dtype(column.dtype):
        not_text = ~column.map(lambda v: isinstance(v, str)).to_numpy(dtype=bool)
        if not_text.any():
            raise _first_bad(url, "track_id", column, not_text, "one type of id throughout")
        return column.to_numpy(dtype=object)
    raise FleetInputError(f"{url}: column 'track_id' has type {column.dtype}, expected integers or text")


def _times(url: str, column: pd.Series) -> np.ndarray:
    kind = column.dtype.kind
    if kind in "iuf":
        return column.to_numpy()
    if kind == "M" or isinstance(column.dtype, pd.DatetimeTZDtype):
        if isinstance(column.dtype, pd.DatetimeTZDtype):
            column = column.dt.tz_convert("UTC").dt.tz_localize(None)
        return column.to_numpy(dtype="datetime64[ns]")
    if kind == "O" or pd.api.types.is_string_dtype(column.dtype):
        present = column.notna().to_numpy()
        numbers = pd.to_numeric(column, errors="coerce")
        not_number = numbers.isna().to_numpy() & present
        if not not_number.any():
            return numbers.to_numpy(dtype=np.float64, na_value=np.nan)
        times = pd.to_datetime(column, errors="coerce", format="ISO8601", utc=True)
        not_time = times.isna().to_numpy() & present
        if not_time.any():
            neither = not_number & not_time
            raise _first_bad(url, "time", column, neither if neither.any() else not_time,
                             "a number or an ISO 8601 time" if neither.any() else "one kind of time throughout")
        return times.dt.tz_localize(None).to_numpy(dtype="datetime64[ns]")
    raise FleetInputError(f"{url}: column 'time' has type {column.dtype}, expected numbers or times")


def _numbers(url: str, name: str, column: pd.Series) -> np.ndarray:
    kind = column.dtype.kind
    if kind in "iuf":
        return column.to_numpy(dtype=np.float64, na_value=np.nan)
    if kind == "O" or pd.api.types.is_string_dtype(column.dtype):
        parsed = pd.to_numeric(column, errors="coerce")
        unparsed = (parsed.isna() & column.notna()).to_numpy()
        if unparsed.any():
            raise _first_bad(url, name, column, unparsed, "a number")
        return parsed.to_numpy(dtype=np.float64, na_value=np.nan)
    raise FleetInputError(f"{url}: column '{name}' has type {column.dtype}, expected numbers")
