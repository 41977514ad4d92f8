"""The animation the web page draws, in plain Python so that it runs the same
in the browser and natively.

Four balls cross a track and back, each gliding along its own easing curve
(GlideCell).  A fixed-step loop (FixedTimer, 30 steps a second) decides when
a ball that has arrived sets off again, and a Mean keeps the frame time.
The page calls `Scene.frame(now)` once an animation frame with the frame's
time in seconds; the scene hands that time to both modules as their clock, so
everything it shows depends only on the times it is given, and the same
times give the same values on every machine.
"""

from Quillmoor.utils import easing, glidecell, timers
from Quillmoor.utils.easing import Curve
from Quillmoor.utils.glidecell import GlideCell
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer

CURVES: list[Curve] = [easing.cubic_in_out, easing.back_in_out, easing.elastic_out, easing.bounce_out]
CROSSING = 1.5  # seconds a ball takes to cross
STEP = 1 / 30  # seconds a fixed step


class FrameClock:
    """The clock both modules read: the time of the frame being drawn."""

    def __init__(self) -> None:
        self.now = 0.0

    def perf_counter(self) -> float:
        return self.now


class Scene:
    def __init__(self, start: float) -> None:
        self.clock = FrameClock()
        self.clock.now = start
        # Both modules look their clock up at every use.
        timers.perf_counter = self.clock.perf_counter
        glidecell.time = self.clock
        self.balls = [GlideCell(curve, CROSSING, 0.0) for curve in CURVES]
        self.steps = FixedTimer(STEP)
        self.frame_ms = Mean()
        self.last = start
        self.record: list[list[float]] = []

    def frame(self, now: float) -> list[float]:
        """Advances to `now` and returns the balls' positions (0 to 1), the
        fixed steps taken and the mean frame time in milliseconds."""
        self.clock.now = now
        self.frame_ms.add((now - self.last) * 1000)
        self.last = now
        while self.steps.attempt():
            for ball in self.balls:
                if not ball.is_interpolated:
                    ball.set_value(1.0 - ball.get_value())
        row = [ball.get_value() for ball in self.balls] + [float(self.steps.tick), float(self.frame_ms.get_value())]
        self.record.append(row)
        return row


def run(frames: int, rate: float) -> list[list[float]]:
    """The rows of `frames` frames drawn `rate` times a second from time 0."""
    scene = Scene(0.0)
    for i in range(1, frames + 1):
        scene.frame(i / rate)
    return scene.record


if __name__ == "__main__":
    import json
    import sys

    print(json.dumps(run(int(sys.argv[1]), float(sys.argv[2]))))
