"""A map of a run's result: every trip as a line coloured by speed or by
curvature, stops as rings. Lines are thinned to at most MAX_POINTS_PER_TRIP
points each, so a few hundred tracks draw in seconds. Longitude and latitude
are drawn with the east-west scale of their mean latitude (a trip across
the antimeridian continues past ±180°); x, y as they are.
Needs matplotlib."""

from __future__ import annotations

import numpy as np

MAX_POINTS_PER_TRIP = 2_000


def plot_result(folder: str, out: str, colour: str = "speed", title: str | None = None) -> int:
    """Draws the result in `folder` into the image `out`; returns the trips drawn."""
    try:
        import matplotlib
    except ImportError:
        raise RuntimeError("plot needs matplotlib (pip install matplotlib)") from None

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pandas as pd
    from matplotlib.collections import LineCollection

    from .destination import MANIFEST
    from .output_folder import OutputFolder

    result = OutputFolder(folder).destination
    if not result.exists(MANIFEST):
        raise ValueError(f"{folder}: holds no complete result of velmora-fleet run")
    if colour not in ("speed", "curvature"):
        raise ValueError(f"colour must be speed or curvature, got {colour!r}")
    import pyarrow.dataset as ds

    geographic = "lon" in ds.dataset(result.join("points.parquet"), filesystem=result.fs).schema.names
    a, b = ("lon", "lat") if geographic else ("x", "y")
    points = pd.read_parquet(
        result.join("points.parquet"), filesystem=result.fs, columns=["track_id", "trip", a, b, colour]
    )
    stops = pd.read_parquet(result.join("stops.parquet"), filesystem=result.fs, columns=[a, b])

    segments, values = [], []
    for _, trip in points.groupby(["track_id", "trip"], sort=False):
        step = max(1, len(trip) // MAX_POINTS_PER_TRIP)
        xy = trip[[a, b]].to_numpy(copy=True)[::step]
        if geographic:  # a trip across the antimeridian is drawn whole, past ±180, not across the map
            xy[:, 0] = np.unwrap(xy[:, 0], period=360.0)
        value = trip[colour].to_numpy()[::step]
        if len(xy) > 1:
            segments.append(np.stack([xy[:-1], xy[1:]], axis=1))
            values.append(value[:-1])
    figure, axes = plt.subplots(figsize=(10, 8), dpi=120)
    if segments:
        lines = LineCollection(
            np.concatenate(segments), array=np.concatenate(values), cmap="viridis", linewidths=1.0
        )
        finite = np.concatenate(values)
        finite = finite[np.isfinite(finite)]
        if finite.size:  # the 2nd to 98th percentile: a few outliers do not wash the colours out
            lines.set_clim(*np.percentile(finite, [2, 98]))
        axes.add_collection(lines)
        figure.colorbar(lines, ax=axes, label="speed (m/s)" if colour == "speed" else "curvature (1/m)")
    if len(stops):
        axes.scatter(
            stops[a],
            stops[b],
            s=18,
            facecolors="none",
            edgecolors="crimson",
            linewidths=0.8,
            label=f"stops ({len(stops):,})",
        )
        axes.legend(loc="upper right")
    axes.autoscale()
    if geographic and len(points):
        axes.set_aspect(1.0 / np.cos(np.radians(points[b].mean())))
        axes.set_xlabel("longitude (°)")
        axes.set_ylabel("latitude (°)")
    else:
        axes.set_aspect("equal")
        axes.set_xlabel("x (m)")
        axes.set_ylabel("y (m)")
    trips = len(segments)
    axes.set_title(title or f"{points['track_id'].nunique():,} tracks, {trips:,} trips, coloured by {colour}")
    figure.tight_layout()
    figure.savefig(out)
    plt.close(figure)
    return trips
