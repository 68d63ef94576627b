"""Dead workers, a track too large for its worker, interrupts and clusters
without workers, each in child processes with a timeout."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import psutil
import pytest
from fleet_expected import assert_output_equals, read_output

import velmora_fleet

SCENARIOS = Path(__file__).with_name("scenarios.py")
FLEET_CLI = [sys.executable, "-m", "velmora_fleet", "run"]


def scenario(name, source, out, timeout=180):
    done = subprocess.run(
        [sys.executable, str(SCENARIOS), name, str(source), str(out)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def log_with_a_long_track(tmp_path_factory, fleet_frame):
    """The test fleet plus one track of 80,000 records (about 290 MB to run)."""
    from velmora_fleet.synthetic import _drive

    x, y = _drive(np.random.default_rng(5), 80_000)
    start = fleet_frame["time"].min()
    long = pd.DataFrame(
        {"track_id": 1, "time": start + pd.to_timedelta(np.arange(len(x)) * 100, unit="ms"), "x": x, "y": y}
    )
    path = tmp_path_factory.mktemp("long") / "log"
    velmora_fleet.write_fleet(
        pd.concat([fleet_frame, long]).sort_values("time", kind="stable"), str(path), files=3
    )
    return path


@pytest.mark.parametrize(
    "name, source, failed_track, status, message",
    [
        # one worker killed once mid-run (by track 1005), and track 1003 killing every worker that runs it
        (
            "killed",
            "fleet_file",
            1003,
            "worker_lost",
            "its worker died twice while running it (200 records): a memory "
            "limit or a crash in native code; the last was tcp://127.0.0.1:",
        ),
        ("small-memory", "log_with_a_long_track", 1, "too_large", "needs about"),
    ],
)
def test_a_track_that_takes_its_worker_down_fails_alone(
    request, expected, tmp_path, name, source, failed_track, status, message
):
    summary = scenario(name, request.getfixturevalue(source), tmp_path / "out")
    points, tracks = read_output(tmp_path / "out")
    row = tracks[tracks["track_id"] == str(failed_track)].iloc[0]
    assert (row["status"], row["error"][: len(message)]) == (status, message)
    assert summary["failed"] == {"too_short": 1, status: 1}
    assert name != "killed" or (tmp_path / "killed").exists()  # the other fault fired too
    others = [frame[frame["track_id"] != str(failed_track)] for frame in (points, tracks)]
    wanted = [frame[frame["track_id"] != failed_track] for frame in expected]
    for got, want in zip(others, wanted):
        pd.testing.assert_frame_equal(
            got.reset_index(drop=True)[list(want.columns)],
            want.assign(track_id=want["track_id"].astype(str)).reset_index(drop=True),
            check_exact=True,
            check_dtype=False,
        )


def _foreground_job(command, **keywords):
    """The CLI as a terminal's foreground job starts it: with Ctrl-C's default
    action, even where this suite runs in the background or under nohup,
    whose children inherit SIGINT ignored (and a program should keep it so)."""
    return subprocess.Popen(
        command,
        stderr=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        **keywords,
    )


def _wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.1)


def _done_items(out) -> int:
    try:
        return len(json.loads((out / "_velmora_work" / "state.json").read_text())["done"])
    except (OSError, ValueError):
        return 0


def test_interrupted_run_resumes_to_the_same_result(fleet_file, expected, tmp_path):
    # The cluster's output goes to a file: a pipe read for the address alone
    # would block any worker that prints more than the pipe holds.
    printed = tmp_path / "cluster.out"
    with printed.open("w") as sink:
        cluster = subprocess.Popen([sys.executable, str(SCENARIOS), "slow", "-", "-"], stdout=sink)
    try:
        _wait_for(lambda: printed.read_text().endswith("\n"), 120, "the cluster's address")
        address = printed.read_text().splitlines()[0]
        out = tmp_path / "out"
        command = FLEET_CLI + [
            str(fleet_file),
            "--out",
            str(out),
            "--scheduler",
            address,
            "--batch-points",
            "1000",
        ]
        child = _foreground_job(command)
        _wait_for(lambda: _done_items(out), 120, "a first part recorded")
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=30)
        assert child.returncode == 130
        assert (
            err.splitlines()[-1]
            == f"velmora-fleet: interrupted; {out} holds an incomplete run: --resume finishes it"
        )
        assert "Traceback" not in err and not (out / "_velmora_run.json").exists()

        resumed = subprocess.run(
            command + ["--resume", "--quiet"], capture_output=True, text=True, timeout=120
        )
        assert resumed.returncode == 0, resumed.stderr
        assert "taken from the interrupted run" in resumed.stdout
    finally:
        cluster.kill()
        cluster.wait()
    assert_output_equals(out, expected)


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_the_embedded_cluster_in_seconds_with_one_line(fleet_file, tmp_path, signum, status):
    out = tmp_path / "out"
    child = _foreground_job(
        FLEET_CLI + [str(fleet_file), "--out", str(out), "--workers", "2", "--quiet"], start_new_session=True
    )
    _wait_for(lambda: (out / "_velmora_work").exists(), 120, "the cluster to start")
    workers = psutil.Process(child.pid).children(recursive=True)
    assert workers  # the embedded cluster's processes
    # Ctrl-C reaches the whole process group; a service manager's SIGTERM the driver alone
    (os.killpg if signum == signal.SIGINT else os.kill)(child.pid, signum)
    _, err = child.communicate(timeout=20)
    assert child.returncode == status
    assert err.count("\n") == 1 and err.startswith("velmora-fleet: interrupted"), err
    _, alive = psutil.wait_procs(workers, timeout=10)
    assert not alive


def test_a_cluster_without_workers_fails_after_the_wait_with_one_line(fleet_file, tmp_path):
    import logging

    from dask.distributed import LocalCluster

    with LocalCluster(
        n_workers=0, host="127.0.0.1", dashboard_address=None, silence_logs=logging.CRITICAL
    ) as c:
        done = subprocess.run(
            FLEET_CLI
            + [
                str(fleet_file),
                "--out",
                str(tmp_path / "out"),
                "--scheduler",
                c.scheduler_address,
                "--wait-workers",
                "1",
            ],
            capture_output=True,
            text=True,
            timeout=60,
        )
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        f"velmora-fleet: waiting up to 1 s for a worker to join the cluster at {c.scheduler_address}",
        f"velmora-fleet: error: no worker joined the cluster at {c.scheduler_address} within 1 s",
    ]
    assert not (tmp_path / "out").exists()


def _ais_export(path):
    rows = "".join(
        f"2020-06-30T00:{k // 6:02d}:{k % 6 * 10:02d},{-74.0 + k * 1e-4 + v * 0.01:.6f},40.6,{366000000 + v},"
        f"7.5,{(358 + 2 * k) % 360},{90 + v},X\n"
        for v in range(3)
        for k in range(40)
    )
    path.write_text("BaseDateTime,LON,LAT,MMSI,SOG,COG,Heading,VesselName\n" + rows)


def _as_interrupted(out):
    """The folder of a complete run as an interrupted one leaves it: its state, no manifest."""
    manifest = out / "_velmora_run.json"
    run_key = json.loads(manifest.read_text())["run"]
    (out / "_velmora_work").mkdir()
    (out / "_velmora_work" / "state.json").write_text(json.dumps({"run": run_key, "done": {}}))
    manifest.unlink()


@pytest.mark.parametrize(
    "change, refusal",
    [
        ({"max_track_points": 100}, "--max-track-points differs .* \\(2000000 then, 100 now\\)"),
        ({"carry": ("SOG", "COG"), "carry_angles": ("Heading",)}, "--carry differs"),  # COG no angle now
        ({"time_format": "%Y-%m-%dT%H:%M:%S"}, "--time-format differs"),
        ({"spacing": 5.0}, "--spacing differs \\S+ \\S+ \\S+ \\S+ \\(10.0 then, 5.0 now\\)"),
        (
            {
                "preset": None,
                "columns": "track_id=MMSI,time=BaseDateTime,lon=LON,lat=LAT",
                "carry": ("SOG",),
                "carry_angles": ("COG", "Heading"),
            },
            "--preset differs from the interrupted run \\(ais then, not given now\\)",
        ),
        # how the run is carried out changes no row: it resumes
        ({"batch_points": 5000, "quiet": True, "progress": True, "wait_workers": 1.0}, None),
    ],
)
def test_resume_goes_on_only_with_every_setting_that_changes_rows_unchanged(tmp_path, change, refusal):
    source, out = tmp_path / "ais.csv", tmp_path / "out"
    _ais_export(source)
    velmora_fleet.run(str(source), str(out), workers=0, preset="ais")
    expected = read_output(out)
    _as_interrupted(out)
    given = {"preset": "ais", "workers": 0, "resume": True, **change}
    if refusal is None:
        velmora_fleet.run(str(source), str(out), **given)
        for got, want in zip(read_output(out), expected):
            pd.testing.assert_frame_equal(got, want, check_exact=True)
        return
    with pytest.raises(velmora_fleet.OutputRefused, match=f"cannot resume: {refusal}"):
        velmora_fleet.run(str(source), str(out), **given)


def _dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


@pytest.mark.parametrize(
    "claim, taken_over",
    [
        ({"host": "here", "pid": "alive", "renewed": 0}, False),  # a run going on in this machine
        ({"host": "elsewhere", "pid": 1, "renewed": 0}, False),  # on another, renewed just now
        ({"host": "here", "pid": "dead", "renewed": 0}, True),  # its process is gone
        ({"host": "elsewhere", "pid": 1, "renewed": -120}, True),  # not renewed for two minutes
    ],
)
def test_a_folder_claimed_by_another_run_is_refused_until_the_claim_is_stale(
    fleet_file, expected, tmp_path, claim, taken_over
):
    import datetime
    import socket

    out = tmp_path / "out"
    out.mkdir()
    renewed = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=claim["renewed"])
    held = {
        "run": "0123456789abcdef",
        "host": socket.gethostname() if claim["host"] == "here" else "elsewhere.example",
        "pid": {"alive": os.getpid(), "dead": _dead_pid()}.get(claim["pid"], claim["pid"]),
        "started": "2026-01-01T00:00:00+00:00",
        "renewed": renewed.isoformat(),
    }
    (out / "_velmora_claim.json").write_text(json.dumps(held))
    if not taken_over:
        with pytest.raises(ValueError, match="is being written by another run \\(run 01234567 on "):
            velmora_fleet.run(str(fleet_file), str(out), workers=0)
        assert [p.name for p in out.iterdir()] == ["_velmora_claim.json"]
        return
    velmora_fleet.run(str(fleet_file), str(out), workers=0)
    assert_output_equals(out, expected)
    assert not (out / "_velmora_claim.json").exists()


@pytest.mark.parametrize(
    "write, keywords, engine, tasks",
    [
        # one small file: this process, no shuffle, one task
        (lambda f, p: f.to_csv(p, index=False), {}, "this process (no Dask: a small input)", 1),
        # --batch-points 1 over row groups of 50 records sorted by track: tasks of 1,000 at least
        (
            lambda f, p: f.sort_values(["track_id", "time"]).to_parquet(p, row_group_size=50, index=False),
            {"batch_points": 1},
            "this process (no Dask: a small input)",
            6,
        ),
    ],
)
def test_small_inputs_and_tiny_tasks_cost_little_and_give_the_same_rows(
    fleet_frame, expected, tmp_path, write, keywords, engine, tasks
):
    source = tmp_path / "in.csv" if "batch_points" not in keywords else tmp_path / "in.parquet"
    write(fleet_frame, source)
    summary = velmora_fleet.run(str(source), str(tmp_path / "out"), **keywords)
    assert (summary.engine, summary.mode, summary.tasks) == (engine, "grouped input", tasks)
    assert_output_equals(tmp_path / "out", expected)
