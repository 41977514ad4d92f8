from collections import Counter

import pytest

from support import CAPABILITIES, Clock, need
from Quillmoor.utils import glidecell, timers


def pytest_configure(config):
    config.addinivalue_line("markers", f"needs(capability): skipped where the interpreter lacks it ({', '.join(CAPABILITIES)})")


def pytest_runtest_setup(item):
    for mark in item.iter_markers("needs"):
        need(*mark.args)


def pytest_terminal_summary(terminalreporter):
    # What each run left out, counted by reason.
    reasons = Counter(r.longrepr[2].removeprefix("Skipped: ")
                      for r in terminalreporter.stats.get("skipped", []) if isinstance(r.longrepr, tuple))
    for reason, n in sorted(reasons.items()):
        terminalreporter.write_line(f"skipped {n}: {reason}")


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
