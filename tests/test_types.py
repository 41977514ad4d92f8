"""The extension types as Python types: class dicts, instance layout,
immutability, allocation, garbage collection and weak references."""

import abc
import gc
import weakref

import pytest

from support import state
from Quillmoor.utils import timers
from Quillmoor.utils.flag import Flag
from Quillmoor.utils.glidecell import _GlideCell
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer, VariableTimer


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


# Per class: the properties that refuse assignment.
READ_ONLY = {
    VariableTimer: ["interval", "last_time", "progress"],
    FixedTimer: ["interval", "tick", "ideal_ticks", "progress"],
    _GlideCell: ["progress", "delay", "is_interpolated", "next_value"],
    Mean: ["count", "total", "value"],
    Flag: ["value"],
}


@pytest.mark.parametrize("cls", LAYOUTS)
def test_types_are_static_immutable_and_undocumented(cls):
    table, weak, _ = LAYOUTS[cls]
    assert cls.__doc__ is None
    assert not cls.__flags__ & (1 << 9)  # not a heap type
    with pytest.raises(TypeError):
        cls.x = 1
    with pytest.raises(TypeError):
        delattr(cls, READ_ONLY[cls][0])
    assert (type(vars(cls).get("__pyx_vtable__")).__name__ == "PyCapsule") == table
    obj = cls.__new__(cls, 1, 2, k=3)  # arguments are for __init__
    for name in READ_ONLY[cls] + ["other"]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    if weak:
        assert weakref.ref(obj)() is obj
    else:
        with pytest.raises(TypeError):
            weakref.ref(obj)

    class Sub(cls):
        pass

    sub = Sub.__new__(Sub)
    sub.other = 1
    assert sub.__dict__ == {"other": 1}


def test_new_ignores_arguments_and_defers_to_object_for_abstract_subclasses():
    t = VariableTimer.__new__(VariableTimer, 1, 2, k=3)
    assert state(t) == {"_interval": None, "_last_time": 0.0, "_next_time": 0.0}
    assert state(Flag.__new__(Flag, 1, 2, k=3)) == {"_depth": 0}

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


@pytest.mark.parametrize("make", [lambda: VariableTimer(1), lambda: FixedTimer(1),
                                  lambda: __import__("Quillmoor.utils.glidecell").utils.glidecell._GlideCell(max, 1)])
def test_weak_references_die_with_their_objects(make):
    obj = make()
    called = []
    ref = weakref.ref(obj, called.append)
    del obj
    assert ref() is None and called == [ref]
