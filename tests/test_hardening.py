"""Hostile host code: reference counts, garbage collection, pickling, odd attribute values and deep recursion."""
import copy
import gc
import importlib.util
import json
import math
import os
import pickle
import subprocess
import sys
import types
import weakref

import numpy as np
import pytest

from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.drift_v2.utils.constants import INFINITY, DataSetType
from plenx_metrics_plugin.metrics.llm.common.model_providers import plenx_auvrix_ai_provider as provider_module
from plenx_metrics_plugin.metrics.llm.utils.constants import ParaphrasingModel

B, P = DataSetType.BASELINE, DataSetType.PRODUCTION
CLASSES = [iv.Interval, iv.ContinuousStatisticsInterval, iv.DiscreteStatisticsInterval]


def make(cls):
    return cls(0, 10) if cls is iv.ContinuousStatisticsInterval else cls("f")


def complete(cls, baseline=(10, 20.0), production=(15, 30.0)):
    interval = make(cls)
    interval.add_baseline_value(*baseline)
    interval.add_production_value(*production)
    return interval


def swallow(operation):
    """Runs `operation`; any Python exception is an acceptable answer, a SystemError is not."""
    try:
        return operation()
    except SystemError:
        raise
    except Exception as error:
        return error


def refcount_drift(objects, exercise, rounds=300):
    """How far each object's reference count moved over `rounds` runs of `exercise`, after warm-up."""
    for _ in range(20):
        exercise()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(rounds):
        exercise()
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    return [a - b for a, b in zip(after, before)]


# ---- reference counts ----

def interval_lifecycle(field):
    """Every member of both intervals, the failing paths included, with `field` as the category."""
    for cls, args in ((iv.DiscreteStatisticsInterval, (field,)), (iv.ContinuousStatisticsInterval, (0.5, 2))):
        interval = cls(*args)
        swallow(interval.get_baseline_value)  # StopIteration
        swallow(lambda: interval.eligible_for_insights)  # IndexError
        swallow(lambda: interval.add_baseline_value(1.5, 20.0))  # TypeError: count
        swallow(lambda: interval.add_baseline_value(1, "x"))  # TypeError: percentage
        interval.add_baseline_value(0, 20.0)
        interval.add_production_value(5, 30.0)
        assert interval.absolute_change_percentage is INFINITY
        restored = cls.from_dict(interval.to_dict())
        assert restored == interval and not interval < restored and interval >= restored
        broken = interval.to_dict()
        del broken["id"]
        swallow(lambda: cls.from_dict(broken))  # ValueError from KeyError
        swallow(lambda: cls.from_dict(None))  # TypeError
        swallow(lambda: interval == None)  # noqa: E711
        swallow(lambda: iv.Interval(field) < interval)  # NotImplementedError
        swallow(lambda: hash(interval))
        repr(interval)


def test_shared_objects_keep_their_reference_counts_across_interval_lifecycles():
    field = "shared category"
    drift = refcount_drift([INFINITY, B, P, DataSetType, field, iv.IntervalValue], lambda: interval_lifecycle(field))
    assert drift == [0] * 6


@pytest.mark.parametrize("cls", CLASSES)
def test_a_replaced_init_leaves_the_reference_count_of_none_alone(cls, monkeypatch):
    # Such an __init__ runs through the class's own slot, whose None the construction must not release.
    original = cls.__init__
    monkeypatch.setattr(cls, "__init__", lambda self, *args: original(self, *args))
    assert refcount_drift([None], lambda: make(cls)) == [0]


# ---- garbage collection ----

@pytest.mark.parametrize("link", [
    lambda i: setattr(i, "me", i),
    lambda i: i.values.append(i),
    lambda i: setattr(i, "_absolute_change_percentage", [i]),
    lambda i: i.add_baseline_value(1, 1.0) or setattr(i.values[0], "type", i),
])
@pytest.mark.parametrize("cls", CLASSES)
def test_intervals_in_reference_cycles_are_collected(cls, link):
    interval = make(cls)
    link(interval)
    swallow(lambda i=interval: i.absolute_change_percentage)  # no closure: `del` must not break the cycle
    alive = weakref.ref(interval)
    del interval
    gc.collect()
    assert alive() is None


def fresh_interval_module():
    """A second, unshared instance of the interval module, loaded from the same shared library."""
    spec = importlib.util.spec_from_file_location(iv.__name__, iv.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_compiled_functions_take_part_in_garbage_collection():
    module = fresh_interval_module()
    function = vars(module.Interval)["to_dict"]
    assert gc.is_tracked(function) and module.Interval in gc.get_referents(function)
    function.cycle = [function]  # through its own __dict__
    assert function.__dict__ in gc.get_referents(function)
    alive = [weakref.ref(o) for o in (module, module.Interval, module.DiscreteStatisticsInterval, function)]
    del module, function
    gc.collect()
    assert [ref() for ref in alive] == [None] * 4


# ---- pickling and copying ----

def snapshot(o):
    """The attributes of `o`, with IntervalValues unfolded, for comparing copies."""
    if isinstance(o, list):
        return [snapshot(v) for v in o]
    if isinstance(o, (iv.IntervalValue, iv.Interval)):
        return type(o), {k: (type(v), snapshot(v)) for k, v in vars(o).items()}
    return o


def pickled(o):
    return pickle.loads(pickle.dumps(o, protocol=pickle.HIGHEST_PROTOCOL))


@pytest.mark.parametrize("duplicate", [pickled, copy.copy, copy.deepcopy])
@pytest.mark.parametrize("cls", CLASSES)
def test_copies_keep_every_attribute_and_cache(cls, duplicate):
    interval = complete(cls)
    interval.absolute_change_percentage, interval.eligible_for_insights
    interval.insights_available, interval.extra = True, {"note": 1}
    if cls is iv.DiscreteStatisticsInterval:
        interval.statistical_buffer, interval.contribution_to_distance = 0.25, np.float32(2.5)
    twin = duplicate(interval)
    assert snapshot(twin) == snapshot(interval) and list(vars(twin)) == list(vars(interval))
    assert type(twin._absolute_change_percentage) is np.float64 and twin._eligible_for_insights is True
    assert (twin.values is interval.values) == (duplicate is copy.copy)
    assert twin.values[0].type is B and (cls is iv.Interval or twin == interval)


@pytest.mark.parametrize("duplicate", [pickled, copy.copy, copy.deepcopy])
def test_copies_of_values_and_of_uncomputed_caches(duplicate):
    value = iv.IntervalValue(P, 2**80, 1.5)
    assert snapshot(duplicate(value)) == snapshot(value)
    fresh = make(iv.DiscreteStatisticsInterval)
    twin = duplicate(fresh)
    assert twin._absolute_change_percentage == -1 and twin._eligible_for_insights is None and twin.id == fresh.id


@pytest.mark.parametrize("cls", CLASSES)
def test_repr_computes_nothing(cls, monkeypatch):
    interval = complete(cls)
    monkeypatch.setattr(iv, "ControlBoxManager", None)  # any consultation would fail
    for shown in (interval, interval.values[0]):
        assert isinstance(repr(shown), str)
    assert interval._absolute_change_percentage == -1 and interval._eligible_for_insights is None


# ---- odd values assigned by host code ----

class Hostile:
    """Every operation the modules may apply raises."""

    def _fail(self, *args):
        raise ArithmeticError("hostile")

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __bool__ = __float__ = __index__ = _fail
    __str__ = __repr__ = __format__ = __len__ = __iter__ = __getitem__ = _fail
    __hash__ = None


class Odd:
    """Operations answer with objects of the wrong type."""

    def __eq__(self, other):
        return Hostile()

    __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __eq__

    def __float__(self):
        return "not a float"

    def __index__(self):
        return 1.5

    def __str__(self):
        return 42

    __repr__ = __format__ = __str__


class ShrinkingList(list):
    """Empties itself whenever it is looked at."""

    def __len__(self):
        n = list.__len__(self)
        self.clear()
        return n

    def __iter__(self):
        yield from list(list.__iter__(self))
        self.clear()


ODD_VALUES = [None, Hostile(), Odd(), math.nan, -math.inf, 2**200, np.float32("nan"), np.int64(-1), "text",
              [Hostile()], ShrinkingList(), (), {}]


def fresh(value):
    """A shrinking list is spent once looked at; each use gets a full one."""
    if type(value) is ShrinkingList:
        return ShrinkingList([iv.IntervalValue(B, 1, 1.0), iv.IntervalValue(P, 2, 2.0)])
    return value


ATTRIBUTES = ["values", "_absolute_change_percentage", "_eligible_for_insights", "lower_bound", "upper_bound",
              "statistical_buffer", "contribution_to_distance", "insights_available", "id", "field"]


def every_member(interval):
    other = complete(type(interval), (10, 20.0), (12, 25.0))
    yield lambda: interval.absolute_change_percentage
    yield lambda: interval.is_change_significant
    yield lambda: interval.eligible_for_insights
    yield interval._calculate_absolute_change_percentage
    yield lambda: interval.add_baseline_value(1, 2.0)
    yield lambda: interval.add_production_value(3, np.float64(4.0))
    yield interval.get_baseline_value
    yield interval.get_production_value
    yield interval.has_increased_in_production
    yield interval.to_dict
    yield lambda: type(interval).from_dict(swallow(interval.to_dict))
    yield lambda: repr(interval)
    for op in ("__lt__", "__le__", "__gt__", "__ge__", "__eq__", "__ne__"):
        yield lambda op=op: getattr(interval, op)(other)
        yield lambda op=op: getattr(other, op)(interval)
    yield lambda: sorted([interval, other, interval])
    yield lambda: copy.deepcopy(interval)
    yield lambda: pickled(interval)


@pytest.mark.parametrize("value", ODD_VALUES, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("cls", [iv.ContinuousStatisticsInterval, iv.DiscreteStatisticsInterval])
def test_odd_attribute_values_give_python_exceptions(cls, value):
    for attribute in ATTRIBUTES:
        interval = complete(cls)
        setattr(interval, attribute, fresh(value))
        for member in every_member(interval):
            swallow(member)
        delattr(interval, attribute)
        for member in every_member(interval):
            swallow(member)


@pytest.mark.parametrize("value", ODD_VALUES, ids=lambda v: type(v).__name__)
def test_odd_arguments_give_python_exceptions(value):
    value = fresh(value)
    for call in (lambda: iv.IntervalValue(value, value, value), lambda: iv.IntervalValue(B, 1, value),
                 lambda: iv.ContinuousStatisticsInterval(value, value), lambda: iv.DiscreteStatisticsInterval(value),
                 lambda: iv.Interval.from_dict({"id": value}), lambda: iv.DiscreteStatisticsInterval.from_dict(
                     dict.fromkeys(complete(iv.DiscreteStatisticsInterval).to_dict(), value)),
                 lambda: iv.ContinuousStatisticsInterval.from_dict(
                     dict.fromkeys(complete(iv.ContinuousStatisticsInterval).to_dict(), value))):
        swallow(call)
        swallow(lambda: repr(swallow(call)))


def test_a_shrinking_values_list_is_never_read_past_its_end():
    interval = complete(iv.DiscreteStatisticsInterval)
    interval.values = ShrinkingList(interval.values)
    assert interval._calculate_absolute_change_percentage() == -1  # emptied by its own len()
    assert isinstance(swallow(lambda: interval.eligible_for_insights), IndexError)


# ---- the C stack ----

DEEP_RECURSION = """
import builtins, importlib.util, json, sys, threading
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
N = 15000

def filled(made):
    made.add_baseline_value(10, 20.0); made.add_production_value(15, 30.0)
    return made

def method_and_super(depth):
    class Linked(iv.DiscreteStatisticsInterval):
        child = None
        def get_baseline_value(self):
            depth[0] += 1
            if self.child is not None: self.child.has_increased_in_production()
            return super().get_baseline_value()
    head = None
    for k in range(N):
        x = filled(Linked(k)); x.child = head; head = x
    return head.has_increased_in_production

def comparison(depth):
    class Key:
        def __init__(self, a, b): self.a, self.b = a, b
        def __eq__(self, other): return self.a is None or self.a == self.b
    pair = (None, None)
    for _ in range(N):
        a, b = filled(iv.ContinuousStatisticsInterval(0, 1)), filled(iv.ContinuousStatisticsInterval(0, 1))
        a.lower_bound, b.lower_bound = Key(*pair), Key(*pair)
        pair = (a, b)
    return lambda: pair[0] == pair[1]

def construction(depth):
    def round_(x, *digits):
        if x > 0: iv.ContinuousStatisticsInterval(x - 1, 0)
        return x
    def go():
        iv.round_ = round_
        iv.ContinuousStatisticsInterval(N, 0)
    return go

def representation(depth):
    class Field:
        def __init__(self, child): self.child = child
        def __repr__(self): return repr(self.child)
    head = None
    for _ in range(N):
        head = iv.DiscreteStatisticsInterval(Field(head))
    return lambda: repr(head)

def loading(depth):
    def load():
        spec = importlib.util.spec_from_file_location(iv.__name__, iv.__file__)
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    def hook(*args, real=builtins.__import__):
        depth[0] += 1
        load()  # the module loads itself again while it loads
        return real(*args)
    def go(real=builtins.__import__):
        builtins.__import__ = hook
        try:
            load()
        finally:
            builtins.__import__ = real
    return go

depth, results = [0], {}
cases = {case.__name__: case(depth) for case in (method_and_super, comparison, construction, representation, loading)}
def run_all(where, limit):
    for name, go in cases.items():
        depth[0], helper = 0, iv.round_
        sys.setrecursionlimit(limit)
        try:
            go()
            outcome = "returned"
        except RecursionError as error:
            outcome = "RecursionError: " + str(error)
        sys.setrecursionlimit(1000)
        iv.round_ = helper
        results[f"{where} {limit} {name}"] = [outcome, depth[0]]

run_all("main", 1000)
run_all("main", 200000)
threading.stack_size(512 * 1024)
thread = threading.Thread(target=run_all, args=("thread", 200000))
thread.start(); thread.join()
print(json.dumps(results))
"""


@pytest.mark.parametrize("shortcuts", ["1", "0"])
def test_deep_recursion_through_host_code_ends_in_recursion_error_never_a_crash(shortcuts):
    env = dict(os.environ, PLENX_GLUE_SHORTCUTS=shortcuts)
    done = subprocess.run([sys.executable, "-P", "-c", DEEP_RECURSION], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    results = json.loads(done.stdout.splitlines()[-1])
    assert len(results) == 15 and all(o == "returned" or o.startswith("RecursionError") for o, _ in results.values())
    # At the default limit the recursion limit stops it first, with the interpreter's own words.
    default_limit = [o for key, (o, _) in results.items() if " 1000 " in key]
    assert all(o.startswith("RecursionError: maximum recursion depth exceeded") and "C stack" not in o
               for o in default_limit), results
    # A small thread still goes some hundred calls deep (fewer where sanitizer frames are large).
    assert results["thread 200000 method_and_super"][1] >= 100, results


# ---- greenlets ----
# Greenlets that switch inside host code our calls run (as gevent switches in a patched socket)
# leave our calls in any order, or are thrown GreenletExit inside them: each call must go on in
# its own context. Three greenlets run without a switch, then switching at every hook.
GREENLETS = """
import greenlet, json, sys
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
C, case, hops, ring, genuine = iv.ContinuousStatisticsInterval, sys.argv[1], [0], [], iv.round_
def made(low, cls=C):
    m = cls(low, low + 1); m.add_baseline_value(1, 0.5); m.add_production_value(2, 0.25 + low / 100); return m
def hop():  # host code inside a call of ours: the next greenlet runs (in "kill", the second is killed)
    if hops[0] and (me := greenlet.getcurrent()) in ring:
        hops[0] -= 1; other = ring[(ring.index(me) + 1) % 3]
        other.throw() if case == "kill" and me is ring[0] and hops[0] < 20 and not other.dead else other.switch()
iv.round_ = lambda bound, *rest: (hop(), genuine(bound, *rest))[1]
class Ranged(C):  # a class of the host's: our comparison reads its property
    absolute_change_percentage = property(lambda self: (hop(), C.absolute_change_percentage.fget(self))[1])
def work(k, log, stored):
    for low in (0.0, 2.0):
        log.append([C.from_dict(stored).field, C(k + low, 9).id != stored["id"]] if case != "sort"
                   else [x.field for x in sorted(made(float(j % 3) + low, Ranged) for j in range(5))])
def run(switches):
    hops[0], logs = switches, [[], [], []]
    ring[:] = [greenlet.greenlet(lambda k=k: work(k, logs[k], made(float(k)).to_dict())) for k in range(3)]
    while live := [g for g in ring if not g.dead]: live[0].switch()
    return logs
print(json.dumps([run(0), run(40), C.from_dict(made(0.0).to_dict()).field]))
"""


@pytest.mark.parametrize("shortcuts", ["1", "0"])
@pytest.mark.parametrize("case", ["restore", "sort", "kill"])
def test_greenlets_switching_inside_host_code_never_crash(case, shortcuts):
    pytest.importorskip("greenlet")
    if "ASAN_OPTIONS" in os.environ:
        pytest.skip("greenlet copies slices of the stack, which the address sanitizer cannot follow")
    env = dict(os.environ, PLENX_GLUE_SHORTCUTS=shortcuts)
    done = subprocess.run([sys.executable, "-P", "-c", GREENLETS, case], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    plain, switched, after = json.loads(done.stdout.splitlines()[-1])
    if case == "kill":  # killed inside its second call; the others go on
        assert len(switched[1]) < 2; plain[1] = switched[1]
    assert switched == plain and after == "0.0-1.0"


# ---- sub-interpreters ----
# Each interpreter runs the same work; every one must give what the main interpreter gives.
INTERPRETER_WORK = """
import sys, types
if STAND_IN_NUMPY:  # numpy loads in one interpreter per process: a plain stand-in elsewhere
    np = types.ModuleType("numpy")
    np.generic = type("generic", (), {})
    np.floating = type("floating", (float, np.generic), {})
    for name in ("float64", "float32", "float16"):
        setattr(np, name, type(name, (np.floating,), {}))
    for name in ("int64", "int32", "int16", "int8", "uint64", "uint32", "uint16", "uint8"):
        setattr(np, name, type(name, (int, np.generic), {}))
    np.bool_, np.str_, np.abs = type("bool_", (np.generic,), {}), type("str_", (str, np.generic), {}), abs
    sys.modules["numpy"] = np
client = types.ModuleType("plenx_auvrix_ai")
client.foundation_models = types.ModuleType("plenx_auvrix_ai.foundation_models")
client.metanames = types.ModuleType("plenx_auvrix_ai.metanames")
client.foundation_models.ModelInference = lambda **kw: types.SimpleNamespace(generate_text=lambda prompt: [kw["model_id"], prompt])
client.metanames.GenTextParamsMetaNames = types.SimpleNamespace(DECODING_METHOD="d", MAX_NEW_TOKENS="x", MIN_NEW_TOKENS="n")
for module in (client, client.foundation_models, client.metanames):
    sys.modules[module.__name__] = module
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval import (
    ContinuousStatisticsInterval as C, DiscreteStatisticsInterval as D)
from plenx_metrics_plugin.metrics.llm.common.model_providers.plenx_auvrix_ai_provider import PLENXAuvrixAIProvider

class Mine:  # this interpreter's class, whose version tag another interpreter's class may carry
    def __init__(self):
        self.field = 1
out = [Mine().field]
for _ in range(3):
    bins = []
    for i in range(20):
        c = C(i, i + 1.255)
        c.add_baseline_value(i + 1, 10.0 + i)
        c.add_production_value(2 * i + 1, 12.5 + i % 7)
        bins.append(c)
    bins.sort()
    back = [C.from_dict(b.to_dict()) for b in bins]
    d = D("red")
    d.add_baseline_value(1, 5.0)
    d.add_production_value(3, 9.0)
    out.append([back == bins, len({b.id for b in back}), [b.field for b in bins[:3]],
                {k: v for k, v in bins[-1].to_dict().items() if k != "id"}, d.eligible_for_insights,
                D.from_dict(d.to_dict()) == d])
provider = PLENXAuvrixAIProvider(project_id="p", credentials={"url": "u", "apikey": "k"}, model_name="m")
out.append(provider.get_model_responses(["hi"]))
RESULT = repr(out)
"""

INTERPRETERS = r"""
import json, os, sys, threading
work, report, mode = os.environ["WORK"], os.environ["REPORT"], sys.argv[1]
def program(stand_in):
    return "\n".join([f"STAND_IN_NUMPY = {stand_in}", work, f"open({report!r}, 'a').write(RESULT + chr(10))"])
if mode == "legacy":  # sharing the main interpreter's GIL, before and after the main one imports
    import _testcapi
    runs = [_testcapi.run_in_subinterp(program(True)) for _ in range(2)]
    exec(program(False))
    runs += [_testcapi.run_in_subinterp(program(True)) for _ in range(2)]
    assert runs == [0] * 4, runs
else:  # each with its own GIL, several at once, while others come and go
    try:
        import _interpreters as interpreters
        run = interpreters.exec
    except ImportError:
        import _xxsubinterpreters as interpreters
        run = interpreters.run_string
    failures = []
    def worker():
        for _ in range(2):
            ident = interpreters.create()
            failures.append(run(ident, program(True)))
            interpreters.destroy(ident)
    if mode == "isolated-after":
        exec(program(False))
    threads = [threading.Thread(target=worker) for _ in range(3)]
    for thread in threads: thread.start()
    for thread in threads: thread.join()
    assert failures == [None] * 6, failures
    if mode == "isolated":
        exec(program(False))
    from plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval import Interval as C
    # Where numpy cannot load, the module fails as a plain module would: with numpy's ImportError.
    ident = interpreters.create()
    def error_of(code):
        try:
            return str(run(ident, code))
        except Exception as error:  # 3.12 raises what 3.13 returns
            return str(error)
    print(json.dumps([error_of("import " + name) for name in ("numpy", C.__module__)]))
"""


@pytest.mark.parametrize("mode", [
    "legacy",
    pytest.param("isolated", marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="3.12 and later")),
    pytest.param("isolated-after", marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="3.12 and later")),
])
def test_every_interpreter_gets_modules_of_its_own(mode, tmp_path):
    report = tmp_path / "report"
    env = dict(os.environ, WORK=INTERPRETER_WORK, REPORT=str(report))
    done = subprocess.run([sys.executable, "-P", "-c", INTERPRETERS, mode], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    results = report.read_text().splitlines()
    assert len(results) == (5 if mode == "legacy" else 7) and len(set(results)) == 1, results
    if mode != "legacy":
        plain, ours = json.loads(done.stdout.splitlines()[-1])
        assert ours == plain and "ImportError" in plain


# ---- the provider ----
SECRET = "apikey-hardening-s3cr3t"


class Params:
    DECODING_METHOD, MAX_NEW_TOKENS, MIN_NEW_TOKENS = "decoding", "max_tokens", "min_tokens"


class FakeClient:
    """A client package in sys.modules; generate_text raises what `script` holds, then returns `result`."""

    def __init__(self, monkeypatch):
        self.script, self.result = [], {"generated_text": "shared"}
        package = types.ModuleType("plenx_auvrix_ai")
        package.foundation_models = types.ModuleType("plenx_auvrix_ai.foundation_models")
        package.metanames = types.ModuleType("plenx_auvrix_ai.metanames")
        package.foundation_models.ModelInference = lambda **kwargs: types.SimpleNamespace(generate_text=self.generate)
        package.metanames.GenTextParamsMetaNames = Params
        for module in (package, package.foundation_models, package.metanames):
            monkeypatch.setitem(sys.modules, module.__name__, module)
        monkeypatch.setattr(provider_module, "time", types.SimpleNamespace(sleep=lambda seconds: None))

    def generate(self, prompt):
        if self.script:
            raise self.script.pop(0)
        return self.result


@pytest.fixture
def client(monkeypatch):
    return FakeClient(monkeypatch)


def new_provider(credentials, **kwargs):
    return provider_module.PLENXAuvrixAIProvider("p", credentials, **{"model_name": "m", **kwargs})


def provider_requests(client, provider, credentials, prompts, monkeypatch):
    """Every request of the provider, the failing paths included; returns what it raised."""
    raised = []
    steps = [
        lambda: provider.get_model_responses(prompts),
        lambda: provider.get_judge_model_responses(prompts, "judge"),
        lambda: provider.get_judge_model_responses(prompts, None, {"max_tokens": 5}),
        lambda: client.script.extend([RuntimeError("503")]) or provider.get_paraphrasing_responses(prompts),
        lambda: client.script.extend([RuntimeError("503")] * 3) or provider.get_paraphrasing_responses(prompts),
        lambda: client.script.append(KeyError("x")) or provider.get_model_responses(prompts),
        lambda: new_provider(credentials, generate_params={"k": 1}),
        lambda: provider_module.PLENXAuvrixAIProvider(None, credentials),
        lambda: new_provider({"url": "u"}),
        lambda: provider.get_paraphrasing_responses(),
    ]
    for step in steps:
        outcome = swallow(step)
        if isinstance(outcome, Exception):
            raised.append(outcome)
    with monkeypatch.context() as patch:
        patch.setitem(sys.modules, "plenx_auvrix_ai.metanames", None)
        raised.append(swallow(lambda: provider.get_judge_model_responses(prompts, "judge")))
        raised.append(swallow(lambda: new_provider(credentials)))
    return raised


def test_shared_objects_keep_their_reference_counts_across_provider_calls(client, monkeypatch):
    credentials, prompts, params = {"url": "u", "apikey": SECRET}, ["a prompt"], {"max_tokens": 9}
    provider = new_provider(credentials, generate_params=params)
    provider.logger = types.SimpleNamespace(log_warning=lambda message: None)
    shared = [credentials, prompts, params, client.result, ParaphrasingModel.META_LLAMA_3_3_70B_INSTRUCT, provider]
    exercise = lambda: provider_requests(client, provider, credentials, prompts, monkeypatch)  # noqa: E731
    assert refcount_drift(shared, exercise) == [0] * 6


def test_providers_in_reference_cycles_are_collected(client):
    credentials = {"url": "u", "apikey": SECRET}
    provider = new_provider(credentials)
    credentials["owner"] = provider
    provider.model.generate_text = lambda prompt, answer=provider: answer  # a second cycle, through the model
    assert provider.get_model_responses(["q"]) is provider
    alive = weakref.ref(provider)
    del provider, credentials
    gc.collect()
    assert alive() is None


def test_nothing_shown_raised_or_logged_carries_the_credentials(client, monkeypatch, caplog):
    credentials = {"url": "u", "apikey": SECRET}
    provider = new_provider(credentials)
    raised = provider_requests(client, provider, credentials, ["q"], monkeypatch)
    assert {type(e) for e in raised} >= {Exception, KeyError, ValueError, TypeError}
    shown = [repr(provider), str(provider), caplog.text] + [str(e) for e in raised] + [repr(e) for e in raised]
    assert not [text for text in shown if SECRET in text]


@pytest.mark.parametrize("attribute", ["model", "paraphrase_model", "credentials", "project_id", "model_name",
                                       "generate_params", "logger"])
@pytest.mark.parametrize("value", [None, Hostile(), Odd(), [], {"url": Hostile()}], ids=lambda v: type(v).__name__)
def test_odd_provider_attributes_give_python_exceptions(client, attribute, value):
    provider = new_provider({"url": "u", "apikey": SECRET})
    setattr(provider, attribute, value)
    client.script = [RuntimeError("503")] * 2
    for request in (lambda: provider.get_model_responses(["q"]), lambda: provider.get_paraphrasing_responses("q"),
                    lambda: provider.get_judge_model_responses(["q"], None, value),
                    provider._PLENXAuvrixAIProvider__validate, provider._PLENXAuvrixAIProvider__get_paraphrasing_model,
                    lambda: repr(provider), lambda: copy.deepcopy(provider)):
        swallow(request)


# ---- a copy of the process ----

RAW_FORK = """
import ctypes, json, os, platform, sys
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
libc = ctypes.CDLL(None, use_errno=True)
# fork(2) itself, past libc and so past every pthread_atfork handler (clone(SIGCHLD) where no fork exists).
raw_fork = {"x86_64": lambda: libc.syscall(57), "aarch64": lambda: libc.syscall(220, 17, 0, 0, 0, 0)}[platform.machine()]
ids = lambda: [iv.DiscreteStatisticsInterval("f").id for _ in range(4)]
before = ids()
reader, writer = os.pipe()
pid = raw_fork()
if pid == 0:
    os.write(writer, json.dumps(ids()).encode())
    os._exit(0)
os.close(writer)
child = json.loads(os.read(reader, 4096))
os.waitpid(pid, 0)
print(json.dumps([before, ids(), child]))
"""


@pytest.mark.skipif(os.uname().machine not in ("x86_64", "aarch64"), reason="raw fork syscall number unknown")
@pytest.mark.parametrize("shortcuts", ["1", "0"])
def test_a_copy_of_the_process_made_without_fork_handlers_never_repeats_an_id(shortcuts):
    env = dict(os.environ, PLENX_GLUE_SHORTCUTS=shortcuts)
    done = subprocess.run([sys.executable, "-P", "-c", RAW_FORK], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-3000:]
    before, parent, child = json.loads(done.stdout.splitlines()[-1])
    assert len(set(before + parent + child)) == 12, (parent, child)
