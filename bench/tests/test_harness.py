"""The harness must time the right thing and degrade per comparison, never per run."""

import threading
import time
import types

import numpy as np
import pytest

import harness
import memprobe
import report
from harness import Row, compare


class Panic(BaseException):
    """Stands in for the module's internal error, which is not an Exception."""


def fake_module(**members):
    return types.SimpleNamespace(Path2D=types.SimpleNamespace(**members))


def test_missing_method_is_na_and_peer_still_timed():
    calls = []
    row = compare(
        "c",
        lambda _: calls.append("v"),
        lambda _: calls.append("p"),
        vm=fake_module(),
        needs=("Path2D.sub_path",),
        target=1.0,
        budget=0.01,
    )
    assert row.status == "n/a" and "Path2D.sub_path" in row.note
    assert row.velmora is None and row.peer is not None and row.ratio is None
    assert "v" not in calls and calls.count("p") >= 2
    assert harness.missing(None, ("Path2D",)) == ["velmora"]


def test_internal_error_is_reported_on_its_row():
    def boom(_):
        raise Panic("index out of bounds: the len is 0 but the index is 0")

    row = compare("c", boom, lambda _: 1, vm=fake_module(m=1), needs=("Path2D.m",), budget=0.01)
    assert row.status == "error"
    assert row.note.startswith("Panic: index out of bounds")
    assert row.peer is not None and row.velmora is None


def test_check_sees_first_results_and_can_fail():
    seen = []

    def check(v, p):
        seen.append((v, p))
        return "differ", v == p

    row = compare("c", lambda _: 1, lambda _: 2, vm=fake_module(), check=check, budget=0.01)
    assert seen == [(1, 2)]
    assert row.check == "differ" and row.check_ok is False and row.status == "ok"


def test_setup_is_outside_the_timed_region_and_runs_per_call():
    made = []

    def setup():
        time.sleep(0.02)
        made.append(1)
        return len(made)

    row = compare(
        "c",
        lambda state: state,
        lambda _: time.sleep(0.01),
        vm=fake_module(),
        setup_velmora=setup,
        budget=0.05,
    )
    assert row.velmora < 0.005 < row.peer
    assert len(made) == row.reps + 1  # warm-up plus one per repetition
    assert row.ratio < 0.5


def test_repetitions_interleave_and_take_the_median():
    order = []
    row = compare("c", lambda _: order.append("v"), lambda _: order.append("p"), vm=fake_module(), budget=0.0)
    assert row.reps == harness.MIN_REPS
    timed = order[2:]
    assert timed[:4] == ["v", "p", "p", "v"]


def test_row_json_round_trip_with_numpy_values():
    row = Row(
        "c",
        velmora=np.float64(2.0),
        peer=4.0,
        target=1.0,
        check_ok=np.bool_(True),
        velmora_cpu=np.float64(1.0),
    )
    back = Row.from_json(row.to_json())
    assert back == Row("c", velmora=2.0, peer=4.0, target=1.0, check_ok=True, velmora_cpu=1.0)
    assert back.ratio == 0.5 and back.met is True


def busy(seconds):
    end = time.thread_time() + seconds
    while time.thread_time() < end:
        pass


def in_a_thread(_):
    worker = threading.Thread(target=busy, args=(0.01,))
    worker.start()
    worker.join()


def test_cpu_time_is_measured_beside_the_wall_clock():
    # sleeping takes wall-clock time but no CPU time
    row = compare("c", lambda _: busy(0.01), lambda _: time.sleep(0.01), vm=fake_module(), budget=0.05)
    assert row.velmora_cpu >= 0.009 and row.peer_cpu < 0.003 and row.peer >= 0.009
    assert row.ratio == row.cpu_ratio > 3


@pytest.mark.parametrize("peer_threads, counted", [(None, True), (True, True), (False, False)])
def test_cpu_time_of_a_side_with_threads(peer_threads, counted):
    row = compare(
        "c", lambda _: busy(0.01), in_a_thread, vm=fake_module(), budget=0.05, peer_threads=peer_threads
    )
    assert (row.peer_cpu >= 0.009) == counted


@pytest.mark.parametrize(
    "row, expected",
    [
        (Row("a", velmora=0.003, peer=0.002, target=1.0), ("3.0 ms", "2.0 ms", "1.5x", "<= 1x", "NO", "")),
        (
            Row("b", kind="memory", velmora=3 * 2**20, peer=2**21, target=1.5),
            ("3.0 MiB", "2.0 MiB", "1.5x", "<= 1.5x", "yes", ""),
        ),
        (Row("c", status="n/a", peer=2.5), ("n/a", "2.50 s", "n/a", "", "", "")),
        # CPU times decide the ratio and the target; the wall clock has its own column
        (
            Row("d", velmora=0.01, peer=0.005, velmora_cpu=0.002, peer_cpu=0.004, target=1.0),
            ("2.0 ms", "4.0 ms", "0.5x", "<= 1x", "yes", "2x"),
        ),
    ],
)
def test_report_cells(row, expected):
    assert report.cells(row)[1:7] == expected


def test_markdown_escapes_pipes():
    md = report.markdown_table([Row("a|b", velmora=1.0, peer=1.0)])
    assert "a\\|b" in md and md.count("\n") == 2


def test_peak_memory_counters_see_a_fresh_allocation():
    assert memprobe._reset_peak()
    base = memprobe._status()
    block = bytearray(b"\x01") * (64 * 2**20)  # written, so resident
    peak = memprobe._status()["VmHWM"] - base["VmRSS"]
    del block
    assert 60 * 1024 <= peak <= 80 * 1024
    memprobe._reset_peak()
    assert memprobe._status()["VmHWM"] - base["VmRSS"] < 16 * 1024
