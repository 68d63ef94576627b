"""Where the tasks run: a Dask cluster (embedded, reached at an address, or a
caller's client) or, with no Dask, this process. Both give the pipeline the
same few operations: compute a dask collection, and run tasks handing back
each outcome as it completes, a dead worker told apart from an error.
"""

from __future__ import annotations

import collections
import contextlib
import logging
import os
import signal
import sys
import time
import uuid
from typing import Callable, Iterator

CONNECT_TIMEOUT = "10s"
# A task whose worker dies is run once more elsewhere; if that worker dies
# too, the task's tracks are run one per task to find the one to blame.
ALLOWED_FAILURES = 1
SETTLE_POLL_SECONDS = 0.2


class FleetEngineError(RuntimeError):
    """The engine could not be started or reached, or has no workers."""


class WorkerLost(Exception):
    """A task's worker died (twice) while running it."""


class Tasks:
    """Tasks in flight; iterating yields (tag, result or exception) as each
    completes, and tasks may be added meanwhile."""

    def add(self, tag, function: Callable, *args) -> None:
        raise NotImplementedError

    def __iter__(self) -> Iterator[tuple]:
        raise NotImplementedError

    def cancel(self) -> None:
        pass


class _LocalTasks(Tasks):
    def __init__(self):
        self._queue = collections.deque()

    def add(self, tag, function, *args):
        self._queue.append((tag, function, args))

    def __iter__(self):
        while self._queue:
            tag, function, args = self._queue.popleft()
            try:
                outcome = function(*args)
            except (KeyboardInterrupt, SystemExit):
                raise
            except Exception as exc:
                outcome = exc
            yield tag, outcome

    def cancel(self):
        self._queue.clear()


class InProcess:
    shuffle_method = "tasks"
    slots = 1
    multiprocess = False

    def __init__(self, description: str = "this process (no Dask)"):
        self.description = description

    def compute(self, collection):
        return collection.compute(scheduler="sync")

    def tasks(self) -> Tasks:
        return _LocalTasks()

    def settle(self, run: str, seconds: float) -> bool:
        return True  # nothing runs once the loop has stopped


class _ClientTasks(Tasks):
    def __init__(self, client):
        from dask.distributed import as_completed

        self._client = client
        self._tags = {}
        self._running = as_completed()

    def add(self, tag, function, *args):
        name = getattr(function, "__name__", "task")
        future = self._client.submit(
            function, *args, pure=False, key=f"velmora-{name}-{uuid.uuid4().hex[:12]}"
        )
        self._tags[future.key] = tag
        self._running.add(future)

    def __iter__(self):
        from dask.distributed import KilledWorker

        for future in self._running:
            tag = self._tags.pop(future.key)
            if future.status == "error":
                error = future.exception()
                outcome = WorkerLost(str(error)) if isinstance(error, KilledWorker) else error
            elif future.status == "cancelled":
                outcome = RuntimeError("the task was cancelled")
            else:
                outcome = future.result()
            future.release()
            yield tag, outcome

    def cancel(self):
        futures = list(self._running.futures)
        self._running.clear()
        if futures:
            self._client.cancel(futures)


class OnDask:
    shuffle_method = "p2p"
    multiprocess = True

    def __init__(self, client):
        self.client = client

    @property
    def description(self) -> str:
        count = len(self.client.nthreads())
        return f"Dask at {self.client.scheduler.address} with {count} worker{'s' if count != 1 else ''}"

    @property
    def slots(self) -> int:
        return max(1, sum(self.client.nthreads().values()))

    def compute(self, collection):
        future = self.client.compute(collection)
        try:
            return future.result()
        finally:
            future.cancel()

    def tasks(self) -> Tasks:
        return _ClientTasks(self.client)

    def settle(self, run: str, seconds: float) -> bool:
        """Waits until no worker runs a task of `run` (Dask forgets a cancelled
        task at once, but its worker runs it to the end); False if some still
        did after `seconds`. A worker that does not answer counts as idle: its
        tasks are fenced off from the output all the same."""
        from .claim import tasks_in_flight

        deadline = time.monotonic() + seconds
        while True:
            try:
                counts = self.client.run(tasks_in_flight, run, on_error="return")
            except Exception:  # the scheduler is gone: nothing more can be told
                return False
            if not any(isinstance(n, int) and n > 0 for n in counts.values()):
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(SETTLE_POLL_SECONDS)


@contextlib.contextmanager
def open_engine(
    client=None,
    scheduler: str | None = None,
    workers: int | None = None,
    wait_workers: float = 60.0,
    dashboard: bool = False,
    say: Callable[[str], None] = print,
    small: bool = False,
):
    """Yields the engine and closes what it opened. `small`: the input is
    small enough that this process alone runs it sooner than a cluster
    starts, unless workers, a scheduler or a client were given."""
    if client is not None:
        _wait_for_workers(client, client.scheduler.address, wait_workers, say)
        yield OnDask(client)
        return
    if scheduler is None and workers == 0:
        yield InProcess()
        return
    if scheduler is None and workers is None and small:
        yield InProcess("this process (no Dask: a small input)")
        return
    from dask.distributed import Client

    if scheduler is not None:
        try:
            remote = Client(scheduler, timeout=CONNECT_TIMEOUT)
        except OSError as exc:
            raise FleetEngineError(
                f"cannot reach the Dask scheduler at {scheduler}: {_first_line(exc)}"
            ) from None
        with remote:
            _wait_for_workers(remote, scheduler, wait_workers, say)
            yield OnDask(remote)
        return
    with local_cluster(workers or cores(), dashboard=dashboard) as cluster, Client(cluster) as local:
        if dashboard:
            say(f"dashboard: {cluster.dashboard_link}")
        yield OnDask(local)


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _wait_for_workers(client, address: str, seconds: float, say) -> None:
    if client.scheduler_info().get("workers"):
        return
    say(f"waiting up to {seconds:g} s for a worker to join the cluster at {address}")
    try:
        client.wait_for_workers(1, timeout=seconds)
    except TimeoutError:
        raise FleetEngineError(f"no worker joined the cluster at {address} within {seconds:g} s") from None


def local_cluster(workers: int | None = None, dashboard: bool = False, **keywords):
    """The embedded engine: a LocalCluster on the loopback interface with one
    single-threaded worker process per core (the module holds the interpreter
    lock for the whole of every call, so threads in a worker would not help)."""
    import dask
    from dask.distributed import LocalCluster

    # The workers' sampling profiler costs about one per cent of a core each,
    # for a dashboard that the embedded cluster does not serve by default.
    # Its logs stay silent: what a run meets (a dead worker, a failed task)
    # comes back through the tasks and is reported by the pipeline itself.
    # Dask also starts workers with MALLOC_TRIM_THRESHOLD_ set, which turns off
    # glibc's adaptive mmap threshold: every large vector of a solve is then
    # mapped and unmapped afresh, about 15 % more processor time per track.
    # A worker over 80 % of its memory limit would pause until memory is
    # released, but memory pandas and the solver hand back stays with the
    # process (unmanaged), so a paused worker of a small limit waits forever:
    # it does not pause, and the nanny still restarts it at 95 %, after which
    # its task runs elsewhere. The scheduler's HTTP endpoint takes a free port
    # when the dashboard is off, instead of trying 8787 and warning.
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", default={}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    settings = {
        "distributed.worker.profile.enabled": dashboard,
        "distributed.nanny.pre-spawn-environ": environ,
        "distributed.scheduler.allowed-failures": ALLOWED_FAILURES,
        "distributed.worker.memory.pause": False,
    }
    with dask.config.set(settings), _workers_ignore_interrupts():
        return LocalCluster(
            n_workers=workers or cores(),
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0" if dashboard else None,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            silence_logs=logging.CRITICAL,
            **keywords,
        )


@contextlib.contextmanager
def _workers_ignore_interrupts():
    """Ctrl-C reaches every process of the terminal's group, the workers too;
    a worker process started while SIGINT is ignored keeps ignoring it, so the
    driver alone decides how the run ends (and no worker prints a traceback)."""
    if sys.platform == "win32" or not _in_main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _in_main_thread() -> bool:
    import threading

    return threading.current_thread() is threading.main_thread()


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1
