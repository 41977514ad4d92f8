"""Every number the classes compute step by step is rounded at every step, on
every processor and whatever the compiler's floating-point defaults (x87
intermediates, fused multiply-add): the results match the same arithmetic
done exactly on fractions and rounded once per operation, to double or to
single precision as each step is declared."""

import math
import random
from fractions import Fraction

import pytest

from support import Clock, lerp, state
from Quillmoor.utils.glidecell import _GlideCell
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer, VariableTimer

CASES = 2000


def nearest(q, bits, emin, emax):
    """`q` rounded to the nearest binary float with `bits` significand bits (ties
    to even), subnormals below 2**emin, infinity beyond the largest finite."""
    if q == 0:
        return 0.0
    sign, q = (-1 if q < 0 else 1), abs(Fraction(q))
    e = q.numerator.bit_length() - q.denominator.bit_length()
    if Fraction(2) ** e > q:
        e -= 1
    scale = Fraction(2) ** (bits - 1 - max(e, emin))
    n, rest = divmod(q * scale, 1)
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and n % 2):
        n += 1
    value = n / scale
    if value >= Fraction(2) ** (emax + 1):
        return sign * math.inf
    return sign * float(value)  # exact: the value fits a double


def dbl(q):
    return nearest(q, 53, -1022, 1023)


def sgl(q):
    return nearest(q, 24, -126, 127)


F = Fraction


def number(rng, lo, hi):
    """A double in [lo, hi) with random low bits, or one on a coarse grid (ties are likelier there)."""
    x = rng.uniform(lo, hi)
    return x if rng.random() < 0.7 else round(x * 64) / 64 or x


def glide_progress(now, end, delay):
    if now > end or delay <= 0:
        return 1.0
    p = dbl(1 - F(dbl(F(dbl(F(end) - F(now))) / F(delay))))
    return 0.0 if not p > 0 else min(p, 1.0)


def test_glide_progress(monkeypatch):
    from Quillmoor.utils import glidecell

    rng = random.Random(19)
    cases = [(100.0, 3.0, 101.0)] + [
        (number(rng, 0, 1000), number(rng, 1e-3, 10), None) for _ in range(CASES)]
    for start, delay, now in cases:
        monkeypatch.setattr(glidecell, "time", Clock(start))
        cell = _GlideCell(lerp, delay, 0.0)
        cell.set_value(1.0)
        end = state(cell)["_next"][1]
        assert end == dbl(F(start) + F(delay))
        if now is None:
            now = rng.uniform(start - delay / 8, end + delay / 8)
        assert cell._get_progress(now).hex() == float(glide_progress(now, end, delay)).hex(), (start, delay, now)


def test_fixed_timer_ticks_and_progress(monkeypatch):
    from Quillmoor.utils import timers

    rng = random.Random(20)
    cases = [(7 * 2.0**-54, 3.0, 4.5 + 9 * 2.0**-24)] + [
        (number(rng, 0, 5000), number(rng, 1e-3, 2), None) for _ in range(CASES)]
    for start, interval, clock in cases:
        monkeypatch.setattr(timers, "perf_counter", Clock(start))
        timer = FixedTimer(interval)
        start32, interval32 = sgl(F(start)), sgl(F(interval))
        assert (state(timer)["_start_time"], state(timer)["_interval"]) == (start32, interval32)
        timers.perf_counter.now = clock if clock is not None else start + rng.uniform(-1, 50) * interval
        ideal = sgl(dbl(F(dbl(F(timers.perf_counter.now) - F(start32))) / F(interval32)))
        assert timer.get_ideal_ticks().hex() == float(ideal).hex(), (start, interval, timers.perf_counter.now)
        tick = rng.randrange(-2, 60)
        ahead = dbl(F(tick) - F(ideal))
        capped = ahead if ahead < 1 else 1
        floored = capped if capped > 0 else 0
        assert timer.get_progress_by_tick(tick) == sgl(dbl(1 - F(floored)))


def test_variable_timer_times_and_progress(monkeypatch):
    from Quillmoor.utils import timers

    rng = random.Random(21)
    for _ in range(CASES):
        clock = Clock(number(rng, 0, 5000))
        monkeypatch.setattr(timers, "perf_counter", clock)
        interval = number(rng, 1e-3, 2)
        interval32 = sgl(F(interval))
        timer = VariableTimer(interval)
        assert state(timer)["_next_time"] == sgl(dbl(F(clock.now) + F(interval32)))
        clock.now += rng.uniform(0, 2 * interval)
        now32 = sgl(F(clock.now))
        fired = timer.attempt()
        assert state(timer)["_last_time"] == now32
        if fired:
            assert state(timer)["_next_time"] == sgl(dbl(F(now32) + F(interval32)))
        clock.now += rng.uniform(0, 1.5)
        elapsed = dbl(F(clock.now) - F(now32))
        capped = elapsed if elapsed < 1 else 1
        quotient = dbl(F(capped) / F(interval32))
        assert timer.get_progress() == sgl(quotient if quotient > 0 else 0)


@pytest.mark.parametrize("via", ["add", "extend"])
def test_mean(via):
    rng = random.Random(22)
    for _ in range(CASES // 10):
        samples = [rng.choice([number(rng, -1e4, 1e4), number(rng, -1, 1), rng.randrange(-10**6, 10**6)])
                   for _ in range(rng.randrange(1, 40))]
        m = Mean()
        if via == "add":
            for x in samples:
                m.add(x)
        else:
            m.extend(samples)
        total = 0.0
        for x in samples:
            total = sgl(F(total) + F(sgl(F(x))))
        assert m.total == total
        assert m.value == sgl(F(total) / F(sgl(F(len(samples)))))
