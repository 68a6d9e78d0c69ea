"""What the compiled modules do without the generic interpreter calls must be exactly what those
calls would do: attributes read and written in place, our own methods and super() called straight
from the class, dicts filled from a template, comparisons made without reading keys again, and
the value helpers' work done natively while they are still the helpers' own."""
import importlib.util
import json
import os
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import interval_model
from plenx_metrics_plugin.common.utils import python_utils
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.drift_v2.utils import control_box as cb

Continuous, Discrete = iv.ContinuousStatisticsInterval, iv.DiscreteStatisticsInterval


def made(cls, *args, baseline=(10, 20.0), production=(15, 30.0)):
    interval = cls(*args) if args else (cls(0, 10) if issubclass(cls, Continuous) else cls("f"))
    interval.add_baseline_value(*baseline)
    interval.add_production_value(*production)
    return interval


# ---- attributes read and written in place ----

@pytest.mark.parametrize("cls, order", [
    (Continuous, ["lower_bound", "upper_bound", "id", "field", "values", "_absolute_change_percentage",
                  "_eligible_for_insights", "insights_available"]),
    (Discrete, ["id", "field", "values", "_absolute_change_percentage", "_eligible_for_insights",
                "insights_available", "contribution_to_distance", "statistical_buffer"]),
])
def test_attributes_set_in_place_keep_the_order_they_were_set_in(cls, order):
    for _ in range(3):
        made(cls)  # by now the class knows every name, so all are set in place
    interval = made(cls)
    assert list(vars(interval)) == order
    assert list(vars(interval.values[0])) == ["type", "absolute_count", "percentage"]


def _touch_dict(interval):
    interval.__dict__  # the attributes move into a dict of the instance's own


def _change_class(interval):
    interval.__class__ = type("Moved", (type(interval),), {})


def _many_attributes(interval):
    for i in range(40):  # more names than a class shares among its instances
        setattr(interval, f"extra_{i}", i)


@pytest.mark.parametrize("move", [_touch_dict, _change_class, _many_attributes])
@pytest.mark.parametrize("cls", [Continuous, Discrete])
def test_instances_whose_attributes_live_in_a_dict(cls, move):
    interval = made(cls)
    move(interval)
    interval.insights_available = True
    assert interval.absolute_change_percentage == 0.5
    assert interval.eligible_for_insights is True
    form = interval.to_dict()
    assert form["insights_available"] is True and form["baseline_percentage"] == 20.0
    assert type(interval).from_dict(form).to_dict()["production_absolute_count"] == 15
    assert made(cls) < interval or made(cls) == interval


def test_a_property_of_a_subclass_takes_the_place_of_a_plain_attribute():
    class Fixed(Continuous):
        @property
        def field(self):
            return "fixed"

        @field.setter
        def field(self, value):
            self.__dict__["given"] = value

    interval = made(Fixed, 0.5, 1.25)
    assert interval.given == "0.5-1.25"
    assert interval.to_dict()["field"] == "fixed"


def test_attributes_added_to_a_class_later_are_seen():
    class Late(Continuous):
        pass

    interval = made(Late)
    assert interval.to_dict()["field"] == "0-10"
    Late.field = property(lambda self: "late")
    assert interval.to_dict()["field"] == "late"
    del Late.field
    assert interval.to_dict()["field"] == "0-10"


def test_attribute_hooks_of_a_subclass_see_every_access():
    got, set_ = [], []

    class Watched(Discrete):
        def __getattribute__(self, name):
            got.append(name)
            return super().__getattribute__(name)

        def __setattr__(self, name, value):
            set_.append(name)
            super().__setattr__(name, value)

    interval = made(Watched)
    interval.to_dict()
    assert {"id", "field", "values", "_absolute_change_percentage"} <= set(set_)
    assert {"id", "field", "values", "contribution_to_distance", "statistical_buffer"} <= set(got)


@pytest.mark.parametrize("name, names", [("__getattribute__", {"field", "get_baseline_value"}), ("__setattr__", {"id"})])
def test_a_hook_set_while_our_code_runs_amid_the_slot_update_sees_every_access(name, names):
    # Later gets its new tag before its slot: our code runs between, when the update asks Dirty's key.
    base, later, run, seen = type("Base", (Discrete,), {}), None, [], []
    key = type("Key", (str,), {"__hash__": lambda k: hash(name), "__eq__": lambda k, o: run and run.pop()() and False})
    type("Dirty", (base,), {key("x"): 1}), run.append(lambda: made(later).to_dict())
    later = type("Later", (base,), {})
    setattr(base, name, lambda self, *a: seen.append(a[0]) or getattr(object, name)(self, *a))
    assert not run and made(later).to_dict() and names <= set(seen)


# ---- our methods called straight from the class ----

def test_an_instance_attribute_shadows_our_method():
    interval = made(Continuous)
    stand_in = iv.IntervalValue(iv.DataSetType.BASELINE, 99, 45.0)
    interval.get_baseline_value = lambda: stand_in
    form = interval.to_dict()
    assert (form["baseline_absolute_count"], form["baseline_percentage"]) == (99, 45.0)
    assert form["increased_in_production"] is False
    del interval.get_baseline_value
    assert interval.to_dict()["baseline_absolute_count"] == 10


def test_methods_replaced_on_the_class_after_use_are_called(monkeypatch):
    class Sub(Discrete):
        pass

    interval = made(Sub)
    assert interval.to_dict()["production_percentage"] == 30.0
    replacement = iv.IntervalValue(iv.DataSetType.PRODUCTION, 1, 2.5)
    monkeypatch.setattr(Sub, "get_production_value", lambda self: replacement)
    assert interval.to_dict()["production_percentage"] == 2.5
    monkeypatch.setattr(iv.Interval, "to_dict", lambda self: {"base": "replaced"})
    assert interval.to_dict() == {"base": "replaced", "contribution_to_distance": -1, "statistical_buffer": -1}


def test_recursion_through_python_code_is_stopped_cleanly():
    class Loop(Continuous):
        def _calculate_absolute_change_percentage(self):
            return self.absolute_change_percentage

    class Echo(Discrete):
        def get_baseline_value(self):
            return self.to_dict()

    with pytest.raises(RecursionError):
        made(Loop).absolute_change_percentage
    with pytest.raises(RecursionError):
        made(Echo).to_dict()


def deepest_that_runs(operation):
    """The deepest level of a recursion to the limit at which `operation()` still returns."""
    ran_at = []

    def down(level):
        try:
            down(level + 1)
        except RecursionError:
            pass
        try:
            operation()
            ran_at.append(level)
        except RecursionError:
            pass

    down(0)
    return max(ran_at)


@pytest.mark.skipif(iv.__file__.endswith(".abi3.so"),
                    reason="the stable-ABI build counts its calls on a count of its own, not as Python frames")
@pytest.mark.parametrize("cls", [Continuous, Discrete])
def test_calls_answered_in_place_still_count_as_calls(cls):
    # A comparison whose keys are read in place runs nothing; from sort, which calls the comparison
    # slot with no count of its own, it must still need a frame more than comparing ints does.
    a, b = made(cls), made(cls, production=(15, 40.0))
    assert (a < b) is np.True_ and (b < a) is np.False_ and sorted([b, a]) == [a, b]
    assert deepest_that_runs(lambda: sorted([b, a])) < deepest_that_runs(lambda: sorted([2, 1]))
    # Measurements found in place count as the calls they stand for: as deep as where they are
    # called (values in a list of a subclass are looked for by the call itself).
    called = made(cls)
    called.values = type("Values", (list,), {})(called.values)
    for operation in ("to_dict", "has_increased_in_production"):
        assert deepest_that_runs(getattr(a, operation)) == deepest_that_runs(getattr(called, operation))


# ---- dicts filled from a template ----

def test_every_dict_is_new_and_holds_only_its_own_values():
    interval = made(Continuous)
    first = interval.to_dict()
    first["id"] = "changed"
    first.clear()
    second = interval.to_dict()
    assert second is not first and second["id"] == interval.id and len(second) == 13
    assert iv.Interval.to_dict(interval) == {key: second[key] for key in list(second)[:11]}


# ---- comparisons without reading keys again ----

class Noisy:
    """A change percentage whose comparisons are seen."""

    def __init__(self, value, calls):
        self.value, self.calls = value, calls

    def __eq__(self, other):
        self.calls.append("==")
        return self.value == getattr(other, "value", other)

    def __lt__(self, other):
        self.calls.append("<")
        return self.value < getattr(other, "value", other)


def test_keys_that_run_code_are_read_and_compared_as_the_rule_says():
    calls = []
    a, b = made(Continuous), made(Continuous)
    a._absolute_change_percentage, b._absolute_change_percentage = Noisy(1, calls), Noisy(2, calls)
    assert a < b
    # Each read tests the cache against the -1 marker (==): both read, compared, both read again.
    assert calls == ["==", "==", "==", "==", "==", "<"]


def test_a_property_override_is_what_gets_compared():
    class ByUpper(Continuous):
        @property
        def absolute_change_percentage(self):
            return -self.upper_bound

    low, high = made(ByUpper, 0, 1), made(ByUpper, 0, 5)
    assert sorted([low, high]) == [high, low]


@pytest.mark.parametrize("change", ["change replaced", "change's property initialised again", "tie-breaker a property",
                                    "own dict"])
@pytest.mark.parametrize("kind", ["ContinuousStatisticsInterval", "DiscreteStatisticsInterval"])
@pytest.mark.parametrize("use", ["sort", "to_dict"])
def test_what_a_sort_remembered_of_the_class_follows_the_host(kind, change, use):
    # Classes of a module of their own, so that only this test has changed them: the first sort
    # leaves the comparison slot a memory of the class, the first to_dict one of where its
    # entries are kept, and the next must see each change.
    spec = importlib.util.spec_from_file_location(iv.__name__, iv.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    cls, continuous = getattr(module, kind), kind.startswith("Continuous")
    args = (0, 10) if continuous else ("f",)
    tied = change == "tie-breaker a property"
    low, high = made(cls, *args), made(cls, *args, production=(15, 30.0 if tied else 40.0))
    key = "lower_bound" if continuous else "contribution_to_distance"
    setattr(low, key, 1)
    setattr(high, key, 2)
    assert sorted([high, low])[0] is low
    before = high.to_dict()
    if change == "change replaced":
        module.Interval.absolute_change_percentage = property(lambda self: -self._absolute_change_percentage)
    elif change == "change's property initialised again":
        prop = vars(module.Interval)["absolute_change_percentage"]
        getter = prop.fget  # kept alive: only the property itself tells
        prop.__init__(lambda self: -self._absolute_change_percentage)
        assert getter is not prop.fget
    elif tied:
        setattr(cls, key, property(lambda self: 0))  # every key ties: the order given stays
    else:
        vars(high)
    if use == "sort":
        assert sorted([high, low])[0] is (low if change == "own dict" else high)
    elif change.startswith("change"):
        assert high.to_dict()["absolute_change_percentage"] == -before["absolute_change_percentage"] != 0
    else:
        assert high.to_dict() == (dict(before, **{key: 0}) if tied else before)


NUMBERS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-5, 5).map(np.float64),
    st.integers(-3, 3),
    st.sampled_from([0, 0.0, -1, 1, 0.5, np.float64(0.5), float("nan")]),
)


def expected_less(a, b, keys):
    """The ordering rule restated in Python: equal keys move on; the deciding key is read again."""
    for key in keys[:-1]:
        if not getattr(a, key) == getattr(b, key):
            return getattr(a, key) < getattr(b, key)
    return getattr(a, keys[-1]) < getattr(b, keys[-1])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(NUMBERS, NUMBERS, NUMBERS), min_size=2, max_size=2))
def test_in_place_comparisons_agree_with_the_rule(rows):
    pairs = []
    for cls, keys in ((Continuous, ["absolute_change_percentage", "lower_bound", "upper_bound"]),
                      (Discrete, ["absolute_change_percentage", "contribution_to_distance"])):
        intervals = []
        for change, first, second in rows:
            interval = cls(0, 1) if cls is Continuous else cls("f")
            interval._absolute_change_percentage = change
            if cls is Continuous:
                interval.lower_bound, interval.upper_bound = first, second
            else:
                interval.contribution_to_distance = first
            intervals.append(interval)
        pairs.append((intervals, keys))
    for (a, b), keys in pairs:
        want = expected_less(a, b, keys)
        got = a < b
        assert got == want and type(got) is type(want)


def test_comparison_methods_set_on_a_class_later_are_used():
    class Sub(Discrete):
        pass

    a, b = made(Sub), made(Sub)
    a._absolute_change_percentage, b._absolute_change_percentage = 1.0, 2.0
    assert a < b
    Sub.__lt__ = lambda self, other: "custom"
    assert (a < b) == "custom"
    del Sub.__lt__
    assert (a < b) is True
    with pytest.raises(TypeError):
        a < None


# ---- the value helpers' work done natively ----

def raw_doubles():
    return st.one_of(st.floats(allow_nan=False), st.integers(-10**9, 10**9).map(lambda n: n / 1000),
                     st.integers(-2**62, 2**62).map(lambda n: struct.unpack("d", struct.pack("q", n))[0]))


@settings(max_examples=400, deadline=None)
@given(st.one_of(raw_doubles(), st.integers(-10**20, 10**20), st.just(float("nan"))), raw_doubles())
def test_bounds_and_field_are_what_the_helpers_give(lower, upper):
    interval = Continuous(lower, upper)
    want_lower, want_upper = python_utils.round_(lower), python_utils.round_(upper)
    for got, want in ((interval.lower_bound, want_lower), (interval.upper_bound, want_upper)):
        assert type(got) is type(want)
        assert got == want if type(want) is int else struct.pack("d", got) == struct.pack("d", want)
    assert interval.field == f"{want_lower}-{want_upper}"


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.integers(-10**15, 10**15).map(lambda n: n / 100), st.floats(allow_nan=False)),
       st.integers(-10**6, 10**6))
def test_field_text_of_unrounded_bounds(lower, upper):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(iv, "round_", lambda value: value)
        assert Continuous(lower, upper).field == f"{lower}-{upper}"


class Share(float):
    pass


# Each kind the helper passes through, makes a float of, converts otherwise or leaves alone.
@pytest.mark.parametrize("change", [np.float64(0.25), float("inf"), 0, np.float32(0.5), True, np.float16(0.5),
                                    np.int64(3), np.bool_(True), None, Share(0.5), 2**70])
def test_dict_values_are_what_get_python_types_gives(change):
    interval = made(Discrete)
    interval._absolute_change_percentage = change
    form = interval.to_dict()
    want = python_utils.get_python_types(change)
    assert form["absolute_change_percentage"] == want
    assert type(form["absolute_change_percentage"]) is type(want)


def test_replaced_helpers_are_called_for_every_value(monkeypatch):
    seen = []
    monkeypatch.setattr(iv, "get_python_types", lambda value: seen.append(value) or value)
    monkeypatch.setattr(iv, "round_", lambda value: seen.append(("round", value)) or value)
    interval = made(Continuous, 1.005, 2)
    assert seen == [("round", 1.005), ("round", 2)]
    interval.to_dict()
    assert len(seen) == 2 + 13


def test_a_replaced_numpy_abs_is_called(monkeypatch):
    calls = []
    original = np.abs
    monkeypatch.setattr(np, "abs", lambda value: calls.append(value) or original(value))
    assert made(Continuous).absolute_change_percentage == 0.5
    assert calls == [0.5]



# ---- the control box's thresholds, read natively while its code is as shipped ----

def _getter_replaced(mp, log):
    mp.setattr(cb.ControlBox, "get_interval_percent_threshold_for_insights", lambda self: log.append("percent") or 50.0)


def _getter_shadowed(mp, log):
    box = cb.ControlBox()
    box.get_interval_count_threshold_for_insights = lambda: log.append("count") or 10**6
    mp.setattr(cb.ControlBoxManager, "_control_box", box)


def _getter_shadowed_after_a_read(mp, log):
    # The name is among the box class's shared keys, and the box was read before it was set.
    cb.ControlBox().get_interval_percent_threshold_for_insights = None
    box = cb.ControlBox()
    mp.setattr(cb.ControlBoxManager, "_control_box", box)
    made(iv.ContinuousStatisticsInterval, 0, 10).eligible_for_insights
    box.get_interval_percent_threshold_for_insights = lambda: log.append("percent") or 10**6


def _threshold_a_property(mp, log):
    class Box(cb.ControlBox):
        interval_percent_threshold_for_insights = property(lambda self: log.append("property") or 50.0, lambda s, v: None)
    mp.setattr(cb.ControlBoxManager, "_control_box", Box())


def _box_a_descriptor(mp, log):
    class Made:
        def __get__(self, instance, owner):
            log.append("get")
            return cb.ControlBox(50.0, 10)
    mp.setattr(cb.ControlBoxManager, "_control_box", Made())


def _name_rebound(mp, log):  # the global get_control_box reads
    mp.setattr(cb, "ControlBoxManager", type("Other", (), {"_control_box": cb.ControlBox(50.0, 10)}))


def _code_replaced(mp, log):
    mp.setattr(cb.ControlBoxManager.get_control_box, "__code__", eval("lambda self: ControlBox(50.0, 10)").__code__)


def _hook_on_the_box(mp, log):
    mp.setattr(cb.ControlBox, "__getattribute__", lambda self, name: log.append(name) or object.__getattribute__(self, name))


def _manager_seen(mp, log):
    mp.setattr(cb.ControlBoxManager, "__init__", lambda self: log.append("init"), raising=False)
    mp.setattr(cb.ControlBoxManager, "__del__", lambda self: log.append("del"), raising=False)


def _manager_seen_after_a_getter_refused(mp, log):
    with pytest.MonkeyPatch.context() as refused:
        refused.setattr(cb.ControlBox, "get_interval_percent_threshold_for_insights", lambda self: 50.0)
        made(iv.ContinuousStatisticsInterval, 0, 10).eligible_for_insights
    _manager_seen(mp, log)


def _box_class_made_a_descriptor(mp, log):
    mp.setattr(cb.ControlBox, "__get__", lambda self, instance, owner: log.append("get") or cb.ControlBox(50.0, 10),
               raising=False)


def _box_replaced(mp, log):
    mp.setattr(cb.ControlBoxManager, "_control_box", cb.ControlBox(0.0, 0))


def _thresholds_set_on_the_box(mp, log):
    box = cb.ControlBoxManager._control_box
    for name, value in (("interval_percent_threshold_for_insights", 50.0), ("interval_count_threshold_for_insights", 0)):
        mp.setattr(box, name, value)


@pytest.mark.parametrize("change", [_getter_replaced, _getter_shadowed, _getter_shadowed_after_a_read, _threshold_a_property,
                                    _box_a_descriptor, _name_rebound, _code_replaced, _hook_on_the_box, _manager_seen,
                                    _manager_seen_after_a_getter_refused, _box_class_made_a_descriptor, _box_replaced,
                                    _thresholds_set_on_the_box])
def test_the_control_box_is_asked_as_the_host_changed_it(monkeypatch, change):
    seen = {}
    for module in (iv, interval_model.load()):
        log = []
        with monkeypatch.context() as mp:
            made(module.ContinuousStatisticsInterval, 0, 10).eligible_for_insights  # the way to the thresholds as shipped
            change(mp, log)
            # A second interval finds what the first one's lookups remembered.
            seen[module] = [made(module.ContinuousStatisticsInterval, 0, 10).eligible_for_insights for _ in range(2)], log
    assert seen[iv] == seen[next(m for m in seen if m is not iv)]
    assert seen[iv][1] or change in (_name_rebound, _code_replaced, _box_replaced, _thresholds_set_on_the_box)


# ---- tracers and profilers see the helpers called ----

TRACED = """
import collections, cProfile, json, sys, types
sys.path.insert(0, sys.argv[1])
import interval_model, lockstep
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as compiled
model = interval_model.load()

def life(module):
    made = module.ContinuousStatisticsInterval(0.5, 1.25)
    made.add_baseline_value(10, 20.0)
    made.add_production_value(15, 30.0)
    module.ContinuousStatisticsInterval.from_dict(made.to_dict())

def seen(kind, module):
    world = types.SimpleNamespace(calls=[], finalising=0)
    if kind == "cProfile":
        profile = cProfile.Profile()
        profile.runcall(life, module)
        profile.create_stats()
        for (filename, _, name), (_, calls, *_) in profile.stats.items():
            code = types.SimpleNamespace(co_filename=filename, co_qualname=name)
            world.calls += [(kind, lockstep.seen_function(code))] * calls if lockstep.seen_function(code) else []
    else:
        with lockstep.Traced(kind, world):
            life(module)
    return collections.Counter(name for _, name in world.calls)

life(compiled), life(model)  # every lookup already remembered
print(json.dumps({f"{kind} {label}": seen(kind, module) for kind in lockstep.TRACERS[1:] + ["cProfile"]
                  for label, module in (("compiled", compiled), ("model", model))}))
"""


@pytest.mark.parametrize("shortcuts", ["1", "0"])
def test_tracers_and_profilers_see_every_call_of_the_helpers(shortcuts):
    env = dict(os.environ, PLENX_GLUE_SHORTCUTS=shortcuts)
    done = subprocess.run([sys.executable, "-P", "-c", TRACED, os.path.dirname(__file__)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    found = json.loads(done.stdout.splitlines()[-1])
    tracers = {key.rsplit(" ", 1)[0] for key in found}
    assert len(tracers) == (5 if sys.version_info >= (3, 12) else 3)
    for tracer in tracers:
        assert found[f"{tracer} compiled"] == found[f"{tracer} model"], tracer
    # The restore makes a fresh id before it stores the dict's, as any new interval does.
    box = {"ControlBoxManager.get_control_box": 1, "ControlBox.get_interval_percent_threshold_for_insights": 1,
           "ControlBox.get_interval_count_threshold_for_insights": 1}
    assert found["settrace model"] == {"round_": 4, "uuid4": 2, "UUID.__init__": 2, "UUID.__str__": 2,
                                       "get_python_types": 13, **box}
    if "monitoring local" in tracers:  # set on some of them only (lockstep.LOCALLY_MONITORED)
        assert found["monitoring local model"] == {"get_python_types": 13, "round_": 4, "uuid4": 2, "UUID.__str__": 2,
                                                   "ControlBox.get_interval_count_threshold_for_insights": 1}


# A collection that allocations scheduled runs at the next Python function's start (3.12 on): in
# the basic path that is a helper's, so a finaliser that sets a profiler there sees what follows.
FINALISER_SETS_PROFILER = """
import collections, gc, json, sys
sys.path.insert(0, sys.argv[1])
import lockstep
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as m

def life():
    made = m.ContinuousStatisticsInterval(0.5, 1.25)
    made.add_baseline_value(10, 20.0)
    made.add_production_value(15, 30.0)
    m.ContinuousStatisticsInterval.from_dict(made.to_dict())

life()
seen = collections.Counter()
def hook(frame, event, arg):
    if event == "call" and lockstep.seen_function(frame.f_code):
        seen[lockstep.seen_function(frame.f_code)] += 1
class Setter:
    def __del__(self):
        sys.setprofile(hook)
gc.collect()
gc.disable()
setter = Setter()
setter.cycle = setter
del setter
gc.set_threshold(1)
gc.enable()
life()
sys.setprofile(None)
print(json.dumps(seen))
"""


def test_a_finaliser_run_by_a_scheduled_collection_sees_the_helpers_as_the_basic_path_does():
    def seen(shortcuts):
        done = subprocess.run([sys.executable, "-P", "-c", FINALISER_SETS_PROFILER, os.path.dirname(__file__)],
                              env=dict(os.environ, PLENX_GLUE_SHORTCUTS=shortcuts), capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr[-3000:]
        return json.loads(done.stdout.splitlines()[-1])
    assert seen("1") == seen("0")
