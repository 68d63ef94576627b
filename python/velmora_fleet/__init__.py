"""Many tracks through velmora: a batch pipeline on dask.distributed.

    import velmora_fleet
    summary = velmora_fleet.run("fleet.parquet", "out/", workers=4)
    result = velmora_fleet.process_track(times, x=xs, y=ys)

Needs the extra `velmora[fleet]` (dask[distributed], pandas, pyarrow).
"""
from .options import Options
from .pipeline import run
from .reading import FleetInputError
from .summary import RunSummary
from .synthetic import generate_fleet, write_fleet
from .track import STATUSES, TrackResult, process_track

__all__ = ["run", "process_track", "TrackResult", "RunSummary", "Options", "FleetInputError",
           "generate_fleet", "write_fleet", "STATUSES"]
