"""Reference and memory-block leaks, in the manner of the interpreter's own
refleak runs: every operation is repeated after a warm-up, and neither the
total reference count nor the allocated-block count may grow with it.

Needs a debug interpreter (./dev check runs the suite under one)."""

import gc
import sys
import typing
import weakref

import pytest

from support import FIXED_CLOCKS, OPERATIONS, lerp
from Quillmoor.utils import glidecell, mean, timers

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")

ROUNDS = 5
PER_ROUND = 200


def growth(op):
    for _ in range(PER_ROUND):
        op()
    refs = [0] * ROUNDS
    blocks = [0] * ROUNDS
    for i in range(ROUNDS):
        gc.collect()
        b0 = sys.getallocatedblocks()
        r0 = sys.gettotalrefcount()
        for _ in range(PER_ROUND):
            op()
        gc.collect()
        r1 = sys.gettotalrefcount()
        b1 = sys.getallocatedblocks()
        refs[i] = r1 - r0
        blocks[i] = b1 - b0
    return refs, blocks


def made_and_run(row):
    """The row's operation on a new subject each time; error paths count as much as results."""
    def run():
        try:
            row.run(row.setup())
        except Exception:
            pass

    return run


class Animated:
    """Holds a cell whose interpolation function is a method of this object: a cycle."""

    def __init__(self):
        self.cell = glidecell.GlideCell(self.mix, 1.0, 0.0)

    def mix(self, a, b, p):
        return lerp(a, b, p)


def make_timer_cycle():
    class Holder:
        def __float__(self):
            return 1.0

    h = Holder()
    h.timer = timers.VariableTimer(h)


ft = timers.FixedTimer(1e-4, 3)

# Beside every public operation: weak references and reference cycles.
OPERATIONS_HERE = {
    **{row.name: made_and_run(row) for rows in OPERATIONS.values() for row in rows},
    "weakref to an instance": lambda: weakref.ref(ft)(),
    "weakref to a function": lambda: (weakref.WeakMethod(ft.attempt)(), weakref.ref(mean.Mean.add)()),
    "type hints": lambda: typing.get_type_hints(timers.FixedTimer.get_progress_by_tick),
    "cycle through a cell": lambda: Animated().cell.set_value(1.0).get_value(),
    "cycle through a timer": make_timer_cycle,
}


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    """Each measurement collects a dozen times; what earlier tests left alive
    is set aside, so that a collection walks only what the operations made."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.fixture(autouse=True)
def fixed_clocks(monkeypatch):
    for module, name, value in FIXED_CLOCKS:
        monkeypatch.setattr(module, name, value)


@pytest.fixture(scope="module")
def baseline():
    """What the measurement itself shows for an operation that does nothing."""
    return growth(lambda: None)


@pytest.mark.parametrize("name", list(OPERATIONS_HERE))
def test_no_leak(name, baseline):
    # A leak grows in every round of every measurement; an interpreter cache
    # filling up now and then does not, so a growing measurement is repeated.
    for _ in range(3):
        refs, blocks = growth(OPERATIONS_HERE[name])
        if min(refs) <= max(baseline[0]) and min(blocks) <= max(baseline[1]):
            return
    pytest.fail(f"references grow per round: {refs}; memory blocks: {blocks}")


def test_module_import_does_not_leak(baseline):
    def reimport():
        saved = sys.modules.pop("Quillmoor.utils.flag")
        try:
            __import__("Quillmoor.utils.flag")
        finally:
            sys.modules["Quillmoor.utils.flag"] = saved

    refs, blocks = growth(reimport)
    # Each import goes through the interpreter's import machinery, whose
    # caches grow by a few references now and then; a leak of ours would
    # show as at least one reference per import.
    assert min(refs) < PER_ROUND // 4, refs
    # The interpreter's extension loader keeps about one block per load when
    # the create step hands back the module it already has (the held module
    # must be returned, so that re-import yields the same object); allow that
    # much and no more.
    assert min(blocks) <= PER_ROUND + max(baseline[1]) + 10, blocks
