import hashlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from Quillmoor.utils import flag, glidecell, mean, timers


# The members each class pickles, in the order of its pickled state.
MEMBERS = {
    timers.VariableTimer: ["_interval", "_last_time", "_next_time"],
    timers.FixedTimer: ["_count", "_interval", "_max_lag", "_start_time"],
    glidecell._GlideCell: ["_delay", "_interpolation_func", "_is_flash", "_next", "_value"],
    mean.Mean: ["_count", "_sum"],
    flag.Flag: ["_depth"],
}


def expected_checksums(names):
    """The first 7 hex digits of SHA-256, SHA-1 and MD5 of the sorted names joined by spaces."""
    text = " ".join(sorted(names)).encode()
    return [int(h(text).hexdigest()[:7], 16) for h in (hashlib.sha256, hashlib.sha1, hashlib.md5)]


CHECKSUMS = {cls: expected_checksums(names) for cls, names in MEMBERS.items()}


def state(obj):
    """The pickled state of `obj` by member name, and a subclass instance's dict under "__dict__".

    Reads both forms of __reduce__: (func, (cls, checksum, state)) and (func, (cls, checksum, None), state)."""
    _, args, *rest = obj.__reduce__()
    items = rest[0] if rest else args[2]
    names = next(MEMBERS[c] for c in type(obj).__mro__ if c in MEMBERS)
    named = dict(zip(names, items))
    if len(items) > len(names):
        named["__dict__"] = items[len(names)]
    return named


def lerp(a, b, p):
    return a + (b - a) * p


class Clock:
    """A stand-in for perf_counter, or for glidecell's time module, that returns whatever the test sets.

    Counts its reads; a hook the test sets runs once, inside the next read, before the reading is taken."""

    def __init__(self, now=0.0):
        self.now, self.reads, self.hook = now, 0, None

    def __call__(self):
        self.reads += 1
        if self.hook:
            hook, self.hook = self.hook, None
            hook()
        return self.now

    perf_counter = __call__  # glidecell reads the clock as time.perf_counter()


@pytest.fixture
def timers_clock(monkeypatch):
    """The clock of every timer, at 0.0."""
    clock = Clock()
    monkeypatch.setattr(timers, "perf_counter", clock)
    return clock


@pytest.fixture
def cell_clock(monkeypatch):
    """The clock of every glide cell, at 100.0."""
    clock = Clock(100.0)
    monkeypatch.setattr(glidecell, "time", clock)
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
