# constants.pyi: the types of the stand-in drift constants.
from enum import Enum

INFINITY: float

class DataSetType(Enum):
    BASELINE = "baseline"
    PRODUCTION = "production"
