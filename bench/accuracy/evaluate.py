"""One method on one simulated track, timed and scored: the unit of work a
worker process runs. Everything it needs is named (method spec, scenario,
seed, track number), so tasks pickle small and a worker simulates a track
once for all the methods it runs on it."""

from __future__ import annotations

import functools
import time
from dataclasses import dataclass, field

import numpy as np

from .methods import Records, parse
from .output import Output
from .scoring import Score, length_error, score
from .simulate import SCENARIOS, scenario_named, simulate


@dataclass
class TrackRun:
    spec: str
    scenario: str
    number: int
    records: int
    points_out: int = 0
    cpu: float = 0.0  # process CPU seconds of the method's call
    at_records: Score = field(default_factory=Score)
    on_grid: Score = field(default_factory=Score)
    length: float = np.nan  # relative error
    error: str = ""  # the method raised: its message


@functools.lru_cache(maxsize=32)
def track(scenario: str, seed: int, number: int, quick: bool = False):
    return simulate(scenario_named(scenario, quick), number, seed)


_warm: set = set()


def warm_up(spec: str, settings: dict) -> None:
    """Runs a method once on a short track first, untimed: a worker's first
    call pays its imports and caches, which no later call does."""
    name = spec.partition(":")[0]
    if name in _warm:
        return
    _warm.add(name)
    t = np.arange(40.0) * 5.0
    records = Records(t, 5.0 * t, 30.0 * np.sin(t / 50.0))
    try:
        call(spec, records, 3.0, settings)
    except Exception:
        pass  # the timed call reports it


def call(spec: str, records: Records, sigma: float, settings: dict) -> Output:
    variant = parse(spec)
    return variant.method.run(records, sigma, **{**settings, **variant.settings})


def run_on_track(
    spec: str, scenario: str, seed: int, number: int, settings: dict, quick: bool = False
) -> TrackRun:
    """`settings`: the tuned values (the command line's win over them)."""
    simulated = track(scenario, seed, number, quick)
    records = Records(simulated.time, simulated.x, simulated.y)
    sigma = SCENARIOS[scenario].nominal_sigma
    run = TrackRun(spec, scenario, number, len(simulated.time))
    warm_up(spec, settings)
    began = time.process_time()
    try:
        output = call(spec, records, sigma, settings)
    except TypeError:
        raise  # a setting the method does not take: the command line's mistake
    except Exception as exc:
        run.cpu = time.process_time() - began
        run.error = f"{type(exc).__name__}: {exc}"
        run.at_records = Score({}, len(simulated.time), len(simulated.time))  # nothing covered
        run.on_grid = Score({}, len(simulated.grid.t), len(simulated.grid.t))
        return run
    run.cpu = time.process_time() - began
    run.points_out = len(output)
    run.at_records = score(output, simulated.truth)
    run.on_grid = score(output, simulated.grid)
    run.length = length_error(output, simulated.grid)
    return run
