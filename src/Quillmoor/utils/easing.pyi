"""The standard easing curves, ready to hand to a glide cell as its interpolation function.

Every curve is a `Curve`: `curve(start, target, progress)` returns
`start + (target - start) * curve.at(progress)`, and `curve.at(progress)`
the bare value. The named curves are module attributes, listed in order by
`curves`; `cubic_bezier(x1, y1, x2, y2)` makes the CSS timing function of
those control points. The named curves compute what d3-ease 3.x computes
with its defaults (quart and quint are its polynomial curves with exponents
4 and 5; back overshoots with 1.70158, elastic has amplitude 1 and period
0.3, the exponential and elastic curves are rescaled to run exactly from 0
to 1), to within 1e-12; every curve gives exactly 0.0 at 0 and 1.0 at 1.
A named curve gives the same bits on every platform: it uses its own sine,
cosine and exponential, not the platform's maths library, and keeps its
precision at tiny progress, where the published formulas cancel.
"""

from typing import Any, Final, Self, TypeVar, final, overload

_T = TypeVar("_T")

__test__: dict[str, Any]

@final
class Curve:
    """An easing curve: progress 0..1 to a value that runs from 0 to 1, perhaps overshooting on the way.

    Instances are immutable and are not made directly: the module's named
    curves exist once (compared and hashed by identity, pickled and copied as
    references to the module attribute), and `cubic_bezier()` makes Bézier
    curves (compared and hashed by their parameters, pickled as the call that
    makes them again). A curve stored as a class attribute does not bind as a
    method.
    """

    @property
    def __name__(self) -> str:
        """The curve's name in the module ("quad_in"); "cubic_bezier" for a Bézier."""

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
    def __call__(self, start: _T | None, target: _T, progress: float) -> _T:
        """Interpolate any values that support `-`, `*` by a float and `+`."""

    def __get__(self, instance: object, owner: type | None = None, /) -> Self:
        """The curve itself: stored as a class attribute, a curve does not bind as a method."""

    def at(self, progress: float) -> float:
        """The curve's value at `progress` (clamped to [0, 1]; NaN gives NaN), as a float."""

    def __reduce__(self) -> str | tuple[Any, ...]:
        """Pickle support: a named curve's name, or the `cubic_bezier` call with the curve's parameters."""

def cubic_bezier(x1: float, y1: float, x2: float, y2: float) -> Curve:
    """The CSS `cubic-bezier(x1, y1, x2, y2)` timing function as a curve.

    The curve runs from (0, 0) through the control points (x1, y1) and
    (x2, y2) to (1, 1); its value at a progress p is the y of the curve point
    whose x is p, solved to full double precision. As in CSS, x1 and x2 must
    lie in [0, 1] (so that every progress has one point) and y1 and y2 may
    be any finite numbers, which lets the curve overshoot; anything else
    raises ValueError. `cubic_bezier(0.25, 0.1, 0.25, 1.0)` is CSS's `ease`,
    `(0.42, 0, 1, 1)` `ease-in`, `(0, 0, 0.58, 1)` `ease-out` and
    `(0.42, 0, 0.58, 1)` `ease-in-out`. Equal parameters give equal curves.
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
back_in: Final[Curve]
"""t²((s + 1)t - s), s = 1.70158: dips about 10 % below 0 before rising."""
back_out: Final[Curve]
"""back_in turned around: overshoots 1 by about 10 % and settles back."""
back_in_out: Final[Curve]
"""back_in on the first half, back_out on the second (the same s, not scaled)."""
elastic_in: Final[Curve]
"""A sine of period 0.3 under a growing exponential envelope (amplitude 1), ending at 1."""
elastic_out: Final[Curve]
"""elastic_in turned around: springs past 1 and rings down to it."""
elastic_in_out: Final[Curve]
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
