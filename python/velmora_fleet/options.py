"""Every setting of the pipeline, declared once.

The CLI's flags, the keywords of run() and process_track(), their defaults,
their help and their checks all come from the tables below: adding a setting
is one row (plus its use).
"""

from __future__ import annotations

import dataclasses
import inspect
import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np


@dataclass(frozen=True)
class Setting:
    name: str
    default: Any
    help: str
    kind: type = float  # float, int, bool, str, dict (name=value pairs) or tuple (names)
    minimum: float | None = 0.0
    above: bool = False  # strictly greater than the minimum
    none: str = ""  # what None means, where None is allowed
    metavar: str = "M"
    choices: tuple = ()  # the values a text setting may take (any where empty)
    duration: bool = False  # seconds, also given as text with a unit: 10s, 1.5min, 2h
    # False for settings that cannot change any output row (how the run is
    # carried out, not what it computes): left out of the key --resume checks.
    changes_rows: bool = True

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")

    def check(self, value: Any) -> Any:
        """The value as the pipeline uses it, or ValueError naming the setting."""
        if value is None and (self.none or self.default is None):
            return None
        if self.kind is bool:
            if not isinstance(value, (bool, np.bool_)):
                raise ValueError(f"{self.name} must be True or False, got {value!r}")
            return bool(value)
        if self.kind is str:
            if not isinstance(value, str):
                raise ValueError(f"{self.name} must be text, got {value!r}")
            if self.choices and value not in self.choices:
                raise ValueError(f"{self.name} must be one of {', '.join(self.choices)}, got {value!r}")
            return value
        if self.kind is dict:
            return _pairs(self.name, value)
        if self.kind is tuple:
            return _names(self.name, value)
        if self.kind is int:
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
                raise ValueError(f"{self.name} must be an integer, got {value!r}")
            value = int(value)
        else:
            if self.duration and isinstance(value, str):
                value = seconds_of(self.name, value)
            if (
                isinstance(value, (bool, np.bool_))
                or not isinstance(value, (int, float, np.integer, np.floating))
                or not math.isfinite(value)
            ):
                raise ValueError(f"{self.name} must be a finite number, got {value!r}")
            value = float(value)
        self.check_bound(value)
        return value

    def check_bound(self, value: float) -> None:
        if self.kind not in (int, float):
            return
        if self.minimum is not None and (value < self.minimum or (self.above and value == self.minimum)):
            raise ValueError(
                f"{self.name} must be {'greater than' if self.above else 'at least'} "
                f"{self.minimum:g}, got {value!r}"
            )


_UNITS = {"ms": 1e-3, "s": 1.0, "sec": 1.0, "min": 60.0, "h": 3600.0, "d": 86400.0}


def seconds_of(name: str, text: str) -> float:
    """Seconds of a duration written as a number with an optional unit (10, 10s, 1.5min, 2h)."""
    stripped = text.strip().lower()
    number = stripped.rstrip("abcdefghijklmnopqrstuvwxyz")
    unit = stripped[len(number) :] or "s"
    try:
        return float(number) * _UNITS[unit]
    except (ValueError, KeyError):
        raise ValueError(
            f"{name} must be a duration such as 10, 10s, 1.5min or 2h (units: {', '.join(_UNITS)}), got {text!r}"
        ) from None


def _pairs(name: str, value) -> dict:
    """name=value pairs, from a dict or from text "a=b,c=d"."""
    if isinstance(value, str):
        items = [item.strip() for item in value.split(",") if item.strip()]
        if not all("=" in item for item in items):
            raise ValueError(f"{name} must be pairs like track_id=MMSI,time=BaseDateTime, got {value!r}")
        value = dict(item.split("=", 1) for item in items)
    if not isinstance(value, dict) or not all(
        isinstance(k, str) and isinstance(v, str) for k, v in value.items()
    ):
        raise ValueError(f"{name} must map names to names, got {value!r}")
    return {k.strip(): v.strip() for k, v in value.items()}


def _names(name: str, value) -> tuple:
    """Column names, from a list or from text "a,b"."""
    if isinstance(value, str):
        value = [item.strip() for item in value.split(",") if item.strip()]
    if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
        raise ValueError(f"{name} must be column names, got {value!r}")
    return tuple(value)


# Per track: what process_track() takes, and what every worker is given.
TRACK_SETTINGS = (
    Setting(
        "motion",
        "smooth",
        "how a trip's motion is made: smooth (from the records' noise and times) or plain "
        "(the module's repair, smoothing and resampling as they are)",
        kind=str,
        choices=("smooth", "plain"),
        metavar="KIND",
    ),
    Setting(
        "max_deviation",
        None,
        "metres an interior point may move along each axis in smoothing",
        none="1.5 times the records' noise (smooth); 1.0 (plain)",
    ),
    Setting(
        "noise",
        None,
        "metres, the records' position error per axis (smooth)",
        above=True,
        none="estimated per trip from the records' scatter",
    ),
    Setting(
        "acceleration",
        None,
        "m/s², the usual change of speed along the path: how smooth the speed is (smooth)",
        above=True,
        none="estimated per trip from the records",
        metavar="M/S2",
    ),
    Setting(
        "turn_acceleration",
        None,
        "m/s², the usual acceleration across the path: how sharply the path bends between records (smooth)",
        above=True,
        none="estimated per trip from the records",
        metavar="M/S2",
    ),
    Setting(
        "max_acceleration",
        None,
        "m/s² that no motion exceeds: a record farther from its neighbours' motion than this and "
        "its noise allow is an outlier (smooth)",
        above=True,
        none="8 times what the track's records show, at least 0.5",
        metavar="M/S2",
    ),
    Setting("spacing", 1.0, "metres between resampled points", above=True),
    Setting(
        "every",
        None,
        "seconds between output points, on a grid shared by every track (10, 10s, 1min)",
        above=True,
        none="every --spacing metres",
        metavar="DURATION",
        duration=True,
    ),
    Setting("max_rmse", 0.15, "metres, threshold of the circle-fit curvature"),
    Setting(
        "sus_angle", 2.8, "radians, a turn that flags a point recorded out of order (plain)", metavar="RAD"
    ),
    Setting("max_gap", 600.0, "seconds between records that start a new trip (0: no splitting)", metavar="S"),
    Setting(
        "max_speed",
        None,
        "m/s between records above which the records that break it are dropped as jumps",
        above=True,
        none="off",
        metavar="M/S",
    ),
    Setting("stop_diameter", 30.0, "metres a run of records stays within to be a stop", above=True),
    Setting("stop_duration", 300.0, "seconds a stop lasts at least (0: no stops)", metavar="S"),
    Setting(
        "simplify",
        None,
        "metres: keep only the output points needed for every point of the full output to lie within "
        "M of where the kept ones put the trip at that point's time",
        above=True,
        none="off",
        metavar="M",
    ),
)

# The run as a whole: the input's columns, the engine, the tasks, the output folder.
RUN_SETTINGS = (
    Setting(
        "columns",
        None,
        "the input's names for the pipeline's columns, as track_id=MMSI,time=BaseDateTime,"
        "lon=LON,lat=LAT (any of track_id, time, x, y, lon, lat)",
        kind=dict,
        none="the same names",
        metavar="PAIRS",
    ),
    Setting(
        "preset",
        None,
        "settings for a kind of recording: ais (US MarineCadastre or Danish Maritime Authority exports)",
        kind=str,
        none="none",
        metavar="NAME",
    ),
    Setting(
        "time_format",
        None,
        "how text times are written, as strftime (%%d/%%m/%%Y %%H:%%M:%%S)",
        kind=str,
        none="ISO 8601, or numbers",
        metavar="FORMAT",
    ),
    Setting("carry", (), "numeric input columns carried to every output point", kind=tuple, metavar="NAMES"),
    Setting(
        "carry_angles",
        (),
        "input columns of angles in degrees carried to every output point, interpolated on the circle",
        kind=tuple,
        metavar="NAMES",
    ),
    Setting(
        "crs",
        None,
        "the coordinate reference system of x, y input, for the GeoParquet output "
        "(for example EPSG:25832; needs pyproj)",
        kind=str,
        none="none",
        metavar="CRS",
    ),
    Setting(
        "workers",
        None,
        "local worker processes",
        kind=int,
        none="one per core; 0: no Dask, this process",
        metavar="N",
        changes_rows=False,
    ),
    Setting(
        "scheduler",
        None,
        "run on the Dask cluster at ADDRESS",
        kind=str,
        none="an embedded cluster",
        metavar="ADDRESS",
        changes_rows=False,
    ),
    Setting(
        "wait_workers",
        60.0,
        "seconds to wait for a worker to join the cluster at --scheduler",
        metavar="S",
        changes_rows=False,
    ),
    Setting(
        "batch_points",
        None,
        "points per task",
        kind=int,
        minimum=1,
        none="about 200,000, so that tasks stay short and failures small",
        metavar="N",
        changes_rows=False,
    ),
    Setting(
        "max_track_points",
        2_000_000,
        "tracks with more records are not run (status too_large)",
        kind=int,
        minimum=2,
        none="no limit",
        metavar="N",
    ),
    Setting("grouped", False, "every track's records lie in one input file: no shuffle", kind=bool),
    Setting(
        "resume",
        False,
        "finish an interrupted run into OUT, skipping its complete parts",
        kind=bool,
        changes_rows=False,
    ),
    Setting("overwrite", False, "replace a complete earlier result in OUT", kind=bool, changes_rows=False),
    Setting("progress", False, "a progress bar on the terminal", kind=bool, changes_rows=False),
    Setting(
        "quiet", False, "no progress bar, and none of Dask's own warnings", kind=bool, changes_rows=False
    ),
    Setting(
        "dashboard",
        False,
        "serve Dask's dashboard on the embedded cluster and print its address",
        kind=bool,
        changes_rows=False,
    ),
)

SETTINGS = {s.name: s for s in TRACK_SETTINGS + RUN_SETTINGS}
# What a run's rows depend on: the key an interrupted run is resumed under.
ROW_SETTINGS = tuple(s for s in TRACK_SETTINGS + RUN_SETTINGS if s.changes_rows)

Options = dataclasses.make_dataclass(
    "Options", [(s.name, s.kind, dataclasses.field(default=s.default)) for s in TRACK_SETTINGS], frozen=True
)
Options.__module__ = __name__  # so that it pickles by name (make_dataclass takes no module before 3.12)
Options.__doc__ = "Per-track settings; the defaults are the module's own where it has one."


def checked_options(**values: Any) -> Options:
    return Options(**{name: SETTINGS[name].check(value) for name, value in values.items()})


def takes_settings(settings: tuple[Setting, ...]) -> Callable:
    """Gives a function taking **settings the settings as keyword-only
    parameters in its signature (for help() and inspect), and makes an
    unknown keyword a TypeError as Python would."""
    names = {s.name for s in settings}

    def decorate(function: Callable) -> Callable:
        signature = inspect.signature(function)
        kept = [p for p in signature.parameters.values() if p.kind is not inspect.Parameter.VAR_KEYWORD]
        added = [
            inspect.Parameter(s.name, inspect.Parameter.KEYWORD_ONLY, default=s.default) for s in settings
        ]

        def wrapper(*args, **keywords):
            for name in keywords:
                if name not in names and name not in signature.parameters:
                    raise TypeError(f"{function.__name__}() got an unexpected keyword argument {name!r}")
            return function(*args, **keywords)

        wrapper.__signature__ = signature.replace(parameters=kept + added)
        for attribute in ("__name__", "__qualname__", "__doc__", "__module__"):
            setattr(wrapper, attribute, getattr(function, attribute))
        return wrapper

    return decorate


def pick(values: dict[str, Any], settings: tuple[Setting, ...]) -> dict[str, Any]:
    """The given values of these settings, each defaulted where absent."""
    return {s.name: values.get(s.name, s.default) for s in settings}
