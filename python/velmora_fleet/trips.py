"""A track's kept records cut into trips: at gaps in time longer than
max_gap, and at stops. A stop ends the trip before it at the stop's mean
position at its arrival time, and the next trip starts there at its
departure time, so the records at rest never become motion."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass
class Stop:
    first: int  # kept records first..last, inclusive
    last: int
    x: float  # mean position (in the track's frame)
    y: float


@dataclass
class TripPlan:
    first: int  # kept records first..last, inclusive (last < first: none, a trip between two stops)
    last: int
    starts_at: Stop | None = None  # the stop it leaves
    ends_at: Stop | None = None  # the stop it reaches

    @property
    def records(self) -> int:
        return max(0, self.last - self.first + 1)


def plan_trips(
    seconds: np.ndarray, x: np.ndarray, y: np.ndarray, stop_ranges: list[tuple], max_gap: float
) -> tuple[list[TripPlan], list[Stop]]:
    """Trips and stops of kept records in order of time (x, y in metres)."""
    n = len(seconds)
    stops = [Stop(a, b, float(np.mean(x[a : b + 1])), float(np.mean(y[a : b + 1]))) for a, b in stop_ranges]
    gap_after = np.zeros(n, dtype=bool)  # a gap between record i and i + 1
    if max_gap > 0 and n > 1:
        gap_after[:-1] = np.diff(seconds) > max_gap
    if not stops and not gap_after.any():  # the usual case: one trip of every record
        return [TripPlan(0, n - 1)], []
    stop_of = {}
    for stop in stops:
        stop_of[stop.first] = stop_of[stop.last] = stop
    trips, index, k = [], 0, 0
    while index < n:
        if k < len(stops) and stops[k].first == index:  # a stop: the next trip may leave it
            stop = stops[k]
            k += 1
            index = stop.last + 1
            if index < n and not gap_after[stop.last]:
                following = stops[k] if k < len(stops) and stops[k].first == index else None
                if following is not None:  # moved between two stops without a record between
                    trips.append(TripPlan(index, index - 1, stop, following))
            continue
        last = _run_end(index, gap_after, stops[k].first if k < len(stops) else n)
        before = stop_of.get(index - 1) if index > 0 and not gap_after[index - 1] else None
        after = stop_of.get(last + 1) if last + 1 < n and not gap_after[last] else None
        trips.append(
            TripPlan(
                index,
                last,
                before if before and before.last == index - 1 else None,
                after if after and after.first == last + 1 else None,
            )
        )
        index = last + 1
    return trips, stops


def _run_end(first: int, gap_after: np.ndarray, next_stop: int) -> int:
    """The last record of the run starting at first: before a gap or the next stop."""
    gaps = np.flatnonzero(gap_after[first:next_stop])
    return first + int(gaps[0]) if gaps.size else next_stop - 1
