import pytest
from fleet_expected import loop_over_tracks

import velmora_fleet


@pytest.fixture(scope="session")
def fleet_frame():
    """30 tracks of 200 points (two of them broken), rows in order of time."""
    return velmora_fleet.generate_fleet(30, 200, seed=3)


@pytest.fixture(scope="session")
def expected(fleet_frame):
    return loop_over_tracks(fleet_frame)


@pytest.fixture(scope="session")
def fleet_file(tmp_path_factory, fleet_frame):
    """The fleet in one Parquet file, rows shuffled: only time orders them."""
    path = tmp_path_factory.mktemp("fleet") / "fleet.parquet"
    velmora_fleet.write_fleet(fleet_frame.sample(frac=1.0, random_state=4), str(path))
    return path


@pytest.fixture(scope="session")
def client():
    """Two worker processes, shared by the tests that need a cluster."""
    from dask.distributed import Client

    with velmora_fleet.local_cluster(2) as cluster, Client(cluster) as c:
        yield c
