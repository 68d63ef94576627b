"""Input that cannot be used fails with one line naming the file (and the
column and row): from footers and headers before any work, or from the
records while reading, with nothing left in the output folder."""

from decimal import Decimal

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import velmora_fleet
from velmora_fleet.cli import main

GOOD = "track_id,time,x,y\n1,0.0,0.0,0.0\n1,1.0,1.0,0.0\n"


def parquet(frame):
    return lambda path: frame.to_parquet(path)


def text(content):
    return lambda path: path.write_text(content)


def given(write, **keywords):
    """The writer, with settings for the run."""
    write.keywords = keywords
    return write


def folder(**files):
    def write(path):
        path.mkdir()
        for name, content in files.items():
            (path / name.replace("__", ".")).write_text(content) if isinstance(
                content, str
            ) else content.to_parquet(path / name.replace("__", "."))

    return write


XY = pd.DataFrame({"track_id": [1, 1], "time": [0.0, 1.0], "x": [0.0, 1.0], "y": [0.0, 0.0]})


def earlier_output(path):
    path.parent.mkdir()
    (path.parent / "_velmora_run.json").write_text("{}")
    XY.to_parquet(path)


@pytest.mark.parametrize(
    "name, write, message",
    [
        (
            "a.parquet",
            parquet(pd.DataFrame({"track_id": [1], "x": [0.0], "y": [0.0]})),
            r": missing column 'time'",
        ),
        ("a.csv", text("track_id,time,x\n1,0,0\n"), r": missing column 'y' \(need x and y"),
        ("a.csv", text("track_id,time,lat\n1,0,0\n"), r": missing column 'lon'"),
        (
            "a.parquet",
            parquet(pd.DataFrame({"track_id": [1], "time": [True], "x": [0.0], "y": [0.0]})),
            r": column 'time' has type bool, expected numbers or times",
        ),
        (
            "a.parquet",
            parquet(pd.DataFrame({"track_id": [], "time": [], "x": [], "y": []})),
            r": holds no point records",
        ),
        ("a.parquet", text("not parquet at all"), r": cannot read as Parquet"),
        ("absent.parquet", None, r": cannot read: no such file"),
        ("empty", folder(), r": holds no input files"),
        ("mixed", folder(a__csv=GOOD, b__parquet=XY), r": holds both CSV and Parquet files"),
        (
            "d",
            folder(a__parquet=XY, b__parquet=XY.assign(track_id=["1", "1"])),
            r"/b.parquet: column 'track_id' has type str, other files have int",
        ),
        ("d", folder(a__parquet=XY, b__parquet=XY.drop(columns="y")), r"/b.parquet: missing column 'y'"),
        # what Parquet readers leave out (names starting with _ or .) is not read
        (
            "d",
            folder(_junk__parquet="x", __hidden__parquet="x", b__parquet=XY.drop(columns="y")),
            r"/b.parquet: missing column 'y'",
        ),
        # x given as the column y, which y takes too
        ("a.csv", given(text(GOOD), columns="x=y"), r": column 'y' is given for both x and y"),
        (
            "run/points.parquet",
            earlier_output,
            r": is the output of a velmora-fleet run \(.*/run/_velmora_run.json\); give the recordings instead",
        ),
    ],
)
def test_unusable_input_fails_before_any_work(tmp_path, name, write, message):
    source = tmp_path / name
    if write:
        write(source)
    keywords = getattr(write, "keywords", {})
    # nothing listens there: reaching the engine would fail differently
    with pytest.raises(velmora_fleet.FleetInputError, match=f"^{source}{message}"):
        velmora_fleet.run(str(source), str(tmp_path / "out"), scheduler="tcp://127.0.0.1:9", **keywords)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "content, message",
    [
        (GOOD + "1,2.0,abc,0.0\n", r"column 'x' holds 'abc' in row 3, expected a number"),
        (GOOD + ",2.0,2.0,0.0\n", r"column 'track_id' holds an empty value in row 3, expected a track id"),
        (GOOD.replace("1,1.0,1", "1,soon,1"), r"column 'time' holds 'soon' in row 2, expected a number"),
    ],
)
@pytest.mark.parametrize("grouped", [False, True])
def test_bad_values_found_while_reading_leave_nothing_behind(tmp_path, content, message, grouped):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.csv").write_text(GOOD.replace("1,", "2,"))
    (tmp_path / "in" / "b.csv").write_text(content)
    with pytest.raises(velmora_fleet.FleetInputError, match=f"^{tmp_path / 'in' / 'b.csv'}: {message}$"):
        velmora_fleet.run(
            str(tmp_path / "in"), str(tmp_path / "out"), workers=0, grouped=grouped, batch_points=1
        )
    assert list((tmp_path / "out").iterdir()) == []


def test_cli_reports_unusable_input_in_one_line(tmp_path, capsys):
    assert main(["run", str(tmp_path / "absent.csv"), "--out", str(tmp_path / "o"), "--workers", "0"]) == 1
    assert (
        capsys.readouterr().err
        == f"velmora-fleet: error: {tmp_path / 'absent.csv'}: cannot read: no such file\n"
    )


def test_records_with_gaps_drop_alone():
    import fsspec

    rows = GOOD + "2,0.0,0.0,0.0\n2,1.0,,0.0\n2,2.0,2.0,0.0\n3,0.0,5.0,5.0\n3,,6.0,5.0\n"
    with fsspec.open("memory://gaps/in.csv", "w") as fh:  # any fsspec URL, both ways
        fh.write(rows)
    summary = velmora_fleet.run("memory://gaps/in.csv", "memory://gaps/out", workers=0)
    tracks = pd.read_parquet("memory://gaps/out/tracks.parquet").sort_values("track_id")
    assert list(tracks["status"]) == ["ok", "ok", "too_short"]
    assert list(tracks["error"][2:]) == ["a trip needs at least 2 points, this one has 1"]
    assert list(tracks["records_bad_position"]) == [0, 1, 0] and list(tracks["records_no_time"]) == [0, 0, 1]
    assert summary.points_in == 7 and list(tracks["records"]) == [2, 3, 2]
    points = pd.read_parquet("memory://gaps/out/points.parquet")
    assert (
        set(points["track_id"]) == {"1", "2"}
        and np.isfinite(points[["s", "x", "y", "curvature"]]).all().all()
    )


@pytest.mark.parametrize("ids", [["007", "7"], ["1", "1.0"]])
def test_csv_track_ids_are_kept_as_written(tmp_path, ids):
    rows = "".join(f"{track},{t}.0,{t}.0,0.0\n" for track in ids for t in range(3))
    (tmp_path / "in.csv").write_text("track_id,time,x,y\n" + rows)
    summary = velmora_fleet.run(str(tmp_path / "in.csv"), str(tmp_path / "out"), workers=0)
    tracks = pd.read_parquet(tmp_path / "out" / "tracks.parquet")
    assert summary.tracks == 2 and sorted(tracks["track_id"]) == sorted(ids)
    assert list(tracks["records"]) == [3, 3]


def test_of_records_with_one_time_the_first_in_file_order_is_kept(tmp_path):
    # the repeat of the last time comes first in b.csv and last in a.csv: a.csv's is the first
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.csv").write_text(
        "track_id,time,x,y\n" + "".join(f"1,{t},{t},0\n" for t in range(6))
    )
    (tmp_path / "in" / "b.csv").write_text("track_id,time,x,y\n1,5,50,0\n2,0,0,0\n2,1,1,0\n")
    velmora_fleet.run(str(tmp_path / "in"), str(tmp_path / "out"), workers=0, max_deviation=0.0)
    points = pd.read_parquet(tmp_path / "out" / "points.parquet")
    trips = pd.read_parquet(tmp_path / "out" / "tracks.parquet").set_index("track_id")
    assert trips.loc["1", "records_duplicate"] == 1
    assert points.loc[points["track_id"] == "1", "x"].iloc[-1] == pytest.approx(5.0)


ISO = "track_id,time,x,y\n" + "".join(f"1,2020-06-30T00:00:{t:02d},{t}.0,0.0\n" for t in range(5))


def files(**content):
    """Files below the test's folder, by relative path ("__" for "."): text, or a frame as Parquet."""

    def write(root):
        for name, value in content.items():
            path = root / name.replace("__", ".")
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(value) if isinstance(value, str) else value.to_parquet(path)

    return write


def hive(root):
    frame = pd.DataFrame({"track_id": ["a b", "ünï", "x/y"] * 3, "time": np.repeat([0.0, 1.0, 2.0], 3)})
    frame.assign(x=frame["time"] * 5.0, y=0.0).to_parquet(root / "hive", partition_cols=["track_id"])


def earlier_run_in(folder):
    return {
        f"{folder}/_velmora_run__json": "{}",
        f"{folder}/points__parquet/part-00000__parquet": XY,
        f"{folder}/tracks__parquet/part-00000__parquet": XY.assign(track_id=[9, 9]),
    }


TIMES = pd.DataFrame({"track_id": [1] * 4, "x": [0.0, 1.0, 2.0, 3.0], "y": 0.0})
ISO_FRAME = TIMES.assign(time=["2020-06-30T00:00:0" + str(t) for t in range(4)])
# as SQL exports write coordinates
DECIMAL_DEGREES = pa.table(
    {
        "track_id": [1, 1, 1],
        "time": [0.0, 1.0, 2.0],
        "lon": [Decimal("11.000000"), Decimal("11.000100"), Decimal("11.000200")],
        "lat": [Decimal("48.100000")] * 3,
    }
)
BEYOND = np.array(
    ["2020-06-30T00:00:00", "2020-06-30T00:00:01", "9999-12-31", "2020-06-30T00:00:03"], "datetime64[ms]"
)


@pytest.mark.parametrize(
    "source, write, keywords, ids, dropped",
    [
        # a file without any time value says nothing about the kind of times the others hold
        ("in", files(**{"in/a__csv": "track_id,time,x,y\n", "in/b__csv": ISO}), {}, ["1"], {}),
        ("in", files(**{"in/a__parquet": ISO_FRAME.iloc[:0], "in/b__parquet": ISO_FRAME}), {}, ["1"], {}),
        ("a.csv", files(a__csv=ISO.replace("\n", "\n" + "1,,9.0,9.0\n" * 25, 1)), {}, ["1"], {"no_time": 25}),
        (
            "a.parquet",
            files(a__parquet=TIMES.assign(time=pd.array([0, None, 2, 3], dtype="Int64"))),
            {},
            ["1"],
            {"no_time": 1},
        ),
        # a placeholder time beyond what nanoseconds hold (1677-2262) is a record without a usable time
        ("a.csv", files(a__csv=ISO + "1,9999-12-31T00:00:00,9.0,0.0\n"), {}, ["1"], {"no_time": 1}),
        (
            "a.parquet",
            files(a__parquet=TIMES.assign(time=BEYOND.astype("datetime64[ms]"))),
            {},
            ["1"],
            {"no_time": 1},
        ),
        (
            "a.parquet",
            lambda root: pq.write_table(DECIMAL_DEGREES, root / "a.parquet"),
            {},
            ["1"],
            {},
        ),
        # a wildcard in a folder's name; the literal name of a file that exists
        (
            "days/2020-*/log.csv",
            files(**{"days/2020-01/log__csv": GOOD, "days/2020-02/log__csv": GOOD.replace("1,", "2,")}),
            {},
            ["1", "2"],
            {},
        ),
        ("in[1].csv", files(**{"in[1]__csv": GOOD}), {}, ["1"], {}),
        # hive folder names are percent-encoded: the ids are what they stand for
        ("hive", hive, {}, ["a b", "x/y", "ünï"], {}),
        ("hive/track_id=*/*.parquet", hive, {}, ["a b", "x/y", "ünï"], {}),
        # recordings beside (or below) an earlier run's output are read; its tables are not
        (
            "data",
            files(**earlier_run_in("."), **{"data/a__csv": GOOD}),
            {"out": ".", "overwrite": True},
            ["1"],
            {},
        ),
        ("rec/**/*.parquet", files(**earlier_run_in("rec/result"), **{"rec/a__parquet": XY}), {}, ["1"], {}),
    ],
)
def test_inputs_as_users_have_them_are_read_whole(tmp_path, source, write, keywords, ids, dropped):
    write(tmp_path)
    keywords = dict(keywords)
    out = tmp_path / keywords.pop("out", "out")
    summary = velmora_fleet.run(str(tmp_path / source), str(out), workers=0, **keywords)
    tracks = pd.read_parquet(out / "tracks.parquet")
    assert sorted(tracks["track_id"].astype(str).unique()) == ids
    assert summary.records_dropped == dropped and tracks["records"].sum() == summary.points_in


@pytest.mark.parametrize(
    "arguments",
    [
        ["--preset", "vessels"],
        ["--columns", "trackid=MMSI"],  # not a role of the pipeline
        ["--columns", "x=A,y=A"],  # two roles of one column
        ["--crs", "bogus"],
    ],
)
def test_bad_column_arguments_exit_2_before_anything(tmp_path, arguments, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["run", str(tmp_path / "absent.csv"), "--out", str(tmp_path / "o"), *arguments])
    err = capsys.readouterr().err
    assert stop.value.code == 2 and err.count("\n") == 1 and arguments[0] in err
