"""Judging a method's output against the truth at given instants.

Every method is judged at the same instants (the records' times, and a
one-second grid between them), each mapped there by its own time column:
its outputs are interpolated linearly within a segment (heading as a unit
vector, so that 359 and 1 degrees meet at 0); an instant outside every
segment is not scored but counted as not covered.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .output import Output

MOVING = 0.5  # m/s: heading and curvature are judged only where the truth moves faster
ERRORS = ("position", "along", "cross", "speed", "heading", "curvature", "curvature_signed")
UNITS = {
    "position": "m",
    "along": "m",
    "cross": "m",
    "speed": "m/s",
    "heading": "deg",
    "curvature": "1e-3/m",
    "curvature_signed": "1e-3/m",
    "length": "%",
}


@dataclass
class Estimate:
    covered: np.ndarray  # bool per instant
    x: np.ndarray
    y: np.ndarray
    speed: np.ndarray
    heading: np.ndarray
    curvature: np.ndarray


def at_instants(output: Output, t: np.ndarray) -> Estimate:
    n = len(t)
    covered = np.zeros(n, dtype=bool)
    columns = {name: np.full(n, np.nan) for name in ("x", "y", "speed", "east", "north", "curvature")}
    radians = np.radians(output.heading)
    source = {
        "x": output.x,
        "y": output.y,
        "speed": output.speed,
        "east": np.sin(radians),
        "north": np.cos(radians),
        "curvature": output.curvature,
    }
    for start, stop in output.segments():
        times = output.time[start:stop]
        inside = (t >= times[0]) & (t <= times[-1])
        if not inside.any():
            continue
        covered |= inside
        for name, values in source.items():
            columns[name][inside] = _interp(t[inside], times, values[start:stop])
    heading = np.degrees(np.arctan2(columns["east"], columns["north"])) % 360.0
    return Estimate(covered, columns["x"], columns["y"], columns["speed"], heading, columns["curvature"])


def _interp(t, times, values):
    """Linear interpolation that keeps a missing value missing (np.interp would spread its neighbours)."""
    if len(times) == 1:
        return np.full(len(t), values[0])
    finite = np.isfinite(values)
    if finite.all():
        return np.interp(t, times, values)
    result = np.interp(t, times, np.where(finite, values, 0.0))
    # an instant next to a missing value stays missing
    right = np.clip(np.searchsorted(times, t, side="left"), 0, len(times) - 1)
    left = np.clip(right - 1, 0, len(times) - 1)
    exact = times[right] == t
    bad = ~finite[right] | (~finite[left] & ~exact)
    result[bad] = np.nan
    return result


@dataclass
class Score:
    """One track's errors at its instants (absolute values; NaN where not judged)."""

    errors: dict = field(default_factory=dict)
    instants: int = 0
    uncovered: int = 0


def score(output: Output, truth) -> Score:
    """The output's errors at the truth's instants (a simulate.Truth)."""
    estimate = at_instants(output, truth.t)
    dx, dy = estimate.x - truth.x, estimate.y - truth.y
    angle = np.radians(90.0 - truth.heading)  # the true direction of travel, counterclockwise from east
    ux, uy = np.cos(angle), np.sin(angle)
    moving = truth.speed > MOVING
    judged = np.where(moving, 1.0, np.nan)
    errors = {
        "position": np.hypot(dx, dy),
        "along": np.abs(dx * ux + dy * uy),
        "cross": np.abs(dy * ux - dx * uy),
        "speed": np.abs(estimate.speed - truth.speed),
        "heading": np.abs((estimate.heading - truth.heading + 180.0) % 360.0 - 180.0) * judged,
        "curvature": np.abs(np.abs(estimate.curvature) - np.abs(truth.curvature)) * 1e3 * judged,
        "curvature_signed": (
            np.abs(estimate.curvature - truth.curvature) * 1e3 * judged
            if output.signed
            else np.full(len(truth.t), np.nan)
        ),
    }
    return Score(
        {k: v[estimate.covered] for k, v in errors.items()}, len(truth.t), int((~estimate.covered).sum())
    )


def length_error(output: Output, grid) -> float:
    """Relative error of the output's length over the times it covers,
    against the true distance travelled over the same times."""
    measured, true = 0.0, 0.0
    for start, stop in output.segments():
        if stop - start < 2:
            continue
        measured += float(np.hypot(np.diff(output.x[start:stop]), np.diff(output.y[start:stop])).sum())
        ends = np.interp([output.time[start], output.time[stop - 1]], grid.t, grid.s)
        true += float(ends[1] - ends[0])
    return measured / true - 1.0 if true > 0 else np.nan


def summary(values: np.ndarray) -> dict:
    values = np.asarray(values, dtype=np.float64)
    values = values[np.isfinite(values)]
    if not len(values):
        return {"median": None, "p95": None, "n": 0}
    return {
        "median": float(np.median(values)),
        "p95": float(np.percentile(values, 95)),
        "n": int(len(values)),
    }
