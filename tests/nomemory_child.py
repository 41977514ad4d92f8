"""The child side of test_nomemory: runs operations, or a module's first
import, with one allocation failing, and reports what happened as JSON lines.

    python nomemory_child.py operations <module> <first row> <progress fd>
    python nomemory_child.py import <module>

The import mode must not import the module under test before the sweep, so
this file imports none of the package's modules itself."""

import gc
import importlib
import importlib.util
import json
import os
import pickle
import sys
import sysconfig
import types

MAX_POINTS = 20000  # an operation still allocating after this many is a fault too
DISALLOW_INSTANTIATION = 1 << 7  # a type's flag: no instances but those its module makes


def raised_by_stdlib(exc):
    """Whether `exc` was raised by the standard library's Python code, which may
    lose a MemoryError on the way (typing's class set-up, run by the glidecell
    module body, does)."""
    tb = exc.__traceback__
    while tb and tb.tb_next:
        tb = tb.tb_next
    return bool(tb) and tb.tb_frame.f_code.co_filename.startswith(sysconfig.get_path("stdlib"))


def exception_fault(exc, expected, stdlib_ok=False):
    """None when `exc` is an acceptable way for a failed allocation to end the operation."""
    chain, e = [], exc
    while e is not None and len(chain) < 50:
        chain.append(e)
        e = e.__cause__ or e.__context__
    if any(isinstance(x, SystemError) for x in chain):
        return f"SystemError: {next(x for x in chain if isinstance(x, SystemError))}"
    if any(isinstance(x, MemoryError) for x in chain) or type(exc).__name__ == expected:
        return None
    if stdlib_ok and raised_by_stdlib(exc):
        return None
    return f"{type(exc).__name__}: {exc}"


def total_references():
    """The interpreter's count of references; a constant where only a debug build keeps one."""
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 1


def run_once(run, subject, start=None, stop=0):
    """Runs `run(subject)` with allocations start..stop-1 failing (stop 0: all from start on; start None: none)."""
    import _testcapi

    if start is None:
        try:
            return run(subject), None
        except Exception as e:
            return None, e
    _testcapi.set_nomemory(start, stop)
    try:
        result = run(subject)
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        return None, e
    _testcapi.remove_mem_hooks()
    return result, None


def sweep_operation(name, setup, run, report):
    """Every failure point of one operation; returns (allocations made, faults)."""
    report("setup")
    for _ in range(3):  # warm caches, as a program would have them
        result, exc = run_once(run, setup())
    expected_type = type(exc).__name__ if exc else None
    expected = pickle.dumps(result) if exc is None else None
    del result, exc
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(u.exc_type)

    def attempt(n, stop):
        """(fault or None, whether the operation ended as it does unhindered, references it left behind)"""
        # An exception leaving run_once gives this frame a frame object (its
        # traceback's frame refers to it), so make that object beforehand.
        sys._getframe()
        gc.collect()
        refs = total_references()
        subject = setup()
        gc.collect()  # empties the free lists, so that every new object is an allocation
        result, exc = run_once(run, subject, n, stop)
        if exc is not None:
            fault = exception_fault(exc, expected_type)
        else:
            fault = None if expected is None or pickle.dumps(result) == expected else f"wrong result {result!r}"
        if any(issubclass(u, SystemError) for u in unraisable):
            fault = fault or "SystemError reported as unraisable"
        unraisable.clear()
        normal = exc is None or (type(exc).__name__ == expected_type and not isinstance(exc, MemoryError))
        del result, exc, subject
        gc.collect()
        # Alive since the first reading: `refs` and the fault's message.
        return fault, normal, total_references() - refs - 1 - (fault is not None)

    faults = []
    for n in range(MAX_POINTS):
        report(n)
        fault, normal, leaked = attempt(n, n + 1)
        # The unhindered run is the leak tests' business; here the error paths
        # are.  A pickle round trip now and then keeps one reference more when
        # it fails late in pickle.loads, and never when run on its own, so its
        # rows are left out; the reconstruction rows cover our part of it.
        if leaked > 0 and not fault and not normal and getattr(run, "__name__", "") != "round_trip":
            # Caches fill now and then; a leak repeats.
            leaked = min([leaked] + [attempt(n, n + 1)[2] for _ in range(4)])
            if leaked > 0:
                fault = f"{leaked} references leaked"
        if fault:
            faults.append(f"N={n}: {fault}")
        # Done once nothing from N on is needed any more.
        if normal and attempt(n, 0)[1]:
            return n, faults
    return MAX_POINTS, faults + ["never completes"]


def child_operations(module, skip, fd):
    """Runs the operation table of `module`, from operation number `skip` on."""
    import support

    support.fix_clocks()
    gc.disable()
    gc.freeze()  # what is loaded by now is left out of the many collections below
    progress = os.fdopen(fd, "w", buffering=1)
    for index, row in enumerate(support.OPERATIONS[module]):
        if index < skip:
            continue
        count, faults = sweep_operation(row.name, row.setup, row.run, lambda n: progress.write(f"at {index} {n}\n"))
        print(json.dumps({"op": row.name, "count": count, "faults": faults}), flush=True)


def module_contents(module):
    """What a complete module holds: its names and the names in each class's dict."""
    names = sorted(vars(module))
    classes = {k: sorted(vars(v)) for k, v in vars(module).items()
               if isinstance(v, type) and v.__module__ == module.__name__}
    return names, classes


def check_complete(module, reference):
    names, classes = module_contents(module)
    problems = []
    if names != reference["names"]:
        problems.append(f"names differ: {sorted(set(reference['names']) ^ set(names))}")
    for cls, attrs in reference["classes"].items():
        if classes.get(cls) != attrs:
            problems.append(f"{cls}.__dict__ differs: {sorted(set(attrs) ^ set(classes.get(cls, ())))}")
    for cls in classes:
        d = vars(getattr(module, cls))
        if "__pyx_vtable__" in reference["classes"][cls] and not isinstance(d.get("__pyx_vtable__"),
                                                                          types.CapsuleType):
            problems.append(f"{cls}.__pyx_vtable__ is not a capsule")
        if any(name in reference["classes"][cls] and name not in d for name in ("__reduce__", "__setstate__")):
            problems.append(f"{cls} lacks its pickling entries")
    # Made after the import, a bare instance of each class that can be made so,
    # and each instance the module holds (easing's named curves), must survive
    # pickling.
    types_ = [v for v in vars(module).values() if isinstance(v, type) and v.__module__ == module.__name__]
    samples = [(t.__name__, lambda t=t: t.__new__(t)) for t in types_ if not t.__flags__ & DISALLOW_INSTANTIATION]
    samples += [(k, lambda v=v: v) for k, v in vars(module).items() if isinstance(v, tuple(types_))]
    for name, make in samples:
        try:
            obj = make()
            copy_ = round_trip(obj)
            if type(copy_) is not type(obj) or copy_.__reduce__()[1:] != obj.__reduce__()[1:]:
                problems.append(f"{name} does not survive pickling")
        except Exception as e:
            problems.append(f"{name}: {type(e).__name__}: {e}")
    return problems


def left_behind(full_name):
    """What Python code can still reach of a module whose first import failed:
    its classes (through the descriptors in their dicts) and its function
    objects, bound or not."""
    def ours(t):
        return isinstance(t, type) and getattr(t, "__module__", None) == full_name

    classes, callables = {}, []
    for o in gc.get_objects():
        owner = getattr(o, "__objclass__", None) if not isinstance(o, type) else None
        if ours(owner):
            classes[id(owner)] = owner
        if ours(type(o)) or ours(type(getattr(o, "__func__", None))):
            callables.append(o)
    return list(classes.values()), callables


def poke(classes, callables):
    """Calls everything left behind the way a user could; each call must end in
    a Python exception or a result.  Returns the subclasses made from the classes."""
    subclasses = []
    for cls in classes:
        for make in (lambda: cls(), lambda: cls.__new__(cls), lambda: cls(1.0, 2.0, 3.0)):
            try:
                make()
            except Exception:
                pass
        try:
            sub = type(cls)("Sub", (cls,), {})
            subclasses.append(sub)
            sub()
        except Exception:
            pass
    for f in callables:
        for args in ((), (None,), (object(),)):
            try:
                f(*args)
            except Exception:
                pass
    return subclasses


def import_attempt(full_name, spec, start, stop, reference):
    """In a forked process: the first import with allocations failing, everything
    it left reachable called, then a clean retry."""
    import _testcapi

    _testcapi.set_nomemory(start, stop)
    try:
        importlib._bootstrap._load(spec)
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        first = e
    else:
        _testcapi.remove_mem_hooks()
        first = None
    fault = exception_fault(first, None, stdlib_ok=True) if first is not None else None
    subclasses = poke(*left_behind(full_name)) if first is not None else []
    try:
        module = importlib.import_module(full_name)
    except BaseException as e:
        return first, [f"retry failed: {type(e).__name__}: {e}"]
    problems = [f"{sub.__name__} made from a class left behind is not among the subclasses of {base.__name__}"
                for sub in subclasses for base in sub.__bases__ if sub not in base.__subclasses__()]
    return first, ([fault] if fault else []) + problems + check_complete(module, reference)


def child_import(module):
    full_name = f"Quillmoor.utils.{module}"
    for dependency in ("typing", "time", "abc", "math", "Quillmoor.utils.calculated_value", "copyreg"):
        importlib.import_module(dependency)
    spec = importlib.util.find_spec(full_name)
    gc.disable()

    def forked(job):
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:  # whatever happens, this process must not return into the loop
                os.close(read)
                os.write(write, json.dumps(job()).encode())
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read, "rb") as f:
            data = f.read()
        _, status = os.waitpid(pid, 0)
        if status != 0 or not data:
            return {"crash": f"exit status {status:#x}"}
        return json.loads(data)

    def reference_job():
        names, classes = module_contents(importlib.import_module(full_name))
        return {"names": names, "classes": classes}

    reference = forked(reference_job)
    faults = []

    def job(start, stop):
        def run():
            first, problems = import_attempt(full_name, spec, start, stop, reference)
            return {"ok": first is None, "problems": problems}

        return run

    for n in range(MAX_POINTS):
        out = forked(job(n, n + 1))
        problems = [out["crash"]] if "crash" in out else out.get("problems", [out.get("error")])
        faults += [f"N={n}: {p}" for p in problems]
        if out.get("ok"):
            probe = forked(job(n, 0))
            if probe.get("ok"):
                break
    print(json.dumps({"op": f"import {full_name}", "count": n, "faults": faults}), flush=True)


def round_trip(obj):
    return pickle.loads(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL))


if __name__ == "__main__":
    if sys.argv[1] == "import":
        child_import(sys.argv[2])
    else:
        child_operations(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))


