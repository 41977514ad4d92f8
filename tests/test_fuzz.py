"""Property-based fuzzing of every class: random operations with random
arguments, random clocks and random pickled states.  Whatever happens, the
result is a Python exception or a value, never a crash or a SystemError, and
the object's state stays well-formed.

Bounded for CI; HYPOTHESIS_PROFILE=long runs many more examples."""

import inspect
import math
import os
import pickle
import struct

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from support import CHECKSUMS, CLASSES, ENTRY, MEMBERS, Clock, lerp, state  # noqa: E402
from Quillmoor.utils import glidecell, timers  # noqa: E402

# Odd("intsub") makes __int__ return a bool on purpose.
# The interpreter words its warning differently from one version to the next.
pytestmark = pytest.mark.filterwarnings(r"ignore:(__int__ returned non-int|.*__int__\(\) must return an int):DeprecationWarning")

settings.register_profile(
    "ci", max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
# Under a processor's emulator (./dev dist's emulated wheels) the operations
# are the same code as natively, and a tenth of the examples keeps the run
# inside CI's time.
settings.register_profile(
    "emulated", max_examples=15, deadline=None, suppress_health_check=[HealthCheck.too_slow]
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
        st.just(lerp),
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
    entry = next(ENTRY[c] for c in type(obj).__mro__ if c in ENTRY)
    s = state(obj)
    for name, kind in entry.members.items():
        if kind == "i32":
            assert is_i32(s[name]), (name, s[name])
        elif kind == "f32":
            assert is_f32(s[name]), (name, s[name])
        elif kind == "bool":
            assert s[name] in (True, False, None), (name, s[name])
    back = attempt(lambda: pickle.loads(pickle.dumps(obj))) if type(obj).__module__ != __name__ else None
    if back is not None:
        assert type(back) is type(obj)


# ---- operations, found on the classes themselves --------------------------------------


def operations(cls):
    """(name, parameters) for every method of the class, None for its properties."""
    ops = []
    for name, attr in vars(cls).items():
        if name in ("__new__", "__doc__", "__pyx_vtable__"):
            continue
        if type(attr).__name__ == "getset_descriptor":
            ops.append((name, None))
        else:
            sig = inspect.signature(cls if name == "__init__" else attr)
            ops.append((name, [p for p in sig.parameters.values() if p.name != "self"]))
    return ops


OPS = {e.cls: operations(e.cls) for e in CLASSES}


def run_drawn(data, obj, name, params):
    """One operation with drawn arguments: a property read or written, or a
    call with any count of positional arguments and some keywords."""
    if params is None:
        if data.draw(st.booleans()):
            return getattr(obj, name)
        return setattr(obj, name, data.draw(values))
    named = [p.name for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    variadic = any(p.kind is p.VAR_POSITIONAL for p in params)
    n = data.draw(st.integers(0, len(named) + (3 if variadic else 1)))
    args = [data.draw(values) for _ in range(n)]
    kwargs = {k: data.draw(values) for k in named[n:] if data.draw(st.booleans())}
    if any(p.kind is p.VAR_KEYWORD for p in params):
        kwargs.update(data.draw(st.dictionaries(st.sampled_from(["flash", "x"]), values, max_size=2)))
    return getattr(obj, name)(*args, **kwargs)


def make(data, cls, subclass):
    if subclass:
        sub = type("Sub" + cls.__name__, (cls,), {})
        obj = sub.__new__(sub)
        obj.extra = 1
        return obj
    return data.draw(st.sampled_from([lambda: cls.__new__(cls), ENTRY[cls].sample]))()


@pytest.mark.parametrize("cls", list(OPS))
@given(data=st.data(), subclass=st.booleans())
def test_random_operations(cls, data, subclass):
    obj = make(data, cls, subclass)
    clock = Clock(data.draw(st.one_of(st.floats(), st.integers(), values)))
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(timers, "perf_counter", clock)
        mp.setattr(glidecell, "time", clock)
        ops = OPS[cls]
        for _ in range(data.draw(st.integers(0, 12))):
            name, params = ops[data.draw(st.integers(0, len(ops) - 1))]
            attempt(run_drawn, data, obj, name, params)
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
