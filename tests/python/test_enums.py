import pytest

from velmora import ElasticBandMethod, InterpolationMethod, ResamplingMethod

NAN = float("nan")
ByNumberPoints = ResamplingMethod.ByNumberPoints
BySamplingDistance = ResamplingMethod.BySamplingDistance


def test_variant_classes():
    m = ResamplingMethod.by_number_points(3)
    assert type(m) is ByNumberPoints and isinstance(m, ResamplingMethod)
    assert ByNumberPoints.__name__ == "ResamplingMethod_ByNumberPoints"
    assert BySamplingDistance.__name__ == "ResamplingMethod_BySamplingDistance"
    assert m.number_points == 3
    d = ResamplingMethod.by_sampling_distance(0.5)
    assert type(d) is BySamplingDistance and d.sampling_distance == 0.5 and d.drop_last is True
    assert ResamplingMethod.by_sampling_distance(0.5, False).drop_last is False
    assert BySamplingDistance(0.5, drop_last=False).drop_last is False
    assert ByNumberPoints.__match_args__ == ("number_points",)
    assert BySamplingDistance.__match_args__ == ("sampling_distance", "drop_last")


def test_match_statement_binds_fields():
    def describe(method):
        match method:
            case ResamplingMethod.ByNumberPoints(n):
                return ("n", n)
            case ResamplingMethod.BySamplingDistance(d, drop):
                return ("d", d, drop)
        return None

    assert describe(ResamplingMethod.by_number_points(7)) == ("n", 7)
    assert describe(ResamplingMethod.by_sampling_distance(1.5, False)) == ("d", 1.5, False)


def test_variants_are_final_and_immutable():
    with pytest.raises(TypeError):
        type("Sub", (ByNumberPoints,), {})
    m = ByNumberPoints(3)
    with pytest.raises(AttributeError):
        m.number_points = 4
    with pytest.raises(AttributeError):
        m.other = 1


def test_base_class_can_be_derived_but_not_constructed():
    class Custom(ResamplingMethod):
        pass

    with pytest.raises(TypeError, match="^No constructor defined for ResamplingMethod$"):
        ResamplingMethod()
    with pytest.raises(TypeError, match="^No constructor defined for Custom$"):
        Custom()


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (ResamplingMethod.by_number_points(10), ByNumberPoints(10), True),
        (ResamplingMethod.by_number_points(10), ByNumberPoints(11), False),
        (ResamplingMethod.by_number_points(1), ResamplingMethod.by_sampling_distance(1.0), False),
        (BySamplingDistance(0.0, True), BySamplingDistance(-0.0, True), True),
        (BySamplingDistance(1.0, True), BySamplingDistance(1.0, False), False),
        (ResamplingMethod.by_sampling_distance(NAN), ResamplingMethod.by_sampling_distance(NAN), False),
    ],
)
def test_resampling_equality(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is (not equal)
    assert (b == a) is equal


def test_resampling_comparison_with_other_types_and_ordering():
    m = ResamplingMethod.by_number_points(1)
    assert (m == 1) is False and (m != 1) is True
    assert m.__eq__(1) is NotImplemented
    with pytest.raises(TypeError):
        m < ResamplingMethod.by_number_points(2)  # noqa: B015


def test_resampling_accepts_unchecked_values_and_numpy_bool():
    np = pytest.importorskip("numpy")
    assert ResamplingMethod.by_number_points(0).number_points == 0
    assert ResamplingMethod.by_number_points(True).number_points == 1
    assert ResamplingMethod.by_sampling_distance(-2).sampling_distance == -2.0
    assert ResamplingMethod.by_sampling_distance(1.0, np.bool_(False)).drop_last is False


def test_variant_class_signatures_and_docs():
    # The static methods' signatures and docstrings are checked against the stubs in test_path2d.py.
    assert ByNumberPoints.__text_signature__ == "(number_points)"
    assert BySamplingDistance.__text_signature__ == "(sampling_distance, drop_last)"
    for cls in (ResamplingMethod, ByNumberPoints, InterpolationMethod, ElasticBandMethod):
        assert cls.__doc__ is None


@pytest.mark.parametrize(
    "cls, members",
    [(InterpolationMethod, ["Cubic", "Linear"]), (ElasticBandMethod, ["SquareBounds", "OrthogonalBounds"])],
)
def test_plain_enumerations(cls, members):
    for value, name in enumerate(members):
        member = getattr(cls, name)
        assert member is getattr(cls, name)
        assert type(member) is cls
        assert int(member) == value
        assert repr(member) == str(member) == f"{cls.__name__}.{name}"
        assert member == value and member != 1 - value
        assert member == getattr(cls, name) and member != getattr(cls, members[1 - value])
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_enumeration_comparisons():
    class Index:
        def __index__(self):
            return 1

    assert InterpolationMethod.Linear == 1 and InterpolationMethod.Cubic == 0
    assert InterpolationMethod.Linear == True  # noqa: E712
    assert InterpolationMethod.Linear == Index()
    assert (InterpolationMethod.Linear == 1.0) is False
    assert (InterpolationMethod.Linear == ElasticBandMethod.OrthogonalBounds) is False
    assert (InterpolationMethod.Linear == "Linear") is False
    assert (InterpolationMethod.Cubic == 2**70) is False
    with pytest.raises(TypeError):
        InterpolationMethod.Linear < InterpolationMethod.Cubic  # noqa: B015


class IndexRaising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), ValueError("no index")])
def test_enumeration_comparison_lets_interrupts_through(error):
    # a failed index conversion means "not comparable"; an interrupt is no failure
    if isinstance(error, Exception):
        assert (InterpolationMethod.Linear == IndexRaising(error)) is False
    else:
        with pytest.raises(type(error)):
            InterpolationMethod.Linear == IndexRaising(error)  # noqa: B015


@pytest.mark.parametrize(
    "obj",
    [
        InterpolationMethod.Linear,
        ElasticBandMethod.SquareBounds,
        ResamplingMethod.by_number_points(1),
        ResamplingMethod.by_sampling_distance(1.0),
    ],
)
def test_unhashable(obj):
    with pytest.raises(TypeError):
        hash(obj)
    with pytest.raises(TypeError):
        {obj}


@pytest.mark.parametrize(
    "obj, other",
    [
        (ResamplingMethod.by_number_points(3), BySamplingDistance),
        (ResamplingMethod.by_sampling_distance(1.0), ByNumberPoints),
        (InterpolationMethod.Linear, ElasticBandMethod),
    ],
)
def test_class_of_a_value_cannot_be_swapped(obj, other):
    # sibling classes share one layout: a swap would reinterpret the stored value
    before = repr(obj)
    with pytest.raises(TypeError):
        obj.__class__ = other
    assert repr(obj) == before
