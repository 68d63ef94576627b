import pytest

import velmora_fleet


@pytest.fixture(scope="session")
def fleet_file(tmp_path_factory):
    """30 tracks of 200 points, two of them broken, rows shuffled: only time orders them."""
    path = tmp_path_factory.mktemp("fleet") / "fleet.parquet"
    fleet = velmora_fleet.generate_fleet(30, 200, seed=3)
    velmora_fleet.write_fleet(fleet.sample(frac=1.0, random_state=4), str(path))
    return path
