#!/usr/bin/env python3
"""Property-based fuzzing of both compiled modules with hostile host code.

Every public member of the interval classes and of the provider is driven with arbitrary objects:
wrong types, huge integers, NaN and infinities, numpy scalars, objects whose comparisons, truth,
conversions or text raise or answer with odd types, subclasses that override members, attributes
and module globals replaced or deleted, and fake client packages that misbehave. An outcome passes
when it is the defined result (checked against a small model of the rules, for well-formed input)
or a Python exception other than SystemError.

Hypothesis draws the hostile material of each example (a palette of objects and behaviours, and
a seed); the seed then combines that material into many cases, so that a million cases take
minutes rather than hours. A failing check is shrunk by hypothesis and printed with the choices
of the failing case. A crash kills the worker process; its chunk is then run again with every
choice traced, and the last case before the crash is printed.

    python fuzz/fuzz_modules.py                          # 1,000,000 cases on every core
    python fuzz/fuzz_modules.py --cases 20000 --workers 1 --seed 7
    python fuzz/fuzz_modules.py --replay "{'junk': [...], ...}"   # one example, every choice traced

Nothing touches the network, and hypothesis keeps no example database.
"""
import argparse
import builtins
import collections
import contextlib
import copy
import decimal
import fractions
import functools
import gc
import json
import logging
import math
import os
import pickle
import random
import subprocess
import sys
import time
import types
import warnings

import numpy as np
from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

from plenx_metrics_plugin.common.utils import python_utils
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.drift_v2.utils import control_box
from plenx_metrics_plugin.metrics.drift_v2.utils.constants import INFINITY, DataSetType
from plenx_metrics_plugin.metrics.llm.common.model_providers import plenx_auvrix_ai_provider as provider_module
from plenx_metrics_plugin.metrics.llm.utils.constants import ParaphrasingModel

B, P = DataSetType.BASELINE, DataSetType.PRODUCTION
KINDS = ("Interval", "ContinuousStatisticsInterval", "DiscreteStatisticsInterval")
# The classes as loaded: cases replace the module's globals.
CLASSES = {kind: getattr(iv, kind) for kind in ("IntervalValue",) + KINDS}
Provider = provider_module.PLENXAuvrixAIProvider
SECRET = "apikey-fuzz-s3cr3t"
CLIENT_MODULES = ("plenx_auvrix_ai", "plenx_auvrix_ai.foundation_models", "plenx_auvrix_ai.metanames")
TIMEOUT_WARNING = "Gateway timeout occurred while generating paraphrases. Retrying in 2 seconds."
CASES_PER_EXAMPLE = 25


class Boom(BaseException):
    """An error outside the Exception family: it must pass through everything unchanged."""


class Failure(AssertionError):
    """An outcome that is neither the defined result nor a Python exception."""


# ---------------------------------------------------------------- hostile objects, built from recipes
# Hypothesis draws plain tuples ("recipes"), so that a failing case prints and replays cleanly even
# when the objects built from it refuse to be printed.

EXCEPTIONS = ("ValueError", "TypeError", "KeyError", "IndexError", "AttributeError", "StopIteration",
              "ZeroDivisionError", "OverflowError", "RecursionError", "MemoryError", "NotImplementedError",
              "Timeout503", "Boom", "StrRaises", "StrOdd")
RETURNS = ("none", "text", "nan", "inf", "not_implemented", "self", "list", "zero", "minus_one", "huge",
           "float", "true", "np_bool", "array", "hostile", "sabotage")
METHODS = ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__bool__", "__float__", "__index__",
           "__int__", "__str__", "__repr__", "__format__", "__hash__", "__len__", "__iter__", "__getitem__",
           "__abs__", "__sub__", "__rsub__", "__truediv__", "__rtruediv__", "__getattr__", "__contains__")
BASES = {"object": object, "int": int, "float": float, "str": str, "list": list, "dict": dict,
         "Exception": Exception}
NUMPY_TYPES = ("float64", "float32", "float16", "int64", "int8", "uint64", "bool_", "str_", "complex128")
DICT_KEYS = ("id", "field", "absolute_change_percentage", "eligible_for_insights", "insights_available",
             "is_change_significant", "increased_in_production", "baseline_absolute_count",
             "baseline_percentage", "production_absolute_count", "production_percentage", "lower_bound",
             "upper_bound", "contribution_to_distance", "statistical_buffer", "url", "apikey", "other")
SHARED = {"INFINITY": INFINITY, "BASELINE": B, "PRODUCTION": P, "DataSetType": DataSetType,
          "ParaphrasingModel": ParaphrasingModel, "interval_module": iv, "provider_module": provider_module}

# Objects under test, whose state a "sabotage" answer wipes out from inside a call.
TARGETS = []
# Off while a case has replaced the provider's outside components: what they raise is theirs.
SECRET_CHECKED = True


def sabotage():
    for target in TARGETS:
        if type(target) is list:
            target.clear()
        elif isinstance(getattr(target, "__dict__", None), dict):
            vars(target).clear()


class StrRaises(Exception):
    def __str__(self):
        raise ValueError("no text")


class StrOdd(Exception):
    def __str__(self):
        return 503


def error(name):
    if name == "Boom":
        return Boom("junk")
    if name == "Timeout503":
        return RuntimeError("Status code: 503, Gateway Time-out")
    if name == "StrRaises":
        return StrRaises("503")
    if name == "StrOdd":
        return StrOdd("503")
    return getattr(builtins, name)("junk")


class Hostile:
    """Every operation raises."""

    def _fail(self, *args):
        raise ArithmeticError("hostile")

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __bool__ = __float__ = __index__ = _fail
    __str__ = __repr__ = __format__ = __len__ = __iter__ = __getitem__ = _fail
    __hash__ = None


RETURN_VALUES = {
    "none": lambda this: None, "text": lambda this: "503 text", "nan": lambda this: math.nan,
    "inf": lambda this: -math.inf, "not_implemented": lambda this: NotImplemented, "self": lambda this: this,
    "list": lambda this: [this], "zero": lambda this: 0, "minus_one": lambda this: -1,
    "huge": lambda this: 2**4000, "float": lambda this: 0.5, "true": lambda this: True,
    "np_bool": lambda this: np.bool_(True), "array": lambda this: np.array([1.0, 2.0]),
    "hostile": lambda this: Hostile(),
}


def answer(behaviour, this=None):
    """Raises or returns as the behaviour says; "sabotage" first wipes the objects under test."""
    kind, what = behaviour
    if kind == "raise":
        raise error(what)
    if what == "sabotage":
        sabotage()
        return False
    return RETURN_VALUES[what](this)


def junk_callable(behaviour):
    return lambda *args, **kwargs: answer(behaviour)


@functools.lru_cache(maxsize=None)
def evil_class(base_name, overrides):
    namespace = {method: (lambda b: lambda self, *args: answer(b, self))(behaviour)
                 for method, behaviour in overrides}
    return type("Evil" + base_name.title(), (BASES[base_name],), namespace)


def new_interval(kind, complete=False):
    cls = CLASSES[kind]
    interval = cls(0, 10) if kind == "ContinuousStatisticsInterval" else cls("f")
    if complete:
        interval.add_baseline_value(10, 20.0)
        interval.add_production_value(15, 30.0)
    return interval


def build(recipe):
    """The object a recipe describes."""
    kind, *rest = recipe
    if kind == "none":
        return None
    if kind in ("bool", "int", "float", "str"):
        return rest[0]
    if kind == "np":
        try:
            return getattr(np, rest[0])(rest[1])
        except Exception:  # out of the type's range
            return np.float64(rest[1])
    if kind == "array":
        return np.array(rest[0])
    if kind == "decimal":
        return decimal.Decimal(rest[0])
    if kind == "fraction":
        return fractions.Fraction(rest[0], rest[1])
    if kind == "complex":
        return complex(rest[0], rest[1])
    if kind == "evil":
        base, value, overrides = rest
        cls = evil_class(base, overrides)
        if base in ("int", "float", "str"):
            return cls(BASES[base](value))
        return cls("evil 503") if base == "Exception" else cls()
    if kind == "value":  # a measurement whose attributes nothing has checked
        data_set, count, share = rest
        value = CLASSES["IntervalValue"].__new__(CLASSES["IntervalValue"])
        vars(value).update(type={"B": B, "P": P}.get(data_set, data_set), absolute_count=count, percentage=share)
        return value
    if kind == "interval":
        try:
            return new_interval(rest[0], complete=rest[1])
        except BaseException:  # the case has replaced a global the constructor needs
            return CLASSES[rest[0]].__new__(CLASSES[rest[0]])
    if kind == "shared":
        return SHARED[rest[0]]
    if kind in ("list", "tuple"):
        items = [build(r) for r in rest[0]]
        return items if kind == "list" else tuple(items)
    if kind == "dict":
        return {key: build(r) for key, r in rest[0]}
    raise ValueError(f"unknown recipe {recipe!r}")


INTS = st.one_of(st.integers(-3, 20), st.integers(-2**70, 2**70),
                 st.sampled_from([2**63, -2**63 - 1, 2**53 + 1, 10**400, -10**400]))
FLOATS = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 5.0, math.nan, math.inf, -math.inf, 1e-320, 1e308]))
BEHAVIOURS = st.one_of(st.tuples(st.just("raise"), st.sampled_from(EXCEPTIONS)),
                       st.tuples(st.just("return"), st.sampled_from(RETURNS)))
OVERRIDES = st.lists(st.tuples(st.sampled_from(METHODS), BEHAVIOURS), min_size=1, max_size=4,
                     unique_by=lambda t: t[0]).map(lambda items: tuple(sorted(items)))
LEAVES = st.one_of(
    st.just(("none",)),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.just("int"), INTS),
    st.tuples(st.just("float"), FLOATS),
    st.tuples(st.just("str"), st.one_of(st.text(max_size=5), st.sampled_from(["", "503", "0-10", "id"]))),
    st.tuples(st.just("np"), st.sampled_from(NUMPY_TYPES), st.one_of(FLOATS, st.integers(-300, 300))),
    st.tuples(st.just("array"), st.lists(FLOATS, max_size=3).map(tuple)),
    st.tuples(st.just("decimal"), st.sampled_from(["NaN", "sNaN", "-Infinity", "0", "1e999999", "-0", "2.5"])),
    st.tuples(st.just("fraction"), INTS, st.integers(1, 10**6)),
    st.tuples(st.just("complex"), FLOATS, FLOATS),
    st.tuples(st.just("evil"), st.sampled_from(sorted(BASES)), st.integers(-2, 600), OVERRIDES),
    st.tuples(st.just("value"), st.sampled_from(["B", "P", None, "B "]), INTS, FLOATS),
    st.tuples(st.just("interval"), st.sampled_from(KINDS), st.booleans()),
    st.tuples(st.just("shared"), st.sampled_from(sorted(SHARED))),
)
JUNK = st.one_of(
    LEAVES,
    st.tuples(st.sampled_from(["list", "tuple"]), st.lists(LEAVES, max_size=3).map(tuple)),
    st.tuples(st.just("dict"), st.lists(st.tuples(st.sampled_from(DICT_KEYS), LEAVES), max_size=4).map(tuple)),
)
# One example's material: what its cases are made of.
PALETTE = st.fixed_dictionaries({
    "junk": st.lists(JUNK, min_size=3, max_size=10),
    "behaviours": st.lists(BEHAVIOURS, min_size=2, max_size=5),
    "ints": st.lists(INTS, min_size=2, max_size=5),
    "floats": st.lists(FLOATS, min_size=2, max_size=5),
    "text": st.text(max_size=4),
    "seed": st.integers(0, 2**32 - 1),
})


class Choices:
    """The choices of one case, made from the palette by a seeded generator and logged, so that a
    failing or crashing case can be told exactly."""

    def __init__(self, palette, rng, trace):
        self.palette, self.rng, self.trace, self.log = palette, rng, trace, []

    def note(self, label, value):
        self.log.append((label, value))
        if self.trace:
            print(f"    {label}: {value!r}", file=sys.stderr, flush=True)
        return value

    def pick(self, label, options):
        return self.note(label, self.rng.choice(options))

    def chance(self, label, share):
        return self.note(label, self.rng.random() < share)

    def count(self, label, low, high):
        return self.note(label, self.rng.randint(low, high))

    def junk(self, label):
        """A hostile recipe; now and then a plain number."""
        roll = self.rng.random()
        if roll < 0.15:
            return self.note(label, ("int", self.rng.choice(self.palette["ints"])))
        if roll < 0.25:
            return self.note(label, ("float", self.rng.choice(self.palette["floats"])))
        return self.note(label, self.rng.choice(self.palette["junk"]))

    def behaviour(self, label):
        return self.pick(label, self.palette["behaviours"])

    def junk_or_callable(self, label):
        if self.chance(f"{label} is callable", 0.3):
            return junk_callable(self.behaviour(label))
        return build(self.junk(label))

    def number(self, label, kind):
        return self.pick(label, self.palette["ints" if kind is int else "floats"])


# ---------------------------------------------------------------- running one call

class Tally:
    """Counts examples, cases, calls and outcomes."""

    def __init__(self):
        self.examples = 0
        self.cases = 0
        self.calls = 0
        self.outcomes = collections.Counter()


TALLY = Tally()


class Returned:
    """A result, told apart from a raised exception."""

    def __init__(self, value):
        self.value = value


def safe_text(o):
    try:
        return str(o)
    except BaseException:
        return ""


def outcome(label, operation):
    """Runs one member call: its result, or the Python exception it raised. A SystemError (the
    interpreter's report of a broken C API contract, or a C++ exception that escaped) fails."""
    TALLY.calls += 1
    try:
        result = operation()
    except Boom as raised:
        TALLY.outcomes[label, "Boom"] += 1
        return raised
    except SystemError as raised:
        raise Failure(f"{label}: SystemError {raised}") from raised
    except Exception as raised:
        TALLY.outcomes[label, type(raised).__name__] += 1
        if SECRET_CHECKED and SECRET in safe_text(raised):
            raise Failure(f"{label}: the credentials are shown in {safe_text(raised)!r}")
        return raised
    TALLY.outcomes[label, "ok"] += 1
    return Returned(result)


def expect(condition, message):
    if not condition:
        raise Failure(message)


def same(actual, expected):
    """Equal values of the same type, NaN equal to NaN."""
    if type(actual) is not type(expected):
        return False
    if isinstance(expected, (float, np.floating)) and math.isnan(expected):
        return math.isnan(actual)
    if isinstance(expected, dict):
        return list(actual) == list(expected) and all(same(actual[k], expected[k]) for k in expected)
    return actual is expected or bool(actual == expected)


def defined(label, operation, model):
    """The member's outcome must be the model's: the same value, or the same exception type."""
    actual = outcome(label, operation)
    try:
        expected = Returned(model())
    except Exception as raised:
        expected = raised
    if isinstance(expected, Returned):
        expect(isinstance(actual, Returned) and same(actual.value, expected.value),
               f"{label}: got {safe_text(getattr(actual, 'value', actual))!r}, expected {expected.value!r}")
    else:
        expect(type(actual) is type(expected), f"{label}: got {actual!r}, expected {type(expected).__name__}")
    return actual


class Patches:
    """Attributes of modules and classes replaced for one case, and put back afterwards."""

    def __init__(self):
        self.saved = []
        self.modules = []

    def set(self, owner, name, value):
        self.saved.append((owner, name, vars(owner).get(name, Patches)))
        setattr(owner, name, value)

    def delete(self, module, name):
        """Deletes a module global; the module's whole dict comes back, in its order."""
        self.modules.append((module, dict(vars(module))))
        delattr(module, name)

    def undo(self):
        # Deletions come after the replacements in a case, so they are undone first.
        for module, content in reversed(self.modules):
            vars(module).clear()
            vars(module).update(content)
        for owner, name, value in reversed(self.saved):
            if value is Patches:
                delattr(owner, name)
            else:
                setattr(owner, name, value)
        self.saved.clear()
        self.modules.clear()


# ---------------------------------------------------------------- intervals, hostile

OVERRIDABLE = ("absolute_change_percentage", "is_change_significant", "eligible_for_insights",
               "_calculate_absolute_change_percentage", "get_baseline_value", "get_production_value",
               "has_increased_in_production", "__lt__", "__eq__", "to_dict", "add_baseline_value", "__init__")
PROPERTIES = ("absolute_change_percentage", "is_change_significant", "eligible_for_insights")
GLOBALS = ("np", "INFINITY", "DataSetType", "get_python_types", "round_", "uuid4", "ControlBoxManager",
           "IntervalValue", "ContinuousStatisticsInterval", "DiscreteStatisticsInterval", "Interval")
ATTRIBUTES = ("values", "_absolute_change_percentage", "_eligible_for_insights", "lower_bound", "upper_bound",
              "statistical_buffer", "contribution_to_distance", "insights_available", "id", "field")
INTERVAL_MEMBERS = ("absolute_change_percentage", "is_change_significant", "eligible_for_insights",
                    "_calculate_absolute_change_percentage", "add_baseline_value", "add_production_value",
                    "get_baseline_value", "get_production_value", "has_increased_in_production", "to_dict",
                    "from_dict", "from_own_dict", "<", "<=", ">", ">=", "==", "!=", "hash", "repr", "sorted",
                    "deepcopy", "pickle", "init_again", "keywords")
COMPARE = {"<": lambda a, b: a < b, "<=": lambda a, b: a <= b, ">": lambda a, b: a > b,
           ">=": lambda a, b: a >= b, "==": lambda a, b: a == b, "!=": lambda a, b: a != b}


@functools.lru_cache(maxsize=None)
def interval_subclass(kind, overrides):
    """A host subclass whose members answer with a behaviour; ("return", "self") defers to the
    compiled member."""
    base = CLASSES[kind]
    namespace = {}
    for name, behaviour in overrides:
        inherited = getattr(base, name)

        def member(self, *args, _b=behaviour, _name=name, _inherited=inherited):
            if _b == ("return", "self"):
                return _inherited.fget(self) if _name in PROPERTIES else _inherited(self, *args)
            return answer(_b, self)

        namespace[name] = property(member) if name in PROPERTIES else member
    return type("Host" + kind, (base,), namespace)


VALID_FORMS = {kind: new_interval(kind, complete=True).to_dict() for kind in KINDS[1:]}


def own_dict_with_junk(interval, c):
    """The interval's dictionary form (or a valid one) with one entry replaced by junk or dropped."""
    try:
        form = dict(interval.to_dict())
    except BaseException:
        form = dict(VALID_FORMS[c.pick("form kind", KINDS[1:])])
    key = c.pick("form key", list(form))
    if c.chance("drop key", 0.3):
        del form[key]
    else:
        form[key] = build(c.junk("form value"))
    return form


def interval_call(interval, member, args, c):
    """The operation that runs `member` with junk arguments `args`."""
    if member in PROPERTIES:
        return lambda: getattr(interval, member)
    if member in ("add_baseline_value", "add_production_value"):
        return lambda: getattr(interval, member)(*args[:2])
    if member == "keywords":
        return lambda: interval.add_production_value(percentage=args[0], absolute_count=args[-1])
    if member == "from_dict":
        return lambda: type(interval).from_dict(args[0])
    if member == "from_own_dict":
        form = own_dict_with_junk(interval, c)
        return lambda: CLASSES[c.pick("restoring class", KINDS)].from_dict(form)
    if member in COMPARE:
        return lambda: COMPARE[member](interval, args[0]) if len(args) % 2 else COMPARE[member](args[0], interval)
    if member == "hash":
        return lambda: hash(interval)
    if member == "repr":
        return lambda: repr(interval)
    if member == "sorted":
        return lambda: sorted([interval, *args])
    if member == "deepcopy":
        return lambda: copy.deepcopy(interval)
    if member == "pickle":
        return lambda: pickle.loads(pickle.dumps(interval))
    if member == "init_again":
        return lambda: type(interval).__init__(interval, *args)
    return lambda: getattr(interval, member)()


def hostile_interval_case(c):
    kind = c.pick("kind", KINDS)
    overrides = ()
    if c.chance("subclass", 0.25):
        overrides = tuple((c.pick("override", OVERRIDABLE), c.behaviour("overriding behaviour"))
                          for _ in range(c.count("overrides", 1, 3)))
        overrides = tuple(dict(overrides).items())
    cls = interval_subclass(kind, overrides) if overrides else CLASSES[kind]
    patches = Patches()
    try:
        if c.chance("replace globals", 0.2):
            patches.set(iv, c.pick("global", GLOBALS), c.junk_or_callable("global value"))
        if c.chance("delete a global", 0.03):
            patches.delete(iv, c.pick("deleted global", GLOBALS))
        if c.chance("junk thresholds", 0.15):
            box = control_box.ControlBox(build(c.junk("percent threshold")), build(c.junk("count threshold")))
            patches.set(control_box.ControlBoxManager, "_control_box", box)
        arity = 2 if kind == "ContinuousStatisticsInterval" else 1
        arity += c.pick("arity change", (0, 0, 0, 0, 0, 0, -1, 1))
        args = [build(c.junk("constructor argument")) for _ in range(arity)]
        made = outcome(f"{kind}()", lambda: cls(*args))
        if not isinstance(made, Returned):
            return
        interval = made.value
        TARGETS[:] = [interval]
        for _ in range(c.count("measurements", 0, 3)):
            add = c.pick("add", ("add_baseline_value", "add_production_value"))
            count = build(c.junk("count")) if c.chance("junk count", 0.3) else c.number("count", int)
            share = build(c.junk("share")) if c.chance("junk share", 0.3) else c.number("share", float)
            values = vars(interval).get("values")
            before = len(values) if type(values) is list else None
            added = outcome(add, lambda: getattr(interval, add)(count, share))
            if before is not None and not isinstance(added, Returned):
                expect(len(values) <= before, f"{add} failed yet appended to values")
        values = vars(interval).get("values")
        TARGETS.append(values)
        if type(values) is list and c.chance("junk in values", 0.2):
            values.insert(c.count("position", 0, len(values)), build(c.junk("value in values")))
        for _ in range(c.count("assignments", 0, 2)):
            name = c.pick("attribute", ATTRIBUTES)
            if c.chance("delete", 0.2):
                outcome("delattr", lambda: delattr(interval, name))
            else:
                setattr(interval, name, build(c.junk("attribute value")))
        for _ in range(c.count("calls", 1, 5)):
            member = c.pick("member", INTERVAL_MEMBERS)
            args = [build(c.junk("argument")) for _ in range(c.count("arguments", 1, 3))]
            outcome(member, interval_call(interval, member, args, c))
        expect(isinstance(vars(interval), dict), "the instance lost its attribute dictionary")
    finally:
        patches.undo()
        TARGETS.clear()


# ---------------------------------------------------------------- intervals, well-formed: the defined results

def model_change(values):
    if len(values) != 2:
        return -1
    baseline = next((v for v in values if v[0] is B), None)
    production = next((v for v in values if v[0] is P), None)
    if baseline is None or production is None:
        return -1
    if baseline[1] == 0:
        return INFINITY if production[1] != 0 else 0
    if baseline[2] == 0:
        return INFINITY if production[2] != 0 else 0
    return np.abs((production[2] - baseline[2]) / baseline[2])


def model_eligible(values):
    if len(values) < 2:
        raise IndexError
    box = control_box.ControlBoxManager().get_control_box()
    percent, count = box.get_interval_percent_threshold_for_insights(), box.get_interval_count_threshold_for_insights()
    first, second = (share >= percent and n >= count for _, n, share in values[:2])
    return first and second


def model_increased(values):
    baseline = next(v for v in values if v[0] is B)
    production = next(v for v in values if v[0] is P)
    return production[2] > baseline[2]


def is_discrete(interval):
    return type(interval) is CLASSES["DiscreteStatisticsInterval"]


def model_significant(interval, change):
    if not is_discrete(interval):
        return True
    return bool(change) and bool(change > interval.statistical_buffer)


def model_less(a, b, change_a, change_b):
    if change_a == change_b:
        if is_discrete(a):
            return a.contribution_to_distance < b.contribution_to_distance
        if a.lower_bound == b.lower_bound:
            return a.upper_bound < b.upper_bound
        return a.lower_bound < b.lower_bound
    return change_a < change_b


def model_equal(a, b, change_a, change_b):
    result = change_a == change_b
    if not result:
        return result
    if is_discrete(a):
        return a.contribution_to_distance == b.contribution_to_distance
    result = a.lower_bound == b.lower_bound
    return result if not result else a.upper_bound == b.upper_bound


def model_dict(interval, values, change):
    convert = python_utils.get_python_types
    eligible = model_eligible(values)  # the entries fail in their order: eligibility first
    increased = model_increased(values)
    baseline = next(v for v in values if v[0] is B)
    production = next(v for v in values if v[0] is P)
    form = {"id": interval.id, "field": convert(interval.field), "absolute_change_percentage": convert(change),
            "eligible_for_insights": convert(eligible), "insights_available": False,
            "is_change_significant": convert(model_significant(interval, change)),
            "increased_in_production": convert(increased),
            "baseline_absolute_count": baseline[1], "baseline_percentage": baseline[2],
            "production_absolute_count": production[1], "production_percentage": production[2]}
    if type(interval) is CLASSES["ContinuousStatisticsInterval"]:
        form.update(lower_bound=convert(interval.lower_bound), upper_bound=convert(interval.upper_bound))
    elif is_discrete(interval):
        form.update(contribution_to_distance=convert(interval.contribution_to_distance),
                    statistical_buffer=convert(interval.statistical_buffer))
    return form


def not_implemented():
    raise NotImplementedError


def clean_interval(c, kind, label):
    """A well-formed interval of `kind` and the measurements it was given."""
    cls = CLASSES[kind]
    if kind == "ContinuousStatisticsInterval":
        lower, upper = (c.number(f"{label} bound", c.pick("bound type", (int, float))) for _ in "lu")
        interval = cls(lower, upper)
        expect(same(interval.lower_bound, python_utils.round_(lower)) and
               interval.field == f"{interval.lower_bound}-{interval.upper_bound}", "bounds or field")
    else:
        field = c.pick(f"{label} field", (c.palette["text"], c.number("field", int), c.number("field", float)))
        interval = cls(field)
        expect(interval.field is field, "field stored as passed")
    if is_discrete(interval):
        interval.statistical_buffer = c.pick(f"{label} buffer", (-1, 0, 0.3, 0.5))
        interval.contribution_to_distance = c.pick(f"{label} contribution", (-1, 0, 1, 2.5))
    values = []
    for _ in range(c.count(f"{label} measurements", 0, 3)):
        values.append((c.pick("data set", (B, P)), c.pick("count", (0, 5, 10, 12, *c.palette["ints"])),
                       c.pick("share", (0.0, 5.0, 20.0, *c.palette["floats"]))))
        data_set, count, share = values[-1]
        (interval.add_baseline_value if data_set is B else interval.add_production_value)(count, share)
    expect([(v.type, v.absolute_count, v.percentage) for v in interval.values] == values, "measurements in order")
    return interval, values


def clean_interval_case(c):
    kind = c.pick("kind", KINDS)
    interval, values = clean_interval(c, kind, "first")
    other, other_values = clean_interval(c, kind, "second")
    change = model_change(values)
    defined("_calculate_absolute_change_percentage", interval._calculate_absolute_change_percentage, lambda: change)
    defined("absolute_change_percentage", lambda: interval.absolute_change_percentage, lambda: change)
    defined("eligible_for_insights", lambda: interval.eligible_for_insights, lambda: model_eligible(values))
    defined("has_increased_in_production", interval.has_increased_in_production, lambda: model_increased(values))
    defined("is_change_significant", lambda: interval.is_change_significant,
            lambda: model_significant(interval, change))
    form = defined("to_dict", interval.to_dict, lambda: model_dict(interval, values, change))
    other_change = model_change(other_values)
    if kind == "Interval":
        for op in COMPARE:
            defined(op, lambda: COMPARE[op](interval, other), not_implemented)
        return
    less = model_less(interval, other, change, other_change)
    equal = model_equal(interval, other, change, other_change)
    defined("<", lambda: interval < other, lambda: less)
    defined("==", lambda: interval == other, lambda: equal)
    defined("!=", lambda: interval != other, lambda: not equal)
    defined(">", lambda: interval > other, lambda: (not less) and not equal)
    defined("<=", lambda: interval <= other, lambda: less or equal)
    defined(">=", lambda: interval >= other, lambda: not less)
    if isinstance(form, Returned):
        stored = form.value
        restored = CLASSES[kind].from_dict(stored)
        kept = [(B, stored["baseline_absolute_count"], stored["baseline_percentage"]),
                (P, stored["production_absolute_count"], stored["production_percentage"])]
        expect(restored.id == stored["id"] and restored.insights_available is False, "restored id and flag")
        expect([(v.type, v.absolute_count) for v in restored.values] == [k[:2] for k in kept], "restored values")
        expect(same(restored._absolute_change_percentage, model_change(kept)), "restored change is recomputed")


# ---------------------------------------------------------------- the provider

class Params:
    DECODING_METHOD, MAX_NEW_TOKENS, MIN_NEW_TOKENS = "decoding", "max_tokens", "min_tokens"


class FakeClient:
    """A client package for sys.modules whose model objects answer with scripted outcomes: an
    exception is raised, a behaviour is acted out, anything else is returned."""

    def __init__(self, outcomes=(), inference=None, params=Params, missing=None):
        self.outcomes, self.built, self.requests = list(outcomes), [], []
        package = types.ModuleType("plenx_auvrix_ai")
        package.foundation_models = types.ModuleType("plenx_auvrix_ai.foundation_models")
        package.metanames = types.ModuleType("plenx_auvrix_ai.metanames")
        package.foundation_models.ModelInference = inference or self.model_inference
        package.metanames.GenTextParamsMetaNames = params
        self.modules = {m.__name__: m for m in (package, package.foundation_models, package.metanames)}
        if missing:
            self.modules[missing] = None

    def model_inference(self, **kwargs):
        self.built.append(kwargs)
        model = types.SimpleNamespace()
        model.generate_text = lambda *args, **kw: self.generate(model, args, kw)
        return model

    def generate(self, model, args, kwargs):
        result = self.outcomes.pop(0) if self.outcomes else object()
        self.requests.append((model, args, kwargs, result))
        if isinstance(result, BaseException):
            raise result
        if isinstance(result, tuple):
            return answer(result, model)
        return result


class Installed:
    """A fake client in sys.modules and a fake clock in the provider module, for one case."""

    def __init__(self, client, sleep):
        self.client, self.sleep, self.saved = client, sleep, {}

    def __enter__(self):
        for name in CLIENT_MODULES:
            self.saved[name] = sys.modules.get(name, Installed)
            sys.modules[name] = self.client.modules[name]
        self.time = vars(provider_module)["time"]
        provider_module.time = types.SimpleNamespace(sleep=self.sleep)
        return self

    def __exit__(self, *exc):
        provider_module.time = self.time
        for name, module in self.saved.items():
            if module is Installed:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module


VALIDATION = [("project_id", "Project id should be specified for PLENX Auvrix AI models"),
              ("url", "url is missing from the specified Auvrix AI credentials"),
              ("apikey", "apikey is missing from the specified Auvrix AI credentials"),
              ("model_name", "The provided model_name is None. Please provide a valid model name.")]


def clean_provider_case(c):
    missing = [name for name, _ in VALIDATION if c.chance(f"{name} is None", 0.15)]
    client, pauses, logged = FakeClient(), [], []
    own_params = c.pick("generate_params", ({}, {"k": 1}))
    creds = {"url": "https://platform.invalid", "apikey": SECRET}
    creds.update({key: None for key in missing if key in creds})
    args = dict(project_id=None if "project_id" in missing else "p", credentials=creds,
                generate_params=own_params, model_name=None if "model_name" in missing else "m")
    with Installed(client, pauses.append):
        built = outcome("PLENXAuvrixAIProvider()", lambda: Provider(**args))
        failing = [message for name, message in VALIDATION if name in missing]
        if failing:
            expect(type(built) is ValueError and str(built) == failing[0] and client.built == [], "validation")
            return
        provider = built.value
        expect(client.built[0]["params"] is own_params and client.built[0]["model_id"] == "m", "generation model")
        expect(client.built[1]["model_id"] is ParaphrasingModel.META_LLAMA_3_3_70B_INSTRUCT, "paraphrasing model")
        prompts = ["q"]
        result = outcome("get_model_responses", lambda: provider.get_model_responses(prompts))
        expect(isinstance(result, Returned) and result.value is client.requests[-1][3] and
               client.requests[-1][0] is provider.model and client.requests[-1][2] == {"prompt": prompts},
               "model responses")
        judge = c.pick("judge params", (None, {}, {"max_tokens": 200}))
        result = outcome("get_judge_model_responses", lambda: provider.get_judge_model_responses(prompts, None, judge))
        expect(isinstance(result, Returned) and result.value is client.requests[-1][3] and
               client.built[-1]["params"] == (judge or {"max_tokens": 60, "min_tokens": 1}) and
               client.built[-1]["model_id"] == "m", "judge responses")
        provider.logger = types.SimpleNamespace(log_warning=logged.append)
        script = [c.pick("paraphrase outcome", ("ok", "503", "503", "other")) for _ in range(c.count("attempts", 0, 4))]
        client.outcomes = [object() if o == "ok" else RuntimeError("x 503 y") if o == "503" else KeyError("other")
                           for o in script]
        expected = list(client.outcomes)
        result = outcome("get_paraphrasing_responses", lambda: provider.get_paraphrasing_responses("p"))
        timeouts = 0
        for item in expected:
            if isinstance(item, RuntimeError):
                timeouts += 1
                if timeouts == 3:
                    expect(type(result) is Exception and
                           str(result) == "Failed to generate paraphrases after 3 retries", "retry limit")
                    break
                continue
            expect(result is item if isinstance(item, KeyError) else getattr(result, "value", None) is item,
                   "paraphrase outcome")
            break
        else:
            expect(isinstance(result, Returned), "a fresh result after the scripted outcomes")
        expect(logged == [TIMEOUT_WARNING] * timeouts and len(pauses) <= timeouts, "warnings and pauses")


PROVIDER_ATTRIBUTES = ("model", "paraphrase_model", "credentials", "project_id", "model_name", "generate_params",
                       "logger", "rate_limit")
PROVIDER_GLOBALS = ("get", "ParaphrasingModel", "time", "_default_logger")
PROVIDER_MEMBERS = ("get_model_responses", "get_judge_model_responses", "get_paraphrasing_responses",
                    "_PLENXAuvrixAIProvider__get_model_object", "_PLENXAuvrixAIProvider__validate",
                    "_PLENXAuvrixAIProvider__get_paraphrasing_model", "repr", "deepcopy")


def hostile_provider_case(c):
    global SECRET_CHECKED
    valid = {"project_id": "p", "credentials": {"url": "u", "apikey": SECRET}, "rate_limit": 8,
             "generate_params": {}, "model_name": "m"}
    kwargs = {name: build(c.junk(name)) if c.chance(f"junk {name}", 0.2) else value for name, value in valid.items()}
    inference = junk_callable(c.behaviour("ModelInference")) if c.chance("junk ModelInference", 0.15) else None
    params = Params
    if c.chance("junk GenTextParamsMetaNames", 0.15):
        params = type("JunkParams", (), {name: build(c.junk(name)) for name in
                                         ("DECODING_METHOD", "MAX_NEW_TOKENS", "MIN_NEW_TOKENS")
                                         if c.chance(f"has {name}", 0.7)})
    missing = c.pick("missing module", (None,) * 8 + CLIENT_MODULES)
    outcomes = [c.behaviour("generate_text") if c.chance("generate_text misbehaves", 0.6) else object()
                for _ in range(c.count("generate_text outcomes", 0, 4))]
    sleep = junk_callable(c.behaviour("sleep")) if c.chance("junk sleep", 0.1) else (lambda seconds: None)
    patches = Patches()
    with Installed(FakeClient(outcomes, inference, params, missing), sleep):
        try:
            if c.chance("replace globals", 0.1):
                patches.set(provider_module, c.pick("global", PROVIDER_GLOBALS), c.junk_or_callable("global value"))
                SECRET_CHECKED = False
            elif c.chance("delete a global", 0.03):
                patches.delete(provider_module, c.pick("deleted global", PROVIDER_GLOBALS))
            kwargs = list(kwargs.values()) if c.chance("positional", 0.3) else kwargs
            made = outcome("PLENXAuvrixAIProvider()",
                           lambda: Provider(*kwargs) if isinstance(kwargs, list) else Provider(**kwargs))
            if not isinstance(made, Returned):
                return
            provider = made.value
            TARGETS[:] = [provider]
            for _ in range(c.count("assignments", 0, 2)):
                name = c.pick("attribute", PROVIDER_ATTRIBUTES)
                if c.chance("delete", 0.2):
                    outcome("delattr", lambda: delattr(provider, name))
                else:
                    setattr(provider, name, build(c.junk("attribute value")))
            for _ in range(c.count("calls", 1, 4)):
                member = c.pick("member", PROVIDER_MEMBERS)
                args = [build(c.junk("argument")) for _ in range(c.count("arguments", 0, 3))]
                if member == "repr":
                    shown = outcome("repr", lambda: repr(provider))
                    expect(SECRET not in safe_text(getattr(shown, "value", "")), "repr shows the credentials")
                elif member == "deepcopy":
                    outcome(member, lambda: copy.deepcopy(provider))
                else:
                    outcome(member, lambda: getattr(provider, member)(*args))
        finally:
            patches.undo()
            TARGETS.clear()
            SECRET_CHECKED = True


# ---------------------------------------------------------------- examples, batches and workers

SCENARIOS = {"interval, well-formed": clean_interval_case, "interval, hostile": hostile_interval_case,
             "provider, well-formed": clean_provider_case, "provider, hostile": hostile_provider_case}
WEIGHTED = ["interval, well-formed"] * 2 + ["interval, hostile"] * 4 + ["provider, well-formed"] + \
           ["provider, hostile"] * 3


@contextlib.contextmanager
def quiet():
    """Warnings and the provider's fallback log would flood the output."""
    log, handler = logging.getLogger(provider_module.__name__), logging.NullHandler()
    propagate = log.propagate
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        log.addHandler(handler)
        log.propagate = False
        try:
            yield
        finally:
            log.removeHandler(handler)
            log.propagate = propagate


def module_state():
    """The globals of both modules (names and objects, in order) and the control box in force."""
    state = [(name, id(value)) for module in (iv, provider_module) for name, value in vars(module).items()]
    return state + [id(control_box.ControlBoxManager._control_box)]


def run_example(palette, trace=False):
    """Runs the cases made from one palette; a failed check names the case's choices."""
    TALLY.examples += 1
    before = module_state()
    rng = random.Random(palette["seed"])
    for number in range(CASES_PER_EXAMPLE):
        c = Choices(palette, rng, trace)
        scenario = c.pick("scenario", WEIGHTED)
        if trace:
            print(f"  case {number}: {scenario}", file=sys.stderr, flush=True)
        TALLY.cases += 1
        TALLY.outcomes["scenario", scenario] += 1
        try:
            SCENARIOS[scenario](c)
        except Exception as raised:
            choices = "\n".join(f"    {label}: {value!r}" for label, value in c.log)
            raise Failure(f"case {number} ({scenario}) failed: {raised!r}\n  choices:\n{choices}") from raised
    # Every case must leave the modules as it found them, or later cases test something else.
    assert module_state() == before, "a case left the modules changed"


def run_batch(examples, batch_seed, trace=False):
    """Runs `examples` hypothesis examples from `batch_seed`; raises on a failed outcome."""

    def example(palette):
        if trace:
            print(f"example: {palette!r}", file=sys.stderr, flush=True)
        run_example(palette, trace)

    test = given(PALETTE)(example)
    test = settings(max_examples=examples, database=None, deadline=None, derandomize=False,
                    phases=[Phase.generate, Phase.shrink], suppress_health_check=list(HealthCheck),
                    print_blob=False)(test)
    seed(batch_seed)(test)()


def run_cases(cases, first_seed=0, batch=40, trace=False):
    """Runs at least `cases` cases in this process, `batch` examples to a hypothesis run."""
    TALLY.__init__()
    batch_seed = first_seed
    with quiet():
        while TALLY.cases < cases:
            remaining = -(-(cases - TALLY.cases) // CASES_PER_EXAMPLE)
            run_batch(min(batch, remaining), batch_seed, trace)
            batch_seed += 1
            gc.collect()
    return TALLY


def worker(args):
    tally = run_cases(args.cases, args.seed, args.batch, args.trace)
    print(json.dumps({"examples": tally.examples, "cases": tally.cases, "calls": tally.calls,
                      "outcomes": [[*key, n] for key, n in tally.outcomes.items()]}))


def spawn(cases, first_seed, batch, trace=False):
    command = [sys.executable, os.path.abspath(__file__), "--worker", "--cases", str(cases), "--seed",
               str(first_seed), "--batch", str(batch)] + (["--trace"] if trace else [])
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def report_crash(chunk_seed, cases, batch, returncode):
    """Replays a crashed chunk with every choice traced, and prints what it ran last."""
    print(f"\nCRASH: the worker of seed {chunk_seed} ended with {returncode}; replaying it traced", flush=True)
    _, err = spawn(cases, chunk_seed, batch, trace=True).communicate()
    lines = err.splitlines()
    examples = [i for i, line in enumerate(lines) if line.startswith("example: ")]
    cases_begun = [i for i, line in enumerate(lines) if line.startswith("  case ")]
    if examples and cases_begun:
        print(lines[examples[-1]])  # the palette the crashing case was made from
        lines = lines[cases_begun[-1]:]
    print("\n".join(lines[-200:]))
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", type=int, default=1_000_000, help="cases to run in all")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="worker processes")
    parser.add_argument("--seed", type=int, default=0, help="seed of the first hypothesis run")
    parser.add_argument("--batch", type=int, default=40, help="hypothesis examples to a run")
    parser.add_argument("--chunk", type=int, default=50_000, help="cases to a worker process")
    parser.add_argument("--replay", metavar="PALETTE", help="run the cases of one example, as a report printed it")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--trace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args)
    if args.replay:
        palette = eval(args.replay, {"__builtins__": {}}, {"nan": math.nan, "inf": math.inf})
        with quiet():
            run_example(palette, trace=True)
        return 0

    started = time.monotonic()
    chunks = [(args.seed + i * 10_000, min(args.chunk, args.cases - start))
              for i, start in enumerate(range(0, args.cases, args.chunk))]
    running, totals, outcomes, status = [], collections.Counter(), collections.Counter(), 0
    while (chunks or running) and status == 0:
        while chunks and len(running) < args.workers:
            chunk_seed, size = chunks.pop(0)
            running.append((chunk_seed, size, spawn(size, chunk_seed, args.batch)))
        chunk_seed, size, process = running.pop(0)
        out, err = process.communicate()
        if process.returncode < 0:
            status = report_crash(chunk_seed, size, args.batch, process.returncode)
        elif process.returncode != 0:
            print(f"\nFAILURE in the chunk of seed {chunk_seed}:\n{err[-8000:]}", flush=True)
            status = 1
        else:
            summary = json.loads(out)
            totals.update({key: summary[key] for key in ("examples", "cases", "calls")})
            outcomes.update({(label, result): n for label, result, n in summary["outcomes"]})
            print(f"{totals['cases']:>11,} cases  {totals['calls']:>11,} member calls  "
                  f"{time.monotonic() - started:7.0f} s", flush=True)
    for _, _, process in running:
        process.kill()

    elapsed = time.monotonic() - started
    print(f"\n{totals['cases']:,} cases ({totals['examples']:,} hypothesis examples), {totals['calls']:,} member "
          f"calls in {elapsed:.0f} s, {args.workers} workers: {'FAILED' if status else 'no crash, no failure'}")
    scenarios = {result: n for (label, result), n in outcomes.items() if label == "scenario"}
    print("cases: " + ", ".join(f"{name} {n:,}" for name, n in sorted(scenarios.items())))
    by_member = collections.defaultdict(collections.Counter)
    for (label, result), n in outcomes.items():
        if label != "scenario":
            by_member[label][result] += n
    print("outcomes by member (ok, or the exception's type):")
    for label in sorted(by_member):
        common = ", ".join(f"{result} {n:,}" for result, n in by_member[label].most_common(5))
        print(f"  {label:<48} {common}")
    return status


if __name__ == "__main__":
    sys.exit(main())
