"""VariableTimer and FixedTimer against a substituted clock."""

import math
from fractions import Fraction
import pickle
import struct

import pytest

from support import state
from Quillmoor.utils import timers
from Quillmoor.utils.calculated_value import CalculatedValue
from Quillmoor.utils.timers import FixedTimer, VariableTimer

NAN = float("nan")
INF = float("inf")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def next_time(t):
    return state(t)["_next_time"]


# ---- VariableTimer ------------------------------------------------------------


@pytest.fixture(params=[float, int], ids=["float-clock", "int-clock"])
def clock(request, timers_clock):
    """timers_clock, read as floats (the fast path) or, where whole, as ints (the general path)."""
    kind = request.param

    def typed():
        now = timers_clock()
        return kind(now) if kind is float or now == int(now) else now

    timers_clock.now = 0
    timers.perf_counter = typed
    return timers_clock


def test_variable_timer_fires_when_due_and_reschedules_from_the_poll(clock):
    clock.now = 10
    t = VariableTimer(2)
    assert t.last_time == 0.0 and next_time(t) == 12.0
    assert [t.attempt() for clock.now in (10, 11.999)] == [False, False]
    assert t.last_time == f32(11.999) != 11.999
    clock.now = 12
    assert t.attempt() is True and next_time(t) == 14.0
    clock.now = 17  # late: nothing is made up
    assert t.attempt() is True and next_time(t) == 19.0
    assert t.attempt() is False


def test_interval_change_waits_for_the_next_firing(timers_clock):
    seconds = [2.0]
    timers_clock.now = 10.0
    t = VariableTimer(CalculatedValue(lambda: seconds[0]))
    seconds[0] = 5.0
    timers_clock.now = 12.0
    assert t.attempt() is True and next_time(t) == 17.0


@pytest.mark.parametrize(
    "interval, elapsed, expected",
    [(2, 0.25, 0.125), (2, 1.0, 0.5), (2, 8.0, 0.5), (0.25, 0.5, 2.0), (2, -3.0, 0.0), (-1, 0.5, 0.0), (-2, 0, 0.0)],
)
def test_variable_timer_progress(clock, interval, elapsed, expected):
    clock.now = 12
    t = VariableTimer(interval)
    t.attempt()
    clock.now = 12 + elapsed
    assert t.progress == expected and t.get_progress() == expected
    assert math.copysign(1.0, t.progress) == 1.0  # 0 / -2 is -0.0: no progress shows as 0.0


def test_progress_of_a_timer_never_polled_counts_from_zero(timers_clock):
    timers_clock.now = 10.0
    assert VariableTimer(2).progress == 0.5


def test_zero_interval_always_fires_and_has_no_progress(timers_clock):
    timers_clock.now = 1.0
    t = VariableTimer()
    assert state(t)["_interval"] == 0 and type(state(t)["_interval"]) is int
    assert all(t.attempt() for _ in range(3))
    with pytest.raises(ZeroDivisionError):
        t.progress


def test_precision_of_stored_readings(timers_clock):
    timers_clock.now = 1000000.03
    t = VariableTimer(0.1)
    t.attempt()
    assert t.last_time == 1000000.0
    assert t.interval == t.get_interval() == 0.10000000149011612


def test_nan_clock_never_fires(timers_clock):
    timers_clock.now = NAN
    t = VariableTimer(1)
    timers_clock.now = 5.0
    t.__setstate__((1, 0.0, NAN))
    assert t.attempt() is False


def test_variable_timer_overrides_reach_the_class_own_callers(timers_clock):
    class Three(VariableTimer):
        def get_interval(self):
            return 3

    class Seven(VariableTimer):
        def get_progress(self):
            return 7

    timers_clock.now = 10.0
    t = Three(100)
    assert next_time(t) == 13.0 and t.interval == 3.0 and t.get_interval() == 3
    timers_clock.now = 13.0
    assert t.attempt() is True and next_time(t) == 16.0
    assert Seven(1).progress == 7.0
    assert VariableTimer.get_interval(t) == 100.0  # a call from Python runs the built-in


def test_overridden_properties_change_the_computations(timers_clock):
    class Late(VariableTimer):
        last_time = property(lambda self: 9.5)
        interval = property(lambda self: 2)

    timers_clock.now = 10.0
    t = Late(100)
    assert next_time(t) == 12.0 and t.progress == 0.25


def test_bad_gcv_result_fails_after_storing_the_interval(timers_clock):
    t = VariableTimer(5)
    with pytest.raises(TypeError):
        t.__init__("soon")
    assert state(t)["_interval"] == "soon"
    with pytest.raises(TypeError):
        t.interval


def test_failing_clock_changes_nothing(monkeypatch):
    t = VariableTimer(1)
    before = state(t)

    def broken():
        raise RuntimeError("clock")

    monkeypatch.setattr(timers, "perf_counter", broken)
    with pytest.raises(RuntimeError):
        t.attempt()
    assert state(t) == before


def test_reentrant_gcv_that_reinitialises_the_timer(timers_clock):
    t = VariableTimer()

    def resolve():
        t.__init__(0.5)  # drops the object being resolved
        return 1.0

    timers_clock.now = 3.0
    t.__init__(CalculatedValue(resolve))
    assert state(t)["_interval"] == 0.5 and next_time(t) == 4.0


# ---- FixedTimer -----------------------------------------------------------------


def test_fixed_timer_counts_ticks(clock):
    clock.now = 100
    t = FixedTimer(0.5)
    assert (t.tick, t.interval, t.ideal_ticks, t.attempt()) == (0, 0.5, 0.0, False)
    clock.now = 100.25
    assert t.ideal_ticks == 0.5
    assert [t.attempt(), t.attempt()] == [True, False] and t.tick == 1 and t.progress == 0.5
    clock.now = 101.25
    assert [t.attempt(), t.attempt(), t.attempt()] == [True, True, False]
    assert t.tick == 3 and t.progress == 0.5


@pytest.mark.parametrize("max_lag, ticks", [(10, 11), (0, 1), (3, 4)])
def test_stall_is_caught_up_by_at_most_max_lag_plus_one(clock, max_lag, ticks):
    clock.now = 100
    t = FixedTimer(0.5, max_lag)
    clock.now = 150.25  # ideal 100.5
    taken = 0
    while t.attempt():
        taken += 1
    assert taken == ticks and t.tick == 101


def test_stall_to_a_whole_tick_yields_max_lag(timers_clock):
    timers_clock.now = 100.0
    t = FixedTimer(0.5, 10)
    timers_clock.now = 150.0  # ideal exactly 100
    assert sum(iter(t.attempt, False)) == 10 and t.tick == 100


def test_negative_max_lag_skips_ahead_without_undefined_overflow(timers_clock):
    timers_clock.now = 0.0
    t = FixedTimer(1.0, -(2**31))
    timers_clock.now = 0.5
    assert t.attempt() is True
    assert t.tick == (0 + 2**31 + 1) - 2**32  # F - max_lag + 1, wrapped to 32 bits


def test_ideal_count_past_the_32_bit_range_overflows(timers_clock):
    t = FixedTimer.__new__(FixedTimer)
    t.__setstate__((2**31 - 1000, 1.0, 10, 0.0))
    timers_clock.now = 2.0**31
    with pytest.raises(OverflowError):
        t.attempt()  # the floored ideal count does not fit
    assert t.tick == 2**31 - 1000


def test_count_wraps_at_the_32_bit_limit():
    class Exact(FixedTimer):
        ideal_ticks = property(lambda self: Fraction(2**31 - 1) + Fraction(1, 2))

    t = Exact.__new__(Exact)
    t.__setstate__((2**31 - 2, 1.0, 10, 0.0))
    assert t.attempt() is True and t.tick == 2**31 - 1
    assert t.attempt() is True and t.tick == -(2**31)


@pytest.mark.parametrize(
    "tick, expected", [(None, 1.0), (2, 1.0), (3, 0.5), (4, 0.0), (2.9, 1.0), (True, 1.0), (10**30, 0.0)]
)
def test_progress_by_tick(timers_clock, tick, expected):
    timers_clock.now = 100.0
    t = FixedTimer(0.5)
    timers_clock.now = 101.25
    reads = timers_clock.reads
    assert t.get_progress_by_tick(tick) == expected
    assert t.get_progress_by_tick(tick=tick) == expected
    if tick is None:
        assert timers_clock.reads == reads


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((0,), ValueError, "Interval must be positive"),
        ((-1.5,), ValueError, "Interval must be positive"),
        (("1",), TypeError, None),
        ((1, None), TypeError, "Argument 'max_lag' has incorrect type (expected int, got NoneType)"),
        ((-1, "x"), TypeError, "Argument 'max_lag' has incorrect type (expected int, got str)"),
        ((1, 2**31), OverflowError, None),
        ((1, NAN), ValueError, None),
        ((1, 1j), TypeError, None),
    ],
)
def test_fixed_timer_construction_errors(args, error, message):
    with pytest.raises(error) as info:
        FixedTimer(*args)
    if message:
        assert str(info.value) == message


def test_tick_argument_errors():
    with pytest.raises(TypeError, match=r"^Argument 'tick' has incorrect type \(expected int, got str\)$"):
        FixedTimer(1).get_progress_by_tick("2")


def test_fixed_timer_construction_order_of_effects(timers_clock):
    t = FixedTimer(2.0, 4)
    with pytest.raises(OverflowError):
        t.__init__(0.1, 2**31)
    assert t.interval == 0.10000000149011612  # stored before max_lag failed
    assert state(FixedTimer(1, 2.7))["_max_lag"] == 2


@pytest.mark.parametrize("interval", [NAN, INF])
def test_nan_and_infinite_intervals_never_fire(timers_clock, interval):
    t = FixedTimer(interval)
    timers_clock.now = 1e9
    assert t.attempt() is False and t.tick == 0


def test_unconstructed_fixed_timer(timers_clock):
    t = FixedTimer.__new__(FixedTimer)
    assert (t.tick, t.interval) == (0, 0.0)
    for op in (lambda: t.ideal_ticks, t.attempt, lambda: t.progress):
        with pytest.raises(ZeroDivisionError):
            op()


def test_fixed_timer_overrides(timers_clock):
    class Five(FixedTimer):
        def get_ideal_ticks(self):
            return 5

    class BadTick(FixedTimer):
        tick = property(lambda self: "x")

    t = Five(1)
    assert t.ideal_ticks == 5.0
    assert [t.attempt() for _ in range(6)] == [True] * 5 + [False]
    assert t.tick == 5 and t.progress == 1.0
    with pytest.raises(TypeError, match=r"^Expected int, got str$"):
        BadTick(1).progress


@pytest.mark.parametrize("tick, received", [(0, 0), (None, None), (2.7, 2), (True, 1)])
def test_progress_override_receives_the_tick(timers_clock, tick, received):
    seen = []

    class Spy(FixedTimer):
        def get_progress_by_tick(self, tick):
            seen.append(tick)
            return 0.25

    class OwnTick(Spy):
        tick = property(lambda self: self.given)

    t = OwnTick(1)
    t.given = tick
    assert t.progress == 0.25 and seen == [received] and type(seen[0]) is type(received)
    # The built-in takes a None tick as a finished one.
    assert type("NoTick", (FixedTimer,), {"tick": None})(1).progress == 1.0


def test_pickle_keeps_the_schedule(timers_clock):
    timers_clock.now = 100.0
    t = FixedTimer(0.5)
    timers_clock.now = 101.25
    t.attempt()
    copy = pickle.loads(pickle.dumps(t))
    assert (copy.tick, copy.ideal_ticks, copy.interval) == (t.tick, t.ideal_ticks, t.interval)


@pytest.mark.parametrize("cls, name", [(VariableTimer, "interval"), (VariableTimer, "last_time"),
                                       (VariableTimer, "progress"), (FixedTimer, "interval"), (FixedTimer, "tick"),
                                       (FixedTimer, "ideal_ticks"), (FixedTimer, "progress")])
def test_properties_are_read_only(cls, name):
    t = cls(1)
    with pytest.raises(AttributeError):
        setattr(t, name, 1)
    with pytest.raises(AttributeError):
        delattr(t, name)


def test_real_clock_smoke():
    t = FixedTimer(1e-3)
    v = VariableTimer(1e-3)
    deadline = timers.perf_counter() + 0.05
    while timers.perf_counter() < deadline:
        t.attempt()
        v.attempt()
    # The start is stored in single precision, so the tick count depends on
    # how far the clock is from zero; it never runs ahead of the ideal count.
    assert 1 <= t.tick <= t.ideal_ticks + 1 and 0.0 <= t.progress <= 1.0
    assert math.isfinite(v.progress)


def test_another_built_in_method_as_an_override(timers_clock):
    # A subclass may put one built-in method in place of another.
    class Borrowed(VariableTimer):
        get_progress = VariableTimer.get_interval

    assert Borrowed(2).progress == 2.0
