"""Ordering, dictionary form and restoring of intervals, continuous and discrete."""
from collections import OrderedDict
from types import SimpleNamespace

import numpy as np
import pytest

from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.drift_v2.utils.constants import INFINITY

Continuous, Discrete = iv.ContinuousStatisticsInterval, iv.DiscreteStatisticsInterval

BASE_KEYS = ["id", "field", "absolute_change_percentage", "eligible_for_insights", "insights_available",
             "is_change_significant", "increased_in_production", "baseline_absolute_count", "baseline_percentage",
             "production_absolute_count", "production_percentage"]
OWN_KEYS = {iv.Interval: [], Continuous: ["lower_bound", "upper_bound"],
            Discrete: ["contribution_to_distance", "statistical_buffer"]}
# The attributes each rule compares, in order, after the change percentage.
TIES = {Continuous: ["lower_bound", "upper_bound"], Discrete: ["contribution_to_distance"]}
ORDERINGS = [lambda a, b: a < b, lambda a, b: a > b, lambda a, b: a <= b, lambda a, b: a >= b]


def new(cls):
    return cls(0, 1) if cls is Continuous else cls("f")


def ranked(cls, change, *ties):
    """An interval of `cls` whose change percentage is cached as `change`, with the given tie-breakers."""
    interval = new(cls)
    interval._absolute_change_percentage = change
    for name, value in zip(TIES[cls], ties):
        setattr(interval, name, value)
    return interval


def complete(cls):
    interval = cls(0.5, 1.75) if cls is Continuous else cls("cat")
    interval.add_baseline_value(10, 20.0)
    interval.add_production_value(15, 30.0)
    return interval


class Verdict:
    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


class Probe:
    """A compared value that records `==` and `<` made from its side and answers with its own objects."""

    def __init__(self, log, name, eq=None):
        self.log, self.name, self.eq, self.lt = log, name, eq, object()

    def __eq__(self, other):
        self.log.append("==" + self.name)
        return self.eq

    def __ne__(self, other):  # the cache's "computed yet?" test, not part of the rules
        return True

    def __lt__(self, other):
        self.log.append("<" + self.name)
        return self.lt


# ---- the base class ----

@pytest.mark.parametrize("operation", ORDERINGS + [
    lambda a, b: a == b, lambda a, b: a != b, lambda a, b: sorted([a, b]), lambda a, b: a == None,  # noqa: E711
    lambda a, b: iv.Interval.__lt__(a, 1), lambda a, b: iv.Interval.__eq__(a, other=1),
])
def test_plain_intervals_do_not_compare(operation):
    with pytest.raises(NotImplementedError) as error:
        operation(iv.Interval("a"), iv.Interval("b"))
    assert error.value.args == ()


@pytest.mark.parametrize("cls", [iv.Interval, Continuous, Discrete])
def test_completion_is_on_the_base_class_alone_and_no_interval_is_hashable(cls):
    derived = {"__gt__", "__le__", "__ge__"}
    assert derived <= set(vars(cls)) if cls is iv.Interval else not derived & set(vars(cls))
    assert {"__lt__", "__eq__"} <= set(vars(cls)) and cls.__hash__ is None
    for use in (hash, lambda i: {i}, lambda i: {i: 1}):
        with pytest.raises(TypeError, match="unhashable type"):
            use(new(cls))


class UnreadableDict(dict):
    def __getitem__(self, key):
        raise AssertionError(f"read {key!r}")


@pytest.mark.parametrize("cls", [iv.Interval, Continuous, Discrete])
@pytest.mark.parametrize("value, type_name", [
    (None, "NoneType"), (OrderedDict(id="x"), "collections.OrderedDict"), (UnreadableDict(), "UnreadableDict"),
    ([("id", "x")], "list"),
])
def test_from_dict_accepts_only_an_exact_dict(cls, value, type_name):
    with pytest.raises(TypeError) as error:
        cls.from_dict(value)
    assert str(error.value) == f"Argument 'dict_' has incorrect type (expected dict, got {type_name})"


@pytest.mark.parametrize("given", [{}, {"id": "x"}])
def test_base_from_dict_restores_nothing(given):
    with pytest.raises(NotImplementedError) as error:
        iv.Interval.from_dict(given)
    assert error.value.args == ()


# ---- dictionary forms ----

@pytest.mark.parametrize("production_first", [False, True])
def test_base_dictionary_form(filled, production_first):
    interval = iv.Interval("f")
    if production_first:
        interval.add_production_value(15, 30.0)
    form = filled(interval, production=None if production_first else (15, 30.0)).to_dict()
    assert list(form) == BASE_KEYS
    assert form == {"id": interval.id, "field": "f", "absolute_change_percentage": 0.5,
                    "eligible_for_insights": True, "insights_available": False, "is_change_significant": True,
                    "increased_in_production": True, "baseline_absolute_count": 10, "baseline_percentage": 20.0,
                    "production_absolute_count": 15, "production_percentage": 30.0}
    assert type(form["absolute_change_percentage"]) is float  # as get_python_types gives it
    assert interval._absolute_change_percentage == 0.5 and interval._eligible_for_insights is True


@pytest.mark.parametrize("values, error", [([(10, 20.0)], IndexError), ([(10, 20.0), (11, 21.0)], StopIteration)])
def test_incomplete_interval_has_no_dictionary_form(values, error):
    interval = iv.Interval("f")
    for value in values:
        interval.add_baseline_value(*value)
    with pytest.raises(error):
        interval.to_dict()


@pytest.mark.parametrize("cls", [iv.Interval, Continuous, Discrete])
def test_every_entry_goes_through_a_fresh_lookup_of_get_python_types(monkeypatch, filled, cls):
    seen = []

    def first(value):
        seen.append(value)
        monkeypatch.setattr(iv, "get_python_types", later)
        return "first"

    def later(value):
        seen.append(value)
        return ("converted", len(seen))

    monkeypatch.setattr(iv, "get_python_types", first)
    interval = filled(new(cls))
    interval.statistical_buffer = 0.2  # the discrete entry follows its own significance rule
    form = interval.to_dict()
    keys = BASE_KEYS + OWN_KEYS[cls]
    assert list(form) == keys
    assert list(form.values()) == ["first"] + [("converted", n) for n in range(2, len(keys) + 1)]
    expected = [interval.id, interval.field, np.float64(0.5), True, False, True, True, 10, 20.0, 15, 30.0]
    assert seen == expected + [getattr(interval, key) for key in OWN_KEYS[cls]]
    assert type(seen[2]) is np.float64


# ---- construction ----

@pytest.mark.parametrize("lower, upper, stored, field", [
    (0, 10, (0, 10), "0-10"), (0.5, 1.25, (0.5, 1.25), "0.5-1.25"), (-5, -1, (-5, -1), "-5--1"),
    (10, 0, (10, 0), "10-0"), (0.123, 1.987, (0.12, 1.99), "0.12-1.99"), (1e16, 0.1, (1e16, 0.1), "1e+16-0.1"),
])
def test_continuous_bounds_and_field(lower, upper, stored, field):
    interval = Continuous(lower, upper)
    assert list(vars(interval)) == ["lower_bound", "upper_bound", "id", "field", "values",
                                    "_absolute_change_percentage", "_eligible_for_insights", "insights_available"]
    bounds = (interval.lower_bound, interval.upper_bound)
    assert bounds == stored and list(map(type, bounds)) == list(map(type, stored)) and interval.field == field


def test_continuous_construction_rounds_each_bound_through_the_module_round(monkeypatch):
    calls = []

    class Formatted:
        def __format__(self, spec):
            return f"<{spec}>"

    def round_(*args, **kwargs):
        calls.append((args, kwargs))
        if len(calls) == 3:
            raise ArithmeticError("no rounding")
        return Formatted()

    monkeypatch.setattr(iv, "round_", round_)
    assert Continuous(1.234, upper_bound=5.678).field == "<>-<>"
    assert calls == [((1.234,), {}), ((5.678,), {})]
    blank = Continuous.__new__(Continuous)
    with pytest.raises(ArithmeticError, match="no rounding"):
        Continuous.__init__(blank, 7, 8)
    assert vars(blank) == {}


@pytest.mark.parametrize("field", ["cat", 3, 2.5])
def test_discrete_construction(field):
    interval = Discrete(field=field)
    assert interval.field is field
    assert list(vars(interval)) == ["id", "field", "values", "_absolute_change_percentage", "_eligible_for_insights",
                                    "insights_available", "contribution_to_distance", "statistical_buffer"]
    assert [interval.contribution_to_distance, interval.statistical_buffer] == [-1, -1]
    assert type(interval.statistical_buffer) is int and type(interval.contribution_to_distance) is int


# ---- significance of a discrete interval ----

@pytest.mark.parametrize("change, buffer, significant", [
    (0, -2, False), (0.0, -1, False), (np.float64(0.0), -5, False),
    (0.3, 0.2, True), (0.3, 0.3, False), (0.3, 0.5, False), (0.3, -1, True),
    (np.float64(0.3), 0.2, True), (np.float64(0.3), np.float64(0.5), False),
    (-1, -1, False), (-1, -2, True), (INFINITY, 1e300, True),
    (float("nan"), -1, False), (-0.0, -1, False), (0.3, -10**20, True), (2, 10**20, False), (True, 0.5, True),
])
def test_discrete_significance(change, buffer, significant):
    interval = ranked(Discrete, change)
    interval.statistical_buffer = buffer
    assert interval.is_change_significant is significant
    if change != -1:  # to_dict reads it where it is kept (given both measurements; -1 is computed then)
        interval.add_baseline_value(10, 20.0)
        interval.add_production_value(15, 30.0)
        assert interval.to_dict()["is_change_significant"] is significant


def test_significance_follows_the_current_buffer(filled):
    interval = filled(Discrete("f"), (10, 20.0), (13, 26.0))
    assert interval.is_change_significant is True
    interval.statistical_buffer = 0.5
    assert interval.is_change_significant is False and interval.to_dict()["is_change_significant"] is False
    assert interval._absolute_change_percentage == pytest.approx(0.3)
    interval.statistical_buffer = "high"
    with pytest.raises(TypeError):
        interval.is_change_significant
    empty = Discrete("g")
    empty.statistical_buffer = -2
    assert empty.is_change_significant is True


# ---- ordering and equality ----

@pytest.mark.parametrize("cls, a, b, less, equal", [
    (Continuous, (0.2, 9, 9), (0.5, 0, 0), True, False),
    (Continuous, (0.5, 0, 0), (0.2, 9, 9), False, False),
    (Continuous, (0.2, 0, 9), (0.2, 1, 0), True, False),
    (Continuous, (0.2, 1, 1), (0.2, 1, 2), True, False),
    (Continuous, (0.2, 1, 2), (0.2, 1, 2), False, True),
    (Continuous, (-1, 5, 6), (0, 0, 1), True, False),
    (Continuous, (INFINITY, 0, 1), (1e300, 0, 1), False, False),
    (Discrete, (0.2, 9), (0.5, 0), True, False),
    (Discrete, (0.5, 0), (0.2, 9), False, False),
    (Discrete, (0.2, 1), (0.2, 2), True, False),
    (Discrete, (0.2, 2), (0.2, 2), False, True),
    (Discrete, (-1, 9), (0, 0), True, False),
])
def test_ordering_rules(cls, a, b, less, equal):
    left, right = ranked(cls, *a), ranked(cls, *b)
    assert (left < right) is less and (left == right) is equal and (left != right) is (not equal)
    assert (left >= right) is (not less)
    assert (left <= right) is (less or equal) and (left > right) is (not less and not equal)


@pytest.mark.parametrize("cls, truths, less_steps, equal_steps", [
    (Continuous, [False], "==change <change", "==change"),
    (Continuous, [True, False], "==change ==lower_bound <lower_bound", "==change ==lower_bound"),
    (Continuous, [True, True], "==change ==lower_bound <upper_bound", "==change ==lower_bound ==upper_bound"),
    (Discrete, [False], "==change <change", "==change"),
    (Discrete, [True], "==change <contribution_to_distance", "==change ==contribution_to_distance"),
])
def test_rules_return_the_last_comparisons_own_result(cls, truths, less_steps, equal_steps):
    log = []
    probes = [Probe(log, name, Verdict(truth)) for name, truth in zip(["change"] + TIES[cls], truths + [True])]
    by_name = {probe.name: probe for probe in probes}
    left, right = ranked(cls, *probes), ranked(cls, Probe([], "other"))
    assert (left < right) is by_name[less_steps.split()[-1][1:]].lt
    assert log == less_steps.split()
    log.clear()
    assert (left == right) is by_name[equal_steps.split()[-1][2:]].eq
    assert log == equal_steps.split()


def test_numpy_comparisons_answer_with_numpy_booleans(filled):
    grown = filled(Continuous(0, 1))
    same_change_higher = filled(Continuous(1, 2), (1, 10.0), (1, 15.0))
    shrunk = filled(Continuous(5, 6), (1, 10.0), (1, 8.0))
    assert type(grown < shrunk) is np.bool_ and type(grown == shrunk) is np.bool_
    assert type(grown < same_change_higher) is bool
    assert sorted([same_change_higher, grown, Continuous(3, 4), shrunk]) == [
        Continuous(3, 4), shrunk, grown, same_change_higher]


def test_equal_intervals_ignore_counts_ids_fields_and_flags(filled):
    a, b = filled(Continuous(0, 1)), filled(Continuous(0, 1), (20, 20.0), (30, 30.0))
    b.insights_available = True
    assert a == b and a.id != b.id
    assert filled(Discrete("x")) == filled(Discrete(7), (20, 20.0), (30, 30.0))


@pytest.mark.parametrize("operator, lt, eq, steps, result", [
    (">", True, None, ["<"], False), (">", False, True, ["<", "=="], False), (">", False, False, ["<", "=="], True),
    ("<=", True, None, ["<"], True), ("<=", False, True, ["<", "=="], True), ("<=", False, False, ["<", "=="], False),
    (">=", True, None, ["<"], False), (">=", False, None, ["<"], True),
])
def test_derived_operators_call_the_subclass_rules(operator, lt, eq, steps, result):
    log = []

    class Recording(Discrete):
        def __lt__(self, other):
            log.append("<")
            return lt

        def __eq__(self, other):
            log.append("==")
            return eq

    compare = {">": lambda a, b: a > b, "<=": lambda a, b: a <= b, ">=": lambda a, b: a >= b}[operator]
    assert compare(Recording("a"), Recording("b")) is result
    assert log == steps


# ---- comparing with other kinds of object ----

@pytest.mark.parametrize("cls", [Continuous, Discrete])
@pytest.mark.parametrize("other", [None, 0.5, "0.5", SimpleNamespace(lower_bound=0, upper_bound=1)])
def test_objects_without_the_attributes_are_unequal_and_unordered(cls, other):
    interval = ranked(cls, 0.5)
    assert (interval == other) is False and (interval != other) is True
    for order in ORDERINGS:
        with pytest.raises(TypeError, match="not supported between instances of"):
            order(interval, other)


def test_continuous_and_discrete_intervals():
    c, d = ranked(Continuous, 0.5), ranked(Discrete, 0.5)
    assert c != d and d != c and not c == d
    for order in ORDERINGS:
        for left, right in ((c, d), (d, c)):
            with pytest.raises(TypeError, match="not supported between instances of"):
                order(left, right)
    assert ranked(Continuous, 0.2) < ranked(Discrete, 0.5) and ranked(Discrete, 0.2) < ranked(Continuous, 0.5)
    assert ranked(Continuous, 0.2) != ranked(Discrete, 0.5)


def test_other_objects_with_the_attributes_are_compared():
    other = SimpleNamespace(absolute_change_percentage=0.5, lower_bound=0, upper_bound=1, contribution_to_distance=-1)
    assert ranked(Continuous, 0.5) == other and ranked(Discrete, 0.5) == other
    assert ranked(Continuous, 0.2) < other and not ranked(Discrete, 0.7) < other


def test_errors_from_self_and_other_errors_are_not_masked():
    broken = ranked(Continuous, 0.5)
    del broken.lower_bound
    for compare in (lambda a, b: a == b, lambda a, b: a < b):
        with pytest.raises(AttributeError, match="lower_bound"):
            compare(broken, ranked(Continuous, 0.5))

    class Failing:
        @property
        def absolute_change_percentage(self):
            raise LookupError("no change")

    for cls in (Continuous, Discrete):
        for compare in (lambda a, b: a == b, lambda a, b: a < b):
            with pytest.raises(LookupError, match="no change"):
                compare(ranked(cls, 0.5), Failing())


# ---- restoring ----

@pytest.mark.parametrize("cls", [Continuous, Discrete])
def test_round_trip(cls):
    original = complete(cls)
    if cls is Discrete:
        original.contribution_to_distance, original.statistical_buffer = 0.25, 0.1
    original.insights_available = True
    form = original.to_dict()
    stored = dict(form, absolute_change_percentage=99.0, eligible_for_insights=False, is_change_significant=False,
                  increased_in_production=False, extra="ignored")
    if cls is Continuous:
        stored["field"] = "not read"
    restored = cls.from_dict(stored)
    assert type(restored) is cls and restored.id is form["id"] and restored.insights_available is True
    assert [vars(value) for value in restored.values] == [vars(value) for value in original.values]
    assert restored._absolute_change_percentage == 0.5 and restored._eligible_for_insights is None
    assert restored.to_dict() == form


def test_discrete_restores_its_numbers_unchanged():
    form = complete(Discrete).to_dict()
    contribution, buffer = np.float64(0.25), np.float64(0.3)
    form.update(field=7, contribution_to_distance=contribution, statistical_buffer=buffer, insights_available="yes")
    restored = Discrete.from_dict(form)
    assert restored.field == 7 and restored.insights_available == "yes"
    assert restored.contribution_to_distance is contribution and restored.statistical_buffer is buffer
    assert restored.is_change_significant is True


def test_continuous_restore_rounds_the_stored_bounds_again(monkeypatch):
    form = dict(complete(Continuous).to_dict(), lower_bound=0.126, upper_bound=2)
    monkeypatch.setattr(iv, "round_", lambda value: ("rounded", value))
    restored = Continuous.from_dict(form)
    assert (restored.lower_bound, restored.upper_bound) == (("rounded", 0.126), ("rounded", 2))
    assert restored.field == "('rounded', 0.126)-('rounded', 2)"


@pytest.mark.parametrize("cls", [Continuous, Discrete])
def test_restore_builds_through_the_module_class_and_adds_values_by_keyword(monkeypatch, cls):
    calls = []

    class Recording(cls):
        def add_baseline_value(self, *args, **kwargs):
            calls.append(("baseline", args, kwargs))
            super().add_baseline_value(*args, **kwargs)

        def add_production_value(self, *args, **kwargs):
            calls.append(("production", args, kwargs))
            super().add_production_value(*args, **kwargs)

    form = complete(cls).to_dict()
    monkeypatch.setattr(iv, cls.__name__, Recording)
    assert type(cls.from_dict(form)) is Recording
    assert calls == [("baseline", (), {"absolute_count": 10, "percentage": 20.0}),
                     ("production", (), {"absolute_count": 15, "percentage": 30.0})]


@pytest.mark.parametrize("cls", [Continuous, Discrete])
@pytest.mark.parametrize("reorder", [False, True])
def test_restore_reads_what_the_dict_holds_after_each_call(monkeypatch, cls, reorder):
    form = complete(cls).to_dict()

    class Editing(cls):
        def add_baseline_value(self, *args, **kwargs):
            super().add_baseline_value(*args, **kwargs)
            # Later keys change under the restore: in place, or moved to the end of a new table.
            for key, value in (("production_percentage", 45.0), ("insights_available", "edited")):
                if reorder:
                    del form[key]
                form[key] = value

    monkeypatch.setattr(iv, cls.__name__, Editing)
    restored = cls.from_dict(form)
    assert restored.get_production_value().percentage == 45.0
    assert restored.insights_available == "edited"


READS = {
    Continuous: ["lower_bound", "upper_bound", "id", "baseline_absolute_count", "baseline_percentage",
                 "production_absolute_count", "production_percentage", "insights_available"],
    Discrete: ["field", "id", "baseline_absolute_count", "baseline_percentage", "production_absolute_count",
               "production_percentage", "contribution_to_distance", "statistical_buffer", "insights_available"],
}


@pytest.mark.parametrize("cls, missing", [(cls, key) for cls, keys in READS.items() for key in keys])
def test_first_missing_key_becomes_value_error(cls, missing):
    form = complete(cls).to_dict()
    for later in READS[cls][READS[cls].index(missing):]:
        del form[later]
    with pytest.raises(ValueError) as error:
        cls.from_dict(form)
    expected = f"Missing key '{missing}' in dict {form}" if cls is Continuous else f"Invalid interval dict: {form}"
    assert str(error.value) == expected
    cause = error.value.__cause__
    assert type(cause) is KeyError and cause.args == (missing,) and error.value.__suppress_context__


@pytest.mark.parametrize("cls", [Continuous, Discrete])
def test_any_key_error_inside_the_restore_is_converted(monkeypatch, cls):
    problem = KeyError("elsewhere")

    class Failing(cls):
        def add_production_value(self, absolute_count, percentage):
            raise problem

    form = complete(cls).to_dict()
    monkeypatch.setattr(iv, cls.__name__, Failing)
    with pytest.raises(ValueError) as error:
        cls.from_dict(form)
    assert error.value.__cause__ is problem
    assert str(error.value) == (f"Missing key 'elsewhere' in dict {form}" if cls is Continuous
                                else f"Invalid interval dict: {form}")


@pytest.mark.parametrize("cls", [Continuous, Discrete])
@pytest.mark.parametrize("key, value, message", [
    ("baseline_absolute_count", 10.0, "Argument 'absolute_count' has incorrect type (expected int, got float)"),
    ("production_absolute_count", True, "Argument 'absolute_count' has incorrect type (expected int, got bool)"),
    ("production_percentage", "30", "must be real number, not str"),
])
def test_measurement_errors_pass_through_unconverted(cls, key, value, message):
    form = dict(complete(cls).to_dict(), **{key: value})
    with pytest.raises(TypeError) as error:
        cls.from_dict(form)
    assert str(error.value) == message

