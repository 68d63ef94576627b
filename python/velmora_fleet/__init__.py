"""Many tracks through velmora: a batch pipeline on dask.distributed.

    import velmora_fleet
    summary = velmora_fleet.run("fleet.parquet", "out/", workers=4)
    result = velmora_fleet.process_track(times, x=xs, y=ys)

Needs the extra `velmora[fleet]` (dask[distributed], pandas, pyarrow, bokeh);
`plot_result` needs matplotlib.
"""

import importlib

# Names load on first use: `import velmora_fleet` stays cheap, and a worker
# imports only what its tasks use.
_WHERE = {
    "run": "pipeline",
    "local_cluster": "engine",
    "process_track": "track",
    "TrackResult": "track",
    "TripResult": "track",
    "StopResult": "track",
    "plot_result": "plot",
    "PRESETS": "presets",
    "STATUSES": "track",
    "RunSummary": "summary",
    "Options": "options",
    "FleetInputError": "records",
    "FleetEngineError": "engine",
    "FleetStorageError": "storage",
    "OutputRefused": "output_folder",
    "generate_fleet": "synthetic",
    "write_fleet": "synthetic",
}
__all__ = list(_WHERE)


def __getattr__(name):
    if name not in _WHERE:
        raise AttributeError(f"module 'velmora_fleet' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_WHERE[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
