"""Runs the compiled interval module and its plain-Python model (interval_model.py) in lockstep.

Each step is drawn from a source of choices (hypothesis in the test suite, a seeded random
generator in fuzz/model_run.py) as plain data, then carried out in both worlds: the same
operation, on each world's own intervals, with hostile objects built for each world from the
same recipe (comparisons, conversions, truth tests and finalisers that mutate intervals, replace
module globals or raise). After every step both worlds must agree: results, exceptions with
their messages and cause/context chains, the attributes of every interval, and the calls made
into the helpers and the control box.
"""
import functools
import importlib
import math
import os
import re
import sys
import types
import uuid

import numpy as np

import interval_model
from plenx_metrics_plugin.common.utils import python_utils
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as compiled
from plenx_metrics_plugin.metrics.drift_v2.utils import constants, control_box

ATTRIBUTES = ("id", "field", "values", "_absolute_change_percentage", "_eligible_for_insights",
              "insights_available", "lower_bound", "upper_bound", "contribution_to_distance",
              "statistical_buffer")
REPLACEABLE = ("uuid4", "get_python_types", "round_", "np", "INFINITY", "DataSetType", "ControlBoxManager")
UUID_TEXT = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}|[0-9a-f]{12}4[0-9a-f]{19}")
FIXED_UUID = "11111111-1111-4111-9111-111111111111"  # what uuid4 makes of os.urandom giving 0x11 bytes


def ids_hidden(text):
    """`text` with random UUIDs replaced: they differ between the worlds, but not their form."""
    return UUID_TEXT.sub(lambda m: m.group() if m.group() == FIXED_UUID else "<uuid>", text)
_ABSENT = object()


# ---- sources of choices --------------------------------------------------------------------

class RandomSource:
    """Choices from a seeded random.Random."""

    def __init__(self, rng):
        self.rng = rng

    def pick(self, options):
        return options[self.rng.randrange(len(options))]

    def integer(self, low, high):
        return self.rng.randint(low, high)


class DrawSource:
    """Choices drawn through hypothesis (st.data()), so that failures shrink."""

    def __init__(self, data):
        import hypothesis.strategies as st
        self.data, self.st = data, st

    def pick(self, options):
        return self.data.draw(self.st.sampled_from(options))

    def integer(self, low, high):
        return self.data.draw(self.st.integers(low, high))


# ---- hostile objects -----------------------------------------------------------------------

class Truth:
    """A comparison's result whose truth test may raise."""

    def __init__(self, value, raises):
        self.value, self.raises = value, raises

    def __bool__(self):
        if self.raises:
            raise ValueError("no truth")
        return self.value


class Hostile:
    """A number whose comparisons, conversion and finaliser run an action in its world."""

    def __init__(self, world, uid, value, action, mode):
        self.world, self.uid, self.value, self.action, self.mode = world, uid, value, action, mode
        self.fired = 0

    def _run(self, when):
        if self.mode == when and self.fired < 3:
            self.fired += 1
            self.world.act(self.action)

    def _compare(self, other, op):
        self._run("compare")
        theirs = other.value if isinstance(other, Hostile) else other
        try:
            result = op(self.value, theirs)
        except TypeError:
            return NotImplemented
        if self.action[0] == "truth":
            return Truth(bool(result), self.action[1])
        return result

    def __eq__(self, other):
        return self._compare(other, lambda a, b: a == b)

    def __ne__(self, other):
        return self._compare(other, lambda a, b: a != b)

    def __lt__(self, other):
        return self._compare(other, lambda a, b: a < b)

    def __gt__(self, other):
        return self._compare(other, lambda a, b: a > b)

    def __le__(self, other):
        return self._compare(other, lambda a, b: a <= b)

    def __ge__(self, other):
        return self._compare(other, lambda a, b: a >= b)

    __hash__ = None

    def __bool__(self):
        self._run("bool")
        return bool(self.value)

    def __float__(self):
        self._run("float")
        return float(self.value)

    def __format__(self, spec):
        return f"H{self.uid}"

    def __repr__(self):
        return f"H{self.uid}"

    def __del__(self):
        self.world.finalising += 1
        try:
            self._run("del")
        except Exception:
            pass
        finally:
            self.world.finalising -= 1


class FlippingMeta(type):
    """A metaclass that serves DataSetType's members through __getattr__, swapping them after a
    few lookups: a lookup that runs code may answer differently each time."""

    def __getattr__(cls, name):
        if name not in ("BASELINE", "PRODUCTION"):
            raise AttributeError(name)
        cls.lookups += 1
        if cls.lookups > cls.swap_after:
            name = "PRODUCTION" if name == "BASELINE" else "BASELINE"
        return getattr(constants.DataSetType, name)


# ---- one world -----------------------------------------------------------------------------

class World:
    def __init__(self, module, label):
        self.module, self.label = module, label
        self.intervals = []
        self.hostiles = 0
        self.calls = []
        self.counter = 0
        self.closed = False
        self.finalising = 0  # finalisers running: when they run depends on frames, which only the model has
        self.used = []
        self.use(module)

    def use(self, module):
        """Makes `module` (a fresh import of it, say) the one new intervals come from."""
        self.module = module
        self.used.append(module)
        self.subclasses = {
            "continuous": type("SubContinuous", (module.ContinuousStatisticsInterval,), {}),
            "discrete": type("SubDiscrete", (module.DiscreteStatisticsInterval,), {}),
        }

    # what hostile objects and replaced globals do
    def act(self, action):
        if self.closed:  # a finaliser run after the sequence ended changes nothing
            return
        kind = action[0]
        if kind == "set" and action[1] < len(self.intervals):
            setattr(self.intervals[action[1]], action[2], self.value(action[3]))
        elif kind == "add" and action[1] < len(self.intervals):
            self.intervals[action[1]].add_baseline_value(1, 2.0)
        elif kind == "global":
            self.replace(action[1], action[2])
        elif kind == "build":
            self.module.DiscreteStatisticsInterval("inner")
        elif kind == "raise":
            raise {"KeyError": KeyError, "ValueError": ValueError, "AttributeError": AttributeError}[action[1]]("hostile")

    def value(self, recipe):
        kind = recipe[0]
        if kind == "interval":
            return self.intervals[recipe[1]] if recipe[1] < len(self.intervals) else 0
        if kind == "hostile":
            self.hostiles += 1
            return Hostile(self, self.hostiles, recipe[1], recipe[2], recipe[3])
        if kind == "np64":
            return np.float64(recipe[1])
        if kind == "list":
            return [self.value(r) for r in recipe[1]]
        return recipe[1]

    def replacement(self, name, recipe):
        real = getattr(interval_model, name) if name != "np" else np
        kind = recipe[0]
        if kind == "real":
            return real
        if kind == "logged":
            @functools.wraps(real)
            def logged(*args):
                self.calls.append((name, len(args)))
                return real(*args)
            return logged
        if kind == "counter":
            def ids():
                self.counter += 1
                return f"id-{recipe[1]}-{self.counter}"
            return ids
        if kind == "doomed":  # a uuid4 that, once dropped, replaces itself as it goes
            world = self

            class Doomed:
                def __call__(self):
                    return "id-doomed"

                def __del__(self):
                    if world.closed:
                        return
                    world.finalising += 1
                    try:
                        world.replace("uuid4", ("counter", "after"))
                        world.module.DiscreteStatisticsInterval("inner")
                    except RecursionError:
                        pass  # run near the limit, where the two worlds' depths may differ by a frame
                    finally:
                        world.finalising -= 1
            return Doomed()
        if kind == "fake_np":
            return types.SimpleNamespace(abs=lambda x: ("abs", round(x, 6)))
        if kind == "text":
            return "infinite"
        if kind == "flipping":
            return FlippingMeta("FlippingDataSetType", (), {"lookups": 0, "swap_after": recipe[1]})
        if kind == "box":
            world = self

            class Box:
                def get_interval_percent_threshold_for_insights(self):
                    world.calls.append("percent")
                    return recipe[1]

                def get_interval_count_threshold_for_insights(self):
                    world.calls.append("count")
                    return recipe[2]

            class Manager:
                def get_control_box(self):
                    world.calls.append("box")
                    return Box()
            return Manager
        raise AssertionError(recipe)

    def replace(self, name, recipe):
        setattr(self.module, name, self.replacement(name, recipe))

    def restore(self):
        self.closed = True
        for module in self.used:
            for name in REPLACEABLE:
                setattr(module, name, getattr(interval_model, name) if name != "np" else np)


# ---- describing what happened ----------------------------------------------------------------

def norm(world, value, depth=0):
    """`value` as comparable data: world objects by their index, numbers by type and repr."""
    if depth > 4:
        return "..."
    if value is _ABSENT:
        return "<absent>"
    if isinstance(value, Hostile):
        return ("H", value.uid)
    if isinstance(value, Truth):
        return ("T", value.value, value.raises)
    for index, interval in enumerate(world.intervals):
        if value is interval:
            return ("I", index)
    if isinstance(value, world.module.IntervalValue):
        return ("V",) + tuple(norm(world, getattr(value, n, _ABSENT), depth + 1)
                              for n in ("type", "absolute_count", "percentage"))
    if isinstance(value, world.module.Interval):
        return ("I?", type(value).__name__)
    if isinstance(value, (bool, int, float, np.generic)):
        return (type(value).__name__, "nan" if isinstance(value, float) and math.isnan(value) else repr(value))
    if isinstance(value, str):
        return ids_hidden(value)
    if isinstance(value, (list, tuple)):
        return (type(value).__name__,) + tuple(norm(world, v, depth + 1) for v in value)
    if isinstance(value, dict):
        return ("dict",) + tuple((k, norm(world, v, depth + 1)) for k, v in value.items())
    if isinstance(value, constants.DataSetType):
        return ("D", value.name)
    if value is None or value is NotImplemented:
        return repr(value)
    return ("other", type(value).__name__)


def describe_error(world, error, depth=0):
    if error is None or depth > 5:
        return None
    if isinstance(error, RecursionError):  # where the limit trips is the interpreter's business
        return ("RecursionError",)
    message = ids_hidden(str(error))
    return (type(error).__name__, message, error.__suppress_context__,
            describe_error(world, error.__cause__, depth + 1), describe_error(world, error.__context__, depth + 1))


def state(world):
    rows = []
    for interval in world.intervals:
        rows.append(tuple((name, norm(world, getattr(interval, name, _ABSENT))) for name in ATTRIBUTES))
    return rows


# ---- the lockstep machine ------------------------------------------------------------------

NUMBERS = [("int", 0), ("int", 1), ("int", -1), ("int", 10), ("int", 2 ** 70), ("float", 0.0), ("float", 0.5),
           ("float", 20.0), ("float", -1.0), ("float", 1.2345), ("float", float("inf")), ("float", float("nan")),
           ("bool", True), ("np64", 0.5), ("np64", 20.0), ("str", "12"), ("none", None)]
ACTIONS = [("noop",), ("set", 0, "contribution_to_distance", ("int", 3)), ("set", 1, "_absolute_change_percentage", ("int", -1)),
           ("set", 0, "values", ("list", [])), ("add", 0), ("add", 1), ("global", "uuid4", ("counter", "h")),
           ("global", "get_python_types", ("logged",)), ("global", "round_", ("logged",)), ("build",),
           ("raise", "KeyError"), ("raise", "ValueError"), ("raise", "AttributeError"), ("truth", False), ("truth", True)]
MODES = ["compare", "bool", "float", "del"]
MEMBERS = ["absolute_change_percentage", "is_change_significant", "eligible_for_insights",
           "has_increased_in_production", "get_baseline_value", "get_production_value",
           "_calculate_absolute_change_percentage", "to_dict", "repr"]
OPERATORS = ["<", "<=", ">", ">=", "==", "!="]
GLOBAL_RECIPES = {
    "uuid4": [("real",), ("counter", "a"), ("doomed",)],
    "get_python_types": [("real",), ("logged",)],
    "round_": [("real",), ("logged",)],
    "np": [("real",), ("fake_np",)],
    "INFINITY": [("real",), ("text",)],
    "DataSetType": [("real",), ("flipping", 2), ("flipping", 7)],
    "ControlBoxManager": [("real",), ("box", 5.0, 10), ("box", 30.0, 0)],
}
ALIASES = [("get_baseline_value", "has_increased_in_production"), ("_calculate_absolute_change_percentage", None),
           ("has_increased_in_production", "to_dict"), ("get_production_value", "get_baseline_value"),
           ("__lt__", "__eq__"), ("is_change_significant", "eligible_for_insights"),
           ("absolute_change_percentage", "eligible_for_insights"), ("absolute_change_percentage", None)]


# ---- tracers ---------------------------------------------------------------------------------

# The calls a tracer sees that both worlds must show alike: those of the helpers, of uuid and of
# the control box, for which native work may stand in (the model's own frames, and the compiled
# module's lack of them, are each world's own).
SEEN_FILES = tuple(os.path.normcase(os.path.realpath(m.__file__)) for m in (python_utils, uuid))
# The control box's methods the intervals call (the harness makes boxes of its own).
SEEN_METHODS = (os.path.normcase(os.path.realpath(control_box.__file__)),
                {"ControlBoxManager.get_control_box", "ControlBox.get_interval_percent_threshold_for_insights",
                 "ControlBox.get_interval_count_threshold_for_insights"})
TRACERS = ["none", "settrace", "setprofile"] + (["monitoring", "monitoring local"] if hasattr(sys, "monitoring") else [])
MONITORING_TOOL = 3
# What "monitoring local" sets its events on: some of the originals the compiled module stands in for.
LOCALLY_MONITORED = (python_utils.get_python_types, python_utils.round_, uuid.uuid4, uuid.UUID.__str__,
                     control_box.ControlBox.get_interval_count_threshold_for_insights)


def seen_function(code):
    file = os.path.normcase(os.path.realpath(code.co_filename))
    seen = file in SEEN_FILES or (file == SEEN_METHODS[0] and code.co_qualname in SEEN_METHODS[1])
    return code.co_qualname if seen else None


class Traced:
    """Runs an operation with a tracer of the given kind, noting into the world's calls the calls
    it sees, but those of finalisers (a traced frame of the model may hold an object a while longer)."""

    def __init__(self, kind, world):
        self.kind, self.world = kind, world

    def note(self, code, how):
        name = seen_function(code)
        if name is not None and not self.world.finalising:
            self.world.calls.append((how, name))

    def __enter__(self):
        if self.kind in ("settrace", "setprofile"):
            def hook(frame, event, arg):
                if event == "call":
                    self.note(frame.f_code, self.kind)
            self.saved = getattr(sys, "get" + self.kind[3:])()
            getattr(sys, self.kind)(hook)
        elif self.kind.startswith("monitoring"):
            mon = sys.monitoring
            mon.use_tool_id(MONITORING_TOOL, "lockstep")
            mon.register_callback(MONITORING_TOOL, mon.events.PY_START, lambda code, offset: self.note(code, "monitoring"))
            if self.kind == "monitoring":
                mon.set_events(MONITORING_TOOL, mon.events.PY_START)
            else:  # on some originals' own code only
                for function in LOCALLY_MONITORED:
                    mon.set_local_events(MONITORING_TOOL, function.__code__, mon.events.PY_START)
        return self

    def __exit__(self, *exc):
        if self.kind in ("settrace", "setprofile"):
            getattr(sys, self.kind)(self.saved)
        elif self.kind.startswith("monitoring"):
            mon = sys.monitoring
            mon.set_events(MONITORING_TOOL, 0)
            for function in LOCALLY_MONITORED:
                mon.set_local_events(MONITORING_TOOL, function.__code__, 0)
            mon.register_callback(MONITORING_TOOL, mon.events.PY_START, None)
            mon.free_tool_id(MONITORING_TOOL)


class Lockstep:
    """Both worlds, and the steps that drive them."""

    def __init__(self):
        self.worlds = [World(compiled, "compiled"), World(interval_model.load(), "model")]
        self.saved = (os.urandom, python_utils.round_.__defaults__, python_utils.get_python_types.__code__,
                      control_box.ControlBoxManager._control_box)
        self.before_import = (python_utils.get_python_types, uuid.UUID.__str__, np.abs)
        self.steps = []
        self.tracer = "none"  # what sees the calls of the steps that follow

    def close(self):
        # The functions first: what was changed in place is then undone on the original.
        python_utils.get_python_types, uuid.UUID.__str__, np.abs = self.before_import
        os.urandom, python_utils.round_.__defaults__, python_utils.get_python_types.__code__, \
            control_box.ControlBoxManager._control_box = self.saved
        if sys.modules.get(compiled.__name__) is not compiled:  # a fresh import replaced it
            sys.modules[compiled.__name__] = compiled
            setattr(sys.modules[compiled.__name__.rpartition(".")[0]], "interval", compiled)
        for world in self.worlds:
            world.restore()
        # The order of attributes as vars() shows it: read last, as it moves them into a dict.
        orders = [[list(vars(i)) for i in world.intervals] for world in self.worlds]
        self.worlds = []
        assert orders[0] == orders[1], "attribute order differs"

    # Carrying out one operation in both worlds and comparing.
    def run(self, name, operation):
        outcomes = []
        calls_before = len(self.worlds[0].calls), len(self.worlds[1].calls)
        for world in self.worlds:
            try:
                with Traced(self.tracer, world):
                    done = operation(world)
                result = ("returned", norm(world, done))
            except Exception as error:  # noqa: BLE001 - every failure is compared
                result = ("raised", describe_error(world, error))
            outcomes.append((result, state(world), list(world.calls)))
        self.steps.append(name)
        if outcomes[0][0] == outcomes[1][0] == ("raised", ("RecursionError",)):
            # How many calls each made before the limit tripped is the interpreter's business.
            for world, before in zip(self.worlds, calls_before):
                del world.calls[before:]
            outcomes = [(result, rows, []) for result, rows, _ in outcomes]
        compiled_outcome, model_outcome = outcomes
        for what, mine, theirs in zip(("outcome", "state", "calls"), compiled_outcome, model_outcome):
            assert mine == theirs, f"{what} differs after {self.steps}:\ncompiled: {mine}\nmodel:    {theirs}"
        return compiled_outcome[0]

    def number(self, src):
        if src.integer(0, 5) == 0:
            return ("hostile", src.pick([0, 0.5, 20.0, 1]), src.pick(ACTIONS), src.pick(MODES))
        return src.pick(NUMBERS)

    def step(self, src):
        count = len(self.worlds[0].intervals)
        kind = src.pick(["new"] * 3 + ["add"] * 4 + ["read"] * 3 + ["compare"] * 3 + ["set", "sort", "to_dict",
                         "from_dict", "global", "shared", "alias", "layout", "id", "uninterned", "reimport",
                         "tracer"])
        if kind == "new" or count == 0:
            which = src.pick(["continuous", "discrete", "sub continuous", "sub discrete"])
            args = [self.number(src)] * (2 if "continuous" in which else 1)
            if "continuous" in which:
                args[1] = self.number(src)

            def new(world):
                cls = (world.subclasses[which.split()[1]] if which.startswith("sub") else
                       getattr(world.module, f"{which.capitalize()}StatisticsInterval"))
                made = cls(*[world.value(a) for a in args])
                world.intervals.append(made)
                return None
            return self.run(("new", which, args), new)
        i = src.integer(0, count - 1)
        if kind == "add":
            which = src.pick(["add_baseline_value", "add_production_value"])
            arguments = (src.pick([("int", 10), ("int", 0), ("int", 25), ("bool", True), ("float", 3.0)]), self.number(src))
            return self.run(("add", i, which, arguments), lambda w: getattr(w.intervals[i], which)(
                *[w.value(a) for a in arguments]))
        if kind == "read":
            member = src.pick(MEMBERS)

            def read(world):
                interval = world.intervals[i]
                if member == "repr":
                    return repr(interval)
                found = getattr(interval, member)
                return found() if callable(found) else found
            return self.run(("read", i, member), read)
        if kind == "compare":
            op = src.pick(OPERATORS)
            other = ("interval", src.integer(0, count - 1)) if src.integer(0, 4) else self.number(src)
            return self.run(("compare", i, op, other), lambda w: eval(f"a {op} b", {"a": w.intervals[i], "b": w.value(other)}))
        if kind == "set":
            name = src.pick(["contribution_to_distance", "statistical_buffer", "_absolute_change_percentage",
                             "_eligible_for_insights", "lower_bound", "field", "values"])
            value = ("interval", src.integer(0, count - 1)) if src.integer(0, 5) == 0 else self.number(src)
            return self.run(("set", i, name, value), lambda w: setattr(w.intervals[i], name, w.value(value)))
        if kind == "sort":
            return self.run(("sort",), lambda w: sorted(w.intervals))
        if kind == "to_dict":
            return self.run(("to_dict", i), lambda w: w.intervals[i].to_dict())
        if kind == "from_dict":
            drop = src.pick([None, "id", "lower_bound", "field", "baseline_percentage"])
            target = src.pick(["own", "Continuous", "Discrete", "Interval"])

            def restore(world):
                stored = world.intervals[i].to_dict()
                if drop:
                    stored.pop(drop, None)
                cls = type(world.intervals[i]) if target == "own" else getattr(
                    world.module, target if target == "Interval" else f"{target}StatisticsInterval")
                made = cls.from_dict(stored)
                world.intervals.append(made)
            return self.run(("from_dict", i, drop, target), restore)
        if kind == "global":
            name = src.pick(REPLACEABLE)
            recipe = src.pick(GLOBAL_RECIPES[name])
            return self.run(("global", name, recipe), lambda w: w.replace(name, recipe))
        if kind == "shared":
            return self.shared(src)
        if kind == "alias":
            target, source = src.pick(ALIASES)
            which = src.pick(["continuous", "discrete"])

            def alias(world):
                sub = world.subclasses[which]
                if source is None:
                    if target in vars(sub):
                        delattr(sub, target)
                else:
                    setattr(sub, target, getattr(world.module.Interval, source)
                            if source in vars(world.module.Interval) else getattr(sub.__mro__[1], source))
            return self.run(("alias", which, target, source), alias)
        if kind == "layout":
            return self.layout(src, i)
        if kind == "uninterned":
            return self.uninterned(src, i)
        if kind == "reimport":
            return self.reimport(src)
        if kind == "tracer":  # the steps that follow run with this tracer (or none)
            self.tracer = src.pick(TRACERS)
            return self.run(("tracer", self.tracer), lambda w: None)
        # ids: the same text from both worlds when uuid4 is deterministic, else each well formed
        return self.run(("id",), lambda w: w.module.DiscreteStatisticsInterval("x").id)

    def layout(self, src, i):
        """What moves an instance's attributes out of where the interpreter first keeps them: its
        dict made visible, replaced, or an attribute deleted (every later read and store must agree)."""
        change = src.pick(["vars", "new dict", "delete"])
        name = src.pick(["_absolute_change_percentage", "_eligible_for_insights", "values", "lower_bound", "field",
                         "statistical_buffer", "id"])

        def apply(world):
            interval = world.intervals[i]
            if change == "vars":
                attributes = vars(interval)
                return len(attributes), list(attributes)
            if change == "new dict":
                interval.__dict__ = dict(interval.__dict__)
                return None
            delattr(interval, name)
        return self.run(("layout", i, change, name if change == "delete" else None), apply)

    def uninterned(self, src, i):
        """An attribute stored under a name that is not interned, as object.__setattr__ and vars()
        store it: every later read and method call of that name must find it."""
        name = src.pick(["get_baseline_value", "has_increased_in_production", "to_dict", "values",
                         "_absolute_change_percentage", "_eligible_for_insights", "id"])
        how = src.pick(["setattr", "vars"])
        value = ("own",) if name in ("get_baseline_value", "has_increased_in_production", "to_dict") else self.number(src)

        def apply(world):
            key = "".join(name)  # equal to the name, but another string object
            stored = (lambda: "own " + key) if value == ("own",) else world.value(value)
            if how == "setattr":
                object.__setattr__(world.intervals[i], key, stored)
            else:
                vars(world.intervals[i])[key] = stored
        return self.run(("uninterned", i, name, how, value), apply)

    def reimport(self, src):
        """A fresh import of each world's module, after replacing what it imports at load: it must
        call what it found, never stand in for the original it replaced."""
        change = src.pick(["nothing", "uuid str", "numpy abs", "helpers", "round defaults"])

        def apply(world):
            if world is self.worlds[0]:  # the change is shared by both worlds, and stays
                if change == "uuid str":
                    uuid.UUID.__str__ = uuid.UUID.hex.fget
                elif change == "numpy abs":
                    np.abs = lambda value, absolute=np.absolute: float(absolute(value))
                elif change == "helpers":
                    python_utils.get_python_types = lambda value, f=python_utils.get_python_types: (
                        "text " + value if type(value) is str else f(value))
                elif change == "round defaults":
                    python_utils.round_.__defaults__ = (1,)
                sys.modules.pop(compiled.__name__, None)
                world.use(importlib.import_module(compiled.__name__))
            else:
                world.use(interval_model.load())
        return self.run(("reimport", change), apply)

    def shared(self, src):
        """Changes to what both worlds share: the standard library and the helpers' module."""
        change = src.pick(["urandom fixed", "urandom real", "round defaults", "round defaults back",
                           "convert code", "convert code back", "thresholds"])
        original_code = self.saved[2]

        def alternative(value):
            return ("converted", value)

        def apply(world):
            if world is not self.worlds[0]:
                return None  # done once, for both
            if change == "urandom fixed":
                os.urandom = lambda n: b"\x11" * n
            elif change == "urandom real":
                os.urandom = self.saved[0]
            elif change == "round defaults":
                python_utils.round_.__defaults__ = (3,)
            elif change == "round defaults back":
                python_utils.round_.__defaults__ = self.saved[1]
            elif change == "convert code":
                python_utils.get_python_types.__code__ = alternative.__code__
            elif change == "convert code back":
                python_utils.get_python_types.__code__ = original_code
            else:
                control_box.ControlBoxManager._control_box = control_box.ControlBox(2.5, 1)
            return None
        return self.run(("shared", change), apply)

