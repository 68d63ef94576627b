"""The input, planned on the driver from its listing, Parquet footers and CSV
headers alone: which files, which columns mean what, how the records will be
read (fragments) and whether the records of each track already lie together.

Everything that makes the whole input unusable (no such file, an unreadable
footer or header, a missing column, a column of the wrong type, an input that
is a previous output) is found here, before any engine starts and before any
record is read.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import math
import posixpath
from dataclasses import dataclass, field
from decimal import Decimal
from urllib.parse import unquote

import numpy as np

from .destination import MANIFEST, TABLES, WORK
from .records import CSV_SUFFIXES, Fragment, FleetInputError, Layout, decimal_kind, first_line
from .storage import read_failure

METRIC = ("x", "y")
GEOGRAPHIC = ("lon", "lat")
PIPELINE_NAMES = ("track_id", "time") + METRIC + GEOGRAPHIC
READ_ROWS = 1_000_000  # records per reading task, at most (a row group is never split)
MAX_READS = 3  # reading row groups on range boundaries twice costs far less than a shuffle
OUTPUT_MARKS = (MANIFEST, WORK)  # a folder holding one is a run's output folder
HIVE_NULL = "__HIVE_DEFAULT_PARTITION__"  # a hive folder's name for a missing value
WILDCARDS = "*?["
LISTING_THREADS = 16  # footers and headers are read concurrently: on object storage each is a round trip


@dataclass
class FileFacts:
    """What one input file says about itself before its records are read."""

    path: str
    url: str
    kind: str
    columns: dict  # column name -> type ("int", "float", "str", "time", "bool", or an Arrow type's name)
    rows: int | None
    row_groups: list  # Parquet: (rows, track id min, track id max or None) per row group
    partition: dict
    first_times: list  # a few values of the time column, for text times
    stamp: str  # size and modification time, for the input's fingerprint
    size: int
    may_be_null: frozenset = field(default_factory=frozenset)  # Parquet: columns not known to be null-free


@dataclass
class Plan:
    url: str
    fs: object
    kind: str  # "parquet" or "csv"
    layout: Layout
    fragments: list  # for reading everything, READ_ROWS at most each
    points: int | None  # records in all, where footers tell
    fingerprint: str
    files: int
    bytes: int
    facts: list
    grouped: bool  # declared: every track's records lie in one file
    mapping_note: str = ""  # where the column mapping came from, when a preset chose it

    def describe_columns(self) -> str:
        """The mapping used, as the summary shows it."""
        from .tables import Tables

        used = ", ".join(f"{name}={column}" for name, column in self.layout.columns.items() if name != column)
        text = used or "the pipeline's own names"
        names = Tables(self.layout).carried_names
        if names:
            text += "; carried: " + ", ".join(c if c == out else f"{c} as {out}" for c, out in names.items())
        return text + (f" ({self.mapping_note})" if self.mapping_note else "")

    def estimated_points(self, bytes_per_record: int) -> int:
        """Records in all: the footers' count, or a guess from the size of CSV files."""
        return self.points if self.points is not None else max(1, self.bytes // bytes_per_record)

    def shares(self, batch_points: int) -> list | None:
        """Shares of about batch_points records that hold whole tracks, where
        the input is known to hold each track together; None otherwise."""
        if self.grouped:
            return _whole_files(self.facts, batch_points)
        if self.kind == "parquet":
            return _track_ranges(self.facts, self.layout, batch_points)
        return None


def plan_input(
    url: str,
    storage_options: dict,
    columns: dict | None = None,
    out_path: str | None = None,
    time_format: str | None = None,
    grouped: bool = False,
    carry: tuple = (),
    angles: tuple = (),
    preset=None,
    carry_if_present: bool = False,
) -> Plan:
    """The input's plan. carry_if_present: carry those of the columns that
    the input has (a preset's), instead of requiring them all."""
    import fsspec

    columns = checked_columns(columns or {})
    try:
        fs, root = fsspec.core.url_to_fs(url, **storage_options)
    except Exception as exc:
        raise FleetInputError(f"{url}: cannot read: {first_line(exc)}") from None
    paths, urls, base = _list_files(fs, url, root, out_path)
    kinds = {"csv" if p.lower().endswith(CSV_SUFFIXES) else "parquet" for p in paths}
    if len(kinds) > 1:
        raise FleetInputError(f"{url}: holds both CSV and Parquet files; give one kind")
    kind = kinds.pop()
    facts = _read_facts(fs, kind, paths, urls, base)
    mapping, export, note = dict(columns), None, ""
    if preset is not None:
        export = _export(preset, facts[0], mapping)
        note = f"preset {preset.name}" + (
            ", columns as given" if export.columns.keys() <= mapping.keys() else f": {export.name}"
        )
        if "time" not in mapping:  # the export's way of writing times goes with its time column
            time_format = time_format or export.time_format
        mapping = {**export.columns, **mapping}
    if carry_if_present:
        carry = tuple(c for c in carry if c in facts[0].columns)
        angles = tuple(c for c in angles if c in facts[0].columns)
    layout = _layout(
        facts,
        mapping,
        time_format,
        tuple(carry),
        tuple(angles),
        _missing_codes(preset, mapping) if preset else {},
        dict(preset.valid) if preset else {},
        dict(preset.wrapped) if preset else {},
        fs,
    )
    fragments = [fragment for index, fact in enumerate(facts) for fragment in _fragments(fact, index)]
    rows = [f.rows for f in facts]
    points = sum(rows) if all(r is not None for r in rows) else None
    if points == 0:
        raise FleetInputError(f"{url}: holds no point records")
    fingerprint = hashlib.sha256(
        "\n".join(f"{p}\t{f.stamp}" for p, f in zip(paths, facts)).encode()
    ).hexdigest()
    return Plan(
        url,
        fs,
        kind,
        layout,
        fragments,
        points,
        fingerprint,
        len(paths),
        sum(f.size for f in facts),
        facts,
        grouped,
        note,
    )


def checked_columns(mapping: dict) -> dict:
    """The --columns mapping, refused (ValueError) where it names a role the
    pipeline does not have or gives one column two roles."""
    roles = {}
    for role, column in mapping.items():
        if role not in PIPELINE_NAMES:
            raise ValueError(f"columns: {role!r} is not one of {', '.join(PIPELINE_NAMES)}")
        if column in roles:
            raise ValueError(f"columns: column {column!r} is given for both {roles[column]} and {role}")
        roles[column] = role
    return dict(mapping)


def _list_files(fs, url: str, root: str, out_path: str | None) -> tuple[list[str], list[str], str | None]:
    """The input's files in a fixed order (their paths'), the names messages
    give them, and the folder hive keys are read below (None: one file). A
    path that exists is taken as it is, even with a wildcard's character in
    its name; else a wildcard may stand in any part of it."""
    try:
        exists = fs.exists(root)
        if not exists and any(char in root for char in WILDCARDS):
            paths = sorted(p for p in fs.glob(root) if fs.isfile(p))
            if not paths:
                raise FleetInputError(f"{url}: no file matches")
            base = _fixed_folder(root)
            urls = [p if _is_local(fs) else fs.unstrip_protocol(p) for p in paths]
        elif not exists:
            raise FleetInputError(f"{url}: cannot read: no such file")
        elif fs.isdir(root):
            base = root.rstrip("/")
            paths = sorted(fs.find(root))
            urls = [url.rstrip("/") + "/" + posixpath.relpath(p, base) for p in paths]
        else:
            paths, urls, base = [root], [url], None
        outputs = _output_folders(fs, paths, out_path)
    except FleetInputError:
        raise
    except Exception as exc:
        raise FleetInputError(f"{url}: cannot read: {first_line(exc)}") from None
    kept = [
        path
        for path in paths
        if _output_folder_of(path) not in outputs and (base is None or not _hidden(path, base))
    ]
    if not kept:
        earlier = next((mark for mark in outputs.values() if mark), None)
        if earlier:
            raise FleetInputError(
                f"{url}: is the output of a velmora-fleet run ({earlier}); give the recordings instead"
            )
        raise FleetInputError(f"{url}: holds no input files")
    if len(kept) < len(paths):
        chosen = set(kept)
        urls = [u for p, u in zip(paths, urls) if p in chosen]
    return kept, urls, base


def _fixed_folder(pattern: str) -> str:
    """The folder of a glob above its first part with a wildcard."""
    parts = pattern.split("/")[:-1]
    fixed = next((k for k, part in enumerate(parts) if any(char in part for char in WILDCARDS)), len(parts))
    return "/".join(parts[:fixed])


def _is_local(fs) -> bool:
    protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
    return protocol in ("file", "local")


def _hidden(path: str, base: str) -> bool:
    """What Parquet readers leave out: a name below the input's folder starting with _ or ."""
    relative = posixpath.relpath(path, base) if base else path
    return any(part.startswith(("_", ".")) for part in relative.split("/"))


def _output_folder_of(path: str) -> str | None:
    """The folder F whose tables or scratch the path lies in (F/points.parquet/...,
    F/_velmora_work/...), if its place says it may be a run's output folder."""
    parts = path.split("/")
    for k, part in enumerate(parts):
        if part in TABLES or part == WORK:
            return "/".join(parts[:k])
    return None


def _output_folders(fs, paths: list[str], out_path: str | None) -> dict:
    """The run output folders whose tables or scratch the paths lie in: this
    run's (mark None) and any earlier run's (the mark that shows it, which the
    folder holds). Only those parts of such a folder are a run's; any other
    file in it, or in a folder below or above it, is the user's."""
    listed = set(paths)
    outputs = {}
    for folder in {_output_folder_of(path) for path in paths} - {None}:
        if out_path and folder == out_path.rstrip("/"):
            outputs[folder] = None
            continue
        for mark in OUTPUT_MARKS:
            where = f"{folder}/{mark}"
            if where in listed or any(p.startswith(where + "/") for p in listed) or fs.exists(where):
                outputs[folder] = where
                break
    return outputs


def _read_facts(fs, kind: str, paths: list[str], urls: list[str], base: str | None) -> list[FileFacts]:
    read = _parquet_facts if kind == "parquet" else _csv_facts

    def one(item):
        path, url = item
        return read(fs, path, url, _hive_keys(path, base))

    if len(paths) == 1:
        return [one((paths[0], urls[0]))]
    with concurrent.futures.ThreadPoolExecutor(min(LISTING_THREADS, len(paths))) as pool:
        return list(pool.map(one, zip(paths, urls)))


def _hive_keys(path: str, base: str | None) -> dict:
    """key=value folder names below the input's folder, percent-decoded as
    their writers encode them (a b is a%20b, x/y is x%2Fy); None for a missing value."""
    if base is None:
        return {}
    folders = posixpath.relpath(path, base).split("/")[:-1]
    pairs = (part.split("=", 1) for part in folders if "=" in part)
    return {unquote(key): None if value == HIVE_NULL else unquote(value) for key, value in pairs}


def _stamp(fs, path: str) -> tuple[str, int]:
    info = fs.info(path)
    changed = info.get("mtime") or info.get("LastModified") or info.get("ETag") or info.get("created") or ""
    return f"{info.get('size')}\t{changed}", int(info.get("size") or 0)


def _parquet_facts(fs, path: str, url: str, partition: dict) -> FileFacts:
    import pyarrow.parquet as pq

    try:
        with fs.open(path, "rb") as fh:
            file = pq.ParquetFile(fh)
            schema = file.schema_arrow
            meta = file.metadata
            columns = {name: _arrow_kind(schema.field(name).type) for name in schema.names}
            times = {}
            time_candidates = [n for n, k in columns.items() if k == "str"]
            if time_candidates and meta.num_rows:
                batch = next(file.iter_batches(batch_size=20, columns=time_candidates))
                times = {name: batch.column(name).to_pylist() for name in time_candidates}
            stats = _row_group_stats(meta, schema.names)
            nulls = _may_be_null(meta, schema.names)
        stamp, size = _stamp(fs, path)
    except Exception as exc:
        raise read_failure(url, "Parquet", exc) from None
    for key in partition:
        columns.setdefault(key, "str")
    return FileFacts(
        path, url, "parquet", columns, meta.num_rows, stats, partition, times, stamp, size, nulls
    )


def _row_group_stats(meta, names: list[str]) -> dict:
    """Per column name: (rows, min, max) of each row group, min and max None where unknown."""
    result = {name: [] for name in names}
    for k in range(meta.num_row_groups):
        group = meta.row_group(k)
        for c in range(group.num_columns):
            column = group.column(c)
            name = column.path_in_schema
            if name not in result:
                continue
            stats = column.statistics
            known = stats is not None and stats.has_min_max and stats.null_count == 0
            low, high = (_plain(stats.min), _plain(stats.max)) if known else (None, None)
            result[name].append((group.num_rows, low, high))
    return result


def _plain(value):
    """A decimal statistic as the number its column is read as."""
    if isinstance(value, Decimal):
        return int(value) if value == value.to_integral_value() else float(value)
    return value


def _may_be_null(meta, names: list[str]) -> frozenset:
    """Columns that some row group says holds nulls, or does not say it holds none."""
    found = set()
    for k in range(meta.num_row_groups):
        group = meta.row_group(k)
        for c in range(group.num_columns):
            column = group.column(c)
            stats = column.statistics
            if stats is None or not stats.has_null_count or stats.null_count:
                found.add(column.path_in_schema)
    return frozenset(found & set(names))


def _arrow_kind(kind) -> str:
    import pyarrow as pa

    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    if pa.types.is_boolean(kind):
        return "bool"
    if pa.types.is_integer(kind):
        return "int"
    if pa.types.is_floating(kind):
        return "float"
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return "str"
    if pa.types.is_timestamp(kind):
        return "time"
    if pa.types.is_decimal(kind):
        return decimal_kind(kind)
    return str(kind)


def _csv_facts(fs, path: str, url: str, partition: dict) -> FileFacts:
    import pandas as pd

    try:
        with fs.open(path, "rb", compression="infer") as fh:
            head = pd.read_csv(fh, dtype=str, nrows=20, keep_default_na=False, na_values=[""])
        stamp, size = _stamp(fs, path)
    except Exception as exc:
        raise read_failure(url, "CSV", exc) from None
    columns = {name: "str" for name in head.columns}
    for key in partition:
        columns.setdefault(key, "str")
    times = {name: head[name].dropna().tolist() for name in head.columns}
    return FileFacts(path, url, "csv", columns, None, {}, partition, times, stamp, size)


def _export(preset, fact: FileFacts, mapping: dict):
    """The first of the preset's exports whose columns the input has, but for
    those the mapping gives (explicit columns win over the preset's)."""
    for export in preset.exports:
        if all(column in fact.columns for role, column in export.columns.items() if role not in mapping):
            return export
    known = "; ".join(f"{e.name}: {', '.join(e.columns.values())}" for e in preset.exports)
    raise FleetInputError(
        f"{fact.url}: has the columns of no export that preset {preset.name} knows ({known}); "
        f"its columns are: {', '.join(fact.columns)}"
    )


def _missing_codes(preset, mapping: dict) -> dict:
    """The preset's "not available" values, by the input's column names."""
    return {mapping.get(name, name): codes for name, codes in preset.missing.items()}


def _layout(
    facts: list[FileFacts],
    mapping: dict,
    time_format: str | None,
    carry: tuple = (),
    angles: tuple = (),
    missing: dict | None = None,
    valid: dict | None = None,
    wrapped: dict | None = None,
    fs=None,
) -> Layout:
    names = {name: mapping.get(name, name) for name in PIPELINE_NAMES}
    first = facts[0]
    for name in ("track_id", "time"):
        _require(first, names, name, mapping)
    has = first.columns
    if names["x"] in has and names["y"] in has and not {"lon", "lat"} & set(mapping):
        coords, geographic = METRIC, False
    elif names["lon"] in has and names["lat"] in has:
        coords, geographic = GEOGRAPHIC, True
    else:
        pair = (
            GEOGRAPHIC
            if {"lon", "lat"} & set(mapping)
            or ({names["lon"], names["lat"]} & set(has) and not {names["x"], names["y"]} & set(has))
            else METRIC
        )
        for name in pair:
            if name in mapping:
                _require(first, names, name, mapping)
        absent = [name for name in pair if names[name] not in has]
        raise FleetInputError(
            f"{first.url}: missing column '{names[absent[0]]}' (need x and y in metres, "
            "or lon and lat in degrees)"
        )
    used = {name: names[name] for name in ("track_id", "time", *coords)}
    roles = {}
    for name, column in used.items():
        if column in roles:
            raise FleetInputError(
                f"{first.url}: column '{column}' is given for both {roles[column]} and {name}"
            )
        roles[column] = name
    for fact in facts[1:]:
        for name in used:
            _require(fact, names, name, mapping)
    carried = tuple(dict.fromkeys(carry + angles))
    for fact in facts:
        for column in carried:
            if column not in fact.columns:
                raise FleetInputError(
                    f"{fact.url}: missing column '{column}' (to carry); its columns are: "
                    f"{', '.join(fact.columns)}"
                )
    # a file without records (pandas types an empty column as null) says nothing of the types
    typed = [fact for fact in facts if fact.rows != 0] or facts
    id_kind = _common_kind(typed, used["track_id"], "track_id", {"int", "float", "str"}, "integers or text")
    time_kind = _time_kind(typed, used["time"], time_format, fs)
    for name in coords:
        _common_kind(typed, used[name], name, {"int", "float", "str"}, "numbers")
    for column in carried:
        _common_kind(typed, column, column, {"int", "float", "str"}, "numbers")
    return Layout(
        used,
        geographic,
        id_kind,
        time_kind,
        time_format,
        carried,
        tuple(angles),
        missing or {},
        valid or {},
        wrapped or {},
    )


def _require(fact: FileFacts, names: dict, name: str, mapping: dict) -> None:
    column = names[name]
    if column in fact.columns:
        return
    if name in mapping:
        there = ", ".join(fact.columns)
        raise FleetInputError(
            f"{fact.url}: missing column '{column}' (given for {name}); its columns are: {there}"
        )
    raise FleetInputError(f"{fact.url}: missing column '{column}'")


def _common_kind(facts: list[FileFacts], column: str, name: str, allowed: set, expected: str) -> str:
    kinds = set()
    for fact in facts:
        kind = fact.columns[column]
        if kind not in allowed:
            raise FleetInputError(f"{fact.url}: column '{column}' has type {kind}, expected {expected}")
        kinds.add(kind)
    if name == "track_id" and len(kinds) > 1 and "str" in kinds:
        odd = next(f for f in facts if f.columns[column] != facts[0].columns[column])
        raise FleetInputError(
            f"{odd.url}: column '{column}' has type {odd.columns[column]}, "
            f"other files have {facts[0].columns[column]}"
        )
    return "float" if "float" in kinds else kinds.pop()


def _time_kind(facts: list[FileFacts], column: str, time_format: str | None, fs=None) -> str:
    """int, float or time, as the files' types and first text values tell. A
    file without any time value tells nothing; an integer Parquet column
    that may hold a null is read as float, where a null is a missing time."""
    kinds = {}
    for fact in facts:
        kind = fact.columns[column]
        if kind not in ("int", "float", "time", "str"):
            raise FleetInputError(f"{fact.url}: column '{column}' has type {kind}, expected numbers or times")
        if kind == "str":
            kind = "time" if time_format else _text_time_kind(_first_times(fs, fact, column))
        elif kind == "int" and column in fact.may_be_null:
            kind = "float"
        if kind is not None:
            kinds.setdefault(kind, fact)
    if "time" in kinds and len(kinds) > 1:
        odd = kinds["int"] if "int" in kinds else kinds["float"]
        raise FleetInputError(f"{odd.url}: column '{column}' holds numbers, other files hold times")
    if "time" in kinds:
        return "time"
    if facts[0].kind == "csv" or "float" in kinds or not kinds:
        return "float"
    return "int"


def _text_time_kind(values: list) -> str | None:
    """time or float by the first value given; None when there is none."""
    import pandas as pd

    for value in values:
        if value is None or value == "":
            continue
        return "float" if not np.isnan(pd.to_numeric(pd.Series([value]), errors="coerce").iloc[0]) else "time"
    return None


SCAN_ROWS = 100_000  # records read at a time while looking for a file's first time


def _first_times(fs, fact: FileFacts, column: str) -> list:
    """The first values of a text time column: those of the first records
    read already, or else the first value found reading on (records without
    a time before it are records like any other)."""
    if column in fact.partition:
        return [fact.partition[column]]
    seen = fact.first_times.get(column, [])
    if any(value not in (None, "") for value in seen) or fs is None:
        return seen
    import pandas as pd
    import pyarrow.parquet as pq

    try:
        if fact.kind == "csv":
            with fs.open(fact.path, "rb", compression="infer") as fh:
                chunks = pd.read_csv(
                    fh,
                    dtype=str,
                    keep_default_na=False,
                    na_values=[""],
                    usecols=[column],
                    chunksize=SCAN_ROWS,
                )
                for chunk in chunks:
                    found = chunk[column].dropna()
                    if len(found):
                        return [found.iloc[0]]
        else:
            with fs.open(fact.path, "rb") as fh:
                for batch in pq.ParquetFile(fh).iter_batches(batch_size=SCAN_ROWS, columns=[column]):
                    found = [value for value in batch.column(0).to_pylist() if value not in (None, "")]
                    if found:
                        return found[:1]
    except Exception as exc:
        kind = "CSV" if fact.kind == "csv" else "Parquet"
        raise FleetInputError(f"{fact.url}: cannot read as {kind}: {first_line(exc)}") from None
    return []


def _fragments(fact: FileFacts, index: int) -> list[Fragment]:
    """The file in runs of whole row groups of READ_ROWS records at most."""
    if fact.kind == "csv":
        return [Fragment(fact.url, fact.path, index, "csv", partition=fact.partition)]
    pieces, spans, row = [], [], 0
    for group, (rows, _, _) in enumerate(next(iter(fact.row_groups.values()), [])):
        if spans and sum(n for _, _, n in spans) + rows > READ_ROWS:
            pieces.append(_piece(fact, index, spans))
            spans = []
        spans.append((group, row, rows))
        row += rows
    if spans or not pieces:
        pieces.append(_piece(fact, index, spans))
    return pieces


def _piece(fact: FileFacts, index: int, spans: list) -> Fragment:
    return Fragment(
        fact.url, fact.path, index, "parquet", tuple(spans), sum(n for _, _, n in spans), fact.partition
    )


@dataclass(frozen=True)
class Share:
    """Records that hold whole tracks: the fragments, keeping those whose
    track id lies in [low, high) (None: unbounded)."""

    fragments: tuple
    low: object
    high: object
    rows: int  # records read, at most (the fragments' own)


def _whole_files(facts: list[FileFacts], batch_points: int) -> list[Share]:
    """Files packed to about batch_points records (a file of unknown size alone)."""
    shares, pieces, rows = [], [], 0
    for k, fact in enumerate(facts):
        pieces.append(Fragment(fact.url, fact.path, k, fact.kind, None, fact.rows, fact.partition))
        rows += fact.rows or 0
        if rows >= batch_points or fact.rows is None:
            shares.append(Share(tuple(pieces), None, None, rows))
            pieces, rows = [], 0
    if pieces:
        shares.append(Share(tuple(pieces), None, None, rows))
    return shares


def _track_ranges(facts: list[FileFacts], layout: Layout, batch_points: int) -> list[Share] | None:
    """Shares by ranges of track ids, when the footers show that each range's
    records lie in few row groups: a log sorted by track, a file per vehicle,
    a hive folder per track. Each share reads the row groups whose ids meet
    its range and keeps the ids inside; a row group on a boundary is read by
    both of its shares. None (gather the tracks by a shuffle) when the
    ranges would read the input more than MAX_READS times over, or cut it
    into too few shares to keep the workers busy, or a footer lacks the
    statistics to tell."""
    column = layout.columns["track_id"]
    blocks = []  # (lowest id, highest id, records, file index, spans or None for the whole file)
    for index, fact in enumerate(facts):
        if column in fact.partition:
            key = fact.partition[column]
            blocks.append((key, key, fact.rows, index, None))
            continue
        row = 0
        for group, (rows, low, high) in enumerate(fact.row_groups.get(column, [])):
            if low is None:
                return None
            blocks.append((low, high, rows, index, ((group, row, rows),)))
            row += rows
    try:
        blocks.sort(key=lambda b: (b[0], b[1]))
    except TypeError:  # ids of different kinds: nothing can be told
        return None
    total = sum(b[2] for b in blocks)
    cuts, gathered = [], 0
    for low, _, rows, _, _ in blocks:
        if gathered >= batch_points and (not cuts or low > cuts[-1]):
            cuts.append(low)
            gathered = 0
        gathered += rows
    bounds = [None] + cuts + [None]
    shares, active, start, read = [], [], 0, 0
    for low, high in zip(bounds, bounds[1:]):
        while start < len(blocks) and (high is None or blocks[start][0] < high):
            active.append(blocks[start])
            start += 1
        active = [b for b in active if low is None or b[1] >= low]
        read += sum(b[2] for b in active)
        if read > MAX_READS * total:
            return None
        if active:
            shares.append(Share(_by_file(facts, active), low, high, sum(b[2] for b in active)))
    # Ranges that cannot cut the input finer than its blocks (every block
    # holds most ids, as in a time-ordered log) would leave the workers idle.
    needed = math.ceil(total / batch_points)
    if needed > 1 and (len(shares) < 2 or 2 * len(shares) < needed):
        return None
    return shares


def _by_file(facts: list[FileFacts], blocks: list) -> tuple:
    files = {}
    for _, _, _, index, spans in blocks:
        files.setdefault(index, []).append(spans)
    fragments = []
    for index in sorted(files):
        fact = facts[index]
        if any(spans is None for spans in files[index]):
            fragments.append(Fragment(fact.url, fact.path, index, "parquet", None, fact.rows, fact.partition))
        else:
            spans = tuple(sorted(span for spans in files[index] for span in spans))
            fragments.append(
                Fragment(
                    fact.url, fact.path, index, "parquet", spans, sum(n for _, _, n in spans), fact.partition
                )
            )
    return tuple(fragments)
