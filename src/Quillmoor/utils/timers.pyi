"""Polling timers on the high-resolution clock.

Both timers read the module attribute `perf_counter` (bound to
`time.perf_counter` at import) at every use, so rebinding
`Quillmoor.utils.timers.perf_counter` substitutes the clock of every timer at
once. All times are in seconds.

Precision: clock readings, intervals and tick counts are stored as 32-bit
floats (about 7 significant digits) and counters as 32-bit signed integers.
Every float a timer returns is that single-precision value widened to a Python
`float`, so an interval of 0.1 reads back as 0.10000000149011612. With a clock
reading near 1,000,000 s a stored time has a step of 1/16 s; give the timers a
clock that starts near zero where short intervals matter.
"""

import math as math
import typing as t
from abc import ABC as ABC
from time import perf_counter as perf_counter
from typing import Any, TypeVar

from typing_extensions import disjoint_base

from Quillmoor.utils.calculated_value import CalculatedValue as CalculatedValue, gcv as gcv

# What an interval may be: a number of seconds, or anything gcv resolves to one.
_Seconds = float | CalculatedValue

_VT = TypeVar("_VT", bound=VariableTimer)
_FT = TypeVar("_FT", bound=FixedTimer)

__test__: dict[str, Any]

@disjoint_base
class VariableTimer:
    """Fires when its interval has passed since it last fired.

    Call `attempt()` once per pass of a polling loop. After firing, the next
    deadline is one interval after that poll, so a late poll delays later
    deadlines and missed intervals are never made up.

    The interval may be a number of seconds or a `CalculatedValue`; it is
    worked out afresh (through `gcv`) at construction and at every firing, so
    it may change while the timer lives. A change takes effect from the next
    firing: a pending deadline is never moved.

    Subclasses may override `attempt`, `get_interval` and `get_progress`.
    The timer's own code calls `get_interval` for the `interval` property, at
    construction and at every firing, and `get_progress` for the `progress`
    property; an override's result is rounded to single precision there.
    `attempt` is not called internally. Replacing the `interval` or
    `last_time` property also changes the computations that read them.

    Instances take weak references. Pickles and copies carry the interval
    object and the stored clock readings, which belong to the clock of the
    process that pickled the timer (see `__init__` to restart one).
    """

    def __init__(self, interval: _Seconds = 0) -> None:
        """Start (or restart) the timer: the first deadline is `interval` seconds from now.

        `interval` is stored as given, any object that `gcv` turns into a
        number of seconds. It is not validated: zero or a negative interval
        makes every `attempt()` fire. Calling `__init__` again on a live timer
        restarts its schedule from the current clock reading and resets
        `last_time` to 0.0.
        """

    def attempt(self) -> bool:
        """Poll the timer: True once the deadline has been reached (equal fires), else False.

        Records this poll's clock reading as `last_time`. When it fires, the
        next deadline becomes this reading plus the interval now in force. It
        fires at most once per call.
        """

    def get_interval(self) -> float:
        """The interval now in force in seconds: the stored interval resolved by `gcv`, as a 32-bit float.

        Overridable: the `interval` property, construction and every firing
        call an override instead and round its result to single precision.
        """

    def get_progress(self) -> float:
        """How far the timer is into its interval: min(elapsed, 1 s) / interval, at least 0.

        `elapsed` is the time since the last `attempt()` (since clock zero
        before the first one). The elapsed time is capped at one second before
        the division, so with an interval under a second the result can exceed
        1.0. Raises ZeroDivisionError when the interval is 0.

        Overridable: the `progress` property calls an override instead and
        rounds its result to single precision.
        """

    @property
    def interval(self) -> float:
        """The interval now in force in seconds (what `get_interval` gives, honouring overrides)."""

    @property
    def last_time(self) -> float:
        """The clock reading of the most recent `attempt()`, as a 32-bit float; 0.0 before the first."""

    @property
    def progress(self) -> float:
        """What `get_progress` gives (honouring overrides)."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support: the reconstruction function, the class, a layout checksum and the state."""

    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The same as `__reduce__`."""

    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the interval and the stored clock readings from a state tuple."""

    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """The same as `__setstate__`."""

@disjoint_base
class FixedTimer:
    """Counts ticks at a fixed rate anchored at its construction.

    `attempt()` takes at most one tick per call and returns True while the
    timer is behind the clock, so `while timer.attempt():` runs one fixed step
    per tick. The schedule does not drift: a late poll is caught up by the
    following calls. After a stall it catches up at most `max_lag + 1` ticks
    and drops the rest.

    Precision: the interval and the start time are 32-bit floats and the tick
    count a 32-bit signed integer. `ideal_ticks` is a 32-bit float too: past
    2**24 (16,777,216) ticks it advances in steps of 2 or more, and an ideal
    tick count of 2**31 makes a firing `attempt()` raise OverflowError. Restart
    long-running timers now and then with `__init__`.

    Subclasses may override `attempt`, `get_ideal_ticks` and
    `get_progress_by_tick`. The `ideal_ticks` property (and so `attempt` and
    `get_progress_by_tick`) calls `get_ideal_ticks`, and the `progress`
    property calls `get_progress_by_tick(self.tick)`; an override's result is
    rounded to single precision there. `attempt` is not called internally.
    Replacing the `ideal_ticks` or `tick` property also changes the
    computations that read them.

    Instances take weak references. Pickles and copies carry the tick count,
    interval, lag limit and start time; the start time is a clock reading of
    the process that pickled the timer.
    """

    def __init__(self, interval: float, max_lag: int = 10) -> None:
        """Start (or restart) the schedule now, one tick every `interval` seconds.

        `interval` must be positive (ValueError otherwise) and is stored as a
        32-bit float. `max_lag` is converted like `int()` and must fit in a
        32-bit signed integer (OverflowError otherwise); it is not otherwise
        checked. Calling `__init__` again restarts the schedule: count 0, new
        start time.
        """

    def attempt(self) -> bool:
        """Take one tick if the clock is ahead of the tick count; return whether one was taken.

        The first tick is due as soon as the clock has moved past the start.
        When the count has fallen more than `max_lag` ticks behind, it jumps
        forward so that the stall yields at most `max_lag + 1` ticks in all.
        """

    def get_ideal_ticks(self) -> float:
        """How many ticks the clock says should have happened: (clock - start) / interval, as a 32-bit float.

        Overridable: the `ideal_ticks` property (and through it `attempt` and
        `get_progress_by_tick`) calls an override instead and rounds its
        result to single precision.
        """

    def get_progress_by_tick(self, tick: int | None) -> float:
        """How far the clock is through tick number `tick`: 1 - clamp(tick - ideal_ticks, 0, 1).

        1.0 when `tick` is at or behind the ideal tick count, 0.0 when it is a
        whole tick or more ahead, linear in between. `None` gives 1.0 without
        reading the clock. `tick` is converted like `int()` otherwise.

        Overridable: the `progress` property calls an override with the
        timer's own `tick` and rounds its result to single precision.
        """

    @property
    def interval(self) -> float:
        """The tick interval in seconds, as a 32-bit float."""

    @property
    def tick(self) -> int:
        """How many ticks have been taken (a 32-bit signed integer)."""

    @property
    def ideal_ticks(self) -> float:
        """What `get_ideal_ticks` gives (honouring overrides)."""

    @property
    def progress(self) -> float:
        """How far the clock is into the tick just taken, 0.0 to 1.0: `get_progress_by_tick(self.tick)`, honouring overrides."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support: the reconstruction function, the class, a layout checksum and the state."""

    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The same as `__reduce__`."""

    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the count, interval, lag limit and start time from a state tuple."""

    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """The same as `__setstate__`."""

def __pyx_unpickle_VariableTimer(
    __pyx_type: type[_VT], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> _VT:
    """Pickle support: make a `__pyx_type` instance and restore `__pyx_state` into it.

    Raises pickle.PickleError when the checksum does not match the class's
    state layout.
    """

def __pyx_unpickle_FixedTimer(
    __pyx_type: type[_FT], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> _FT:
    """Pickle support: make a `__pyx_type` instance and restore `__pyx_state` into it.

    Raises pickle.PickleError when the checksum does not match the class's
    state layout.
    """
