"""The easing curves give the same bits on every target, and are accurate.

The table (made by tools/easing_bits.py, run by `./dev golden`) holds every
named curve's result on a grid of progress values as the x86-64 build
computed it, which every target's build must reproduce bit for bit, and
50-digit references of the curves, of the families' curves at a few
parameters and of the module's own sine, cosine, 2^x - 1, log2 and 2^x,
against which the errors are measured here in exact rationals."""

import json
import math
import re
import sys
from fractions import Fraction
from pathlib import Path

import pytest

from Quillmoor.utils import easing

TABLE = json.loads(Path(__file__).with_name("easing_bits.json").read_text(encoding="utf-8"))
NAMES = [c.__name__ for c in easing.curves]


def doubles(text):
    return [float.fromhex(x) for x in text.split()]


GRID = doubles(TABLE["grid"])

# The largest error of a curve: in units in the last place of the exact value
# (relative), and in units of 2^-53 (absolute).  The curves built on the
# module's sine, cosine and 2^x - 1 carry pairs and round about once.
ULPS = {name: 1 if name.startswith(("sine", "expo", "elastic")) else 3 for name in NAMES}
ABSOLUTE = 4
# These cross or touch 0 inside the interval, where their value is tiny beside
# the rounding of the terms that make it: away from t = 0 only the absolute
# bound holds for them.
CROSSING = {"back_in", "back_in_out", "bounce_in", "bounce_in_out"}


def ulp_error(value, exact):
    """|value - exact| in units in the last place of exact."""
    if exact == 0:
        return 0.0 if value == 0 else math.inf
    return float(abs(Fraction(value) - exact) / Fraction(math.ulp(float(exact))))


def faithful(value, text):
    """value is the exact value written in `text`, or one of the two doubles
    around it (from 2^1024 on, written "inf": the largest double or infinity)."""
    if text in ("inf", "-inf"):
        return value in (math.copysign(sys.float_info.max, float(text)), float(text))
    exact = Fraction(text)
    f = float(exact)
    if Fraction(f) == exact:
        return value == f
    other = math.nextafter(f, math.inf if Fraction(f) < exact else -math.inf)
    return value in (f, other)


def same_bits(got, expected):
    """(input, got, expected) wherever the results differ in any bit, the sign of a zero included."""
    return [(x, g, e) for x, g, e in zip(GRID, got, expected) if g.hex() != e.hex()]


def test_the_grid_holds_the_ends_tiny_progress_and_a_thousand_points():
    assert len(GRID) >= 1000 and GRID == sorted(GRID)
    assert {0.0, 0.5, 1.0, 5e-324, 1e-300, 1e-16, math.nextafter(1, 0)} <= set(GRID)
    assert sorted(TABLE["curves"]) == sorted(NAMES)


@pytest.mark.parametrize("curve", easing.curves, ids=NAMES)
def test_every_curve_gives_the_tables_bits(curve):
    expected = doubles(TABLE["curves"][curve.__name__]["bits"])
    assert same_bits([curve.at(t) for t in GRID], expected)[:5] == []


@pytest.mark.parametrize("expression", sorted(TABLE["made"]))
def test_every_made_curve_gives_the_tables_bits(expression):
    curve = eval(expression, vars(easing))
    assert same_bits([curve.at(t) for t in GRID], doubles(TABLE["made"][expression]))[:5] == []


def too_far(curve, points, exact, ulps, absolute_bound, relative_below=math.inf):
    """(t, value, exact, ulps, units of 2^-53) wherever the curve is farther
    from the exact value than its bounds (the relative one below
    `relative_below` only)."""
    out = []
    for t, e in zip(points, map(Fraction, exact.split())):
        v = curve.at(t)
        absolute = float(abs(Fraction(v) - e) * 2**53)
        relative = ulp_error(v, e) if t < relative_below else 0.0
        if absolute > absolute_bound or relative > ulps:
            out.append((t, v, float(e), relative, absolute))
    return out


@pytest.mark.parametrize("curve", easing.curves, ids=NAMES)
def test_every_curve_is_within_its_bounds_of_the_exact_value(curve):
    name = curve.__name__
    start = 1 / 32 if name in CROSSING else math.inf
    assert too_far(curve, GRID, TABLE["curves"][name]["exact"], ULPS[name], ABSOLUTE, start)[:5] == []


def family_bounds(expression):
    """(ulps, absolute, relative_below) of a family's curve: a polynomial
    within an ulp; back as the named back curves; elastic as the named ones,
    the absolute bound times the amplitude.  From an amplitude above 1 on the
    phase is no longer a whole quarter turn and the exact zeros of the wave,
    one every half period, are between doubles, so that only the start of the
    curve is held to the relative bound; from 2^500 on its terms are scaled,
    and tiny progress loses its precision among the subnormals."""
    name = expression.split(".")[0]
    if name.startswith("poly"):
        return 1, ABSOLUTE
    if name.startswith("back"):
        return ULPS[name], ABSOLUTE, 1 / 32 if name in CROSSING else math.inf
    found = re.search(r"amplitude\((.*?)\)", expression)
    amplitude = float(found.group(1)) if found else 1.0
    return ULPS[name], ABSOLUTE * amplitude, math.inf if amplitude == 1 else 2**-10 if amplitude < 2**500 else 0


@pytest.mark.parametrize("expression", sorted(TABLE["made_exact"]))
def test_every_family_curve_is_within_its_bounds_of_the_exact_value(expression):
    entry = TABLE["made_exact"][expression]
    curve = eval(expression, vars(easing))
    assert too_far(curve, doubles(entry["x"]), entry["exact"], *family_bounds(expression))[:5] == []


@pytest.mark.parametrize("name", sorted(TABLE["primitives"]))
def test_each_primitive_is_faithful_and_gives_the_tables_bits(name):
    entry = TABLE["primitives"][name]
    xs, expected = doubles(entry["x"]), doubles(entry["bits"])
    assert len(xs) >= 3000
    wrong = []
    for x, bits, exact in zip(xs, expected, entry["exact"].split()):
        got = easing._primitive(name, x)
        if got.hex() != bits.hex() or not faithful(got, exact):
            wrong.append((x, got, bits, exact))
    assert wrong[:5] == []


@pytest.mark.parametrize(("name", "x", "expected"), [
    ("sin_quarter", math.inf, math.nan), ("sin_quarter", -math.inf, math.nan), ("sin_quarter", math.nan, math.nan),
    ("cos_quarter", math.inf, math.nan), ("cos_quarter", math.nan, math.nan),
    ("exp2m1", math.inf, math.inf), ("exp2m1", -math.inf, -1.0),
    ("exp2m1", math.nan, math.nan),
    ("log2", math.inf, math.inf), ("log2", 0.0, -math.inf), ("log2", -1.0, math.nan), ("log2", math.nan, math.nan),
    ("exp2", math.inf, math.inf), ("exp2", -math.inf, 0.0), ("exp2", math.nan, math.nan),
])
def test_primitives_beyond_the_finite_numbers(name, x, expected):
    got = easing._primitive(name, x)
    assert got == expected or (math.isnan(got) and math.isnan(expected))


def test_an_unknown_primitive_is_refused():
    with pytest.raises(ValueError, match="no primitive 'tan_quarter'"):
        easing._primitive("tan_quarter", 0.5)
    with pytest.raises(ValueError, match="no primitive 1"):
        easing._primitive(1, 0.5)
