"""What every module does the same way: import, types, method objects,
argument handling, conversions and module-global lookup."""

import abc
import builtins
import gc
import importlib
import inspect
import math
import sys
import types
import typing
import warnings
import weakref

import pytest

from conftest import build_dir, lerp, run_python, state, vtable_slot
from Quillmoor.utils import timers
from Quillmoor.utils.flag import Flag
from Quillmoor.utils.glidecell import _GlideCell
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer, VariableTimer


# ---- module import ----------------------------------------------------------


def test_namespace_holds_the_body_names_in_order():
    ours = [
        "__builtins__", "VariableTimer", "FixedTimer", "t", "perf_counter", "ABC", "math",
        "CalculatedValue", "gcv", "__pyx_unpickle_VariableTimer", "__pyx_unpickle_FixedTimer", "__test__",
    ]
    assert [k for k in timers.__dict__ if k in ours] == ours
    assert timers.__builtins__ is builtins
    assert timers.t is typing and timers.math.__name__ == "math" and timers.ABC is abc.ABC
    assert timers.__test__ == {} and timers.__doc__ is None
    from Quillmoor.utils import calculated_value

    assert timers.gcv is calculated_value.gcv and timers.CalculatedValue is calculated_value.CalculatedValue


def test_reimport_gives_the_same_module_and_reload_changes_nothing():
    saved = sys.modules.pop("Quillmoor.utils.timers")
    try:
        again = importlib.import_module("Quillmoor.utils.timers")
        assert again is saved
    finally:
        sys.modules["Quillmoor.utils.timers"] = saved
    before = dict(timers.__dict__)
    assert importlib.reload(timers) is timers
    assert timers.__dict__ == before


def test_failed_execution_leaves_no_module_and_the_next_import_starts_over():
    proc = run_python(
        """
        import sys, types, traceback
        import Quillmoor.utils.calculated_value as real
        sys.modules["Quillmoor.utils.calculated_value"] = types.ModuleType("Quillmoor.utils.calculated_value")
        sys.modules["Quillmoor.utils.calculated_value"].CalculatedValue = real.CalculatedValue
        try:
            import Quillmoor.utils.timers
        except ImportError as e:
            print("ERROR", e)
            print("FRAMES", [f.name for f in traceback.extract_tb(e.__traceback__)])
        print("IN_SYS_MODULES", "Quillmoor.utils.timers" in sys.modules)
        sys.modules["Quillmoor.utils.calculated_value"] = real
        import Quillmoor.utils.timers as t
        print("OK", t.gcv is real.gcv, t.VariableTimer(1).interval)
        """
    )
    out = proc.stdout
    assert "ERROR cannot import name gcv" in out
    assert "'init Quillmoor.utils.timers'" in out
    assert "IN_SYS_MODULES False" in out
    assert "OK True 1.0" in out


def test_overrides_are_found_on_a_class_past_its_version_tags():
    # A class changed more times than the interpreter hands out version tags
    # has none: the override lookup must then walk the MRO every time.
    proc = run_python(
        """
        from Quillmoor.utils.mean import Mean
        class Doubling(Mean):
            def add(self, value):
                return Mean.add(self, 2 * value)
        for i in range(1100):
            Doubling.counter = i
            Doubling.counter  # a lookup gives the class a new tag
        m = Doubling().extend([1.0, 2.0])
        print("TOTAL", m.total)
        """
    )
    assert "TOTAL 6.0" in proc.stdout


SIBLING_SABOTAGE = {
    # Only a missing name means "cannot import name"; any other error is the import's.
    "KeyboardInterrupt": ("fake.__getattr__ = lambda name: (_ for _ in ()).throw(KeyboardInterrupt(name))",
                          "RAISED KeyboardInterrupt gcv"),
    "LookupError": ("fake.__getattr__ = lambda name: (_ for _ in ()).throw(LookupError(name))",
                    "RAISED LookupError gcv"),
    # A module that cannot be imported at all.
    "blocked": ("sys.modules['Quillmoor.utils.calculated_value'] = None", "RAISED ModuleNotFoundError"),
}


@pytest.mark.parametrize("sabotage", SIBLING_SABOTAGE)
def test_failure_reading_the_sibling_propagates_from_the_import(sabotage):
    code, expected = SIBLING_SABOTAGE[sabotage]
    proc = run_python(
        f"""
        import sys, types
        import Quillmoor.utils.calculated_value as real
        fake = types.ModuleType("Quillmoor.utils.calculated_value")
        fake.CalculatedValue = real.CalculatedValue
        sys.modules["Quillmoor.utils.calculated_value"] = fake
        {code}
        try:
            import Quillmoor.utils.timers
        except BaseException as e:
            print("RAISED", type(e).__name__, e)
        sys.modules["Quillmoor.utils.calculated_value"] = real
        import Quillmoor.utils.timers as t
        print("OK", t.gcv is real.gcv)
        """
    )
    assert expected in proc.stdout and "OK True" in proc.stdout


def test_second_interpreter_is_refused():
    proc = run_python(
        """
        import _testcapi
        from concurrent import interpreters
        import Quillmoor.utils.timers
        interp = interpreters.create()
        try:
            interp.exec("import Quillmoor.utils.timers")
        except interpreters.ExecutionFailed as e:
            print("OWN-GIL", e.excinfo.type.__name__)
        finally:
            interp.close()
        _testcapi.run_in_subinterp('''
        try:
            import Quillmoor.utils.timers
        except ImportError as e:
            print("SHARED-GIL", e)
        ''')
        """
    )
    assert "OWN-GIL ImportError" in proc.stdout
    assert (
        "SHARED-GIL Interpreter change detected - this module can only be loaded into one interpreter per process."
        in proc.stdout
    )


def version_variant():
    """The timers module of the build that records 3.13 as its interpreter version."""
    if build_dir() is None:
        return None
    old = build_dir() / "version-variant" / "Quillmoor" / "utils"
    return next(old.glob("timers.*.so"), None)


@pytest.mark.skipif(version_variant() is None, reason="needs the build tree's version-mismatch variant")
@pytest.mark.parametrize("as_error", [False, True])
def test_version_mismatch_warns(as_error):
    so = version_variant()
    proc = run_python(
        f"""
        import importlib.util, sys, warnings
        {"warnings.simplefilter('error')" if as_error else ""}
        spec = importlib.util.spec_from_file_location("Quillmoor.utils.timers", {str(so)!r})
        m = importlib.util.module_from_spec(spec)
        with warnings.catch_warnings(record=True) as caught:
            {"" if as_error else "warnings.simplefilter('always')"}
            try:
                spec.loader.exec_module(m)
            except RuntimeWarning as e:
                print("RAISED", e)
        for w in caught:
            print("WARNED", w.category.__name__, w.message)
        """
    )
    runtime = "%d.%d" % sys.version_info[:2]
    text = f"compile time Python version 3.13 of module 'Quillmoor.utils.timers' does not match runtime version {runtime}"
    assert ("RAISED " if as_error else "WARNED RuntimeWarning ") + text in proc.stdout


def test_a_spec_without_optional_attributes_still_makes_the_module():
    # An import hook may hand over a ModuleSpec stand-in with only a name, a
    # loader and an origin: what it lacks is left as the bare module has it.
    proc = run_python(
        """
        import importlib.util, types
        found = importlib.util.find_spec("Quillmoor.utils.flag")
        spec = types.SimpleNamespace(name=found.name, loader=found.loader, origin=found.origin)
        m = found.loader.create_module(spec)
        found.loader.exec_module(m)
        print(m.__file__ == found.origin, m.__loader__ is found.loader, m.__package__, hasattr(m, "__path__"))
        print(m.Flag.__module__, bool(m.Flag()))
        """
    )
    assert proc.stdout.split() == ["True", "True", "None", "False", "Quillmoor.utils.flag", "False"]


# ---- types ------------------------------------------------------------------


# The function objects each module body places in each class dict, in order.
CLASS_DICT_FUNCTIONS = {
    VariableTimer: ["attempt", "get_interval", "get_progress"],
    FixedTimer: ["attempt", "get_ideal_ticks", "get_progress_by_tick"],
    _GlideCell: ["_get_value", "get_value", "_set_value", "set_value", "_get_progress", "_get_delay"],
    Mean: ["add", "extend", "clear", "get_value"],
    Flag: ["__enter__", "__exit__"],
}


@pytest.mark.parametrize("cls", CLASS_DICT_FUNCTIONS)
def test_class_dict_holds_the_methods_in_order(cls):
    placed = [k for k, v in vars(cls).items() if type(v).__module__ == cls.__module__]
    assert placed == CLASS_DICT_FUNCTIONS[cls] + ["__reduce_cython__", "__setstate_cython__"]


# Per class: whether an instance holds the table pointer and the weak-reference
# list, then its fields (struct codes: P an object, f a 32-bit float, i a 32-bit int).
LAYOUTS = {
    VariableTimer: (True, True, "Pff"),
    FixedTimer: (True, True, "ffii"),
    _GlideCell: (True, True, "PPPPP"),
    Mean: (True, False, "fi"),
    Flag: (False, False, "i"),
}


@pytest.mark.parametrize("cls", LAYOUTS)
def test_instance_size_follows_the_fields_on_this_platform(cls):
    import struct

    table, weak, fields = LAYOUTS[cls]
    pointer = struct.calcsize("P")
    size = object.__basicsize__ + pointer * (table + weak) + struct.calcsize(fields)
    assert cls.__basicsize__ == -(-size // pointer) * pointer


@pytest.mark.parametrize("cls", [VariableTimer, FixedTimer])
def test_types_are_static_immutable_and_undocumented(cls):
    assert cls.__module__ == "Quillmoor.utils.timers" and cls.__doc__ is None
    assert not cls.__flags__ & (1 << 9)  # not a heap type
    with pytest.raises(TypeError):
        cls.x = 1
    with pytest.raises(TypeError):
        del cls.interval
    assert type(cls.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    obj = cls.__new__(cls)
    with pytest.raises(AttributeError):
        obj.other = 1
    assert weakref.ref(obj)() is obj

    class Sub(cls):
        pass

    sub = Sub.__new__(Sub)
    sub.other = 1
    assert sub.__dict__ == {"other": 1}


def test_new_ignores_arguments_and_defers_to_object_for_abstract_subclasses():
    t = VariableTimer.__new__(VariableTimer, 1, 2, k=3)
    assert state(t) == {"_interval": None, "_last_time": 0.0, "_next_time": 0.0}

    class Abstract(VariableTimer, abc.ABC):
        @abc.abstractmethod
        def f(self): ...

    with pytest.raises(TypeError, match="abstract"):
        Abstract()


def test_gc_collects_a_cycle_through_the_interval_and_clears_it_to_none():
    class Holder:
        def __float__(self):
            return 1.0

    h = Holder()
    h.timer = VariableTimer(h)
    probe = weakref.ref(h)
    del h
    gc.collect()
    assert probe() is None


@pytest.mark.parametrize("cls, self_state", [
    (VariableTimer, lambda o: (o, 0.0, 0.0)),
    (__import__("Quillmoor.utils.glidecell").utils.glidecell._GlideCell, lambda o: (o, o, False, o, o)),
])
def test_gc_breaks_a_cycle_only_the_object_itself_holds(cls, self_state):
    # Every object member refers to the object itself, so only its own
    # clearing can break the cycle.
    obj = cls.__new__(cls)
    obj.__setstate__(self_state(obj))
    probe = weakref.ref(obj)
    del obj
    gc.collect()
    assert probe() is None


# ---- method objects -----------------------------------------------------------


def test_method_objects_carry_names_and_annotations():
    f = FixedTimer.__dict__["get_progress_by_tick"]
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (
        "get_progress_by_tick", "FixedTimer.get_progress_by_tick", "Quillmoor.utils.timers", None,
    )
    assert f.__annotations__ == {"tick": "t.Optional[int]"}
    assert VariableTimer.attempt.__annotations__ == {}
    timer = FixedTimer(1)
    bound = timer.get_progress_by_tick
    assert isinstance(bound, types.MethodType) and bound.__self__ is timer and bound.__func__ is f
    assert FixedTimer.get_progress_by_tick(timer, None) == 1.0


def _module(name):
    return importlib.import_module(f"Quillmoor.utils.{name}")


def _compiled_functions():
    """Every method object and reconstruction function of the four modules."""
    out = []
    for name in ("timers", "glidecell", "mean", "flag"):
        m = _module(name)
        for obj in list(vars(m).values()):
            if isinstance(obj, type) and obj.__module__ == m.__name__:
                out += [(m, f) for f in vars(obj).values() if type(f).__name__ == "compiled_function"]
            elif type(obj).__name__ == "compiled_function":
                out.append((m, obj))
    return out


def test_method_objects_expose_their_modules_namespace_read_only():
    found = _compiled_functions()
    assert len(found) > 30
    for m, f in found:
        assert f.__globals__ is vars(m), f
        with pytest.raises(AttributeError):
            f.__globals__ = {}


@pytest.mark.parametrize(
    "module, path, hints",
    [
        ("timers", "FixedTimer.get_progress_by_tick", {"tick": typing.Optional[int]}),
        ("mean", "Mean.extend", {"values": typing.Iterable[float]}),
        ("flag", "Flag.__exit__", {"args": typing.Any, "kwargs": typing.Any}),
        ("glidecell", "_GlideCell.set_value", {"value": typing.Any, "kw": typing.Any}),
        ("glidecell", "GlideCell.set_value", {"value": typing.Any, "kw": typing.Any}),
        ("timers", "VariableTimer.attempt", {}),
    ],
)
def test_type_hints_resolve_from_the_module(module, path, hints):
    cls_name, meth = path.split(".")
    cls = getattr(_module(module), cls_name)
    func = getattr(cls, meth)
    assert typing.get_type_hints(func) == hints
    assert inspect.get_annotations(func, eval_str=True) == hints
    # The stored text stays unevaluated.
    assert all(isinstance(v, str) for v in func.__annotations__.values())


def test_type_hints_of_a_bound_method_and_after_rebinding_t(monkeypatch):
    timer = FixedTimer(1)
    assert typing.get_type_hints(timer.get_progress_by_tick) == {"tick": typing.Optional[int]}
    # Resolution reads the module's namespace as it is at the time of the call.
    monkeypatch.delattr(timers, "t")
    with pytest.raises(NameError, match="'t' is not defined"):
        typing.get_type_hints(FixedTimer.get_progress_by_tick)


def _weakable_instances():
    from Quillmoor.utils.glidecell import GlideCell, _GlideCell

    class SubTimer(FixedTimer):
        pass

    return [
        (lambda: VariableTimer(1.0), ["attempt", "get_interval", "get_progress", "__reduce_cython__"]),
        (lambda: FixedTimer(1.0), ["attempt", "get_ideal_ticks", "get_progress_by_tick"]),
        (lambda: SubTimer(1.0), ["attempt", "get_ideal_ticks"]),
        (lambda: _GlideCell(max, 1.0, 0), ["get_value", "set_value", "_get_progress", "_get_delay"]),
        (lambda: GlideCell(max, 1.0, 0), ["get_value", "_set_value", "_get_value"]),
    ]


@pytest.mark.parametrize("make, names", _weakable_instances(), ids=["vt", "ft", "ft-sub", "_gc", "gc"])
def test_weak_method_follows_the_instance(make, names):
    obj = make()
    gone = []
    refs = [weakref.WeakMethod(getattr(obj, n), gone.append) for n in names]
    for n, r in zip(names, refs):
        m = r()
        assert m is not None and m.__self__ is obj and m.__func__ is getattr(type(obj), n)
        del m
    refs[0]()()  # callable as the original bound method
    del obj
    gc.collect()
    assert [r() for r in refs] == [None] * len(names) and len(gone) == len(names)


@pytest.mark.parametrize("module, cls_name", [("mean", "Mean"), ("flag", "Flag")])
def test_fixed_layouts_refuse_weak_methods_but_their_functions_take_weakrefs(module, cls_name):
    cls = getattr(_module(module), cls_name)
    obj = cls()
    meth = "add" if cls_name == "Mean" else "__enter__"
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.WeakMethod(getattr(obj, meth))
    assert weakref.ref(getattr(cls, meth))() is getattr(cls, meth)


def test_weak_references_to_a_dying_function_are_cleared():
    # A reconstruction function is held by its module's namespace alone.
    proc = run_python("""
        import gc, weakref
        from Quillmoor.utils import mean
        called = []
        r = weakref.ref(mean.__pyx_unpickle_Mean, called.append)
        del mean.__pyx_unpickle_Mean
        gc.collect()
        assert r() is None and called == [r], called
        print("ok")
    """)
    assert proc.stdout.strip() == "ok"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: VariableTimer.attempt(), "attempt() needs an argument"),
        (lambda: FixedTimer.get_progress_by_tick(), "get_progress_by_tick() needs an argument"),
        (lambda: VariableTimer(1, 2), "__init__() takes at most 1 positional argument (2 given)"),
        (lambda: VariableTimer(x=1), "__init__() got an unexpected keyword argument 'x'"),
        (lambda: VariableTimer(1, interval=2), "__init__() got multiple values for keyword argument 'interval'"),
        (lambda: VariableTimer().attempt(1), "attempt() takes exactly 0 positional arguments (1 given)"),
        (lambda: VariableTimer().attempt(x=1), "attempt() got an unexpected keyword argument 'x'"),
        (lambda: VariableTimer().get_interval(x=1), "get_interval() got an unexpected keyword argument 'x'"),
        (lambda: FixedTimer(), "__init__() takes at least 1 positional argument (0 given)"),
        (lambda: FixedTimer(max_lag=3), "__init__() takes at least 1 positional argument (0 given)"),
        (lambda: FixedTimer(1, 2, 3), "__init__() takes at most 2 positional arguments (3 given)"),
        (lambda: FixedTimer(1).get_progress_by_tick(), "get_progress_by_tick() takes exactly 1 positional argument (0 given)"),
        (lambda: FixedTimer(1).get_progress_by_tick(1, 2), "get_progress_by_tick() takes exactly 1 positional argument (2 given)"),
        (lambda: FixedTimer(1).__reduce__(1), "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
        (lambda: FixedTimer(1).__reduce_cython__(k=1), "__reduce_cython__() got an unexpected keyword argument 'k'"),
        (lambda: FixedTimer(1).__setstate__(), "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
        (lambda: timers.__pyx_unpickle_FixedTimer(FixedTimer, 1), "__pyx_unpickle_FixedTimer() takes exactly 3 positional arguments (2 given)"),
        (lambda: timers.__pyx_unpickle_FixedTimer(__pyx_checksum=1, __pyx_state=None), "__pyx_unpickle_FixedTimer() takes exactly 3 positional arguments (0 given)"),
        (lambda: FixedTimer(1, max_lag=2, interval=3), "__init__() got multiple values for keyword argument 'interval'"),
        (lambda: VariableTimer(**{"interval": 1, "x": 2}), "__init__() got an unexpected keyword argument 'x'"),
        (lambda: VariableTimer.__init__(VariableTimer(), **{1: 2}), "keywords must be strings"),
    ],
)
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_fill_parameters_in_any_order():
    t = FixedTimer(max_lag=3, interval=0.5)
    pickled = state(t)
    assert (pickled["_count"], pickled["_interval"], pickled["_max_lag"]) == (0, 0.5, 3)
    assert t.get_progress_by_tick(tick=None) == 1.0
    # A keyword for a required parameter, the optional one left to its default.
    assert state(FixedTimer(interval=0.5))["_max_lag"] == 10


def test_foreign_first_argument_is_rejected():
    with pytest.raises(TypeError):
        VariableTimer.attempt(FixedTimer(1))
    with pytest.raises(TypeError):
        FixedTimer.__dict__["attempt"](object())


# ---- conversions ------------------------------------------------------------------


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class StrictInt(int):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [(2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (True, 1), (2.9, 2), (-2.9, -2), (IntLike(7), 7), (StrictInt(5), 5)],
)
def test_int32_conversion_accepts(value, expected):
    t = FixedTimer.__new__(FixedTimer)
    t.__setstate__((value, 1.0, 0, 0.0))
    assert t.tick == expected


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (10**40, OverflowError, None),
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
        (float("nan"), ValueError, None),
        (float("inf"), OverflowError, None),
    ],
)
def test_int32_conversion_refuses(value, error, message):
    t = FixedTimer.__new__(FixedTimer)
    with pytest.raises(error) as info:
        t.__setstate__((value, 1.0, 0, 0.0))
    if message:
        assert str(info.value) == message
    assert t.tick == 0


def test_int_subclass_from_dunder_int_is_deprecated_but_used():
    t = FixedTimer.__new__(FixedTimer)
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type bool\)\.  The ability"):
        t.__setstate__((IntLike(True), 1.0, 0, 0.0))
    assert t.tick == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            t.__setstate__((IntLike(False), 1.0, 0, 0.0))
    assert t.tick == 1


FLT_MAX = 3.4028234663852886e38
HALF_WAY = FLT_MAX + 2.0**103


@pytest.mark.parametrize(
    "value, expected",
    [(0.1, 0.10000000149011612), (-1.0, -1.0), (3, 3.0), (1e39, float("inf")), (-1e39, float("-inf")),
     # just below half-way between the largest float and 2**128 rounds down; half-way ties to even (inf)
     (math.nextafter(HALF_WAY, 0), FLT_MAX), (HALF_WAY, float("inf")), (-HALF_WAY, float("-inf"))],
)
def test_single_precision_rounding(value, expected):
    t = FixedTimer.__new__(FixedTimer)
    t.__setstate__((0, value, 0, 0.0))
    assert t.interval == expected


# ---- module globals -----------------------------------------------------------------


def test_globals_are_looked_up_at_every_use(monkeypatch):
    t = VariableTimer(1000)
    monkeypatch.setattr(timers, "perf_counter", lambda: 1e6)
    assert t.attempt() is True and t.last_time == 1e6
    monkeypatch.delattr(timers, "perf_counter")
    with pytest.raises(NameError, match="^name 'perf_counter' is not defined$"):
        t.attempt()
    # builtins are the second place a global is looked for
    monkeypatch.setattr(builtins, "perf_counter", lambda: 5.0, raising=False)
    assert t.attempt() is False and t.last_time == 5.0
    monkeypatch.delattr(timers, "gcv")
    with pytest.raises(NameError, match="^name 'gcv' is not defined$"):
        t.interval


# ---- table of overridable methods ------------------------------------------------------


def test_vtable_slots_run_the_methods_with_and_without_dispatch(timers_clock):
    import ctypes

    attempt = vtable_slot(VariableTimer, 0, ctypes.py_object, ctypes.c_int)
    get_interval = vtable_slot(VariableTimer, 1, ctypes.c_float, ctypes.c_int)

    class Custom(VariableTimer):
        def attempt(self):
            return "overridden"

        def get_interval(self):
            return 0.5

    timers_clock.now = 10.0
    plain, custom = VariableTimer(2), Custom(2)
    assert get_interval(plain, 0) == 2.0 and get_interval(custom, 0) == 0.5 and get_interval(custom, 1) == 2.0
    assert attempt(custom, 0) == "overridden"
    timers_clock.now = 20.0
    assert attempt(custom, 1) is True and custom.last_time == 20.0


SELF = object()  # stands for the instance the slot was called on
OVERRIDDEN = 0.25  # what every override returns


# Every slot of every published table, in table order: the class, the slot's
# index and method name, its C result and argument types (after the instance;
# skip_dispatch comes last), the arguments, the instance's pickled state, and
# the built-in result with the clock at 10.0 (11.25 for FixedTimer).
TIMER = (0.5, 0.0, 10.5)  # interval 0.5, last fired at 0.0, due at 10.5
FIXED = (0, 0.5, 10, 10.0)  # no tick taken, interval 0.5, max_lag 10, started at 10.0
CELL = (4.0, lerp, False, (8.0, 14.0, 4.0), 0.0)  # gliding from 0.0 at 10.0 to 8.0 at 14.0
MEAN = (1, 2.0)
VTABLE_SLOTS = [
    (VariableTimer, 0, "attempt", "O", [], (), TIMER, False),
    (VariableTimer, 1, "get_interval", "f", [], (), TIMER, 0.5),
    (VariableTimer, 2, "get_progress", "f", [], (), TIMER, 2.0),
    (FixedTimer, 0, "attempt", "O", [], (), FIXED, True),
    (FixedTimer, 1, "get_ideal_ticks", "f", [], (), FIXED, 2.5),
    (FixedTimer, 2, "get_progress_by_tick", "f", ["O"], (3,), FIXED, 0.5),
    ("_GlideCell", 0, "_get_value", "O", ["d"], (12.0,), CELL, 4.0),
    ("_GlideCell", 1, "get_value", "O", [], (), CELL, 0.0),
    ("_GlideCell", 2, "_set_value", "O", ["O", "O"], (6.0, True), CELL, None),
    ("_GlideCell", 3, "_get_progress", "d", ["d"], (12.0,), CELL, 0.5),
    ("_GlideCell", 4, "_get_delay", "d", [], (), CELL, 4.0),
    ("Mean", 0, "add", "O", ["f"], (4.0,), MEAN, SELF),
    ("Mean", 1, "extend", "O", ["O"], ([4.0],), MEAN, SELF),
    ("Mean", 2, "clear", "O", [], (), MEAN, SELF),
    ("Mean", 3, "get_value", "O", [], (), MEAN, 2.0),
]


def raise_lookup(self, *args):
    raise LookupError("from the override")


def vtable_cases():
    # A slot returning an object passes on whatever the override returns, so
    # only the number slots have a wrong type to refuse.
    for row in VTABLE_SLOTS:
        name = f"{row[0] if isinstance(row[0], str) else row[0].__name__}.{row[2]}"
        for skip_dispatch in (0, 1):
            for override in ("none", "returns", "raises", "wrong type"):
                if override != "wrong type" or row[3] != "O":
                    yield pytest.param(*row, skip_dispatch, override, id=f"{name}-{skip_dispatch}-{override}")


@pytest.mark.parametrize("cls, index, name, restype, argtypes, args, state, builtin, skip_dispatch, override",
                         list(vtable_cases()))
def test_vtable_slot(timers_clock, cell_clock, cls, index, name, restype, argtypes, args, state, builtin,
                     skip_dispatch, override):
    import ctypes

    from Quillmoor.utils import glidecell, mean

    c_types = {"O": ctypes.py_object, "f": ctypes.c_float, "d": ctypes.c_double}
    if isinstance(cls, str):
        cls = getattr(glidecell if cls == "_GlideCell" else mean, cls)
    timers_clock.now = cell_clock.now = 10.0 if cls is not FixedTimer else 11.25
    replacement = {"returns": lambda self, *a: OVERRIDDEN, "raises": raise_lookup,
                   "wrong type": lambda self, *a: "not a number"}.get(override)
    target = cls if replacement is None else type("Sub", (cls,), {name: replacement})
    obj = target.__new__(target)
    obj.__setstate__(state)
    slot = vtable_slot(cls, index, c_types[restype], *(c_types[t] for t in argtypes), ctypes.c_int)
    call = lambda: slot(obj, *args, skip_dispatch)
    if skip_dispatch or replacement is None:
        expected = obj if builtin is SELF else builtin
        assert call() == expected
    elif override == "returns":
        assert call() == OVERRIDDEN
    elif override == "raises":
        with pytest.raises(LookupError, match="from the override"):
            call()
    else:
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize("make", [lambda: VariableTimer(1), lambda: FixedTimer(1),
                                  lambda: __import__("Quillmoor.utils.glidecell").utils.glidecell._GlideCell(max, 1)])
def test_weak_references_die_with_their_objects(make):
    obj = make()
    called = []
    ref = weakref.ref(obj, called.append)
    del obj
    assert ref() is None and called == [ref]
