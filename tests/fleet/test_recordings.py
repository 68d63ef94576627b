"""Recordings as users have them: exports with their own column names and
codes, times with time zones or as a DataFrame's index, and output that GIS
tools open."""

import json
import os
import subprocess
import sys

import duckdb
import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

import velmora_fleet

US = "BaseDateTime,LON,LAT,MMSI,SOG,COG,Heading,VesselName\n"
DK = "# Timestamp,Type of mobile,MMSI,Latitude,Longitude,SOG,COG,Heading\n"


def us_rows(mmsi, start_lon, count, heading):
    """As the export writes them: COG in a signed 12-bit count of tenths (204.8 and above wrap below 0)."""
    courses = [(358 + 2 * k) % 360 for k in range(count)]
    return "".join(
        f"2020-06-30T00:{k // 6:02d}:{k % 6 * 10:02d},{start_lon + k * 1e-3:.6f},40.6,{mmsi},"
        f"7.5,{course - 409.6 if course >= 204.8 else course:.1f},{heading},X\n"
        for k, course in enumerate(courses)
    )


def dk_rows(mmsi, count):
    return "".join(
        f"01/11/2023 00:{k // 60:02d}:{k % 60:02d},Class A,{mmsi},55.{k:04d},12.0,5.0,90.0,511\n"
        for k in range(0, count * 10, 10)
    )


US_HOUR = (
    US
    + us_rows(367000140, -74.07, 30, 246)
    + "2020-06-30T00:05:00,181.0,91.0,367000140,102.3,360,511,X\n"
    + us_rows(366999618, -74.02, 30, 511)
)
US_RENAMED = "t,x_deg,y_deg,vessel,SOG,COG,Heading,VesselName\n" + US_HOUR.split("\n", 1)[1]


@pytest.mark.parametrize(
    "content, keywords, export, used, headings",
    [
        (US_HOUR, {}, ": US MarineCadastre", 60, {"367000140": 246.0, "366999618": None}),
        (DK + dk_rows(219000001, 30), {}, ": Danish Maritime Authority", 30, {"219000001": None}),
        # explicit columns win over the preset's, all of them too
        (
            US_RENAMED,
            {"columns": "track_id=vessel,time=t,lon=x_deg,lat=y_deg"},
            ", columns as given",
            60,
            {"367000140": 246.0},
        ),
    ],
)
def test_ais_preset_maps_the_export_and_its_not_available_codes(
    tmp_path, content, keywords, export, used, headings
):
    (tmp_path / "ais.csv").write_text(content)
    summary = velmora_fleet.run(
        str(tmp_path / "ais.csv"), str(tmp_path / "out"), workers=0, preset="ais", **keywords
    )
    assert summary.columns.endswith(f"(preset ais{export})") and "track_id=" in summary.columns
    trips = pd.read_parquet(tmp_path / "out" / "tracks.parquet")
    points = pd.read_parquet(tmp_path / "out" / "points.parquet")
    assert (
        trips["records_used"].sum() == used
        and trips["records_bad_position"].sum() == len(content.splitlines()) - 1 - used
    )
    # the AIS heading keeps a name of its own beside the computed one, whatever the reader's case
    assert {"SOG", "COG", "input_Heading", "time", "speed", "heading", "lon", "lat"} <= set(points.columns)
    assert pd.api.types.is_string_dtype(trips["track_id"])  # MMSI kept as written
    for mmsi, heading in headings.items():  # 511: not available
        values = points.loc[points["track_id"] == mmsi, "input_Heading"]
        assert values.isna().all() if heading is None else np.allclose(values, heading)
    if "367000140" in headings:  # every course recovered from its wrapped count, 358 first
        course = points.loc[points["track_id"] == "367000140", "COG"]
        assert course.notna().all() and abs((course.iloc[0] - 358.0 + 180.0) % 360.0 - 180.0) < 1e-9


GPS_LOG = "track_id,time,lon,lat,speed,heading,x,geometry,trip,input_speed\n" + "".join(
    f"1,{t},{11.0 + t * 1e-4:.6f},48.1,7.0,33.0,-5.0,2.0,4.0,6.0\n" for t in range(20)
)


@pytest.mark.parametrize(
    "content, keywords, carried",
    [
        # a GPS log's own speed and heading, and names the output tables use
        (
            GPS_LOG,
            {"carry": "speed,x,geometry,trip,input_speed", "carry_angles": "heading"},
            {
                "speed": ("input_input_speed", 7.0),  # input_speed is carried under its own name
                "heading": ("input_heading", 33.0),
                "x": ("input_x", -5.0),
                "geometry": ("input_geometry", 2.0),
                "trip": ("input_trip", 4.0),
                "input_speed": ("input_speed", 6.0),
            },
        ),
        # DuckDB's names ignore case: Heading beside heading would read as the computed one
        (US_HOUR, {"preset": "ais"}, {"Heading": ("input_Heading", 246.0), "SOG": ("SOG", 7.5)}),
    ],
)
def test_carried_columns_named_like_output_columns_keep_names_every_reader_takes(
    tmp_path, content, keywords, carried
):
    (tmp_path / "in.csv").write_text(content)
    summary = velmora_fleet.run(str(tmp_path / "in.csv"), str(tmp_path / "out"), workers=0, **keywords)
    assert all(f"{name} as {out}" in summary.columns for name, (out, _) in carried.items() if name != out)
    points = pd.read_parquet(tmp_path / "out" / "points.parquet")
    assert len({name.lower() for name in points.columns}) == len(points.columns)
    which = "track_id in ('1', '367000140')"  # the one whose AIS heading is available
    for out, value in carried.values():
        assert np.allclose(points.query(which)[out], value)
        read = duckdb.sql(f"select {out} from '{tmp_path}/out/points.parquet/*.parquet' where {which}")
        assert np.allclose(read.fetchnumpy()[out], value)


def test_a_mapped_column_that_is_absent_names_it_and_the_columns_there(tmp_path):
    (tmp_path / "a.csv").write_text("id,t,lon,lat\n1,0,0,0\n")
    with pytest.raises(
        velmora_fleet.FleetInputError,
        match=r"a.csv: missing column 'MMSI' \(given for track_id\); its columns are: id, t, lon, lat$",
    ):
        velmora_fleet.run(
            str(tmp_path / "a.csv"), str(tmp_path / "out"), workers=0, columns="track_id=MMSI,time=t"
        )


@pytest.mark.parametrize("index", [["time"], ["track_id", "time"]])
def test_time_zones_and_indexes_of_parquet_files_are_read(tmp_path, index):
    rows = 40
    frame = pd.DataFrame(
        {
            "track_id": np.repeat([1, 2], rows // 2),
            "x": np.tile(np.arange(rows // 2) * 5.0, 2),
            "y": 0.0,
            "time": pd.date_range(
                "2026-05-01 12:00", periods=rows // 2, freq="s", tz="Europe/Berlin"
            ).tolist()
            * 2,
        }
    )
    frame.set_index(index).to_parquet(tmp_path / "in.parquet")
    velmora_fleet.run(str(tmp_path / "in.parquet"), str(tmp_path / "out"), workers=0)
    trips = pd.read_parquet(tmp_path / "out" / "tracks.parquet")
    assert list(trips["status"]) == ["ok", "ok"]
    assert trips["start_time"].iloc[0] == pd.Timestamp("2026-05-01 10:00", tz="UTC")  # the instant, in UTC


def test_outputs_are_geoparquet_with_their_crs(tmp_path):
    gpd = pytest.importorskip("geopandas")
    velmora_fleet.write_fleet(
        velmora_fleet.generate_fleet(3, 300, seed=2, lonlat=True), str(tmp_path / "ll.parquet")
    )
    velmora_fleet.run(str(tmp_path / "ll.parquet"), str(tmp_path / "ll"), workers=0)
    points = gpd.read_parquet(tmp_path / "ll" / "points.parquet")
    trips = gpd.read_parquet(tmp_path / "ll" / "tracks.parquet")
    assert points.crs.to_string() == "OGC:CRS84" and trips.geom_type.unique().tolist() == ["LineString"]
    assert np.array_equal(points.geometry.x, points["lon"]) and np.array_equal(
        points.geometry.y, points["lat"]
    )

    velmora_fleet.write_fleet(velmora_fleet.generate_fleet(3, 300, seed=2), str(tmp_path / "xy.parquet"))
    velmora_fleet.run(str(tmp_path / "xy.parquet"), str(tmp_path / "xy"), workers=0, crs="EPSG:25832")
    assert gpd.read_parquet(tmp_path / "xy" / "points.parquet").crs.to_epsg() == 25832
    velmora_fleet.run(str(tmp_path / "xy.parquet"), str(tmp_path / "none"), workers=0)
    geo = json.loads(
        pq.read_schema(tmp_path / "none" / "points.parquet" / "part-00000.parquet").metadata[b"geo"]
    )
    assert geo["columns"]["geometry"]["crs"] is None  # x, y of no known system


def test_a_run_in_which_every_track_failed_exits_with_1(tmp_path):
    (tmp_path / "a.csv").write_text("track_id,time,x,y\n1,0,0,0\n2,0,5,5\n")
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "velmora_fleet",
            "run",
            str(tmp_path / "a.csv"),
            "--out",
            str(tmp_path / "out"),
            "--workers",
            "0",
            "--quiet",
        ],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ),
    )
    assert done.returncode == 1 and done.stderr.splitlines() == ["velmora-fleet: error: every track failed"]
    assert "tracks: 0 done, 2 failed (too_short 2)" in done.stdout


def test_a_real_ais_hour_accounts_for_every_record(tmp_path):
    sample = os.environ.get("VELMORA_AIS_SAMPLE")
    if not sample:
        pytest.skip("no AIS sample (make fetches it: VELMORA_AIS_SAMPLE)")
    gpd = pytest.importorskip("geopandas")
    summary = velmora_fleet.run(
        f"{sample}/NYHarbor_2020_06_30_first_hour.csv", str(tmp_path / "out"), workers=0, preset="ais"
    )
    trips = pd.read_parquet(tmp_path / "out" / "tracks.parquet")
    points = gpd.read_parquet(tmp_path / "out" / "points.parquet")
    counted = trips[
        [
            "records_used",
            "records_no_time",
            "records_bad_position",
            "records_duplicate",
            "records_jump",
            "records_in_stops",
        ]
    ].sum(axis=1)
    assert (trips["records"] == counted).all() and trips["records"].sum() == summary.points_in == 8689
    assert summary.tracks == 295 and summary.stops > 0 and summary.records_dropped

    # no gap of records longer than max_gap within a trip: points further apart in time are neighbours
    # on the path (the vessel waits or creeps), never a jump across a gap
    apart = points.groupby(["track_id", "trip"])[["time", "s"]].diff()
    assert (apart["s"][apart["time"] > pd.Timedelta(seconds=600)] <= 10.0).all()
    assert points[["time", "speed", "heading", "lon", "lat"]].notna().all().all()
    assert points.crs.to_string() == "OGC:CRS84"
