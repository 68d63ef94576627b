"""The pipeline gives exactly what a loop over process_track gives, whatever
the input's layout, the engine and the number of tasks; the output folder
reads as one table and is never silently replaced."""

import json
import logging
import subprocess
import sys

import duckdb
import numpy as np
import pandas as pd
import pyarrow.dataset as ds
import pytest
from fleet_expected import assert_output_equals

import velmora_fleet
from velmora_fleet.cli import main


def log_of_files(frame, path):  # every track spread over every file
    velmora_fleet.write_fleet(frame.sample(frac=1.0, random_state=1), str(path), files=4)


def sorted_by_track(frame, path):  # row groups cut across tracks: read by ranges of ids
    frame.sort_values(["track_id", "time"]).to_parquet(path, row_group_size=450, index=False)


def csv_file_per_track_group(frame, path):  # whole tracks per file, declared
    path.mkdir()
    for k, (_, group) in enumerate(frame.groupby(frame["track_id"] % 3)):
        velmora_fleet.write_fleet(group.sample(frac=1.0, random_state=k), str(path / f"part-{k}.csv"))


def hive_folder_per_track(frame, path):
    frame.to_parquet(path, partition_cols=["track_id"], index=False)


LAYOUTS = {
    "log of files": (log_of_files, {}, "shuffled"),
    "sorted by track": (sorted_by_track, {}, "grouped input"),
    "CSV, declared grouped": (csv_file_per_track_group, {"grouped": True}, "grouped input"),
    "hive folder per track": (hive_folder_per_track, {}, "grouped input"),
}


@pytest.mark.parametrize("engine", ["in process", "2 workers"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_layout_on_any_engine_matches_a_plain_loop(
    fleet_frame, expected, client, tmp_path, layout, engine
):
    write, keywords, mode = LAYOUTS[layout]
    write(fleet_frame, tmp_path / "in")
    where = {"workers": 0} if engine == "in process" else {"client": client}
    summary = velmora_fleet.run(
        str(tmp_path / "in"), str(tmp_path / "out"), batch_points=1500, **where, **keywords
    )
    points, tracks = assert_output_equals(tmp_path / "out", expected)

    assert summary.mode == mode and summary.tasks >= 3
    assert (
        summary.tracks_failed == {"too_short": 1}
        and summary.tracks == 30
        and summary.records_dropped == {"bad_position": 1}
    )
    assert (summary.points_in, summary.points_out) == (tracks["records"].sum(), len(points))
    # one table for every reader, parts and all; nothing else in the folder
    assert ds.dataset(tmp_path / "out" / "points.parquet").count_rows() == len(points)
    assert duckdb.sql(f"select count(*) from '{tmp_path}/out/points.parquet/*.parquet'").fetchall() == [
        (len(points),)
    ]
    manifest = json.loads((tmp_path / "out" / "_velmora_run.json").read_text())
    assert manifest["complete"] and len(manifest["parts"]) == 3 * summary.tasks
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "_velmora_run.json",
        "points.parquet",
        "stops.parquet",
        "tracks.parquet",
    ]


def test_a_time_grid_is_the_same_on_every_engine_and_on_its_multiples(fleet_frame, client, tmp_path):
    log_of_files(fleet_frame, tmp_path / "in")
    outs = []
    for where in ({"workers": 0}, {"client": client}):
        out = tmp_path / f"out{len(outs)}"
        velmora_fleet.run(str(tmp_path / "in"), str(out), batch_points=1500, every="2s", **where)
        outs.append(
            pd.read_parquet(out / "points.parquet").sort_values(["track_id", "time"], ignore_index=True)
        )
    pd.testing.assert_frame_equal(*outs, check_exact=True)
    nanoseconds = outs[0]["time"].astype("int64")
    assert len(outs[0]) > 250 and (nanoseconds % 2_000_000_000 == 0).all()


def test_declared_grouping_that_is_not_true_fails_and_leaves_nothing(fleet_frame, tmp_path):
    log_of_files(fleet_frame, tmp_path / "in")
    with pytest.raises(velmora_fleet.FleetInputError, match="has records in more than one file"):
        velmora_fleet.run(
            str(tmp_path / "in"), str(tmp_path / "out"), workers=0, grouped=True, batch_points=1000
        )
    assert list((tmp_path / "out").iterdir()) == []


def test_output_folder_is_refused_replaced_or_left_out_of_the_input(fleet_frame, expected, tmp_path):
    source = tmp_path / "recordings"
    log_of_files(fleet_frame, source)
    out = source / "result"  # inside the input folder: a second run must not read the first's output
    velmora_fleet.run(str(source), str(out), workers=0)
    (out / "points.parquet" / "part-00000.parquet").unlink()  # the manifest alone says the result is whole
    with pytest.raises(
        velmora_fleet.OutputRefused,
        match="holds the complete result of an earlier run; --overwrite replaces it$",
    ):
        velmora_fleet.run(str(source), str(out), workers=0)
    velmora_fleet.run(str(source), str(out), workers=0, overwrite=True)
    assert_output_equals(out, expected)


def test_resume_refuses_other_settings_and_overwrite_starts_afresh(fleet_frame, expected, tmp_path):
    source, out = tmp_path / "in.parquet", tmp_path / "out"
    fleet_frame.to_parquet(source)
    out.mkdir()
    (out / "points.parquet").write_text("a file of an older layout")
    with pytest.raises(velmora_fleet.OutputRefused, match="holds points.parquet of an earlier run"):
        velmora_fleet.run(str(source), str(out), workers=0)
    velmora_fleet.run(str(source), str(out), workers=0, overwrite=True, spacing=2.0)
    (out / "_velmora_run.json").unlink()  # as an interrupted run leaves it: no manifest ...
    (out / "_velmora_work").mkdir()
    (out / "_velmora_work" / "state.json").write_text(json.dumps({"run": {"settings": {"spacing": 2.0}}}))
    with pytest.raises(velmora_fleet.OutputRefused, match="holds an interrupted run: --resume finishes it"):
        velmora_fleet.run(str(source), str(out), workers=0)
    with pytest.raises(velmora_fleet.OutputRefused, match="cannot resume: the input differs"):
        velmora_fleet.run(str(source), str(out), workers=0, resume=True)
    velmora_fleet.run(str(source), str(out), workers=0, overwrite=True)
    assert_output_equals(out, expected)


def test_cli_runs_on_an_already_started_scheduler(tmp_path):
    from dask.distributed import LocalCluster

    source = tmp_path / "fleet.csv"
    assert (
        main(["generate", str(source), "--tracks", "12", "--points", "150", "--seed", "5", "--lonlat"]) == 0
    )
    with LocalCluster(
        n_workers=1,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        silence_logs=logging.ERROR,
    ) as cluster:
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "velmora_fleet",
                "run",
                str(source),
                "--out",
                str(tmp_path / "out"),
                "--scheduler",
                cluster.scheduler_address,
                "--quiet",
            ],
            capture_output=True,
            text=True,
            timeout=120,
        )
    assert done.returncode == 0, done.stderr
    assert f"Dask at {cluster.scheduler_address} with 1 worker" in done.stdout
    assert "tracks: 11 done, 1 failed (too_short 1)" in done.stdout

    velmora_fleet.run(str(source), str(tmp_path / "here"), workers=0)
    expected = [pd.read_parquet(tmp_path / "here" / name) for name in ("points.parquet", "tracks.parquet")]
    assert_output_equals(tmp_path / "out", expected)


@pytest.mark.parametrize(
    "argv",
    [
        ["run"],
        ["run", "in.parquet"],
        ["run", "in.parquet", "--out", "o", "--spacing", "0"],
        ["run", "in.parquet", "--out", "o", "--max-deviation", "nan"],
        ["run", "in.parquet", "--out", "o", "--workers", "-1"],
        ["run", "in.parquet", "--out", "o", "--workers", "2", "--scheduler", "tcp://127.0.0.1:8786"],
        ["run", "in.parquet", "--out", "o", "--resume", "--overwrite"],
        ["run", "in.parquet", "--out", "o", "--max-track-points", "1"],
        ["run", "in.parquet", "--out", "o", "--every", "10 parsecs"],
        ["run", "in.parquet", "--out", "o", "--every", "0s"],
        ["run", "in.parquet", "--out", "o", "--motion", "jerky"],
        ["run", "in.parquet", "--out", "o", "--frobnicate"],
        ["generate", "o.parquet", "--tracks", "many"],
        ["generate", "o.parquet", "--points", "0"],
        ["fly"],
        [],
    ],
)
def test_bad_arguments_give_one_line_and_status_2(argv, capsys):
    with pytest.raises(SystemExit) as stop:
        main(argv)
    err = capsys.readouterr().err
    assert stop.value.code == 2
    assert err.count("\n") == 1 and err.startswith("velmora-fleet") and ": error: " in err


def test_api_and_cli_take_their_settings_from_one_declaration(capsys):
    import inspect

    from velmora_fleet.options import RUN_SETTINGS, TRACK_SETTINGS

    run_keywords = inspect.signature(velmora_fleet.run).parameters
    track_keywords = inspect.signature(velmora_fleet.process_track).parameters
    with pytest.raises(SystemExit):
        main(["run", "--help"])
    help_text = capsys.readouterr().out
    for setting in TRACK_SETTINGS + RUN_SETTINGS:
        assert run_keywords[setting.name].default == setting.default
        assert setting.flag in help_text or setting.name == "progress"
    for setting in TRACK_SETTINGS:
        assert track_keywords[setting.name].default == setting.default
    with pytest.raises(TypeError, match="run\\(\\) got an unexpected keyword argument 'spaceing'"):
        velmora_fleet.run("in.parquet", "out", spaceing=2.0)
    with pytest.raises(ValueError, match="^spacing must be greater than 0, got 0.0$"):
        velmora_fleet.run("in.parquet", "out", spacing=0.0)
    assert np.isclose(track_keywords["spacing"].default, 1.0)
