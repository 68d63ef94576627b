"""Peak resident memory of one velmora call, measured in a fresh process.

tracemalloc does not see the extension's C++ allocations, so the probe reads
the kernel's counters instead: it prepares the inputs, resets the peak
(VmHWM) through /proc/self/clear_refs, runs the call and reports the peak and
the resident size before and after, in KiB.

glibc normally raises its mmap threshold after large frees, so a buffer freed
while the inputs were made would be reused, already resident, by the call and
escape the count. The child therefore runs with a fixed threshold: every large
block is a fresh mapping that is counted when touched and returned when freed.

Run as `python memprobe.py PROBE N [ARG]`; prints one JSON object.
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def _status() -> dict[str, int]:
    out = {}
    with open("/proc/self/status") as fh:
        for line in fh:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0])
    return out


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def _prepare(probe: str, n: int, arg: str | None):
    import numpy as np
    import velmora

    import workloads

    if probe == "construct_list":
        points = workloads.wandering_path(n).tolist()
        return lambda: velmora.Path2D(points=points)
    if probe == "construct_array":
        points = np.ascontiguousarray(workloads.wandering_path(n))
        return lambda: velmora.Path2D(points=points)
    if probe == "elastic_band":
        path = velmora.Path2D(points=workloads.noisy_wave(n))
        method = getattr(velmora.ElasticBandMethod, arg)
        return lambda: path.smoothed_path_elastic_band(0.1, method)
    raise SystemExit(f"unknown probe {probe}")


def _main(argv: list[str]) -> None:
    probe, n = argv[0], int(argv[1])
    arg = argv[2] if len(argv) > 2 else None
    action = _prepare(probe, n, arg)
    gc.collect()
    before = _status()
    reset = _reset_peak()
    start = time.perf_counter()
    result = action()
    seconds = time.perf_counter() - start
    after = _status()
    print(
        json.dumps(
            {
                "base_kib": before["VmRSS"],
                "peak_kib": after["VmHWM"],
                "after_kib": after["VmRSS"],
                "peak_reset": reset,
                "seconds": seconds,
                "result_none": result is None,
            }
        )
    )


def measure(probe: str, n: int, arg: str | None = None, timeout: float = 120.0) -> dict:
    """Runs one probe in a child process and returns its figures.

    Raises RuntimeError with the child's last error line when it fails.
    """
    cmd = [sys.executable, os.path.join(HERE, "memprobe.py"), probe, str(n)]
    if arg is not None:
        cmd.append(arg)
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])),
        MALLOC_MMAP_THRESHOLD_="65536",
        MALLOC_TRIM_THRESHOLD_="0",
    )
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    if proc.returncode != 0:
        lines = [line for line in proc.stderr.splitlines() if line.strip()]
        detail = lines[-1] if lines else f"exit status {proc.returncode}"
        raise RuntimeError(f"probe {probe} failed: {detail}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    _main(sys.argv[1:])
