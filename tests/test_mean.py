import math
import pickle
import sys

import pytest

from support import CHECKSUMS
from Quillmoor.utils import mean as mean_module
from Quillmoor.utils.mean import Mean

unpickle = mean_module.__pyx_unpickle_Mean
INT_MAX = 2**31 - 1


class Recording(Mean):
    """Records what the class's own code passes to add."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def add(self, value):
        self.seen.append(value)
        return "ignored"


class Attrs(Mean):
    pass


def restored(count, total=0.0):
    return unpickle(Mean, CHECKSUMS[Mean][0], (count, total))


# -- arithmetic -------------------------------------------------------------------


@pytest.mark.parametrize(
    "samples, total, value",
    [
        ([], 0.0, 0),
        ([1, 2], 3.0, 1.5),
        ([0.1, 0.2], 0.30000001192092896, 0.15000000596046448),
        ([1, 2, 4], 7.0, 2.3333332538604736),  # single-precision division
        ([16777216, 1], 16777216.0, 8388608.0),  # the float sum absorbs the 1
        ([1e39], math.inf, math.inf),
        ([-1, -1.0], -2.0, -1.0),  # -1 is a sample, not a failed conversion
    ],
)
def test_single_precision_results(samples, total, value):
    m = Mean()
    for s in samples:
        assert m.add(s) is m
    assert (m.count, len(m), bool(m)) == (len(samples), len(samples), bool(samples))
    assert m.total == total
    assert m.get_value() == m.value == value
    assert type(m.value) is (float if samples else int)


def test_mutators_return_self_and_reset():
    m = Mean()
    assert m.add(1).add(value=2).extend([3]).count == 3
    m.__init__()
    assert (m.count, m.total) == (0, 0.0)
    assert m.extend(()).extend([]) is m
    assert m.add(5).clear() is m and m.count == 0


def test_inplace_add():
    m = Mean()
    same = m
    m += 3
    assert m is same and (m.count, m.total) == (1, 3.0)
    with pytest.raises(TypeError):
        m += Mean()
    assert (m.count, m.total) == (1, 3.0)
    with pytest.raises(TypeError):
        m + 1


# -- extend -----------------------------------------------------------------------


class StopsWithSubclass:
    class Stop(StopIteration):
        pass

    def __init__(self):
        self.items = [1, 2, 3]

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise self.Stop
        return self.items.pop(0)


@pytest.mark.parametrize(
    "make",
    [list, tuple, lambda v: (x for x in v), dict.fromkeys, lambda v: StopsWithSubclass()],
    ids=["list", "tuple", "generator", "dict", "stop-subclass"],
)
def test_extend_sources(make):
    m = Mean().extend(make([1, 2, 3]))
    assert (m.count, m.total) == (3, 6.0)


def failing_generator():
    yield 1
    raise ValueError("boom")


@pytest.mark.parametrize(
    "values, error, count",
    [
        ([1, 2, "x", 4], TypeError, 2),
        ((1, None), TypeError, 1),
        ("12", TypeError, 0),
        (5, TypeError, 0),
        (failing_generator(), ValueError, 1),
        ([1, 10**400], OverflowError, 1),
    ],
)
def test_extend_keeps_partial_progress(values, error, count):
    m = Mean()
    with pytest.raises(error):
        m.extend(values)
    assert m.count == count


def test_extend_follows_a_list_that_changes_while_walked():
    values = []

    class Grows:
        def __float__(self):
            values.append(10)
            return 1.0

    class Empties:
        def __float__(self):
            values.clear()
            return 1.0

    values[:] = [Grows(), 2]
    assert Mean().extend(values).count == 3  # walked to the new end
    values[:] = [Empties(), 2, 3]
    assert Mean().extend(values).count == 1  # no read past the shrunk end


class Runs:
    """A sample whose conversion runs code: it records what the mean shows, then acts."""

    def __init__(self, value, action=None):
        self.value, self.action, self.saw = value, action, None

    def __float__(self):
        self.saw = (self.action.__self__.count, self.action.__self__.total) if self.action else None
        if self.action:
            self.action()
        return self.value


class F(float):
    pass


@pytest.mark.parametrize("container", [list, tuple])
def test_extend_stores_before_a_sample_runs_code_and_reads_back_after(container):
    m = Mean()
    sample = Runs(5.0, m.clear)
    m.extend(container([1.0, 2.0, sample, 3.0, 4.0]))
    assert sample.saw == (2, 3.0)  # the floats before it were stored
    assert (m.count, m.total) == (3, 12.0)  # and its clearing was kept


@pytest.mark.parametrize(
    "values",
    [
        [0.1, 2, 0.2, F(0.3), 0.4, True, Runs(0.5), 0.6, 2**40 + 1, 0.7],
        [1e30, 1e-45, -0.0, 1e300, 1.0, float("nan")],
        [F(1.5), 0.25] * 3 + [3, 0.125],
    ],
    ids=["mixed", "extremes", "alternating"],
)
@pytest.mark.parametrize("container", [list, tuple, iter])
def test_extend_of_a_mixed_sequence_equals_adding_one_by_one(values, container):
    one_by_one = Mean()
    for v in values:
        one_by_one.add(v)
    m = Mean().extend(container(values))
    assert m.count == one_by_one.count and repr(m.total) == repr(one_by_one.total)


@pytest.mark.parametrize("container", [list, tuple])
def test_extend_wraps_the_count_within_a_run_of_floats(container):
    m = restored(INT_MAX - 1, 1.0)
    m.extend(container([1.0, 2.0, 3.0, 4, 5.0]))
    assert (m.count, m.total) == (-(2**31) + 3, 16.0)
    assert m.get_value() == 0


# -- overrides --------------------------------------------------------------------


def test_internal_calls_use_python_override_of_add():
    m = Recording()
    assert m.extend([1, 0.1]) is m
    m += 5
    assert m.seen == [1.0, 0.10000000149011612, 5.0]
    assert all(type(v) is float for v in m.seen)
    assert m.count == 0  # only the override ran
    assert Mean.add(m, 1) is m and m.count == 1 and len(m.seen) == 3
    assert m.add(2) == "ignored"


def test_instance_attribute_counts_as_override():
    m = Attrs()
    seen = []
    m.add = seen.append
    m.extend([1])
    assert seen == [1.0] and m.count == 0


def test_value_uses_python_override_of_get_value():
    class Fixed(Mean):
        def get_value(self):
            return "override"

    m = Fixed().add(1)
    assert m.value == "override"
    assert Mean.get_value(m) == 1.0


# -- counts a float cannot describe -----------------------------------------------


def test_negative_restored_count():
    m = restored(-3, 6.0)
    assert m.get_value() == 0 and type(m.value) is int
    for probe in (len, bool):
        with pytest.raises(ValueError, match=r"__len__\(\) should return >= 0"):
            probe(m)


def test_count_wraps_at_32_bit_limit():
    m = restored(INT_MAX, 1.0).add(1)
    assert m.count == -(2**31) and m.value == 0
    with pytest.raises(ValueError):
        len(m)
    m += 1
    assert m.count == -(2**31) + 1


# -- restored state ---------------------------------------------------------------
# (the pickled form shared by every class is covered in test_pickle.py)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_keeps_single_precision_sum_exactly(protocol):
    m = Attrs().extend([0.1, 0.2])
    m.tag = "kept"
    back = pickle.loads(pickle.dumps(m, protocol))
    assert (type(back), back.count, back.total, back.tag) == (Attrs, 2, 0.30000001192092896, "kept")


@pytest.mark.parametrize(
    "state, error, after",
    [
        ((2**31, 0.0), OverflowError, (1, 7.0)),
        ((3, 10**400), OverflowError, (3, 7.0)),  # the count is already set
        (("1", 0.0), TypeError, (1, 7.0)),
        ((2.9, 1e39), None, (2, math.inf)),
        ((2, -math.inf, None), None, (2, -math.inf)),
        ((5, 1.0, {"a": 1}), AttributeError, (5, 1.0)),  # a plain Mean has no dict
    ],
)
def test_hostile_setstate(state, error, after):
    m = Mean().add(7)
    if error:
        with pytest.raises(error):
            m.__setstate__(state)
    else:
        m.__setstate__(state)
    assert (m.count, m.total) == after


def test_nan_sum_is_restored():
    m = unpickle(Mean, CHECKSUMS[Mean][2], (2, math.nan))
    assert m.count == 2 and math.isnan(m.total) and math.isnan(m.value)


def test_failing_paths_do_not_leak():
    m = Recording()

    def run():
        for _ in range(200):
            for bad in ([1, "x"], 5, failing_generator()):
                try:
                    Mean().extend(bad)
                except (TypeError, ValueError):
                    pass
            m.extend((1.5,))
            m.seen.clear()

    run()
    before = sys.getallocatedblocks()
    run()
    assert sys.getallocatedblocks() - before < 50
