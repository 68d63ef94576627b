"""The three output tables, as Arrow tables of one task's tracks.

points.parquet: one row per output point; tracks.parquet: one row per trip
(plus one for a track that yields none), with the trip's summary and its
line with a time per vertex; stops.parquet: one row per stop. Each carries a
WKB `geometry` column, its `bbox` covering column and GeoParquet metadata.
Longitudes are written in [-180, 180), and a trip's line is split where it
crosses the antimeridian.
"""

from __future__ import annotations

import numpy as np
import pyarrow as pa

from .antimeridian import normalised
from .geoparquet import bbox_array, geo_metadata, geometry_fields, wkb_lines, wkb_point, wkb_points
from .summaries import TripSummary, summarise
from .trajectory import epoch_seconds, trip_parts

DROP_REASONS = ("no_time", "bad_position", "duplicate", "jump", "outlier")
MOTION_COLUMNS = ("speed", "acceleration", "heading", "turn_rate", "curvature", "signed_curvature")
CARRIED_PREFIX = "input_"  # before a carried column's name that the points table has already


def carried_names(own: list[str], carried: tuple) -> dict:
    """Each carried column's name in the points table: its own, unless one of
    the table's own columns or another carried column has it already, case
    aside (DuckDB and SQL compare names so; Parquet readers refuse a name
    twice); then input_ before it, as often as it takes to be free."""
    own_names = {name.lower() for name in own}
    names, taken = {}, set(own_names)
    for column in carried:
        if column.lower() not in taken:
            names[column] = column
            taken.add(column.lower())
    for column in carried:
        if column not in names:
            name = CARRIED_PREFIX + column
            while name.lower() in taken:
                name = CARRIED_PREFIX + name
            names[column] = name
            taken.add(name.lower())
    return {column: names[column] for column in carried}


EXTENT = ("x_min", "x_max", "y_min", "y_max")
DEGREES_EXTENT = ("lon_min", "lon_max", "lat_min", "lat_max")


class Tables:
    """Schemas and builders for one run's layout."""

    def __init__(self, layout, crs_json=None):
        self.layout = layout
        self.geographic = layout.geographic
        self.id_type = {"int": pa.int64(), "float": pa.float64(), "str": pa.string()}[layout.id_kind]
        self.time_type = pa.timestamp("ns", tz="UTC") if layout.time_kind == "time" else pa.float64()
        self.crs = "lonlat" if self.geographic else crs_json
        coordinates = ["s", "x", "y"] + (["lon", "lat"] if self.geographic else [])
        own = [("track_id", self.id_type), ("trip", pa.int64()), ("time", self.time_type)] + [
            (name, pa.float64()) for name in coordinates + list(MOTION_COLUMNS)
        ]
        geometry = geometry_fields(always=True)
        self.carried_names = carried_names(
            [name for name, _ in own] + [f.name for f in geometry], layout.carried
        )
        self.point_fields = own + [(name, pa.float64()) for name in self.carried_names.values()] + geometry
        self.points = pa.schema(self.point_fields, metadata=geo_metadata(["Point"], self.crs))
        self.extent = EXTENT + (DEGREES_EXTENT if self.geographic else ())
        # in degrees, a trip across the antimeridian is split there: a MultiLineString
        line_types = ["LineString", "MultiLineString"] if self.geographic else ["LineString"]
        self.trips = pa.schema(
            [
                ("track_id", self.id_type),
                ("trip", pa.int64()),
                ("start_time", self.time_type),
                ("end_time", self.time_type),
                ("records", pa.int64()),
                ("records_used", pa.int64()),
            ]
            + [(f"records_{reason}", pa.int64()) for reason in DROP_REASONS]
            + [
                ("records_in_stops", pa.int64()),
                ("points_flagged", pa.int64()),
                ("points_removed", pa.int64()),
                ("points_out", pa.int64()),
                ("length", pa.float64()),
                ("duration", pa.float64()),
                ("mean_speed", pa.float64()),
                ("max_speed", pa.float64()),
            ]
            + [(name, pa.float64()) for name in self.extent]
            + [
                ("noise", pa.float64()),
                ("max_deviation", pa.float64()),
                ("status", pa.string()),
                ("error", pa.string()),
                ("origin_lon", pa.float64()),
                ("origin_lat", pa.float64()),
                ("vertex_times", pa.list_(pa.float64())),
                *geometry_fields(always=False),
            ],
            metadata=geo_metadata(line_types, self.crs),
        )
        stop_coordinates = ["x", "y"] + (["lon", "lat"] if self.geographic else [])
        self.stops = pa.schema(
            [
                ("track_id", self.id_type),
                ("stop", pa.int64()),
                ("arrival", self.time_type),
                ("departure", self.time_type),
                ("records", pa.int64()),
            ]
            + [(name, pa.float64()) for name in stop_coordinates]
            + geometry_fields(always=True),
            metadata=geo_metadata(["Point"], self.crs),
        )

    def _times(self, values) -> pa.Array:
        if self.layout.time_kind == "time":
            return pa.array(np.asarray(values, dtype="datetime64[ns]"), type=pa.timestamp("ns")).cast(
                self.time_type
            )
        return pa.array(np.asarray(values, dtype=np.float64), type=pa.float64())

    def points_table(self, results: list) -> pa.Table:
        done = [r for r in results if r.points_out]
        if not done:
            return self.points.empty_table()
        ids = np.array([r.track_id for r in done], dtype=object if self.layout.id_kind == "str" else None)
        columns = {
            "track_id": pa.array(np.repeat(ids, [r.points_out for r in done]), type=self.id_type),
            "trip": pa.array(np.concatenate([r.trip for r in done]), type=pa.int64()),
            "time": self._times(np.concatenate([r.time for r in done])),
        }
        for name in ("s", "x", "y", "lon", "lat") + MOTION_COLUMNS:
            if name in self.points.names:
                values = np.concatenate([getattr(r, name) for r in done])
                columns[name] = pa.array(normalised(values) if name == "lon" else values, type=pa.float64())
        for name, out in self.carried_names.items():
            columns[out] = pa.array(np.concatenate([r.carried(name) for r in done]), type=pa.float64())
        a, b = (columns[n].to_numpy() for n in (("lon", "lat") if self.geographic else ("x", "y")))
        columns["bbox"] = bbox_array(a, b, a, b)
        columns["geometry"] = wkb_points(a, b)
        return pa.Table.from_arrays([columns[name] for name in self.points.names], schema=self.points)

    def trips_table(self, results: list) -> pa.Table:
        rows = {name: [] for name in self.trips.names}
        for r in results:
            for t in r.trips:
                summary = TripSummary() if t.geometry is None else summarise(t.geometry)
                duration = self._seconds_between(t.start, t.end)
                line, times = self._line(t)
                values = {
                    "track_id": r.track_id,
                    "trip": t.trip,
                    "start_time": t.start,
                    "end_time": t.end,
                    "records": t.records,
                    "records_used": t.records_used,
                    **{f"records_{reason}": t.dropped.get(reason, 0) for reason in DROP_REASONS},
                    "records_in_stops": t.records_in_stops,
                    "points_flagged": t.points_flagged,
                    "points_removed": t.points_removed,
                    "points_out": t.points_out,
                    "length": t.length,
                    "duration": duration,
                    "mean_speed": t.length / duration if duration > 0 else np.nan,
                    "max_speed": summary.max_speed,
                    **{name: getattr(summary, name) for name in self.extent},
                    "noise": t.noise,
                    "max_deviation": t.max_deviation,
                    "status": t.status,
                    "error": t.error,
                    "origin_lon": t.origin_lon,
                    "origin_lat": t.origin_lat,
                    "vertex_times": times,
                    "bbox": None,
                    "geometry": line,
                }
                for name in self.trips.names:
                    rows[name].append(values[name])
        a, b = ("lon", "lat") if self.geographic else ("x", "y")
        rows["bbox"] = bbox_array(
            rows[f"{a}_min"],
            rows[f"{b}_min"],
            rows[f"{a}_max"],
            rows[f"{b}_max"],
            present=[line is not None for line in rows["geometry"]],
        )
        return self._table(self.trips, rows)

    def _seconds_between(self, start, end) -> float:
        if start is None or end is None:
            return np.nan
        if self.layout.time_kind == "time":
            return float((np.datetime64(end, "ns") - np.datetime64(start, "ns")) / np.timedelta64(1, "s"))
        return float(end) - float(start)

    def _line(self, trip) -> tuple:
        """The trip's line (WKB) and the time of each of its vertices in
        seconds (since 1970 for times), or (None, None) where it has none: a
        trip that never moved has a single output point, and a line of one
        point is no geometry (GEOS, so geopandas, refuses the whole table)."""
        g = trip.geometry
        if g is None or len(g.s) < 2:
            return None, None
        kind = "time" if self.layout.time_kind == "time" else "float"
        seconds = epoch_seconds(g.time, trip.start, kind)
        a, b = (g.lon, g.lat) if self.geographic else (g.x, g.y)
        parts = trip_parts(a, b, seconds, self.geographic)
        return wkb_lines(parts), np.concatenate([p[2] for p in parts])

    def stops_table(self, results: list) -> pa.Table:
        rows = {name: [] for name in self.stops.names}
        for r in results:
            for s in r.stops:
                lon = float(normalised(s.lon)) if self.geographic else s.lon
                point = (lon, s.lat) if self.geographic else (s.x, s.y)
                values = {
                    "track_id": r.track_id,
                    "stop": s.stop,
                    "arrival": s.arrival,
                    "departure": s.departure,
                    "records": s.records,
                    "x": s.x,
                    "y": s.y,
                    "lon": lon,
                    "lat": s.lat,
                    "bbox": None,
                    "geometry": wkb_point(*point),
                }
                for name in self.stops.names:
                    rows[name].append(values[name])
        a, b = (rows["lon"], rows["lat"]) if self.geographic else (rows["x"], rows["y"])
        rows["bbox"] = bbox_array(a, b, a, b)
        return self._table(self.stops, rows)

    def _table(self, schema: pa.Schema, rows: dict) -> pa.Table:
        arrays = []
        for field in schema:
            values = rows[field.name]
            if isinstance(values, pa.Array):
                arrays.append(values)
            elif field.type == self.time_type and self.layout.time_kind == "time":
                arrays.append(
                    pa.array(
                        [None if v is None else np.datetime64(v, "ns") for v in values],
                        type=pa.timestamp("ns"),
                    ).cast(self.time_type)
                )
            elif field.name == "track_id":
                arrays.append(
                    pa.array([v.item() if hasattr(v, "item") else v for v in values], type=field.type)
                )
            else:
                arrays.append(pa.array(values, type=field.type))
        return pa.Table.from_arrays(arrays, schema=schema)
