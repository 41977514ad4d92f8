"""Runs one benchmark statement many times, for valgrind --tool=callgrind.

    python bench/profile_op.py 'OPERATION NAME' pkg|pure|floor [N]

Instruction counts per operation are what callgrind reports divided by N
(minus a run with N=0 for the set-up).
"""

import sys

import run

name, impl = sys.argv[1], sys.argv[2]
n = int(sys.argv[3]) if len(sys.argv) > 3 else 100000
case = next(c for c in run.cases() if c.name == name)
i = case.impls[impl]
runner = run.Runner(i.stmt, i.make(), 1, i.reset)
runner.run(n)
