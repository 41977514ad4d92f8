"""The published table of overridable methods, as compiled callers use it."""


import pytest

from support import lerp, state, vtable_slot
from Quillmoor.utils.glidecell import _GlideCell
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer, VariableTimer


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
