"""What the pipeline must produce, computed without it."""

import numpy as np
import pandas as pd

import velmora_fleet

POINT_COLUMNS = ["track_id", "trip", "s", "x", "y", "speed", "heading", "curvature"]
TRIP_COLUMNS = [
    "track_id",
    "trip",
    "records",
    "records_used",
    "points_flagged",
    "points_removed",
    "points_out",
    "length",
    "status",
    "error",
    "origin_lon",
    "origin_lat",
]


def loop_over_tracks(frame):
    """process_track on each track in a plain loop, in the pipeline's layout."""
    coords = ("x", "y") if "x" in frame else ("lon", "lat")
    points, trips = [], []
    for track_id, group in frame.groupby("track_id", sort=True):
        r = velmora_fleet.process_track(
            group["time"].to_numpy(), track_id=track_id, **{name: group[name].to_numpy() for name in coords}
        )
        points.append(
            pd.DataFrame(
                {
                    "track_id": np.full(r.points_out, track_id),
                    "trip": r.trip,
                    "s": r.s,
                    "x": r.x,
                    "y": r.y,
                    "speed": r.speed,
                    "heading": r.heading,
                    "curvature": r.curvature,
                }
            )
        )
        trips += [
            {
                "track_id": track_id,
                "trip": t.trip,
                "records": t.records,
                "records_used": t.records_used,
                "points_flagged": t.points_flagged,
                "points_removed": t.points_removed,
                "points_out": t.points_out,
                "length": t.length,
                "status": t.status,
                "error": t.error,
                "origin_lon": t.origin_lon,
                "origin_lat": t.origin_lat,
            }
            for t in r.trips
        ]
    return pd.concat(points, ignore_index=True), pd.DataFrame(trips)


def read_output(out_dir):
    """The point and trip tables in track order (parts come in any order; a
    track's rows keep theirs)."""
    tables = []
    for name in ("points.parquet", "tracks.parquet"):
        table = pd.read_parquet(f"{out_dir}/{name}")
        table["track_id"] = table["track_id"].astype(str)
        tables.append(table.sort_values("track_id", kind="stable", ignore_index=True))
    return tables


def assert_output_equals(out_dir, expected):
    """Same rows per track, same bits, whatever the track ids' type."""
    got = read_output(out_dir)
    for table, wanted in zip(got, expected):
        wanted = wanted.assign(track_id=wanted["track_id"].astype(str))
        wanted = wanted.sort_values("track_id", kind="stable", ignore_index=True)
        pd.testing.assert_frame_equal(
            table[list(wanted.columns)], wanted, check_exact=True, check_dtype=False
        )
    return got
