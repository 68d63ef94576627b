import math

import pytest

import velmora


def same_floats(a, b):
    """Element-wise equality where NaN equals NaN."""
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b)
    )


def raises_internal(message, call):
    """call() raises the module's internal-error exception with this message."""
    with pytest.raises(BaseException) as info:
        call()
    error = info.value
    assert type(error).__name__ == "PanicException" and type(error).__module__ == "pyo3_runtime"
    assert not isinstance(error, Exception)
    assert error.args == (message,)


@pytest.fixture
def line3():
    return velmora.Path2D(points=[[0, 0], [1, 0], [2, 0]])
