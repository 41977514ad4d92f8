import pytest

from support import Clock
from Quillmoor.utils import glidecell, timers


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
