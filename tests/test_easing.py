"""The easing curves: their values against the references in the golden table
(made by tools/easing_golden.py from d3-ease, bezier-easing and pytweening),
the interpolation call a glide cell makes, and the curve objects themselves."""

import copy
import functools
import inspect
import json
import math
import pickle
import random
import struct
import sys
import zlib
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest

from Quillmoor.utils import easing, glidecell
from Quillmoor.utils.easing import Curve, cubic_bezier

ROOT = Path(__file__).resolve().parent.parent
GOLDEN = json.loads((Path(__file__).with_name("easing_golden.json")).read_text(encoding="utf-8"))
GRID = GOLDEN["grid"]
FAMILIES = ["quad", "cubic", "quart", "quint", "sine", "expo", "circ", "back", "elastic", "bounce"]
NAMES = (["linear"] + [f"{f}_{s}" for f in FAMILIES for s in ("in", "out", "in_out")]
         + ["smoothstep", "smootherstep"])

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


@pytest.mark.parametrize("name", sorted(GOLDEN["exact"]))
def test_smoothsteps_match_exact_arithmetic(name):
    curve = getattr(easing, name)
    for t, v in zip(GRID, GOLDEN["exact"][name]):
        assert curve.at(t) == pytest.approx(v, abs=2.3e-16), t
        assert 0.0 <= curve.at(t) <= 1.0


@pytest.mark.parametrize("curve", easing.curves, ids=NAMES)
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
                                   cubic_bezier(0.25, 0.1, 0.25, 1.0)], ids=repr)
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
    assert easing.linear(Fraction(1), Fraction(3), 0.25) == 1.5
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
    assert curve.__doc__ is None


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
    with pytest.raises(TypeError):
        type("Sub", (Curve,), {})
    with pytest.raises(TypeError):
        Curve.at = None


def test_a_curve_stored_in_a_class_does_not_bind():
    class Animation:
        ease = easing.quad_out

    assert Animation().ease is easing.quad_out and Animation.ease is easing.quad_out


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
