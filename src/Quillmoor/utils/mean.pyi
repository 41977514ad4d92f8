"""A running mean kept as a single-precision sum and a 32-bit count."""

import typing as t
from collections.abc import Iterable
from typing import Any, Self, TypeVar

from typing_extensions import disjoint_base

_M = TypeVar("_M", bound=Mean)

__test__: dict[str, Any]

@disjoint_base
class Mean:
    """A running mean of float samples.

    Feed it with `add(x)`, `m += x` or `extend(iterable)`; read `value`,
    `count`, `total` or `len(m)`; start over with `clear()`. The mutating
    methods return the object, so calls chain. An empty mean is false.

    Precision: each sample is rounded to a 32-bit float and added to a 32-bit
    float sum, so the total keeps about 7 significant digits: after about
    2**24 samples of similar size, further samples barely move it (adding 1 to
    16777216.0 leaves it unchanged). The count is a 32-bit signed integer that
    wraps past 2**31 - 1. `clear()` the mean per measuring window.

    Subclasses may override `add`, `extend`, `clear` and `get_value`.
    `extend` and `+=` call `add` for every sample, passing the sample already
    rounded to single precision and ignoring the result; the `value` property
    returns whatever `get_value` returns. `extend` and `clear` are not called
    internally.

    Instances take no weak references and, unless subclassed, no new
    attributes. Pickles and copies carry the sum and the count.
    """

    def __init__(self) -> None:
        """An empty mean; calling it again on a live object empties it."""

    def add(self, value: float) -> Self:
        """Add one sample, rounded to a 32-bit float; return the object.

        `value` is anything `float()` accepts as a number (an int, or an
        object with `__float__` or `__index__`); a string is refused with
        TypeError. Overridable: `extend` and `+=` call an override for each
        sample.
        """

    def extend(self, values: Iterable[float]) -> Self:
        """Add every sample of `values` through `add`; return the object.

        Samples added before an error stay added.
        """

    def clear(self) -> Self:
        """Drop every sample: the count and the sum go back to 0; return the object."""

    def get_value(self) -> float | int:
        """The mean, total / count, computed in single precision; the int 0 while there are no samples.

        Overridable: the `value` property returns what an override returns.
        """

    @property
    def count(self) -> int:
        """How many samples have been added (a 32-bit signed integer)."""

    @property
    def total(self) -> float:
        """The sum of the samples, as a 32-bit float."""

    @property
    def value(self) -> float | int:
        """What `get_value` returns (honouring overrides): the mean, or the int 0 while empty."""

    def __len__(self) -> int:
        """The number of samples, as `count`."""

    def __iadd__(self, value: float, /) -> Self:
        """`m += x` adds one sample through `add` and keeps `m` bound to the same object."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support: the reconstruction function, the class, a layout checksum and the state."""

    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The same as `__reduce__`."""

    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the count and the sum from a state tuple."""

    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """The same as `__setstate__`."""

def __pyx_unpickle_Mean(__pyx_type: type[_M], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> _M:
    """Pickle support: make a `__pyx_type` instance and restore `__pyx_state` into it.

    Raises pickle.PickleError when the checksum does not match the class's
    state layout.
    """
