"""Allocation failures.  Every public operation, and the first import of
every module, runs once for each allocation it makes with exactly that
allocation failing (_testcapi.set_nomemory(N, N + 1)), N = 0, 1, 2, ... until
the operation completes with every allocation from N on failing.  Each run
must end in a clean exception (MemoryError, an exception it caused, the
exception the operation raises anyway, or during an import one raised by the
standard library's Python code, which can lose a MemoryError) or in the
normal result; never a crash, a SystemError or a half-made module.

The operations run in child processes, one per module, which report each
operation and failure point before running it, so a crash names both.  Each
import attempt runs in a process forked for it, followed there by a second,
unhindered import that must give the complete module.

Under the debug interpreter (./dev check) the interpreter's own assertions
watch every error path and each failed run must leave no reference behind;
under the sanitizers every freed block is watched."""

import copy
import json
import math
import os
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest

from conftest import CHECKSUMS, lerp
from Quillmoor.utils import easing, flag, glidecell, mean, timers
from Quillmoor.utils.calculated_value import CalculatedValue

from nomemory_child import round_trip

pytest.importorskip("_testcapi")

CHILD = Path(__file__).with_name("nomemory_child.py")
NOW = 10.0


def now():
    return NOW


class FixedTime:
    perf_counter = staticmethod(now)


def fix_clocks():
    timers.perf_counter = now
    glidecell.time = FixedTime()


def half():
    return 0.5


# ---- subclasses whose overrides the classes' own code must call ---------------------


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


def gliding(cls=glidecell._GlideCell):
    c = cls(lerp, 4.0, 1.0)
    c.set_value(9.0)  # at NOW, ending at NOW + delay
    return c


def ended():
    c = gliding()
    c.__setstate__((4.0, lerp, False, (9.0, NOW - 1, 4.0), 1.0))
    return c


def behind():
    """A fixed timer whose clock is 20 ticks ahead of its count."""
    t = timers.FixedTimer(0.5, 3)
    t.__setstate__((0, 0.5, 3, 0.0))
    return t


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


def with_dict(obj):
    obj.extra = [1, 2]
    return obj


def reconstruct(obj):
    """The reconstruction call that pickling would make, and the state it would set."""
    func, args, *rest = obj.__reduce__()
    return func, args, rest[0] if rest else None


def unpickle(obj):
    func, args, state = reconstruct(obj)

    def run(_):
        o = func(*args)
        if state is not None:
            o.__setstate__(state)
        return o

    return run


def checksum_error(o):
    return flag.__pyx_unpickle_Flag(flag.Flag, 1, None)


def with_block(f):
    with f:
        return bool(f), f.value


def iadd(m):
    m += 2.5
    return m


# The operations on each class, the public surface by row: (name, setup, run).
# `setup` runs unhindered and makes what `run` works on; `run` is what the
# failing allocations hit.  Results are compared by their pickled form.
OBJECT_OPERATIONS = {
    "timers": [
        ("VariableTimer()", lambda: None, lambda _: timers.VariableTimer(0.5)),
        ("VariableTimer(interval=CalculatedValue)", lambda: None,
         lambda _: timers.VariableTimer(interval=CalculatedValue(half)).interval),
        ("VariableTimer.__init__", lambda: timers.VariableTimer(1), lambda t: (t.__init__(0.25), t)),
        ("VariableTimer.attempt", lambda: timers.VariableTimer(0), lambda t: (t.attempt(), t)),
        ("VariableTimer.attempt (waiting)", lambda: timers.VariableTimer(5), lambda t: (t.attempt(), t)),
        ("VariableTimer.get_interval", lambda: timers.VariableTimer(CalculatedValue(half)), lambda t: t.get_interval()),
        ("VariableTimer.get_progress", lambda: timers.VariableTimer(2), lambda t: t.get_progress()),
        ("VariableTimer.interval", lambda: timers.VariableTimer(2), lambda t: t.interval),
        ("VariableTimer.last_time", lambda: timers.VariableTimer(2), lambda t: t.last_time),
        ("VariableTimer.progress", lambda: timers.VariableTimer(2), lambda t: t.progress),
        ("VariableTimer.__reduce__", lambda: timers.VariableTimer(2), lambda t: t.__reduce__()),
        ("VariableTimer.__setstate__", lambda: timers.VariableTimer(2), lambda t: (t.__setstate__((3, 1.0, 2.0)), t)),
        ("__pyx_unpickle_VariableTimer", lambda: timers.VariableTimer(2), lambda t: unpickle(t)(None)),
        ("VariableTimer copy.copy", lambda: timers.VariableTimer(2), copy.copy),
        ("VariableTimer copy.deepcopy", lambda: timers.VariableTimer(2), copy.deepcopy),
        ("VariableTimer pickle", lambda: timers.VariableTimer(2), round_trip),
        ("VariableTimer subclass()", lambda: None, lambda _: SubVariable(1)),
        ("VariableTimer subclass.attempt", lambda: SubVariable(0), lambda t: (t.attempt(), t)),
        ("VariableTimer subclass.interval", lambda: SubVariable(0), lambda t: t.interval),
        ("VariableTimer subclass.progress", lambda: SubVariable(0), lambda t: t.progress),
        ("VariableTimer subclass pickle", lambda: with_dict(SubVariable(0)), round_trip),
        ("FixedTimer()", lambda: None, lambda _: timers.FixedTimer(0.5, max_lag=3)),
        ("FixedTimer.__init__", behind, lambda t: (t.__init__(0.25), t)),
        ("FixedTimer.attempt", behind, lambda t: (t.attempt(), t)),
        ("FixedTimer.attempt (on time)", lambda: timers.FixedTimer(1), lambda t: (t.attempt(), t)),
        ("FixedTimer.get_ideal_ticks", behind, lambda t: t.get_ideal_ticks()),
        ("FixedTimer.get_progress_by_tick(int)", behind, lambda t: t.get_progress_by_tick(19)),
        ("FixedTimer.get_progress_by_tick(None)", behind, lambda t: t.get_progress_by_tick(tick=None)),
        ("FixedTimer.get_progress_by_tick(float)", behind, lambda t: t.get_progress_by_tick(19.5)),
        ("FixedTimer.get_progress_by_tick(big int)", behind, lambda t: t.get_progress_by_tick(2**70)),
        ("FixedTimer.interval", behind, lambda t: t.interval),
        ("FixedTimer.tick", behind, lambda t: t.tick),
        ("FixedTimer.ideal_ticks", behind, lambda t: t.ideal_ticks),
        ("FixedTimer.progress", behind, lambda t: t.progress),
        ("FixedTimer.__reduce__", behind, lambda t: t.__reduce__()),
        ("FixedTimer.__setstate__", behind, lambda t: (t.__setstate__((1, 0.25, 2, 3.0)), t)),
        ("__pyx_unpickle_FixedTimer", behind, lambda t: unpickle(t)(None)),
        ("FixedTimer copy.copy", behind, copy.copy),
        ("FixedTimer copy.deepcopy", behind, copy.deepcopy),
        ("FixedTimer pickle", behind, round_trip),
        ("FixedTimer subclass.attempt", lambda: SubFixed(0.5), lambda t: (t.attempt(), t)),
        ("FixedTimer subclass.ideal_ticks", lambda: SubFixed(0.5), lambda t: t.ideal_ticks),
        ("FixedTimer subclass.progress", lambda: SubFixed(0.5), lambda t: t.progress),
        ("FixedTimer subclass pickle", lambda: with_dict(SubFixed(0.5)), round_trip),
        # error paths: the message is made while allocations fail
        ("VariableTimer(unresolvable)", lambda: None, lambda _: timers.VariableTimer("x")),
        ("VariableTimer(keyword twice)", lambda: None, lambda _: timers.VariableTimer(1, interval=2)),
        ("FixedTimer(negative)", lambda: None, lambda _: timers.FixedTimer(-1)),
        ("FixedTimer(huge max_lag)", lambda: None, lambda _: timers.FixedTimer(1, 2**40)),
        ("FixedTimer.get_progress_by_tick(str)", behind, lambda t: t.get_progress_by_tick("x")),
        ("FixedTimer.__setstate__(short)", behind, lambda t: t.__setstate__((1,))),
    ],
    "glidecell": [
        ("_GlideCell()", lambda: None, lambda _: glidecell._GlideCell(lerp, 1.0, default=2.0, flash=True)),
        ("GlideCell()", lambda: None, lambda _: glidecell.GlideCell(lerp, CalculatedValue(half), 0.0)),
        ("_GlideCell.__init__", gliding, lambda c: (c.__init__(lerp, 2.0), c)),
        ("_GlideCell.set_value", lambda: glidecell._GlideCell(lerp, 4.0, 1.0), lambda c: c.set_value(9.0)),
        ("_GlideCell.set_value (gliding)", gliding, lambda c: c.set_value(5.0)),
        ("_GlideCell.set_value(flash=True)", gliding, lambda c: c.set_value(5.0, flash=True)),
        ("_GlideCell.set_value(flash=False)", gliding, lambda c: c.set_value(5.0, flash=False)),
        ("_GlideCell.get_value (idle)", lambda: glidecell._GlideCell(lerp, 4.0, 1.0), lambda c: c.get_value()),
        ("_GlideCell.get_value (gliding)", gliding, lambda c: c.get_value()),
        ("_GlideCell.get_value (ended)", ended, lambda c: (c.get_value(), c)),
        ("_GlideCell._get_value", gliding, lambda c: c._get_value(NOW + 1)),
        ("_GlideCell._set_value", gliding, lambda c: (c._set_value(3.0, None), c)),
        ("_GlideCell._get_progress", gliding, lambda c: c._get_progress(NOW + 1)),
        ("_GlideCell._get_delay", gliding, lambda c: c._get_delay()),
        ("_GlideCell.progress", gliding, lambda c: c.progress),
        ("_GlideCell.delay (gliding)", gliding, lambda c: c.delay),
        ("_GlideCell.delay (idle)", lambda: glidecell._GlideCell(lerp, 4.0), lambda c: c.delay),
        ("_GlideCell.is_interpolated", gliding, lambda c: c.is_interpolated),
        ("_GlideCell.next_value", gliding, lambda c: c.next_value),
        ("_GlideCell.is_flash", gliding, lambda c: c.is_flash),
        ("_GlideCell.is_flash =", gliding, lambda c: (setattr(c, "is_flash", 1), c)),
        ("_GlideCell.__reduce__", gliding, lambda c: c.__reduce__()),
        ("_GlideCell.__setstate__", gliding,
         lambda c: (c.__setstate__((1.0, lerp, True, (2.0, 3.0, 4.0), 5.0)), c)),
        ("__pyx_unpickle__GlideCell", gliding, lambda c: unpickle(c)(None)),
        ("_GlideCell copy.copy", gliding, copy.copy),
        ("_GlideCell copy.deepcopy", gliding, copy.deepcopy),
        ("_GlideCell pickle", gliding, round_trip),
        ("GlideCell pickle", lambda: with_dict(gliding(glidecell.GlideCell)), round_trip),
        ("GlideCell subclass.get_value", lambda: gliding(SubCell), lambda c: c.get_value()),
        ("GlideCell subclass.set_value", lambda: gliding(SubCell), lambda c: c.set_value(5.0)),
        ("GlideCell subclass.progress", lambda: gliding(SubCell), lambda c: c.progress),
        ("GlideCell subclass.delay", lambda: SubCell(lerp, 1.0), lambda c: c.delay),
        ("_GlideCell subclass.get_value", lambda: SubCellValue(lerp, 1.0), lambda c: c.get_value()),
        ("_GlideCell subclass.set_value", lambda: SubCellValue(lerp, 1.0), lambda c: (c.set_value(3.0), c.seen)),
        ("_GlideCell.get_value (list record)", lambda: gliding_with((9.0, NOW + 4, 4.0), list), lambda c: c.get_value()),
        ("_GlideCell.get_value (iterator record)", lambda: gliding_with((9.0, NOW + 4, 4.0), Record),
         lambda c: c.get_value()),
        ("_GlideCell.get_value (short record)", lambda: gliding_with((9.0,), list), lambda c: c.get_value()),
        ("_GlideCell.delay (list record)", lambda: gliding_with((9.0, NOW + 4, 4.0), list), lambda c: c.delay),
        ("_GlideCell.set_value(flash=1)", gliding, lambda c: c.set_value(1.0, flash=1)),
        ("_GlideCell(missing argument)", lambda: None, lambda _: glidecell._GlideCell(lerp)),
    ],
    "mean": [
        ("Mean()", lambda: None, lambda _: mean.Mean()),
        ("Mean.__init__", lambda: mean.Mean().add(2), lambda m: (m.__init__(), m)),
        ("Mean.add", mean.Mean, lambda m: m.add(1.5).add(2)),
        ("Mean +=", mean.Mean, iadd),
        ("Mean.extend(list)", mean.Mean, lambda m: m.extend([1.0, 2, 3.5])),
        ("Mean.extend(tuple)", mean.Mean, lambda m: m.extend((1.0, 2))),
        ("Mean.extend(generator)", mean.Mean, lambda m: m.extend(x for x in (1.0, 2))),
        ("Mean.clear", lambda: mean.Mean().add(2), lambda m: m.clear()),
        ("Mean.get_value", lambda: mean.Mean().add(2), lambda m: m.get_value()),
        ("Mean.value", lambda: mean.Mean().add(2), lambda m: m.value),
        ("Mean.count, total, len, bool", lambda: mean.Mean().add(2), lambda m: (m.count, m.total, len(m), bool(m))),
        ("Mean.__reduce__", lambda: mean.Mean().add(2), lambda m: m.__reduce__()),
        ("Mean.__setstate__", mean.Mean, lambda m: (m.__setstate__((2, 3.0)), m)),
        ("__pyx_unpickle_Mean", lambda: mean.Mean().add(2), lambda m: unpickle(m)(None)),
        ("Mean copy.copy", lambda: mean.Mean().add(2), copy.copy),
        ("Mean copy.deepcopy", lambda: mean.Mean().add(2), copy.deepcopy),
        ("Mean pickle", lambda: mean.Mean().add(2), round_trip),
        ("Mean subclass.extend", SubMean, lambda m: m.extend([1.0, 2])),
        ("Mean subclass +=", SubMean, iadd),
        ("Mean subclass.value", SubMean, lambda m: m.value),
        ("Mean subclass pickle", lambda: with_dict(SubMean().extend([1.0])), round_trip),
        ("Mean.extend(bad item)", mean.Mean, lambda m: m.extend([1.0, "x"])),
        ("Mean.add(None)", mean.Mean, lambda m: m.add(None)),
        ("len(Mean) negative", lambda: mean.__pyx_unpickle_Mean(mean.Mean, CHECKSUMS[mean.Mean][0], (-1, 0.0)), len),
    ],
    "flag": [
        ("Flag()", lambda: None, lambda _: flag.Flag()),
        ("Flag.__init__", flag.Flag, lambda f: (f.__init__(), f)),
        ("Flag with-block", flag.Flag, with_block),
        ("Flag.__enter__, __exit__", flag.Flag, lambda f: (f.__enter__(1, a=2), f.__exit__(None, None, None), f)),
        ("Flag bool, value", flag.Flag, lambda f: (bool(f), f.value)),
        ("Flag.__reduce__", flag.Flag, lambda f: f.__reduce__()),
        ("Flag.__setstate__", flag.Flag, lambda f: (f.__setstate__((3,)), f)),
        ("__pyx_unpickle_Flag", lambda: with_dict(SubFlag()), lambda f: unpickle(f)(None)),
        ("__pyx_unpickle_Flag (checksum error)", lambda: None, checksum_error),
        ("Flag copy.copy", flag.Flag, copy.copy),
        ("Flag copy.deepcopy", flag.Flag, copy.deepcopy),
        ("Flag pickle", flag.Flag, round_trip),
        ("Flag subclass bool", SubFlag, bool),
        ("Flag subclass pickle", lambda: with_dict(SubFlag()), round_trip),
        ("Flag(argument)", lambda: None, lambda _: flag.Flag(1)),
        ("Flag.__setstate__(not a tuple)", flag.Flag, lambda f: f.__setstate__([1])),
    ],
    "easing": [
        ("curve(floats)", lambda: easing.elastic_out, lambda c: c(1.0, 3.0, 0.25)),
        ("curve(ints)", lambda: easing.quad_in, lambda c: c(1, 3, 1)),
        ("curve(Fraction)", lambda: easing.quad_in, lambda c: c(Fraction(1), Fraction(3), Fraction(1, 2))),
        ("curve(big ints)", lambda: easing.linear, lambda c: c(2**70, 2**71, 0.5)),
        ("curve(None, ...)", lambda: easing.bounce_out, lambda c: c(None, 2.0, 0.5)),
        ("curve(keywords)", lambda: easing.sine_in, lambda c: c(start=1.0, target=2.0, progress=0.5)),
        ("curve.at", lambda: easing.back_in_out, lambda c: c.at(0.75)),
        ("cubic_bezier()", lambda: None, lambda _: easing.cubic_bezier(0.25, 0.1, 0.25, 1.0)),
        ("bezier(floats)", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1), lambda c: c(0.0, 2.0, 0.3)),
        ("repr, __text_signature__", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1),
         lambda c: (repr(c), repr(easing.linear), c.__text_signature__)),
        ("hash, ==", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1),
         lambda c: (hash(c), c == easing.cubic_bezier(0.42, 0, 0.58, 1), c == easing.linear)),
        ("__reduce__", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1), lambda c: (c.__reduce__(), easing.quad_in.__reduce__())),
        ("pickle named", lambda: easing.quad_out, round_trip),
        ("pickle bezier", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1), round_trip),
        ("copy.deepcopy bezier", lambda: easing.cubic_bezier(0.42, 0, 0.58, 1), copy.deepcopy),
        ("GlideCell(curve).get_value", lambda: gliding_with_curve(easing.cubic_out), lambda c: c.get_value()),
        # error paths
        ("curve(missing argument)", lambda: easing.quad_in, lambda c: c(1.0, 2.0)),
        ("curve(bad progress)", lambda: easing.quad_in, lambda c: c(1.0, 2.0, "x")),
        ("curve(bad operands)", lambda: easing.quad_in, lambda c: c("a", "b", 0.5)),
        ("cubic_bezier(bad x1)", lambda: None, lambda _: easing.cubic_bezier(2.0, 0, 1, 1)),
        ("cubic_bezier(bad y2)", lambda: None, lambda _: easing.cubic_bezier(0.0, 0, 1, math.inf)),
    ],
}


def gliding_with_curve(curve):
    c = glidecell.GlideCell(curve, 4.0, 1.0)
    c.set_value(9.0)
    return c

# ---- the runner -----------------------------------------------------------------------


def run_child(module, skip):
    """Starts a child on `module` from operation `skip` (-1: the import sweep)."""
    read, write = os.pipe()
    mode = ["import", module] if skip < 0 else ["operations", module, str(skip), str(write)]
    args = [sys.executable, *(["-X", "dev"] if sys.flags.dev_mode else []), str(CHILD), *mode]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, pass_fds=(write,))
    os.close(write)
    return proc, os.fdopen(read)


def collect(module, skip=0):
    """{operation: (allocations, faults)} for the operations of `module`, restarting after a crash."""
    results = {}
    table = OBJECT_OPERATIONS[module]
    while skip < len(table):
        proc, progress = run_child(module, skip)
        stdout, stderr = proc.communicate(timeout=600)
        last = progress.read().splitlines()
        progress.close()
        for line in stdout.splitlines():
            if line.startswith("{"):
                r = json.loads(line)
                results[r["op"]] = (r["count"], r["faults"])
        if proc.returncode == 0:
            break
        at = last[-1].split() if last else ["at", str(skip), "?"]
        index = int(at[1])
        results[table[index][0]] = (None, [f"N={at[2]}: crashed ({proc.returncode}): {stderr[-2000:]}"])
        skip = index + 1
    return results


@pytest.fixture(scope="session")
def swept():
    """Sweeps every module's operations and imports, the children running side by side."""
    import concurrent.futures

    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        ops = {m: pool.submit(collect, m) for m in OBJECT_OPERATIONS}
        imports = {m: pool.submit(import_results, m) for m in OBJECT_OPERATIONS}
        out = {}
        for futures in (ops, imports):
            for f in futures.values():
                out.update(f.result())
    return out


def import_results(module):
    proc, progress = run_child(module, -1)
    stdout, stderr = proc.communicate(timeout=600)
    progress.close()
    name = f"import Quillmoor.utils.{module}"
    for line in stdout.splitlines():
        if line.startswith("{"):
            r = json.loads(line)
            return {r["op"]: (r["count"], r["faults"])}
    return {name: (None, [f"import sweep died ({proc.returncode}): {stderr[-2000:]}"])}


@pytest.mark.parametrize("module, name", [(m, row[0]) for m, rows in OBJECT_OPERATIONS.items() for row in rows]
                         + [(m, f"import Quillmoor.utils.{m}") for m in OBJECT_OPERATIONS])
def test_allocation_failures(swept, module, name):
    count, faults = swept[name]
    assert not faults, f"{name}: {len(faults)} faults\n" + "\n".join(faults[:20])
