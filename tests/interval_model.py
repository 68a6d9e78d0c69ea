"""The rules of the interval module, stated in plain Python.

The model-based tests run this module and the compiled one side by side and expect the same
results, errors, attribute states and calls from both. It is loaded afresh for each run (see
`load`), so that replacing one of its globals replaces it in that run only. Names it imports are
module globals looked up at each use, as in the compiled module.
"""
import importlib.util
import sys
from functools import total_ordering
from reprlib import recursive_repr
from uuid import uuid4

import numpy as np

from plenx_metrics_plugin.common.utils.python_utils import get_python_types, round_
from plenx_metrics_plugin.metrics.drift_v2.utils.constants import INFINITY, DataSetType
from plenx_metrics_plugin.metrics.drift_v2.utils.control_box import ControlBoxManager


def load(name="interval_model_run"):
    """A fresh copy of this module, under `name`."""
    spec = importlib.util.spec_from_file_location(name, __file__)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def _as_double(value):
    """`value` as a float, converted the way C converts an object to a double."""
    kind = type(value)
    if issubclass(kind, float):
        return float.__float__(value)
    if hasattr(kind, "__float__"):
        result = kind.__float__(value)
        if type(result) is not float:
            raise TypeError(f"{kind.__name__:.50}.__float__ returned non-float (type {type(result).__name__:.50})")
        return result
    if hasattr(kind, "__index__"):
        return float(kind.__index__(value))
    raise TypeError(f"must be real number, not {kind.__name__:.50}")


def _require_exact(value, expected, argument):
    if type(value) is not expected:
        raise TypeError(f"Argument '{argument}' has incorrect type "
                        f"(expected {expected.__name__}, got {type(value).__name__})")


def _checked_percentage(absolute_count, percentage):
    converted = _as_double(percentage)
    _require_exact(absolute_count, int, "absolute_count")
    return converted


def _find(values, member):
    for value in values:
        if value.type == member:
            return value
    return None


_ABSENT = object()


def _repr(self, names):
    shown = ((name, getattr(self, name, _ABSENT)) for name in names)
    return f"{type(self).__name__}({', '.join(f'{n}={v!r}' for n, v in shown if v is not _ABSENT)})"


class IntervalValue:
    def __init__(self, type: "DataSetType", absolute_count: "int", percentage: "float") -> "None":
        percentage = _checked_percentage(absolute_count, percentage)
        self.type = type
        self.absolute_count = absolute_count
        self.percentage = percentage

    @recursive_repr("...")
    def __repr__(self):
        return _repr(self, ("type", "absolute_count", "percentage"))


class Interval:
    def __init__(self, field):
        self.id = str(uuid4())
        self.field = field
        self.values = []
        self._absolute_change_percentage = -1
        self._eligible_for_insights = None
        self.insights_available = False

    @property
    def absolute_change_percentage(self):
        cached = self._absolute_change_percentage
        if cached != -1:
            return cached
        self._absolute_change_percentage = self._calculate_absolute_change_percentage()
        return self._absolute_change_percentage

    @property
    def is_change_significant(self):
        return True

    @property
    def eligible_for_insights(self):
        cached = self._eligible_for_insights
        if cached is not None:
            return cached
        box = ControlBoxManager().get_control_box()
        percent = box.get_interval_percent_threshold_for_insights()
        count = box.get_interval_count_threshold_for_insights()
        values = self.values
        baseline = _reaches(values[0], percent, count)
        production = _reaches(values[1], percent, count)
        self._eligible_for_insights = baseline and production
        return self._eligible_for_insights

    def _calculate_absolute_change_percentage(self):
        values = self.values
        if len(values) != 2:
            return -1
        baseline = _find(values, DataSetType.BASELINE)
        production = _find(values, DataSetType.PRODUCTION)
        if baseline is None or production is None:
            return -1
        if baseline.absolute_count == 0:
            return INFINITY if production.absolute_count != 0 else 0
        baseline_share = baseline.percentage
        if baseline_share == 0:
            return INFINITY if production.percentage != 0 else 0
        return np.abs((production.percentage - baseline_share) / baseline_share)

    def _add(self, member_name, absolute_count, percentage):
        percentage = _checked_percentage(absolute_count, percentage)
        values = self.values
        value_class = IntervalValue
        value = value_class(getattr(DataSetType, member_name), absolute_count, percentage)
        values.append(value)

    def add_baseline_value(self, absolute_count, percentage):
        self._add("BASELINE", absolute_count, percentage)

    def add_production_value(self, absolute_count, percentage):
        self._add("PRODUCTION", absolute_count, percentage)

    def get_baseline_value(self):
        values = self.values
        return _get_from(values, DataSetType.BASELINE)

    def get_production_value(self):
        values = self.values
        return _get_from(values, DataSetType.PRODUCTION)

    def has_increased_in_production(self):
        baseline = self.get_baseline_value()
        production = self.get_production_value()
        return production.percentage > baseline.percentage

    def __lt__(self, other):
        raise NotImplementedError

    def __eq__(self, other):
        raise NotImplementedError

    def to_dict(self):
        dict_ = {}
        dict_["id"] = get_python_types(self.id)
        dict_["field"] = get_python_types(self.field)
        dict_["absolute_change_percentage"] = get_python_types(self.absolute_change_percentage)
        dict_["eligible_for_insights"] = get_python_types(self.eligible_for_insights)
        dict_["insights_available"] = get_python_types(self.insights_available)
        dict_["is_change_significant"] = get_python_types(self.is_change_significant)
        dict_["increased_in_production"] = get_python_types(self.has_increased_in_production())
        dict_["baseline_absolute_count"] = get_python_types(self.get_baseline_value().absolute_count)
        dict_["baseline_percentage"] = get_python_types(self.get_baseline_value().percentage)
        dict_["production_absolute_count"] = get_python_types(self.get_production_value().absolute_count)
        dict_["production_percentage"] = get_python_types(self.get_production_value().percentage)
        return dict_

    @classmethod
    def from_dict(cls, dict_):
        _require_exact(dict_, dict, "dict_")
        raise NotImplementedError

    @recursive_repr("...")
    def __repr__(self):
        return _repr(self, ("field", "lower_bound", "upper_bound", "id", "values", "_absolute_change_percentage",
                            "_eligible_for_insights", "insights_available", "contribution_to_distance",
                            "statistical_buffer"))


Interval = total_ordering(Interval)


def _get_from(values, member):
    found = _find(values, member)
    if found is None:
        raise StopIteration
    return found


def _reaches(value, percent, count):
    condition = value.percentage >= percent
    if not condition:
        return condition
    return value.absolute_count >= count


def _ordered_less(self, other, keys):
    last = keys[-1]
    for key in keys[:-1]:
        mine = getattr(self, key)
        try:
            theirs = getattr(other, key)
        except AttributeError:
            return NotImplemented
        if not mine == theirs:
            last = key
            break
    mine = getattr(self, last)
    try:
        theirs = getattr(other, last)
    except AttributeError:
        return NotImplemented
    return mine < theirs


def _ordered_equal(self, other, keys):
    for key in keys:
        mine = getattr(self, key)
        try:
            theirs = getattr(other, key)
        except AttributeError:
            return NotImplemented
        result = mine == theirs
        if key == keys[-1] or not result:
            return result


def _restore_measurements(interval, dict_):
    count, share = dict_["baseline_absolute_count"], dict_["baseline_percentage"]
    interval.add_baseline_value(absolute_count=count, percentage=share)
    count, share = dict_["production_absolute_count"], dict_["production_percentage"]
    interval.add_production_value(absolute_count=count, percentage=share)


class ContinuousStatisticsInterval(Interval):
    _KEYS = ("absolute_change_percentage", "lower_bound", "upper_bound")

    def __init__(self, lower_bound, upper_bound):
        self.lower_bound = round_(lower_bound)
        self.upper_bound = round_(upper_bound)
        super().__init__(f"{self.lower_bound}-{self.upper_bound}")

    def __lt__(self, other):
        return _ordered_less(self, other, ContinuousStatisticsInterval._KEYS)

    def __eq__(self, other):
        return _ordered_equal(self, other, ContinuousStatisticsInterval._KEYS)

    def to_dict(self):
        dict_ = super().to_dict()
        dict_["lower_bound"] = get_python_types(self.lower_bound)
        dict_["upper_bound"] = get_python_types(self.upper_bound)
        return dict_

    @classmethod
    def from_dict(cls, dict_):
        _require_exact(dict_, dict, "dict_")
        try:
            lower, upper = dict_["lower_bound"], dict_["upper_bound"]
            interval = ContinuousStatisticsInterval(lower, upper)
            interval.id = dict_["id"]
            _restore_measurements(interval, dict_)
            interval.absolute_change_percentage
            interval.insights_available = dict_["insights_available"]
            return interval
        except KeyError as e:
            raise ValueError(f"Missing key {e} in dict {dict_}") from e


class DiscreteStatisticsInterval(Interval):
    _KEYS = ("absolute_change_percentage", "contribution_to_distance")

    def __init__(self, field):
        super().__init__(field)
        self.contribution_to_distance = -1
        self.statistical_buffer = -1

    @property
    def is_change_significant(self):
        if not self.absolute_change_percentage:
            return False
        change = self.absolute_change_percentage
        return bool(change > self.statistical_buffer)

    def __lt__(self, other):
        return _ordered_less(self, other, DiscreteStatisticsInterval._KEYS)

    def __eq__(self, other):
        return _ordered_equal(self, other, DiscreteStatisticsInterval._KEYS)

    def to_dict(self):
        dict_ = super().to_dict()
        dict_["contribution_to_distance"] = get_python_types(self.contribution_to_distance)
        dict_["statistical_buffer"] = get_python_types(self.statistical_buffer)
        return dict_

    @classmethod
    def from_dict(cls, dict_):
        _require_exact(dict_, dict, "dict_")
        try:
            interval = DiscreteStatisticsInterval(dict_["field"])
            interval.id = dict_["id"]
            _restore_measurements(interval, dict_)
            interval.contribution_to_distance = dict_["contribution_to_distance"]
            interval.statistical_buffer = dict_["statistical_buffer"]
            interval.absolute_change_percentage
            interval.insights_available = dict_["insights_available"]
            return interval
        except KeyError as e:
            raise ValueError(f"Invalid interval dict: {dict_}") from e
