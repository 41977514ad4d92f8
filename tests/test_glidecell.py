import copy
import gc
import math
import pickle
import typing
import weakref

import pytest

from support import CHECKSUMS, MEMBERS, lerp, state
from Quillmoor.utils import glidecell as g
from Quillmoor.utils.calculated_value import CalculatedValue
from Quillmoor.utils.glidecell import GlideCell, _GlideCell


class Tagged(GlideCell):
    """Module level, so that pickle can find it."""


class ZeroDelay(GlideCell):
    def _get_delay(self):
        return 0


@pytest.mark.parametrize("cls", [_GlideCell, GlideCell])
def test_worked_example(cell_clock, cls):
    cell = cls(lerp, 2.0, 0.0)
    assert cell.set_value(10.0) is cell
    assert (cell.next_value, cell.delay, cell.is_interpolated) == (10.0, 2.0, True)
    cell_clock.now = 101.0
    assert cell.get_value() == 5.0 and cell.progress == 0.5 and cell.is_interpolated
    cell.set_value(20.0)  # interrupted: starts from the 5.0 shown now, full delay again
    glide = state(cell)
    assert (glide["_next"], glide["_value"]) == ((20.0, 103.0, 2.0), 5.0)
    cell_clock.now = 102.0
    assert cell.get_value() == 12.5
    cell_clock.now = 103.0
    assert cell.get_value() == 20.0 and not cell.is_interpolated and cell.next_value is None


def test_first_glide_starts_from_none_and_ended_glide_keeps_record_until_read(cell_clock):
    seen = []
    cell = _GlideCell(lambda *a: seen.append(a) or "shown", 1.0)
    cell.set_value("x")
    cell_clock.now = 100.5
    assert cell.get_value() == "shown" and seen == [(None, "x", 0.5)]
    cell_clock.now = 200.0
    assert (cell.is_interpolated, cell.next_value, cell.progress) == (True, "x", 1.0)
    assert cell._get_value(200.0) == "x" and not cell.is_interpolated


def test_flash_rules(cell_clock):
    cell = _GlideCell(lerp, 2.0, 0.0, flash="yes")
    assert cell.is_flash is True
    cell.set_value(4.0)
    assert cell.get_value() == 4.0 and not cell.is_interpolated
    cell.set_value(8.0, flash=None, other="ignored")  # None glides even when is_flash
    assert cell.next_value == 8.0
    cell.set_value(1.0, flash=True)
    assert (cell.get_value(), cell.next_value) == (1.0, None)
    cell.is_flash = 0
    assert cell.is_flash is False
    cell.is_flash = "x"
    assert cell.is_flash is True
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del cell.is_flash


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.set_value(1.0, flash=1), "Expected bool, got int"),
        (lambda c: c._set_value(1.0, 1), r"Argument 'flash' has incorrect type \(expected bool, got int\)"),
    ],
)
def test_flash_errors_change_nothing(cell_clock, call, message):
    cell = _GlideCell(lerp, 2.0, 0.0)
    cell.set_value(10.0)
    before = state(cell)
    with pytest.raises(TypeError, match=message):
        call(cell)
    assert state(cell) == before


@pytest.mark.parametrize("delay", [0.0, -3.0])
def test_zero_and_negative_delay_end_at_next_read(cell_clock, delay):
    cell = _GlideCell(lerp, delay, 1.0)
    cell.set_value(5.0)
    assert (cell.progress, cell.is_interpolated, cell.delay) == (1.0, True, delay)
    assert cell.get_value() == 5.0 and not cell.is_interpolated


def test_nan_delay_never_ends(cell_clock):
    cell = _GlideCell(lambda a, b, p: p, math.nan, 1.0)
    cell.set_value(5.0)
    for cell_clock.now in (100.0, 1e9):
        assert cell.get_value() == 0.0 and math.isnan(cell.delay)


@pytest.mark.parametrize("now, progress", [(50.0, 0.0), (100.0, 0.0), (101.5, 0.75), (102.0, 1.0), (500.0, 1.0)])
def test_progress(cell_clock, now, progress):
    cell = _GlideCell(lerp, 2.0, 0.0)
    assert cell._get_progress(now) == 1.0  # idle
    cell.set_value(1.0)
    assert cell._get_progress(now) == progress


def test_delay_is_captured_at_glide_start_and_resolved_anew_while_idle(cell_clock):
    seconds = [2.0]
    cell = _GlideCell(lerp, CalculatedValue(lambda: seconds[0]), 0.0)
    assert cell.delay == 2.0
    seconds[0] = 4.0
    assert cell.delay == 4.0 and cell._get_delay() == 4.0
    cell.set_value(1.0)
    seconds[0] = 9.0
    assert cell.delay == 4.0


def test_failures_leave_the_glide_untouched(cell_clock, monkeypatch):
    cell = _GlideCell(lerp, 2.0, 0.0)
    cell.set_value(10.0)
    before = state(cell)
    monkeypatch.setattr(g, "gcv", lambda d: "soon")
    with pytest.raises(TypeError):
        cell.set_value(3.0)
    monkeypatch.delattr(g, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        cell.get_value()
    assert state(cell) == before


class NoClock:
    pass


class BadClock:
    def __init__(self, reading):
        self.reading = reading

    def perf_counter(self):
        if isinstance(self.reading, type):
            raise self.reading("clock")
        return self.reading


@pytest.mark.parametrize("time, error", [(NoClock(), AttributeError), (BadClock(KeyError), KeyError),
                                         (BadClock("noon"), TypeError)])
@pytest.mark.parametrize("op", [lambda c: c.get_value(), lambda c: c.progress, lambda c: c.set_value(1.0)])
def test_clock_failures_propagate(monkeypatch, time, error, op):
    cell = _GlideCell(lerp, 2.0, 0.0)
    cell.set_value(10.0, flash=True)
    cell.__setstate__((2.0, lerp, False, (5.0, 1e9, 2.0), 0.0))
    monkeypatch.setattr(g, "time", time)
    with pytest.raises(error):
        op(cell)


def test_overrides_are_used_by_the_cells_own_calls(cell_clock):
    cell = ZeroDelay(lerp, 5.0, 0.0)
    cell.set_value(3.0)
    assert cell.delay == 0.0 and cell.get_value() == 3.0

    class Eased(GlideCell):
        def _get_progress(self, now):
            return super()._get_progress(now) ** 2

        def _get_value(self, now):
            return ("seen", super()._get_value(now))

    cell = Eased(lerp, 2.0, 0.0)
    cell.set_value(8.0)
    cell_clock.now = 101.0
    assert cell.progress == 0.25 and cell.get_value() == ("seen", 2.0)
    cell._get_delay = lambda: 10.0  # the instance dict is looked at first
    cell.set_value(0.0)
    assert cell.delay == 10.0


def test_generic_class_and_namespace():
    T = g.T
    assert (T.__name__, T.__default__) == ("T", typing.Any)
    assert GlideCell.__orig_bases__ == (_GlideCell, typing.Generic[T])
    assert GlideCell.__bases__ == (_GlideCell, typing.Generic)
    assert GlideCell.__parameters__ == (T,)
    assert (GlideCell.__module__, GlideCell.__qualname__) == ("Quillmoor.utils.glidecell", "GlideCell")
    assert set(vars(GlideCell)) <= {"__module__", "__orig_bases__", "__parameters__", "__dict__", "__weakref__", "__doc__"}
    alias = GlideCell[int]
    assert typing.get_origin(alias) is GlideCell and typing.get_args(alias) == (int,)
    cell = alias(lerp, 1.0, 7)
    assert type(cell) is GlideCell and cell.get_value() == 7
    cell.extra = 1
    assert weakref.ref(cell)() is cell
    with pytest.raises(AttributeError):
        _GlideCell(lerp, 1.0).extra = 1
    assert {"t", "time", "CalculatedValue", "gcv", "T", "_GlideCell", "GlideCell", "__pyx_unpickle__GlideCell"} <= set(
        vars(g)
    )
    assert g.t is typing and g.time.__name__ == "time"
    assert _GlideCell.set_value.__annotations__ == {"value": "t.Any", "kw": "t.Any"}


@pytest.mark.parametrize("obj", [g.T, GlideCell[int], GlideCell[g.T]], ids=["T", "GlideCell[int]", "GlideCell[T]"])
@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_type_variable_and_aliases_pickle_by_reference(obj, protocol):
    assert g.T.__module__ == "Quillmoor.utils.glidecell"
    assert pickle.loads(pickle.dumps(obj, protocol)) == obj
    assert pickle.loads(pickle.dumps(g.T, protocol)) is g.T


def test_bare_instance():
    cell = _GlideCell.__new__(_GlideCell)
    assert cell.get_value() is None and cell.is_flash is None
    r = cell.__reduce__()
    assert len(r) == 2 and r[1][1] == CHECKSUMS[_GlideCell][0]  # the direct form
    assert state(cell) == dict.fromkeys(MEMBERS[_GlideCell])


class Target:
    def __init__(self, n):
        self.n = n


def test_reentrant_calls_do_not_crash(cell_clock):
    class Reset(GlideCell):
        def _get_progress(self, now):
            self.__init__(lerp, 1.0, 0.0)  # drops the record whose target is being read
            gc.collect()
            return 0.5

    seen = []
    cell = Reset(lambda a, b, p: seen.append((a, b.n, p)) or "ok", 1.0, "start")
    cell.set_value(Target(42))
    assert cell.get_value() == "ok" and seen == [(0.0, 42, 0.5)]

    def resetting(a, b, p):
        cell.set_value(b + 1, flash=True)
        cell.__init__(resetting, 1.0, -1.0)
        return a

    cell = _GlideCell(resetting, 2.0, 0.0)
    cell.set_value(10.0)
    cell_clock.now = 101.0
    assert cell.get_value() == 0.0 and cell.get_value() == -1.0 and not cell.is_interpolated


@pytest.mark.parametrize("cls", [_GlideCell, GlideCell])
def test_cycle_through_bound_method_is_collected(cls):
    class Owner:
        def __init__(self):
            self.cell = cls(self.interpolate, 1.0)

        def interpolate(self, a, b, p):
            return b

    owner = Owner()
    ref = weakref.ref(owner.cell)
    del owner
    gc.collect()
    assert ref() is None


def observed(cell, now):
    return (type(cell), cell.is_flash, cell.is_interpolated, cell.next_value, cell.delay, cell._get_value(now))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_subclass_pickle_round_trip(cell_clock, protocol):
    cell = Tagged(lerp, 2.0, 0.0, flash=False)
    cell.set_value(10.0)
    cell.label = "x"
    for copied in (pickle.loads(pickle.dumps(cell, protocol)), copy.deepcopy(cell)):
        assert copied.label == "x" and observed(copied, 101.0) == observed(cell, 101.0)


def breaking_record():
    yield 1.0
    raise LookupError("record broke")


@pytest.mark.parametrize(
    "record, error, message",
    [
        ((1.0, 2.0), ValueError, "need more than 2 values to unpack"),
        ([1.0], ValueError, "need more than 1 value to unpack"),
        ((1.0, 2.0, 3.0, 4.0), ValueError, r"too many values to unpack \(expected 3\)"),
        (iter([1.0, 2.0, 3.0, 4.0]), ValueError, r"too many values to unpack \(expected 3\)"),
        (iter([]), ValueError, "need more than 0 values to unpack"),
        (breaking_record(), LookupError, "^record broke$"),
        ((1.0, "late", 3.0), TypeError, None),
        (42, TypeError, None),
    ],
)
def test_hostile_record_raises(record, error, message):
    cell = _GlideCell.__new__(_GlideCell)
    cell.__setstate__((1.0, lerp, False, record, 0.0))
    with pytest.raises(error, match=message):
        cell._get_value(0.0)


def test_hostile_record_properties_and_iterable_record():
    cell = _GlideCell.__new__(_GlideCell)
    cell.__setstate__((1.0, lerp, False, 42, 0.0))
    for name in ("progress", "delay", "next_value"):
        with pytest.raises(TypeError):
            getattr(cell, name)
    cell.__setstate__((1.0, lerp, False, [8.0, 10.0, 4.0], 0.0))
    assert cell._get_value(9.0) == 6.0 and cell._get_progress(9.0) == 0.75
    # A record too short for the property's index: the error, not a read past its end.
    cell.__setstate__((1.0, lerp, False, (8.0,), 0.0))
    assert cell.next_value == 8.0
    with pytest.raises(IndexError):
        cell.delay


@pytest.mark.parametrize(
    "state, error, message",
    [
        ((1.0, lerp, 1, None, 0.0), TypeError, "Expected bool, got int"),
        ((1.0, lerp), IndexError, None),
    ],
)
def test_hostile_unpickle(state, error, message):
    with pytest.raises(error, match=message):
        g.__pyx_unpickle__GlideCell(GlideCell, CHECKSUMS[_GlideCell][0], state)
    cell = g.__pyx_unpickle__GlideCell(GlideCell, CHECKSUMS[_GlideCell][2], (1.0, lerp, None, None, 5.0))
    assert cell.is_flash is None and cell.get_value() == 5.0
