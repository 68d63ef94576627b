import numpy as np
import pytest

from velmora import Path2D


def test_attach_and_read_back(line3):
    assert line3.add_associated_values([1.0, 2.0, 3.0]) == 0
    assert line3.add_associated_values((4, 5, 6)) == 1
    assert line3.associated_values(1) == [4.0, 5.0, 6.0]
    assert line3.associated_values(2) is None
    assert line3.associated_value_np(2) is None
    arr = line3.associated_value_np(0)
    assert arr.dtype == np.float64 and arr.shape == (3,) and arr.tolist() == [1.0, 2.0, 3.0]
    assert arr.flags.c_contiguous and arr.flags.writeable and arr.flags.owndata


def test_length_mismatch_attaches_nothing(line3):
    before = repr(line3)
    with pytest.raises(TypeError) as info:
        line3.add_associated_values([1.0, 2.0])
    assert str(info.value) == "The associated value has length 2, although 3 was expected"
    assert repr(line3) == before
    assert line3.add_associated_values([1, 2, 3]) == 0


def test_handle_conversion(line3):
    line3.add_associated_values([1, 2, 3])
    with pytest.raises(OverflowError):
        line3.associated_values(-1)
    with pytest.raises(OverflowError):
        line3.associated_value_np(-1)
    with pytest.raises(
        TypeError, match="^argument 'handle': 'float' object cannot be interpreted as an integer$"
    ):
        line3.associated_values(0.0)
    assert line3.associated_values(True) is None
    assert line3.associated_values(2**64 - 1) is None


def test_returned_copies_do_not_reach_the_path(line3):
    line3.add_associated_values([1, 2, 3])
    values = line3.associated_values(0)
    values[0] = 100.0
    arr = line3.associated_value_np(0)
    arr[:] = -1
    assert line3.associated_values(0) == [1.0, 2.0, 3.0]


def test_stored_values_do_not_follow_the_argument(line3):
    source = np.array([1.0, 2.0, 3.0])
    line3.add_associated_values(source)
    source[:] = 0
    assert line3.associated_values(0) == [1.0, 2.0, 3.0]


def test_empty_path_takes_an_empty_column():
    p = Path2D(points=[])
    assert p.add_associated_values([]) == 0
    assert p.associated_values(0) == []
    assert p.associated_value_np(0).shape == (0,)


def test_buffer_fast_path_matches_generic(line3):
    values = np.array([np.nan, -0.0, 1e308])
    line3.add_associated_values(values)
    line3.add_associated_values(values.tolist())
    small = np.array([0.1, -0.0, 2.5], dtype=np.float32)  # not float64: generic path
    line3.add_associated_values(small)
    assert repr(line3.associated_values(0)) == repr(line3.associated_values(1))
    assert line3.associated_values(2) == [float(v) for v in small]
    with pytest.raises(TypeError):
        line3.add_associated_values(np.zeros((3, 2)))
