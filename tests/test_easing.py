"""The easing curves: their values against the references in the golden table
(made by tools/easing_golden.py from d3-ease, bezier-easing and pytweening),
the interpolation call a glide cell makes, and the curve objects themselves."""

import ast
import copy
import functools
import inspect
import json
import math
import pickle
import pydoc
import random
import struct
import sys
import zlib
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest

from support import run_python
from Quillmoor.utils import easing, glidecell
from Quillmoor.utils.easing import BackCurve, Curve, ElasticCurve, PolyCurve, cubic_bezier

ROOT = Path(__file__).resolve().parent.parent
GOLDEN = json.loads((Path(__file__).with_name("easing_golden.json")).read_text(encoding="utf-8"))
# Chromium's values of CSS easing texts, and the texts it refuses (tools/css_golden.mjs).
BROWSER = json.loads((Path(__file__).with_name("easing_css.json")).read_text(encoding="utf-8"))
GRID = GOLDEN["grid"]
FAMILIES = ["quad", "cubic", "quart", "quint", "poly", "sine", "expo", "circ", "back", "elastic", "bounce"]
CSS_KEYWORDS = {"ease": "ease", "ease_in": "ease-in", "ease_out": "ease-out", "ease_in_out": "ease-in-out",
                "step_start": "step-start", "step_end": "step-end"}
NAMES = (["linear"] + [f"{f}_{s}" for f in FAMILIES for s in ("in", "out", "in_out")]
         + ["smoothstep", "smootherstep"] + list(CSS_KEYWORDS))
# Every curve but step_start (1 from progress 0 on, as CSS has it).
FROM_ZERO = [c for c in easing.curves if c is not easing.step_start]

# Where pytweening computes another curve than d3-ease, and why (the README's
# table says the same).  Everywhere else the two agree to rounding.
PYTWEENING_DIFFERS = {
    "expo_in": "plain 2**(10(t-1)): jumps from 0 to 2**-10 after t = 0",
    "expo_out": "plain 1 - 2**(-10t): jumps to 1 at t = 1",
    "expo_in_out": "the same jumps at both ends",
    "back_in_out": "overshoot scaled by 1.525",
    "elastic_in": "envelope 2**(-10t) not rescaled",
    "elastic_out": "envelope 2**(-10t) not rescaled",
    "elastic_in_out": "that, and period 0.5",
    "bounce_in": "last arc starts at 2.65/2.75 instead of 2.625/2.75",
    "bounce_out": "last arc starts at 2.65/2.75 instead of 2.625/2.75",
    "bounce_in_out": "last arc starts at 2.65/2.75 instead of 2.625/2.75",
}


# ---- values ---------------------------------------------------------------------


def test_the_module_lists_every_curve_once_in_order():
    assert [c.__name__ for c in easing.curves] == NAMES
    assert all(getattr(easing, c.__name__) is c for c in easing.curves)
    assert {n for n, v in vars(easing).items() if isinstance(v, Curve)} == set(NAMES)


def test_the_grid_holds_the_ends_the_midpoint_and_the_switch_points():
    points = set(GRID)
    assert {0.0, 0.5, 1.0} <= points
    for b in (4 / 11, 8 / 11, 10 / 11):  # where bounce_out changes arc, and bounce_in, bounce_in_out's
        assert {b, 1 - b, b / 2, 0.5 + b / 2} <= points
        assert math.nextafter(b, 0) in points and math.nextafter(b, 1) in points


@pytest.mark.parametrize("name", sorted(GOLDEN["d3"]))
def test_values_match_d3_ease(name):
    curve = getattr(easing, name)
    worst = max(abs(curve.at(t) - v) for t, v in zip(GRID, GOLDEN["d3"][name]))
    assert worst <= 1e-12


def made(curve, params):
    """The family's curve `curve` with its methods called on `params` in order."""
    made = getattr(easing, curve)
    for method, value in params.items():
        made = getattr(made, method)(value)
    return made


@pytest.mark.parametrize("case", GOLDEN["d3_families"], ids=lambda c: made(c["curve"], c["params"]).__repr__()[23:])
def test_families_match_d3_ease_at_other_parameters(case):
    curve = made(case["curve"], case["params"])
    worst = max(abs(curve.at(t) - v) for t, v in zip(GRID, case["d3"]))
    assert worst <= 1e-12


# poly_in.exponent(n) for n = 1 to 5 is the named curve of that degree, bit for bit.
WHOLE_EXPONENTS = {1: ("linear", "linear", "linear"), 2: ("quad_in", "quad_out", "quad_in_out"),
                   3: ("cubic_in", "cubic_out", "cubic_in_out"), 4: ("quart_in", "quart_out", "quart_in_out"),
                   5: ("quint_in", "quint_out", "quint_in_out")}


@pytest.mark.parametrize("e", sorted(WHOLE_EXPONENTS))
def test_whole_exponents_give_the_named_curves_bits(e):
    points = GRID + [5e-324, 1e-300, 1e-17, math.nextafter(0.5, 0), math.nextafter(1, 0)]
    for kind, name in zip(("in", "out", "in_out"), WHOLE_EXPONENTS[e]):
        family = getattr(easing, f"poly_{kind}")
        named = getattr(easing, name)
        for curve in [family.exponent(e), family.exponent(float(e))] + ([family] if e == 3 else []):
            assert [curve.at(t).hex() for t in points] == [named.at(t).hex() for t in points], (curve, name)


@pytest.mark.parametrize("name", sorted(GOLDEN["exact"]))
def test_smoothsteps_match_exact_arithmetic(name):
    curve = getattr(easing, name)
    for t, v in zip(GRID, GOLDEN["exact"][name]):
        assert curve.at(t) == pytest.approx(v, abs=2.3e-16), t
        assert 0.0 <= curve.at(t) <= 1.0


@pytest.mark.parametrize("curve", FROM_ZERO, ids=repr)
def test_exactly_zero_at_zero_and_one_at_one(curve):
    assert math.copysign(1, curve.at(0)) == 1 and curve.at(0) == 0.0 and curve.at(-0.0) == 0.0
    assert curve.at(1) == 1.0
    assert curve(3.0, 7.0, 0.0) == 3.0 and curve(3.0, 7.0, 1.0) == 7.0


@pytest.mark.parametrize("name", sorted(GOLDEN["pytweening"]))
def test_pytweening_agrees_except_where_documented(name):
    curve = getattr(easing, name)
    worst = max(abs(curve.at(t) - v) for t, v in zip(GRID, GOLDEN["pytweening"][name]))
    if name in PYTWEENING_DIFFERS:
        assert worst > 1e-6
    else:
        assert worst <= 1e-12


@pytest.mark.parametrize("case", GOLDEN["beziers"], ids=lambda c: "cubic_bezier" + str(tuple(c["params"])))
def test_cubic_bezier_is_solved_to_double_precision_and_agrees_with_bezier_easing(case):
    curve = cubic_bezier(*case["params"])
    for t, theirs, exact in zip(GRID, case["bezier_easing"], case["exact"]):
        ours = curve.at(t)
        assert abs(ours - exact) <= 2.3e-16, t
        # Its own solver stops at about 1e-7 in x, which a vertical tangent
        # (x1 = 1, x2 = 0 at t = 1/2) magnifies past 1e-6 in y.
        if abs(theirs - exact) <= 1e-6:
            assert abs(ours - theirs) <= 1e-6, t


@functools.cache
def exact_bezier_point():
    """The exact Bézier solve of the script that makes the golden table: (u, y) as rationals."""
    import importlib.util

    spec = importlib.util.spec_from_file_location("easing_golden", ROOT / "tools" / "easing_golden.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.exact_bezier_point


def assert_exact(params, t):
    """The curve's value at t against the exact solve: within 4 * 2**-53 *
    max(1, |y1|, |y2|), and within an ulp wherever it is a normal double not
    more than 2**40 times smaller than its terms (whose cancellation the
    solver cannot undo)."""
    ours = cubic_bezier(*params).at(t)
    assert math.isfinite(ours), (params, t)
    u, exact = exact_bezier_point()(params, t)
    y1, y2 = map(Fraction, params[1::2])
    error = abs(Fraction(ours) - exact)
    assert error <= 4 * Fraction(2) ** -53 * max(1, abs(y1), abs(y2)), (params, t, ours, float(exact))
    terms = abs(3 * y1 * u * (1 - u) ** 2) + abs(3 * y2 * u * u * (1 - u)) + u ** 3
    if abs(exact) >= 2 ** -1022 and abs(exact) * 2 ** 40 >= terms:
        assert error <= math.ulp(float(exact)), (params, t, ours, float(exact))


MAX = sys.float_info.max
# Vertical tangents (x flat at 1/2), nearly one, horizontal ones; x flat at an
# end (x1 = 0, x2 = 1: the root goes as the square or cube root of the
# progress); the largest, large and subnormal ordinates, subnormal and zero
# abscissae; ordinates so far apart that the value's terms underflow unless
# each is scaled.
HARD_BEZIERS = [
    (1, 0, 0, 1), (1, -1, 0, 2), (1, 0.5, 5e-324, 0.5), (0, 1, 1, 0), (0.3, 1, 0.7, 0),
    (0, 1, 0, 1), (0, 0, 0.58, 1), (0.42, 0, 1, 1), (1, 0, 1, 1),
    (0.5, 3e299, 0.5, 0), (0.5, -MAX, 0.5, 0), (0.5, MAX, 0.5, MAX), (0, MAX, 1, -MAX), (1, -MAX, 0, MAX),
    (0, 5e-324, 0, 5e-324), (5e-324, -5e-324, 1, 5e-324), (0, 0, 0, 0.5),
    (1, 1, 0.5, MAX), (0.5, 11711.43, 0.5, 3.88e134),
]
HARD_PROGRESS = [5e-324, 1e-300, math.nextafter(2 ** -512, 0), 2 ** -512, 1e-150, 1e-9, 0.3, 0.5 - 2 ** -54, 0.5,
                 0.5 + 2 ** -53, 0.500000003, 0.5 + 1e-12, 0.7, 1 - 1e-9, 1 - 2 ** -53]


@pytest.mark.parametrize("params", HARD_BEZIERS, ids=str)
def test_cubic_bezier_is_exact_where_the_solve_is_hard(params):
    for t in HARD_PROGRESS:
        assert_exact(params, t)


@pytest.mark.parametrize("seed", range(16))
def test_cubic_bezier_of_any_parameters_is_exact(seed):
    rng = random.Random(seed)

    def abscissa():
        return rng.choice([rng.random(), rng.random(), rng.random() ** 16, 0.0, 1.0, 5e-324])

    def ordinate():
        return rng.choice([rng.uniform(-2, 3), rng.uniform(-2, 3), rng.choice([-1, 1]) * 2 ** rng.uniform(-1074, 1023),
                           rng.choice([-MAX, MAX]), 0.0])

    params = (abscissa(), ordinate(), abscissa(), ordinate())
    if seed % 4 == 0:
        params = (1.0, params[1], 0.0, params[3])  # a vertical tangent
    for t in [rng.random() for _ in range(4)] + [2 ** -rng.uniform(1, 1074), 1 - 2 ** -rng.uniform(1, 53),
                                                 0.5 + rng.uniform(-1, 1) * 2 ** -rng.uniform(20, 54)]:
        assert_exact(params, t)


@pytest.mark.parametrize("curve", [easing.back_in, easing.elastic_out, easing.back_in_out,
                                   cubic_bezier(0.68, -0.55, 0.265, 1.55)], ids=repr)
def test_overshooting_curves_leave_the_unit_interval(curve):
    values = [curve.at(i / 200) for i in range(201)]
    assert min(values) < 0 or max(values) > 1


# ---- the interpolation call -------------------------------------------------------

NUMBERS = [(0.0, 10.0), (3, 11), (-2.5, 4), (7, -1.25), (1e300, -1e300), (2**70, 5), (True, 3)]


@pytest.mark.parametrize("curve", [easing.linear, easing.quad_in_out, easing.elastic_out,
                                   cubic_bezier(0.25, 0.1, 0.25, 1.0), easing.poly_out.exponent(2.5)], ids=repr)
@pytest.mark.parametrize(("start", "target"), NUMBERS)
@pytest.mark.parametrize("progress", [0.0, 0.3, 0.5, 1, 0.999])
def test_numbers_mix_as_python_arithmetic_does(curve, start, target, progress):
    e = curve.at(progress)
    expected = start + (target - start) * e
    got = curve(start, target, progress)
    assert type(got) is type(expected) and got == expected


def test_progress_outside_the_interval_is_clamped_and_nan_gives_nan():
    c = easing.back_out
    assert c.at(-3) == 0.0 and c.at(7.5) == 1.0 and c.at(-math.inf) == 0.0 and c.at(math.inf) == 1.0
    assert c(2.0, 4.0, -1.0) == 2.0 and c(2.0, 4.0, 2.0) == 4.0
    assert math.isnan(c.at(math.nan)) and math.isnan(c(2.0, 4.0, math.nan)) and math.isnan(c(2, 4, math.nan))
    assert math.isnan(cubic_bezier(0.1, 0.2, 0.3, 0.4).at(math.nan))


class Index:
    def __index__(self):
        return 1


@pytest.mark.parametrize(("progress", "expected"), [(1, 5.0), (True, 5.0), (Fraction(1, 2), 3.0), (Index(), 5.0)])
def test_progress_is_any_real_number(progress, expected):
    assert easing.linear(1.0, 5.0, progress) == expected


class Vec:
    """A vector that records the arithmetic done on it."""

    log: list = []

    def __init__(self, *xs):
        self.xs = xs

    def __add__(self, other):
        Vec.log.append(("add", self.xs, other.xs))
        return Vec(*(a + b for a, b in zip(self.xs, other.xs)))

    def __sub__(self, other):
        Vec.log.append(("sub", self.xs, other.xs))
        return Vec(*(a - b for a, b in zip(self.xs, other.xs)))

    def __mul__(self, k):
        Vec.log.append(("mul", self.xs, k))
        return Vec(*(a * k for a in self.xs))


def test_other_objects_go_through_their_own_arithmetic_in_order():
    Vec.log = []
    got = easing.quad_in(Vec(1.0, 2.0), Vec(3.0, 6.0), 0.5)
    assert got.xs == (1.5, 3.0)
    assert Vec.log == [("sub", (3.0, 6.0), (1.0, 2.0)), ("mul", (2.0, 4.0), 0.25), ("add", (1.0, 2.0), (0.5, 1.0))]
    assert type(easing.linear(Fraction(1), Fraction(3), 0.25)) is float  # as the stub says
    assert easing.linear(1j, 3 + 1j, 0.5) == 1.5 + 1j


class Boom(Exception):
    pass


class Hostile:
    def __sub__(self, other):
        return self

    def __mul__(self, k):
        raise Boom(k)


def test_errors_of_the_operands_propagate_unchanged():
    with pytest.raises(Boom) as e:
        easing.sine_out(Hostile(), Hostile(), 1.0)
    assert e.value.args == (1.0,)
    with pytest.raises(TypeError, match="unsupported operand"):
        easing.linear(Decimal(1), Decimal(2), 0.5)  # Decimal * float
    with pytest.raises(TypeError):
        easing.linear("a", "b", 0.5)


def test_a_start_of_none_gives_the_target():
    target = object()
    assert easing.bounce_out(None, target, 0.25) is target
    assert easing.linear(None, 4, 0.0) == 4
    with pytest.raises(TypeError):  # the progress is still read
        easing.linear(None, 4, "x")


@pytest.mark.parametrize(("call", "message"), [
    (lambda: easing.quad_in(1.0, 2.0, "x"), "must be real number, not str"),
    (lambda: easing.quad_in.at(None), "must be real number, not NoneType"),
    (lambda: cubic_bezier(0, 0, 1, "1"), "must be real number, not str"),
    (lambda: Curve(), "cannot create 'Quillmoor.utils.easing.Curve' instances"),
])
def test_bad_calls_say_what_is_wrong(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keywords_name_the_parameters():
    assert easing.quad_in(start=1.0, target=3.0, progress=0.5) == 1.5
    assert easing.quad_in.at(progress=0.5) == 0.25
    assert cubic_bezier(x1=0.0, y1=0.0, x2=1.0, y2=1.0) == cubic_bezier(0, 0, 1, 1)
    assert str(inspect.signature(cubic_bezier)) == "(x1, y1, x2, y2)"
    assert str(inspect.signature(Curve.at)) == "(self, /, progress)"
    assert str(inspect.signature(easing.quad_in)) == "(start, target, progress)"
    assert str(inspect.signature(cubic_bezier(0, 0, 1, 1))) == "(start, target, progress)"


@pytest.mark.parametrize(("args", "message"), [
    ((-0.1, 0, 1, 1), r"x1 in \[0, 1\], got -0.1"),
    ((0, 0, 1.5, 1), r"x2 in \[0, 1\], got 1.5"),
    ((math.nan, 0, 1, 1), r"x1 in \[0, 1\], got nan"),
    ((0, math.inf, 1, 1), "finite y1, got inf"),
    ((0, 0, 1, -math.nan), "finite y2, got nan"),
])
def test_cubic_bezier_keeps_to_the_css_rule(args, message):
    with pytest.raises(ValueError, match=message):
        cubic_bezier(*args)


# ---- CSS ------------------------------------------------------------------------------


@pytest.mark.parametrize(("name", "css"), [("linear", "linear"), *CSS_KEYWORDS.items()])
def test_css_keywords_are_the_named_curves(name, css):
    assert easing.from_css(css) is getattr(easing, name)
    assert easing.from_css(f" /* pasted */ {css.upper()}\n") is getattr(easing, name)


def test_css_bezier_keywords_are_their_control_points():
    for name, params in [("ease", (0.25, 0.1, 0.25, 1)), ("ease_in", (0.42, 0, 1, 1)), ("ease_out", (0, 0, 0.58, 1)),
                         ("ease_in_out", (0.42, 0, 0.58, 1))]:
        made = cubic_bezier(*params)
        assert [getattr(easing, name).at(i / 50) for i in range(51)] == [made.at(i / 50) for i in range(51)]


@pytest.mark.parametrize(("curve", "points"), [
    (easing.steps(4), {0: 0, 0.3: 0.25, 0.25: 0.25, 0.2499: 0, 1: 1, -1: 0, 2: 1}),
    (easing.steps(4, "jump-start"), {0: 0.25, -1: 0.25, 0.3: 0.5, 0.75: 1, 1: 1}),
    (easing.steps(2, "jump-none"), {0: 0, 0.4999: 0, 0.5: 1, 1: 1}),
    (easing.steps(3, "jump-both"), {0: 0.25, 1 / 3: 0.5, 0.99: 0.75, 1: 1}),
    (easing.step_start, {0: 1, 0.5: 1, -1: 1}),
    (easing.step_end, {0: 0, 0.999: 0, 1: 1}),
    (easing.linear_stops(0.2, 0.8), {0: 0.2, -5: 0.2, 0.5: 0.5, 1: 0.8, 9: 0.8}),
], ids=repr)
def test_step_and_linear_curves_have_their_css_values_at_the_ends_too(curve, points):
    assert {t: curve.at(t) for t in points} == pytest.approx(points, abs=1e-15)
    assert math.isnan(curve.at(math.nan)) and curve(2.0, 4.0, 1) == 2.0 + 2.0 * curve.at(1)


@pytest.mark.parametrize(("stops", "points"), [
    ((0, 1), [(0, 0), (1, 1)]),
    ((0, (0.25, 0.75), 1), [(0, 0), (0.25, 0.75), (1, 1)]),
    ((0, 0.1, 0.2, (0.3, 0.6), 1), [(0, 0), (0.1, 0.2), (0.2, 0.4), (0.3, 0.6), (1, 1)]),
    ((0, (0.5, 0.2, 0.8), 1), [(0, 0), (0.5, 0.2), (0.5, 0.8), (1, 1)]),
    ((0, (0.9, 0.8), (0.2, 0.4), 1), [(0, 0), (0.9, 0.8), (0.2, 0.8), (1, 1)]),   # backwards: held
    (((0, -0.1), (1, 1.1)), [(0, -0.1), (1, 1.1)]),
    (((0, 0.3), 0.5, (1, 0.2)), [(0, 0.3), (0.5, 0.3), (1, 0.3)]),
    ((0, (1, -0.2)), [(0, 0), (1, 0)]),
    ((0, (1, 0.5), 0.5), [(0, 0), (1, 0.5), (0.5, 1)]),
], ids=str)
def test_linear_stops_place_their_inputs_as_css_does(stops, points):
    curve = easing.linear_stops(*stops)
    placed = curve.__reduce__()[1]
    assert [x for p in placed for x in p] == pytest.approx([x for p in points for x in p], abs=1e-15)
    assert easing.linear_stops(*placed) == curve


def test_linear_stops_jump_where_inputs_meet():
    curve = easing.linear_stops(0, (0.5, 0.5), (0.8, 0.5), 1)
    assert curve.at(math.nextafter(0.5, 0)) < 0.5 and curve.at(0.5) == 0.8 and curve.at(0.75) == pytest.approx(0.9)


# Each made curve, and the CSS text that makes it again.
MADE = [
    (lambda: cubic_bezier(0.68, -0.6, 0.32, 1.6), "cubic-bezier(.68, -.6, .32, 1.6)"),
    (lambda: easing.steps(4, "jump-both"), "steps(4, jump-both)"),
    (lambda: easing.steps(3, "start"), "steps(3,jump-start)"),
    (lambda: easing.linear_stops(0, (0.25, 0.75), 1), "linear(0, 0.25 75%, 1)"),
    (lambda: easing.linear_stops(0, (0.5, 0.2, 0.8), 1), "linear(0, 20% 80% 0.5, 1)"),
    (lambda: easing.linear_stops(-1, 1), "linear(-1, 1)/*"),  # -1 is a number; a comment may run to the end
]


@pytest.mark.parametrize(("make", "css"), MADE, ids=[m[1] for m in MADE])
def test_a_made_curve_is_its_parameters(make, css):
    curve, again = make(), easing.from_css(css)
    assert curve == again and hash(curve) == hash(again) and not curve != again and curve is not again
    assert all(curve != m() for m, text in MADE if text != css)
    assert curve != easing.linear and curve.__doc__
    assert eval(repr(curve), {"Quillmoor": __import__("Quillmoor.utils.easing")}) == curve
    for copied in [pickle.loads(pickle.dumps(curve, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [
            copy.copy(curve), copy.deepcopy(curve)]:
        assert copied == curve and [copied.at(i / 7) for i in range(8)] == [curve.at(i / 7) for i in range(8)]


# Each family's named curves and their methods; two made curves of each.
FAMILY_TYPES = {PolyCurve: ("poly", ["exponent"]), BackCurve: ("back", ["overshoot"]),
                ElasticCurve: ("elastic", ["amplitude", "period"])}
FAMILY_MADE = [
    lambda: easing.poly_in.exponent(2.5), lambda: easing.poly_in_out.exponent(0.5),
    lambda: easing.back_out.overshoot(0.0), lambda: easing.back_in_out.overshoot(-2),
    lambda: easing.elastic_in.amplitude(1.5).period(0.2), lambda: easing.elastic_out.period(0.45),
]


def test_the_family_methods_exist_where_they_mean_something():
    methods = {m for _, ms in FAMILY_TYPES.values() for m in ms}
    for curve in easing.curves:
        family = next(((f, ms) for cls, (f, ms) in FAMILY_TYPES.items() if isinstance(curve, cls)), None)
        assert (family is not None) == curve.__name__.startswith(("poly_", "back_", "elastic_")), curve
        assert {m for m in methods if hasattr(curve, m)} == set(family[1] if family else ())
        assert isinstance(curve, Curve)


@pytest.mark.parametrize("make", FAMILY_MADE, ids=lambda m: repr(m())[23:])
def test_a_family_curve_is_its_kind_and_parameters(make):
    curve, again = make(), make()
    assert type(curve) is type(getattr(easing, curve.__name__)) and curve.__name__ == curve.__qualname__
    assert curve == again and hash(curve) == hash(again) and not curve != again and curve is not again
    assert all(curve != m() for m in FAMILY_MADE if m is not make) and curve != getattr(easing, curve.__name__)
    assert eval(repr(curve), {"Quillmoor": __import__("Quillmoor.utils.easing")}) == curve
    assert curve.__doc__ and curve.__doc__ != type(curve).__doc__
    for copied in [pickle.loads(pickle.dumps(curve, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [
            copy.copy(curve), copy.deepcopy(curve)]:
        assert copied == curve and [copied.at(i / 7) for i in range(8)] == [curve.at(i / 7) for i in range(8)]


def test_a_family_method_keeps_the_other_parameters():
    a = easing.elastic_in_out.amplitude(1.5).period(0.2)
    assert a == easing.elastic_in_out.period(0.2).amplitude(1.5) == a.amplitude(1.5) == a.period(0.2).period(0.2)
    assert repr(a) == "Quillmoor.utils.easing.elastic_in_out.amplitude(1.5).period(0.2)"
    assert repr(easing.elastic_out.period(0.2)) == "Quillmoor.utils.easing.elastic_out.amplitude(1.0).period(0.2)"
    # As in d3-ease, an amplitude below 1 is 1.
    assert easing.elastic_in.amplitude(0.5) == easing.elastic_in.amplitude(-3) == easing.elastic_in.amplitude(1)
    assert easing.back_in.overshoot(-0.0) == easing.back_in.overshoot(0) and "(0.0)" in repr(easing.back_in.overshoot(-0.0))
    assert easing.poly_in.exponent(2).exponent(3) == easing.poly_in.exponent(3) != easing.poly_out.exponent(3)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda: easing.poly_in.exponent(0), ValueError, r"^exponent\(\) needs a finite e above 0, got 0$"),
    (lambda: easing.poly_out.exponent(-1.5), ValueError, "finite e above 0, got -1.5"),
    (lambda: easing.poly_in_out.exponent(math.inf), ValueError, "finite e above 0, got inf"),
    (lambda: easing.back_in.overshoot(math.nan), ValueError, r"^overshoot\(\) needs a finite s, got nan$"),
    (lambda: easing.elastic_in.amplitude(-math.inf), ValueError, r"^amplitude\(\) needs a finite a, got -inf$"),
    (lambda: easing.elastic_out.period(0.0), ValueError, r"^period\(\) needs a finite p above 0, got 0.0$"),
    (lambda: easing.elastic_out.period(math.nan), ValueError, "finite p above 0, got nan"),
    (lambda: easing.poly_in.exponent("2"), TypeError, "must be real number, not str"),
    (lambda: easing.elastic_in.period(None), TypeError, "must be real number, not NoneType"),
    (lambda: easing.back_in.overshoot(), TypeError, r"overshoot\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda: PolyCurve.exponent(easing.back_in, 2), TypeError, "doesn't apply to a '.*BackCurve' object"),
])
def test_family_methods_refuse_what_their_curves_cannot_take(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_step_curves_of_one_kind_are_told_apart_from_the_keywords():
    assert easing.steps(1, "jump-start") != easing.step_start and easing.steps(1) != easing.step_end
    assert easing.steps(1, "start") == easing.steps(1, "jump-start") != easing.steps(1, "jump-end")
    assert hash(easing.steps(2)) != hash(easing.linear_stops(2, 0))  # not a collision by construction


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda: easing.steps(0), ValueError, "n of at least 1, got 0"),
    (lambda: easing.steps(-(2**70)), ValueError, "n of at least 1"),
    (lambda: easing.steps(2**70), ValueError, "n below 2\\*\\*53"),
    (lambda: easing.steps(1, "jump-none"), ValueError, "at least 2 for 'jump-none', got 1"),
    (lambda: easing.steps(2, "middle"), ValueError, "position of 'jump-start', .* got 'middle'"),
    (lambda: easing.steps(2.0), TypeError, "int n, got float"),
    (lambda: easing.steps(2, None), TypeError, "str position, got NoneType"),
    (lambda: easing.linear_stops(), ValueError, "at least two stops, got 0"),
    (lambda: easing.linear_stops(1), ValueError, "at least two stops, got 1"),
    (lambda: easing.linear_stops(0, (1, 0.5, 0.6, 0.7)), ValueError, "\\(output, input, input\\); stops\\[1\\]"),
    (lambda: easing.linear_stops(0, (1,)), ValueError, "stops\\[1\\] is \\(1,\\)"),
    (lambda: easing.linear_stops(0, math.inf), ValueError, "finite outputs; stops\\[1\\] is inf"),
    (lambda: easing.linear_stops((0, math.nan), 1), ValueError, "finite inputs; stops\\[0\\]"),
    (lambda: easing.linear_stops(0, "1"), TypeError, "must be real number, not str"),
    (lambda: easing.linear_stops(0, 1, stops=2), TypeError, "no keyword arguments"),
    (lambda: easing.from_css(b"ease"), TypeError, "needs a str, got bytes"),
])
def test_css_factories_refuse_what_css_refuses(call, error, message):
    with pytest.raises(error, match=message):
        call()


def jumps_of(curve):
    """The inputs where a linear() curve jumps (two points share the input)."""
    points = curve.__reduce__()[1]
    return {i for (_, i), (_, j) in zip(points, points[1:]) if i == j}


@pytest.mark.parametrize("case", BROWSER["curves"], ids=lambda c: c["css"])
def test_css_texts_give_what_the_browser_gives(case):
    if "calc(" in case["css"]:
        with pytest.raises(ValueError, match="does not evaluate"):
            easing.from_css(case["css"])
        return
    curve = easing.from_css(case["css"])
    kind = curve.__name__
    for t, theirs in case["points"]:
        ours = curve.at(t)
        if kind in ("steps", "step_start", "step_end"):
            assert ours == theirs, t  # between the edges and at them, exactly
        elif kind == "linear_stops":
            # Next to a jump the browser switches segment an ulp early or late.
            if not any(abs(t - j) <= 2 * math.ulp(j) for j in jumps_of(curve)):
                assert ours == pytest.approx(theirs, abs=1e-12), t
        elif kind == "linear":
            assert ours == theirs
        else:
            # The browser's Bézier solver stops early (5.5e-5 at most, beside
            # vertical tangents); ours is exact (see the Bézier tests above).
            assert ours == pytest.approx(theirs, abs=1e-4), t


@pytest.mark.parametrize("text", BROWSER["invalid"])
def test_css_texts_the_browser_refuses_are_refused(text):
    with pytest.raises(ValueError, match="from_css"):
        easing.from_css(text)


@pytest.mark.parametrize(("text", "message"), [
    ("", "expected an easing function .* at column 1"),
    ("ease-inn", "at column 1"),
    ("ease0", "expected an easing function .* at column 1"),  # a digit is part of a name
    ("ease in", "expected the end of the text at column 6"),
    ("steps(4, jump-middle)", "expected a step position .* at column 10"),
    ("steps(2.5)", "expected an integer at column 7"),
    ("steps(4e0)", "expected an integer at column 7"),
    ("steps(0)", "n of at least 1, got 0, at column 7"),
    ("steps(4,)", "step position .* at column 9"),
    ("cubic-bezier(1.1, 0, 0, 1)", "needs x1 in \\[0, 1\\], got 1.1, at column 14"),
    ("cubic-bezier(0, 0, 1)", "expected ',' at column 21"),
    ("cubic-bezier(0, 0, 1, 1 x", "expected '\\)' at column 25"),
    ("steps(calc(2 + 2))", "not calc\\(\\), which from_css\\(\\) does not evaluate at column 7"),
    ("cubic-bezier(0, 0, 1, 1e999)", "expected a number at column 23"),
    ("cubic-bezier(0, 0, 1px, 1)", "expected a number at column 20"),
    ("linear()", "expected a number at column 8"),
    ("linear(0.5)", "at least two stops, got 1, at column 8"),
    ("linear(0, 50%)", "expected a number at column 14"),
    ("linear(0 1, 1)", "expected a percentage, ',' or '\\)' at column 10"),
    ("linear(0, 50% 0.5 60%, 1)", "expected ',' or '\\)' at column 19"),
    ("linear(0 10% 20% 30%, 1)", "expected ',' or '\\)' at column 18"),
    ("é ease", "at column 1"),
    ("ease é", "expected the end of the text at column 6"),
])
def test_from_css_says_where_the_text_goes_wrong(text, message):
    with pytest.raises(ValueError, match=message):
        easing.from_css(text)


# ---- with a glide cell --------------------------------------------------------------


def test_a_glide_cell_glides_along_the_curve(cell_clock):
    cell = glidecell.GlideCell(easing.cubic_out, 2.0, 10.0)
    cell.set_value(20.0)
    cell_clock.now += 0.5
    assert cell.get_value() == 10.0 + 10.0 * easing.cubic_out.at(0.25)
    cell_clock.now += 2.0
    assert cell.get_value() == 20.0 and not cell.is_interpolated


def test_a_glide_cell_without_default_starts_at_its_first_target(cell_clock):
    cell = glidecell.GlideCell(easing.quad_in_out, 1.0)
    cell.set_value(5.0)
    cell_clock.now += 0.5
    assert cell.get_value() == 5.0
    copied = pickle.loads(pickle.dumps(cell))
    assert copied.get_value() == 5.0


# A cell hands a curve its progress without a float object: what it shows,
# or raises, is still what the curve's call gives.
@pytest.mark.parametrize("curve", [easing.quad_in_out, easing.elastic_out.amplitude(1.5)], ids=repr)
@pytest.mark.parametrize(("start", "target"), NUMBERS + [
    (None, 5), (Fraction(1), Fraction(3)), (1j, 3 + 1j), ("a", 1.0), (Hostile(), Hostile())])
def test_a_glide_cell_shows_what_the_curves_call_gives(cell_clock, curve, start, target):
    cell = glidecell.GlideCell(curve, 2.0, start)
    cell.set_value(target)
    cell_clock.now += 0.5  # progress 0.25
    try:
        expected = curve(start, target, 0.25)
    except Exception as e:
        with pytest.raises(type(e)) as raised:
            cell.get_value()
        assert raised.value.args == e.args
    else:
        got = cell.get_value()
        assert type(got) is type(expected) and got == expected


def test_only_a_curve_takes_the_cells_way_to_it():
    # A type merely named like Curve, even holding easing's capsule, is called
    # as any callable: before the process's first curve reaches a cell, and after.
    proc = run_python(
        """
        from Quillmoor.utils import easing, glidecell
        def named_like_curve(**attrs):
            return type("Quillmoor.utils.easing.Curve", (), {"__call__": lambda self, a, b, p: "own", **attrs})()
        def shown(func):
            cell = glidecell._GlideCell(func, 1e9, 0.0)
            cell.set_value(1.0)
            return cell.get_value()
        capsule = vars(easing.Curve)["_curve_call"]
        print(shown(named_like_curve()), shown(named_like_curve(_curve_call=capsule)),
              shown(easing.linear) < 1e-6, shown(named_like_curve(_curve_call=capsule)))
        """
    )
    assert proc.stdout.split() == ["own", "own", "True", "own"]


# ---- the objects -------------------------------------------------------------------


@pytest.mark.parametrize("curve", easing.curves, ids=NAMES)
def test_a_named_curve_is_itself_by_name_repr_pickle_and_copy(curve):
    name = curve.__name__
    assert curve.__qualname__ == name and curve.__module__ == "Quillmoor.utils.easing"
    assert repr(curve) == f"Quillmoor.utils.easing.{name}"
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(curve, protocol)) is curve
    assert copy.copy(curve) is curve and copy.deepcopy(curve) is curve
    assert {curve: 1}[getattr(easing, name)] == 1


def test_named_curves_are_equal_only_to_themselves():
    assert easing.linear != cubic_bezier(0, 0, 1, 1) and easing.linear != easing.quad_in
    assert len(set(easing.curves)) == len(easing.curves)
    assert easing.linear.__eq__(easing.linear) is NotImplemented  # identity decides


@pytest.mark.parametrize("params", [(0.25, 0.1, 0.25, 1.0), (0.0, -0.5, 1.0, 2.0), (1, 0, 0, 1)])
def test_a_cubic_bezier_is_its_parameters(params):
    curve = cubic_bezier(*params)
    assert curve.__name__ == "cubic_bezier"
    again = cubic_bezier(*(float(p) for p in params))
    assert curve == again and hash(curve) == hash(again) and not curve != again
    assert curve != cubic_bezier(0.5, 0.5, 0.5, 0.5)
    assert eval(repr(curve), {"Quillmoor": __import__("Quillmoor.utils.easing")}) == curve
    assert repr(curve) == "Quillmoor.utils.easing.cubic_bezier" + repr(tuple(float(p) for p in params))
    for copied in [pickle.loads(pickle.dumps(curve, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [
            copy.copy(curve), copy.deepcopy(curve)]:
        assert copied == curve and [copied.at(i / 7) for i in range(8)] == [curve.at(i / 7) for i in range(8)]


def test_negative_zero_parameters_equal_and_hash_as_zero():
    a, b = cubic_bezier(0.0, 0.0, 1.0, 1.0), cubic_bezier(-0.0, -0.0, 1.0, 1.0)
    assert a == b and hash(a) == hash(b)


def test_curves_are_immutable_and_final():
    with pytest.raises(AttributeError):
        easing.linear.__name__ = "x"
    with pytest.raises(AttributeError):
        easing.linear.speed = 2
    for cls in (Curve, PolyCurve, BackCurve, ElasticCurve):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(TypeError):
            cls()
    with pytest.raises(TypeError):
        Curve.at = None
    with pytest.raises(TypeError):
        PolyCurve.exponent = None


def test_a_curve_stored_in_a_class_does_not_bind():
    class Animation:
        ease = easing.quad_out

    assert Animation().ease is easing.quad_out and Animation.ease is easing.quad_out


# ---- documentation -------------------------------------------------------------------


def stub_docstrings():
    """(name, object, stub docstring) for everything the stub documents that is
    this module's own object at run time: the module, Curve and its methods,
    the functions and every curve (special methods and properties keep
    Python's own documentation)."""
    tree = ast.parse(Path(easing.__file__).with_name("easing.pyi").read_text(encoding="utf-8"))
    out = [("module", easing, ast.get_docstring(tree, clean=False))]
    body = tree.body
    for i, node in enumerate(body):
        if isinstance(node, ast.ClassDef):
            out.append((node.name, getattr(easing, node.name), ast.get_docstring(node, clean=False)))
            out += [(f"{node.name}.{f.name}", getattr(getattr(easing, node.name), f.name),
                     ast.get_docstring(f, clean=False))
                    for f in node.body if isinstance(f, ast.FunctionDef) and not f.name.startswith("__")]
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            out.append((node.name, getattr(easing, node.name), ast.get_docstring(node, clean=False)))
        elif (isinstance(node, ast.AnnAssign) and i + 1 < len(body) and isinstance(body[i + 1], ast.Expr)
              and isinstance(getattr(easing, node.target.id), Curve)):
            out.append((node.target.id, getattr(easing, node.target.id), body[i + 1].value.value))
    return out


@pytest.mark.parametrize(("name", "obj", "doc"), stub_docstrings(), ids=lambda x: x if isinstance(x, str) else "")
def test_help_shows_the_stubs_documentation(name, obj, doc):
    assert inspect.cleandoc(obj.__doc__) == inspect.cleandoc(doc)


def test_the_stub_documents_every_curve_and_function():
    documented = {name for name, _, _ in stub_docstrings()}
    assert set(NAMES) | {"cubic_bezier", "steps", "linear_stops", "from_css", "Curve.at"} <= documented
    text = pydoc.render_doc(easing.ease_in, renderer=pydoc.plaintext)
    assert "ease_in(start, target, progress)" in text and "cubic_bezier(0.42, 0.0, 1.0, 1.0)" in text


# ---- the picture ----------------------------------------------------------------------


def png_text(path):
    """The tEXt chunks of a PNG file, as a dict."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    out, pos = {}, 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"tEXt":
            key, _, value = body.partition(b"\0")
            out[key.decode("latin-1")] = value.decode("latin-1")
        elif kind == b"zTXt":
            key, _, rest = body.partition(b"\0")
            out[key.decode("latin-1")] = zlib.decompress(rest[1:]).decode("latin-1")
        pos += 12 + length
    return out


def test_the_gallery_draws_the_modules_curves():
    picture = ROOT / "docs" / "easing.png"
    if not picture.exists():
        pytest.skip("needs the source checkout")
    assert png_text(picture)["Curves"].split() == NAMES
    assert "docs/easing.png" in (ROOT / "README.md").read_text(encoding="utf-8")
