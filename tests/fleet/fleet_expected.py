"""What the pipeline must produce, computed without it."""
import numpy as np
import pandas as pd

import velmora_fleet


def loop_over_tracks(path):
    """What the pipeline must produce, from process_track in a plain loop."""
    frame = pd.read_parquet(path)
    coords = ("x", "y") if "x" in frame else ("lon", "lat")
    points, tracks = [], []
    for track_id, group in frame.groupby("track_id", sort=True):
        arrays = {"x": group[coords[0]].to_numpy(), "y": group[coords[1]].to_numpy()} if coords[0] == "x" \
            else {"lon": group["lon"].to_numpy(), "lat": group["lat"].to_numpy()}
        r = velmora_fleet.process_track(group["time"].to_numpy(), track_id=track_id, **arrays)
        points.append(pd.DataFrame({"track_id": np.full(r.points_out, track_id), "s": r.s, "x": r.x,
                                    "y": r.y, "curvature": r.curvature}))
        tracks.append({"track_id": track_id, "points_in": r.points_in, "points_flagged": r.points_flagged,
                       "points_removed": r.points_removed, "points_out": r.points_out, "length": r.length,
                       "status": r.status, "error": r.error, "origin_lon": r.origin_lon,
                       "origin_lat": r.origin_lat})
    return pd.concat(points, ignore_index=True), pd.DataFrame(tracks)


def assert_output_equals(out_dir, expected):
    points = pd.read_parquet(out_dir / "points.parquet")
    tracks = pd.read_parquet(out_dir / "tracks.parquet")
    pd.testing.assert_frame_equal(points, expected[0], check_exact=True, check_dtype=False)
    pd.testing.assert_frame_equal(tracks, expected[1], check_exact=True, check_dtype=False)
    return points, tracks
