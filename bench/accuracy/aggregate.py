"""A method's figures over a scenario's tracks: errors pooled over every
judged instant (medians and p95), length per track, output points per
record, CPU per 1,000 records, and what was not covered."""

from __future__ import annotations

import numpy as np

from .scoring import ERRORS, summary


def figures(runs: list) -> dict:
    records = sum(r.records for r in runs)
    failed = [r for r in runs if r.error]
    lengths = np.array([r.length for r in runs if not r.error], dtype=np.float64)
    result = {
        "tracks": len(runs),
        "records": records,
        "at_records": _pooled(runs, "at_records"),
        "on_grid": _pooled(runs, "on_grid"),
        "length_pct": {
            **summary(np.abs(lengths) * 100.0),
            "signed_median": float(np.nanmedian(lengths) * 100.0) if np.isfinite(lengths).any() else None,
        },
        "points_per_record": sum(r.points_out for r in runs) / records if records else None,
        "cpu_s_per_1k_records": 1000.0 * sum(r.cpu for r in runs) / records if records else None,
        "records_uncovered": sum(r.at_records.uncovered for r in runs),
        "grid_instants_uncovered": sum(r.on_grid.uncovered for r in runs),
        "tracks_failed": len(failed),
    }
    if failed:
        result["first_failure"] = failed[0].error
    return result


def _pooled(runs: list, which: str) -> dict:
    pooled = {}
    for name in ERRORS:
        parts = [getattr(r, which).errors[name] for r in runs if name in getattr(r, which).errors]
        pooled[name] = summary(np.concatenate(parts) if parts else np.empty(0))
    return pooled


# what the per-scenario choice of a tuned setting weighs: each median relative to the best any value reached
OBJECTIVE = ("position", "speed", "heading", "curvature")


def choose(by_value: dict) -> tuple:
    """The value whose medians of OBJECTIVE, each divided by the best median
    of any value, add up least; and each value's objective."""
    best = {
        name: min(
            (f["at_records"][name]["median"] for f in by_value.values() if f["at_records"][name]["median"]),
            default=None,
        )
        for name in OBJECTIVE
    }
    objective = {}
    for value, f in by_value.items():
        terms = [
            f["at_records"][name]["median"] / best[name]
            for name in OBJECTIVE
            if best[name] and f["at_records"][name]["median"] is not None
        ]
        failed = f["tracks_failed"] or len(terms) < sum(1 for name in OBJECTIVE if best[name])
        objective[value] = float("inf") if failed else float(sum(terms))
    return min(objective, key=objective.get), objective
