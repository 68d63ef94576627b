"""The pipeline on Dask gives exactly what a loop over process_track gives."""
import logging
import subprocess
import sys

import pandas as pd
import pytest
from fleet_expected import assert_output_equals, loop_over_tracks

import velmora_fleet
from velmora_fleet.cli import main


def test_local_cluster_of_two_processes_matches_a_plain_loop(fleet_file, tmp_path):
    # small batches, so that both workers get several
    summary = velmora_fleet.run(str(fleet_file), str(tmp_path / "out"), workers=2, batch_points=800)
    points, tracks = assert_output_equals(tmp_path / "out", loop_over_tracks(fleet_file))

    assert summary.engine.endswith("with 2 workers") and summary.batches >= 7
    assert len(tracks) == tracks["track_id"].nunique() == 30
    assert tracks["status"].value_counts().to_dict() == {"ok": 28, "invalid_input": 1, "too_short": 1}
    assert summary.tracks_failed == {"invalid_input": 1, "too_short": 1}
    assert (summary.points_in, summary.points_out) == (tracks["points_in"].sum(), len(points))
    assert (tracks["points_flagged"] > 0).sum() > 20  # detection ran and was counted


def test_cli_runs_on_an_already_started_scheduler(tmp_path):
    from dask.distributed import LocalCluster

    source = tmp_path / "fleet.csv"
    assert main(["generate", str(source), "--tracks", "12", "--points", "150", "--seed", "5", "--lonlat"]) == 0
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        done = subprocess.run(
            [sys.executable, "-m", "velmora_fleet", "run", str(source), "--out", str(tmp_path / "out"),
             "--scheduler", cluster.scheduler_address, "--quiet"],
            capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert f"Dask at {cluster.scheduler_address} with 1 worker" in done.stdout
    assert "tracks: 10 done, 2 failed (invalid_input 1, too_short 1)" in done.stdout

    velmora_fleet.run(str(source), str(tmp_path / "here"), workers=0)
    expected = [pd.read_parquet(tmp_path / "here" / name) for name in ("points.parquet", "tracks.parquet")]
    assert_output_equals(tmp_path / "out", expected)


@pytest.mark.parametrize("argv", [
    ["run"],
    ["run", "in.parquet"],
    ["run", "in.parquet", "--out", "o", "--spacing", "0"],
    ["run", "in.parquet", "--out", "o", "--max-deviation", "nan"],
    ["run", "in.parquet", "--out", "o", "--workers", "-1"],
    ["run", "in.parquet", "--out", "o", "--workers", "2", "--scheduler", "tcp://127.0.0.1:8786"],
    ["run", "in.parquet", "--out", "o", "--frobnicate"],
    ["generate", "o.parquet", "--tracks", "many"],
    ["generate", "o.parquet", "--points", "0"],
    ["fly"],
    [],
])
def test_bad_arguments_give_one_line_and_status_2(argv, capsys):
    with pytest.raises(SystemExit) as stop:
        main(argv)
    err = capsys.readouterr().err
    assert stop.value.code == 2
    assert err.count("\n") == 1 and err.startswith("velmora-fleet") and ": error: " in err
