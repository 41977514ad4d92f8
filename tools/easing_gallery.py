"""Draws every curve of Quillmoor.utils.easing, one small panel each, into a
PNG for the README.  `./dev gallery` runs it against the fresh build.

    python tools/easing_gallery.py OUT_PNG

Each panel shows progress 0..1 across and the curve's value up, with the
unit square outlined, so overshoot above 1 or below 0 stands out; step
curves are drawn as the staircases they are, and after the named curves
come a few made from CSS text.  The picture carries the names it draws in
its "Curves" text chunk, which the test suite compares with the module's
list.
"""

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from Quillmoor.utils import easing  # noqa: E402

COLUMNS = 6
SAMPLES = 401
# Curves made from CSS text, drawn after the named ones.
EXAMPLES = ["steps(4, jump-both)", "steps(5, jump-none)", "linear(0, 0.25 75%, 1)",
            "linear(0, 1.2 45%, 0.9 60%, 1)", "cubic-bezier(0.68, -0.6, 0.32, 1.6)"]
STEPPED = ("steps", "step_start", "step_end")


def main(out):
    curves = easing.curves
    panels = [(c.__name__, c) for c in curves] + [(text, easing.from_css(text)) for text in EXAMPLES]
    rows = -(-len(panels) // COLUMNS)
    fig, axes = plt.subplots(rows, COLUMNS, figsize=(COLUMNS * 1.9, rows * 1.75), squeeze=False)
    xs = [i / (SAMPLES - 1) for i in range(SAMPLES)]
    for ax, (title, curve) in zip(axes.flat, panels):
        ys = [curve.at(x) for x in xs]
        ax.plot([0, 1, 1, 0, 0], [0, 0, 1, 1, 0], color="0.8", linewidth=0.8)
        ax.plot([0, 1], [0, 1], color="0.88", linewidth=0.6, linestyle="--")
        # A step curve holds each value up to the next sample: no sloped risers.
        ax.plot(xs, ys, color="#1f5fa8", linewidth=1.6,
                drawstyle="steps-post" if curve.__name__ in STEPPED else "default")
        ax.set_title(title, fontsize=9 if len(title) < 20 else 6, family="monospace")
        ax.set_xlim(-0.05, 1.05)
        ax.set_ylim(-0.45, 1.45)
        ax.set_xticks([0, 1])
        ax.set_yticks([0, 1])
        ax.tick_params(labelsize=7, length=2)
        for side in ax.spines.values():
            side.set_visible(False)
    for ax in list(axes.flat)[len(panels):]:
        ax.axis("off")
    fig.suptitle("Quillmoor.utils.easing: value against progress", fontsize=11)
    fig.tight_layout()
    fig.savefig(out, dpi=80, metadata={"Curves": " ".join(c.__name__ for c in curves)})
    print(f"{out}: {len(curves)} curves")


if __name__ == "__main__":
    main(sys.argv[1])
