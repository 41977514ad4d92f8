"""The package against pure Python and against the floor, interleaved in one process.

Every operation runs as a compiled loop that repeats its statement a few
times per pass; the cost of an empty loop of the same shape is subtracted.
Each repeat times every operation once for each implementation, in a shuffled
order, so drifts of the machine spread over all of them alike.  Reported per
operation: ns (median and minimum over the repeats), the ratio to the floor
(medians), the speed-up over pure Python (medians), the floor whose methods
are the interpreter's method descriptors (a reference: the package's methods
cannot be those), and whether the row meets its target.

With --instructions, every operation is also counted in instructions under
callgrind (see instructions()), which repeat exactly where timings are noisy,
and the target is judged on both.

    python bench/run.py [--repeats N] [--json FILE] [--before FILE] [--only SUBSTR] [--instructions]
"""

import argparse
import gc
import json
import math
import os
import pickle
import random
import re
import shutil
import statistics
import struct
import subprocess
import sys
import textwrap
import time
import types
from concurrent.futures import ThreadPoolExecutor

import _qmfloor
import easing_cases
import pure
from Quillmoor.utils import flag, glidecell, mean, timers
from Quillmoor.utils.calculated_value import gcv

# The floor's pickling lives at a module path as deep as the package's own
# (see Pickled in floor.cpp): qmbench.floor.pickling is the floor module.
for _name in ("qmbench", "qmbench.floor"):
    sys.modules[_name] = types.ModuleType(_name)
    sys.modules[_name].__path__ = []
sys.modules["qmbench.floor.pickling"] = _qmfloor
sys.modules["qmbench"].floor = sys.modules["qmbench.floor"]
sys.modules["qmbench.floor"].pickling = _qmfloor
# Interned, as the class's __module__ is: a pickle names the module once.
_qmfloor.reconstruct_Pickled.__module__ = sys.intern("qmbench.floor.pickling")

# The floor looks up the very objects the package uses, in its own namespace.
_qmfloor.perf_counter = timers.perf_counter
_qmfloor.time = glidecell.time
_qmfloor.math = timers.math
_qmfloor.gcv = gcv

lerp = pure.lerp
UNROLL = 10
TARGET_BATCH_NS = 1_000_000


class FloorSub(_qmfloor.Floor):
    """A Python subclass of the floor: its glide methods make the override lookups."""


# The glide cells measured: the extension type, then the public Python
# subclass, each with its pure-Python counterpart and its floor, and whether
# the cell is the plain type (else its rows make override lookups).
GLIDE_CELLS = (
    ("_GlideCell", glidecell._GlideCell, pure._GlideCell, _qmfloor.Floor, True),
    ("GlideCell", glidecell.GlideCell, pure.GlideCell, FloorSub, False),
)


# ---------------------------------------------------------------------------
# operations
# ---------------------------------------------------------------------------
#
# A case: name, group, what each implementation runs (statement and a
# function returning its local names), items per statement (for per-item
# figures), an optional reset run before each batch, and for subclass rows
# the number of override lookups the operation makes.


class Impl:
    def __init__(self, stmt, make, reset=None):
        self.stmt, self.make, self.reset = stmt, make, reset


class Case:
    def __init__(self, name, group, impls, items=1, lookups=None, plain=True, unroll=UNROLL):
        self.name, self.group, self.impls = name, group, impls
        self.items, self.lookups, self.plain, self.unroll = items, lookups, plain, unroll
        # The reference floor: the same instance, its methods called as the
        # interpreter's method descriptors (d_<name>).
        floor = impls["floor"]
        if plain and group != "pickle" and re.search(r"\.\w+\(", floor.stmt):
            impls["descr"] = Impl(re.sub(r"\.(\w+)\(", r".d_\1(", floor.stmt), floor.make, floor.reset)


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def firing_fixed_timer(cls):
    """A FixedTimer whose ideal tick count runs ahead of every attempt()."""
    t = cls(1e-8, 10)

    def reset(env):
        # Restart the schedule one second back: about 1e8 ticks behind, far
        # from the 2**31 limit, and firing at every attempt() of the batch.
        start = f32(time.perf_counter() - 1.0)
        if cls is timers.FixedTimer:
            t.__setstate__((0, 1e-8, 10, start))
        else:
            t._count, t._start_time = 0, start

    return t, reset


def idle_fixed_timer(cls):
    t = cls(1e6)
    # The tick due right after construction; the start time is stored in single
    # precision and may round up past the clock, so that tick can come a little late.
    while not t.attempt():
        pass
    assert not t.attempt()
    return t


def gliding(cls):
    c = cls(lerp, 1e9, 0.0)
    c.set_value(10.0)
    return c


def setting(cls):
    c = cls(lerp, 0.0, 0.0)
    c.set_value(1.0)
    return c


DATA = [float(i) * 0.25 for i in range(1000)]


def cases():
    out = []

    def add(name, group, pkg, pure_, floor, **kw):
        out.append(Case(name, group, {"pkg": pkg, "pure": pure_, "floor": floor}, **kw))

    # -- FixedTimer
    def ft_fire(cls):
        def make():
            t, reset = firing_fixed_timer(cls)
            return {"t": t, "_reset": reset}

        return make

    def reset_from_env(env):
        env["_reset"](env)

    add("FixedTimer.attempt() firing", "FixedTimer",
        Impl("t.attempt()", ft_fire(timers.FixedTimer), reset_from_env),
        Impl("t.attempt()", ft_fire(pure.FixedTimer), reset_from_env),
        Impl("t.fixed_attempt_fire()", lambda: {"t": _qmfloor.Floor()}))
    add("FixedTimer.attempt() not firing", "FixedTimer",
        Impl("t.attempt()", lambda: {"t": idle_fixed_timer(timers.FixedTimer)}),
        Impl("t.attempt()", lambda: {"t": idle_fixed_timer(pure.FixedTimer)}),
        Impl("t.fixed_attempt_idle()", lambda: {"t": _qmfloor.Floor()}))
    add("FixedTimer.ideal_ticks", "FixedTimer",
        Impl("t.ideal_ticks", lambda: {"t": idle_fixed_timer(timers.FixedTimer)}),
        Impl("t.ideal_ticks", lambda: {"t": idle_fixed_timer(pure.FixedTimer)}),
        Impl("t.ideal_ticks", lambda: {"t": _qmfloor.Floor()}))
    add("FixedTimer.progress", "FixedTimer",
        Impl("t.progress", lambda: {"t": idle_fixed_timer(timers.FixedTimer)}),
        Impl("t.progress", lambda: {"t": idle_fixed_timer(pure.FixedTimer)}),
        Impl("t.fixed_progress", lambda: {"t": _qmfloor.Floor()}))

    # -- VariableTimer
    add("VariableTimer.attempt() firing", "VariableTimer",
        Impl("t.attempt()", lambda: {"t": timers.VariableTimer(0)}),
        Impl("t.attempt()", lambda: {"t": pure.VariableTimer(0)}),
        Impl("t.variable_attempt_fire()", lambda: {"t": _qmfloor.Floor(0)}))
    add("VariableTimer.attempt() not firing", "VariableTimer",
        Impl("t.attempt()", lambda: {"t": timers.VariableTimer(1e9)}),
        Impl("t.attempt()", lambda: {"t": pure.VariableTimer(1e9)}),
        Impl("t.attempt_idle()", lambda: {"t": _qmfloor.Floor(1e9)}))
    add("VariableTimer.progress", "VariableTimer",
        Impl("t.progress", lambda: {"t": timers.VariableTimer(1.0)}),
        Impl("t.progress", lambda: {"t": pure.VariableTimer(1.0)}),
        Impl("t.variable_progress", lambda: {"t": _qmfloor.Floor(1.0)}))

    # -- glide cells: the extension type, then the public Python subclass
    for label, pkg_cls, pure_cls, floor_cls, plain in GLIDE_CELLS:
        add(f"{label}.get_value() idle", "GlideCell",
            Impl("c.get_value()", lambda k=pkg_cls: {"c": k(lerp, 0.5, 1.0)}),
            Impl("c.get_value()", lambda k=pure_cls: {"c": k(lerp, 0.5, 1.0)}),
            Impl("c.get_value_idle()", lambda k=floor_cls: {"c": k(0.5, lerp, 1.0)}),
            plain=plain, lookups=None if plain else 1)
        add(f"{label}.get_value() gliding", "GlideCell",
            Impl("c.get_value()", lambda k=pkg_cls: {"c": gliding(k)}),
            Impl("c.get_value()", lambda k=pure_cls: {"c": gliding(k)}),
            Impl("c.get_value_gliding()", lambda k=floor_cls: {"c": k(1e9, lerp, 0.0, 10.0)}),
            plain=plain, lookups=None if plain else 2)
        add(f"{label}.set_value()", "GlideCell",
            Impl("c.set_value(x)", lambda k=pkg_cls: {"c": setting(k), "x": 1.0}),
            Impl("c.set_value(x)", lambda k=pure_cls: {"c": setting(k), "x": 1.0}),
            Impl("c.set_value(x)", lambda k=floor_cls: {"c": k(0.0, lerp, 0.0), "x": 1.0}),
            plain=plain, lookups=None if plain else 3)

    # -- Mean
    for name, stmt, env in (
        ("Mean.add(float)", "m.add(x)", {"x": 0.5}),
        ("Mean.add(int)", "m.add(x)", {"x": 3}),
        ("m += x", "m += x", {"x": 0.5}),
    ):
        add(name, "Mean",
            Impl(stmt, lambda e=env: {"m": mean.Mean(), **e}),
            Impl(stmt, lambda e=env: {"m": pure.Mean(), **e}),
            Impl(stmt, lambda e=env: {"m": _qmfloor.Floor(), **e}))
    for name, stmt in (("Mean.extend(list), per item", "m.extend(d)"),
                       ("Mean.extend(generator), per item", "m.extend(x for x in d)")):
        add(name, "Mean",
            Impl(stmt, lambda: {"m": mean.Mean(), "d": DATA}),
            Impl(stmt, lambda: {"m": pure.Mean(), "d": DATA}),
            Impl(stmt, lambda: {"m": _qmfloor.Floor(), "d": DATA}),
            items=len(DATA), unroll=1)

    def filled(cls):
        m = cls()
        m.add(1.0).add(2.0)
        return m

    add("Mean.value", "Mean",
        Impl("m.value", lambda: {"m": filled(mean.Mean)}),
        Impl("m.value", lambda: {"m": filled(pure.Mean)}),
        Impl("m.value", lambda: {"m": filled(_qmfloor.Floor)}))

    # -- Flag
    add("with flag:", "Flag",
        Impl("with f:\n    pass", lambda: {"f": flag.Flag()}),
        Impl("with f:\n    pass", lambda: {"f": pure.Flag()}),
        Impl("with f:\n    pass", lambda: {"f": _qmfloor.Floor()}))
    add("bool(flag)", "Flag",
        Impl("bool(f)", lambda: {"f": flag.Flag(), "bool": bool}),
        Impl("bool(f)", lambda: {"f": pure.Flag(), "bool": bool}),
        Impl("bool(f)", lambda: {"f": _qmfloor.Floor(), "bool": bool}))

    # -- pickling: the package's state tuples, and the floor built from the same
    samples = {
        "VariableTimer": (lambda: timers.VariableTimer(1), lambda: pure.VariableTimer(1)),
        "FixedTimer": (lambda: timers.FixedTimer(0.5), lambda: pure.FixedTimer(0.5)),
        "_GlideCell": (lambda: gliding(glidecell._GlideCell), lambda: gliding(pure._GlideCell)),
        "GlideCell": (lambda: gliding(glidecell.GlideCell), lambda: gliding(pure.GlideCell)),
        "Mean": (lambda: filled(mean.Mean), lambda: filled(pure.Mean)),
        "Flag": (lambda: flag.Flag(), lambda: pure.Flag()),
    }
    for cls_name, (make_pkg, make_pure) in samples.items():
        plain = cls_name != "GlideCell"

        def floor_obj(make=make_pkg):
            reduced = make().__reduce__()
            state = reduced[2] if len(reduced) == 3 else reduced[1][2]
            return _qmfloor.Pickled(tuple(state))

        for verb in ("dumps", "loads"):
            def env(make, verb=verb):
                def build():
                    o = make()
                    if verb == "dumps":
                        return {"o": o, "dumps": pickle.dumps}
                    return {"o": pickle.dumps(o), "loads": pickle.loads}
                return build

            stmt = "dumps(o)" if verb == "dumps" else "loads(o)"
            add(f"pickle.{verb} {cls_name}", "pickle",
                Impl(stmt, env(make_pkg)), Impl(stmt, env(make_pure)), Impl(stmt, env(floor_obj)),
                plain=plain, unroll=2)
    out += easing_cases.cases(Case, Impl, GLIDE_CELLS)
    return out


# ---------------------------------------------------------------------------
# timing
# ---------------------------------------------------------------------------


def compile_loop(stmt, names, unroll):
    body = "\n".join([textwrap.indent(stmt, " " * 8)] * unroll)
    params = "".join(f", {n}" for n in names)
    src = (f"def _loop(_n{params}):\n"
           f"    _t0 = _pc()\n"
           f"    for _ in _range(_n):\n{body}\n"
           f"    return _pc() - _t0\n")
    ns = {"_pc": time.perf_counter_ns, "_range": range}
    exec(src, ns)
    return ns["_loop"]


class Runner:
    def __init__(self, stmt, env, unroll, reset=None):
        self.env = env
        self.names = [n for n in env if not n.startswith("_")]
        self.loop = compile_loop(stmt, self.names, unroll)
        self.empty = compile_loop("pass", self.names, unroll)
        self.args = [env[n] for n in self.names]
        self.reset = reset
        self.unroll = unroll

    def run(self, n):
        if self.reset:
            self.reset(self.env)
        t = self.loop(n, *self.args)
        return t

    def overhead(self, n):
        return self.empty(n, *self.args)


def calibrate(runner):
    n = 1
    while True:
        if runner.run(n) >= TARGET_BATCH_NS or n >= 1 << 22:
            return n
        n *= 2


def measure(case_list, repeats, seed=0):
    rng = random.Random(seed)
    runners = {}
    for c in case_list:
        for impl_name, impl in c.impls.items():
            env = impl.make()
            runners[c.name, impl_name] = Runner(impl.stmt, env, c.unroll, impl.reset)
        # one batch size per case, from the package: every implementation runs as many statements
        r = runners[c.name, "pkg"]
        for _ in range(3):
            r.run(16)
        c.n = calibrate(r)
    raw = {key: [] for key in runners}
    jobs = list(runners)
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            rng.shuffle(jobs)
            for key in jobs:
                c = next(x for x in case_list if x.name == key[0])
                runner = runners[key]
                raw[key].append((runner.run(c.n), runner.overhead(c.n)))
            gc.collect()
    finally:
        if gc_was:
            gc.enable()
    # The loop's own cost is taken as the median of its empty runs, so that a
    # disturbed empty run cannot push a figure below zero.
    samples = {}
    for key, pairs in raw.items():
        c = next(x for x in case_list if x.name == key[0])
        empty = statistics.median(e for _, e in pairs)
        ops = c.n * runners[key].unroll * c.items
        samples[key] = [(t - empty) / ops for t, _ in pairs]
    return samples


# ---------------------------------------------------------------------------
# sizes
# ---------------------------------------------------------------------------

HEADER = object.__basicsize__
GC_HEAD = 16  # what sys.getsizeof adds for objects the collector tracks

# What each instance holds after the header: the table pointer, the weak
# reference slot, then the members (pointers 8 bytes, 32-bit numbers 4).
LAYOUT = {
    "VariableTimer": (lambda: timers.VariableTimer(1), [8, 8, 8, 4, 4], True),
    "FixedTimer": (lambda: timers.FixedTimer(0.5), [8, 8, 4, 4, 4, 4], False),
    "_GlideCell": (lambda: glidecell._GlideCell(lerp, 1.0), [8, 8, 8, 8, 8, 8, 8], True),
    "Mean": (lambda: mean.Mean(), [8, 4, 4], False),
    "Flag": (lambda: flag.Flag(), [4], False),
}


def sizes():
    out = {}
    for name, (make, fields, gc_tracked) in LAYOUT.items():
        o = make()
        laid_out = HEADER + sum(fields)
        aligned = (laid_out + 7) // 8 * 8
        got = sys.getsizeof(o)
        expected = aligned + (GC_HEAD if gc_tracked else 0)
        out[name] = {"getsizeof": got, "header_plus_fields": laid_out, "aligned": aligned,
                     "gc_head": GC_HEAD if gc_tracked else 0, "matches": got == expected}
    return out


# ---------------------------------------------------------------------------
# report
# ---------------------------------------------------------------------------


# ---------------------------------------------------------------------------
# instructions
# ---------------------------------------------------------------------------

INSTRUCTION_RUNS = (1000, 3000)  # loop passes of the two callgrind runs


def instructions(case_list, impls=("pkg", "floor", "descr"), jobs=2):
    """Instructions per operation (per item for extend) under callgrind.

    profile_op.py runs one operation's loop at two pass counts; the difference
    of the two totals, less the same difference for the empty loop, divided by
    the difference in statements, is the operation's own count.  Start-up,
    imports and the first, specialising passes cancel out, so the figures
    repeat exactly from run to run (PYTHONHASHSEED is fixed).
    """
    valgrind = shutil.which("valgrind")
    if not valgrind:
        raise SystemExit("--instructions needs valgrind on PATH (./dev bench runs inside the toolchain root)")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "profile_op.py")
    env = dict(os.environ, PYTHONHASHSEED="0")

    def count(args):
        cmd = [valgrind, "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, script, *args]
        done = subprocess.run(cmd, env=env, capture_output=True, text=True)
        found = re.search(r"Collected : (\d+)", done.stderr)
        if done.returncode or not found:
            raise RuntimeError(f"{' '.join(args)}: callgrind failed\n{done.stderr[-2000:]}")
        return int(found.group(1))

    runs = [(c.name, impl, str(n)) for c in case_list for impl in impls if impl in c.impls
            for n in INSTRUCTION_RUNS]
    runs += [(case_list[0].name, "pkg", str(n), "--empty") for n in INSTRUCTION_RUNS]
    with ThreadPoolExecutor(jobs) as pool:
        totals = dict(zip(runs, pool.map(count, runs)))
    lo, hi = (str(n) for n in INSTRUCTION_RUNS)
    empty = totals[case_list[0].name, "pkg", hi, "--empty"] - totals[case_list[0].name, "pkg", lo, "--empty"]
    out = {}
    for c in case_list:
        for impl in impls:
            if impl in c.impls:
                own = totals[c.name, impl, hi] - totals[c.name, impl, lo] - empty
                statements = (INSTRUCTION_RUNS[1] - INSTRUCTION_RUNS[0]) * c.unroll
                out[c.name, impl] = own / statements / c.items
    return out


# ---------------------------------------------------------------------------
# report
# ---------------------------------------------------------------------------

# Today's targets: a plain operation at most 1.15 times its floor; an
# operation on a Python subclass (the glide cell rows with override lookups)
# below the floor that makes the same lookups; a pickle round trip (dumps and
# loads) at most 1.05 times the floor's.
PLAIN_LIMIT = 1.15
ROUND_TRIP_LIMIT = 1.05


def summarise(case_list, samples, counts=None):
    rows = []
    for c in case_list:
        row = {"name": c.name, "group": c.group, "plain": c.plain, "lookups": c.lookups, "items": c.items}
        for impl in c.impls:
            s = samples[c.name, impl]
            row[impl] = {"median": statistics.median(s), "min": min(s)}
        row["floor_ratio"] = row["pkg"]["median"] / row["floor"]["median"]
        row["speedup"] = row["pure"]["median"] / row["pkg"]["median"]
        if "descr" in row:
            row["descr_ratio"] = row["pkg"]["median"] / row["descr"]["median"]
        if counts:
            row["instr"] = {impl: counts[c.name, impl] for impl in c.impls if (c.name, impl) in counts}
            row["instr_ratio"] = row["instr"]["pkg"] / row["instr"]["floor"]
        rows.append(row)
    # the subclass rows are also set against the floor's subclass, which makes the same lookups
    by_name = {r["name"]: r for r in rows}
    for r in rows:
        if r["lookups"]:
            r["floor_plain_ratio"] = r["pkg"]["median"] / by_name[r["name"].replace("GlideCell", "_GlideCell", 1)]["floor"]["median"]
    # a pickle round trip: dumps and loads together
    for r in list(rows):
        if r["group"] == "pickle" and r["name"].startswith("pickle.dumps "):
            cls_name = r["name"].removeprefix("pickle.dumps ")
            loads = by_name.get(f"pickle.loads {cls_name}")
            if not loads:
                continue
            trip = {"name": f"round trip {cls_name}", "group": "pickle round trip", "plain": r["plain"],
                    "lookups": None, "items": 1}
            for impl in ("pkg", "pure", "floor"):
                trip[impl] = {k: r[impl][k] + loads[impl][k] for k in ("median", "min")}
            trip["floor_ratio"] = trip["pkg"]["median"] / trip["floor"]["median"]
            trip["speedup"] = trip["pure"]["median"] / trip["pkg"]["median"]
            if counts:
                trip["instr"] = {i: r["instr"][i] + loads["instr"][i] for i in ("pkg", "floor")}
                trip["instr_ratio"] = trip["instr"]["pkg"] / trip["instr"]["floor"]
            rows.append(trip)
    return rows


def verdict(row):
    if row["group"] == "easing":
        return easing_cases.verdict(row)
    if row["group"] == "pickle":
        return "(round trip)"
    if row["lookups"]:
        meets = lambda ratio: ratio < 1.0  # noqa: E731
    else:
        limit = ROUND_TRIP_LIMIT if row["group"] == "pickle round trip" else PLAIN_LIMIT
        meets = lambda ratio: ratio <= limit  # noqa: E731
    missed = [what for what, key in (("time", "floor_ratio"), ("instr", "instr_ratio"))
              if key in row and not meets(row[key])]
    missed += easing_cases.missed_speedup(row)
    return "ok" if not missed else "MISS " + "+".join(missed)


def print_table(rows, before=None):
    prev = {r["name"]: r for r in before["rows"]} if before else {}
    counted = any("instr" in r for r in rows)
    head = (f"{'operation':36} {'pkg med':>8} {'pkg min':>8} {'pure':>8} {'floor':>8} {'xfloor':>7} {'vs pure':>7} "
            f"{'descr':>7} {'xdescr':>6}  ")
    if counted:
        head += f"{'i pkg':>8} {'i floor':>8} {'i xfl':>6}  "
    if prev:
        head += f"{'before':>8} {'xfloor':>7} " + (f"{'i xfl':>6} " if counted else "") + " "
    print(head + "target")
    group = None
    for r in rows:
        if r["group"] != group:
            group = r["group"]
            print(f"-- {group}")
        name = r["name"] + (f" [{r['lookups']} lookups]" if r["lookups"] else "")
        line = (f"{name:36} {r['pkg']['median']:8.1f} {r['pkg']['min']:8.1f} {r['pure']['median']:8.1f} "
                f"{r['floor']['median']:8.1f} {r['floor_ratio']:7.2f} {r['speedup']:6.1f}x ")
        line += (f"{r['descr']['median']:7.1f} {r['descr_ratio']:6.2f}  " if "descr" in r else " " * 16)
        if counted:
            if "instr" in r:
                digits = 1 if r["instr"]["floor"] < 100 else 0
                line += f"{r['instr']['pkg']:8.{digits}f} {r['instr']['floor']:8.{digits}f} {r['instr_ratio']:6.2f}  "
            else:
                line += " " * 26
        if prev:
            p = prev.get(r["name"])
            if p:
                line += f"{p['pkg']['median']:8.1f} {p['floor_ratio']:7.2f} "
                if counted:
                    line += f"{p['instr_ratio']:6.2f} " if "instr_ratio" in p else " " * 7
                line += " "
            else:
                line += " " * (18 + (7 if counted else 0))
        print(line + verdict(r))
    print("ns per operation (per item for extend); xfloor and vs pure from medians.  descr: the floor with")
    print("its methods as the interpreter's method descriptors, for reference (xdescr = pkg / descr).")
    if counted:
        print("i pkg, i floor: instructions per operation under callgrind; i xfl = i pkg / i floor.")
    print(f"target: plain rows <= {PLAIN_LIMIT} x floor, [n lookups] rows below their floor, pickle round trips")
    print(f"<= {ROUND_TRIP_LIMIT} x floor; in time and, where counted, in instructions.")
    print("[n lookups]: a Python subclass; its floor is a Python subclass of the floor type that makes")
    print("the same n override lookups through PyObject_GetAttr.")


def print_sizes(sz):
    print(f"\n{'instance':14} {'getsizeof':>9} {'header+fields':>14} {'aligned':>8} {'+GC head':>9}  match")
    for name, s in sz.items():
        print(f"{name:14} {s['getsizeof']:9} {s['header_plus_fields']:14} {s['aligned']:8} {s['gc_head']:9}  "
              f"{'yes' if s['matches'] else 'NO'}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=int(os.environ.get("QM_BENCH_REPEATS", 41)))
    ap.add_argument("--json", help="write the results here")
    ap.add_argument("--before", help="an earlier JSON result to set the figures against")
    ap.add_argument("--only", help="run only operations whose name contains this")
    ap.add_argument("--instructions", action="store_true", help="also count instructions under callgrind")
    args = ap.parse_args()

    case_list = cases()
    if args.only:
        case_list = [c for c in case_list if args.only in c.name]
    t0 = time.perf_counter()
    samples = measure(case_list, args.repeats)
    counts = instructions(case_list) if args.instructions else None
    rows = summarise(case_list, samples, counts)
    sz = sizes()
    before = None
    if args.before and os.path.exists(args.before):
        with open(args.before) as f:
            before = json.load(f)
    print(f"Python {sys.version.split()[0]}, {args.repeats} repeats, {time.perf_counter() - t0:.0f} s\n")
    print_table(rows, before)
    print_sizes(sz)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "repeats": args.repeats, "rows": rows, "sizes": sz}, f, indent=1)


if __name__ == "__main__":
    main()
