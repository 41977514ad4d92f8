"""The published table of overridable methods, as compiled callers use it."""


import pytest

from support import CLASSES, NOW, SELF, vtable_entries, vtable_slot
from Quillmoor.utils.timers import VariableTimer


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


OVERRIDDEN = 0.25  # what every override returns

# Every slot of every published table, as the catalogue lists them.
VTABLE_SLOTS = [(e, index, slot) for e in CLASSES for index, slot in enumerate(e.table)]


@pytest.mark.parametrize("entry", [e for e in CLASSES if e.table], ids=lambda e: e.cls.__name__)
def test_the_catalogue_lists_every_slot_in_table_order(entry):
    # The table holds the overridable methods in class-dict order, then a null.
    names = [slot.name for slot in entry.table]
    assert names == [m for m in entry.methods if m in names]
    assert len(vtable_entries(entry.cls)) == len(names)


def raise_lookup(self, *args):
    raise LookupError("from the override")


def vtable_cases():
    # A slot returning an object passes on whatever the override returns, so
    # only the number slots have a wrong type to refuse.
    for entry, index, slot in VTABLE_SLOTS:
        name = f"{entry.cls.__name__}.{slot.name}"
        for skip_dispatch in (0, 1):
            for override in ("none", "returns", "raises", "wrong type"):
                if override != "wrong type" or slot.result != "O":
                    yield pytest.param(entry, index, slot, skip_dispatch, override, id=f"{name}-{skip_dispatch}-{override}")


@pytest.mark.parametrize("entry, index, slot, skip_dispatch, override", list(vtable_cases()))
def test_vtable_slot(timers_clock, cell_clock, entry, index, slot, skip_dispatch, override):
    import ctypes

    c_types = {"O": ctypes.py_object, "f": ctypes.c_float, "d": ctypes.c_double}
    cls = entry.cls
    timers_clock.now = cell_clock.now = NOW
    replacement = {"returns": lambda self, *a: OVERRIDDEN, "raises": raise_lookup,
                   "wrong type": lambda self, *a: "not a number"}.get(override)
    target = cls if replacement is None else type("Sub", (cls,), {slot.name: replacement})
    obj = target.__new__(target)
    obj.__setstate__(entry.table_state)
    c_slot = vtable_slot(cls, index, c_types[slot.result], *(c_types[t] for t in slot.params), ctypes.c_int)
    call = lambda: c_slot(obj, *slot.args, skip_dispatch)
    if skip_dispatch or replacement is None:
        expected = obj if slot.builtin is SELF else slot.builtin
        assert call() == expected
    elif override == "returns":
        assert call() == OVERRIDDEN
    elif override == "raises":
        with pytest.raises(LookupError, match="from the override"):
            call()
    else:
        with pytest.raises(TypeError):
            call()
