"""GeoParquet 1.1 output: a WKB `geometry` column, its `bbox` covering column
(a struct xmin, ymin, xmax, ymax per row, whose row-group statistics let
DuckDB, GDAL and Sedona skip what lies outside an area without decoding a
geometry) and the `geo` metadata that geopandas, DuckDB and GDAL/QGIS read
as they are.

Longitude and latitude need no CRS in the metadata (its absence means
OGC:CRS84); x, y carry the CRS the run was given (as PROJJSON, which pyproj
makes), or an explicit null: unknown.
"""

from __future__ import annotations

import json
import struct

import numpy as np

LITTLE_ENDIAN_POINT = struct.pack("<BI", 1, 1)
LINESTRING, MULTILINESTRING, MEASURED = 2, 5, 2000  # ISO WKB: +2000 for coordinates with M
BBOX = ("xmin", "ymin", "xmax", "ymax")


def wkb_points(x: np.ndarray, y: np.ndarray):
    """A binary Arrow array of WKB points, built without a Python loop."""
    import pyarrow as pa

    n = len(x)
    record = np.dtype([("head", "V5"), ("x", "<f8"), ("y", "<f8")])
    packed = np.empty(n, dtype=record)
    packed["head"] = np.frombuffer(LITTLE_ENDIAN_POINT, dtype="V5")[0]
    packed["x"], packed["y"] = x, y
    offsets = np.arange(0, 21 * (n + 1), 21, dtype=np.int32)
    return pa.Array.from_buffers(
        pa.binary(), n, [None, pa.py_buffer(offsets), pa.py_buffer(packed.tobytes())]
    )


def wkb_lines(parts: list, measured: bool = False) -> bytes:
    """A LineString of one part, else a MultiLineString; parts are (x, y, m)
    arrays, m written (ISO WKB "M") only where `measured`."""
    width = 3 if measured else 2
    kind = MEASURED if measured else 0

    def line(x, y, m):
        coordinates = np.empty((len(x), width), dtype="<f8")
        coordinates[:, 0], coordinates[:, 1] = x, y
        if measured:
            coordinates[:, 2] = m
        return struct.pack("<BII", 1, LINESTRING + kind, len(x)) + coordinates.tobytes()

    if len(parts) == 1:
        return line(*parts[0])
    return struct.pack("<BII", 1, MULTILINESTRING + kind, len(parts)) + b"".join(line(*p) for p in parts)


def wkb_point(x: float, y: float) -> bytes:
    return LITTLE_ENDIAN_POINT + struct.pack("<dd", x, y)


def bbox_array(xmin, ymin, xmax, ymax, present=None):
    """The covering column: a struct of four doubles per row, null where the
    row has no geometry (`present` False)."""
    import pyarrow as pa

    arrays = [pa.array(np.asarray(v, dtype=np.float64), type=pa.float64()) for v in (xmin, ymin, xmax, ymax)]
    mask = None if present is None else pa.array(~np.asarray(present, dtype=bool))
    return pa.StructArray.from_arrays(arrays, fields=list(bbox_type()), mask=mask)


def bbox_type():
    import pyarrow as pa

    return pa.struct([pa.field(name, pa.float64(), nullable=False) for name in BBOX])


def geometry_fields(always: bool) -> list:
    """The `bbox` and `geometry` fields; required where every row has a
    geometry (points, stops), which GeoParquet asks of both alike and which
    spares Parquet's writer the null bookkeeping of a struct (a third of the
    bbox column's cost)."""
    import pyarrow as pa

    return [
        pa.field("bbox", bbox_type(), nullable=not always),
        pa.field("geometry", pa.binary(), nullable=not always),
    ]


def parquet_options(schema) -> dict:
    """Options for writing a table of these columns: dictionary encoding for
    the columns whose values repeat (ids, counts, text) and not for numbers
    and times, which rarely do. Parquet's writer tries a dictionary for every
    column and gives it up page after page where values do not repeat: on
    207,000 output points that took 124 of the 144 ms the points table cost
    to write, and the file came out larger (22.7 MB against 20.1)."""
    import pyarrow as pa

    def repeats(t) -> bool:
        return not (pa.types.is_floating(t) or pa.types.is_temporal(t) or pa.types.is_nested(t))

    return {"use_dictionary": [field.name for field in schema if repeats(field.type)]}


def geo_metadata(geometry_types: list, crs) -> dict:
    """The schema metadata of one table; crs: "lonlat", a PROJJSON dict, or
    None (unknown). In degrees, a bbox whose xmin is greater than its xmax
    crosses the antimeridian (RFC 7946's bounding box, which GeoParquet's
    follows)."""
    column = {
        "encoding": "WKB",
        "geometry_types": list(geometry_types),
        "covering": {"bbox": {name: ["bbox", name] for name in BBOX}},
    }
    if crs != "lonlat":
        column["crs"] = crs
    return {
        b"geo": json.dumps(
            {"version": "1.1.0", "primary_column": "geometry", "columns": {"geometry": column}}
        ).encode()
    }


def projjson(crs: str | None):
    """PROJJSON of a CRS given by name (EPSG:25832, a WKT, ...), through pyproj."""
    if crs is None:
        return None
    try:
        import pyproj
    except ImportError:
        raise ValueError(
            "crs needs pyproj (pip install pyproj), which turns it into the PROJJSON that GeoParquet stores"
        ) from None
    try:
        return pyproj.CRS.from_user_input(crs).to_json_dict()
    except pyproj.exceptions.CRSError as exc:
        raise ValueError(f"crs {crs!r} is not a coordinate reference system pyproj knows: {exc}") from None
