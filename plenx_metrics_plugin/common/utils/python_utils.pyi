# python_utils.pyi: the types of the stand-in value helpers.
from typing import Any, TypeVar

_T = TypeVar("_T")

PASSED_THROUGH: tuple[type, ...]
FLOAT_CONVERTED: tuple[type, ...]
ROUND_DIGITS: int

def get_python_types(value: Any) -> Any: ...
def round_(value: _T, ndigits: int = 2) -> _T | float: ...
def get(container: Any, key: Any) -> Any: ...
