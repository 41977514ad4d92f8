"""A small polling loop that uses all four modules.

A fixed-rate simulation steps ten times a second, a variable timer decides
when to retarget a gliding value, a running mean tracks how long each pass of
the loop takes, and a flag marks the stretch of code that is "busy".
"""

import sys
import time

from Quillmoor.utils.calculated_value import CalculatedValue
from Quillmoor.utils.flag import Flag
from Quillmoor.utils.glidecell import GlideCell
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer, VariableTimer


def lerp(a: float, b: float, p: float) -> float:
    return a + (b - a) * p


def bar(value: float, width: int = 30) -> str:
    filled = max(0, min(width, round(value / 100 * width)))
    return "#" * filled + "." * (width - filled)


def main(seconds: float = 3.0) -> None:
    step = FixedTimer(0.1)  # ten simulation steps a second
    # Retarget every 0.6 s at first, then more often as time goes on.
    start = time.perf_counter()
    retarget = VariableTimer(CalculatedValue(lambda: max(0.2, 0.6 - (time.perf_counter() - start) / 5)))
    level = GlideCell(lerp, 0.4, 0.0)  # glides over 0.4 s to each new target
    frame_time = Mean()
    busy = Flag()
    targets = [80.0, 20.0, 100.0, 50.0, 0.0, 65.0]
    which = 0
    last = time.perf_counter()
    while time.perf_counter() - start < seconds:
        now = time.perf_counter()
        frame_time += (now - last) * 1000.0
        last = now
        if retarget.attempt():
            with busy:
                level.set_value(targets[which % len(targets)])
                which += 1
        if step.attempt():
            shown = level.get_value()
            print(
                f"step {step.tick:3d}  level {shown:6.1f} [{bar(shown)}]"
                f"  gliding={'yes' if level.is_interpolated else 'no '}"
                f"  retarget every {retarget.interval:4.2f}s"
                f"  busy={bool(busy)}"
            )
        time.sleep(0.002)
    print(f"{frame_time.count} passes, mean pass {frame_time.value:.3f} ms, {step.tick} steps")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 3.0)
