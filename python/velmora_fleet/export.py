"""velmora-fleet export: a run's trips as trajectories with their time, in
the formats users load trips into.

- kepler: kepler.gl's trips layer, GeoJSON whose LineStrings have the
  coordinates [lon, lat, 0, t] (t in seconds since 1970, or the input's own
  numbers); a trip across the antimeridian is one feature per side. x, y
  results go to longitude and latitude through their CRS (needs pyproj).
- gpkg: a GeoPackage written by GDAL (through pyogrio), each trip a
  LineString M (a MultiLineString M across the antimeridian) with M = the
  same t, in the run's CRS. pyogrio declares no measured layer types, so the
  layer is declared GEOMETRY with M optional, and GDAL writes the M values
  into every geometry as given.

Every line is checked before it is written: time must increase strictly
along it (a trajectory, as PostGIS's ST_IsValidTrajectory requires).
"""

from __future__ import annotations

import json
import math
import os
import uuid
import warnings

import numpy as np

from .geoparquet import wkb_lines
from .trajectory import check_increasing, trip_parts

FORMATS = ("kepler", "gpkg")
SUMMARY = ("duration", "length", "mean_speed", "max_speed")


def export_result(folder: str, out: str, format: str) -> int:
    """Writes the trips of the run's result in `folder` to the file `out` as
    `format` (kepler or gpkg); returns the trips written."""
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, got {format!r}")
    trips, crs = _read_trips(folder)
    writer = _write_kepler if format == "kepler" else _write_gpkg
    _atomically(out, lambda path: writer(trips, crs, path))
    return len(trips["track_id"])


def _read_trips(folder: str):
    """The trips with a line, as columns, and the line's CRS ("lonlat", a PROJJSON dict or None)."""
    import pyarrow.compute as pc
    import pyarrow.dataset as ds
    import shapely

    from .destination import MANIFEST
    from .output_folder import OutputFolder

    result = OutputFolder(folder).destination
    if not result.exists(MANIFEST):
        raise ValueError(f"{folder}: holds no complete result of velmora-fleet run")
    dataset = ds.dataset(result.join("tracks.parquet"), filesystem=result.fs)
    if "vertex_times" not in dataset.schema.names:
        raise ValueError(
            f"{folder}: its trips have no vertex_times (written by an earlier version): run it again"
        )
    geo = json.loads(dataset.schema.metadata[b"geo"])["columns"]["geometry"]
    crs = geo["crs"] if "crs" in geo else "lonlat"
    names = ["track_id", "trip", "start_time", "end_time", *SUMMARY, "vertex_times", "geometry"]
    table = dataset.to_table(columns=names, filter=pc.field("geometry").is_valid())
    table = table.sort_by([("track_id", "ascending"), ("trip", "ascending")])
    trips = {name: table.column(name).to_pylist() for name in names[:-2]}
    trips["lines"] = shapely.from_wkb(table.column("geometry").to_numpy(zero_copy_only=False))
    trips["times"] = [np.asarray(t, dtype=np.float64) for t in table.column("vertex_times").to_pylist()]
    return trips, crs


def _trip_lines(trips: dict, to_degrees):
    """Each trip's parts (a, b, t), checked; `to_degrees` turns a, b into lon,
    lat (then split at the antimeridian), or is None (kept as they are)."""
    import shapely

    for k, line in enumerate(trips["lines"]):
        times = trips["times"][k]
        coordinates = shapely.get_coordinates(line)
        if len(coordinates) != len(times):
            raise ValueError(f"{_name(trips, k)}: {len(times)} vertex times for {len(coordinates)} vertices")
        counts = shapely.get_num_coordinates(shapely.get_parts(line))
        parts = []
        for xy, t in zip(
            np.split(coordinates, np.cumsum(counts)[:-1]), np.split(times, np.cumsum(counts)[:-1])
        ):
            a, b = (xy[:, 0], xy[:, 1]) if to_degrees is None else to_degrees(xy[:, 0], xy[:, 1])
            parts += trip_parts(a, b, t, geographic=to_degrees is not None)
        check_increasing(parts, _name(trips, k))
        yield k, parts


def _name(trips: dict, k: int) -> str:
    return f"track {trips['track_id'][k]} trip {trips['trip'][k]}"


def _properties(trips: dict, k: int) -> dict:
    def plain(value):
        if hasattr(value, "isoformat"):
            return value.isoformat()
        return None if isinstance(value, float) and not math.isfinite(value) else value

    names = ["track_id", "trip", "start_time", "end_time", *SUMMARY]
    return {name: plain(trips[name][k]) for name in names}


def _write_kepler(trips: dict, crs, path: str) -> None:
    to_degrees = None if crs == "lonlat" else _degrees_from(crs)
    with open(path, "w") as fh:
        fh.write('{"type": "FeatureCollection", "features": [\n')
        first = True
        for k, parts in _trip_lines(trips, to_degrees or (lambda a, b: (a, b))):
            properties = _properties(trips, k)
            for lon, lat, t in parts:
                coordinates = np.column_stack([lon, lat, np.zeros(len(lon)), t]).tolist()
                feature = {
                    "type": "Feature",
                    "properties": properties,
                    "geometry": {"type": "LineString", "coordinates": coordinates},
                }
                fh.write(("" if first else ",\n") + json.dumps(feature, allow_nan=False))
                first = False
        fh.write("\n]}\n")


def _degrees_from(crs):
    if crs is None:
        raise ValueError(
            "kepler.gl needs longitude and latitude: this result has x, y of no known CRS (run it with --crs)"
        )
    try:
        import pyproj
    except ImportError:
        raise ValueError(
            "a result in x, y needs pyproj (pip install pyproj) for kepler.gl's degrees"
        ) from None
    transformer = pyproj.Transformer.from_crs(pyproj.CRS.from_json_dict(crs), "OGC:CRS84", always_xy=True)
    return lambda x, y: transformer.transform(x, y)


def _write_gpkg(trips: dict, crs, path: str) -> None:
    import pyarrow as pa
    from pyogrio.raw import write_arrow

    lines = [wkb_lines(parts, measured=True) for _, parts in _trip_lines(trips, None)]
    columns = {name: trips[name] for name in ["track_id", "trip", "start_time", "end_time", *SUMMARY]}
    table = pa.table({**columns, "geometry": pa.array(lines, type=pa.binary())})
    if crs == "lonlat":
        crs_text = "EPSG:4326"  # GeoPackage stores x = longitude whatever the CRS's axis order
    elif crs is None:
        crs_text = None
    else:
        import pyproj

        crs_text = pyproj.CRS.from_json_dict(crs).to_wkt()
    with warnings.catch_warnings():  # x, y of no known CRS: pyogrio's warning says what the run knew
        warnings.filterwarnings("ignore", message="'crs' was not provided")
        write_arrow(
            table,
            path,
            layer="trips",
            driver="GPKG",
            geometry_name="geometry",
            geometry_type="Unknown",
            crs=crs_text,
        )


def _atomically(out: str, write) -> None:
    """Writes through `write(path)` to a temporary file beside `out`, then
    renames it into place: a failed export leaves no file, or the old one."""
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise ValueError(f"{out}: its folder does not exist")
    # hidden, and ending as `out` does: GDAL tells the format by the extension
    temporary = os.path.join(folder, f".{uuid.uuid4().hex}.{os.path.basename(out)}")
    try:
        write(temporary)
        os.replace(temporary, out)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
