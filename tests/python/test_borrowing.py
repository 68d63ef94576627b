"""Re-entrant use of a path while one of its calls converts arguments."""

import pytest


class Reentrant:
    """A sequence or number whose conversion calls back into a path."""

    def __init__(self, action, items=(1.0, 2.0, 3.0)):
        self.action = action
        self.items = list(items)
        self.seen = []

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        try:
            self.action()
        except RuntimeError as e:
            self.seen.append(str(e))
        return iter(self.items)

    def __float__(self):
        try:
            self.action()
        except RuntimeError as e:
            self.seen.append(str(e))
        return 0.5

    def __index__(self):
        self.__float__()
        return 0


def test_reading_inside_an_exclusive_call_is_refused(line3):
    arg = Reentrant(lambda: line3.points)
    assert line3.add_associated_values(arg) == 0
    assert arg.seen == ["Already mutably borrowed"]
    assert line3.associated_values(0) == [1.0, 2.0, 3.0]


def test_attaching_inside_a_shared_call_is_refused(line3):
    before = repr(line3)
    arg = Reentrant(lambda: line3.add_associated_values([1.0, 2.0, 3.0]))
    assert line3.path_length_from_point([0.5, 0.0], epsilon=arg) == 0.5
    assert arg.seen == ["Already borrowed"]
    assert repr(line3) == before.replace(
        "path_length_per_point: OnceCell(<uninit>)", "path_length_per_point: OnceCell([0.0, 1.0, 2.0])"
    )


def test_attaching_inside_an_index_conversion_is_refused(line3):
    line3.add_associated_values([1.0, 2.0, 3.0])
    arg = Reentrant(lambda: line3.add_associated_values([4.0, 5.0, 6.0]))
    assert line3.associated_values(arg) == [1.0, 2.0, 3.0]
    assert arg.seen == ["Already borrowed"]
    assert line3.associated_values(1) is None


def test_nested_attach_is_refused_and_outer_attach_succeeds(line3):
    arg = Reentrant(lambda: line3.add_associated_values([0.0, 0.0, 0.0]))
    assert line3.add_associated_values(arg) == 0
    assert arg.seen == ["Already borrowed"]
    assert line3.associated_values(1) is None


def test_shared_reads_nest(line3):
    arg = Reentrant(lambda: line3.index_from_point([1.5, 0.0]))
    assert line3.index_from_point([0.5, 0.0], arg) == 0
    assert arg.seen == []


def test_borrow_is_released_after_an_error(line3):
    def fail():
        raise KeyError("boom")

    class Failing:
        def __float__(self):
            fail()

    with pytest.raises(KeyError):
        line3.path_length_from_point([0.5, 0.0], Failing())
    assert line3.add_associated_values([1, 2, 3]) == 0


def test_unpropagated_error_in_exclusive_conversion_leaves_path_unchanged(line3):
    class Bad:
        def __iter__(self):
            line3.points  # refused while the exclusive borrow is held
            return iter([1.0, 2.0, 3.0])

        def __len__(self):
            return 3

        def __getitem__(self, i):
            return 1.0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        line3.add_associated_values(Bad())
    assert line3.associated_values(0) is None
