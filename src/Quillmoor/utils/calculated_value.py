"""Values that are worked out afresh each time they are used.

Timers and glide cells accept either a plain number of seconds or a
`CalculatedValue`; they pass what they were given through `gcv` at every use,
so a calculated interval or delay may change while the object lives.
"""

from typing import Any, Callable

__all__ = ["CalculatedValue", "gcv"]


class CalculatedValue:
    """A number of seconds computed by a callable at each read."""

    __slots__ = ("_func",)

    def __init__(self, func: Callable[[], float]) -> None:
        self._func = func

    def get_value(self) -> float:
        """Call the function and return its result, in seconds."""
        return self._func()

    def __reduce__(self) -> tuple[Any, ...]:
        return (CalculatedValue, (self._func,))


def gcv(value: Any) -> Any:
    """The current value of `value`: a `CalculatedValue` is evaluated, anything else is returned as it is."""
    if isinstance(value, CalculatedValue):
        return value.get_value()
    return value
