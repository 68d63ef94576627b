"""Storage as the pipeline meets it on any filesystem fsspec reaches: telling
a failure of the storage itself (no credentials, access denied, an endpoint
that does not answer) from input that cannot be used, naming the machine
that met it, and creating a file only where none exists.
"""

from __future__ import annotations

import asyncio
import errno
import os
import socket
import sys

# OSError numbers that say the storage or the network failed, not the data.
_STORAGE_ERRNOS = {
    errno.EACCES,
    errno.EPERM,
    errno.EIO,
    errno.ENOSPC,
    errno.EROFS,
    errno.ESTALE,
    errno.ENETDOWN,
    errno.ENETUNREACH,
    errno.ENETRESET,
    errno.ECONNABORTED,
    errno.ECONNRESET,
    errno.ECONNREFUSED,
    errno.ETIMEDOUT,
    errno.EHOSTDOWN,
    errno.EHOSTUNREACH,
}
# Packages whose own errors are about reaching storage (clients of object
# stores, HTTP), never about what a file holds.
_STORAGE_PACKAGES = (
    "botocore",
    "aiobotocore",
    "boto3",
    "s3fs",
    "gcsfs",
    "adlfs",
    "google",
    "azure",
    "aiohttp",
    "requests",
    "urllib3",
    "ssl",
)


class FleetStorageError(RuntimeError):
    """Storage could not be reached, or refused access: the input may be
    perfectly good, so a run that meets this keeps what it finished."""


def is_storage_failure(exc: BaseException) -> bool:
    """True when the exception, or one it was raised from, is a failure to
    reach or use storage rather than a problem with the data read."""
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        if isinstance(exc, FleetStorageError):
            return True
        if isinstance(exc, (PermissionError, FileNotFoundError, ConnectionError, TimeoutError)):
            return True
        if isinstance(exc, (asyncio.TimeoutError, socket.gaierror)):
            return True
        if isinstance(exc, OSError) and exc.errno in _STORAGE_ERRNOS:
            return True
        if type(exc).__module__.split(".")[0] in _STORAGE_PACKAGES:
            return True
        exc = exc.__cause__ or exc.__context__
    return False


def where() -> str:
    """This process as a message names it: its Dask worker's address, or the driver."""
    distributed = sys.modules.get("distributed")  # never imported here: a worker has it already
    try:
        if distributed is not None:
            return f"worker {distributed.get_worker().address} ({socket.gethostname()})"
    except ValueError:
        pass
    return f"the driver ({socket.gethostname()})"


def first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def read_failure(url: str, kind: str, exc: BaseException) -> Exception:
    """The error for a file that could not be read: a storage failure, naming
    where it happened, or else unusable input ("cannot read as CSV")."""
    from .records import FleetInputError

    if is_storage_failure(exc):
        return FleetStorageError(f"{url}: cannot read from storage on {where()}: {first_line(exc)}")
    return FleetInputError(f"{url}: cannot read as {kind}: {first_line(exc)}")


def storage_failure(what: str, exc: BaseException) -> FleetStorageError:
    if isinstance(exc, FleetStorageError):
        return exc
    return FleetStorageError(f"{what} on {where()}: {first_line(exc)}")


def create_exclusive(fs, path: str, data: bytes) -> bool:
    """Writes `data` to `path` only if nothing is there; False if something
    is. Atomic where the storage offers it: O_EXCL on a local (or NFS)
    filesystem, a conditional put (If-None-Match) on object stores whose
    fsspec driver has mode="create". Elsewhere a check then a write, which two
    writers at the same instant can both pass: callers read the file back."""
    if _is_local(fs):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        try:
            descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        except FileExistsError:
            return False
        with os.fdopen(descriptor, "wb") as fh:
            fh.write(data)
        return True
    try:
        fs.pipe_file(path, data, mode="create")
        return True
    except FileExistsError:
        return False
    except TypeError:  # a driver without the mode: the weaker check-then-write
        if fs.exists(path):
            return False
        fs.pipe_file(path, data)
        return True


def _is_local(fs) -> bool:
    protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
    return protocol in ("file", "local")
