"""Runs that break workers on purpose, each in a child process of the test
(so that a hang ends at the test's timeout): python scenarios.py NAME INPUT OUT.

The faults are planted through a worker plugin, which Dask installs again on
every worker that replaces a dead one.
"""

import json
import os
import signal
import sys
import time

from dask.distributed import Client, WorkerPlugin

import velmora_fleet
from velmora_fleet.engine import local_cluster


class Fault(WorkerPlugin):
    """Wraps the per-track step of every worker: `kill_once` kills the first
    worker to run that track (a marker file makes it once per run), `poison`
    kills every worker that runs it, `delay` slows every track down."""

    def __init__(self, marker_dir, kill_once=None, poison=None, delay=0.0):
        self.marker_dir, self.kill_once, self.poison, self.delay = marker_dir, kill_once, poison, delay

    def setup(self, worker):
        import velmora_fleet.work as work

        original = work.process_sorted
        plugin = self

        def faulty(track_id, *args, **keywords):
            if track_id == plugin.poison:
                os.kill(os.getpid(), signal.SIGKILL)
            if track_id == plugin.kill_once:
                marker = os.path.join(plugin.marker_dir, "killed")
                if not os.path.exists(marker):
                    open(marker, "w").close()
                    os.kill(os.getpid(), signal.SIGKILL)
            time.sleep(plugin.delay)
            return original(track_id, *args, **keywords)

        self._original = original
        work.process_sorted = faulty

    def teardown(self, worker):
        import velmora_fleet.work as work

        work.process_sorted = self._original


def main(name, source, out, *extra):
    keywords = {"memory_limit": "400MB"} if name == "small-memory" else {}
    faults = {"killed": {"kill_once": 1005, "poison": 1003}, "slow": {"delay": 0.3}}
    with local_cluster(2, **keywords) as cluster, Client(cluster) as client:
        if name in faults:
            client.register_plugin(Fault(os.path.dirname(out), **faults[name]))
        if name == "slow":  # a cluster for a CLI run to be interrupted: serve until killed
            print(cluster.scheduler_address, flush=True)
            time.sleep(600)
            return
        summary = velmora_fleet.run(source, out, client=client, batch_points=1000)
    print(json.dumps({"failed": summary.tracks_failed, "tracks": summary.tracks}))


if __name__ == "__main__":
    main(*sys.argv[1:])
