"""Requests for results that cannot fit in memory end with MemoryError, quickly,
and leave the process usable: never a crash, an abort or the kernel's OOM
killer. Each request runs in a child process so that a regression cannot take
the test run (or the machine) down with it:

- under RLIMIT_AS (2 GiB), every request, including sizes that fit in the
  machine's memory but not under the limit;
- without a limit, only sizes that cannot fit in physical memory at all,
  which the core must refuse before allocating; the parent watches the
  child's resident memory and kills it past 1 GiB, so that a core that tries
  to allocate anyway fails this test instead of exhausting the machine.
"""

import json
import os
import subprocess
import sys
import textwrap
import time

import pytest

SANITIZED = bool(os.environ.get("VELMORA_SANITIZED"))
PHYSICAL = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
LIMIT = 2 << 30
WATCHDOG_RSS = 1 << 30
POINT_BYTES = 32  # a point, its x and its y: the least a kept result point needs

CHILD = """
import json, resource, sys, time
limit = int(sys.argv[1])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import velmora
from velmora import Path2D, ResamplingMethod as RM

n = 1000
path = Path2D(points=[[i * 0.5, float(i % 7)] for i in range(n)])  # length about 1700
path.add_associated_values([float(i) for i in range(n)])
two = Path2D(points=[[0.0, 0.0], [1.0, 1.0]])
requests = {
    "chaikin-29": lambda: path.smoothed_path_chaikin(29),
    "chaikin-29-two-points": lambda: two.smoothed_path_chaikin(29),
    "chaikin-64": lambda: path.smoothed_path_chaikin(64),
    "chaikin-200": lambda: path.smoothed_path_chaikin(200),
    "chaikin-17": lambda: path.smoothed_path_chaikin(17),
    "number-2**30": lambda: path.resampled_path(RM.by_number_points(2**30)),
    "number-2**62": lambda: path.resampled_path(RM.by_number_points(2**62)),
    "number-2**27": lambda: path.resampled_path(RM.by_number_points(2**27)),
    "distance-1e-12": lambda: path.resampled_path(RM.by_sampling_distance(1e-12)),
    "distance-1e-5": lambda: path.resampled_path(RM.by_sampling_distance(1e-5, False)),
    "distance-1e-300": lambda: path.resampled_path(RM.by_sampling_distance(1e-300)),
    "points-of-a-large-result": lambda: path.resampled_path(RM.by_number_points(2**23)).points,
}
path.length  # resampling fills the length cache, which shows in the text form
before = repr(path)
rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
# CPU time, not wall time: the answer must cost little work, however busy
# the machine running the suite is (a hang is caught by the parent's timeout).
began = time.process_time()
try:
    requests[sys.argv[2]]()
    outcome, message = "returned", ""
except BaseException as error:
    outcome, message = type(error).__name__, str(error)
seconds = time.process_time() - began
print(json.dumps({
    "outcome": outcome,
    "message": message,
    "seconds": seconds,
    "rss_growth_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before,
    "unchanged": repr(path) == before,
    "usable": len(path.smoothed_path_chaikin(1).points) == 2 * n
              and path.resampled_path(RM.by_number_points(5)).associated_values(0)[-1] == n - 1,
}))
"""

# name: (points the request asks for, expected outcome, message)
REQUESTS = {
    "chaikin-29": (1000 * 2**29, "MemoryError", ""),
    "chaikin-29-two-points": (2 * 2**29, "MemoryError", ""),
    "chaikin-64": (1000 * 2**64, "MemoryError", ""),
    "chaikin-200": (1000 * 2**200, "MemoryError", ""),
    "number-2**30": (2**30, "MemoryError", ""),
    "number-2**62": (2**62, "MemoryError", ""),
    "distance-1e-12": (int(1.7e15), "MemoryError", ""),
    # total / distance beyond 2**64: the grid count wraps to zero, the
    # documented internal error of an empty grid, as for a distance of 0
    "distance-1e-300": (None, "PanicException", "index out of bounds: the len is 0 but the index is 0"),
}
# These fit in this machine's memory but not under the limit. All but the
# large result's points are refused against the limit before allocating.
LIMITED_ONLY = {
    "chaikin-17": (1000 * 2**17, "MemoryError", ""),
    "number-2**27": (2**27, "MemoryError", ""),
    "distance-1e-5": (int(1.7e8), "MemoryError", ""),
    "points-of-a-large-result": (2**23, "MemoryError", ""),
}


def run_child(name, limit, watchdog_rss=None, timeout=60.0):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CHILD), str(limit), name],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + timeout
    peak = 0
    while child.poll() is None:
        if watchdog_rss is not None:
            try:
                with open(f"/proc/{child.pid}/statm") as f:
                    peak = max(peak, int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"))
            except (FileNotFoundError, ProcessLookupError):
                pass
            if peak > watchdog_rss:
                child.kill()
                child.communicate()
                pytest.fail(
                    f"{name}: the child went past {peak >> 20} MiB instead of "
                    "refusing the request before allocating"
                )
        if time.monotonic() > deadline:
            child.kill()
            child.communicate()
            pytest.fail(f"{name}: no answer within {timeout} s")
        time.sleep(0.005)
    out, err = child.communicate()
    assert child.returncode == 0, f"{name}: exit status {child.returncode}\n{err[-3000:]}"
    return json.loads(out)


def check(report, expected, message, max_seconds):
    assert report["outcome"] == expected, report
    if message:
        assert report["message"] == message
    assert report["seconds"] < max_seconds, report
    assert report["unchanged"] and report["usable"], report


def limited_cases():
    # "points-of-a-large-result" exhausts memory in Python objects while a list
    # is filled: the module's first throw on the thread must still work then.
    return sorted({**REQUESTS, **LIMITED_ONLY})


@pytest.mark.skipif(SANITIZED, reason="RLIMIT_AS cannot hold the sanitizer's shadow memory")
@pytest.mark.parametrize("name", list(limited_cases()))
def test_under_an_address_space_limit(name):
    _, expected, message = {**REQUESTS, **LIMITED_ONLY}[name]
    # sizes refused up front answer at once, without growing; the large
    # result's 2**23 point lists run into the limit first (seconds)
    up_front = name != "points-of-a-large-result"
    # the large result runs under half the limit: the same exhaustion in
    # Python objects, reached with half the work
    report = run_child(name, LIMIT if up_front else LIMIT // 2)
    check(report, expected, message, 1.0 if up_front else 30.0)
    if up_front:
        assert report["rss_growth_kb"] < 64 * 1024, report


@pytest.mark.parametrize("name", sorted(REQUESTS))
def test_without_a_limit_refused_before_allocating(name):
    points, expected, message = REQUESTS[name]
    if points is not None and points * POINT_BYTES <= PHYSICAL:
        pytest.skip("this machine could hold the result; not safe to try without a limit")
    report = run_child(name, 0, watchdog_rss=WATCHDOG_RSS)
    check(report, expected, message, 1.0)
    assert report["rss_growth_kb"] < 64 * 1024, report
