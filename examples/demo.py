"""A tiny terminal animation built from every module of the package.

A ball bounces between two walls.  Its physics runs at a fixed 20 steps a
second (FixedTimer) while the screen is redrawn as often as the loop goes,
drawing the ball between its last two positions (FixedTimer.progress).  Each
bounce scores ten points and the score bar glides to the new total
(GlideCell) through a named easing curve that overshoots and settles
(easing.back_out).  Every second an autosave runs (VariableTimer); it saves two
parts, each in its own nested `with saving:` block, and the screen shows
"saving" while any of them is open (Flag).  The average frame time is kept
by a Mean.

    ./dev demo          # three seconds
    ./dev demo 10       # ten seconds
"""

import sys
import time

from Quillmoor.utils import easing
from Quillmoor.utils.flag import Flag
from Quillmoor.utils.glidecell import GlideCell
from Quillmoor.utils.mean import Mean
from Quillmoor.utils.timers import FixedTimer, VariableTimer

WIDTH = 40
STEP = 1 / 20  # seconds of simulated time per physics step


def bar(fraction: float) -> str:
    filled = max(0, min(WIDTH, round(fraction * WIDTH)))
    return "#" * filled + "." * (WIDTH - filled)


def track(position: float) -> str:
    cells = ["."] * WIDTH
    cells[max(0, min(WIDTH - 1, round(position * (WIDTH - 1))))] = "o"
    return "".join(cells)


class Screen:
    """Redraws its lines in place on a terminal; elsewhere prints a snapshot twice a second."""

    def __init__(self) -> None:
        self.live = sys.stdout.isatty()
        self.drawn = 0
        self.next_snapshot = 0.0

    def show(self, lines: list[str], now: float, snapshot: bool = False) -> None:
        if self.live:
            up = f"\x1b[{self.drawn}F" if self.drawn else ""
            sys.stdout.write(up + "".join(f"\x1b[2K{line}\n" for line in lines))
            sys.stdout.flush()
            self.drawn = len(lines)
        elif snapshot or now >= self.next_snapshot:
            print("\n".join(lines) + "\n")
            self.next_snapshot = now + 0.5


def main(seconds: float = 3.0) -> None:
    physics = FixedTimer(STEP, max_lag=5)
    autosave = VariableTimer(1.0)
    score = GlideCell(easing.back_out, 0.4, 0.0)  # the shown score glides over 0.4 s
    frame_ms = Mean()
    saving = Flag()
    screen = Screen()

    x, speed = 0.0, 0.9  # position 0..1 across the track, track widths per second
    previous_x = x
    points = 0
    saves = 0
    start = last = time.perf_counter()

    def draw(now: float, snapshot: bool = False) -> None:
        drawn_x = previous_x + (x - previous_x) * physics.progress
        status = "saving..." if saving else f"saved {saves}x"
        screen.show(
            [
                f" time   {now - start:4.1f} s of {seconds:g}",
                f" ball   [{track(drawn_x)}]  {physics.tick} physics steps (FixedTimer)",
                f" score  [{bar(score.get_value() / 200)}]  {points} (GlideCell, easing.back_out)",
                f" frame  {frame_ms.value:5.2f} ms on average over {frame_ms.count} frames (Mean)",
                f" save   {status:<12} every {autosave.interval:g} s (VariableTimer, Flag)",
            ],
            now,
            snapshot,
        )

    def save_part(now: float) -> None:
        with saving:  # nested inside save()'s block: the flag stays true
            draw(now, snapshot=True)
            time.sleep(0.03)  # stands in for writing a file

    def save(now: float) -> None:
        nonlocal saves
        with saving:
            save_part(now)
            save_part(now)
            saves += 1

    while True:
        now = time.perf_counter()
        if now - start >= seconds:
            break
        frame_ms += (now - last) * 1000
        last = now
        while physics.attempt():  # catch up with the clock, one fixed step at a time
            previous_x, x = x, x + speed * STEP
            if not 0.0 <= x <= 1.0:  # bounce off a wall
                speed = -speed
                x = max(0.0, min(1.0, x))
                points += 10
                score.set_value(float(points))
        if autosave.attempt():
            save(now)
        draw(now)
        time.sleep(1 / 60)

    draw(time.perf_counter(), snapshot=True)
    print(f"{physics.tick} physics steps, {frame_ms.count} frames, {points} points, {saves} saves")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 3.0)
