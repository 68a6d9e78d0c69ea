"""Stands in for the package's own `python_utils` module: the value helpers that the compiled
modules call. Only what they use is here, kept cheap because it sits on their hot paths."""
from collections.abc import Mapping

import numpy as np

# What the helpers do to plain values: `get_python_types` returns a value whose exact type is one
# of PASSED_THROUGH as it is, and one of FLOAT_CONVERTED as float(value); `round_` returns an exact
# int as it is and an exact float as round(value, ROUND_DIGITS). (The compiled interval module does
# that work itself only for these very functions, as shipped, and reads what their code reads.)
PASSED_THROUGH = (int, float, bool, str, type(None))
FLOAT_CONVERTED = (np.float64, np.float32, np.float16)
ROUND_DIGITS = 2

_PLAIN = frozenset(PASSED_THROUGH)
# Exact numpy scalar types and the plain type that holds the same value.
_NUMPY_TO_PLAIN = {
    **{t: float for t in FLOAT_CONVERTED},
    **{t: int for t in (np.int64, np.int32, np.int16, np.int8, np.uint64, np.uint32, np.uint16, np.uint8)},
    np.bool_: bool,
    np.str_: str,
}


def get_python_types(value):
    """Return `value` in the host's plain types: numpy scalars become the int, float, bool or str
    they hold; everything else is returned unchanged."""
    kind = type(value)
    if kind in _PLAIN:
        return value
    to_plain = _NUMPY_TO_PLAIN.get(kind)
    if to_plain is not None:
        return to_plain(value)
    if isinstance(value, np.generic):
        return value.item()
    return value


def round_(value, ndigits=ROUND_DIGITS):
    """Round a floating-point number (host or numpy) to `ndigits` decimals, as a host float;
    integers and any other value are returned unchanged."""
    kind = type(value)
    if kind is int:
        return value
    if kind is float:
        return round(value, ndigits)
    if isinstance(value, (float, np.floating)):
        return round(float(value), ndigits)
    return value


def get(container, key):
    """The value stored under `key` in a mapping (or the attribute `key` of another object);
    None when there is none, or when `container` is None."""
    if container is None:
        return None
    if isinstance(container, Mapping):
        return container.get(key)
    return getattr(container, key, None)
