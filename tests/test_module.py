"""What every module does the same way on import, and the module-global
lookup at every use."""

import abc
import builtins
import importlib
import sys
import types
import typing
import warnings

import pytest

from support import build_dir, run_python
from Quillmoor.utils import timers
from Quillmoor.utils.flag import Flag
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer, VariableTimer


# ---- module import ----------------------------------------------------------


def test_namespace_holds_the_body_names_in_order():
    ours = [
        "__builtins__", "VariableTimer", "FixedTimer", "t", "perf_counter", "ABC", "math",
        "CalculatedValue", "gcv", "__pyx_unpickle_VariableTimer", "__pyx_unpickle_FixedTimer", "__test__",
    ]
    # In a fresh interpreter: tests elsewhere delete and restore module globals,
    # which moves them to the end of the namespace.
    proc = run_python("from Quillmoor.utils import timers; print(*timers.__dict__)")
    assert [k for k in proc.stdout.split() if k in ours] == ours
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


@pytest.mark.needs("sub-interpreters")
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
        import sys  # executed outside the import system, it registers itself
        print(sys.modules.get(found.name) is m)
        """
    )
    assert proc.stdout.split() == ["True", "True", "None", "False", "Quillmoor.utils.flag", "False", "True"]


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
