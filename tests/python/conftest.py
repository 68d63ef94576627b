import math
import os

import pytest
from hypothesis import settings

import velmora

# Example budgets of the property tests. "gate" sizes the full gate for a
# 2-core machine; "sanitized" is for the ASan run, many times slower per call,
# which hunts memory errors rather than new inputs; "deep" is a long search.
# VELMORA_HYPOTHESIS_PROFILE picks one; VELMORA_HYPOTHESIS_EXAMPLES sets a count.
settings.register_profile("gate", max_examples=100)
settings.register_profile("sanitized", max_examples=25)
settings.register_profile("deep", max_examples=2000)
profile = os.environ.get(
    "VELMORA_HYPOTHESIS_PROFILE", "sanitized" if os.environ.get("VELMORA_SANITIZED") else "gate"
)
if os.environ.get("VELMORA_HYPOTHESIS_EXAMPLES"):
    settings.register_profile(
        "chosen", settings.get_profile(profile), max_examples=int(os.environ["VELMORA_HYPOTHESIS_EXAMPLES"])
    )
    profile = "chosen"
settings.load_profile(profile)


def same_floats(a, b):
    """Element-wise equality where NaN equals NaN."""
    return len(a) == len(b) and all((math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b))


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
