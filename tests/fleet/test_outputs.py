"""What users take from a run: simplified points that keep the motion, trip
summaries and bbox columns every reader filters by, lines split at the
antimeridian, and trajectories with their time (tracks.parquet, kepler.gl,
GeoPackage)."""

import dataclasses
import json
import os
import sqlite3

import duckdb
import numpy as np
import pandas as pd
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest
import shapely

import velmora_fleet
from velmora_fleet.antimeridian import longitude_range, split
from velmora_fleet.cli import main
from velmora_fleet.simplify import kept_indices, simplified
from velmora_fleet.trajectory import check_increasing, increasing
from velmora_fleet.trip_geometry import TripGeometry

TEN = np.arange(11.0)


@pytest.mark.parametrize(
    "x, y, t, kept",
    [
        (TEN, TEN * 0, TEN, [0, 10]),  # straight, at one speed
        # straight, but at half the speed after 5: plain Douglas-Peucker would keep the ends alone
        (TEN, TEN * 0, np.r_[TEN[:6], 5 + 2 * TEN[1:6]], [0, 5, 10]),
        (np.r_[TEN[:6], np.full(5, 5.0)], np.r_[np.zeros(6), TEN[1:6]], TEN, [0, 5, 10]),  # a corner
        (TEN, TEN * 0, TEN * 0, [0, 10]),  # no duration: the distance from the segment stands in
        (TEN[:2], TEN[:2], TEN[:2], [0, 1]),
    ],
)
def test_simplification_keeps_the_points_the_synchronized_distance_needs(x, y, t, kept):
    assert kept_indices(x, y, t, 0.5).tolist() == kept


@pytest.mark.parametrize("seed", range(4))
def test_every_point_stays_within_the_tolerance_of_the_kept_ones_at_its_time(seed):
    rng = np.random.default_rng(seed)
    x, y = np.cumsum(rng.normal(size=(2, 3000)), axis=1)
    t = np.cumsum(rng.uniform(0.1, 3.0, 3000))
    keep = kept_indices(x, y, t, 2.0)
    assert keep[0] == 0 and keep[-1] == 2999 and len(keep) < 3000
    at_time = np.hypot(np.interp(t, t[keep], x[keep]) - x, np.interp(t, t[keep], y[keep]) - y)
    length = np.hypot(np.diff(x), np.diff(y)).sum()
    assert at_time.max() <= 2.0 and np.hypot(np.diff(x[keep]), np.diff(y[keep])).sum() >= 0.996 * length


def test_a_simplified_trip_takes_every_per_point_field_and_keeps_its_fastest_point():
    @dataclasses.dataclass
    class WithMore(TripGeometry):  # a field another change may add
        jerk: np.ndarray = None

    n = 9
    speed = np.ones(n)
    speed[4] = 7.0  # on a straight line at one pace: kept only for being the fastest
    geometry = WithMore(
        *(TEN[:n],) * 2, np.zeros(n), TEN[:n], TEN[:n], speed, np.zeros(n), *(np.full(n, np.nan),) * 2,
        TEN[:n] * 3, *(np.zeros(n),) * 2, carried={"SOG": TEN[:n] * 2}, length=12.7, jerk=TEN[:n] * 4,
    )  # fmt: skip
    out = simplified(geometry, 0.1)
    assert out.s.tolist() == out.time.tolist() == [0.0, 4.0, 8.0] and out.speed.tolist() == [1.0, 7.0, 1.0]
    assert out.carried["SOG"].tolist() == [0.0, 8.0, 16.0] and out.acceleration.tolist() == [0.0, 12.0, 24.0]
    assert out.jerk.tolist() == [0.0, 16.0, 32.0]
    assert out.length == 12.7 and type(out) is WithMore and simplified(geometry, None) is geometry


def test_simplified_ais_hour_keeps_its_lengths_and_stays_within_5_m(tmp_path):
    sample = os.environ.get("VELMORA_AIS_SAMPLE")
    if not sample:
        pytest.skip("no AIS sample (make fetches it: VELMORA_AIS_SAMPLE)")
    hour = f"{sample}/NYHarbor_2020_06_30_first_hour.csv"
    summary = velmora_fleet.run(hour, str(tmp_path / "full"), workers=0, preset="ais", quiet=True)
    assert main(["run", hour, "--out", str(tmp_path / "s"), "--workers", "0", "--preset", "ais", "--quiet",
                 "--simplify", "5"]) == 0  # fmt: skip
    full, simple = (pd.read_parquet(tmp_path / name / "points.parquet") for name in ("full", "s"))
    trips, simple_trips = (pd.read_parquet(tmp_path / name / "tracks.parquet") for name in ("full", "s"))
    assert len(simple) <= summary.points_in == 8689
    pd.testing.assert_frame_equal(trips[["length", "max_speed"]], simple_trips[["length", "max_speed"]])
    lengths = trips.set_index(["track_id", "trip"])["length"]
    for key, points in simple.groupby(["track_id", "trip"]):
        xy = points[["x", "y"]].to_numpy()
        assert np.hypot(*np.diff(xy, axis=0).T).sum() == pytest.approx(lengths[key], rel=0.005)
        every = full[(full["track_id"] == key[0]) & (full["trip"] == key[1])]
        assert shapely.distance(shapely.LineString(xy), shapely.points(every[["x", "y"]])).max() <= 5.0


def degrees_track(lon0, step, n=150):
    """A vessel at 4 m/s along a parallel, from lon0 by `step` degrees a record."""
    lon = lon0 + np.arange(n) * step
    return pd.DataFrame(
        {"track_id": 1, "time": pd.date_range("2026-01-01", periods=n, freq="10s"),
         "lon": (lon + 180) % 360 - 180, "lat": -17.0 + np.arange(n) * 1e-4}
    )  # fmt: skip


@pytest.mark.parametrize("lon0, step, seam", [(179.97, 4e-4, 180.0), (-179.97, -4e-4, -180.0)])
def test_a_trip_across_the_antimeridian_is_split_there_with_narrow_bounds(tmp_path, lon0, step, seam):
    degrees_track(lon0, step).to_parquet(tmp_path / "in.parquet")
    velmora_fleet.run(str(tmp_path / "in.parquet"), str(tmp_path / "out"), workers=0, quiet=True)
    trips = pd.read_parquet(tmp_path / "out" / "tracks.parquet")
    points = pd.read_parquet(tmp_path / "out" / "points.parquet")
    one, other = shapely.from_wkb(trips["geometry"][0]).geoms
    (east, lat), (west, lat_after) = one.coords[-1], other.coords[0]
    assert (east, west, lat) == (seam, -seam, lat_after)
    bbox = trips["bbox"][0]
    assert bbox["xmin"] > bbox["xmax"] and (bbox["xmax"] - bbox["xmin"]) % 360 < 10.0
    assert (bbox["xmin"], bbox["xmax"]) == (trips["lon_min"][0], trips["lon_max"][0])
    assert points["lon"].between(-180.0, 180.0, inclusive="left").all()
    text = duckdb.sql(f"select ST_AsText(geometry) from '{tmp_path}/out/tracks.parquet/*.parquet'").fetchall()
    assert text[0][0].startswith("MULTILINESTRING ((")
    assert float(text[0][0][len("MULTILINESTRING ((") :].split()[0]) == pytest.approx(lon0, abs=1e-9)
    gpd = pytest.importorskip("geopandas")
    assert gpd.read_parquet(tmp_path / "out" / "tracks.parquet").geom_type.tolist() == ["MultiLineString"]


@pytest.mark.parametrize(
    "lon, parts, west_east",
    [
        ([10.0, 20.0], [[10.0, 20.0]], (10.0, 20.0)),
        ([179.0, -179.0, -178.0], [[179.0, 180.0], [-180.0, -179.0, -178.0]], (179.0, -178.0)),
        (
            [179.0, -180.0, -179.0],
            [[179.0, 180.0], [-180.0, -179.0]],
            (179.0, -179.0),
        ),  # a vertex on the seam
        ([0.0, 120.0, -120.0, 0.0], [[0.0, 120.0, 180.0], [-180.0, -120.0, 0.0]], (-180.0, 180.0)),  # round
    ],
)
def test_lines_split_at_the_seam_and_their_longitude_range(lon, parts, west_east):
    lon = np.array(lon)
    got = split(lon, np.zeros(len(lon)), np.arange(len(lon), dtype=float))
    assert [p[0].tolist() for p in got] == parts and longitude_range(lon) == west_east
    assert all((np.diff(m) > 0).all() for _, _, m in got)


def test_trip_summaries_and_bbox_columns_agree_with_the_points_and_every_reader(tmp_path):
    velmora_fleet.write_fleet(
        velmora_fleet.generate_fleet(4, 300, seed=2, lonlat=True), str(tmp_path / "in.parquet")
    )
    velmora_fleet.run(str(tmp_path / "in.parquet"), str(tmp_path / "out"), workers=0, quiet=True)
    out = tmp_path / "out"
    points = pd.read_parquet(out / "points.parquet")
    trips = pd.read_parquet(out / "tracks.parquet").query("status == 'ok'").set_index(["track_id", "trip"])
    per_trip = points.groupby(["track_id", "trip"])
    for name in ("x", "y", "lon", "lat"):
        assert np.array_equal(trips[f"{name}_min"], per_trip[name].min()[trips.index])
        assert np.array_equal(trips[f"{name}_max"], per_trip[name].max()[trips.index])
    assert np.array_equal(trips["max_speed"], per_trip["speed"].max()[trips.index])
    seconds = (trips["end_time"] - trips["start_time"]).dt.total_seconds()
    assert np.array_equal(trips["duration"], seconds) and np.allclose(
        trips["mean_speed"], trips["length"] / seconds
    )
    bbox = pd.DataFrame(trips["bbox"].tolist(), index=trips.index)
    assert bbox.to_numpy().tolist() == trips[["lon_min", "lat_min", "lon_max", "lat_max"]].to_numpy().tolist()
    for (_, trip), times in zip(trips.iterrows(), trips["vertex_times"]):
        line = shapely.from_wkb(trip["geometry"])
        assert len(times) == shapely.get_num_coordinates(line) and (np.diff(times) > 0).all()
        assert [times[0], times[-1]] == pytest.approx(
            [trip["start_time"].timestamp(), trip["end_time"].timestamp()]
        )
    west, south, east, north = points["lon"].quantile(0.3), points["lat"].min(), points["lon"].max(), 90
    gpd = pytest.importorskip("geopandas")
    for table in ("points", "tracks", "stops"):
        geo = json.loads(pq.read_schema(next((out / f"{table}.parquet").iterdir())).metadata[b"geo"])
        assert geo["columns"]["geometry"]["covering"]["bbox"]["xmin"] == ["bbox", "xmin"]
        within = duckdb.sql(
            f"select count(*) from '{out}/{table}.parquet/*.parquet' where bbox.xmax >= {west} "
            f"and bbox.xmin <= {east} and bbox.ymax >= {south} and bbox.ymin <= {north}"
        ).fetchall()[0][0]
        assert len(gpd.read_parquet(out / f"{table}.parquet", bbox=(west, south, east, north))) == within
        assert ds.dataset(out / f"{table}.parquet").count_rows() == len(
            gpd.read_parquet(out / f"{table}.parquet")
        )
        assert table != "points" or 0 < within < len(points)  # the area holds some points, not all


@pytest.mark.parametrize(
    "times, kept",
    [
        ([0, 1, 2], [1, 1, 1]),
        ([0, 1, 1, 2], [1, 1, 0, 1]),
        ([0, 1, 2, 2], [1, 1, 0, 1]),
        ([0, 0, 1], [1, 0, 1]),
    ],
)
def test_vertices_of_one_time_leave_the_line_but_its_ends_stay(times, kept):
    assert increasing(np.array(times, dtype=float)).tolist() == [bool(k) for k in kept]


@pytest.mark.parametrize("times", [[0.0, 1.0, 1.0], [0.0, 2.0, 1.0], [5.0]])
def test_a_line_along_which_time_does_not_increase_is_refused(times):
    with pytest.raises(
        ValueError, match="trip 3: time does not increase along the line, so it is no trajectory"
    ):
        check_increasing([(None, None, np.array(times))], "trip 3")


@pytest.mark.parametrize("fmt", ["kepler", "gpkg"])
def test_export_writes_trajectories_with_the_trips_vertex_times(tmp_path, fmt):
    degrees_track(179.97, 4e-4).to_parquet(tmp_path / "in.parquet")
    velmora_fleet.run(
        str(tmp_path / "in.parquet"), str(tmp_path / "out"), workers=0, quiet=True, simplify=1.0
    )
    times = pd.read_parquet(tmp_path / "out" / "tracks.parquet")["vertex_times"][0]
    out = tmp_path / f"trips.{fmt}"
    assert main(["export", str(tmp_path / "out"), "--format", fmt, "--out", str(out)]) == 0
    if fmt == "kepler":
        features = json.loads(out.read_text())["features"]
        coordinates = [c for f in features for c in f["geometry"]["coordinates"]]
        assert [f["geometry"]["type"] for f in features] == ["LineString"] * 2  # a feature per side of 180°
        assert {len(c) for c in coordinates} == {4} and {c[2] for c in coordinates} == {0.0}
        assert features[0]["properties"]["start_time"] == "2026-01-01T00:00:00+00:00"
        assert [c[3] for c in coordinates] == times.tolist()
    else:  # GeoPackage geometry: an 8-byte header and an envelope, then ISO WKB with M
        blob = sqlite3.connect(out).execute("select geom from trips").fetchone()[0]
        line = shapely.from_wkb(blob[8 + [0, 32, 48, 48, 64][blob[3] >> 1 & 7] :])
        assert line.geom_type == "MultiLineString" and shapely.has_m(line)
        assert shapely.get_coordinates(line, include_m=True)[:, 2].tolist() == times.tolist()


def test_kepler_needs_degrees_or_a_crs(tmp_path, capsys):
    velmora_fleet.write_fleet(velmora_fleet.generate_fleet(2, 100, seed=1), str(tmp_path / "xy.parquet"))
    for name, crs in (("known", "EPSG:25832"), ("unknown", None)):
        velmora_fleet.run(str(tmp_path / "xy.parquet"), str(tmp_path / name), workers=0, quiet=True, crs=crs)
    assert (
        main(["export", str(tmp_path / "known"), "--format", "kepler", "--out", str(tmp_path / "k.json")])
        == 0
    )
    lon, lat = np.array(
        json.loads((tmp_path / "k.json").read_text())["features"][0]["geometry"]["coordinates"]
    )[0, :2]
    assert 4 < lon < 5 and -1 < lat < 1  # EPSG:25832's x, y of a few km: on the equator, 500 km west of 9° E
    assert (
        main(["export", str(tmp_path / "unknown"), "--format", "kepler", "--out", str(tmp_path / "u.json")])
        == 1
    )
    assert "x, y of no known CRS (run it with --crs)" in capsys.readouterr().err
    assert not (tmp_path / "u.json").exists() and not list(tmp_path.glob(".*u.json"))


def test_a_trip_that_never_moves_has_no_line_and_its_table_still_reads(tmp_path):
    frame = pd.DataFrame(
        {"track_id": [1] * 3 + [2] * 3, "time": [0.0, 10, 20] * 2, "x": [0.0] * 4 + [5, 10], "y": 0.0}
    )
    frame.to_csv(tmp_path / "in.csv", index=False)
    velmora_fleet.run(str(tmp_path / "in.csv"), str(tmp_path / "out"), workers=0, quiet=True)
    gpd = pytest.importorskip("geopandas")
    trips = gpd.read_parquet(tmp_path / "out" / "tracks.parquet").sort_values("track_id")
    assert trips["geometry"].isna().tolist() == [True, False]
    assert trips["vertex_times"].isna().tolist() == [True, False]
    assert main(["export", str(tmp_path / "out"), "--format", "gpkg", "--out", str(tmp_path / "t.gpkg")]) == 0
    assert sqlite3.connect(tmp_path / "t.gpkg").execute("select count(*) from trips").fetchone() == (1,)
