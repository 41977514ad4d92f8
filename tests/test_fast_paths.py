"""The shortcuts taken for speed must decide exactly as the general paths do.

Overridable methods are found without binding a method when a subclass does
not replace them; every way ordinary attribute lookup can find something
else must still win.  Plain instances read exact floats and the cell's own
glide record in place; anything else takes the general path.
"""

import pickle

import pytest

from support import lerp
from Quillmoor.utils import mean, timers
from Quillmoor.utils.glidecell import GlideCell, _GlideCell
from Quillmoor.utils.mean import Mean


# ---- override lookup ---------------------------------------------------------


def test_instance_attribute_overrides_and_is_seen_after_earlier_calls(cell_clock):
    cell = GlideCell(lerp, 2.0, 0.0)
    cell.set_value(10.0)
    cell_clock.now = 101.0
    assert cell.get_value() == 5.0  # the built-ins, found without binding
    cell._get_progress = lambda now: 0.25  # into the dict the earlier lookups saw
    assert cell.get_value() == 2.5
    del cell._get_progress
    assert cell.get_value() == 5.0


@pytest.mark.parametrize("where", ["subclass", "base", "mixin"])
def test_class_level_overrides_added_after_earlier_calls_win(cell_clock, where):
    class Mixin:
        pass

    class Cell(Mixin, GlideCell):
        pass

    cells = [Cell(lerp, 2.0, 0.0).set_value(10.0), GlideCell(lerp, 2.0, 0.0).set_value(10.0)]
    cell_clock.now = 101.0
    assert [c.get_value() for c in cells] == [5.0, 5.0]  # remembered as inheriting the built-in
    owner = {"subclass": Cell, "base": GlideCell, "mixin": Mixin}[where]
    owner._get_progress = lambda self, now: 0.25
    try:
        assert cells[0].get_value() == 2.5
        assert cells[1].get_value() == (2.5 if owner is GlideCell else 5.0)
    finally:
        del owner._get_progress
    assert [c.get_value() for c in cells] == [5.0, 5.0]


def test_getattribute_and_getattr_hooks_are_honoured(cell_clock):
    seen = []

    class Spy(GlideCell):
        def __getattribute__(self, name):
            seen.append(name)
            return super().__getattribute__(name)

    cell = Spy(lerp, 2.0, 0.0).set_value(10.0)
    cell_clock.now = 101.0
    assert cell.get_value() == 5.0
    assert "_get_value" in seen and "_get_progress" in seen

    class Fallback(GlideCell):
        def __getattr__(self, name):  # never reached: the class has the methods
            raise AssertionError(name)

    cell_clock.now = 100.0
    cell = Fallback(lerp, 2.0, 0.0).set_value(10.0)
    cell_clock.now = 101.0
    assert cell.get_value() == 5.0


def test_data_descriptor_and_mixin_before_the_extension_type(cell_clock):
    class ViaProperty(GlideCell):
        @property
        def _get_delay(self):
            return lambda: 4.0

    cell = ViaProperty(lerp, 2.0, 0.0).set_value(10.0)
    assert cell.delay == 4.0

    class Mixin:
        def _get_progress(self, now):
            return 0.5

    class Mixed(Mixin, GlideCell):
        pass

    cell = Mixed(lerp, 2.0, 0.0).set_value(8.0)
    assert cell.get_value() == 4.0


def test_mean_subclass_add_sees_every_item_of_every_container():
    class Seen(Mean):
        def __init__(self):
            super().__init__()
            self.items = []

    m = Seen()
    m.extend([1.0, 2])
    assert m.count == 2 and m.items == []  # the built-in add, no override
    m.add = lambda v: m.items.append(v)
    m.extend([1.0, 2]).extend((3.0,)).extend(iter([4]))
    m += 5.0
    assert m.items == [1.0, 2.0, 3.0, 4.0, 5.0] and m.count == 2


# ---- values read in place ----------------------------------------------------


def test_extend_list_mixes_exact_floats_with_items_that_run_code():
    data = [0.5, 1, 2.5]

    class Grows:
        def __float__(self):
            data.append(4.0)  # the list grows under extend
            return 3.0

    data.append(Grows())
    m = Mean().extend(data)
    assert (m.count, m.total) == (5, 11.0)
    assert Mean().extend([1e300]).total == float("inf")
    with pytest.raises(TypeError):
        Mean().extend([1.0, "x"])


def test_small_and_large_ints_convert_alike():
    for v in (0, -1, 2**30 - 1, 2**30, -(2**31), 2**53 + 1, True):
        assert Mean().add(v).total == Mean().add(float(v)).total


@pytest.mark.parametrize("record", [[10.0, 102.0, 2.0], (10.0, 102, 2), (10.0, 102.0, 2.0, "extra")])
def test_restored_glide_records_of_other_shapes(cell_clock, record):
    cell = _GlideCell(lerp, 2.0, 0.0)
    state = (2.0, lerp, False, record, 0.0)
    cell.__setstate_cython__(state)
    assert cell.next_value == 10.0 and cell.delay == record[2]  # read by indexing, whatever the shape
    cell_clock.now = 101.0
    if len(record) == 4:
        with pytest.raises(ValueError, match="too many values"):
            cell.get_value()
        assert cell.progress == 0.5  # indexing, not unpacking
        return
    assert cell.get_value() == 5.0 and cell.progress == 0.5
    cell_clock.now = 102.0
    assert cell.get_value() == 10.0 and not cell.is_interpolated


def test_interpolation_may_reset_the_cell_it_reads(cell_clock):
    cell = _GlideCell(None, 2.0, 0.0)

    def reset(a, b, p):
        cell.__init__(lerp, 2.0, "fresh")  # drops the record holding b
        return (a, b, p)

    cell.__init__(reset, 2.0, 0.0)
    cell.set_value([10.0])
    cell_clock.now = 101.0
    assert cell.get_value() == (0.0, [10.0], 0.5)
    assert cell.get_value() == "fresh"


def test_fixed_timer_progress_with_large_counts(monkeypatch):
    monkeypatch.setattr(timers, "perf_counter", lambda: 0.0)
    t = timers.FixedTimer(0.5)
    t.__setstate__((100_001, 0.5, 10, -50_000.25))  # ideal 100000.5, half a tick behind
    assert t.progress == 0.5
    t.__setstate__((2**31 - 1, 0.5, 10, 0.0))
    assert t.progress == 0.0
    u = pickle.loads(pickle.dumps(t))
    assert u.progress == 0.0


def test_plain_mean_figures_match_the_subclass_path():
    class Sub(Mean):
        pass

    data = [0.1 * i for i in range(50)] + [3, 7]
    a, b = Mean().extend(data), Sub().extend(data)
    assert (a.count, a.total, a.value) == (b.count, b.total, b.value)
    assert isinstance(mean.Mean().value, int)
