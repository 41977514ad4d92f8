"""Writes the table tests/test_easing_bits.py reads: every named curve's exact
result on a grid of progress values, as the built module computes it on
x86-64, and 50-digit references of the curves, of the families' curves at a
few parameters and of the module's own sine, cosine, 2^x - 1, log2 and 2^x
made with mpmath.  `./dev golden` runs it against the
fresh build, inside the toolchain root (which has mpmath); the tests need
neither, so the installed wheels of every processor check their bits against
this table.

    python tools/easing_bits.py OUT_JSON

The references follow the published formulas as written (with exact
constants: overshoot 1.70158, period 3/10, breaks in elevenths, the envelope
2^-10t rescaled by 1 / (1 - 2^-10); a family's parameters the doubles given,
its phase asin(1/a)), not the module's rearrangements of them,
evaluated with enough digits that cancellation leaves more than 50.  Every
sequence of doubles is one string of float.hex values, every sequence of
references one string of decimal numbers, separated by spaces.  The largest
error of each curve and primitive is printed.
"""

import json
import math
import random
import sys
from fractions import Fraction
from pathlib import Path

import mpmath as mp

from easing_golden import exact_bezier_point
from easing_golden import grid as golden_grid
from Quillmoor.utils import easing

DIGITS = 50

# ---- the curves, as published, in exact arithmetic ------------------------------

# Constants as functions: made at the precision of each evaluation.
def S():
    """back's overshoot"""
    return mp.mpf(170158) / 100000


def eleventh(k):
    return mp.mpf(k) / 11


def tpmt(x):
    return (mp.power(2, -10 * x) - mp.power(2, -10)) / (1 - mp.power(2, -10))


def elastic_wave(x, sign):
    """sin((s + sign x) / p) with period 3/10 and amplitude 1: s = asin(1) p."""
    p = mp.mpf(3) / 10 / (2 * mp.pi)
    s = mp.asin(1) * p
    return mp.sin((s + sign * x) / p)


def bounce_out(t):
    b0 = 1 / eleventh(4) / eleventh(4)
    if t < eleventh(4):
        return b0 * t * t
    if t < eleventh(8):
        return b0 * (t - eleventh(6)) ** 2 + mp.mpf(3) / 4
    if t < eleventh(10):
        return b0 * (t - eleventh(9)) ** 2 + mp.mpf(15) / 16
    return b0 * (t - mp.mpf(21) / 22) ** 2 + mp.mpf(63) / 64


def in_out(first, second):
    """An in-out curve: t doubled, `first` up to 1, `second` after, halved."""
    return lambda t: (first(2 * t) if 2 * t <= 1 else second(2 * t)) / 2


def poly(e):
    return (lambda t: t ** e, lambda t: 1 - (1 - t) ** e,
            in_out(lambda t: t ** e, lambda t: 2 - (2 - t) ** e))


def back(s):
    """back_in, back_out and back_in_out with overshoot s() (a function, as S)."""
    return (lambda t: t * t * (s() * (t - 1) + t), lambda t: (t - 1) ** 2 * (t * s() + t - 1) + 1,
            in_out(lambda t: t * t * ((s() + 1) * t - s()), lambda t: (t - 2) ** 2 * ((s() + 1) * (t - 2) + s()) + 2))


def elastic(amplitude, period):
    """elastic_in, elastic_out and elastic_in_out with amplitude a (at least
    1) and period P, as functions of a rational t: a tpmt(x) sin(asin(1/a) +
    2 pi x / P), the angle 4x/P quarter turns reduced exactly."""
    a, p = max(Fraction(amplitude), Fraction(1)), Fraction(period)

    def wave(x):
        turns = 4 * x / p
        turns -= 4 * (turns // 4)
        a_ = mp.mpf(a.numerator) / a.denominator
        return a_ * mp.sin(mp.asin(1 / a_) + mp.pi / 2 * mp.mpf(turns.numerator) / turns.denominator)

    def envelope(x):
        return tpmt(mp.mpf(x.numerator) / x.denominator)

    def in_(t):
        return envelope(1 - t) * wave(1 - t)

    def out(t):
        return 1 - envelope(t) * wave(t)

    return in_, out, lambda t: (in_(2 * t) if 2 * t - 1 < 0 else 1 + out(2 * t - 1)) / 2


def bezier(params):
    """The CSS Bézier's exact value: y at the root solved to 200 bits."""
    def f(t):
        y = exact_bezier_point(params, Fraction(float(t)), bits=200)[1]
        return mp.mpf(y.numerator) / y.denominator
    return f


CURVES = {
    "linear": lambda t: t,
    "quad_in": lambda t: t * t,
    "quad_out": lambda t: t * (2 - t),
    "quad_in_out": in_out(lambda t: t * t, lambda t: (t - 1) * (3 - t) + 1),
    "cubic_in": lambda t: t ** 3,
    "cubic_out": lambda t: (t - 1) ** 3 + 1,
    "cubic_in_out": in_out(lambda t: t ** 3, lambda t: (t - 2) ** 3 + 2),
    **dict(zip(("quart_in", "quart_out", "quart_in_out"), poly(4))),
    **dict(zip(("quint_in", "quint_out", "quint_in_out"), poly(5))),
    "sine_in": lambda t: 1 - mp.cos(t * mp.pi / 2),
    "sine_out": lambda t: mp.sin(t * mp.pi / 2),
    "sine_in_out": lambda t: (1 - mp.cos(mp.pi * t)) / 2,
    "expo_in": lambda t: tpmt(1 - t),
    "expo_out": lambda t: 1 - tpmt(t),
    "expo_in_out": in_out(lambda t: tpmt(1 - t), lambda t: 2 - tpmt(t - 1)),
    "circ_in": lambda t: 1 - mp.sqrt(1 - t * t),
    "circ_out": lambda t: mp.sqrt(1 - (t - 1) ** 2),
    "circ_in_out": in_out(lambda t: 1 - mp.sqrt(1 - t * t), lambda t: mp.sqrt(1 - (t - 2) ** 2) + 1),
    **dict(zip(("poly_in", "poly_out", "poly_in_out"), poly(3))),
    **dict(zip(("back_in", "back_out", "back_in_out"), back(S))),
    "elastic_in": lambda t: tpmt(1 - t) * elastic_wave(1 - t, 1),
    "elastic_out": lambda t: 1 - tpmt(t) * elastic_wave(t, 1),
    "elastic_in_out": lambda t: (tpmt(1 - 2 * t) * elastic_wave(1 - 2 * t, 1) if 2 * t - 1 < 0
                                 else 2 - tpmt(2 * t - 1) * elastic_wave(2 * t - 1, 1)) / 2,
    "bounce_in": lambda t: 1 - bounce_out(1 - t),
    "bounce_out": bounce_out,
    "bounce_in_out": in_out(lambda t: 1 - bounce_out(1 - t), lambda t: bounce_out(t - 1) + 1),
    "smoothstep": lambda t: t * t * (3 - 2 * t),
    "smootherstep": lambda t: t ** 3 * (t * (t * 6 - 15) + 10),
    "ease": bezier((0.25, 0.1, 0.25, 1)),
    "ease_in": bezier((0.42, 0, 1, 1)),
    "ease_out": bezier((0, 0, 0.58, 1)),
    "ease_in_out": bezier((0.42, 0, 0.58, 1)),
    "step_start": lambda t: mp.mpf(1),
    "step_end": lambda t: mp.mpf(t >= 1),
}


def quarter_turns(x, phase):
    """sin(pi/2 (x + phase)), reduced exactly: pi/2 times a huge x would need
    as many digits of pi as x has before its point."""
    x = Fraction(x) + phase
    n = round(x)
    r = x - n
    r = mp.mpf(r.numerator) / r.denominator
    return (mp.sin, mp.cos, lambda v: -mp.sin(v), lambda v: -mp.cos(v))[n % 4](mp.pi / 2 * r)


PRIMITIVES = {
    "sin_quarter": lambda x: quarter_turns(x, 0),
    "cos_quarter": lambda x: quarter_turns(x, 1),
    "exp2m1": lambda x: mp.power(2, x) - 1,
    "log2": lambda x: mp.log(x, 2),
    "exp2": lambda x: mp.power(2, x),
}

KINDS = ("in", "out", "in_out")

# The families' curves the table holds: (curve, parameters as its methods
# take them), with their references.  Two parameter sets each, and an
# elastic curve of a period so short that progress is reduced modulo it,
# and one of an amplitude so large that its terms are scaled.
FAMILY_CURVES = (
    [(f"poly_{k}", {"exponent": e}) for e in (0.5, 6.5) for k in KINDS]
    + [(f"back_{k}", {"overshoot": s}) for s in (2.5, -0.5) for k in KINDS]
    + [(f"elastic_{k}", {"amplitude": a, "period": p}) for a, p in ((1.5, 0.2), (3.0, 1.0)) for k in KINDS]
    + [("elastic_out", {"amplitude": 1.2, "period": 1e-20}), ("elastic_in_out", {"amplitude": 1e300, "period": 0.3})]
)


def expression(curve, params):
    """The curve as the module makes it: "elastic_in.amplitude(1.5).period(0.2)"."""
    return curve + "".join(f".{k}({v!r})" for k, v in params.items())


def family_reference(curve, params):
    """The curve's exact value as a function of a double t."""
    family, _, kind = curve.partition("_")
    if family == "elastic":
        f = elastic(params["amplitude"], params["period"])[KINDS.index(kind)]
        return lambda t: f(Fraction(t))
    x = params["exponent" if family == "poly" else "overshoot"]
    f = (poly(mp.mpf(x)) if family == "poly" else back(lambda: mp.mpf(x)))[KINDS.index(kind)]
    return lambda t: f(mp.mpf(t))


def reference(f, x):
    """f(x) (x a double) to DIGITS digits, or 0 where f(x) is exactly 0: f at
    two precisions beyond the digits the argument's size could cancel, which
    agree, or the second smaller by about the added digits where f(x) is 0."""
    dps = DIGITS + 30 + 2 * max(0, int(-math.log10(abs(x)))) if x else DIGITS + 30
    with mp.workdps(dps):
        a = f(x)
    with mp.workdps(dps + 40):
        b = f(x)
    if abs(b) < abs(a) * mp.mpf(10) ** -30:
        return "0"
    if abs(b) >= mp.power(2, 1024):  # beyond the doubles, whose nearest is infinity
        return "inf" if b > 0 else "-inf"
    assert abs(a - b) <= abs(b) * mp.mpf(10) ** -(DIGITS + 5), (f, x)
    return mp.nstr(b, DIGITS, min_fixed=-4, max_fixed=4)


# ---- the points ---------------------------------------------------------------------


def near(x, steps=2):
    """x and the doubles within `steps` of it on either side."""
    out = {x}
    lo = hi = x
    for _ in range(steps):
        lo, hi = math.nextafter(lo, -math.inf), math.nextafter(hi, math.inf)
        out |= {lo, hi}
    return out


def curve_grid():
    """i/1000, the d3 table's grid (switch points and their neighbours), tiny
    progress, progress next to 1, and where a curve's sine or cosine
    argument is a whole number of quarter turns (elastic: 40t/3, 20t/3 and
    40(1 - t)/3, also at half progress for the in-out curve), with neighbours."""
    points = {i / 1000 for i in range(1001)} | set(golden_grid())
    points |= {5e-324, 1e-320, 2.0 ** -1022, 1e-300, 1e-200, 1e-100, 1e-30, 2.0 ** -60, 1e-16, 1e-12, 2.0 ** -30}
    for x in (1.0, 0.5, 1 - 1e-15, 1 - 1e-12):
        points |= near(x)
    quarters = [3 * k / 40 for k in range(1, 14)] + [1 - 3 * k / 40 for k in range(1, 14)]
    quarters += [3 * k / 20 for k in range(1, 7)] + [170158 / 270158]  # back_in's zero
    for q in quarters:
        for x in (q, q / 2, (1 + q) / 2):
            points |= near(x, 1)
    return sorted(p for p in points if 0 <= p <= 1)


def primitive_grids():
    rng = random.Random(27)
    ends = {5e-324, 1e-320, 2.0 ** -1022, 1e-300, 1e-100, 1e-16, 2.0 ** -30, 0.5}
    ends |= {-x for x in ends}
    quarter = {i / 64 for i in range(-16 * 64, 16 * 64 + 1)} | {rng.uniform(-16, 16) for _ in range(1000)}
    for k in range(-16, 17):
        quarter |= near(float(k), 3) | near(k + 0.5, 2) | {k + 2.0 ** -m for m in (10, 20, 30, 40)}
    quarter |= ends | {2.0 ** 51 + 0.5, 2.0 ** 52, 2.0 ** 52 + 1, 2.0 ** 53, 2.0 ** 53 + 2, 1e17, 1e300, sys.float_info.max}
    quarter |= {-x for x in (2.0 ** 52 + 1, 2.0 ** 53 + 2, 1e300)}
    exp = {i / 64 for i in range(-12 * 64, 12 * 64 + 1)} | {rng.uniform(-60, 1024) for _ in range(500)}
    exp |= {rng.uniform(-12, 12) for _ in range(500)}
    for k in range(-60, 61):
        exp |= near(float(k), 2) | near(k + 0.5, 1)
    exp |= ends | near(1024.0, 2) | near(1023.5, 2) | near(-53.5, 2) | {1e300, -1e300}
    logs = {rng.uniform(0, 2) for _ in range(1000)} | {2.0 ** rng.uniform(-1074, 1024) for _ in range(1000)}
    for k in range(-1074, 1024, 7):
        logs |= near(2.0 ** k, 1)
    logs |= near(1.0, 40) | {1 + i / 256 for i in range(-128, 256)} | {math.sqrt(2), math.sqrt(0.5)}
    logs |= {5e-324, 1e-320, 2.0 ** -1022, sys.float_info.max, 0.0}
    exps = {rng.uniform(-1080, 1024) for _ in range(1000)} | {rng.uniform(-2, 2) for _ in range(500)}
    for k in range(-1080, 1025, 5):
        exps |= near(float(k), 1) | {k + 0.5}
    exps |= ends | near(1024.0, 2) | near(-1074.0, 2) | near(-1022.0, 2) | {-1100.0, -1080.5}
    return {"sin_quarter": sorted(quarter), "cos_quarter": sorted(quarter), "exp2m1": sorted(exp),
            "log2": sorted(logs), "exp2": sorted(exps)}


# ---- errors ---------------------------------------------------------------------------


def ulp_error(value, exact):
    """|value - exact| in units in the last place of exact (0 if both are 0)."""
    if exact in ("inf", "-inf"):
        return 0.0 if value == float(exact) else math.inf
    exact = Fraction(exact)
    err = abs(Fraction(value) - exact)
    return float(err / Fraction(math.ulp(float(exact)))) if exact else (math.inf if err else 0.0)


def abs_error(value, exact):
    """|value - exact| in units of 2^-53."""
    return float(abs(Fraction(value) - Fraction(exact)) * 2 ** 53)


def encode(xs):
    return " ".join(float(x).hex() for x in xs)


# Curves the factories make, as expressions in the module's namespace: their
# bits only (a step's exact value is the CSS algorithm's, in doubles).
MADE = ["cubic_bezier(0.68, -0.6, 0.32, 1.6)", "steps(4, 'jump-both')", "steps(3, 'jump-none')",
        "from_css('linear(0, 1.2 45%, 0.9 60%, 1)')", "from_css('linear(0 20%, 0.5 50% 60%, 1 80%)')"]


def main(out_path):
    points = curve_grid()
    family_points = sorted(set(points[::4]) | {t for t in points if t < 1e-9 or t > 1 - 1e-9})
    made = {text: encode(eval(text, vars(easing)).at(t) for t in points)
            for text in MADE + [expression(*c) for c in FAMILY_CURVES]}
    made_exact = {}
    for curve, params in FAMILY_CURVES:
        text = expression(curve, params)
        f = family_reference(curve, params)
        bits = [eval(text, vars(easing)).at(t) for t in family_points]
        exact = [reference(f, t) for t in family_points]
        made_exact[text] = {"x": encode(family_points), "exact": " ".join(exact)}
        ulps = max(map(ulp_error, bits, exact))
        absolute = max(map(abs_error, bits, exact))
        print(f"{text:42} largest error {ulps:8.3f} ulp, {absolute:8.3f} x 2^-53")
    curves = {}
    for c in easing.curves:
        f = CURVES[c.__name__]
        bits = [c.at(t) for t in points]
        exact = [reference(lambda t: f(mp.mpf(t)), t) for t in points]
        curves[c.__name__] = {"bits": encode(bits), "exact": " ".join(exact)}
        ulps = max(map(ulp_error, bits, exact))
        absolute = max(map(abs_error, bits, exact))
        print(f"{c.__name__:16} largest error {ulps:8.3f} ulp, {absolute:8.3f} x 2^-53")
    primitives = {}
    for name, xs in primitive_grids().items():
        bits = [easing._primitive(name, x) for x in xs]
        exact = [reference(PRIMITIVES[name], x) if math.isfinite(x) else "nan" for x in xs]
        primitives[name] = {"x": encode(xs), "bits": encode(bits), "exact": " ".join(exact)}
        ulps = max(map(ulp_error, bits, exact))
        print(f"{name:16} largest error {ulps:8.3f} ulp ({len(xs)} points)")
    table = {"made_by": "tools/easing_bits.py", "mpmath": mp.__version__, "digits": DIGITS,
             "grid": encode(points), "curves": curves, "made": made, "made_exact": made_exact,
             "primitives": primitives}
    Path(out_path).write_text(json.dumps(table, indent=1) + "\n", encoding="utf-8")
    print(f"{out_path}: {len(points)} points per curve")


if __name__ == "__main__":
    main(sys.argv[1])
