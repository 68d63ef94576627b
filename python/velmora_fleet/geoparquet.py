"""GeoParquet 1.1 output: a WKB `geometry` column and the `geo` metadata that
geopandas, DuckDB's spatial extension and GDAL/QGIS read as they are.

Longitude and latitude need no CRS in the metadata (its absence means
OGC:CRS84); x, y carry the CRS the run was given (as PROJJSON, which pyproj
makes), or an explicit null: unknown.
"""

from __future__ import annotations

import json
import struct

import numpy as np

LITTLE_ENDIAN_POINT = struct.pack("<BI", 1, 1)
LITTLE_ENDIAN_LINESTRING = struct.pack("<BI", 1, 2)


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


def wkb_linestring(x: np.ndarray, y: np.ndarray) -> bytes:
    coordinates = np.empty((len(x), 2), dtype="<f8")
    coordinates[:, 0], coordinates[:, 1] = x, y
    return LITTLE_ENDIAN_LINESTRING + struct.pack("<I", len(x)) + coordinates.tobytes()


def wkb_point(x: float, y: float) -> bytes:
    return LITTLE_ENDIAN_POINT + struct.pack("<dd", x, y)


def geo_metadata(geometry_type: str, crs) -> dict:
    """The schema metadata of one table; crs: "lonlat", a PROJJSON dict, or None (unknown)."""
    column = {"encoding": "WKB", "geometry_types": [geometry_type]}
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
