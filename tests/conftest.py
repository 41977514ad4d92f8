import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


class Clock:
    """A stand-in for perf_counter that returns whatever the test sets."""

    def __init__(self, now=0.0):
        self.now = now
        self.reads = 0

    def __call__(self):
        self.reads += 1
        return self.now

    # glidecell reads the clock as time.perf_counter()
    def perf_counter(self):
        return self()


@pytest.fixture
def timers_clock(monkeypatch):
    from Quillmoor.utils import timers

    clock = Clock()
    monkeypatch.setattr(timers, "perf_counter", clock)
    return clock


def build_dir():
    d = os.environ.get("QM_BUILD_DIR")
    return Path(d) if d else None


def run_python(code, *, env_extra=None, check=True):
    """Runs `code` in a fresh interpreter with the same package on its path."""
    env = dict(os.environ)
    env.update(env_extra or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def vtable_slot(cls, index, restype, *argtypes):
    """Slot `index` of the class's published table, callable from Python."""
    import ctypes

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(cls.__dict__["__pyx_vtable__"], None)
    address = ctypes.c_void_p.from_address(table + index * ctypes.sizeof(ctypes.c_void_p)).value
    # PYFUNCTYPE: the call keeps the interpreter lock, as compiled callers do.
    return ctypes.PYFUNCTYPE(restype, ctypes.py_object, *argtypes)(address)
