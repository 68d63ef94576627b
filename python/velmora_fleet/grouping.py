"""Gathering each track's records when they are spread over the input (a
time-ordered log): the workers read the fragments, Dask's own shuffle brings
every track's records into one bucket (the track id's hash picks it), and
each bucket is written as one file of the run's scratch folder. Buckets are
numbered by the shuffle's output partition, which the hash alone decides, so
the same input always gives the same buckets.
"""

from __future__ import annotations

import pandas as pd

from .destination import GROUPS, Destination
from .records import Layout, read_fragment


def bucket_name(index: int) -> str:
    return f"{GROUPS}/bucket-{index:05d}.parquet"


def group_records(
    engine, fragments: list, layout: Layout, source_fs, destination: Destination, buckets: int, job=None
) -> list[tuple[int, int]]:
    """Reads and shuffles every record into `buckets` bucket files; returns
    (bucket, records) of each bucket that holds any. The writing tasks
    count as the run's (job.run) and check its fence."""
    import dask.dataframe as dd

    records = dd.from_map(
        read_fragment,
        fragments,
        args=[layout, source_fs],
        meta=layout.empty_frame(),
        enforce_metadata=False,
        label="velmora-read",
    )
    shuffled = records.shuffle(
        on="track_id", npartitions=buckets, ignore_index=True, shuffle_method=engine.shuffle_method
    )
    written = shuffled.map_partitions(_write_bucket, destination, job, meta=_SUMMARY)
    summary = engine.compute(written)
    return [(int(b), int(n)) for b, n in zip(summary["bucket"], summary["records"]) if n > 0]


_SUMMARY = pd.DataFrame({"bucket": pd.Series([], dtype="int64"), "records": pd.Series([], dtype="int64")})


def _write_bucket(frame: pd.DataFrame, destination: Destination, job, partition_info=None) -> pd.DataFrame:
    import pyarrow as pa

    from .claim import in_flight
    from .storage import is_storage_failure, storage_failure

    index = partition_info["number"]
    if len(frame):
        table = pa.Table.from_pandas(frame, preserve_index=False)
        fence = job.fence if job is not None else None
        with in_flight(job.run if job is not None else ""):
            if fence is not None:
                fence.check()
            try:
                destination.write_table(bucket_name(index), table, fence=fence)
            except Exception as exc:
                if not is_storage_failure(exc):
                    raise
                raise storage_failure(f"{destination.path}: cannot write the grouped records", exc) from None
    return pd.DataFrame({"bucket": [index], "records": [len(frame)]})
