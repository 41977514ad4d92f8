"""The conversions every method shares: 32-bit integers and single precision."""

import math
import warnings

import pytest

from Quillmoor.utils.timers import FixedTimer


# ---- conversions ------------------------------------------------------------------


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class StrictInt(int):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [(2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (True, 1), (2.9, 2), (-2.9, -2), (IntLike(7), 7), (StrictInt(5), 5)],
)
def test_int32_conversion_accepts(value, expected):
    t = FixedTimer.__new__(FixedTimer)
    t.__setstate__((value, 1.0, 0, 0.0))
    assert t.tick == expected


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (10**40, OverflowError, None),
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
        (float("nan"), ValueError, None),
        (float("inf"), OverflowError, None),
    ],
)
def test_int32_conversion_refuses(value, error, message):
    t = FixedTimer.__new__(FixedTimer)
    with pytest.raises(error) as info:
        t.__setstate__((value, 1.0, 0, 0.0))
    if message:
        assert str(info.value) == message
    assert t.tick == 0


def test_int_subclass_from_dunder_int_is_deprecated_but_used():
    t = FixedTimer.__new__(FixedTimer)
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type bool\)\.  The ability"):
        t.__setstate__((IntLike(True), 1.0, 0, 0.0))
    assert t.tick == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            t.__setstate__((IntLike(False), 1.0, 0, 0.0))
    assert t.tick == 1


FLT_MAX = 3.4028234663852886e38
HALF_WAY = FLT_MAX + 2.0**103


@pytest.mark.parametrize(
    "value, expected",
    [(0.1, 0.10000000149011612), (-1.0, -1.0), (3, 3.0), (1e39, float("inf")), (-1e39, float("-inf")),
     # just below half-way between the largest float and 2**128 rounds down; half-way ties to even (inf)
     (math.nextafter(HALF_WAY, 0), FLT_MAX), (HALF_WAY, float("inf")), (-HALF_WAY, float("-inf"))],
)
def test_single_precision_rounding(value, expected):
    t = FixedTimer.__new__(FixedTimer)
    t.__setstate__((0, value, 0, 0.0))
    assert t.interval == expected
