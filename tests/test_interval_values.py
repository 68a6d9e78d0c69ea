"""Measurements of an interval: accumulation, lookups, change measures, eligibility and growth."""
import functools
import uuid
from collections import OrderedDict
from fractions import Fraction

import numpy as np
import pytest

from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.drift_v2.utils.constants import INFINITY, DataSetType

B, P = DataSetType.BASELINE, DataSetType.PRODUCTION


class Count(int):
    pass


class Share(float):
    pass


class Verdict:
    """An odd comparison result whose truth is fixed."""

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


def with_values(*values):
    """An interval holding the given (data set, count, percentage) measurements, in that order."""
    interval = iv.Interval("f")
    interval.values.extend(iv.IntervalValue(*value) for value in values)
    return interval


def failing_adds(count, percentage):
    """Every way of building a measurement, each on its own fresh target."""
    interval, blank = iv.Interval("f"), iv.IntervalValue.__new__(iv.IntervalValue)
    calls = [lambda: iv.IntervalValue.__init__(blank, B, count, percentage),
             lambda: interval.add_baseline_value(count, percentage),
             lambda: interval.add_production_value(absolute_count=count, percentage=percentage)]
    return interval, blank, calls


# ---- IntervalValue and adding values ----

@pytest.mark.parametrize("percentage", [25, 0.5, Share(0.5), np.float32(0.5), np.int64(3), Fraction(1, 4), True])
def test_percentage_is_stored_as_a_plain_float(percentage):
    value = iv.IntervalValue("any type, unchecked", 10, percentage)
    assert list(vars(value)) == ["type", "absolute_count", "percentage"]
    assert value.type == "any type, unchecked" and value.absolute_count == 10
    assert type(value.percentage) is float and value.percentage == float(percentage)


@pytest.mark.parametrize("count, percentage, message", [
    (True, 0.5, "Argument 'absolute_count' has incorrect type (expected int, got bool)"),
    (10.0, 0.5, "Argument 'absolute_count' has incorrect type (expected int, got float)"),
    (None, 0.5, "Argument 'absolute_count' has incorrect type (expected int, got NoneType)"),
    (np.int64(10), 0.5, "Argument 'absolute_count' has incorrect type (expected int, got numpy.int64)"),
    (OrderedDict(), 0.5, "Argument 'absolute_count' has incorrect type (expected int, got collections.OrderedDict)"),
    (Count(10), 0.5, "Argument 'absolute_count' has incorrect type (expected int, got Count)"),
    # a type made from a spec keeps its dotted name, which the stable ABI has no reader for
    (functools.partial(int), 0.5, "Argument 'absolute_count' has incorrect type (expected int, got functools.partial)"),
    (1.5, "30", "must be real number, not str"),
    (1.5, None, "must be real number, not NoneType"),
])
def test_bad_measurements_are_refused_and_nothing_is_stored(count, percentage, message):
    interval, blank, calls = failing_adds(count, percentage)
    for call in calls:
        with pytest.raises(TypeError) as error:
            call()
        assert str(error.value) == message
    assert vars(blank) == {} and interval.values == []


def test_add_builds_the_value_from_the_module_class_with_the_converted_percentage(monkeypatch):
    built = []
    monkeypatch.setattr(iv, "IntervalValue", lambda *args, **kwargs: built.append((args, kwargs)) or len(built))
    interval = iv.Interval("f")
    interval.add_baseline_value(10, 25)
    interval.add_production_value(percentage=np.float32(0.5), absolute_count=3)
    assert built == [((B, 10, 25.0), {}), ((P, 3, 0.5), {})]
    assert [type(args[2]) for args, _ in built] == [float, float] and interval.values == [1, 2]


# ---- Interval construction and lookups ----

def test_new_interval():
    field = object()
    first, second = iv.Interval(field), iv.Interval(field)
    assert list(vars(first)) == ["id", "field", "values", "_absolute_change_percentage",
                                 "_eligible_for_insights", "insights_available"]
    assert first.field is field and first.values == [] and first.values is not second.values
    assert type(first._absolute_change_percentage) is int and first._absolute_change_percentage == -1
    assert first._eligible_for_insights is None and first.insights_available is False
    assert first.id != second.id
    for made in (first, second):
        assert len(made.id) == 36 and str(uuid.UUID(made.id)) == made.id and uuid.UUID(made.id).version == 4


def test_lookup_is_by_type_and_stops_at_the_first_match():
    seen = []

    class Tag:
        def __eq__(self, other):
            seen.append(other)
            return False

    interval = with_values((Tag(), 0, 0.0), (P, 15, 30.0), (B, 10, 20.0), (B, 11, 21.0), (Tag(), 0, 0.0))
    assert interval.get_baseline_value() is interval.values[2]
    assert interval.get_production_value() is interval.values[1]
    assert seen == [B, P]


def test_one_member_for_both_data_sets_is_found_first_by_each_lookup(monkeypatch):
    monkeypatch.setattr(iv, "DataSetType", type("DataSetType", (), {"BASELINE": B, "PRODUCTION": B}))
    interval = with_values((B, 10, 20.0), (B, 15, 30.0))
    for _ in range(2):  # the second time with both lookups remembered
        assert interval.get_production_value() is interval.values[0]
        assert interval._calculate_absolute_change_percentage() == 0.0
        assert interval.has_increased_in_production() is False


@pytest.mark.parametrize("values, missing", [([(B, 1, 1.0), (B, 2, 2.0)], "get_production_value"),
                                             ([(P, 1, 1.0)], "get_baseline_value"), ([], "get_production_value")])
def test_lookup_of_a_missing_data_set_raises_a_bare_stop_iteration(values, missing):
    interval = with_values(*values)
    with pytest.raises(StopIteration) as error:
        getattr(interval, missing)()
    assert error.value.args == () and len(interval.values) == len(values)


# ---- change percentage ----

@pytest.mark.parametrize("values, expected", [
    ([(B, 10, 20.0), (P, 15, 30.0)], np.float64(0.5)),
    ([(B, 10, 20.0), (P, 5, 10.0)], np.float64(0.5)),
    ([(P, 1, 1.0), (B, 3, 3.0)], np.abs((1.0 - 3.0) / 3.0)),
    ([(B, 10, 20.0), (P, 99, 20.0)], np.float64(0.0)),
    ([(B, 0, 20.0), (P, 5, 30.0)], INFINITY),
    ([(B, 0, 0.0), (P, 5, 0.0)], INFINITY),
    ([(B, 0, 20.0), (P, 0, 30.0)], 0),
    ([(B, 10, 0.0), (P, 0, 0.0)], 0),
    ([(B, 10, 0.0), (P, 0, 0.1)], INFINITY),
    ([], -1), ([(B, 10, 20.0)], -1), ([(B, 10, 20.0), (B, 15, 30.0)], -1),
    ([(B, 10, 20.0), (P, 15, 30.0), (P, 15, 30.0)], -1),
])
def test_absolute_change_percentage(values, expected):
    interval = with_values(*values)
    computed = interval._calculate_absolute_change_percentage()
    assert interval._absolute_change_percentage == -1
    cached = interval.absolute_change_percentage
    for result in (computed, cached):
        assert result == expected and type(result) is type(expected)
        assert (result is iv.INFINITY) is (expected is INFINITY)


def test_computed_change_is_cached_and_never_reset(filled):
    interval = filled(iv.Interval("f"))
    first = interval.absolute_change_percentage
    assert first == 0.5 and interval._absolute_change_percentage is first
    interval.add_production_value(1, 1.0)
    assert interval.absolute_change_percentage is first
    assert interval._calculate_absolute_change_percentage() == -1


def test_change_of_minus_one_is_computed_again_on_the_next_read(filled):
    interval = iv.Interval("f")
    assert interval.absolute_change_percentage == -1
    assert filled(interval).absolute_change_percentage == 0.5


@pytest.mark.parametrize("cached, recomputed", [
    (-1, True), (-1.0, True), (np.float64(-1), True), (0, False), (0.7, False), (INFINITY, False), ("text", False),
])
def test_any_cache_value_equal_to_minus_one_marks_not_computed(filled, cached, recomputed):
    interval = filled(iv.Interval("f"))
    interval._absolute_change_percentage = cached
    result = interval.absolute_change_percentage
    assert result == 0.5 if recomputed else result is cached


def test_a_plain_interval_counts_every_change_as_significant():
    assert iv.Interval("f").is_change_significant is True


# ---- eligibility for insights ----

@pytest.mark.parametrize("values, eligible", [
    ([(B, 10, 5.0), (P, 10, 5.0)], True),
    ([(B, 9, 50.0), (P, 100, 50.0)], False),
    ([(B, 100, 4.99), (P, 100, 50.0)], False),
    ([(B, 100, 50.0), (P, 9, 50.0)], False),
    ([(B, 100, 50.0), (P, 100, 4.99)], False),
    ([(P, 10, 5.0), (B, 10, 5.0)], True),
    ([(B, 10, 5.0), (P, 10, 5.0), (P, 0, 0.0)], True),
    ([(B, 10, 5.0), (B, 10, 5.0)], True),
])
def test_eligibility_is_inclusive_and_takes_the_first_two_values(values, eligible):
    interval = with_values(*values)
    assert interval.eligible_for_insights is eligible and interval._eligible_for_insights is eligible


@pytest.mark.parametrize("first, later", [((5.0, 10), (50.0, 100)), ((50.0, 100), (5.0, 10))])
def test_eligibility_is_kept_after_the_thresholds_change(filled, thresholds, first, later):
    thresholds(*first)
    interval = filled(iv.Interval("f"))
    before = interval.eligible_for_insights
    thresholds(*later)
    assert interval.eligible_for_insights is before
    assert filled(iv.Interval("g")).eligible_for_insights is (not before)


def test_numpy_thresholds_give_numpy_booleans(filled, thresholds):
    thresholds(np.float64(5.0), np.int64(10))
    assert type(filled(iv.Interval("f")).eligible_for_insights) is np.bool_


class RecordingManager:
    """Stands in for ControlBoxManager: every step is a call without arguments, recorded in `log`."""

    def __init__(self, log, percent=5.0, count=10, fail=None):
        self.log, self.percent, self.count, self.fail = log, percent, count, fail

    def _step(self, name, result):
        self.log.append(name)
        if name == self.fail:
            raise LookupError(name)
        return result

    def __call__(self):
        return self._step("manager", self)

    def get_control_box(self):
        return self._step("box", self)

    def get_interval_percent_threshold_for_insights(self):
        return self._step("percent", self.percent)

    def get_interval_count_threshold_for_insights(self):
        return self._step("count", self.count)


STEPS = ["manager", "box", "percent", "count"]


def test_thresholds_are_read_once_per_instance(monkeypatch, filled):
    log = []
    monkeypatch.setattr(iv, "ControlBoxManager", RecordingManager(log))
    interval = filled(iv.Interval("f"))
    assert interval.eligible_for_insights is True and interval.eligible_for_insights is True
    assert log == STEPS


@pytest.mark.parametrize("count", [0, 1])
def test_too_few_values_fail_after_the_control_box_was_read(monkeypatch, count):
    log = []
    monkeypatch.setattr(iv, "ControlBoxManager", RecordingManager(log))
    interval = with_values(*[(B, 10, 20.0)] * count)
    for attempt in (1, 2):
        with pytest.raises(IndexError):
            interval.eligible_for_insights
        assert interval._eligible_for_insights is None and log == STEPS * attempt


@pytest.mark.parametrize("fail", STEPS)
def test_control_box_errors_pass_through(monkeypatch, filled, fail):
    monkeypatch.setattr(iv, "ControlBoxManager", RecordingManager([], fail=fail))
    interval = filled(iv.Interval("f"))
    with pytest.raises(LookupError, match=f"^{fail}$"):
        interval.eligible_for_insights
    assert interval._eligible_for_insights is None


class Threshold:
    """Compared as `measurement >= threshold`, which reaches this reflected `__le__`."""

    def __init__(self, log, name, truths):
        self.log, self.name, self.verdicts = log, name, [Verdict(truth) for truth in truths]
        self.given = list(self.verdicts)

    def __le__(self, measurement):
        self.log.append((self.name, measurement))
        return self.verdicts.pop(0)


@pytest.mark.parametrize("percent, count, expected_log, result", [
    ([False, True], [True], [("percent", 5.0), ("percent", 6.0), ("count", 60)], ("percent", 0)),
    ([True, False], [False], [("percent", 5.0), ("count", 50), ("percent", 6.0)], ("count", 0)),
    ([True, True], [True, False], [("percent", 5.0), ("count", 50), ("percent", 6.0), ("count", 60)], ("count", 1)),
    ([True, False], [True], [("percent", 5.0), ("count", 50), ("percent", 6.0)], ("percent", 1)),
])
def test_eligibility_evaluation_order_and_result_object(monkeypatch, percent, count, expected_log, result):
    log = []
    limits = {"percent": Threshold(log, "percent", percent), "count": Threshold(log, "count", count)}
    monkeypatch.setattr(iv, "ControlBoxManager", RecordingManager([], limits["percent"], limits["count"]))
    interval = with_values((B, 50, 5.0), (P, 60, 6.0))
    assert interval.eligible_for_insights is limits[result[0]].given[result[1]]
    assert log == expected_log


# ---- growth in production ----

@pytest.mark.parametrize("baseline, production, increased", [
    ((10, 20.0), (15, 30.0), True), ((10, 20.0), (99, 20.0), False), ((10, 30.0), (15, 20.0), False),
    ((0, 20.0), (0, 20.5), True),
])
def test_has_increased_in_production(filled, baseline, production, increased):
    interval = filled(iv.Interval("f"), baseline, production)
    assert interval.has_increased_in_production() is increased
    assert interval.has_increased_in_production() is increased


@pytest.mark.parametrize("baseline, production, lookups", [
    (None, (15, 30.0), ["baseline"]), ((10, 20.0), None, ["baseline", "production"]),
])
def test_growth_looks_up_the_baseline_first(filled, baseline, production, lookups):
    seen = []

    class Recording(iv.Interval):
        def get_baseline_value(self):
            seen.append("baseline")
            return super().get_baseline_value()

        def get_production_value(self):
            seen.append("production")
            return super().get_production_value()

    with pytest.raises(StopIteration):
        filled(Recording("f"), baseline, production).has_increased_in_production()
    assert seen == lookups
