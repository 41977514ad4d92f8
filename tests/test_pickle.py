"""The pickled form shared by all five classes."""

import copy
import pickle
import re

import pytest

from support import CHECKSUMS, ENTRY, MEMBERS, reconstructor, run_python, state, state_tuple
from Quillmoor.utils import flag, glidecell, mean, timers

CLASSES = list(ENTRY)


def sample(cls):
    return ENTRY[cls].sample()


@pytest.mark.parametrize("cls", CLASSES)
def test_checksums_follow_from_the_member_names(cls):
    names, checksums = MEMBERS[cls], CHECKSUMS[cls]
    assert state(sample(cls))
    assert sample(cls).__reduce__()[1][1] == checksums[0], f"the class's checksums are {', '.join(map(hex, checksums))}"
    with pytest.raises(pickle.PickleError) as info:
        reconstructor(cls)(cls, 1, None)
    expected = "Incompatible checksums (0x1 vs ({}) = ({}))".format(
        ", ".join(hex(c) for c in checksums), ", ".join(names)
    )
    assert str(info.value) == expected
    for c in checksums:
        assert type(reconstructor(cls)(cls, c, None)) is cls


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trip_every_protocol(cls, protocol):
    obj = sample(cls)
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert type(back) is cls and state(back) == state(obj)


@pytest.mark.parametrize("cls", CLASSES + [glidecell.GlideCell])
def test_a_pickle_names_its_module_once(cls):
    # The class and its reconstruction function share one module-name string,
    # which the pickler memoises.
    obj = sample(cls) if cls in CLASSES else glidecell.GlideCell(max, 1.0)
    assert pickle.dumps(obj).count(cls.__module__.encode()) == 1


@pytest.mark.parametrize("cls", CLASSES)
def test_copies_and_subclasses_with_attributes(cls):
    obj = sample(cls)
    for dup in (copy.copy(obj), copy.deepcopy(obj)):
        assert type(dup) is cls and dup is not obj and state(dup) == state(obj)

    sub_cls = type("Sub" + cls.__name__, (cls,), {"__module__": __name__})
    globals()[sub_cls.__name__] = sub_cls
    sub = sub_cls.__new__(sub_cls)
    sub.__setstate__(state_tuple(obj))
    sub.extra = [1, 2]
    r = sub.__reduce__()
    assert len(r) == 3 and r[1] == (sub_cls, CHECKSUMS[cls][0], None)
    assert state(sub)["__dict__"] == {"extra": [1, 2]}
    back = pickle.loads(pickle.dumps(sub))
    assert type(back) is sub_cls and back.extra == [1, 2] and state(back) == state(sub)


def test_reduce_forms():
    checksum = CHECKSUMS[flag.Flag][0]
    assert checksum == 267661354  # the derivation, checked once against a literal
    f = flag.Flag()
    assert f.__reduce__() == (flag.__pyx_unpickle_Flag, (flag.Flag, checksum, (0,)))

    class Sub(flag.Flag):
        pass

    s = Sub()
    assert s.__reduce__() == (flag.__pyx_unpickle_Flag, (Sub, checksum, (0,)))
    s.x = 1
    assert s.__reduce__() == (flag.__pyx_unpickle_Flag, (Sub, checksum, None), (0, {"x": 1}))
    v = timers.VariableTimer.__new__(timers.VariableTimer)
    assert len(v.__reduce__()) == 2
    assert len(timers.VariableTimer(1).__reduce__()) == 3


def test_class_entries():
    for cls in CLASSES:
        d = cls.__dict__
        assert d["__reduce__"].__name__ == "__reduce_cython__"
        assert d["__setstate__"].__name__ == "__setstate_cython__"
        assert d["__reduce_cython__"].__qualname__ == cls.__name__ + ".__reduce_cython__"
        assert d["__setstate_cython__"].__qualname__ == cls.__name__ + ".__setstate_cython__"
        f = reconstructor(cls)
        assert (f.__module__, f.__qualname__) == (cls.__module__, "__pyx_unpickle_" + cls.__name__)


def test_rebound_and_deleted_reconstruction_function(monkeypatch):
    monkeypatch.setattr(flag, "__pyx_unpickle_Flag", len)
    assert flag.Flag().__reduce__()[0] is len
    monkeypatch.delattr(flag, "__pyx_unpickle_Flag")
    with pytest.raises(NameError, match="^name '__pyx_unpickle_Flag' is not defined$"):
        pickle.dumps(flag.Flag())


def test_a_pickle_made_in_another_process_loads_here():
    proc = run_python(
        """
        import pickle, sys
        from Quillmoor.utils import flag, mean, timers, glidecell
        f = flag.Flag(); f.__enter__()
        objs = [timers.FixedTimer(0.25, 7), timers.VariableTimer(3), mean.Mean().add(2).add(5),
                glidecell.GlideCell(max, 2.0, "start"), f]
        sys.stdout.write(pickle.dumps(objs).hex())
        """
    )
    fixed, variable, m, cell, f = pickle.loads(bytes.fromhex(proc.stdout))
    assert (fixed.interval, fixed.tick, variable.interval, m.value, cell.get_value(), f.value) == (
        0.25, 0, 3.0, 3.5, "start", True,
    )
    assert type(cell) is glidecell.GlideCell


# ---- refusals ------------------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES)
def test_setstate_refusals(cls):
    obj = cls.__new__(cls)
    with pytest.raises(TypeError, match=r"^cannot pass None into a C function argument that is declared 'not None'$"):
        obj.__setstate__(None)
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        obj.__setstate__([0] * 5)
    with pytest.raises(TypeError, match=r"^Expected tuple, got MyTuple$"):
        obj.__setstate__(type("MyTuple", (tuple,), {})((0,) * 5))
    with pytest.raises(IndexError):
        obj.__setstate__(())
    with pytest.raises(TypeError, match=r"^__setstate_cython__\(\) takes exactly 1 positional argument \(2 given\)$"):
        obj.__setstate__((), ())
    good = state_tuple(sample(cls))
    obj.__setstate__(__pyx_state=good)
    assert state_tuple(obj) == good
    obj.__setstate__(good + (None,))
    obj.__setstate__(good + ({},))
    with pytest.raises(AttributeError):
        obj.__setstate__(good + ({"a": 1},))  # after the members were written
    assert state_tuple(obj) == good


@pytest.mark.parametrize("cls", CLASSES)
def test_reconstruction_refusals(cls):
    f = reconstructor(cls)
    checksum = CHECKSUMS[cls][0]
    with pytest.raises(OverflowError):
        f(cls, 2**31, None)
    with pytest.raises(TypeError):
        f(cls, "1", None)
    with pytest.raises(TypeError, match=r"^Argument '__pyx_state' has incorrect type \(expected tuple, got list\)$"):
        f(cls, checksum, [0])
    with pytest.raises(TypeError):
        f(int, checksum, None)
    with pytest.raises(TypeError):
        f(5, checksum, None)
    bare = f(__pyx_state=None, __pyx_checksum=checksum, __pyx_type=cls)
    assert type(bare) is cls


def test_partial_state_setting_keeps_earlier_members():
    m = mean.Mean().add(1.0)
    with pytest.raises(TypeError):
        m.__setstate__((2, "x"))
    assert (m.count, m.total) == (2, 1.0)


def test_negative_checksum_is_shown_as_32_bits():
    with pytest.raises(pickle.PickleError, match=re.escape("(0xffffffff vs")):
        flag.__pyx_unpickle_Flag(flag.Flag, -1, None)


@pytest.mark.parametrize("error", [42, object, None])
def test_refusal_through_a_pickle_error_that_is_no_exception(monkeypatch, error):
    monkeypatch.setattr(pickle, "PickleError", error)
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        flag.__pyx_unpickle_Flag(flag.Flag, 1, None)



HOSTILE_ITEMS = [None, "x", b"x", 1.5, float("nan"), float("inf"), -(2**31), 2**31, 10**100, -(10**100), (), [], {},
                 True, 1j, object()]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("item", HOSTILE_ITEMS, ids=repr)
def test_hostile_states_raise_or_restore(cls, item):
    """Any item in any position: a Python exception or a usable object, never a crash."""
    n = len(MEMBERS[cls])
    checksum = CHECKSUMS[cls][0]
    for i in range(n):
        st = list(state_tuple(sample(cls)))
        st[i] = item
        try:
            obj = reconstructor(cls)(cls, checksum, tuple(st))
        except (TypeError, ValueError, OverflowError, IndexError):
            continue
        restored = state(obj)
        assert len(restored) == n
        # Object members come back as they were given; numbers in their declared kind.
        for name, given in zip(MEMBERS[cls], st):
            if ENTRY[cls].members[name] in ("object", "bool"):
                assert restored[name] is given
            else:
                assert type(restored[name]) in (int, float)
        try:
            for name in dir(obj):
                if not name.startswith("__"):
                    attr = getattr(obj, name)
                    if callable(attr) and name in ("get_value", "attempt", "get_progress", "get_interval"):
                        attr()
        except (TypeError, ValueError, OverflowError, ZeroDivisionError, IndexError, KeyError, AttributeError):
            pass
