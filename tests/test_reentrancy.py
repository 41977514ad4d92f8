"""Python code called from inside an operation (the clock, gcv, an
interpolation function, an override, a sample's __float__, an iterator) may
re-enter or re-initialise the same object, delete the module global in use,
or raise.  The object must stay usable and the interpreter must not crash."""

import gc

import pytest

from support import CLASSES, lerp, state
from Quillmoor.utils import flag, glidecell, mean, timers
from Quillmoor.utils.calculated_value import CalculatedValue


class Boom(Exception):
    pass


def usable(obj):
    """The object still answers its main operations and pickles."""
    obj.__reduce__()
    if isinstance(obj, timers.VariableTimer):
        obj.attempt(), obj.interval, obj.last_time
    elif isinstance(obj, timers.FixedTimer):
        obj.tick, obj.interval
    elif isinstance(obj, glidecell._GlideCell):
        obj.is_interpolated, obj.next_value
    elif isinstance(obj, mean.Mean):
        mean.Mean.add(obj, 1.0).value
    gc.collect()


# ---- timers -----------------------------------------------------------------------


def boom():
    raise Boom


@pytest.mark.parametrize("action", ["reinit", "delete-clock", "raise"])
def test_clock_reenters_variable_timer(monkeypatch, timers_clock, action):
    t = timers.VariableTimer(1.0)
    timers_clock.now = 100.0
    timers_clock.hook = {
        "reinit": lambda: t.__init__(CalculatedValue(lambda: 5.0)),  # reads this clock again
        "delete-clock": lambda: monkeypatch.delattr(timers, "perf_counter"),
        "raise": boom,
    }[action]
    try:
        t.attempt()
    except (Boom, NameError):
        pass
    timers_clock.now = 200.0
    monkeypatch.setattr(timers, "perf_counter", timers_clock, raising=False)
    usable(t)


def test_gcv_deletes_itself_and_replaces_the_interval(monkeypatch):
    t = timers.VariableTimer()
    from Quillmoor.utils import calculated_value

    def resolver(value):
        monkeypatch.delattr(timers, "gcv")
        return 2.0

    monkeypatch.setattr(timers, "gcv", resolver)
    assert t.interval == 2.0
    with pytest.raises(NameError, match="name 'gcv' is not defined"):
        t.interval
    monkeypatch.setattr(timers, "gcv", calculated_value.gcv, raising=False)
    usable(t)


def test_fixed_timer_override_reinitialises_mid_attempt(timers_clock):
    class Restless(timers.FixedTimer):
        def get_ideal_ticks(self):
            self.__init__(0.25, 1)  # resets the count while attempt() runs
            return 50.5

    t = Restless(1.0)
    timers_clock.now = 10.0
    # Both readings reset the count; then floor(50.5) - max_lag + 1.
    assert t.attempt() is True and t.tick == 50
    usable(t)


def test_floor_that_removes_math(monkeypatch, timers_clock):
    import math

    class FakeMath:
        @staticmethod
        def floor(x):
            monkeypatch.delattr(timers, "math")
            return math.floor(x)

    timers_clock.now = 0.0
    t = timers.FixedTimer(1.0)
    timers_clock.now = 3.5
    monkeypatch.setattr(timers, "math", FakeMath)
    assert t.attempt() is True
    with pytest.raises(NameError, match="name 'math' is not defined"):
        t.attempt()
    usable(t)


# ---- glide cell ---------------------------------------------------------------------


def test_clock_resets_the_cell_while_it_reads(cell_clock):
    cell = glidecell._GlideCell(lerp, 2.0, 0.0)
    cell.set_value(10.0)
    cell_clock.now = 101.0
    cell_clock.hook = lambda: cell.__init__(lerp, 1.0, 7.0)
    assert cell.get_value() == 7.0  # read after the reset: idle at 7
    usable(cell)


def test_gcv_starts_a_glide_on_the_same_cell(monkeypatch, cell_clock):
    cell = glidecell._GlideCell(lerp, "outer", 0.0)
    calls = []

    def resolver(delay):
        calls.append(delay)
        if delay == "outer":
            cell.__init__(lerp, "inner", 1.0)
            cell.set_value(3.0)
        return 2.0

    monkeypatch.setattr(glidecell, "gcv", resolver)
    cell.set_value(5.0)
    assert calls == ["outer", "inner"] and cell.next_value == 5.0
    usable(cell)


def test_time_module_removed_by_the_clock(monkeypatch, cell_clock):
    cell = glidecell._GlideCell(lerp, 2.0, 0.0)
    cell_clock.hook = lambda: monkeypatch.delattr(glidecell, "time")
    assert cell.get_value() == 0.0
    with pytest.raises(NameError, match="name 'time' is not defined"):
        cell.get_value()
    usable(cell)


# ---- mean --------------------------------------------------------------------------


class Sample:
    def __init__(self, value, action):
        self.value = value
        self.action = action

    def __float__(self):
        self.action()
        return self.value


def test_sample_clears_its_mean_during_add():
    m = mean.Mean().extend([1.0, 2.0])
    m.add(Sample(5.0, m.clear))
    assert (m.count, m.total) == (1, 5.0)


def test_iterator_reinitialises_the_mean():
    m = mean.Mean()

    def items():
        yield 1.0
        m.__init__()
        yield 2.0
        raise Boom

    with pytest.raises(Boom):
        m.extend(items())
    assert (m.count, m.total) == (1, 2.0)
    usable(m)


def test_list_emptied_while_it_is_walked():
    m = mean.Mean()
    values = [1.0, 2.0, 3.0]
    values[1] = Sample(2.0, values.clear)
    m.extend(values)
    assert m.count == 2  # the walk ends at the new, shorter length
    usable(m)


def test_override_that_extends_recursively():
    class Echo(mean.Mean):
        def add(self, value):
            mean.Mean.add(self, value)
            if value < 3:
                self.extend([value + 1])

    m = Echo()
    m.extend([1.0])
    assert m.count == 3 and m.total == 6.0
    usable(m)


# ---- flag and pickling ---------------------------------------------------------------


def test_value_property_that_enters_the_flag():
    class Busy(flag.Flag):
        @property
        def value(self):
            self.__enter__()
            return flag.Flag.value.__get__(self)

    f = Busy()
    assert bool(f) is True and state(f) == {"_depth": 1}


def test_state_item_that_restores_state_recursively():
    m = mean.Mean()

    class Nested:
        def __int__(self):
            m.__setstate__((7, 2.0))
            return 3

    m.__setstate__((Nested(), 1.5))
    assert (m.count, m.total) == (3, 1.5)


def test_dict_attribute_that_mutates_during_reduce():
    class Sneaky(timers.VariableTimer):
        @property
        def __dict__(self):
            self.__setstate__((None, 0.0, 0.0))  # drops the interval being pickled
            return {"k": 1}

    t = Sneaky.__new__(Sneaky)
    t.__init__(3.0)
    pickled = state(t)
    assert pickled["_interval"] == 3.0 and pickled["__dict__"] == {"k": 1}


# ---- the override lookup --------------------------------------------------------------

class ReplacesBases:
    """A dict key that compares equal to nothing but, once armed, does its
    `action` from inside the dict lookup: reassigns its class's __bases__
    (freeing the old MRO), or raises."""

    def __init__(self, name, action="rebase"):
        self.name, self.action, self.owner, self.armed = name, action, None, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            if self.action == "raise":
                raise Boom("compared")
            self.owner.__bases__ = self.owner.__bases__
        return False


# Each class's own code calling one of its overridable methods.
OVERRIDE_LOOKUPS = [(e.cls, e.args, *e.internal_call) for e in CLASSES if e.internal_call]


@pytest.mark.filterwarnings("ignore:non-string key")
@pytest.mark.parametrize("base, args, name, use", OVERRIDE_LOOKUPS, ids=[r[2] for r in OVERRIDE_LOOKUPS])
def test_mro_replaced_during_the_override_lookup(base, args, name, use):
    key = ReplacesBases(name)
    # Many bases make an MRO tuple that a reassignment really frees.
    mixins = [type(f"M{i}", (), {}) for i in range(25)]
    cls = type("Sub", (base, *mixins), {key: 1})
    key.owner = cls
    obj = cls(*args)
    cls.x = 1  # a new version tag: the next lookup walks the MRO again
    key.armed = True
    use(obj)
    assert not key.armed
    usable(obj)


@pytest.mark.filterwarnings("ignore:non-string key")
@pytest.mark.parametrize("where", ["class", "instance"])
@pytest.mark.parametrize("base, args, name, use", OVERRIDE_LOOKUPS, ids=[r[2] for r in OVERRIDE_LOOKUPS])
def test_a_lookup_that_raises_fails_the_operation(base, args, name, use, where):
    key = ReplacesBases(name, "raise")
    cls = type("Sub", (base,), {key: 1} if where == "class" else {})
    obj = cls(*args)
    if where == "instance":
        obj.__dict__[key] = 1
    cls.x = 1
    key.armed = True
    with pytest.raises(Boom, match="compared"):
        use(obj)
    usable(obj)


# ---- a failure at any step of a computation ---------------------------------------------


FAILING_STEPS = ["attribute", "add", "radd", "sub", "rsub", "truediv", "rtruediv", "lt", "gt", "float", "int", "index", "floor",
                 "bool"]


class Operand:
    """A number that raises Boom from one chosen operation; every other
    operation works on `value` and hands on an Operand that fails the same way."""

    def __init__(self, value, fail):
        self.value, self.fail = value, fail

    def _do(self, op, *others):
        if op == self.fail:
            raise Boom(op)
        plain = [o.value if isinstance(o, Operand) else o for o in others]
        return getattr(self.value, f"__{op}__")(*plain)

    def _wrap(op):
        def method(self, *others):
            result = self._do(op, *others)
            return Operand(result, self.fail) if isinstance(result, (int, float)) and op not in ("lt", "gt") else result
        return method

    for _op in ("add", "radd", "sub", "rsub", "truediv", "rtruediv", "lt", "gt"):
        locals()[f"__{_op}__"] = _wrap(_op)
    del _op

    def __float__(self):
        return float(self._do("float"))

    def __int__(self):
        return int(self._do("int"))

    def __index__(self):
        return int(self._do("index"))

    def __floor__(self):
        self._do("add", 0)  # keeps __floor__ apart from the operations it does not use
        if self.fail == "floor":
            raise Boom("floor")
        return int(self.value // 1)

    def __bool__(self):
        return bool(self._do("bool"))


def _armed(obj, operand):
    """Objects are made with ordinary values; the Operand arrives afterwards."""
    obj.operand = operand
    return obj


def _operand_of(obj, default):
    """The armed Operand (or `default` before arming); reading it fails at the step "attribute"."""
    operand = obj.__dict__.get("operand", default)
    if isinstance(operand, Operand) and operand.fail == "attribute":
        raise Boom("attribute")
    return operand


def _replaced(base, kind, name, args, value, use, fail):
    """An instance of a subclass whose property or method `name` hands over an
    Operand (once armed), and the operation `use` on it."""
    if kind == "property":
        attr = property(lambda self: _operand_of(self, 0.0))
    else:
        def attr(self, *a):
            return _operand_of(self, 1.0)
    obj = _armed(type("Hostile", (base,), {name: attr})(*args), Operand(value, fail))
    return lambda: use(obj)


def _clock(fail, use):
    def run():
        saved = timers.perf_counter
        timers.perf_counter = lambda: Operand(10.0, fail)
        try:
            return use()
        finally:
            timers.perf_counter = saved
    return run


def _cell_record(fail, item):
    cell = glidecell._GlideCell(lerp, 1.0, 0.0)
    record = [5.0, 1e9, 2.0]
    record[item] = Operand(record[item], fail)
    cell.__setstate__((1.0, lerp, False, tuple(record), 0.0))
    return lambda: (cell.get_value(), cell.progress)


VT, FT, GC = timers.VariableTimer, timers.FixedTimer, glidecell.GlideCell

# Where Python code hands the class a value: (class, what replaces it, its name,
# constructor arguments, the Operand's value, the operation run).
REPLACED = {
    "VariableTimer.last_time -> progress": (VT, "property", "last_time", (1.0,), 0.5, lambda t: t.progress),
    "VariableTimer.interval -> attempt": (VT, "property", "interval", (0.0,), 0.5, lambda t: t.attempt()),
    "VariableTimer.interval -> progress": (VT, "property", "interval", (1.0,), 0.5, lambda t: t.progress),
    "VariableTimer.interval -> __init__": (VT, "property", "interval", (1.0,), 0.5, lambda t: t.__init__(1.0)),
    "VariableTimer.get_interval -> interval": (VT, "method", "get_interval", (1.0,), 0.5, lambda t: t.interval),
    "VariableTimer.get_progress -> progress": (VT, "method", "get_progress", (1.0,), 0.5, lambda t: t.progress),
    "FixedTimer.ideal_ticks -> attempt": (FT, "property", "ideal_ticks", (1.0,), 3.5, lambda t: t.attempt()),
    "FixedTimer.ideal_ticks -> progress": (FT, "property", "ideal_ticks", (1.0,), 3.5, lambda t: t.progress),
    "FixedTimer.tick -> progress": (FT, "property", "tick", (1.0,), 2, lambda t: t.progress),
    "FixedTimer.get_ideal_ticks -> ideal_ticks": (FT, "method", "get_ideal_ticks", (1.0,), 3.5,
                                                  lambda t: t.ideal_ticks),
    "FixedTimer.get_progress_by_tick -> progress": (FT, "method", "get_progress_by_tick", (1.0,), 0.5,
                                                    lambda t: t.progress),
    "GlideCell._get_delay -> set_value": (GC, "method", "_get_delay", (lerp, 1.0), 0.5, lambda c: c.set_value(1.0)),
    "GlideCell._get_progress -> get_value": (GC, "method", "_get_progress", (lerp, 1.0, 0.0), 0.5,
                                             lambda c: (c.set_value(1.0), c.get_value())),
    "Flag.value -> bool": (flag.Flag, "property", "value", (), 1, bool),
}

HOSTILE_ENTRIES = {
    **{name: (lambda f, row=row: _replaced(*row, f)) for name, row in REPLACED.items()},
    "clock -> VariableTimer": lambda f: _clock(f, lambda: (VT(1.0).progress, VT(1.0).attempt())),
    "clock -> FixedTimer": lambda f: _clock(f, lambda: FT(1.0)),
    "GlideCell record end -> get_value": lambda f: _cell_record(f, 1),
    "GlideCell record delay -> get_value": lambda f: _cell_record(f, 2),
    "GlideCell flash -> __init__": lambda f: lambda: glidecell._GlideCell(lerp, 1.0, 0.0, Operand(1, f)),
    "Mean.extend": lambda f: lambda: mean.Mean().extend([1.0, Operand(2.0, f)]),
    "Mean +=": lambda f: lambda: mean.Mean().__iadd__(Operand(2.0, f)),
}


@pytest.mark.parametrize("entry", HOSTILE_ENTRIES)
def test_a_failing_step_raises_its_own_error(entry):
    raised = set()
    for fail in FAILING_STEPS:
        run = HOSTILE_ENTRIES[entry](fail)
        try:
            run()
        except Boom:
            raised.add(fail)
        # A step whose failure was taken for success leaves the exception set;
        # the next call that checks its result reports it as SystemError.
        len(())
    assert raised, "the entry point never reached the operand"


# ---- module globals ----------------------------------------------------------------

GLOBAL_READS = [
    (timers, "perf_counter", lambda: timers.FixedTimer(0.5), lambda o: o.ideal_ticks),
    (timers, "gcv", lambda: timers.VariableTimer(0.5), lambda o: o.interval),
    (glidecell, "time", lambda: glidecell._GlideCell(max, 1.0), lambda o: o.get_value()),
]


@pytest.mark.filterwarnings("ignore:non-string key")
@pytest.mark.parametrize("module, name, make, use", GLOBAL_READS, ids=[r[1] for r in GLOBAL_READS])
def test_a_global_lookup_that_raises_fails_the_operation(monkeypatch, module, name, make, use):
    # In place of the global, a key of the same hash whose comparison raises:
    # the error must come out as Python's own global lookup lets it, not fall
    # through to builtins or become a NameError.
    obj = make()
    key = ReplacesBases(name, "raise")
    monkeypatch.delitem(vars(module), name)
    monkeypatch.setitem(vars(module), key, 1)
    key.armed = True
    with pytest.raises(Boom, match="compared"):
        use(obj)
    monkeypatch.undo()
    usable(obj)
