"""CI's sequencing: .ci/run against a stand-in for ./dev that fails one step
at a time.  Every failure must fail the run and be named, and nothing after a
failed step may run."""

import os
import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.needs("processes")  # the script runs under bash

CI = Path(__file__).resolve().parent.parent / ".ci" / "run"
PYTHONS = ["a", "b", "c"]  # stand-in interpreters: the legs follow whatever list ./dev gives
LEG = ["check", "typecheck", "verifytypes"]

# Each step as the stand-in sees it, and how the run names it when it fails.
STEPS = {"env": "the toolchain root", "pythons": "listing the interpreters"}
STEPS |= {f"{s} {py}": f"{s} for {py}" for py in PYTHONS for s in LEG}
STEPS |= {"dist": "dist", "bench": "bench", "test": "the README's test command"}

STAND_IN = """#!/usr/bin/env bash
step=$1
case $step in check|typecheck|verifytypes) step="$1 $QM_PYTHON" ;; esac
echo "$step" >>"$QM_CALLS"
[ "$step" = pythons ] && echo "$QM_LIST"
[ "$step" != "$QM_FAIL" ]
"""


def run_ci(tmp_path, fail):
    dev = tmp_path / "dev"
    dev.write_text(STAND_IN)
    dev.chmod(0o755)
    calls = tmp_path / "calls"
    calls.touch()
    env = {k: v for k, v in os.environ.items() if k != "QM_PYTHON"}
    env |= {"QM_CI_DEV": str(dev), "QM_CALLS": str(calls), "QM_LIST": " ".join(PYTHONS), "QM_FAIL": fail}
    done = subprocess.run(["bash", str(CI)], env=env, capture_output=True, text=True, timeout=60)
    return done, calls.read_text().split("\n")[:-1]


def test_a_run_whose_every_step_succeeds_passes_and_runs_each_step_once(tmp_path):
    done, calls = run_ci(tmp_path, fail="")
    assert done.returncode == 0, done.stderr
    assert sorted(calls) == sorted(STEPS)
    assert calls[-3:] == ["dist", "bench", "test"]
    assert "ci: all steps took" in done.stdout


@pytest.mark.parametrize("failing", list(STEPS))
def test_every_failing_step_fails_the_run_by_name_and_stops_what_follows(tmp_path, failing):
    done, calls = run_ci(tmp_path, fail=failing)
    assert done.returncode != 0
    assert f"ci: FAILED: {STEPS[failing]}" in done.stdout + done.stderr
    assert "ci: all steps took" not in done.stdout
    order = list(STEPS)
    if " " not in failing:  # a step of its own: everything before it ran, nothing after
        assert sorted(calls) == sorted(order[:order.index(failing) + 1]) and calls[-1] == failing
    else:  # a leg stops at its first failure; the other legs finish; nothing runs after the legs
        s, py = failing.split()
        assert [c for c in calls if c.endswith(f" {py}")] == [f"{x} {py}" for x in LEG[:LEG.index(s) + 1]]
        assert not {"dist", "bench", "test"} & set(calls)
        assert f"ci: FAILED: the check leg of {py}" in done.stderr
