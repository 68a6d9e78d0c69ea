"""Stands in for the package's own `python_utils` module: the value helpers that the compiled
modules call. Only what they use is here, kept cheap because it sits on their hot paths."""
from collections.abc import Mapping

import numpy as np

# Types that are already plain and are returned as they are.
_PLAIN = frozenset({int, float, bool, str, type(None)})
_NUMPY_SCALAR = np.generic


def get_python_types(value):
    """Return `value` in the host's plain types: numpy scalars become the int, float, bool or str
    they hold; everything else is returned unchanged."""
    if type(value) in _PLAIN:
        return value
    if isinstance(value, _NUMPY_SCALAR):
        return value.item()
    return value


def round_(value, ndigits=2):
    """Round a floating-point number (host or numpy) to `ndigits` decimals, as a host float;
    integers and any other value are returned unchanged."""
    if type(value) is float:
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
