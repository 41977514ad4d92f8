"""A value that glides to each new value over a delay.

A cell computes the value it shows from the clock at every read, by calling
your interpolation function with (start value, target, progress 0..1); it
keeps no timer or thread of its own. A glide ends at the first read at or
after its end time. The cell reads `time.perf_counter()` through the module
attribute `time` and resolves delays through the module attribute `gcv` at
every use, so rebinding `Quillmoor.utils.glidecell.time` substitutes the clock
of every cell. Times are in seconds, kept as Python floats (double precision).
"""

import typing as t
from collections.abc import Callable
from typing import Any, Generic, Protocol, Self, TypeVar, overload

from typing_extensions import disjoint_base

from Quillmoor.utils.calculated_value import CalculatedValue as CalculatedValue, gcv as gcv

# What a delay may be: a number of seconds, or anything gcv resolves to one.
_Seconds = float | CalculatedValue

class _Clock(Protocol):
    """Anything with a `perf_counter()` that returns seconds, such as the module `time`."""

    def perf_counter(self) -> float:
        """The current clock reading in seconds."""

# The module `time`: the cell reads time.perf_counter() through this name at
# every use, so any object with a perf_counter() may replace it.
time: _Clock

T = TypeVar("T", default=Any)
_V = TypeVar("_V")
_C = TypeVar("_C", bound=_GlideCell)

__test__: dict[str, Any]

@disjoint_base
class _GlideCell:
    """The cell itself, untyped; use the generic `GlideCell[T]`.

    A cell is idle, showing its value, or gliding from a start value to a
    target. `set_value(v)` starts a glide from what the cell shows now to `v`
    over the delay resolved at that moment; a flash set jumps at once.

    Subclasses (and `GlideCell` subclasses) may override `get_value`,
    `_get_value`, `_set_value`, `_get_progress` and `_get_delay`; the cell's
    own calls use the overrides: `get_value` calls `_get_value(now)`, which
    calls `_get_progress(now)` for the progress it hands to the interpolation
    function and takes its result as a float; `set_value` calls
    `_set_value(value, flash)`, which calls `_get_delay()` (taken as a float)
    and `_get_value(now)`; the `progress` property calls `_get_progress` and
    the `delay` property, while idle, `_get_delay`. The results of
    `_get_value`, `get_value` and `_set_value` overrides are used unchanged.

    Instances take weak references; instances of `_GlideCell` itself take no
    new attributes. Pickles and copies carry the interpolation function, the
    delay object, the value, the glide record and the flash default; the
    record's end time is a reading of the clock of the process that pickled
    the cell.
    """

    def __init__(
        self, interpolation_func: Callable[[Any, Any, float], Any], delay: _Seconds, default: Any = None, flash: bool = False
    ) -> None:
        """Make an idle cell showing `default`.

        `interpolation_func(start, target, progress)` computes the shown value
        during a glide. `delay` is a number of seconds or a `CalculatedValue`,
        resolved afresh at every non-flash set; zero, negative and NaN delays
        are not errors (zero and negative end at the next read, NaN never
        ends). `flash` (taken by its truth value) makes every set a flash set
        unless the set says otherwise. Calling `__init__` again re-initialises
        the cell and drops a running glide.
        """

    def _get_value(self, now: float) -> Any:
        """The value shown at clock reading `now` (seconds).

        While gliding: before the end time, the interpolation function's
        result for (start, target, `_get_progress(now)`), nothing stored; at
        or after it, the target, which the cell keeps, ending the glide.
        While idle: the stored value. Overridable; `get_value` and
        `_set_value` call the override.
        """

    def get_value(self) -> Any:
        """The value shown now: `_get_value` at the current clock reading.

        Overridable; the cell's own code does not call it.
        """

    def _set_value(self, value: Any, flash: bool | None) -> None:
        """Set a new value: jump to it when `flash` is True, else glide to it.

        A glide starts from the value shown now (through `_get_value`) and
        runs for the full delay resolved now (through `_get_delay`), whatever
        was left of a running glide. `flash` must be exactly a `bool` or
        None (TypeError otherwise). Overridable; `set_value` calls the
        override.
        """

    @overload
    def set_value(self, value: Any) -> Self:
        """Glide (or, on a cell made with `flash=True`, jump) to `value`; return the cell, so calls chain."""

    @overload
    def set_value(self, value: Any, *, flash: bool | None, **kw: object) -> Self:
        """Set `value`, jumping at once when `flash` is True and gliding when it is False or None; return the cell.

        `flash` must be exactly a `bool` or None (TypeError otherwise).
        Omitting it uses the cell's `is_flash`. Other keyword arguments are
        accepted and ignored.
        """

    def _get_progress(self, now: float) -> float:
        """How far the glide is at clock reading `now`: 0.0 at its start, 1.0 at its end and after.

        1.0 while idle or when the glide's delay is zero or negative; 0.0
        before the start (or with a NaN delay). Overridable: reshaping the
        progress here (an easing curve, say) reshapes every glide.
        """

    def _get_delay(self) -> float:
        """The glide delay in seconds: the cell's delay object resolved by `gcv` now.

        Overridable; every non-flash set and the `delay` property of an idle
        cell call the override and take its result as a float.
        """

    @property
    def progress(self) -> float:
        """`_get_progress` at the current clock reading (honouring overrides)."""

    @property
    def delay(self) -> float:
        """While gliding, the delay the glide started with; while idle, the delay resolved now."""

    @property
    def is_interpolated(self) -> bool:
        """True while a glide is held, until the first value read at or after its end time."""

    @property
    def next_value(self) -> Any:
        """The target of the running glide, or None while idle."""

    @property
    def is_flash(self) -> bool:
        """Whether a `set_value` without a `flash` argument jumps at once instead of gliding.

        Assigning stores True or False by the truth of the assigned object;
        deleting raises NotImplementedError. None on a cell that was never
        initialised.
        """

    @is_flash.setter
    def is_flash(self, value: object) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support: the reconstruction function, the class, a layout checksum and the state."""

    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The same as `__reduce__`."""

    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the cell's fields (and a subclass instance's attributes) from a state tuple."""

    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """The same as `__setstate__`."""

class GlideCell(_GlideCell, Generic[T]):
    """A value of type `T` that glides to each new value over a delay.

    `GlideCell(lerp, 0.25, 0.0)` is a `GlideCell[float]`. Every method and
    property is `_GlideCell`'s; see there for what a subclass may override.
    Instances take new attributes, which pickles carry.
    """

    @overload
    def __init__(
        self, interpolation_func: Callable[[T, T, float], T], delay: _Seconds, default: T, flash: bool = False
    ) -> None:
        """Make an idle cell showing `default`; `interpolation_func(start, target, progress)` computes glides.

        `delay` is a number of seconds or a `CalculatedValue`, resolved afresh
        at every non-flash set. `flash=True` makes every set jump at once
        unless the set says otherwise.
        """

    @overload
    def __init__(
        self: GlideCell[_V | None],
        interpolation_func: Callable[[_V | None, _V | None, float], _V | None],
        delay: _Seconds,
        default: None = None,
        flash: bool = False,
    ) -> None:
        """Make a cell that holds None until its first value, so the first glide starts from None.

        The interpolation function must therefore accept None as its start
        value.
        """

    def _get_value(self, now: float) -> T:
        """The value shown at clock reading `now` (seconds); a read at or after the end time ends the glide."""

    def get_value(self) -> T:
        """The value shown now."""

    def _set_value(self, value: T, flash: bool | None) -> None:
        """Jump to `value` when `flash` is True, else glide to it from the value shown now."""

    @overload
    def set_value(self, value: T) -> Self:
        """Glide (or, on a cell made with `flash=True`, jump) to `value`; return the cell, so calls chain."""

    @overload
    def set_value(self, value: T, *, flash: bool | None, **kw: object) -> Self:
        """Set `value`, jumping at once when `flash` is True and gliding when it is False or None; return the cell.

        `flash` must be exactly a `bool` or None (TypeError otherwise).
        Omitting it uses the cell's `is_flash`. Other keyword arguments are
        accepted and ignored.
        """

    @property
    def next_value(self) -> T | None:
        """The target of the running glide, or None while idle."""

def __pyx_unpickle__GlideCell(__pyx_type: type[_C], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> _C:
    """Pickle support: make a `__pyx_type` instance and restore `__pyx_state` into it.

    Raises pickle.PickleError when the checksum does not match the class's
    state layout.
    """
