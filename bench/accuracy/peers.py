"""The tools a user would pick instead, run as their users run them.

movingpandas works on a Trajectory (a GeoDataFrame indexed by time); the
records go in with a projected CRS, so its distances and speeds are planar
metres and m/s. Its speed and direction at a record are those of the step
from the record before (the first record takes the second's), as users get
them. It has no curvature: here the turn between its directions at a record
over the mean of the two steps beside it, signed (positive turning left).
"""

from __future__ import annotations

import contextlib

import numpy as np

from .output import Output, compass

EPOCH = np.datetime64("2020-01-01T00:00:00", "ns")
METRIC_CRS = "EPSG:32618"  # any projected CRS: movingpandas then measures in the plane, in its units (m)


def trajectory(time, x, y):
    import geopandas as gpd
    import movingpandas as mpd
    import pandas as pd

    index = pd.DatetimeIndex(EPOCH + np.round(np.asarray(time) * 1e9).astype("timedelta64[ns]"), name="t")
    frame = gpd.GeoDataFrame(index=index, geometry=gpd.points_from_xy(x, y), crs=METRIC_CRS)
    return mpd.Trajectory(frame, 1)


def movingpandas_motion(traj, time) -> Output:
    """movingpandas' own speed, direction and distance columns of a Trajectory."""
    traj.add_speed(overwrite=True)
    traj.add_direction(overwrite=True)
    traj.add_distance(overwrite=True)
    frame = traj.df
    x, y = frame.geometry.x.to_numpy(), frame.geometry.y.to_numpy()
    direction = frame["direction"].to_numpy(dtype=np.float64)
    step = frame["distance"].to_numpy(dtype=np.float64)
    return Output(
        time,
        x,
        y,
        frame["speed"].to_numpy(dtype=np.float64),
        direction,
        turn_curvature(direction, step),
        signed=True,
    )


def turn_curvature(direction: np.ndarray, step: np.ndarray) -> np.ndarray:
    """Signed curvature at each record from the directions of the steps into
    it (direction[i]: from i-1 to i, degrees clockwise) and their lengths."""
    curvature = np.full(len(direction), np.nan)
    if len(direction) < 3:
        return curvature
    turn = (direction[2:] - direction[1:-1] + 180.0) % 360.0 - 180.0  # clockwise positive
    span = 0.5 * (step[1:-1] + step[2:])
    with np.errstate(divide="ignore", invalid="ignore"):
        curvature[1:-1] = np.where(span > 0, -np.radians(turn) / span, np.nan)
    return curvature


def raw(records, sigma: float) -> Output:
    return movingpandas_motion(trajectory(records.time, records.x, records.y), records.time)


def kalman(
    records, sigma: float, process_noise: float = 0.5, measurement_noise: float | None = None
) -> Output:
    import movingpandas as mpd

    smoothed = mpd.KalmanSmootherCV(trajectory(records.time, records.x, records.y)).smooth(
        process_noise_std=process_noise,
        measurement_noise_std=sigma if measurement_noise is None else measurement_noise,
    )
    return movingpandas_motion(smoothed, records.time)


def kalman_state(
    records, sigma: float, process_noise: float = 0.5, measurement_noise: float | None = None
) -> Output:
    """The smoother's own state: movingpandas keeps only its positions, so
    the Stone Soup smoother it calls is watched for the velocities."""
    import movingpandas as mpd

    with _keeping_smoothed_tracks() as kept:
        mpd.KalmanSmootherCV(trajectory(records.time, records.x, records.y)).smooth(
            process_noise_std=process_noise,
            measurement_noise_std=sigma if measurement_noise is None else measurement_noise,
        )
    state = np.array([np.asarray(s.state_vector, dtype=np.float64).ravel() for s in kept[-1]])
    x, vx, y, vy = state.T
    return Output(
        records.time,
        x,
        y,
        np.hypot(vx, vy),
        compass(vx, vy),
        velocity_curvature(np.asarray(records.time, dtype=np.float64), vx, vy),
        signed=True,
    )


@contextlib.contextmanager
def _keeping_smoothed_tracks():
    import movingpandas.trajectory_smoother as module

    original = module.KalmanSmoother
    kept = []

    class Keeping(original):
        def smooth(self, *args, **kwargs):
            track = super().smooth(*args, **kwargs)
            kept.append(track)
            return track

    module.KalmanSmoother = Keeping
    try:
        yield kept
    finally:
        module.KalmanSmoother = original


def velocity_curvature(t: np.ndarray, vx: np.ndarray, vy: np.ndarray) -> np.ndarray:
    """(v x a) / |v|^3, the acceleration from central differences in time."""
    if len(t) < 3:
        return np.full(len(t), np.nan)
    ax, ay = np.gradient(vx, t), np.gradient(vy, t)
    with np.errstate(divide="ignore", invalid="ignore"):
        return (vx * ay - vy * ax) / np.hypot(vx, vy) ** 3


def spline(records, sigma: float) -> Output:
    """make_smoothing_spline of x(t) and y(t), its smoothing chosen by
    generalised cross-validation (lam=None); motion from its derivatives."""
    from scipy.interpolate import make_smoothing_spline

    t = np.asarray(records.time, dtype=np.float64)
    fx, fy = make_smoothing_spline(t, records.x), make_smoothing_spline(t, records.y)
    vx, vy = fx.derivative()(t), fy.derivative()(t)
    ax, ay = fx.derivative(2)(t), fy.derivative(2)(t)
    speed = np.hypot(vx, vy)
    with np.errstate(divide="ignore", invalid="ignore"):
        curvature = (vx * ay - vy * ax) / speed**3
    return Output(t, fx(t), fy(t), speed, compass(vx, vy), curvature, signed=True)
