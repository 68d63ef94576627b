"""Attaching a value column to a path and reading it back as an array."""

from __future__ import annotations

import numpy as np

import workloads
from harness import attempt, compare, max_abs_diff, sized


def run(vm):
    n = sized(1_000_000)
    arr = workloads.wandering_path(n)
    values = np.random.default_rng(5).random(n)
    as_list = values.tolist()
    path = attempt(lambda: vm.Path2D(points=arr))

    def exact(v, p):
        diff = max_abs_diff(v, p)
        return f"max|Δ| {diff:.1e}", diff == 0.0

    # every velmora call appends one more column; the handle it returns is
    # checked against the column read back
    handles = []
    yield compare(
        f"2 add_associated_values(list of {n:,})",
        lambda _: handles.append(path.add_associated_values(as_list)),
        lambda _: np.asarray(as_list, dtype=np.float64),
        vm=vm,
        needs=("Path2D.add_associated_values",),
        target=1.5,
        note="peer: numpy.asarray(list, float64)",
        check=lambda _, p: (
            exact(path.associated_values(handles[0]), p) if hasattr(path, "associated_values") else ("", None)
        ),
    )
    handle = handles[0] if handles else 0
    yield compare(
        f"2 associated_value_np ({n:,} values)",
        lambda _: path.associated_value_np(handle),
        lambda _: values.copy(),
        vm=vm,
        needs=("Path2D.associated_value_np", "Path2D.add_associated_values"),
        target=1.5,
        note="peer: ndarray.copy()",
        check=exact,
    )
