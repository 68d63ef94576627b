"""One run at a time in an output folder, on any storage, and no part
written by a task of a run that has stopped.

A run claims the folder by creating the claim file where none exists
(O_EXCL locally, a conditional put on object storage: see storage.py), reads
it back, renews it every few seconds while it runs, and checks it again
before it commits. A claim not renewed for LEASE_SECONDS (or whose process
is gone, on the same machine) is stale and another run may take it over.

Every task checks the claim (its Fence) before it starts, between tracks at
most every FENCE_CHECK_SECONDS, and before it renames its parts into place:
a run that stops first marks its claim "stopping", so that tasks still
running on a cluster's workers, which Dask cannot stop mid-call, write
nothing more; the driver then waits for them to end before it cleans up.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import socket
import threading
import time as clock
import uuid
from dataclasses import dataclass

from .destination import Destination

CLAIM = "_velmora_claim.json"
RENEW_SECONDS = 10.0
LEASE_SECONDS = 60.0
FENCE_CHECK_SECONDS = 2.0


class FolderBusy(ValueError):
    """Another run is writing into the output folder."""


class Fenced(RuntimeError):
    """This task's run has stopped, or another run took the folder over."""


@dataclass(frozen=True)
class Fence:
    """What a task checks before writing: the claim still names its run."""

    destination: Destination
    run: str

    def check(self) -> None:
        claim = _read(self.destination)
        if claim is None or claim.get("run") != self.run or claim.get("stopping"):
            raise Fenced(f"run {self.run} no longer holds {self.destination.path}")


class FolderClaim:
    def __init__(self, destination: Destination, url: str, run: str):
        self.destination, self.url, self.run = destination, url, run
        self.body = {
            "run": run,
            "host": socket.gethostname(),
            "pid": os.getpid(),
            "started": _now(),
        }
        self.lost = ""  # why the claim is no longer this run's, once it is not
        self._stop = threading.Event()
        self._renewer: threading.Thread | None = None
        self._created_folder = False

    @property
    def fence(self) -> Fence:
        return Fence(self.destination, self.run)

    def acquire(self) -> None:
        """Claims the folder, or raises FolderBusy naming the run that holds it."""
        from .storage import create_exclusive

        d = self.destination
        self._created_folder = _is_local(d.fs) and not d.fs.exists(d.path)
        path = d.join(CLAIM)
        for _ in range(3):
            if create_exclusive(d.fs, path, self._encoded()):
                held = _read(d)
                if held is not None and held.get("run") == self.run:
                    self._renewer = threading.Thread(target=self._renew, daemon=True, name="velmora-claim")
                    self._renewer.start()
                    return
            held = _read(d)
            if held is None:
                continue  # released meanwhile: try again
            if held.get("run") != self.run and not _stale(held):
                raise FolderBusy(
                    f"{self.url} is being written by another run (run {held.get('run', '?')[:8]} on "
                    f"{held.get('host', '?')}, pid {held.get('pid', '?')}, since {held.get('started', '?')}); "
                    f"its claim lapses {LEASE_SECONDS:g} s after that run stops"
                )
            if _read(d) == held:  # stale (or our own unconfirmed write): remove and try again
                d.remove(CLAIM)
        raise FolderBusy(f"{self.url}: could not claim the folder: other runs keep claiming it")

    def keep_folder(self) -> None:
        """The run began: its folder stays, even emptied, when the claim goes."""
        self._created_folder = False

    def stopping(self) -> None:
        """Keeps the folder claimed but tells this run's tasks to write nothing more."""
        self._stop.set()
        if self._renewer is not None:
            self._renewer.join()
        if not self.lost:
            self._write(dict(self.body, stopping=True, renewed=_now()))

    def check(self) -> None:
        """Raises FolderBusy if the claim is no longer this run's."""
        held = _read(self.destination)
        if held is None or held.get("run") != self.run:
            self.lost = self.lost or "another run took the folder over"
        if self.lost:
            raise FolderBusy(f"{self.url}: {self.lost}; this run stopped without committing")

    def release(self) -> None:
        self._stop.set()
        if self._renewer is not None:
            self._renewer.join()
        d = self.destination
        with contextlib.suppress(Exception):
            held = _read(d)
            if held is not None and held.get("run") == self.run:
                d.remove(CLAIM)
            if self._created_folder and not d.fs.ls(d.path):
                d.fs.rmdir(d.path)

    def _renew(self) -> None:
        while not self._stop.wait(RENEW_SECONDS):
            try:
                held = _read(self.destination)
                if held is None or held.get("run") != self.run:
                    self.lost = "another run took the folder over"
                    return
                self._write(dict(self.body, renewed=_now()))
            except Exception:  # storage out of reach for a while: the next renewal tries again
                continue

    def _encoded(self) -> bytes:
        return json.dumps(dict(self.body, renewed=_now())).encode()

    def _write(self, body: dict) -> None:
        # whole or not at all (a temporary renamed into place): a task reading
        # the claim meanwhile never sees half of it
        self.destination.write_json(CLAIM, body)


# Tasks of each run now executing in this process: the driver waits for a
# stopped run's count to reach zero on every worker before it cleans up.
_in_flight: dict[str, int] = {}
_lock = threading.Lock()


@contextlib.contextmanager
def in_flight(run: str):
    with _lock:
        _in_flight[run] = _in_flight.get(run, 0) + 1
    try:
        yield
    finally:
        with _lock:
            _in_flight[run] -= 1
            if not _in_flight[run]:
                del _in_flight[run]


def tasks_in_flight(run: str) -> int:
    return _in_flight.get(run, 0)


class FenceTimer:
    """Checks a fence at most every FENCE_CHECK_SECONDS (a round trip to
    storage each time), so that a long task stops soon after its run does."""

    def __init__(self, fence: Fence | None):
        self.fence, self._checked = fence, clock.monotonic()

    def tick(self) -> None:
        if self.fence is not None and clock.monotonic() - self._checked >= FENCE_CHECK_SECONDS:
            self.fence.check()
            self._checked = clock.monotonic()


def new_run_id() -> str:
    return uuid.uuid4().hex


def _read(destination: Destination, attempts: int = 3) -> dict | None:
    for attempt in range(attempts):
        try:
            with destination.fs.open(destination.join(CLAIM), "rb") as fh:
                return json.loads(fh.read() or b"null")
        except FileNotFoundError:
            return None
        except ValueError:  # caught mid-write on a store without atomic puts: read again
            clock.sleep(0.05 * (attempt + 1))
    return {"run": "?", "renewed": _now()}  # unreadable: held by someone, not by this run


def _stale(held: dict) -> bool:
    if held.get("host") == socket.gethostname() and isinstance(held.get("pid"), int):
        try:
            os.kill(held["pid"], 0)
        except ProcessLookupError:
            return True
        except PermissionError:
            pass
    try:
        renewed = datetime.datetime.fromisoformat(held["renewed"])
    except (KeyError, TypeError, ValueError):
        return False
    age = datetime.datetime.now(datetime.timezone.utc) - renewed
    return age.total_seconds() > LEASE_SECONDS


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")


def _is_local(fs) -> bool:
    protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
    return protocol in ("file", "local")
