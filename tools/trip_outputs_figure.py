"""Draws one vessel of the AIS hour three ways: the full output (every 10 m),
the same simplified to 5 m, and on a time grid of 30 s, over its records.

    python tools/trip_outputs_figure.py build/ais/NYHarbor_2020_06_30_first_hour.csv docs/trip-outputs.png
"""

from __future__ import annotations

import sys

import numpy as np
import pandas as pd

import velmora_fleet

VESSEL = 367779550  # a ferry crossing the harbour (SUNSET CROSSING): turns, changes of speed, a berth


def main(source: str, image: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    records = pd.read_csv(source)
    vessel = records[records["MMSI"] == VESSEL]
    time = (
        pd.to_datetime(vessel["BaseDateTime"], utc=True)
        .dt.tz_localize(None)
        .to_numpy()
        .astype("datetime64[ns]")
    )
    given = dict(lon=vessel["LON"].to_numpy(), lat=vessel["LAT"].to_numpy(), preset="ais")
    full = velmora_fleet.process_track(time, **given)
    simple = velmora_fleet.process_track(time, **given, simplify=5.0)
    grid = velmora_fleet.process_track(time, **given, every="30s")
    frame = velmora_fleet.projection.frame_at_mean(given["lon"], given["lat"])

    def metres(result):
        return frame.forward(result.lon, result.lat)

    fig, (ax, speed) = plt.subplots(1, 2, figsize=(13, 6), gridspec_kw={"width_ratios": [1.1, 1]})
    ax.plot(*frame.forward(given["lon"], given["lat"]), "o", ms=3, color="0.6", label="records")
    ax.plot(*metres(full), "-", lw=2.5, color="tab:blue", alpha=0.5, label=f"full: {full.points_out} points")
    ax.plot(*metres(simple), "o-", ms=3, lw=1, color="tab:red", label=f"--simplify 5: {simple.points_out}")
    ax.plot(*metres(grid), "s", ms=4, mfc="none", color="tab:green", label=f"--every 30s: {grid.points_out}")
    ax.set_aspect("equal")
    ax.set_xlabel("east (m)")
    ax.set_ylabel("north (m)")
    ax.legend(loc="best", fontsize=9)
    start = time[0]

    def minutes(result):
        return (result.time - start).astype(np.int64) / 60e9

    speed.plot(minutes(full), full.speed / 0.514444, "-", color="tab:blue", label="full")
    speed.plot(minutes(simple), simple.speed / 0.514444, "o", ms=3, color="tab:red", label="simplified")
    speed.plot(
        minutes(grid), grid.speed / 0.514444, "s", ms=4, mfc="none", color="tab:green", label="time grid"
    )
    speed.plot((time - start).astype(np.int64) / 60e9, vessel["SOG"], "x", color="0.4", label="SOG (AIS)")
    speed.set_xlabel("minutes")
    speed.set_ylabel("knots")
    speed.legend(loc="best", fontsize=9)
    fig.suptitle(f"MMSI {VESSEL}, New York Harbor: one trip three ways (preset ais)")
    fig.tight_layout()
    fig.savefig(image, dpi=90)


if __name__ == "__main__":
    main(*sys.argv[1:3])
