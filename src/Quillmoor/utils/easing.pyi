"""The standard easing curves, ready to hand to a glide cell as its interpolation function.

Every curve is a `Curve`: `curve(start, target, progress)` returns
`start + (target - start) * curve.at(progress)`, and `curve.at(progress)`
the bare value. The named curves are module attributes, listed in order by
`curves`. The named formulas compute what d3-ease 3.x computes with its
defaults (quart and quint are its polynomial curves with exponents 4 and
5; back overshoots with 1.70158, elastic has amplitude 1 and period 0.3,
the exponential and elastic curves are rescaled to run exactly from 0 to
1), to within 1e-12; each gives exactly 0.0 at 0 and 1.0 at 1. The CSS
timing functions are here too: the keywords as named curves (`ease`,
`ease_in`, `ease_out`, `ease_in_out`, `step_start`, `step_end`), and
`cubic_bezier()`, `steps()` and `linear_stops()` for CSS's functions;
`from_css()` reads any of them from CSS text. The polynomial, back and
elastic curves take other parameters as d3-ease's do, through their
methods: `poly_in.exponent(2.5)`, `back_out.overshoot(3)`,
`elastic_in.amplitude(1.5).period(0.2)`. Every curve gives the same bits
on every platform: the curves use their own sine, cosine, exponential and
logarithm, not the platform's maths library, and keep their precision at
tiny progress, where the published formulas cancel.
"""

from typing import Any, Final, Literal, Self, TypeVar, final, overload

_T = TypeVar("_T")

__test__: dict[str, Any]

@final
class Curve:
    """An easing curve: progress 0..1 to a value that runs from 0 to 1, perhaps overshooting on the way.

    Instances are immutable and are not made directly: the module's named
    curves exist once (compared and hashed by identity, pickled and copied as
    references to the module attribute), and the factories (`cubic_bezier()`,
    `steps()`, `linear_stops()`, `from_css()`) and the methods of the
    families' curves (`PolyCurve`, `BackCurve`, `ElasticCurve`) make curves
    that are compared and hashed by their parameters and pickled as the call
    that makes them again. A curve stored as a class attribute does not bind
    as a method.
    """

    @property
    def __name__(self) -> str:
        """The curve's name in the module ("quad_in"); a made curve's factory ("cubic_bezier"), or its named curve's ("elastic_in")."""

    @property
    def __qualname__(self) -> str:
        """The same as `__name__`."""

    @property
    def __module__(self) -> str:  # type: ignore[override]
        """"Quillmoor.utils.easing"."""

    @overload
    def __call__(self, start: float | None, target: float, progress: float) -> float:
        """Interpolate: `start + (target - start) * self.at(progress)`.

        The interpolation function a `GlideCell` calls with (start value,
        target, progress). Progress is clamped to [0, 1]; NaN progress gives
        NaN. Floats and ints are mixed in C (an int gives what Python's
        arithmetic gives it: a float); any other objects go through their own
        `-`, `*` (by a float) and `+`, in that order, and their errors
        propagate unchanged. A start of None gives the target unchanged, as
        a cell made without a default needs for its first glide (the
        progress is still checked).
        """

    @overload
    def __call__(self, start: None, target: _T, progress: float) -> _T:
        """A start of None: the target, unchanged."""

    @overload
    def __call__(self, start: Any, target: Any, progress: float) -> Any:
        """Other values: whatever `start + (target - start) * weight` gives for a float weight.

        The operands' own arithmetic decides the type: a Fraction start and
        target give a float (Fraction times float is a float), a complex
        number a complex one, a vector type its vectors; Decimal raises
        TypeError (Decimal does not multiply by a float).
        """

    def __get__(self, instance: object, owner: type | None = None, /) -> Self:
        """The curve itself: stored as a class attribute, a curve does not bind as a method."""

    def at(self, progress: float) -> float:
        """The curve's value at `progress` (clamped to [0, 1]; NaN gives NaN), as a float."""

    def __reduce__(self) -> str | tuple[Any, ...]:
        """Pickle support: a named curve's name, or the call that makes the curve again."""

# The families' types are the module's own subtypes of Curve, which Python
# code cannot subclass (hence Curve's @final).
@final
class PolyCurve(Curve):  # type: ignore[misc]
    """A polynomial curve: poly_in, poly_out, poly_in_out and the curves their exponent() makes.

    d3-ease's polynomial curves: t^e, 1 - (1 - t)^e and the two halved, for
    any exponent e above 0 (3 for the named curves). A made curve is equal
    to another of its kind and exponent; its repr is the expression that
    makes it.
    """

    def exponent(self, e: float) -> PolyCurve:
        """The curve of this kind with exponent e instead: t^e (poly_in), 1 - (1 - t)^e
        (poly_out) or their halves (poly_in_out).

        e is a finite float above 0; e = 1 to 5 give the linear, quad, cubic,
        quart and quint curves' very values.
        """

@final
class BackCurve(Curve):  # type: ignore[misc]
    """A back curve: back_in, back_out, back_in_out and the curves their overshoot() makes.

    d3-ease's back curves, t²((s + 1)t - s) and its turned and halved forms,
    for any finite overshoot s (1.70158 for the named curves). A made curve
    is equal to another of its kind and overshoot; its repr is the
    expression that makes it.
    """

    def overshoot(self, s: float) -> BackCurve:
        """The curve of this kind with overshoot s instead: t²((s + 1)t - s) (back_in),
        turned around (back_out) or halved (back_in_out, s not scaled).

        s is any finite float: the named curves' 1.70158 dips about 10 %, 0 gives
        the cubic curves, a negative s no dip at all.
        """

@final
class ElasticCurve(Curve):  # type: ignore[misc]
    """An elastic curve: elastic_in, elastic_out, elastic_in_out and the curves their amplitude() and period() make.

    d3-ease's elastic curves: a sine of period p under the exponential
    envelope, amplitude a at least 1 (1 and 0.3 for the named curves, whose
    period is exactly 3/10), rescaled to run exactly from 0 to 1. A made
    curve is equal to another of its kind, amplitude and period; its repr is
    the expression that makes it, `elastic_in.amplitude(1.5).period(0.2)`.
    """

    def amplitude(self, a: float) -> ElasticCurve:
        """The curve of this kind with amplitude a instead, its period kept.

        a is a finite float; below 1 it is taken as 1 (as d3-ease does), so that
        the curve still starts at 0 and ends at 1. A larger amplitude swings
        further, and the phase moves so that the wave still meets the envelope's
        start.
        """

    def period(self, p: float) -> ElasticCurve:
        """The curve of this kind with period p instead (in units of progress), its
        amplitude kept.

        p is a finite float above 0; the named curves' is 0.3.
        """

def cubic_bezier(x1: float, y1: float, x2: float, y2: float) -> Curve:
    """The CSS `cubic-bezier(x1, y1, x2, y2)` timing function as a curve.

    The curve runs from (0, 0) through the control points (x1, y1) and
    (x2, y2) to (1, 1); its value at a progress p is the y of the curve point
    whose x is p, solved to full double precision. As in CSS, x1 and x2 must
    lie in [0, 1] (so that every progress has one point) and y1 and y2 may
    be any finite numbers, which lets the curve overshoot; anything else
    raises ValueError. The CSS keywords are the named curves `ease`,
    `ease_in`, `ease_out` and `ease_in_out`. Equal parameters give equal
    curves.
    """

def steps(n: int, position: Literal["jump-start", "jump-end", "jump-none", "jump-both", "start", "end"] = "jump-end") -> Curve:
    """The CSS `steps(n, position)` timing function as a curve: n equal steps.

    The position says where the jumps are, as in CSS: 'jump-end' (the
    default; also 'end') jumps at the end of each step, so the curve holds 0
    until the first step ends; 'jump-start' (also 'start') at the start of
    each, so it is 1/n from progress 0 on; 'jump-none' at neither end (n - 1
    jumps, from 0 to 1; n must be at least 2); 'jump-both' at both (n + 1
    jumps). n is an int of at least 1. At a step's edge the curve already
    has the value after the jump. Progress is clamped to [0, 1], where the
    curve has the value CSS gives it (1/n at 0 for 'jump-start'). Equal
    parameters give equal curves ('start' is 'jump-start').
    """

def linear_stops(*stops: float | tuple[float, float] | tuple[float, float, float]) -> Curve:
    """The CSS `linear()` timing function as a curve: straight lines through stops.

    Each stop is an output, or an (output, input) or (output, input, input)
    tuple, inputs as fractions of 1 (CSS's 75% is 0.75; two inputs hold the
    output from the first to the second). As in CSS: at least two stops; an
    input below one before it counts as that one; a first stop without an
    input is at 0 and a last one at 1; stops without inputs between others
    are spread evenly. Where two points share an input the curve jumps to
    the later output. Progress is clamped to [0, 1], where the curve has the
    value of its lines (not necessarily 0 and 1). Outputs and inputs must be
    finite. Curves with equal points are equal; the repr lists the points
    as (output, input).
    """

def from_css(text: str) -> Curve:
    """The curve of a CSS `<easing-function>`, as a stylesheet or a design tool writes it.

    Takes the keywords (`linear`, `ease`, `ease-in`, `ease-out`,
    `ease-in-out`, `step-start`, `step-end`, giving the named curves) and
    the functions `cubic-bezier()`, `steps()` and `linear()` (giving what
    `cubic_bezier()`, `steps()` and `linear_stops()` give), with CSS's
    spelling: any ASCII case, whitespace and comments between tokens,
    numbers like `.5` and `1e-1`, percentages for linear()'s inputs.
    Anything else raises ValueError naming the column where reading
    stopped and what was expected there.
    """

curves: Final[tuple[Curve, ...]]
"""Every named curve, in the order of this module and of the README's picture."""

linear: Final[Curve]
"""t: the progress itself."""
quad_in: Final[Curve]
"""t²."""
quad_out: Final[Curve]
"""t(2 - t): quad_in turned around."""
quad_in_out: Final[Curve]
"""quad_in on the first half, quad_out on the second."""
cubic_in: Final[Curve]
"""t³."""
cubic_out: Final[Curve]
"""(t - 1)³ + 1."""
cubic_in_out: Final[Curve]
"""cubic_in on the first half, cubic_out on the second."""
quart_in: Final[Curve]
"""t⁴."""
quart_out: Final[Curve]
"""1 - (1 - t)⁴."""
quart_in_out: Final[Curve]
"""quart_in on the first half, quart_out on the second."""
quint_in: Final[Curve]
"""t⁵."""
quint_out: Final[Curve]
"""1 - (1 - t)⁵."""
quint_in_out: Final[Curve]
"""quint_in on the first half, quint_out on the second."""
poly_in: Final[PolyCurve]
"""t^e with e = 3: cubic_in's values; poly_in.exponent(e) for another e."""
poly_out: Final[PolyCurve]
"""1 - (1 - t)^e with e = 3: cubic_out's values; poly_out.exponent(e) for another e."""
poly_in_out: Final[PolyCurve]
"""poly_in on the first half, poly_out on the second: cubic_in_out's values for e = 3."""
sine_in: Final[Curve]
"""1 - cos(t·π/2)."""
sine_out: Final[Curve]
"""sin(t·π/2)."""
sine_in_out: Final[Curve]
"""(1 - cos(t·π)) / 2."""
expo_in: Final[Curve]
"""2^(10(t - 1)), rescaled to run exactly from 0 to 1."""
expo_out: Final[Curve]
"""1 - 2^(-10t), rescaled to run exactly from 0 to 1."""
expo_in_out: Final[Curve]
"""expo_in on the first half, expo_out on the second."""
circ_in: Final[Curve]
"""1 - √(1 - t²): a quarter circle."""
circ_out: Final[Curve]
"""√(1 - (t - 1)²)."""
circ_in_out: Final[Curve]
"""circ_in on the first half, circ_out on the second."""
back_in: Final[BackCurve]
"""t²((s + 1)t - s), s = 1.70158: dips about 10 % below 0 before rising."""
back_out: Final[BackCurve]
"""back_in turned around: overshoots 1 by about 10 % and settles back."""
back_in_out: Final[BackCurve]
"""back_in on the first half, back_out on the second (the same s, not scaled)."""
elastic_in: Final[ElasticCurve]
"""A sine of period 0.3 under a growing exponential envelope (amplitude 1), ending at 1."""
elastic_out: Final[ElasticCurve]
"""elastic_in turned around: springs past 1 and rings down to it."""
elastic_in_out: Final[ElasticCurve]
"""elastic_in on the first half, elastic_out on the second."""
bounce_in: Final[Curve]
"""bounce_out turned around: small hops growing to the last one."""
bounce_out: Final[Curve]
"""Four parabolic arcs that bounce on 1, each lower than the one before."""
bounce_in_out: Final[Curve]
"""bounce_in on the first half, bounce_out on the second."""
smoothstep: Final[Curve]
"""3t² - 2t³: flat at both ends."""
smootherstep: Final[Curve]
"""6t⁵ - 15t⁴ + 10t³: flat at both ends, to the second derivative."""
ease: Final[Curve]
"""CSS `ease`: cubic_bezier(0.25, 0.1, 0.25, 1.0), CSS's default timing function."""
ease_in: Final[Curve]
"""CSS `ease-in`: cubic_bezier(0.42, 0.0, 1.0, 1.0)."""
ease_out: Final[Curve]
"""CSS `ease-out`: cubic_bezier(0.0, 0.0, 0.58, 1.0)."""
ease_in_out: Final[Curve]
"""CSS `ease-in-out`: cubic_bezier(0.42, 0.0, 0.58, 1.0)."""
step_start: Final[Curve]
"""CSS `step-start`: steps(1, 'jump-start'), 1 from the start on."""
step_end: Final[Curve]
"""CSS `step-end`: steps(1, 'jump-end'), 0 until the end."""
