"""The classes as a user would write them in plain Python, without the package.

Same algorithms and the same observable steps (module globals looked up at
each use, gcv at every use of an interval or delay, math.floor on a second
reading, the override-friendly property -> getter calls), with __slots__.
What a user would not bother with is left out: single-precision rounding and
32-bit wrap-around, argument checking, checksums in the pickled form.
"""

import math
import time
from time import perf_counter

from Quillmoor.utils.calculated_value import gcv


class VariableTimer:
    __slots__ = ("_interval", "_next_time", "_last_time", "__weakref__")

    def __init__(self, interval=0):
        self._interval = interval
        self._last_time = 0.0
        self._next_time = perf_counter() + self.interval

    def get_interval(self):
        return float(gcv(self._interval))

    @property
    def interval(self):
        return self.get_interval()

    @property
    def last_time(self):
        return self._last_time

    def attempt(self):
        now = perf_counter()
        fires = now >= self._next_time
        if fires:
            self._next_time = now + self.interval
        self._last_time = now
        return fires

    def get_progress(self):
        elapsed = perf_counter() - self.last_time
        if not elapsed < 1:
            elapsed = 1
        q = elapsed / self.interval
        return float(q) if q > 0 else 0.0

    @property
    def progress(self):
        return self.get_progress()


class FixedTimer:
    __slots__ = ("_interval", "_start_time", "_max_lag", "_count", "__weakref__")

    def __init__(self, interval, max_lag=10):
        if interval <= 0:
            raise ValueError("Interval must be positive")
        self._interval = float(interval)
        self._max_lag = int(max_lag)
        self._count = 0
        self._start_time = perf_counter()

    @property
    def interval(self):
        return self._interval

    @property
    def tick(self):
        return self._count

    def get_ideal_ticks(self):
        return (perf_counter() - self._start_time) / self._interval

    @property
    def ideal_ticks(self):
        return self.get_ideal_ticks()

    def attempt(self):
        if not self.ideal_ticks > self._count:
            return False
        target = math.floor(self.ideal_ticks)
        if target - self._count > self._max_lag:
            self._count = target - self._max_lag
        self._count += 1
        return True

    def get_progress_by_tick(self, tick):
        if tick is None:
            return 1.0
        ahead = tick - self.ideal_ticks
        if not ahead < 1:
            ahead = 1
        if not ahead > 0:
            ahead = 0
        return float(1 - ahead)

    @property
    def progress(self):
        return self.get_progress_by_tick(self.tick)


class _GlideCell:
    __slots__ = ("_interpolation_func", "_delay", "_value", "_next", "_is_flash", "__weakref__")

    def __init__(self, interpolation_func, delay, default=None, flash=False):
        self._interpolation_func = interpolation_func
        self._delay = delay
        self._value = default
        self._next = None
        self._is_flash = bool(flash)

    def _get_progress(self, now):
        if self._next is None:
            return 1.0
        _, end, delay = self._next
        if now > end or delay <= 0:
            return 1.0
        p = 1.0 - (end - now) / delay
        if not p > 0:
            p = 0.0
        return p if p < 1.0 else 1.0

    def _get_delay(self):
        return float(gcv(self._delay))

    def _get_value(self, now):
        if self._next is None:
            return self._value
        target, end, _ = self._next
        if now >= end:
            self._value = target
            self._next = None
            return target
        progress = self._get_progress(now)
        return self._interpolation_func(self._value, target, progress)

    def get_value(self):
        return self._get_value(time.perf_counter())

    def _set_value(self, value, flash):
        if flash:
            self._next = None
            self._value = value
            return
        now = time.perf_counter()
        d = self._get_delay()
        if self._next is not None:
            self._value = self._get_value(now)
        self._next = (value, now + d, d)

    def set_value(self, value, **kw):
        self._set_value(value, kw.get("flash", self._is_flash))
        return self


class GlideCell(_GlideCell):
    pass


class Mean:
    __slots__ = ("_sum", "_count")

    def __init__(self):
        self._sum = 0.0
        self._count = 0

    def add(self, value):
        self._sum += float(value)
        self._count += 1
        return self

    def extend(self, values):
        for v in values:
            self.add(v)
        return self

    def __iadd__(self, value):
        return self.add(value)

    def get_value(self):
        return self._sum / self._count if self._count > 0 else 0

    @property
    def value(self):
        return self.get_value()

    def __len__(self):
        return self._count


class Flag:
    __slots__ = ("_depth",)

    def __init__(self):
        self._depth = 0

    def __enter__(self):
        self._depth += 1

    def __exit__(self, *exc):
        self._depth -= 1

    @property
    def value(self):
        return self._depth > 0

    def __bool__(self):
        return self._depth > 0


def lerp(a, b, p):
    """The interpolation function every glide cell in the benchmark uses."""
    return a + (b - a) * p
