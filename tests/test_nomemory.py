"""Allocation failures.  Every public operation, and the first import of
every module, runs once for each allocation it makes with exactly that
allocation failing (_testcapi.set_nomemory(N, N + 1)), N = 0, 1, 2, ... until
the operation completes with every allocation from N on failing.  Each run
must end in a clean exception (MemoryError, an exception it caused, the
exception the operation raises anyway, or during an import one raised by the
standard library's Python code, which can lose a MemoryError) or in the
normal result; never a crash, a SystemError or a half-made module.

The operations run in child processes, one per module, which report each
operation and failure point before running it, so a crash names both.  Each
import attempt runs in a process forked for it, followed there by a second,
unhindered import that must give the complete module.

Under the debug interpreter (./dev check) the interpreter's own assertions
watch every error path and each failed run must leave no reference behind;
under the sanitizers every freed block is watched."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from support import OPERATIONS

pytest.importorskip("_testcapi")
# Children sweep the modules side by side, each import in a process forked for it.
pytestmark = [pytest.mark.needs("processes"), pytest.mark.needs("threads")]

CHILD = Path(__file__).with_name("nomemory_child.py")


# ---- the runner -----------------------------------------------------------------------


def run_child(module, skip):
    """Starts a child on `module` from operation `skip` (-1: the import sweep)."""
    read, write = os.pipe()
    mode = ["import", module] if skip < 0 else ["operations", module, str(skip), str(write)]
    args = [sys.executable, *(["-X", "dev"] if sys.flags.dev_mode else []), str(CHILD), *mode]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, pass_fds=(write,))
    os.close(write)
    return proc, os.fdopen(read)


def collect(module, skip=0):
    """{operation: (allocations, faults)} for the operations of `module`, restarting after a crash."""
    results = {}
    table = OPERATIONS[module]
    while skip < len(table):
        proc, progress = run_child(module, skip)
        stdout, stderr = proc.communicate(timeout=600)
        last = progress.read().splitlines()
        progress.close()
        for line in stdout.splitlines():
            if line.startswith("{"):
                r = json.loads(line)
                results[r["op"]] = (r["count"], r["faults"])
        if proc.returncode == 0:
            break
        at = last[-1].split() if last else ["at", str(skip), "?"]
        index = int(at[1])
        results[table[index].name] = (None, [f"N={at[2]}: crashed ({proc.returncode}): {stderr[-2000:]}"])
        skip = index + 1
    return results


@pytest.fixture(scope="session")
def swept():
    """Sweeps every module's operations and imports, the children running side by side."""
    import concurrent.futures

    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        ops = {m: pool.submit(collect, m) for m in OPERATIONS}
        imports = {m: pool.submit(import_results, m) for m in OPERATIONS}
        out = {}
        for futures in (ops, imports):
            for f in futures.values():
                out.update(f.result())
    return out


def import_results(module):
    proc, progress = run_child(module, -1)
    stdout, stderr = proc.communicate(timeout=600)
    progress.close()
    name = f"import Quillmoor.utils.{module}"
    for line in stdout.splitlines():
        if line.startswith("{"):
            r = json.loads(line)
            return {r["op"]: (r["count"], r["faults"])}
    return {name: (None, [f"import sweep died ({proc.returncode}): {stderr[-2000:]}"])}


@pytest.mark.parametrize("module, name", [(m, row.name) for m, rows in OPERATIONS.items() for row in rows]
                         + [(m, f"import Quillmoor.utils.{m}") for m in OPERATIONS])
def test_allocation_failures(swept, module, name):
    count, faults = swept[name]
    assert not faults, f"{name}: {len(faults)} faults\n" + "\n".join(faults[:20])
