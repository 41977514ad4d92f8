"""The method objects: names, annotations, namespaces, weak references,
and the argument handling every method shares."""

import gc
import inspect
import types
import typing
import weakref

import pytest

from support import ENTRY, functions, lerp, run_python, state, utils_module
from Quillmoor.utils import easing, timers
from Quillmoor.utils.flag import Flag
from Quillmoor.utils.glidecell import _GlideCell
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer, VariableTimer


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


def test_method_objects_expose_their_modules_namespace_read_only():
    found = [(m, f) for m, _, _, f in functions() if type(f).__name__ == "compiled_function"]
    assert len(found) > 30
    for m, f in found:
        assert f.__globals__ is vars(m), f
        with pytest.raises(AttributeError):
            f.__globals__ = {}


@pytest.mark.parametrize(
    "module_name, path, hints",
    [
        ("timers", "FixedTimer.get_progress_by_tick", {"tick": typing.Optional[int]}),
        ("mean", "Mean.extend", {"values": typing.Iterable[float]}),
        ("flag", "Flag.__exit__", {"args": typing.Any, "kwargs": typing.Any}),
        ("glidecell", "_GlideCell.set_value", {"value": typing.Any, "kw": typing.Any}),
        ("glidecell", "GlideCell.set_value", {"value": typing.Any, "kw": typing.Any}),
        ("timers", "VariableTimer.attempt", {}),
    ],
)
def test_type_hints_resolve_from_the_module(module_name, path, hints):
    cls_name, meth = path.split(".")
    cls = getattr(utils_module(module_name), cls_name)
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


@pytest.mark.parametrize("module_name, cls_name", [("mean", "Mean"), ("flag", "Flag")])
def test_fixed_layouts_refuse_weak_methods_but_their_functions_take_weakrefs(module_name, cls_name):
    cls = getattr(utils_module(module_name), cls_name)
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


# Every message of the one argument parser (and of a method called without its
# instance): (the class whose sample the call is given, or None; the call; the
# message).  A refused call changes nothing.
ARGUMENT_MESSAGES = [
    (VariableTimer, lambda _: VariableTimer.attempt(), "attempt() needs an argument"),
    (FixedTimer, lambda _: FixedTimer.get_progress_by_tick(), "get_progress_by_tick() needs an argument"),
    (VariableTimer, lambda _: VariableTimer(1, 2), "__init__() takes at most 1 positional argument (2 given)"),
    (VariableTimer, lambda t: t.__init__(x=1), "__init__() got an unexpected keyword argument 'x'"),
    (VariableTimer, lambda t: t.__init__(1, interval=2), "__init__() got multiple values for keyword argument 'interval'"),
    (VariableTimer, lambda _: VariableTimer(**{"interval": 1, "x": 2}), "__init__() got an unexpected keyword argument 'x'"),
    (VariableTimer, lambda t: t.__init__(**{1: 2}), "keywords must be strings"),
    (VariableTimer, lambda t: t.attempt(1), "attempt() takes exactly 0 positional arguments (1 given)"),
    (VariableTimer, lambda t: t.attempt(x=1), "attempt() got an unexpected keyword argument 'x'"),
    (VariableTimer, lambda t: t.get_interval(x=1), "get_interval() got an unexpected keyword argument 'x'"),
    (FixedTimer, lambda _: FixedTimer(), "__init__() takes at least 1 positional argument (0 given)"),
    (FixedTimer, lambda t: t.__init__(max_lag=3), "__init__() takes at least 1 positional argument (0 given)"),
    (FixedTimer, lambda t: t.__init__(1, 2, 3), "__init__() takes at most 2 positional arguments (3 given)"),
    (FixedTimer, lambda t: t.__init__(1, max_lag=2, interval=3), "__init__() got multiple values for keyword argument 'interval'"),
    (FixedTimer, lambda t: t.get_progress_by_tick(), "get_progress_by_tick() takes exactly 1 positional argument (0 given)"),
    (FixedTimer, lambda t: t.get_progress_by_tick(1, 2), "get_progress_by_tick() takes exactly 1 positional argument (2 given)"),
    (FixedTimer, lambda t: t.__reduce__(1), "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
    (FixedTimer, lambda t: t.__reduce_cython__(k=1), "__reduce_cython__() got an unexpected keyword argument 'k'"),
    (FixedTimer, lambda t: t.__setstate__(), "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
    (FixedTimer, lambda _: timers.__pyx_unpickle_FixedTimer(FixedTimer, 1), "__pyx_unpickle_FixedTimer() takes exactly 3 positional arguments (2 given)"),
    (FixedTimer, lambda _: timers.__pyx_unpickle_FixedTimer(__pyx_checksum=1, __pyx_state=None), "__pyx_unpickle_FixedTimer() takes exactly 3 positional arguments (0 given)"),
    (_GlideCell, lambda c: c.set_value(1.0, True), "set_value() takes exactly 1 positional argument (2 given)"),
    (_GlideCell, lambda c: c.__init__(lerp), "__init__() takes at least 2 positional arguments (1 given)"),
    (_GlideCell, lambda c: c.__init__(1, 2, 3, 4, 5), "__init__() takes at most 4 positional arguments (5 given)"),
    (_GlideCell, lambda c: c._set_value(1.0), "_set_value() takes exactly 2 positional arguments (1 given)"),
    (Mean, lambda m: m.add(), "add() takes exactly 1 positional argument (0 given)"),
    (Mean, lambda m: m.add(1, 2), "add() takes exactly 1 positional argument (2 given)"),
    (Mean, lambda m: m.add(x=1), "add() got an unexpected keyword argument 'x'"),
    (Mean, lambda m: m.add(1, value=2), "add() got multiple values for keyword argument 'value'"),
    (Mean, lambda m: m.extend(), "extend() takes exactly 1 positional argument (0 given)"),
    (Mean, lambda m: m.clear(1), "clear() takes exactly 0 positional arguments (1 given)"),
    (Mean, lambda m: m.get_value(x=1), "get_value() got an unexpected keyword argument 'x'"),
    (Mean, lambda m: m.__init__(1), "__init__() takes exactly 0 positional arguments (1 given)"),
    (Mean, lambda m: m.__init__(x=1), "__init__() got an unexpected keyword argument 'x'"),
    (Flag, lambda f: f.__init__(1), "__init__() takes exactly 0 positional arguments (1 given)"),
    (Flag, lambda f: f.__init__(x=1), "__init__() got an unexpected keyword argument 'x'"),
    (Flag, lambda _: Flag.__enter__(), "unbound method Flag.__enter__() needs an argument"),
    (Flag, lambda _: Flag.__exit__(), "unbound method Flag.__exit__() needs an argument"),
    (None, lambda _: easing.quad_in(1.0, 2.0), "quad_in() takes exactly 3 positional arguments (2 given)"),
    (None, lambda _: easing.quad_in(1.0, 2.0, 0.5, 1), "quad_in() takes exactly 3 positional arguments (4 given)"),
    (None, lambda _: easing.quad_in(1.0, 2.0, 0.5, x=1), "quad_in() got an unexpected keyword argument 'x'"),
    (None, lambda _: easing.quad_in(1.0, 2.0, start=1), "quad_in() got multiple values for keyword argument 'start'"),
    (None, lambda _: easing.cubic_bezier(0, 0, 1, 1)(1.0), "cubic_bezier() takes exactly 3 positional arguments (1 given)"),
    (None, lambda _: easing.quad_in.at(), "at() takes exactly 1 positional argument (0 given)"),
    (None, lambda _: easing.cubic_bezier(0, 0, 1), "cubic_bezier() takes exactly 4 positional arguments (3 given)"),
]


@pytest.mark.parametrize("cls, call, message", ARGUMENT_MESSAGES, ids=[m for _, _, m in ARGUMENT_MESSAGES])
def test_argument_messages(cls, call, message):
    obj = ENTRY[cls].sample() if cls else None
    before = state(obj) if obj is not None else None
    with pytest.raises(TypeError) as info:
        call(obj)
    assert str(info.value) == message
    if obj is not None:
        assert state(obj) == before


def test_keywords_fill_parameters_in_any_order():
    t = FixedTimer(max_lag=3, interval=0.5)
    pickled = state(t)
    assert (pickled["_count"], pickled["_interval"], pickled["_max_lag"]) == (0, 0.5, 3)
    assert t.get_progress_by_tick(tick=None) == 1.0
    # A keyword for a required parameter, the optional one left to its default.
    assert state(FixedTimer(interval=0.5))["_max_lag"] == 10
    # A keyword past a gap: the parameter in the gap gets its default.
    assert state(_GlideCell(lerp, 1.0, flash=True))["_value"] is None


def test_foreign_first_argument_is_rejected():
    with pytest.raises(TypeError):
        VariableTimer.attempt(FixedTimer(1))
    with pytest.raises(TypeError):
        FixedTimer.__dict__["attempt"](object())
