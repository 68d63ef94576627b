"""Side-by-side timing of velmora against a peer, and the rows the report shows."""

from __future__ import annotations

import gc
import json
import os
import statistics
import time
from dataclasses import asdict, dataclass
from typing import Any, Callable

# Seconds of timed work per comparison; the repetition count follows from it.
BUDGET = float(os.environ.get("VELMORA_BENCH_BUDGET", "2.0"))
# Multiplies every input size; below 1 only for smoke runs of the harness.
SCALE = float(os.environ.get("VELMORA_BENCH_SCALE", "1.0"))
MIN_REPS = 5
MAX_REPS = 25
# A single comparison never spends more than this on repetitions.
CAP = 40.0

ROW_MARKER = "@@row "


def sized(n: int, minimum: int = 10) -> int:
    return max(minimum, int(round(n * SCALE)))


@dataclass
class Row:
    case: str
    kind: str = "time"  # "time" (seconds) or "memory" (bytes)
    velmora: float | None = None  # wall clock (time rows)
    peer: float | None = None
    target: float | None = None
    status: str = "ok"  # ok | n/a | error
    check: str = ""
    check_ok: bool | None = None
    note: str = ""
    reps: int = 0
    velmora_cpu: float | None = None  # CPU seconds (time rows)
    peer_cpu: float | None = None

    @property
    def wall_ratio(self) -> float | None:
        if self.velmora is None or not self.peer:
            return None
        return self.velmora / self.peer

    @property
    def cpu_ratio(self) -> float | None:
        if self.velmora_cpu is None or not self.peer_cpu:
            return None
        return self.velmora_cpu / self.peer_cpu

    @property
    def ratio(self) -> float | None:
        """The ratio targets are judged by: CPU time where measured (the wall
        clock swings with the load of a shared machine), else the wall clock."""
        cpu = self.cpu_ratio
        return cpu if cpu is not None else self.wall_ratio

    @property
    def met(self) -> bool | None:
        if self.target is None or self.ratio is None:
            return None
        return self.ratio <= self.target

    def to_json(self) -> str:
        data = asdict(self)
        # numbers may arrive as numpy scalars
        for key in ("velmora", "peer", "target", "velmora_cpu", "peer_cpu"):
            if data[key] is not None:
                data[key] = float(data[key])
        if data["check_ok"] is not None:
            data["check_ok"] = bool(data["check_ok"])
        return json.dumps(data)

    @classmethod
    def from_json(cls, text: str) -> "Row":
        return cls(**json.loads(text))


def load_velmora():
    try:
        import velmora
    except ImportError:
        return None
    return velmora


def missing(vm, names: tuple[str, ...] | list[str]) -> list[str]:
    """The dotted names (e.g. "Path2D.sub_path") that velmora does not provide."""
    if vm is None:
        return ["velmora"]
    absent = []
    for name in names:
        obj = vm
        for part in name.split("."):
            obj = getattr(obj, part, None)
            if obj is None:
                absent.append(name)
                break
    return absent


def describe(exc: BaseException) -> str:
    text = str(exc).splitlines()[0] if str(exc) else ""
    return f"{type(exc).__name__}: {text}"[:160]


class _Side:
    """One side of a comparison and its timings: wall clock, CPU time of the
    calling thread, and CPU time of the whole process (all its threads)."""

    def __init__(self, fn: Callable[[Any], Any], setup: Callable[[], Any] | None):
        self.fn = fn
        self.setup = setup
        self.times: list[float] = []
        self.thread_times: list[float] = []
        self.process_times: list[float] = []
        self.last = (0.0, 0.0)  # thread and process CPU seconds of the last run

    def run(self) -> tuple[float, Any]:
        state = self.setup() if self.setup else None
        gc.collect()
        gc.disable()
        try:
            start_process = time.process_time()
            start_thread = time.thread_time()
            start = time.perf_counter()
            result = self.fn(state)
            elapsed = time.perf_counter() - start
            thread = time.thread_time() - start_thread
            process = time.process_time() - start_process
        finally:
            gc.enable()
        self.last = (thread, process)
        return elapsed, result

    def record(self) -> None:
        elapsed, _ = self.run()
        self.times.append(elapsed)
        self.thread_times.append(self.last[0])
        self.process_times.append(self.last[1])

    def cpu(self, threads: bool | None) -> float | None:
        """Median CPU seconds: of this thread, or of the process where the side
        runs threads of its own (None: where its process time shows it does)."""
        if not self.thread_times:
            return None
        thread = statistics.median(self.thread_times)
        process = statistics.median(self.process_times)
        if threads is None:
            threads = process > 1.05 * thread + 1e-4
        return process if threads else thread


def _rep_count(pair_seconds: float, budget: float) -> int:
    if pair_seconds * MIN_REPS > CAP:
        return max(1, int(CAP / max(pair_seconds, 1e-9)))
    return int(min(MAX_REPS, max(MIN_REPS, budget / max(pair_seconds, 1e-9))))


def compare(
    case: str,
    velmora_fn: Callable[[Any], Any],
    peer_fn: Callable[[Any], Any],
    *,
    vm,
    needs: tuple[str, ...] = (),
    target: float | None = None,
    setup_velmora: Callable[[], Any] | None = None,
    setup_peer: Callable[[], Any] | None = None,
    check: Callable[[Any, Any], tuple[str, bool]] | None = None,
    note: str = "",
    budget: float | None = None,
    velmora_threads: bool = False,
    peer_threads: bool | None = None,
) -> Row:
    """Times both sides in interleaved repetitions and reports their medians,
    of the wall clock and of CPU time.

    Each function gets the value of its setup (None without one); setup and the
    release of the result stay outside the timed region. The first call of each
    side is a warm-up whose results go to `check`. A side's CPU time is that of
    the calling thread, or of the whole process for a side that runs threads
    (`*_threads` True; None: decided from the measurements).
    """
    budget = BUDGET if budget is None else budget
    row = Row(case, target=target, note=note)
    peer = _Side(peer_fn, setup_peer)
    vel = _Side(velmora_fn, setup_velmora)

    absent = missing(vm, needs)
    if absent:
        row.status = "n/a"
        row.note = _join(f"missing {', '.join(absent)}", note)
        vel = None
    tp, peer_result = peer.run()

    if vel is not None:
        try:
            tv, vel_result = vel.run()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # the module's internal error is a BaseException
            row.status = "error"
            row.note = _join(describe(exc), note)
            vel = None
        else:
            if check is not None:
                try:
                    row.check, row.check_ok = check(vel_result, peer_result)
                except (KeyboardInterrupt, SystemExit):
                    raise
                except BaseException as exc:
                    row.check, row.check_ok = f"check failed: {describe(exc)}", False
            del vel_result
    del peer_result

    if vel is None:
        # Peer alone: still worth a few repetitions so its time is meaningful.
        for _ in range(min(3, _rep_count(tp, budget / 2))):
            peer.record()
        row.peer = statistics.median(peer.times or [tp])
        row.peer_cpu = peer.cpu(peer_threads)
        row.reps = len(peer.times)
        return row

    reps = _rep_count(tv + tp, budget)
    try:
        for i in range(reps):
            order = (vel, peer) if i % 2 == 0 else (peer, vel)
            for side in order:
                side.record()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        row.status = "error"
        row.note = _join(f"during repetitions: {describe(exc)}", note)
    row.velmora = statistics.median(vel.times or [tv])
    row.peer = statistics.median(peer.times or [tp])
    row.velmora_cpu = vel.cpu(velmora_threads)
    row.peer_cpu = peer.cpu(peer_threads)
    row.reps = min(len(vel.times), len(peer.times))
    return row


def velmora_only(
    case: str,
    fn: Callable[[Any], Any],
    *,
    vm,
    needs=(),
    setup=None,
    note: str = "",
    budget: float | None = None,
    threads: bool = False,
) -> Row:
    """Times one velmora call without a peer (reported for scaling)."""
    budget = BUDGET if budget is None else budget
    row = Row(case, note=note)
    absent = missing(vm, needs)
    if absent:
        row.status = "n/a"
        row.note = _join(f"missing {', '.join(absent)}", note)
        return row
    side = _Side(fn, setup)
    try:
        first, _ = side.run()
        first_cpu = side.last[1] if threads else side.last[0]
        for _ in range(min(MIN_REPS, _rep_count(first, budget)) if first < 5 else 0):
            side.record()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        row.status = "error"
        row.note = _join(describe(exc), note)
        return row
    row.velmora = statistics.median(side.times or [first])
    row.velmora_cpu = side.cpu(threads) if side.times else first_cpu
    row.reps = max(1, len(side.times))
    return row


def attempt(fn: Callable[[], Any]) -> Any:
    """fn() or None when it raises; for set-up steps whose failure the
    comparison itself then reports."""
    try:
        return fn()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:
        return None


def _join(*parts: str) -> str:
    return "; ".join(p for p in parts if p)


def max_abs_diff(a, b) -> float:
    import numpy as np

    a = np.asarray(a, dtype=float)
    b = np.asarray(b, dtype=float)
    if a.shape != b.shape:
        raise ValueError(f"shapes differ: {a.shape} vs {b.shape}")
    if a.size == 0:
        return 0.0
    return float(np.max(np.abs(a - b)))


def exact_points(path, points, label="points") -> tuple[str, bool]:
    """Check that a velmora result path holds exactly the peer's (n, 2) points."""
    got = path.points_np
    if got.shape != points.shape:
        return f"{len(got):,} vs {len(points):,} {label}", False
    diff = max_abs_diff(got, points)
    return f"{len(points):,} {label}, max|Δ| {diff:.1e}", diff == 0.0
