"""The fleet pipeline as the input grows: the driver's peak memory at 1M, 5M
and 20M generated points (time-ordered logs of 16 files, 500-point tracks,
so every track is spread over the files and the records are shuffled), the
workers' peaks, and the throughput on an embedded cluster of 2 workers.

Each size runs in a fresh driver process, which reports its own peak
resident size (VmHWM) and its workers'. The ratio of a row is the driver's
peak at that size over its peak at 1M points: a driver whose memory does
not grow with the points stays near 1.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile

POINTS_PER_TRACK = 500
SIZES = (1_000_000, 5_000_000, 20_000_000)
FILES = 16
WORKERS = 2
TIMEOUT = 1500  # seconds for the whole case: generating and running 26M points


def run(vm):
    from harness import Row, sized  # here: this file also runs alone, as the driver of one size

    try:
        import velmora_fleet  # noqa: F401
    except ImportError as exc:
        yield Row("fleet at scale", status="n/a", note=f"needs velmora[fleet]: {exc}")
        return
    work = tempfile.mkdtemp(prefix="velmora-fleet-scale-")
    try:
        peaks = {}
        for size in SIZES:
            points = sized(size, minimum=20 * POINTS_PER_TRACK)
            source = os.path.join(work, f"log-{points}")
            _generate(source, points)
            measured = _drive(source, os.path.join(work, f"out-{points}"))
            shutil.rmtree(source, ignore_errors=True)
            peaks[size] = measured["driver_peak"]
            note = (
                f"{measured['points_in']:,} points: driver peak {measured['driver_peak'] / 2**20:,.0f} MiB, "
                f"workers {', '.join(f'{p / 2**20:,.0f}' for p in measured['worker_peaks'])} MiB; "
                f"{measured['throughput']:,.0f} points/s on {WORKERS} workers "
                f"({measured['running_throughput']:,.0f} once started; {measured['mode']}, "
                f"{measured['tasks']} tasks, grouping {measured['group_seconds']:.1f} s)"
            )
            yield Row(
                f"fleet driver peak RSS, {points:,} points vs {sized(SIZES[0]):,}",
                kind="memory",
                velmora=measured["driver_peak"],
                peer=peaks[SIZES[0]],
                target=1.3 if size != SIZES[0] else None,
                note=note,
            )
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _generate(folder: str, points: int) -> None:
    code = (
        "import sys, velmora_fleet; f = velmora_fleet.generate_fleet(int(sys.argv[2]), int(sys.argv[3]), seed=1);"
        "velmora_fleet.write_fleet(f, sys.argv[1], files=int(sys.argv[4]))"
    )
    subprocess.run(
        [
            sys.executable,
            "-c",
            code,
            folder,
            str(points // POINTS_PER_TRACK),
            str(POINTS_PER_TRACK),
            str(FILES),
        ],
        check=True,
        timeout=TIMEOUT,
    )


def _drive(source: str, out: str) -> dict:
    done = subprocess.run(
        [sys.executable, os.path.abspath(__file__), source, out],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "driver failed")
    return json.loads(done.stdout.splitlines()[-1])


def _peak_resident() -> int:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def _driver(source: str, out: str) -> None:
    """One run as `velmora-fleet run` makes it, then the peaks of this process and of its workers."""
    from dask.distributed import Client

    import velmora_fleet
    from velmora_fleet.engine import local_cluster

    # The embedded cluster as the CLI starts it, kept open to ask the workers for their peaks.
    with local_cluster(WORKERS) as cluster, Client(cluster) as client:
        summary = velmora_fleet.run(source, out, client=client)
        workers = sorted(client.run(_peak_resident).values())
    print(
        json.dumps(
            {
                "driver_peak": _peak_resident(),
                "worker_peaks": workers,
                "points_in": summary.points_in,
                "throughput": summary.throughput,
                "running_throughput": summary.running_throughput,
                "mode": summary.mode,
                "tasks": summary.tasks,
                "group_seconds": summary.group_seconds,
            }
        )
    )


if __name__ == "__main__":
    _driver(*sys.argv[1:])
