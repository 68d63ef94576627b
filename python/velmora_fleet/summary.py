"""What a run did, for the terminal and for callers of run()."""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass
class RunSummary:
    tracks: int
    tracks_failed: dict[str, int]  # status -> count, for every status other than ok
    points_in: int
    points_out: int
    seconds: float  # wall time from planning the input to the manifest written
    read_seconds: float  # planning: listing the input, reading its footers and headers
    start_seconds: float  # starting or reaching the engine (an embedded cluster's start-up)
    group_seconds: float  # gathering each track's records (reading and shuffling), where needed
    task_seconds: float  # time spent inside the tasks that run the tracks, summed
    task_cpu_seconds: float  # processor time of the same
    tasks: int
    engine: str
    outputs: tuple[str, ...] = field(default=())
    mode: str = "shuffled"  # or "grouped input": the input held each track's records together
    resumed: int = 0  # tasks complete before this run (taken from the run it resumed)
    trips: int = 0
    trips_failed: dict[str, int] = field(
        default_factory=dict
    )  # status -> count of failed rows of tracks.parquet
    stops: int = 0
    records_dropped: dict[str, int] = field(default_factory=dict)  # reason -> records
    records_in_stops: int = 0
    columns: str = ""  # the column mapping used

    @property
    def tracks_done(self) -> int:
        """Tracks with at least one trip that succeeded."""
        return self.tracks - sum(self.tracks_failed.values())

    @property
    def throughput(self) -> float:
        """Input points per second of wall time."""
        return self.points_in / self.seconds if self.seconds > 0 else float("nan")

    @property
    def running_throughput(self) -> float:
        """Input points per second once the engine was up."""
        running = self.seconds - self.start_seconds - self.read_seconds
        return self.points_in / running if running > 0 else float("nan")

    def __str__(self) -> str:
        failed = sum(self.tracks_failed.values())
        detail = ", ".join(f"{name} {count:,}" for name, count in sorted(self.tracks_failed.items()))
        resumed = f", {self.resumed:,} taken from the interrupted run" if self.resumed else ""
        trips_failed = sum(self.trips_failed.values())
        trip_detail = ", ".join(f"{name} {count:,}" for name, count in sorted(self.trips_failed.items()))
        dropped = sum(self.records_dropped.values())
        drop_detail = ", ".join(f"{name} {count:,}" for name, count in sorted(self.records_dropped.items()))
        lines = [
            f"tracks: {self.tracks_done:,} done, {failed:,} failed"
            + (f" ({detail})" if detail else "")
            + f"; trips: {self.trips:,}"
            + (f" ({trips_failed:,} failed: {trip_detail})" if trips_failed else "")
            + f"; stops: {self.stops:,}",
            f"points: {self.points_in:,} in ({dropped:,} dropped"
            + (f": {drop_detail}" if drop_detail else "")
            + f"; {self.records_in_stops:,} in stops), {self.points_out:,} out",
            f"time: {self.seconds:.2f} s on {self.engine} in {self.tasks:,} task{'s' * (self.tasks != 1)}"
            f"{resumed} ({self.mode}; planning {self.read_seconds:.2f} s, engine start {self.start_seconds:.2f} s, "
            f"grouping {self.group_seconds:.2f} s), "
            f"{self.throughput:,.0f} points/s ({self.running_throughput:,.0f} once started)",
        ]
        if self.columns:
            lines.append(f"columns: {self.columns}")
        if self.outputs:
            lines.append("written: " + ", ".join(self.outputs))
        return "\n".join(lines)
