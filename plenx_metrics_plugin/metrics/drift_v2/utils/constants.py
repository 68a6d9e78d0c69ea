"""Stands in for the package's own drift `constants` module: the two names the interval module
imports."""
from enum import Enum

#: The change percentage of a bin that is empty in the baseline but not in production.
INFINITY = float("inf")


class DataSetType(Enum):
    """The data set a measurement belongs to."""

    BASELINE = "baseline"
    PRODUCTION = "production"
