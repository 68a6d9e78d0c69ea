"""What host code sees of the compiled module: functions, classes, module globals and imports."""
import ast
import copy
import functools
import importlib.machinery
import inspect
import json
import os
import pickle
import pydoc
import re
import subprocess
import sys
import typing
import uuid
import weakref
from pathlib import Path
from types import MethodType, SimpleNamespace

import numpy
import pytest

import plenx_metrics_plugin
from plenx_metrics_plugin.common.utils import python_utils
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.drift_v2.utils import constants, control_box

MODULE = "plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval"
DRIFT = "plenx_metrics_plugin.metrics.drift_v2.utils."
Interval, Continuous, Discrete = iv.Interval, iv.ContinuousStatisticsInterval, iv.DiscreteStatisticsInterval

# Every member of every class, in declaration order, with the signature host code reads.
SIGNATURES = {
    "IntervalValue.__init__": "(self, type: 'DataSetType', absolute_count: 'int', percentage: 'float') -> 'None'",
    "Interval.__init__": "(self, field: 'Union[str, int, float]') -> 'None'",
    "Interval.absolute_change_percentage": "(self) -> 'float'",
    "Interval.is_change_significant": "(self) -> 'bool'",
    "Interval.eligible_for_insights": "(self) -> 'bool'",
    "Interval._calculate_absolute_change_percentage": "(self) -> 'float'",
    "Interval.add_baseline_value": "(self, absolute_count: 'int', percentage: 'float') -> 'None'",
    "Interval.add_production_value": "(self, absolute_count: 'int', percentage: 'float') -> 'None'",
    "Interval.get_baseline_value": "(self) -> \"'IntervalValue'\"",
    "Interval.get_production_value": "(self) -> \"'IntervalValue'\"",
    "Interval.has_increased_in_production": "(self) -> 'bool'",
    "Interval.__lt__": "(self, other) -> 'bool'",
    "Interval.__eq__": "(self, other) -> 'bool'",
    "Interval.to_dict": "(self) -> 'dict'",
    "Interval.from_dict": "(cls, dict_: 'dict') -> \"'Interval'\"",
    "ContinuousStatisticsInterval.__init__":
        "(self, lower_bound: 'Union[int, float]', upper_bound: 'Union[int, float]') -> 'None'",
    "ContinuousStatisticsInterval.__lt__": "(self, other) -> 'bool'",
    "ContinuousStatisticsInterval.__eq__": "(self, other) -> 'bool'",
    "ContinuousStatisticsInterval.to_dict": "(self) -> 'dict'",
    "ContinuousStatisticsInterval.from_dict": "(cls, dict_: 'dict') -> \"'ContinuousStatisticsInterval'\"",
    "DiscreteStatisticsInterval.__init__": "(self, field: 'Union[str, int, float]') -> 'None'",
    "DiscreteStatisticsInterval.is_change_significant": "(self) -> 'bool'",
    "DiscreteStatisticsInterval.__lt__": "(self, other) -> 'bool'",
    "DiscreteStatisticsInterval.__eq__": "(self, other) -> 'bool'",
    "DiscreteStatisticsInterval.to_dict": "(self) -> 'dict'",
    "DiscreteStatisticsInterval.from_dict": "(cls, dict_: 'dict') -> \"'DiscreteStatisticsInterval'\"",
}
PROPERTIES = {"absolute_change_percentage", "is_change_significant", "eligible_for_insights"}
COMPILED = type(Interval.to_dict)


def function_of(qualname):
    class_name, name = qualname.split(".")
    member = vars(getattr(iv, class_name))[name]
    if name in PROPERTIES:
        assert type(member) is property and member.fset is None and member.fdel is None
        return member.fget
    if name == "from_dict":
        assert type(member) is classmethod
        return member.__func__
    return member


# ---- compiled functions ----

@pytest.mark.parametrize("qualname", SIGNATURES)
def test_function_metadata_and_signature(qualname):
    function = function_of(qualname)
    assert type(function) is COMPILED
    assert (function.__name__, function.__qualname__, function.__module__) == (qualname.split(".")[1], qualname, MODULE)
    signature = inspect.signature(function)
    assert str(signature) == SIGNATURES[qualname]
    assert {p.kind for p in signature.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert function.__defaults__ is None
    assert re.fullmatch(rf"<function {re.escape(qualname)} at 0x[0-9a-f]+>", repr(function))


def test_annotations_are_stored_source_text():
    assert Interval.add_baseline_value.__annotations__ == {"absolute_count": "int", "percentage": "float",
                                                          "return": "None"}
    assert Interval.get_baseline_value.__annotations__ == {"return": "'IntervalValue'"}
    assert Interval.__init__.__annotations__ == {"field": "Union[str, int, float]", "return": "None"}
    assert Interval.__lt__.__annotations__ == {"return": "bool"}
    # A quoted annotation evaluates to its inner text, as in a module with stringized annotations.
    assert inspect.get_annotations(Continuous.from_dict.__func__, eval_str=True) == {
        "dict_": dict, "return": "ContinuousStatisticsInterval"}
    assert typing.get_type_hints(Interval.add_baseline_value) == {"absolute_count": int, "percentage": float,
                                                                  "return": type(None)}


@pytest.mark.parametrize("cls", [iv.IntervalValue, Interval, Continuous, Discrete])
def test_members_are_declared_in_order_with_their_kinds(cls):
    declared = [name.split(".")[1] for name in SIGNATURES if name.startswith(cls.__name__ + ".")]
    assert [name for name in vars(cls) if name in declared] == declared
    plain = [name for name in declared if name not in PROPERTIES and name != "from_dict"]
    assert all(type(vars(cls)[name]) is COMPILED for name in plain)


def test_every_public_member_has_its_stub_docstring():
    """help() and editors show the same text: each class, method and property of ours that help()
    lists carries a docstring, the one its .pyi stub gives it (the provider class has none)."""
    from plenx_metrics_plugin.metrics.llm.common.model_providers import plenx_auvrix_ai_provider as provider
    clean = lambda doc: doc and inspect.cleandoc(doc)
    checked = []
    for module in (iv, provider):
        stub = ast.parse(Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi").read_text())
        for node in (node for node in stub.body if isinstance(node, ast.ClassDef)):
            cls = getattr(module, node.name)
            assert clean(cls.__doc__) == ast.get_docstring(node)
            # Where a class statement puts a docstring: right after __module__.
            assert not cls.__doc__ or list(vars(cls))[:2] == ["__module__", "__doc__"]
            stubbed = {item.name: ast.get_docstring(item) for item in node.body if isinstance(item, ast.FunctionDef)}
            for name, member in vars(cls).items():
                function = getattr(member, "fget", None) or getattr(member, "__func__", member)
                # (each module has a function type of its own, made alike)
                if type(function).__name__ == COMPILED.__name__ and (name in stubbed or pydoc.visiblename(name)):
                    assert stubbed.get(name) and clean(function.__doc__) == stubbed[name], (cls, name)
                    assert member.__doc__ == function.__doc__
                    checked.append(name)
    assert len(checked) == 32


def test_functions_bind_like_python_functions():
    interval = Continuous(0, 1)
    method = interval.add_baseline_value
    assert type(method) is MethodType and method.__self__ is interval
    assert method.__func__ is Interval.add_baseline_value is vars(Interval)["add_baseline_value"]
    assert str(inspect.signature(method)) == "(absolute_count: 'int', percentage: 'float') -> 'None'"
    assert interval.has_increased_in_production.__func__ is Interval.has_increased_in_production
    assert Discrete.from_dict.__self__ is Discrete and interval.from_dict.__self__ is Continuous
    assert str(inspect.signature(Interval.from_dict)) == "(dict_: 'dict') -> \"'Interval'\""
    Interval.add_baseline_value(self=interval, percentage=20, absolute_count=10)
    interval.add_production_value(percentage=30.0, absolute_count=15)
    assert Continuous(upper_bound=2, lower_bound=1).field == "1-2"
    value = iv.IntervalValue(percentage=1, absolute_count=2, type="t")
    assert (value.type, value.absolute_count, value.percentage) == ("t", 2, 1.0)
    form = Interval.to_dict(self=interval) | {"field": "x", "contribution_to_distance": 1, "statistical_buffer": 0}
    assert Discrete.from_dict(dict_=form).field == "x"


def twin(class_name, method, params, decorator=""):
    """A plain Python class with the same names, whose argument errors are the reference."""
    namespace = {}
    exec(f"class {class_name}:\n    {decorator}\n    def {method}({params}):\n        pass\n", namespace)
    return namespace[class_name]


def instance_of(cls):
    made = {Continuous: lambda: Continuous(0, 1), iv.IntervalValue: lambda: iv.IntervalValue("t", 1, 1.0),
            Interval: lambda: Interval("f"), Discrete: lambda: Discrete("f")}
    return made[cls]() if cls in made else cls()


ADD = ("add_baseline_value", "self, absolute_count, percentage")
FROM_DICT = ("from_dict", "cls, dict_", "@classmethod")


@pytest.mark.parametrize("cls, member, how, args, kwargs", [
    (Interval, ADD, "instance", (), {}),
    (Interval, ADD, "instance", (1,), {}),
    (Interval, ADD, "instance", (1, 2, 3), {}),
    (Interval, ADD, "instance", (1,), {"absolute_count": 2}),
    (Interval, ADD, "instance", (1, 2), {"bogus": 3}),
    (Interval, ADD, "instance", (), {"percentage": 1.0}),
    (Interval, ADD, "instance", (), {1: 2}),
    (Interval, ADD, "class", (), {}),
    (Interval, ("to_dict", "self"), "instance", (1,), {}),
    (Interval, ("__eq__", "self, other"), "class", (1,), {}),
    (Interval, FROM_DICT, "class", (), {}),
    (Interval, FROM_DICT, "class", (1, 2), {}),
    (Discrete, FROM_DICT, "instance", (), {"dict": {}}),
    (iv.IntervalValue, ("__init__", "self, type, absolute_count, percentage"), "call", (), {}),
    (iv.IntervalValue, ("__init__", "self, type, absolute_count, percentage"), "call", (1, 2, 3, 4), {}),
    (Continuous, ("__init__", "self, lower_bound, upper_bound"), "call", (1,), {"lower_bound": 2}),
    (Discrete, ("__init__", "self, field"), "call", (), {"field": 1, "other": 2}),
])
def test_argument_errors_are_worded_as_for_python_functions(cls, member, how, args, kwargs):
    messages = []
    for owner in (cls, twin(cls.__name__, *member)):
        target = {"call": lambda: owner, "class": lambda: getattr(owner, member[0]),
                  "instance": lambda: getattr(instance_of(owner), member[0])}[how]()
        with pytest.raises(TypeError) as error:
            target(*args, **kwargs)
        messages.append(str(error.value))
    assert messages[0] == messages[1]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_functions_pickle_by_reference(protocol):
    for qualname in SIGNATURES:
        name = qualname.split(".")[1]
        if name in PROPERTIES or name == "from_dict":
            continue
        function = function_of(qualname)
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    interval = Continuous(0, 1)
    restored = pickle.loads(pickle.dumps(interval.to_dict, protocol))
    assert restored.__func__ is Continuous.to_dict and vars(restored.__self__) == vars(interval)
    assert pickle.loads(pickle.dumps(Discrete.from_dict, protocol)) == Discrete.from_dict
    for function in map(function_of, SIGNATURES):
        assert copy.copy(function) is function and copy.deepcopy(function) is function


# ---- classes ----

@pytest.mark.parametrize("cls, bases", [
    (iv.IntervalValue, (object,)), (Interval, (object,)), (Continuous, (Interval,)), (Discrete, (Interval,)),
])
def test_classes_are_ordinary_python_classes(cls, bases):
    assert type(cls) is type and cls.__bases__ == bases
    assert (cls.__module__, cls.__qualname__) == (MODULE, cls.__name__) and getattr(iv, cls.__name__) is cls
    instance = instance_of(cls)
    instance.note = "free attribute"
    assert vars(instance)["note"] == "free attribute" and weakref.ref(instance)() is instance


def test_python_subclasses(filled):
    class Bin(Discrete):
        def __init__(self, field, note):
            super().__init__(field)
            self.note = note

        def _calculate_absolute_change_percentage(self):
            return 0.75

    made = filled(Bin("cat", note="n"))
    assert (made.note, made.statistical_buffer, made.absolute_change_percentage) == ("n", -1, 0.75)
    assert made.to_dict()["absolute_change_percentage"] == 0.75
    assert type(Bin.from_dict(made.to_dict())) is Discrete

    class Ranked(Interval):
        def __lt__(self, other):
            return self.field < other.field

        def __eq__(self, other):
            return self.field == other.field

    assert Ranked(1) <= Ranked(1) and Ranked(2) > Ranked(1) and Ranked(2) >= Ranked(1)
    assert [r.field for r in sorted([Ranked(3), Ranked(1), Ranked(2)])] == [1, 2, 3]


def test_compiled_methods_delegate_along_the_instance_mro():
    seen = []

    class Mixin(Interval):
        def __init__(self, field):
            seen.append(field)
            super().__init__(field)

        def to_dict(self):
            return {"mixin": True}

    class Both(Continuous, Mixin):
        pass

    both = Both(0, 1)
    assert seen == ["0-1"] and both.field == "0-1" and both.values == []
    assert both.to_dict() == {"mixin": True, "lower_bound": 0, "upper_bound": 1}


# ---- the module and its globals ----

def test_module_is_the_shared_library_with_its_imports_in_its_globals():
    assert iv.__name__ == MODULE and iv.__spec__.origin == iv.__file__  # any loader: an editable install wraps it
    assert iv.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert not (Path(iv.__file__).parent / "interval.py").exists()
    names = ["total_ordering", "Union", "uuid4", "np", "get_python_types", "round_", "INFINITY", "DataSetType",
             "ControlBoxManager", "IntervalValue", "Interval", "ContinuousStatisticsInterval",
             "DiscreteStatisticsInterval"]
    assert [name for name in vars(iv) if not name.startswith("__")] == names
    assert [getattr(iv, name) for name in names[:9]] == [
        functools.total_ordering, typing.Union, uuid.uuid4, numpy, python_utils.get_python_types, python_utils.round_,
        constants.INFINITY, constants.DataSetType, control_box.ControlBoxManager]


@pytest.mark.parametrize("name, use", [
    ("uuid4", lambda f: Interval("f")),
    ("round_", lambda f: Continuous(0, 1)),
    ("get_python_types", lambda f: f(Interval("f")).to_dict()),
    ("np", lambda f: f(Interval("f")).absolute_change_percentage),
    ("INFINITY", lambda f: f(Interval("f"), baseline=(0, 0.0)).absolute_change_percentage),
    ("DataSetType", lambda f: Interval("f").add_baseline_value(1, 1.0)),
    ("IntervalValue", lambda f: Interval("f").add_production_value(1, 1.0)),
    ("ControlBoxManager", lambda f: f(Interval("f")).eligible_for_insights),
    ("ContinuousStatisticsInterval", lambda f: Continuous.from_dict(f(Continuous(0, 1)).to_dict())),
    ("DiscreteStatisticsInterval", lambda f: Discrete.from_dict(f(Discrete("x")).to_dict())),
])
def test_globals_are_looked_up_at_each_use(monkeypatch, filled, name, use):
    use(filled)
    with monkeypatch.context() as patch:
        patch.delattr(iv, name)
        with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
            use(filled)
    use(filled)


def test_ids_come_from_the_module_uuid4_at_each_use(monkeypatch):
    with monkeypatch.context() as patch:
        made = iter([uuid.UUID(int=1), "plain-text", 42])
        patch.setattr(iv, "uuid4", lambda: next(made))
        assert [Interval(1).id, Discrete(2).id, Continuous(0, 1).id] == [str(uuid.UUID(int=1)), "plain-text", "42"]
        patch.setattr(iv, "uuid4", lambda: uuid.UUID(int=7))
        assert Interval(1).id == str(uuid.UUID(int=7))
    monkeypatch.setattr(uuid, "uuid4", lambda: "ignored: the module holds the name it imported")
    assert uuid.UUID(Interval(1).id).version == 4


def test_constants_and_numpy_are_the_module_globals(monkeypatch, filled):
    infinity = float("inf")
    monkeypatch.setattr(iv, "INFINITY", infinity)
    assert filled(Interval("f"), baseline=(0, 1.0)).absolute_change_percentage is infinity
    monkeypatch.setattr(numpy, "abs", lambda value: ("numpy.abs", value))
    assert filled(Interval("f"))._calculate_absolute_change_percentage() == ("numpy.abs", 0.5)
    monkeypatch.setattr(iv, "np", SimpleNamespace(abs=lambda value: ("np.abs", value)))
    assert filled(Interval("f"))._calculate_absolute_change_percentage() == ("np.abs", 0.5)
    members = SimpleNamespace(BASELINE="base", PRODUCTION="prod")
    monkeypatch.setattr(iv, "DataSetType", members)
    interval = filled(Interval("f"))
    assert [v.type for v in interval.values] == ["base", "prod"]
    assert interval.get_production_value() is interval.values[1]


# ---- loading ----

def run_python(script):
    """Runs `script` in a fresh interpreter that imports this same package; returns its JSON output."""
    root = Path(plenx_metrics_plugin.__file__).resolve().parents[1]
    env = dict(os.environ, PYTHONPATH=str(root))
    done = subprocess.run([sys.executable, "-P", "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_imports_at_load_in_order_and_total_ordering_on_the_base_class_alone():
    calls, decorated = run_python(f"""
import builtins, functools, json
calls, decorated = [], []
real_import, real_total_ordering = builtins.__import__, functools.total_ordering
def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
    if globals and globals.get("__name__") == {MODULE!r}:
        calls.append([name, list(fromlist or ()), level])
    return real_import(name, globals, locals, fromlist, level)
def recording_total_ordering(cls):
    if cls.__module__ == {MODULE!r}:  # not the classes of what it imports (older numpy: ipaddress)
        decorated.append(cls.__qualname__)
    return real_total_ordering(cls)
builtins.__import__, functools.total_ordering = recording_import, recording_total_ordering
import {MODULE}
print(json.dumps([calls, decorated]))
""")
    assert calls == [["functools", ["total_ordering"], 0], ["typing", ["Union"], 0], ["uuid", ["uuid4"], 0],
                     ["numpy", [], 0],
                     ["plenx_metrics_plugin.common.utils.python_utils", ["get_python_types", "round_"], 0],
                     [DRIFT + "constants", ["INFINITY", "DataSetType"], 0],
                     [DRIFT + "control_box", ["ControlBoxManager"], 0]]
    assert decorated == ["Interval"]


@pytest.mark.parametrize("blocked, replacement, statement", [
    ("numpy", "None", "import numpy"),
    ("uuid", "None", "from uuid import uuid4"),
    (DRIFT + "constants", f"types.ModuleType({DRIFT + 'constants'!r})", f"from {DRIFT}constants import INFINITY"),
    (DRIFT + "control_box", f"types.ModuleType({DRIFT + 'control_box'!r})",
     f"from {DRIFT}control_box import ControlBoxManager"),
])
def test_a_failed_import_stops_the_module_from_loading(blocked, replacement, statement):
    expected, got, loaded = run_python(f"""
import json, sys, types
sys.modules[{blocked!r}] = {replacement}
def failure(run):
    try:
        run()
    except ImportError as error:
        return [type(error).__name__, str(error)]
expected = failure(lambda: exec({statement!r}, {{}}))
got = failure(lambda: __import__({MODULE!r}))
print(json.dumps([expected, got, {MODULE!r} in sys.modules]))
""")
    assert got == expected and expected is not None and not loaded
