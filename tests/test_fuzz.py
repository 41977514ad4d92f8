"""Property-based fuzzing of every class: random operations with random
arguments, random clocks and random pickled states.  Whatever happens, the
result is a Python exception or a value, never a crash or a SystemError, and
the object's state stays well-formed.

Bounded for CI; HYPOTHESIS_PROFILE=long runs many more examples."""

import math
import os
import pickle
import struct

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from conftest import CHECKSUMS, MEMBERS, Clock, lerp, state  # noqa: E402
from Quillmoor.utils import flag, glidecell, mean, timers  # noqa: E402

# Odd("intsub") makes __int__ return a bool on purpose.
# The interpreter words its warning differently from one version to the next.
pytestmark = pytest.mark.filterwarnings(r"ignore:(__int__ returned non-int|.*__int__\(\) must return an int):DeprecationWarning")

settings.register_profile(
    "ci", max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "long", max_examples=20000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE") or "ci")


# ---- hostile values ----------------------------------------------------------------


class Boom(Exception):
    pass


class Odd:
    """An object whose number and truth hooks raise or return odd types."""

    def __init__(self, mode):
        self.mode = mode

    def _hook(self, good):
        if self.mode == "raise":
            raise Boom(self.mode)
        if self.mode == "wrong":
            return "not a number"
        if self.mode == "intsub":
            return True
        return good

    def __float__(self):
        return self._hook(2.5)

    def __int__(self):
        return self._hook(3)

    def __index__(self):
        return self._hook(4)

    def __bool__(self):
        r = self._hook(True)
        if not isinstance(r, bool):
            raise TypeError("odd truth")
        return r

    def __repr__(self):
        return f"Odd({self.mode!r})"


class IntSub(int):
    pass


class FloatSub(float):
    pass


values = st.deferred(
    lambda: st.one_of(
        st.integers(),
        st.integers(min_value=-(2**31), max_value=2**31 - 1),
        st.floats(allow_nan=True, allow_infinity=True),
        st.floats(width=32),
        st.none(),
        st.booleans(),
        st.text(max_size=3),
        st.complex_numbers(allow_nan=True),
        st.sampled_from(["raise", "wrong", "intsub", "ok"]).map(Odd),
        st.integers().map(IntSub),
        st.floats().map(FloatSub),
        st.lists(values, max_size=4).map(tuple),
        st.lists(values, max_size=4),
        st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    )
)

# Expected failures are ordinary exceptions; SystemError means an
# interpreter-level contract was broken and is never acceptable.
EXPECTED = (
    TypeError, ValueError, OverflowError, ZeroDivisionError, IndexError, KeyError, AttributeError,
    NameError, Boom, pickle.PickleError, DeprecationWarning, RuntimeError, NotImplementedError,
)


def attempt(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except SystemError:
        raise
    except EXPECTED:
        return None


def is_f32(x):
    if type(x) is not float:
        return False
    if not math.isfinite(x):
        return True
    return struct.unpack("f", struct.pack("f", x))[0] == x


def is_i32(x):
    return type(x) is int and -(2**31) <= x < 2**31


def check_state(obj):
    """Every member is of its declared width and kind."""
    s = state(obj)
    if isinstance(obj, timers.VariableTimer):
        assert is_f32(s["_last_time"]) and is_f32(s["_next_time"])
    elif isinstance(obj, timers.FixedTimer):
        assert is_i32(s["_count"]) and is_f32(s["_interval"]) and is_i32(s["_max_lag"]) and is_f32(s["_start_time"])
    elif isinstance(obj, glidecell._GlideCell):
        assert s["_is_flash"] in (True, False, None)
    elif isinstance(obj, mean.Mean):
        assert is_i32(s["_count"]) and is_f32(s["_sum"])
    else:
        assert is_i32(s["_depth"])
    back = attempt(lambda: pickle.loads(pickle.dumps(obj))) if type(obj).__module__ != __name__ else None
    if back is not None:
        assert type(back) is type(obj)


# ---- operations --------------------------------------------------------------------


OPS = {
    timers.VariableTimer: [
        lambda o, v: o.attempt(), lambda o, v: o.progress, lambda o, v: o.interval, lambda o, v: o.last_time,
        lambda o, v: o.get_progress(), lambda o, v: o.get_interval(), lambda o, v: o.__init__(v),
        lambda o, v: o.__setstate__(v), lambda o, v: o.attempt(v),
    ],
    timers.FixedTimer: [
        lambda o, v: o.attempt(), lambda o, v: o.progress, lambda o, v: o.ideal_ticks, lambda o, v: o.tick,
        lambda o, v: o.get_progress_by_tick(v), lambda o, v: o.get_ideal_ticks(), lambda o, v: o.__init__(v),
        lambda o, v: o.__init__(1.0, v), lambda o, v: o.__setstate__(v),
    ],
    glidecell._GlideCell: [
        lambda o, v: o.get_value(), lambda o, v: o.set_value(v), lambda o, v: o.set_value(v, flash=v),
        lambda o, v: o._set_value(v, v), lambda o, v: o._get_value(v), lambda o, v: o._get_progress(v),
        lambda o, v: o._get_delay(), lambda o, v: o.progress, lambda o, v: o.delay, lambda o, v: o.next_value,
        lambda o, v: o.is_interpolated, lambda o, v: setattr(o, "is_flash", v), lambda o, v: o.__init__(lerp, v),
        lambda o, v: o.__init__(v, 0.5, v, v), lambda o, v: o.__setstate__(v),
    ],
    mean.Mean: [
        lambda o, v: o.add(v), lambda o, v: o.extend(v), lambda o, v: o.__iadd__(v), lambda o, v: o.value,
        lambda o, v: o.get_value(), lambda o, v: len(o), lambda o, v: bool(o), lambda o, v: o.clear(),
        lambda o, v: o.__setstate__(v), lambda o, v: o.total,
    ],
    flag.Flag: [
        lambda o, v: o.__enter__(v), lambda o, v: o.__exit__(v, v, v), lambda o, v: bool(o), lambda o, v: o.value,
        lambda o, v: o.__init__(), lambda o, v: o.__setstate__(v),
    ],
}


def make(cls, subclass):
    if subclass:
        cls = type("Sub" + cls.__name__, (cls,), {})
    obj = cls.__new__(cls)
    if subclass:
        obj.extra = 1
    return obj


@pytest.mark.parametrize("cls", list(OPS))
@given(data=st.data(), subclass=st.booleans())
def test_random_operations(cls, data, subclass):
    obj = make(cls, subclass)
    ops = OPS[cls]
    steps = data.draw(st.lists(st.tuples(st.integers(0, len(ops) - 1), values), max_size=12))
    clock = Clock(data.draw(st.one_of(st.floats(), st.integers(), values)))
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(timers, "perf_counter", clock)
        mp.setattr(glidecell, "time", clock)
        for i, v in steps:
            attempt(ops[i], obj, v)
            check_state(obj)


@pytest.mark.parametrize("cls", list(OPS))
@given(items=st.lists(values, max_size=7), extra=values)
def test_random_pickled_states(cls, items, extra):
    module = __import__(cls.__module__, fromlist=["x"])
    f = getattr(module, "__pyx_unpickle_" + cls.__name__)
    checksum = CHECKSUMS[cls][0]
    obj = attempt(f, cls, checksum, tuple(items))
    if obj is not None:
        assert len(items) >= len(MEMBERS[cls])
        check_state(obj)
    attempt(f, cls, extra, tuple(items))
    attempt(f, extra, checksum, None)
    attempt(f, cls, checksum, extra)
