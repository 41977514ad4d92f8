"""Runs one benchmark statement many times, for valgrind --tool=callgrind.

    python bench/profile_op.py 'OPERATION NAME' pkg|pure|floor|descr [N] [--empty]

The statement runs in the loop run.py times, N passes of as many copies as
the operation's row unrolls; --empty runs that loop without the statement.
run.py --instructions takes the difference of two N.
"""

import gc
import sys

import run

args = [a for a in sys.argv[1:] if a != "--empty"]
name, impl = args[0], args[1]
n = int(args[2]) if len(args) > 2 else 100000
case = next(c for c in run.cases() if c.name == name)
i = case.impls[impl]
runner = run.Runner(i.stmt, i.make(), case.unroll, i.reset)
gc.disable()
if "--empty" in sys.argv:
    runner.overhead(n)
else:
    runner.run(n)
