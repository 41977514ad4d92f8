"""What the tests share: the catalogue, each class of the package once (an
`Entry`: its constructor, signature, layout, pickled members, methods,
published table, read-only properties, a sample, a subclass whose
replacements the class's own code must call, and every public operation by
row), and the helpers for clocks, pickled states, child interpreters, what
the interpreter can do, and published tables.

Every test that goes over all classes reads the catalogue (types, override
table, docs, pickle, leaks, allocation failures, fuzz, re-entrancy): a new
method is one edit of its class's entry, a new class one new entry."""

import copy
import hashlib
import math
import os
import re
import subprocess
import sys
import textwrap
from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path
from typing import Any, Callable

from Quillmoor.utils import easing, flag, glidecell, mean, timers
from Quillmoor.utils.calculated_value import CalculatedValue

from nomemory_child import round_trip  # noqa: F401 (one pickle round trip for all)


def lerp(a, b, p):
    return a + (b - a) * p


def half():
    return 0.5


# ---- clocks -----------------------------------------------------------------------


class Clock:
    """A stand-in for perf_counter, or for glidecell's time module, that returns whatever the test sets.

    Counts its reads; a hook the test sets runs once, inside the next read, before the reading is taken."""

    def __init__(self, now=0.0):
        self.now, self.reads, self.hook = now, 0, None

    def __call__(self):
        self.reads += 1
        if self.hook:
            hook, self.hook = self.hook, None
            hook()
        return self.now

    perf_counter = __call__  # glidecell reads the clock as time.perf_counter()


NOW = 10.0  # what the catalogue's clocks read


def now():
    return NOW


class FixedTime:
    perf_counter = staticmethod(now)


# Every module global the classes read the time from, and what the catalogue puts there.
FIXED_CLOCKS = [(timers, "perf_counter", now), (glidecell, "time", FixedTime())]


def fix_clocks():
    for module, name, value in FIXED_CLOCKS:
        setattr(module, name, value)


# ---- pickled state ------------------------------------------------------------------


def expected_checksums(names):
    """A class's three checksums, which follow from its pickled members' names: the first seven hex
    digits of the SHA-256, SHA-1 and MD5 digests of the names, sorted and joined by single spaces.

    A new class's ClassDef states them; test_pickle names them when they are wrong."""
    text = " ".join(sorted(names)).encode()
    return [int(h(text).hexdigest()[:7], 16) for h in (hashlib.sha256, hashlib.sha1, hashlib.md5)]


def state(obj):
    """The pickled state of `obj` by member name, and a subclass instance's dict under "__dict__".

    Reads both forms of __reduce__: (func, (cls, checksum, state)) and (func, (cls, checksum, None), state)."""
    _, args, *rest = obj.__reduce__()
    items = rest[0] if rest else args[2]
    names = next(MEMBERS[c] for c in type(obj).__mro__ if c in MEMBERS)
    named = dict(zip(names, items))
    if len(items) > len(names):
        named["__dict__"] = items[len(names)]
    return named


def state_tuple(obj):
    """The state as __setstate__ takes it."""
    return tuple(state(obj).values())


def reconstructor(cls):
    return getattr(sys.modules[cls.__module__], "__pyx_unpickle_" + cls.__name__)


def unpickle(obj):
    """The reconstruction that pickling `obj` would make, run on its own."""
    func, args, *rest = obj.__reduce__()
    o = func(*args)
    if rest:
        o.__setstate__(rest[0])
    return o


def with_dict(obj):
    obj.extra = [1, 2]
    return obj


# ---- objects the operations work on ---------------------------------------------------


def behind():
    """A fixed timer whose clock is 20 ticks ahead of its count."""
    t = timers.FixedTimer(0.5, 3)
    t.__setstate__((0, 0.5, 3, 0.0))
    return t


def gliding(cls=glidecell._GlideCell, func=lerp):
    c = cls(func, 4.0, 1.0)
    c.set_value(9.0)  # at NOW, ending at NOW + delay
    return c


def ended():
    c = gliding()
    c.__setstate__((4.0, lerp, False, (9.0, NOW - 1, 4.0), 1.0))
    return c


class Record:
    """A glide record that is only iterable."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


def gliding_with(record, kind):
    c = gliding()
    c.__setstate__((4.0, lerp, False, kind(record), 1.0))
    return c


def with_block(f):
    with f:
        return bool(f), f.value


def iadd(m):
    m += 2.5
    return m


# ---- subclasses whose replacements the classes' own code must call ---------------------


class SubVariable(timers.VariableTimer):
    def get_interval(self):
        return 0.25

    def get_progress(self):
        return 0.5


class SubFixed(timers.FixedTimer):
    def get_ideal_ticks(self):
        return 30.0

    def get_progress_by_tick(self, tick):
        return 0.75


class SubCell(glidecell.GlideCell):
    def _get_progress(self, now):
        return 0.5

    def _get_delay(self):
        return 2.0


class SubCellValue(glidecell._GlideCell):
    def _get_value(self, now):
        return ("override", now)

    def _set_value(self, value, flash):
        self.seen = value


class SubMean(mean.Mean):
    def add(self, value):
        return mean.Mean.add(self, value + 1)

    def get_value(self):
        return "override"


class SubFlag(flag.Flag):
    @property
    def value(self):
        return 2


class BadFlag(flag.Flag):
    value = "not a number"


# ---- the catalogue ------------------------------------------------------------------


@dataclass(frozen=True)
class Op:
    """One public operation: `setup` runs unhindered and makes what `run` works
    on (nothing, for a row that makes its own object); `run` is the operation."""

    name: str
    setup: Callable[[], Any]
    run: Callable[[Any], Any]


def op(name, setup, run):
    return Op(name, setup or (lambda: None), run)


SELF = object()  # a slot's built-in result that is the instance it was called on


@dataclass(frozen=True)
class Slot:
    """A slot of a published table: its method, its C result and argument types after the instance
    ("O" an object, "f" a float, "d" a double; skip_dispatch follows), the arguments, and the
    built-in's result on the entry's `table_state` with the clocks at NOW."""

    name: str
    result: str
    params: list
    args: tuple
    builtin: Any


@dataclass(frozen=True, kw_only=True)
class Entry:
    """One class of the package, as every test that goes over all of them reads it."""

    cls: type
    args: tuple = ()  # the constructor's required arguments
    signature: str  # inspect.signature(cls)
    members: dict  # the pickled members in state order, each with its kind: "i32", "f32", "bool", "object"
    weakrefs: bool  # whether instances take weak references
    methods: list  # the function objects the module body puts in the class dict, in order
    table: list = field(default_factory=list)  # the published table's slots (Slot), in order
    table_state: tuple = ()  # the pickled state the table's slots are called on
    read_only: list  # the properties that refuse assignment
    sample: Callable[[], Any]  # an instance with every member away from its default
    subclass: type  # overriding what the class's own code calls
    internal_call: tuple = ()  # (an overridable method, an operation whose built-in code calls it)
    operations: list = field(default_factory=list)

    def make(self):
        return self.cls(*self.args)

    @property
    def module(self):
        return self.cls.__module__.rpartition(".")[2]


def _cell_sample():
    c = glidecell._GlideCell(max, 1.5, 4.0, True)
    c.set_value(9.0, flash=False)
    return c


def _flag_sample():
    f = flag.Flag()
    f.__enter__()
    f.__enter__()
    return f


VT = Entry(
    cls=timers.VariableTimer,
    signature="(interval=0)",
    members={"_interval": "object", "_last_time": "f32", "_next_time": "f32"},
    weakrefs=True,
    methods=["attempt", "get_interval", "get_progress"],
    table=[
        Slot("attempt", "O", [], (), False),
        Slot("get_interval", "f", [], (), 0.5),
        Slot("get_progress", "f", [], (), 2.0),
    ],
    table_state=(0.5, 0.0, 10.5),  # interval 0.5, last fired at 0.0, due at 10.5
    read_only=["interval", "last_time", "progress"],
    sample=lambda: timers.VariableTimer(2.5),
    subclass=SubVariable,
    internal_call=("get_interval", lambda t: t.interval),
    operations=[
        op("VariableTimer()", None, lambda _: timers.VariableTimer(0.5)),
        op("VariableTimer(interval=CalculatedValue)", None,
           lambda _: timers.VariableTimer(interval=CalculatedValue(half)).interval),
        op("VariableTimer.__init__", lambda: timers.VariableTimer(1), lambda t: (t.__init__(0.25), t)),
        op("VariableTimer.attempt", lambda: timers.VariableTimer(0), lambda t: (t.attempt(), t)),
        op("VariableTimer.attempt (waiting)", lambda: timers.VariableTimer(5), lambda t: (t.attempt(), t)),
        op("VariableTimer.get_interval", lambda: timers.VariableTimer(CalculatedValue(half)), lambda t: t.get_interval()),
        op("VariableTimer.get_progress", lambda: timers.VariableTimer(2), lambda t: t.get_progress()),
        op("VariableTimer.interval", lambda: timers.VariableTimer(2), lambda t: t.interval),
        op("VariableTimer.last_time", lambda: timers.VariableTimer(2), lambda t: t.last_time),
        op("VariableTimer.progress", lambda: timers.VariableTimer(2), lambda t: t.progress),
        op("VariableTimer subclass()", None, lambda _: SubVariable(1)),
        op("VariableTimer subclass.attempt", lambda: SubVariable(0), lambda t: (t.attempt(), t)),
        op("VariableTimer subclass.interval", lambda: SubVariable(0), lambda t: t.interval),
        op("VariableTimer subclass.progress", lambda: SubVariable(0), lambda t: t.progress),
        # error paths: the message is made while allocations fail
        op("VariableTimer(unresolvable)", None, lambda _: timers.VariableTimer("x")),
        op("VariableTimer(keyword twice)", None, lambda _: timers.VariableTimer(1, interval=2)),
        op("VariableTimer.attempt(argument)", lambda: timers.VariableTimer(1), lambda t: t.attempt(1)),
    ])

FT = Entry(
    cls=timers.FixedTimer,
    args=(1.0,),
    signature="(interval, max_lag=10)",
    members={"_count": "i32", "_interval": "f32", "_max_lag": "i32", "_start_time": "f32"},
    weakrefs=True,
    methods=["attempt", "get_ideal_ticks", "get_progress_by_tick"],
    table=[
        Slot("attempt", "O", [], (), True),
        Slot("get_ideal_ticks", "f", [], (), 2.5),
        Slot("get_progress_by_tick", "f", ["O"], (3,), 0.5),
    ],
    table_state=(0, 0.5, 10, 8.75),  # no tick taken, interval 0.5, max_lag 10, started at 8.75
    read_only=["interval", "tick", "ideal_ticks", "progress"],
    sample=lambda: timers.FixedTimer(0.5, 3),
    subclass=SubFixed,
    internal_call=("get_ideal_ticks", lambda t: t.ideal_ticks),
    operations=[
        op("FixedTimer()", None, lambda _: timers.FixedTimer(0.5, max_lag=3)),
        op("FixedTimer.__init__", behind, lambda t: (t.__init__(0.25), t)),
        op("FixedTimer.attempt", behind, lambda t: (t.attempt(), t)),
        op("FixedTimer.attempt (on time)", lambda: timers.FixedTimer(1), lambda t: (t.attempt(), t)),
        op("FixedTimer.get_ideal_ticks", behind, lambda t: t.get_ideal_ticks()),
        op("FixedTimer.get_progress_by_tick(int)", behind, lambda t: t.get_progress_by_tick(19)),
        op("FixedTimer.get_progress_by_tick(None)", behind, lambda t: t.get_progress_by_tick(tick=None)),
        op("FixedTimer.get_progress_by_tick(float)", behind, lambda t: t.get_progress_by_tick(19.5)),
        op("FixedTimer.get_progress_by_tick(big int)", behind, lambda t: t.get_progress_by_tick(2**70)),
        op("FixedTimer.interval", behind, lambda t: t.interval),
        op("FixedTimer.tick", behind, lambda t: t.tick),
        op("FixedTimer.ideal_ticks", behind, lambda t: t.ideal_ticks),
        op("FixedTimer.progress", behind, lambda t: t.progress),
        op("FixedTimer subclass.attempt", lambda: SubFixed(0.5), lambda t: (t.attempt(), t)),
        op("FixedTimer subclass.ideal_ticks", lambda: SubFixed(0.5), lambda t: t.ideal_ticks),
        op("FixedTimer subclass.progress", lambda: SubFixed(0.5), lambda t: t.progress),
        op("FixedTimer(negative)", None, lambda _: timers.FixedTimer(-1)),
        op("FixedTimer(bad max_lag)", None, lambda _: timers.FixedTimer(1, "x")),
        op("FixedTimer(huge max_lag)", None, lambda _: timers.FixedTimer(1, 2**40)),
        op("FixedTimer.attempt (no interval)", None, lambda _: timers.FixedTimer.__new__(timers.FixedTimer).attempt()),
        op("FixedTimer.get_progress_by_tick(str)", behind, lambda t: t.get_progress_by_tick("x")),
    ])

CELL = Entry(
    cls=glidecell._GlideCell,
    args=(lerp, 1.0),
    signature="(interpolation_func, delay, default=None, flash=False)",
    members={"_delay": "object", "_interpolation_func": "object", "_is_flash": "bool", "_next": "object",
             "_value": "object"},
    weakrefs=True,
    methods=["_get_value", "get_value", "_set_value", "set_value", "_get_progress", "_get_delay"],
    table=[
        Slot("_get_value", "O", ["d"], (12.0,), 4.0),
        Slot("get_value", "O", [], (), 0.0),
        Slot("_set_value", "O", ["O", "O"], (6.0, True), None),
        Slot("_get_progress", "d", ["d"], (12.0,), 0.5),
        Slot("_get_delay", "d", [], (), 4.0),
    ],
    table_state=(4.0, lerp, False, (8.0, 14.0, 4.0), 0.0),  # gliding from 0.0 at 10.0 to 8.0 at 14.0
    read_only=["progress", "delay", "is_interpolated", "next_value"],
    sample=_cell_sample,
    subclass=SubCellValue,
    internal_call=("_get_value", lambda c: c.get_value()),
    operations=[
        op("_GlideCell()", None, lambda _: glidecell._GlideCell(lerp, 1.0, default=2.0, flash=True)),
        op("GlideCell()", None, lambda _: glidecell.GlideCell(lerp, CalculatedValue(half), 0.0)),
        op("_GlideCell.__init__", gliding, lambda c: (c.__init__(lerp, 2.0), c)),
        op("_GlideCell.set_value", lambda: glidecell._GlideCell(lerp, 4.0, 1.0), lambda c: c.set_value(9.0)),
        op("_GlideCell.set_value (gliding)", gliding, lambda c: c.set_value(5.0)),
        op("_GlideCell.set_value(flash=True)", gliding, lambda c: c.set_value(5.0, flash=True)),
        op("_GlideCell.set_value(flash=False)", gliding, lambda c: c.set_value(5.0, flash=False)),
        op("_GlideCell.set_value(flash=None, other)", gliding, lambda c: c.set_value(5.0, flash=None, other=1)),
        op("_GlideCell.get_value (idle)", lambda: glidecell._GlideCell(lerp, 4.0, 1.0), lambda c: c.get_value()),
        op("_GlideCell.get_value (gliding)", gliding, lambda c: c.get_value()),
        op("_GlideCell.get_value (ended)", ended, lambda c: (c.get_value(), c)),
        op("_GlideCell._get_value", gliding, lambda c: c._get_value(NOW + 1)),
        op("_GlideCell._set_value", gliding, lambda c: (c._set_value(3.0, None), c._set_value(2.0, True), c)),
        op("_GlideCell._get_progress", gliding, lambda c: c._get_progress(NOW + 1)),
        op("_GlideCell._get_delay", gliding, lambda c: c._get_delay()),
        op("_GlideCell.progress", gliding, lambda c: c.progress),
        op("_GlideCell.delay (gliding)", gliding, lambda c: c.delay),
        op("_GlideCell.delay (idle)", lambda: glidecell._GlideCell(lerp, 4.0), lambda c: c.delay),
        op("_GlideCell.is_interpolated", gliding, lambda c: c.is_interpolated),
        op("_GlideCell.next_value", gliding, lambda c: c.next_value),
        op("_GlideCell.is_flash", gliding, lambda c: c.is_flash),
        op("_GlideCell.is_flash =", gliding, lambda c: (setattr(c, "is_flash", 1), c)),
        op("GlideCell subclass.get_value", lambda: gliding(SubCell), lambda c: c.get_value()),
        op("GlideCell subclass.set_value", lambda: gliding(SubCell), lambda c: c.set_value(5.0)),
        op("GlideCell subclass.progress", lambda: gliding(SubCell), lambda c: c.progress),
        op("GlideCell subclass.delay", lambda: SubCell(lerp, 1.0), lambda c: c.delay),
        op("_GlideCell subclass.get_value", lambda: SubCellValue(lerp, 1.0), lambda c: c.get_value()),
        op("_GlideCell subclass.set_value", lambda: SubCellValue(lerp, 1.0), lambda c: (c.set_value(3.0), c.seen)),
        op("_GlideCell.get_value (list record)", lambda: gliding_with((9.0, NOW + 4, 4.0), list), lambda c: c.get_value()),
        op("_GlideCell.get_value (iterator record)", lambda: gliding_with((9.0, NOW + 4, 4.0), Record),
           lambda c: c.get_value()),
        op("_GlideCell.get_value (short record)", lambda: gliding_with((9.0,), list), lambda c: c.get_value()),
        op("_GlideCell.get_value (short tuple record)", lambda: gliding_with((1, 2), tuple), lambda c: c.get_value()),
        op("_GlideCell.delay (list record)", lambda: gliding_with((9.0, NOW + 4, 4.0), list), lambda c: c.delay),
        op("_GlideCell.set_value(flash=1)", gliding, lambda c: c.set_value(1.0, flash=1)),
        op("_GlideCell.is_flash deleted", gliding, lambda c: delattr(c, "is_flash")),
        op("_GlideCell(missing argument)", None, lambda _: glidecell._GlideCell(lerp)),
    ])

MEAN = Entry(
    cls=mean.Mean,
    signature="()",
    members={"_count": "i32", "_sum": "f32"},
    weakrefs=False,
    methods=["add", "extend", "clear", "get_value"],
    table=[
        Slot("add", "O", ["f"], (4.0,), SELF),
        Slot("extend", "O", ["O"], ([4.0],), SELF),
        Slot("clear", "O", [], (), SELF),
        Slot("get_value", "O", [], (), 2.0),
    ],
    table_state=(1, 2.0),
    read_only=["count", "total", "value"],
    sample=lambda: mean.Mean().extend([1.0, 2.5, 0.1]),
    subclass=SubMean,
    internal_call=("add", lambda m: m.extend([1.0, 2.0])),
    operations=[
        op("Mean()", None, lambda _: mean.Mean()),
        op("Mean.__init__", lambda: mean.Mean().add(2), lambda m: (m.__init__(), m)),
        op("Mean.add", mean.Mean, lambda m: m.add(1.5).add(2)),
        op("Mean +=", mean.Mean, iadd),
        op("Mean.extend(list)", mean.Mean, lambda m: m.extend([1.0, 2, 3.5])),
        op("Mean.extend(tuple)", mean.Mean, lambda m: m.extend((1.0, 2))),
        op("Mean.extend(generator)", mean.Mean, lambda m: m.extend(x for x in (1.0, 2))),
        op("Mean.clear", lambda: mean.Mean().add(2), lambda m: m.clear()),
        op("Mean.get_value", lambda: mean.Mean().add(2), lambda m: m.get_value()),
        op("Mean.value", lambda: mean.Mean().add(2), lambda m: m.value),
        op("Mean.count, total, len, bool", lambda: mean.Mean().add(2), lambda m: (m.count, m.total, len(m), bool(m))),
        op("Mean subclass.extend", SubMean, lambda m: m.extend([1.0, 2])),
        op("Mean subclass +=", SubMean, iadd),
        op("Mean subclass.value", SubMean, lambda m: m.value),
        op("Mean.extend(bad item)", mean.Mean, lambda m: m.extend([1.0, "x"])),
        op("Mean.add(None)", mean.Mean, lambda m: m.add(None)),
        op("len(Mean) negative", lambda: reconstructor(mean.Mean)(mean.Mean, CHECKSUMS[mean.Mean][0], (-1, 0.0)), len),
    ])

FLAG = Entry(
    cls=flag.Flag,
    signature="()",
    members={"_depth": "i32"},
    weakrefs=False,
    methods=["__enter__", "__exit__"],
    read_only=["value"],
    sample=_flag_sample,
    subclass=SubFlag,
    operations=[
        op("Flag()", None, lambda _: flag.Flag()),
        op("Flag.__init__", flag.Flag, lambda f: (f.__init__(), f)),
        op("Flag with-block", flag.Flag, with_block),
        op("Flag.__enter__, Flag.__exit__", flag.Flag, lambda f: (f.__enter__(1, a=2), f.__exit__(None, None, None), f)),
        op("Flag bool, value", flag.Flag, lambda f: (bool(f), f.value)),
        op("Flag subclass bool", SubFlag, bool),
        op("Flag subclass with a value that is no number", BadFlag, bool),
        op("Flag(argument)", None, lambda _: flag.Flag(1)),
    ])

CLASSES = [VT, FT, CELL, MEAN, FLAG]
ENTRY = {e.cls: e for e in CLASSES}
MEMBERS = {e.cls: list(e.members) for e in CLASSES}
CHECKSUMS = {cls: expected_checksums(names) for cls, names in MEMBERS.items()}


def pickling_operations(entry):
    """The pickling rows every class has: on a sample, and on a subclass instance with a dict."""
    cls, sample, sub = entry.cls, entry.sample, entry.subclass
    name = cls.__name__
    good = state_tuple(sample())
    bad = tuple("x" if kind in ("i32", "f32") else item for kind, item in zip(entry.members.values(), good))
    return [
        op(f"{name}.__reduce__", sample, lambda o: o.__reduce__()),
        op(f"{name}.__setstate__", lambda: cls.__new__(cls), lambda o: (o.__setstate__(good), o)),
        op(f"__pyx_unpickle_{name}", sample, unpickle),
        op(f"{name} copy.copy", sample, copy.copy),
        op(f"{name} copy.deepcopy", sample, copy.deepcopy),
        op(f"{name} pickle", sample, round_trip),
        op(f"{name} subclass pickle", lambda: with_dict(sub(*entry.args)), round_trip),
        op(f"{name} subclass __pyx_unpickle", lambda: with_dict(sub(*entry.args)), unpickle),
        # error paths
        op(f"{name}.__setstate__(short)", sample, lambda o: o.__setstate__(good[:1])),
        op(f"{name}.__setstate__(list)", sample, lambda o: o.__setstate__(list(good))),
        op(f"{name}.__setstate__(bad item)", sample, lambda o: o.__setstate__(bad)),
        op(f"{name}.__setstate__(bad dict)", sample, lambda o: o.__setstate__(good + ({"a": 1},))),
        op(f"__pyx_unpickle_{name} (checksum error)", None, lambda _: reconstructor(cls)(cls, 1, None)),
    ]


EASING_OPERATIONS = [
    op("curve(floats)", lambda: easing.elastic_out, lambda c: c(1.0, 3.0, 0.25)),
    op("curve(ints)", lambda: easing.quad_in, lambda c: c(1, 3, 1)),
    op("curve(Fraction)", lambda: easing.quad_in, lambda c: c(Fraction(1), Fraction(3), Fraction(1, 2))),
    op("curve(big ints)", lambda: easing.linear, lambda c: c(2**70, 2**71, 0.5)),
    op("curve(None, ...)", lambda: easing.bounce_out, lambda c: c(None, 2.0, 0.5)),
    op("curve(keywords)", lambda: easing.sine_in, lambda c: c(start=1.0, target=2.0, progress=0.5)),
    op("curve.at", lambda: easing.back_in_out, lambda c: c.at(0.75)),
    op("cubic_bezier()", None, lambda _: easing.cubic_bezier(0.25, 0.1, 0.25, 1.0)),
    op("bezier(floats)", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1), lambda c: c(0.0, 2.0, 0.3)),
    op("bezier.at", lambda: easing.cubic_bezier(0.1, -0.5, 0.9, 1.5), lambda c: c.at(0.7)),
    op("repr, __text_signature__", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1),
       lambda c: (repr(c), repr(easing.linear), c.__text_signature__)),
    op("hash, ==", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1),
       lambda c: (hash(c), c == easing.cubic_bezier(0.42, 0, 0.58, 1), c == easing.linear)),
    op("__reduce__", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1), lambda c: (c.__reduce__(), easing.quad_in.__reduce__())),
    op("pickle named", lambda: easing.quad_out, round_trip),
    op("pickle bezier", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1), round_trip),
    op("copy.deepcopy bezier", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1), copy.deepcopy),
    op("GlideCell(curve).get_value", lambda: gliding(glidecell.GlideCell, easing.cubic_out), lambda c: c.get_value()),
    op("steps()", None, lambda _: (easing.steps(4), easing.steps(n=3, position="jump-none"))),
    op("steps curve", lambda: easing.steps(5, "jump-both"), lambda c: (c(1.0, 3.0, 0.3), repr(c), hash(c))),
    op("linear_stops()", None, lambda _: easing.linear_stops(0, (0.5, 0.2, 0.8), 0.7, 1)),
    op("linear_stops curve", lambda: easing.linear_stops(0, (0.25, 0.75), 1),
       lambda c: (c.at(0.5), repr(c), hash(c), c == easing.linear_stops(0, (0.25, 0.75), 1))),
    op("pickle linear_stops", lambda: easing.linear_stops(0.2, 0.8), round_trip),
    # tuple(map()): a comprehension's failed append trips the debug interpreter's own frame check.
    op("from_css()", None, lambda _: tuple(map(easing.from_css, (
        "ease-in", "cubic-bezier(.1, .2, .3, .4)", "steps(2, start)", "linear(0, 0.3 20% 40%, 1)",
        "linear(" + ", ".join(["0.5"] * 20) + ")")))),
    op("help text", lambda: easing.ease, lambda c: (c.__doc__, easing.Curve.__doc__, easing.from_css.__doc__)),
    op("family methods", None, lambda _: (easing.poly_in.exponent(2.5), easing.back_out.overshoot(s=2),
                                          easing.elastic_in.amplitude(1.5).period(0.2))),
    op("family curve", lambda: easing.elastic_in_out.amplitude(2).period(0.4),
       lambda c: (c(1.0, 3.0, 0.3), c.at(0.7), repr(c), hash(c), c == c.period(0.4), c.__doc__)),
    op("pickle family", lambda: easing.elastic_out.amplitude(1.5).period(0.2), round_trip),
    op("pickle poly", lambda: easing.poly_out.exponent(0.5), round_trip),
    # error paths
    op("family method(bad)", None, lambda _: easing.poly_in.exponent(-1)),
    op("family method(not a number)", None, lambda _: easing.elastic_in.period("x")),
    op("steps(bad)", None, lambda _: easing.steps(2, "middle")),
    op("linear_stops(bad stop)", None, lambda _: easing.linear_stops(0, (1, 2, 3, 4))),
    op("from_css(bad)", None, lambda _: easing.from_css("cubic-bezier(2, 0, 1, 1)")),
    op("from_css(syntax)", None, lambda _: easing.from_css("linear(0, 50% 0.5 60%, 1)")),
    op("curve(missing argument)", lambda: easing.quad_in, lambda c: c(1.0, 2.0)),
    op("curve(bad progress)", lambda: easing.quad_in, lambda c: c(1.0, 2.0, "x")),
    op("curve(bad operands)", lambda: easing.quad_in, lambda c: c("a", "b", 0.5)),
    op("cubic_bezier(bad x1)", None, lambda _: easing.cubic_bezier(2.0, 0, 1, 1)),
    op("cubic_bezier(bad y2)", None, lambda _: easing.cubic_bezier(0.0, 0, 1, math.inf)),
    op("_primitive()", None, lambda _: (easing._primitive("exp2m1", 0.5), easing._primitive(x=1.0, name="sin_quarter"))),
    op("_primitive(unknown)", None, lambda _: easing._primitive("tan_quarter", 0.5)),
]

def built_modules():
    """The package's extension modules, as the build lists them (CMakeLists.txt, QM_MODULES)."""
    text = (Path(__file__).resolve().parent.parent / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"^set\(QM_MODULES ([^)]*)\)", text, re.M).group(1).split()


MODULES = built_modules()

# The operations of a module beyond those of its classes' entries.
MODULE_OPERATIONS = {"easing": EASING_OPERATIONS}

# Every public operation by module, as the allocation-failure children run them.
OPERATIONS = {
    m: [row for e in CLASSES if e.module == m for row in e.operations + pickling_operations(e)]
    + MODULE_OPERATIONS.get(m, [])
    for m in MODULES
}


def utils_module(name):
    return sys.modules[f"Quillmoor.utils.{name}"]


def functions():
    """(module, owner class or None, name, object) for every callable the
    package defines: the methods in its classes' dicts and its module-level
    functions."""
    out = []
    for m in map(utils_module, MODULES):
        for name, obj in vars(m).items():
            if isinstance(obj, type) and obj.__module__ == m.__name__:
                out += [(m, obj, n, f) for n, f in vars(obj).items() if callable(f) and not isinstance(f, type)]
            elif type(obj).__name__ == "compiled_function":
                out.append((m, None, name, obj))
    return out


# ---- what the interpreter can do -------------------------------------------------------
# The WebAssembly build (Pyodide) runs in one process and one thread, with no
# sub-interpreters.  A test that needs one of these says so, by @needs(...) or
# by calling need(), and is skipped, with that reason, where it is missing.


def _starts_processes():
    try:
        subprocess.run([sys.executable, "-c", ""], capture_output=True, timeout=60, check=True)
    except OSError:
        return False
    return True


def _starts_threads():
    import threading

    t = threading.Thread(target=lambda: None)
    try:
        t.start()
    except RuntimeError:
        return False
    t.join()
    return True


def _has_subinterpreters():
    import importlib.util

    return importlib.util.find_spec("_interpreters") is not None


CAPABILITIES = {"processes": _starts_processes, "threads": _starts_threads, "sub-interpreters": _has_subinterpreters}
_found = {}


def need(capability):
    """Skips the running test unless the interpreter has `capability` (a key of CAPABILITIES)."""
    if capability not in _found:
        _found[capability] = CAPABILITIES[capability]()
    if not _found[capability]:
        import pytest

        pytest.skip(f"needs {capability}")


# ---- processes and published tables ----------------------------------------------------


def build_dir():
    d = os.environ.get("QM_BUILD_DIR")
    return Path(d) if d else None


def run_python(code, *, env_extra=None, check=True):
    """Runs `code` in a fresh interpreter with the same package on its path."""
    need("processes")
    env = dict(os.environ)
    env.update(env_extra or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def vtable_entries(cls):
    """The addresses in the class's published table, up to the null that ends it."""
    import ctypes

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(cls.__dict__["__pyx_vtable__"], None)
    entries = []
    while address := ctypes.c_void_p.from_address(table + len(entries) * ctypes.sizeof(ctypes.c_void_p)).value:
        entries.append(address)
    return entries


def vtable_slot(cls, index, restype, *argtypes):
    """Slot `index` of the class's published table, callable from Python."""
    import ctypes

    # PYFUNCTYPE: the call keeps the interpreter lock, as compiled callers do.
    return ctypes.PYFUNCTYPE(restype, ctypes.py_object, *argtypes)(vtable_entries(cls)[index])
