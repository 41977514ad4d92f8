"""Writes the golden table the easing tests read: the reference values of every
curve on a grid of progress values, so that the tests need neither node nor
npm.  `./dev golden` fetches the npm packages and runs this.

    python tools/easing_golden.py NPM_DIR OUT_JSON

NPM_DIR holds node_modules with d3-ease 3.x and bezier-easing.  The table has:

- grid: 0, 1, the midpoint, i/64, a few points near the ends, and each point
  where a piecewise curve switches (the in-out midpoint, bounce's arcs as
  bounce_out, bounce_in and bounce_in_out place them) with the doubles on
  either side of it;
- d3: d3-ease's value of each curve it has (quart and quint are its poly
  curves with exponents 4 and 5);
- d3_families: d3-ease's poly, back and elastic curves at other parameters,
  each as its curve's name, the parameters as its methods take them, and
  d3's values;
- pytweening: pytweening's value of each curve it has, where installed
  (Debian's python3-pytweening);
- exact: smoothstep and smootherstep in exact rational arithmetic, rounded once;
- beziers: for each parameter set, bezier-easing's values and the exact value
  (the curve parameter found by bisection in integers to 2**-120 relatively,
  the y coordinate computed exactly, rounded once).
"""

import json
import math
import shutil
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

HERE = Path(__file__).resolve().parent

FAMILIES = ["quad", "cubic", "quart", "quint", "sine", "expo", "circ", "back", "elastic", "bounce"]
PYTWEENING = {"quad": "Quad", "cubic": "Cubic", "quart": "Quart", "quint": "Quint", "sine": "Sine",
              "expo": "Expo", "circ": "Circ", "back": "Back", "elastic": "Elastic", "bounce": "Bounce"}

# CSS's named timing functions, overshooting ones, the vertical-tangent ones
# and the straight line.
BEZIERS = [
    [0.25, 0.1, 0.25, 1.0],
    [0.42, 0.0, 1.0, 1.0],
    [0.0, 0.0, 0.58, 1.0],
    [0.42, 0.0, 0.58, 1.0],
    [0.68, -0.55, 0.265, 1.55],
    [0.36, 0.0, 0.66, -0.56],
    [1.0, 0.0, 0.0, 1.0],
    [0.0, 1.0, 1.0, 0.0],
    [0.1, 0.7, 1.0, 0.1],
    [0.0, 0.0, 1.0, 1.0],
    [0.3, 0.3, 0.7, 0.7],
]


# The parameterised families' parameter sets, as the methods take them, in
# that order (elastic's amplitude 0.5 counts as 1).
FAMILY_PARAMS = {
    "poly": [{"exponent": e} for e in (0.5, 1.7, 2, 6.5)],
    "back": [{"overshoot": s} for s in (0, 1, 2.5, -0.5)],
    "elastic": [{"amplitude": a, "period": p} for a, p in ((1, 0.3), (1.5, 0.2), (0.5, 0.45), (3, 1))],
}
FAMILY_CURVES = [{"curve": f"{family}_{kind}", "params": params}
                 for family, sets in FAMILY_PARAMS.items() for params in sets for kind in ("in", "out", "in_out")]


def grid():
    bounce_breaks = [4 / 11, 6 / 11, 8 / 11, 9 / 11, 10 / 11, 21 / 22]
    switches = [0.5]
    for b in bounce_breaks:
        switches += [b, 1 - b, b / 2, 1 - b / 2, 0.5 + b / 2]
    points = {i / 64 for i in range(65)}
    points |= {0.1, 0.2, 0.3, 0.4, 0.6, 0.7, 0.8, 0.9, 1e-9, 1e-6, 1e-3, 1 - 1e-3, 1 - 1e-6, 1 - 1e-9}
    for s in switches:
        points |= {s, math.nextafter(s, 0), math.nextafter(s, 1)}
    return sorted(p for p in points if 0 <= p <= 1)


def exact_steps(t):
    t = Fraction(t)
    return {"smoothstep": t * t * (3 - 2 * t), "smootherstep": t ** 3 * (t * (t * 6 - 15) + 10)}


def exact_bezier_point(params, p, bits=120):
    """The curve point (u, y) whose x is p, as rationals: a curve parameter u
    within 2**-bits of the root relatively (so tiny roots keep their bits),
    found by bisection in integers, and y exactly there."""
    x1, y1, x2, y2 = map(Fraction, params)
    p = Fraction(p)
    if p <= 0 or p >= 1:
        return Fraction(p > 0), Fraction(min(max(p, 0), 1))
    # x(k / 2**m) >= p, all sides times 2**(3m) and the common denominator
    # (the parameters are doubles: their denominators are powers of two).
    den = max(f.denominator for f in (x1, x2, p))
    a1, a2, q = (int(f * den) for f in (x1, x2, p))

    def reaches(k, m):
        v = (1 << m) - k
        return 3 * k * v * (a1 * v + a2 * k) + den * k ** 3 >= q << (3 * m)

    # The binade first: x(u) <= 3u, so the root is above p / 3 > 2**-1080.
    lo, hi = 0, 1080  # reaches at 2**-lo, not at 2**-hi
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if reaches(1, mid) else (lo, mid)
    m = hi + bits
    below, above = 1 << bits, 1 << (bits + 1)  # the root in (below, above] / 2**m
    while above - below > 1:
        mid = (below + above) // 2
        below, above = (below, mid) if reaches(mid, m) else (mid, above)
    u = Fraction(below + above, 1 << (m + 1))
    return u, 3 * y1 * u * (1 - u) ** 2 + 3 * y2 * u * u * (1 - u) + u ** 3


def exact_bezier(params, p):
    """The curve's y where its x is p, as a rational (see exact_bezier_point)."""
    return exact_bezier_point(params, p)[1]


def pytweening_values(points):
    try:
        import pytweening
    except ImportError:
        return None, {}
    out = {"linear": [pytweening.linear(t) for t in points]}
    for family, word in PYTWEENING.items():
        for suffix, prefix in (("in", "easeIn"), ("out", "easeOut"), ("in_out", "easeInOut")):
            f = getattr(pytweening, prefix + word)
            out[f"{family}_{suffix}"] = [f(t) for t in points]
    return pytweening.__version__, out


def layout(value, indent=0):
    """JSON with every list of numbers on one line, so a changed value shows as one changed line."""
    pad = " " * indent
    if isinstance(value, dict):
        items = [f'{pad} {json.dumps(k)}: {layout(v, indent + 1).lstrip()}' for k, v in value.items()]
        return pad + "{\n" + ",\n".join(items) + "\n" + pad + "}"
    if isinstance(value, list) and value and isinstance(value[0], dict):
        return pad + "[\n" + ",\n".join(layout(v, indent + 1) for v in value) + "\n" + pad + "]"
    return pad + json.dumps(value)


def main(npm_dir, out_path):
    npm_dir = Path(npm_dir)
    points = grid()
    # node resolves the packages from where the script is, so the script runs
    # from a copy beside them.
    script = npm_dir / "easing_reference.mjs"
    shutil.copyfile(HERE / "easing_reference.mjs", script)
    proc = subprocess.run(["node", str(script)],
                          input=json.dumps({"grid": points, "beziers": BEZIERS, "families": FAMILY_CURVES}),
                          capture_output=True, text=True, check=True)
    npm = json.loads(proc.stdout)
    pt_version, pt = pytweening_values(points)
    steps = [exact_steps(t) for t in points]
    table = {
        "made_by": "tools/easing_golden.py",
        "versions": {**npm["versions"], "pytweening": pt_version},
        "grid": points,
        "d3": npm["d3"],
        "d3_families": [{**curve, "d3": values} for curve, values in zip(FAMILY_CURVES, npm["d3_families"])],
        "pytweening": pt,
        "exact": {name: [float(s[name]) for s in steps] for name in ("smoothstep", "smootherstep")},
        "beziers": [
            {"params": params, "bezier_easing": values, "exact": [float(exact_bezier(params, t)) for t in points]}
            for params, values in zip(BEZIERS, npm["beziers"])
        ],
    }
    Path(out_path).write_text(layout(table) + "\n", encoding="utf-8")
    print(f"{out_path}: {len(points)} points, {len(table['d3'])} d3-ease curves and {len(FAMILY_CURVES)} of its "
          f"families at other parameters, {len(pt)} pytweening curves, "
          f"{len(BEZIERS)} Béziers ({', '.join(f'{k} {v}' for k, v in table['versions'].items())})")


if __name__ == "__main__":
    main(*sys.argv[1:3])
