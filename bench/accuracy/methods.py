"""The methods compared, by name, and how a command line names a variant.

A method is a function of one track's records (and the scenario's nominal
GNSS sigma) returning an Output. On the command line, `NAME:key=value,...`
gives it extra keyword settings: for velmora they go straight to
velmora_fleet.process_track (an unknown one is its TypeError), for the
Kalman smoother they replace the tuned noise.
"""

from __future__ import annotations

import ast
import functools
import inspect
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from . import peers
from .output import Output


@dataclass
class Records:
    """One track's records in order of time: seconds, metres (x east, y
    north); lon, lat in degrees where the track came from them."""

    time: np.ndarray
    x: np.ndarray
    y: np.ndarray
    lon: np.ndarray | None = None
    lat: np.ndarray | None = None


def run_velmora(records: Records, sigma: float, preset: str | None = None, **settings) -> Output:
    import velmora_fleet

    where = (
        dict(lon=records.lon, lat=records.lat) if records.lon is not None else dict(x=records.x, y=records.y)
    )
    if preset is not None:
        if "preset" in inspect.signature(velmora_fleet.process_track).parameters:
            settings = dict(settings, preset=preset)
        else:
            settings = {**preset_track_settings(preset), **settings}
    result = velmora_fleet.process_track(records.time, **where, **settings)
    return Output(
        result.time, result.x, result.y, result.speed, result.heading, result.curvature, segment=result.trip
    )


def preset_track_settings(name: str) -> dict:
    """A preset's per-track settings (its column settings are for run())."""
    from velmora_fleet.options import TRACK_SETTINGS
    from velmora_fleet.presets import preset_named

    track = {s.name for s in TRACK_SETTINGS}
    return {k: v for k, v in preset_named(name).settings.items() if k in track}


@dataclass(frozen=True)
class Method:
    name: str
    run: Callable
    needs: str | None = None  # a module the method imports: without it, the method is skipped
    vessels_only: bool = False
    tuned: str | None = None  # the setting tuned per scenario on tracks of its own
    grid: tuple = ()  # the values tried for it
    quick_grid: tuple = ()  # those tried in a quick run
    tuned_as: str | None = None  # another method whose tuning this one takes (the same filter)
    describe: str = ""


# process noise, m/s^2 per sqrt(s): a log grid wide enough for 10 Hz cars and 60 s vessels alike
PROCESS_NOISE_GRID = (0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 1.0, 3.0)
QUICK_PROCESS_NOISE_GRID = (0.03, 0.3)  # what the full grid picks for vessels and for cars

REGISTRY = {
    m.name: m
    for m in (
        Method("velmora", run_velmora, needs="velmora_fleet", describe="process_track with its defaults"),
        Method(
            "velmora_ais",
            functools.partial(run_velmora, preset="ais"),
            needs="velmora_fleet",
            vessels_only=True,
            describe="process_track with the AIS preset's track settings",
        ),
        Method(
            "raw",
            peers.raw,
            needs="movingpandas",
            describe="movingpandas add_speed / add_direction on the records",
        ),
        Method(
            "kalman",
            peers.kalman,
            needs="stonesoup",
            tuned="process_noise",
            grid=PROCESS_NOISE_GRID,
            quick_grid=QUICK_PROCESS_NOISE_GRID,
            describe="movingpandas KalmanSmootherCV, then movingpandas speed / direction",
        ),
        Method(
            "kalman_state",
            peers.kalman_state,
            needs="stonesoup",
            tuned="process_noise",
            grid=PROCESS_NOISE_GRID,
            quick_grid=QUICK_PROCESS_NOISE_GRID,
            tuned_as="kalman",
            describe="the same smoother's own velocity state",
        ),
        Method(
            "spline",
            peers.spline,
            needs="scipy",
            describe="scipy make_smoothing_spline of x(t), y(t), automatic lambda",
        ),
    )
}
DEFAULT_METHODS = tuple(REGISTRY)


@dataclass(frozen=True)
class Variant:
    """A method with the settings given on the command line."""

    label: str
    method: Method
    settings: dict = field(default_factory=dict)

    @property
    def tuned(self) -> bool:
        """Tuned per scenario, unless the command line set the tuned setting."""
        return self.method.tuned is not None and self.method.tuned not in self.settings

    @property
    def tuning(self) -> str:
        """The variant whose grid search gives this one its tuned setting:
        itself, or with the method it takes its tuning from, the same settings."""
        lender = self.method.tuned_as
        return self.label if lender is None else lender + self.label[len(self.method.name) :]


def parse(spec: str) -> Variant:
    """`velmora:max_deviation=3,spacing=5` -> the velmora method with those settings."""
    name, _, rest = spec.partition(":")
    if name not in REGISTRY:
        raise ValueError(f"unknown method {name!r}; known: {', '.join(REGISTRY)}")
    settings = {}
    for item in filter(None, (part.strip() for part in rest.split(","))):
        key, equals, text = item.partition("=")
        if not equals or not key.strip():
            raise ValueError(f"method settings are key=value pairs, got {item!r} in {spec!r}")
        settings[key.strip()] = _value(text.strip())
    return Variant(spec, REGISTRY[name], settings)


def _value(text: str):
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return text  # a word: text (None, True, numbers and tuples are literals)


def available(method: Method) -> bool:
    if method.needs is None:
        return True
    try:
        __import__(method.needs)
    except ImportError:
        return False
    return True
