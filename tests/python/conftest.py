import math

import pytest

import velmora


def same_floats(a, b):
    """Element-wise equality where NaN equals NaN."""
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b)
    )


@pytest.fixture
def line3():
    return velmora.Path2D(points=[[0, 0], [1, 0], [2, 0]])
