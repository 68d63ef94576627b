"""The module's internal-error exception class, which the module does not publish.

Shared by the Python suite and the fuzz target (no pytest import here)."""

from velmora import Path2D


def panic_type():
    """The PanicException class, taken from an operation that raises it."""
    try:
        Path2D(points=[]).smoothed_path_elastic_band(1.0)
    except BaseException as error:  # noqa: BLE001 - the class itself is wanted
        return type(error)
    raise AssertionError("an elastic band on an empty path must raise")
