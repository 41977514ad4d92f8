"""A nesting counter used as a context manager."""

import typing as t
from typing import Any, TypeVar

from typing_extensions import disjoint_base

_F = TypeVar("_F", bound=Flag)

__test__: dict[str, Any]

@disjoint_base
class Flag:
    """True while any `with flag:` block that entered it is still open.

    Each `with` block raises a counter on entry and lowers it on exit, also
    when the block ends by an exception, so nested and overlapping blocks,
    recursion included, need no bookkeeping. The counter is a 32-bit signed
    integer with no floor: an unmatched `__exit__` leaves a debt that the next
    entry pays off first.

    Subclasses may replace the `value` property; truth testing reads it and
    converts the result like `int()`. Instances take no weak references and,
    unless subclassed, no new attributes. Pickles and copies carry the
    counter.
    """

    def __init__(self) -> None:
        """A flag with no open block; calling it again on a live flag resets the counter to 0."""

    def __enter__(self, *args: Any, **kwargs: Any) -> None:
        """Raise the counter. Returns None, not the flag: `with flag as x` binds None. Arguments are ignored."""

    def __exit__(self, *args: Any, **kwargs: Any) -> None:
        """Lower the counter. Returns None, so exceptions raised in the block are never suppressed."""

    @property
    def value(self) -> bool:
        """True while the counter is above zero, that is, while a block is open."""

    def __bool__(self) -> bool:
        """The truth of `value`."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support: the reconstruction function, the class, a layout checksum and the state."""

    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The same as `__reduce__`."""

    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the counter from a state tuple."""

    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """The same as `__setstate__`."""

def __pyx_unpickle_Flag(__pyx_type: type[_F], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> _F:
    """Pickle support: make a `__pyx_type` instance and restore `__pyx_state` into it.

    Raises pickle.PickleError when the checksum does not match the class's
    state layout.
    """
