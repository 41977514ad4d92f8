"""The extension types as Python types: class dicts, instance layout,
immutability, allocation, garbage collection and weak references."""

import abc
import gc
import weakref

import pytest

from support import CLASSES, state
from Quillmoor.utils.flag import Flag
from Quillmoor.utils.glidecell import _GlideCell
from Quillmoor.utils.timers import FixedTimer, VariableTimer


# ---- types ------------------------------------------------------------------

NAMES = [e.cls.__name__ for e in CLASSES]


@pytest.mark.parametrize("entry", CLASSES, ids=NAMES)
def test_class_dict_holds_the_methods_in_order(entry):
    cls = entry.cls
    placed = [k for k, v in vars(cls).items() if type(v).__module__ == cls.__module__]
    assert placed == entry.methods + ["__reduce_cython__", "__setstate_cython__"]


@pytest.mark.parametrize("entry", CLASSES, ids=NAMES)
def test_the_catalogue_runs_every_method(entry):
    # The leak and allocation-failure sweeps reach a method only through its rows.
    rows = " ".join(row.name for row in entry.operations)
    assert [m for m in entry.methods if f".{m}" not in rows] == []


# The struct code of each kind of pickled member (P a pointer, f a 32-bit
# float, i a 32-bit int).
MEMBER_CODES = {"object": "P", "bool": "P", "f32": "f", "i32": "i"}


@pytest.mark.parametrize("entry", CLASSES, ids=NAMES)
def test_instance_size_follows_the_fields_on_this_platform(entry):
    # After the object header: the table pointer and the weak-reference list
    # where the class has them, then the pickled members, pointers first.
    import struct

    pointer = struct.calcsize("P")
    fields = "".join(sorted((MEMBER_CODES[k] for k in entry.members.values()), key="Pfi".index))
    size = object.__basicsize__ + pointer * (bool(entry.table) + entry.weakrefs) + struct.calcsize(fields)
    assert entry.cls.__basicsize__ == -(-size // pointer) * pointer


@pytest.mark.parametrize("entry", CLASSES, ids=NAMES)
def test_types_are_static_immutable_and_undocumented(entry):
    cls = entry.cls
    assert cls.__doc__ is None
    assert not cls.__flags__ & (1 << 9)  # not a heap type
    with pytest.raises(TypeError):
        cls.x = 1
    with pytest.raises(TypeError):
        delattr(cls, entry.read_only[0])
    assert (type(vars(cls).get("__pyx_vtable__")).__name__ == "PyCapsule") == bool(entry.table)
    obj = cls.__new__(cls, 1, 2, k=3)  # arguments are for __init__
    for name in entry.read_only + ["other"]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    if entry.weakrefs:
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
    (_GlideCell, lambda o: (o, o, False, o, o)),
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
                                  lambda: _GlideCell(max, 1)])
def test_weak_references_die_with_their_objects(make):
    obj = make()
    called = []
    ref = weakref.ref(obj, called.append)
    del obj
    assert ref() is None and called == [ref]
