"""The tools that inspect functions (mock's autospec, inspect, typing, dis, functools, pickle and
cloudpickle, pytest's monkeypatch, Dask) treat our functions as they treat Python functions.

Each tool runs on our classes and on a plain-Python twin: the same classes, members, parameter
names, defaults and annotations, made of Python functions. Both must come out the same."""
import builtins
import copy
import dis
import functools
import inspect
import io
import operator
import pickle
import sys
import types
import typing
from unittest import mock

import cloudpickle
import dask.bag
import pytest

from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.llm.common.model_providers import plenx_auvrix_ai_provider as pm

COMPILED = type(iv.Interval.to_dict)
CLASSES = {iv: ["IntervalValue", "Interval", "ContinuousStatisticsInterval", "DiscreteStatisticsInterval"],
           pm: ["PLENXAuvrixAIProvider"]}


def class_names(module):
    return CLASSES[sys.modules[module.__name__.removesuffix("_twin")]]


def plain_twin(module):
    """A plain-Python module with the classes of `module`, registered so pickle finds it by name."""
    twin = types.ModuleType(module.__name__ + "_twin")
    twin.__file__ = "<twin>"
    vars(twin).update({k: v for k, v in vars(module).items() if not k.startswith("__")})
    for name in class_names(module):
        cls = getattr(module, name)
        bases = tuple(getattr(twin, b.__name__) if b.__module__ == module.__name__ else b for b in cls.__bases__)
        body = {"__module__": twin.__name__, "__qualname__": name}
        for key, member in vars(cls).items():
            kind = type(member)
            function = member.fget if kind is property else member.__func__ if kind is classmethod else member
            if getattr(function, "__module__", None) != module.__name__:
                if key not in ("__dict__", "__weakref__", "__module__"):
                    body[key] = member  # what the class has besides ours, e.g. total_ordering's methods
                continue
            made = {}
            exec(compile(f"def {function.__name__}({', '.join(function.__code__.co_varnames)}): pass", "<twin>",
                         "exec"), vars(twin), made)
            plain = made[function.__name__]
            plain.__qualname__, plain.__defaults__ = function.__qualname__, function.__defaults__
            plain.__annotations__, plain.__doc__ = dict(function.__annotations__), function.__doc__
            body[key] = kind(plain) if kind in (property, classmethod) else plain
        setattr(twin, name, type(name, bases, body))
    return twin


@pytest.fixture
def twins(monkeypatch):
    made = {module: plain_twin(module) for module in CLASSES}
    for twin in made.values():
        monkeypatch.setitem(sys.modules, twin.__name__, twin)
    return made


def functions(module):
    """(where, function) for every function of the module's classes, properties' and class methods' too."""
    for name in class_names(module):
        for key, member in vars(getattr(module, name)).items():
            function = getattr(member, "fget", None) or getattr(member, "__func__", member)
            if isinstance(function, types.FunctionType) and function.__module__ == module.__name__:
                yield f"{name}.{key}", function


def outcome(action):
    """What an action comes to: its value, or its exception's type and message."""
    try:
        value = action()
        return "ok", "a mock" if isinstance(value, mock.NonCallableMock) else value
    except Exception as error:  # noqa: BLE001 - the outcome is compared, whatever it is
        return type(error).__name__, str(error).replace("_twin", "")


def plainly(value):
    """A value with our module's and the twin's objects told apart only by name."""
    if isinstance(value, (type, types.FunctionType)):
        return value.__qualname__
    if isinstance(value, dict):
        return {k: plainly(v) for k, v in value.items()}
    return value


def both(twins, check):
    """`check(module)` on our modules and on the twins: the results must agree."""
    ours = {name: check(module) for module, name in ((m, m.__name__) for m in CLASSES)}
    theirs = {module.__name__: check(twin) for module, twin in twins.items()}
    for name, found in ours.items():  # item by item, so that a difference names its member
        items = found.items() if isinstance(found, dict) else [(None, found)]
        for key, value in items:
            assert (key, value) == (key, theirs[name][key] if key else theirs[name])
    assert ours == theirs
    return ours


def test_function_attributes_are_those_of_python_functions(twins):
    names = ["__code__", "__defaults__", "__kwdefaults__", "__globals__", "__closure__", "__builtins__",
             "__type_params__", "__annotations__", "__name__", "__qualname__", "__module__", "__doc__", "__dict__",
             "__wrapped__", "__get__", "__class__"]

    def attributes(module):
        found = {}
        for where, function in functions(module):
            assert isinstance(function, types.FunctionType) and inspect.isfunction(function)
            assert function.__builtins__ is vars(builtins)
            found[where] = ({name: type(getattr(function, name)).__name__ for name in names if hasattr(function, name)},
                            function.__code__.co_varnames, function.__code__.co_argcount, function.__class__,
                            outcome(lambda: setattr(function, "__class__", int)),
                            outcome(lambda: delattr(function, "__class__")),
                            [outcome(lambda: setattr(function, name, getattr(function, name)))
                             for name in ("__defaults__", "__kwdefaults__")],
                            [outcome(lambda: setattr(function, "__type_params__", v)) for v in ([], None)]
                            if sys.version_info >= (3, 12) else None,
                            inspect.getclosurevars(function).nonlocals, outcome(lambda: inspect.getsource(function))[0],
                            plainly(typing.get_type_hints(function)))
        return found

    found = both(twins, attributes)
    assert found[iv.__name__]["Interval.get_baseline_value"][-1] == {"return": "IntervalValue"}
    assert type(iv.Interval.to_dict) is COMPILED  # what we cannot make exact: type() tells the truth


def test_inspect_dis_and_functools_see_python_functions(twins):
    def seen(module):
        found = {}
        for name in class_names(module):
            cls = getattr(module, name)
            found[name] = [n for n, _ in inspect.getmembers(cls, inspect.isfunction)]
        for where, function in functions(module):
            signature = inspect.signature(function)
            text = io.StringIO()
            dis.dis(function, file=text)
            assert text.getvalue() and list(dis.get_instructions(function))
            wrapper = functools.wraps(function)(lambda *args, **kwargs: function(*args, **kwargs))
            assert wrapper.__wrapped__ is function and inspect.unwrap(wrapper) is function
            copied = vars(wrapper).get("__type_params__"), wrapper.__name__, wrapper.__qualname__
            found[where] = (str(signature), str(inspect.signature(wrapper)), plainly(typing.get_type_hints(wrapper)),
                            copied, inspect.ismethoddescriptor(function), inspect.isroutine(function),
                            inspect.iscoroutinefunction(function), copy.copy(function) is function,
                            copy.deepcopy(function) is function)
        return found

    both(twins, seen)


def test_autospec_and_patching_check_calls_as_for_python_methods(twins):
    def checked(module):
        records = []
        for name in class_names(module)[2:] or class_names(module):
            cls = getattr(module, name)
            method = next(k for k in ("add_baseline_value", "get_model_responses") if hasattr(cls, k))
            double = mock.create_autospec(cls, instance=True)
            records += [outcome(lambda: getattr(double, method)(10, 20.0, "one too many")),
                        outcome(lambda: getattr(double, method)(10, percentage=20.0) and None),
                        outcome(lambda: getattr(double, method).assert_called_with(10, 20.0)),
                        outcome(lambda: double.to_dict(1) if hasattr(cls, "to_dict") else None)]
            spec = mock.create_autospec(cls)
            records += [outcome(lambda: getattr(spec, method)(10, 20.0)),
                        outcome(lambda: getattr(spec, method)(double, 10, 20.0) and None),
                        outcome(lambda: spec.from_dict() if hasattr(cls, "from_dict") else None),
                        outcome(lambda: spec.from_dict({}) and None if hasattr(cls, "from_dict") else None)]
            function = mock.create_autospec(vars(cls)["__init__"])
            records += [outcome(lambda: function(1, 2, 3, 4, 5, 6)), outcome(lambda: function(1, 2) and None)]
            if not hasattr(cls, "to_dict"):
                continue
            instance, original = cls(0, 1) if "Continuous" in name else cls("f"), vars(cls)["to_dict"]
            with mock.patch.object(cls, "to_dict", autospec=True) as patched:
                patched.return_value = {"patched": 1}
                records.append(instance.to_dict())
                patched.assert_called_once_with(instance)
                records.append(outcome(lambda: instance.to_dict(1)))
            with mock.patch.object(cls, "from_dict", autospec=True) as patched:
                cls.from_dict({"a": 1})
                patched.assert_called_once_with({"a": 1})
                records.append(outcome(lambda: cls.from_dict()))
            assert vars(cls)["to_dict"] is original
        return records

    records = both(twins, checked)
    assert records[iv.__name__][0] == ("TypeError", "too many positional arguments")


def test_monkeypatch_sets_and_undoes_on_our_classes(twins):
    def patched(module):
        cls = getattr(module, "ContinuousStatisticsInterval", None)
        if cls is None:
            return None
        before = list(vars(cls).items()), list(vars(cls.__mro__[1]).items())
        instance = cls(0, 1)
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(cls, "to_dict", lambda self: "patched")
            mp.setattr(cls, "from_dict", classmethod(lambda c, d: ("made", c.__name__)))
            mp.setattr(cls, "absolute_change_percentage", property(lambda self: 0.25))
            base = cls.__mro__[1]
            mp.setattr(base, "add_baseline_value", mock.create_autospec(vars(base)["add_baseline_value"]))
            during = (instance.to_dict(), cls.from_dict({}), instance.absolute_change_percentage,
                      outcome(lambda: cls.add_baseline_value(instance, 1)))
        assert (list(vars(cls).items()), list(vars(cls.__mro__[1]).items())) == before
        return during

    both(twins, patched)


def interval(cls, *args):
    made = cls(*args)
    made.add_baseline_value(10, 20.0)
    made.add_production_value(15, 30.0)
    return made


def test_pickle_and_cloudpickle_copy_functions_as_python_functions(twins):
    def shipped(module):
        found = {}
        for where, function in functions(module):
            by_pickle = outcome(lambda: pickle.loads(pickle.dumps(function)) is function)
            copied = cloudpickle.loads(cloudpickle.dumps(function))
            # Found by name, a function is itself; otherwise it is copied by value into a Python function.
            found[where] = (by_pickle[0], copied is function, copied.__class__.__name__,
                            str(inspect.signature(copied)), copied.__qualname__, copied.__module__.replace("_twin", ""),
                            plainly(copied.__annotations__),
                            outcome(lambda: copied()), outcome(lambda: copied(*range(9))))
        return found

    both(twins, shipped)
    # The copies of ours call ours: a class method, a property getter and a private method.
    continuous = iv.ContinuousStatisticsInterval
    made = interval(continuous, 0, 1)
    from_dict = cloudpickle.loads(cloudpickle.dumps(continuous.from_dict))
    assert type(from_dict.__func__) is types.FunctionType and from_dict.__self__ is continuous
    assert from_dict(made.to_dict()).to_dict() == made.to_dict()
    getter = cloudpickle.loads(cloudpickle.dumps(vars(iv.Interval)["absolute_change_percentage"].fget))
    assert getter(made) == made.absolute_change_percentage == 0.5
    with pytest.raises(TypeError, match="positional argument"):
        getter(made, 1)
    validate = cloudpickle.loads(cloudpickle.dumps(pm.PLENXAuvrixAIProvider._PLENXAuvrixAIProvider__validate))
    assert validate.__globals__["PLENXAuvrixAIProvider"] is pm.PLENXAuvrixAIProvider
    assert "_PLENXAuvrixAIProvider__validate" in validate.__code__.co_consts
    # Intervals and their bound methods still go by reference, as pickle sends them.
    for shipped_object in (made, made.to_dict, continuous.from_dict, iv.Interval.add_baseline_value):
        assert pickle.dumps(cloudpickle.loads(cloudpickle.dumps(shipped_object))) == pickle.dumps(shipped_object)


def test_functions_a_copy_would_not_reach_are_not_copied():
    """Where a copy rebuilt from a function's code would not call it (its class is no longer found
    under its name, or holds something else), ours stop passing for Python functions: pickling them
    then fails, as for any object pickle cannot find, instead of copying them into something else.
    A plain class would be copied by value here; ours cannot be."""
    continuous = iv.ContinuousStatisticsInterval
    made = interval(continuous, 0, 1)
    to_dict, from_dict = vars(continuous)["to_dict"], vars(continuous)["from_dict"]
    members = list(vars(continuous).items())
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(continuous, "to_dict", lambda self: {})
        mp.setattr(continuous, "from_dict", classmethod(lambda cls, dict_: None))
        for function in (to_dict, from_dict.__func__):
            assert not inspect.isfunction(function) and function.__class__ is type(function)
            for dumps in (pickle.dumps, cloudpickle.dumps):
                with pytest.raises(pickle.PicklingError):
                    dumps(function)
    assert inspect.isfunction(to_dict) and inspect.isfunction(from_dict.__func__)
    # A class not found under its name is copied by value with all it holds: ours refuse, and the
    # class itself is left as it was (cloudpickle sets a copied class's members on the original).
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(iv, "ContinuousStatisticsInterval", None)  # replaced, not deleted: the globals keep their order
        assert not isinstance(to_dict, types.FunctionType)
        with pytest.raises(pickle.PicklingError):
            cloudpickle.dumps(made)
    assert list(vars(continuous).items()) == members
    assert cloudpickle.loads(cloudpickle.dumps(made)).to_dict() == made.to_dict()


@pytest.mark.parametrize("registered", [iv, sys.modules["plenx_metrics_plugin"]])
def test_a_module_registered_to_be_copied_by_value(registered):
    # A plain class there is copied with its members; ours cannot be (a copy of a member would
    # find only itself once cloudpickle sets it back on the class). So they are pickled by name,
    # a member that has none fails loudly, and the class is left working.
    made = interval(iv.ContinuousStatisticsInterval, 0, 1)
    members = list(vars(iv.ContinuousStatisticsInterval).items())
    cloudpickle.register_pickle_by_value(registered)
    try:
        assert not inspect.isfunction(iv.Interval.to_dict)
        assert cloudpickle.loads(cloudpickle.dumps(iv.Interval.to_dict)) is iv.Interval.to_dict
        with pytest.raises(pickle.PicklingError):
            cloudpickle.dumps(made)
    finally:
        cloudpickle.unregister_pickle_by_value(registered)
    assert inspect.isfunction(iv.Interval.to_dict)
    assert list(vars(iv.ContinuousStatisticsInterval).items()) == members
    assert made.to_dict()["production_percentage"] == 30.0 and made.absolute_change_percentage == 0.5


def test_dask_ships_intervals_and_class_methods_between_processes():
    continuous, discrete = iv.ContinuousStatisticsInterval, iv.DiscreteStatisticsInterval
    made = [interval(continuous, k, k + 1) for k in range(3)] + [interval(discrete, "f")]
    forms = [m.to_dict() for m in made]
    results = dask.bag.from_sequence(forms[:3], npartitions=2).map(continuous.from_dict).compute(scheduler="processes")
    assert [type(r) for r in results] == [continuous] * 3 and [r.to_dict() for r in results] == forms[:3]
    measures = (dask.bag.from_sequence(made, npartitions=2).map(vars(iv.Interval)["absolute_change_percentage"].fget)
                .compute(scheduler="processes"))
    dicts = (dask.bag.from_sequence(made, npartitions=2).map(operator.methodcaller("to_dict"))
             .compute(scheduler="processes"))
    assert measures == [m.absolute_change_percentage for m in made] and dicts == forms
