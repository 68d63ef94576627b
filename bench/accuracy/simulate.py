"""Seeded tracks whose true position, speed, heading and signed curvature are
known at every record and on a one-second grid between them.

A scenario is a row of SCENARIOS: how the true motion is drawn (motion.py),
when the receiver reports, and its error: per axis, half of the variance
white and half a first-order Gauss-Markov process (correlated over `tau`
seconds, as GNSS errors from the atmosphere and the satellites' geometry
are), plus a share of gross outliers.
"""

from __future__ import annotations

import dataclasses
import zlib
from dataclasses import dataclass, field

import numpy as np

from .motion import car_speeds, route, vessel_speeds


@dataclass
class Truth:
    """The true state at some instants; heading in degrees clockwise from
    north (as the methods give it), curvature signed (positive: left)."""

    t: np.ndarray
    x: np.ndarray
    y: np.ndarray
    speed: np.ndarray
    heading: np.ndarray
    curvature: np.ndarray
    s: np.ndarray  # metres along the route

    def take(self, index) -> "Truth":
        return Truth(
            *(getattr(self, name)[index] for name in ("t", "x", "y", "speed", "heading", "curvature", "s"))
        )


@dataclass
class Track:
    scenario: str
    number: int
    sigma: float  # metres per axis, white and correlated parts together
    time: np.ndarray  # the records: seconds from the track's start
    x: np.ndarray  # metres east, with the receiver's error
    y: np.ndarray
    truth: Truth  # at the records
    grid: Truth  # every second
    outliers: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=bool))


@dataclass(frozen=True)
class Scenario:
    name: str
    kind: str  # "vessel" or "car": which motion
    tracks: int  # in a full run; --quick takes fewer
    duration: float  # seconds per track
    interval: tuple  # seconds between records, drawn uniformly (equal ends: regular)
    sigma: tuple  # metres per axis, drawn per track (equal ends: fixed)
    correlated: float = 0.5  # share of the error's variance that is correlated
    tau: float = 60.0  # seconds, the correlated part's time constant
    outliers: float = 0.0  # share of records off by a gross error
    outlier_range: tuple = (50.0, 300.0)  # metres
    dt: float = 1.0  # seconds, the motion's time step (records fall on it)
    whole_seconds: bool = True  # record times in whole seconds, as AIS and most GNSS logs give them

    @property
    def nominal_sigma(self) -> float:
        return float(np.mean(self.sigma))

    @property
    def vessel(self) -> bool:
        return self.kind == "vessel"


VESSEL = dict(kind="vessel", duration=3600.0, dt=1.0)
CAR = dict(kind="car", dt=0.1)
SCENARIOS = {
    s.name: s
    for s in (
        Scenario("vessel_dense", tracks=12, interval=(2, 12), sigma=(3, 3), outliers=0.005, **VESSEL),
        Scenario("vessel_noisy", tracks=12, interval=(2, 12), sigma=(10, 10), outliers=0.005, **VESSEL),
        Scenario(
            "vessel_sparse",
            tracks=12,
            interval=(55, 65),
            sigma=(3, 3),
            outliers=0.005,
            **{**VESSEL, "duration": 4 * 3600.0},
        ),
        Scenario("car_1hz", tracks=12, duration=900.0, interval=(1, 1), sigma=(3, 5), **CAR),
        # velmora_fleet.synthetic's kind of track: 10 Hz, 0.3 m of white noise
        Scenario(
            "car_10hz",
            tracks=6,
            duration=300.0,
            interval=(0.1, 0.1),
            sigma=(0.3, 0.3),
            correlated=0.0,
            whole_seconds=False,
            **CAR,
        ),
    )
}


def scenario_named(name: str, quick: bool = False) -> Scenario:
    """A scenario; quick: its tracks half as long."""
    scenario = SCENARIOS[name]
    return dataclasses.replace(scenario, duration=scenario.duration / 2) if quick else scenario


def simulate(scenario: Scenario, number: int, seed: int) -> Track:
    """Track `number` of the scenario; the same (seed, number) gives the same track."""
    rng = np.random.default_rng([seed, number, _stable_hash(scenario.name)])
    truth_all = true_motion(rng, scenario)
    index = _record_steps(rng, scenario, len(truth_all.t))
    truth = truth_all.take(index)
    every = int(round(1.0 / scenario.dt))
    grid = truth_all.take(
        slice(index[0], index[-1] + 1, every)
    )  # every second from the first record to the last
    sigma = rng.uniform(*scenario.sigma)
    ex, ey, outliers = _errors(rng, scenario, sigma, truth.t)
    return Track(
        scenario.name, number, sigma, truth.t.copy(), truth.x + ex, truth.y + ey, truth, grid, outliers
    )


def _stable_hash(text: str) -> int:
    return zlib.crc32(text.encode())  # Python's own hash() of text changes from process to process


def _motion(rng, scenario: Scenario):
    if scenario.vessel:
        profile = vessel_speeds(rng, scenario.duration, scenario.dt, (2.0, 10.0), 0.03, (300.0, 1500.0))
        length = float(profile.s[-1]) + 500.0
        road = route(
            rng, length, (500.0, 4000.0), (200.0, 2000.0), (20.0, 120.0), u_turn=0.1, ramp=60.0, step=0.5
        )
        return road, profile
    length = 14.0 * scenario.duration + 500.0
    road = route(rng, length, (80.0, 400.0), (10.0, 25.0), (90.0, 90.0), u_turn=0.0, ramp=4.0, step=0.05)
    profile = car_speeds(
        rng,
        road,
        scenario.duration,
        scenario.dt,
        cruise=rng.uniform(10.0, 14.0),
        accel=rng.uniform(1.0, 2.0),
        brake=rng.uniform(1.0, 2.0),
        lateral=2.0,
        light_share=0.4,
        wait=(10.0, 60.0),
    )
    return road, profile


def true_motion(rng, scenario: Scenario) -> Truth:
    """The true state at every time step of the scenario's motion."""
    road, profile = _motion(rng, scenario)
    x, y = road.position(profile.s)
    heading = (90.0 - np.degrees(road.theta(profile.s))) % 360.0
    return Truth(profile.t, x, y, profile.v, heading, road.curvature(profile.s), profile.s)


def _record_steps(rng, scenario: Scenario, steps: int) -> np.ndarray:
    """Indices of the motion's time steps at which the receiver reports."""
    low, high = scenario.interval
    if low == high:
        return np.arange(0, steps, int(round(low / scenario.dt)))
    gaps = (
        rng.integers(low, high + 1, size=int(steps * scenario.dt / low) + 2)
        if scenario.whole_seconds
        else (rng.uniform(low, high, size=int(steps * scenario.dt / low) + 2))
    )
    at = np.round(np.cumsum(np.r_[0.0, gaps]) / scenario.dt).astype(np.int64)
    return at[at < steps]


def _errors(rng, scenario: Scenario, sigma: float, t: np.ndarray):
    """Per axis: white N(0, sigma^2 (1 - c)) plus a Gauss-Markov process of
    variance sigma^2 c, sampled exactly at the record times; and outliers."""
    n = len(t)
    white = sigma * np.sqrt(1.0 - scenario.correlated)
    errors = rng.normal(0.0, white, (2, n))
    if scenario.correlated > 0:
        coloured = sigma * np.sqrt(scenario.correlated)
        decay = np.exp(-np.diff(t) / scenario.tau)
        state = rng.normal(0.0, coloured, 2)
        drive = rng.normal(0.0, 1.0, (2, n))
        for k in range(n):
            if k:
                state = state * decay[k - 1] + coloured * np.sqrt(1.0 - decay[k - 1] ** 2) * drive[:, k]
            errors[:, k] += state
    outliers = rng.random(n) < scenario.outliers
    size = rng.uniform(*scenario.outlier_range, outliers.sum())
    direction = rng.uniform(0.0, 2 * np.pi, outliers.sum())
    errors[0, outliers] += size * np.cos(direction)
    errors[1, outliers] += size * np.sin(direction)
    return errors[0], errors[1], outliers
