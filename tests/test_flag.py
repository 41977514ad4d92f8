import copy
import pickle

import pytest

from support import CHECKSUMS, state
from Quillmoor.utils import flag as flag_module
from Quillmoor.utils.flag import Flag

unpickle = flag_module.__pyx_unpickle_Flag


def depth(f):
    return state(f)["_depth"]


class Attrs(Flag):
    pass


def test_nesting_and_exceptions():
    f = Flag()
    assert not f and f.value is False
    with f as bound:
        assert bound is None and f and f.value is True
        with f:
            assert depth(f) == 2
        assert f
    assert not f
    with pytest.raises(KeyError):
        with f:
            raise KeyError
    assert depth(f) == 0


def test_unmatched_exits_leave_a_debt():
    f = Flag()
    assert f.__exit__(None, None, None) is None
    assert depth(f) == -1 and not f and f.value is False
    f.__enter__(1, 2, k=3)
    assert not f
    f.__enter__()
    assert f
    with f:
        f.__init__()
    assert depth(f) == -1


@pytest.mark.parametrize(
    "start, step, expected",
    [(2**31 - 1, "__enter__", -(2**31)), (-(2**31), "__exit__", 2**31 - 1)],
)
def test_depth_wraps_at_32_bit_limits(start, step, expected):
    f = unpickle(Flag, CHECKSUMS[Flag][0], (start,))
    getattr(f, step)()
    assert depth(f) == expected and bool(f) is (expected > 0)


@pytest.mark.parametrize(
    "value, truth",
    [(0, False), (3, True), (-1, True), (0.5, False), (-2.9, True), (True, True)],
)
def test_truth_of_subclass_value_by_integer_conversion(value, truth):
    class Custom(Flag):
        pass

    Custom.value = value
    assert bool(Custom()) is truth


@pytest.mark.parametrize(
    "value, error, message",
    [("x", TypeError, "an integer is required"), (2**31, OverflowError, None), (None, TypeError, None)],
)
def test_truth_errors_propagate(value, error, message):
    class Custom(Flag):
        pass

    Custom.value = value
    with pytest.raises(error) as info:
        bool(Custom())
    if message:
        assert str(info.value) == message


def test_enter_refuses_another_instance():
    with pytest.raises(TypeError):
        Flag.__enter__(object())


def test_subclass_round_trip_keeps_negative_depth_and_dict():
    a = Attrs()
    a.__exit__()
    a.x = 1
    for back in (copy.deepcopy(a), pickle.loads(pickle.dumps(a))):
        assert type(back) is Attrs and depth(back) == -1 and back.x == 1 and not back


@pytest.mark.parametrize(
    "state, error, after",
    [
        ((5, None), None, 5),
        ((2.9,), None, 2),  # truncated by the integer conversion
        ((-(2**31),), None, -(2**31)),
        ((2**31,), OverflowError, 1),
        (("3",), TypeError, 1),
        ((5, {"a": 1}), AttributeError, 5),  # set before the dict step fails
    ],
)
def test_setstate(state, error, after):
    f = Flag()
    f.__enter__()
    if error:
        with pytest.raises(error):
            f.__setstate__(state)
    else:
        assert f.__setstate__(state) is None
    assert depth(f) == after
