"""Checks of the Python API's numeric arguments."""

from __future__ import annotations

import operator
from typing import Any


def whole_number(name: str, value: Any, least: int, most: int | None = None) -> int:
    """value as an int from least to most (no upper bound when most is None):
    NumPy integers too, bool not; TypeError or ValueError naming `name`."""
    try:
        if isinstance(value, bool):
            raise TypeError
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if number < least or (most is not None and number > most):
        bound = f"from {least} to {most}" if most is not None else f"at least {least}"
        raise ValueError(f"{name} must be {bound}, not {number}")
    return number
