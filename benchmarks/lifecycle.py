"""Side-by-side benchmark of the whole life of drift statistics intervals.

Runs N continuous and N discrete intervals (N of each kind) through the order of use the classes
are built for, timing each phase:

    build      construct, add the baseline and production values (and, for a discrete bin, set
               statistical_buffer and contribution_to_distance as host code does)
    measures   read absolute_change_percentage, is_change_significant, eligible_for_insights,
               call has_increased_in_production()
    sort       sorted() of each kind's list
    to_dict    every interval
    from_dict  every dictionary, through its class's from_dict

and prints the median nanoseconds per interval of each phase over several rounds, plus the memory
per interval (tracemalloc, after build and measures). Other implementations of the interval
module run in the same process, alternately with ours, and get a ratio column (theirs / ours:
above 1 means ours is faster or smaller). By default that is the project's plain-Python statement
of the interval rules, tests/interval_model.py; --baseline PATH names other files instead, and
--with-cython and --with-mypyc add a Cython 3 and a mypyc build of each of those .py files,
compiled into a temporary folder (mypyc is skipped, with a message, when mypy is not installed).

    python -P benchmarks/lifecycle.py --with-cython --with-mypyc    # docs/performance.md

Each round times every implementation with the garbage collector on, as users run it (the
headline table), and again with it off (--gc on / --gc off time one of the two only). With the
collector on, the time spent inside it is read from gc.callbacks and shown beside the ratios: it
does the same work for every implementation, so its share caps the ratios.

The heap is the one a user's process holds in each phase: the intervals, while they are built,
measured, sorted and written out; then the dictionaries and what from_dict makes of them, after
the intervals that wrote them have gone (a restore runs where the dictionaries were loaded, not
beside their writers). --keep-intervals keeps the written intervals alive through from_dict
instead, which makes every full collection there walk twice the objects.

--runs N runs the whole benchmark N times, each in a fresh interpreter (sharing one build of the
compiled baselines), and prints the median of the runs' figures.

A figure-printing script, not a test.
"""
from __future__ import annotations

import os

# numpy's BLAS worker threads spin beside the timed loop and take the second core; the interval
# module never uses BLAS, so one thread is all it needs (set before anything imports numpy).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import contextlib
import gc
import importlib
import json
import importlib.machinery
import importlib.util
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

OURS = "plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval"
# The plain-Python statement of the rules that the tests run in lockstep with the compiled module.
MODEL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "interval_model.py")
PHASES = ("build", "measures", "sort", "to_dict", "from_dict")
GC_MODES = ("on", "off")
_FUTURE_ANNOTATIONS = re.compile(r"^from __future__ import annotations[ \t]*(#.*)?\n", re.MULTILINE)


class Candidate:
    """One implementation of the interval module and the figures gathered for it: for each
    collector mode, the rounds' nanoseconds of each phase and, with it on, of the collector's
    share of each phase."""

    def __init__(self, label, module, note=""):
        self.label = label
        self.module = module
        self.note = note
        self.times = {mode: {phase: [] for phase in PHASES + ("total",)} for mode in GC_MODES}
        self.collector = {phase: [] for phase in PHASES + ("total",)}
        self.memory = None


class CollectorClock:
    """The nanoseconds spent inside the cyclic garbage collector, added up from gc.callbacks."""

    def __init__(self):
        self.spent = 0
        self._started = 0

    def __call__(self, phase, info):
        if phase == "start":
            self._started = time.perf_counter_ns()
        else:
            self.spent += time.perf_counter_ns() - self._started


# ---------------------------------------------------------------------------------------------
# Input data: deterministic, varied, with ties so that sorting has to break them.

class Workload:
    """Pre-built constructor and measurement arguments, shared by every implementation so that
    none of them pays for making the input."""

    def __init__(self, n, seed):
        rng = random.Random(seed)
        self.continuous = [self._bounds(rng) + self._measurements(rng) for _ in range(n)]
        self.discrete = [(self._category(rng, i),) + self._measurements(rng) + self._discrete_numbers(rng)
                         for i in range(n)]
        self.count = 2 * n

    # Shares on a coarse grid make equal change percentages common, hence ties in the sort.
    _SHARES = tuple(round(0.5 * k, 1) for k in range(1, 61))

    @classmethod
    def _measurements(cls, rng):
        """(baseline count, share, production count, share), with the degenerate cases mixed in:
        empty baseline bins, empty bins on both sides, zero shares and unchanged shares."""
        kind = rng.random()
        base_count, base_share = rng.randrange(1, 5000), rng.choice(cls._SHARES)
        prod_count, prod_share = rng.randrange(1, 5000), rng.choice(cls._SHARES)
        if kind < 0.04:            # empty in the baseline only: infinite change
            base_count, base_share = 0, 0.0
        elif kind < 0.06:          # empty on both sides: no change
            base_count, base_share, prod_count, prod_share = 0, 0.0, 0, 0.0
        elif kind < 0.08:          # counted but a zero share
            base_share = 0.0
        elif kind < 0.18:          # same share in both data sets
            prod_share = base_share
        elif kind < 0.30:          # small bins, below the insight thresholds
            base_count, prod_count = rng.randrange(1, 12), rng.randrange(1, 12)
        return base_count, base_share, prod_count, prod_share

    @staticmethod
    def _bounds(rng):
        """Raw bounds the way a binning step produces them: mostly long floats (which the module
        rounds), some integers, lower bounds often shared between intervals."""
        lower = rng.randrange(-400, 400) * 0.25
        if rng.random() < 0.2:
            lower = int(lower)
            return lower, lower + rng.choice((1, 2, 5))
        lower += rng.random() * 1e-3
        return lower, lower + rng.choice((0.25, 0.5, 1.0, 2.5)) + rng.random() * 1e-3

    @staticmethod
    def _category(rng, index):
        return index if rng.random() < 0.2 else f"category_{index:06d}"

    @staticmethod
    def _discrete_numbers(rng):
        """(statistical_buffer, contribution_to_distance) on coarse grids, so ties in the change
        percentage often tie in the contribution too."""
        return rng.choice((0.05, 0.1, 0.2, 0.5)), rng.randrange(0, 50) * 0.001


# ---------------------------------------------------------------------------------------------
# The phases. Each is written the way host code would write it.

def build(module, work):
    continuous_class = module.ContinuousStatisticsInterval
    discrete_class = module.DiscreteStatisticsInterval
    continuous = []
    append = continuous.append
    for lower, upper, base_count, base_share, prod_count, prod_share in work.continuous:
        interval = continuous_class(lower, upper)
        interval.add_baseline_value(base_count, base_share)
        interval.add_production_value(prod_count, prod_share)
        append(interval)
    discrete = []
    append = discrete.append
    for field, base_count, base_share, prod_count, prod_share, buffer, contribution in work.discrete:
        interval = discrete_class(field)
        interval.add_baseline_value(base_count, base_share)
        interval.add_production_value(prod_count, prod_share)
        interval.statistical_buffer = buffer
        interval.contribution_to_distance = contribution
        append(interval)
    return continuous, discrete


def measures(continuous, discrete):
    for intervals in (continuous, discrete):
        for interval in intervals:
            interval.absolute_change_percentage
            interval.is_change_significant
            interval.eligible_for_insights
            interval.has_increased_in_production()


def sort(continuous, discrete):
    return sorted(continuous), sorted(discrete)


def to_dicts(continuous, discrete):
    return [interval.to_dict() for interval in continuous], [interval.to_dict() for interval in discrete]


def from_dicts(module, continuous_dicts, discrete_dicts):
    continuous_class = module.ContinuousStatisticsInterval
    discrete_class = module.DiscreteStatisticsInterval
    return ([continuous_class.from_dict(dict_) for dict_ in continuous_dicts],
            [discrete_class.from_dict(dict_) for dict_ in discrete_dicts])


_NO_COLLECTOR = CollectorClock()


def lifecycle(module, work, collector=_NO_COLLECTOR, keep_intervals=False):
    """One full life of the workload. Returns the nanoseconds of each phase, the nanoseconds
    `collector` counted inside the garbage collector in each, and what the lifecycle made.

    The written intervals are let go before from_dict, outside the timed phases, unless
    `keep_intervals`: a restore runs beside the stored dictionaries, not beside their writers."""
    clock = time.perf_counter_ns
    marks = [(clock(), collector.spent)]
    continuous, discrete = build(module, work)
    marks.append((clock(), collector.spent))
    measures(continuous, discrete)
    marks.append((clock(), collector.spent))
    continuous, discrete = sort(continuous, discrete)
    marks.append((clock(), collector.spent))
    continuous_dicts, discrete_dicts = to_dicts(continuous, discrete)
    marks.append((clock(), collector.spent))
    if not keep_intervals:
        del continuous, discrete
    start = (clock(), collector.spent)
    restored = from_dicts(module, continuous_dicts, discrete_dicts)
    marks.append((clock(), collector.spent))
    starts = marks[:4] + [start]
    elapsed = {phase: end[0] - begin[0] for phase, begin, end in zip(PHASES, starts, marks[1:])}
    collecting = {phase: end[1] - begin[1] for phase, begin, end in zip(PHASES, starts, marks[1:])}
    return elapsed, collecting, (continuous_dicts, discrete_dicts, restored)


def memory_per_interval(module, work):
    """Bytes still allocated per interval after build and measures, including the two lists."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        continuous, discrete = build(module, work)
        measures(continuous, discrete)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    del continuous, discrete
    return (after - before) / work.count


# ---------------------------------------------------------------------------------------------
# Loading the implementations to compare.

def load_file(name, path):
    """Load a module file (source or extension) under `name`; it imports the support modules
    by their full names, so it shares them with ours."""
    if path.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        # An extension module is initialised by the function named after the last part of its name.
        name = f"{name}.{os.path.basename(path).split('.')[0]}"
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None:
        raise SystemExit(f"cannot load {path}: not a Python source or extension module")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
    return module


def _child_says(code):
    """What `code` prints in a fresh interpreter of this environment, or None when it fails.
    Versions are read this way so that the compilers' packages never load into the timed process,
    whose heap every full collection walks."""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else None


def _has_setuptools():
    return importlib.util.find_spec("setuptools") is not None


def cython_version():
    version = importlib.util.find_spec("Cython") and _child_says("import Cython; print(Cython.__version__)")
    if not version:
        raise SystemExit("--cython/--with-cython need Cython 3 in this environment: "
                         "pip install 'cython>=3'")
    if int(version.split(".")[0]) < 3:
        raise SystemExit(f"Cython {version} found; these comparisons need Cython 3: "
                         "pip install -U 'cython>=3'")
    if not _has_setuptools():
        raise SystemExit("--cython/--with-cython build with setuptools, which this environment lacks: "
                         "pip install setuptools")
    return version


def mypyc_version():
    """mypy's version when mypyc can build here; otherwise None, after saying why."""
    if importlib.util.find_spec("mypyc") is None:
        print("mypyc is not installed (pip install mypy): no mypyc build, its column is left out",
              file=sys.stderr)
        return None
    if not _has_setuptools():
        print("mypyc builds with setuptools, which this environment lacks (pip install setuptools): "
              "no mypyc build, its column is left out", file=sys.stderr)
        return None
    return _child_says("import mypy.version; print(mypy.version.__version__)") or "(version unknown)"


def _built_extension(name, workdir, compiler, path):
    built = [entry for entry in os.listdir(workdir)
             if entry.startswith(name + ".") and entry.endswith((".so", ".pyd"))]
    if len(built) != 1:
        raise SystemExit(f"{compiler} build of {path} left no single extension in {workdir}")
    return os.path.join(workdir, built[0])


def compile_with_cython(name, path, workdir):
    """Compile a module file with Cython into `workdir` and return the built extension's path.
    The file is compiled under `name` (its init symbol must match the name it is loaded as)."""
    with open(path, encoding="utf-8") as source_file:
        source = source_file.read()
    note = ""
    suffix = os.path.splitext(path)[1] or ".py"
    result = _cythonize(name + suffix, source, workdir)
    if result.returncode != 0 and _FUTURE_ANNOTATIONS.search(source):
        # Some Cython releases refuse postponed annotations; the module runs the same without.
        result = _cythonize(name + suffix, _FUTURE_ANNOTATIONS.sub("", source, count=1), workdir)
        note = "without `from __future__ import annotations`"
    if result.returncode != 0:
        sys.stderr.write(result.stdout[-4000:] + result.stderr[-4000:])
        raise SystemExit(f"Cython could not build {path}")
    return _built_extension(name, workdir, "Cython", path), note


def _cythonize(filename, source, workdir):
    with open(os.path.join(workdir, filename), "w", encoding="utf-8") as target:
        target.write(source)
    command = [sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-q", "-f", "-3", "-j", "1", filename]
    return subprocess.run(command, cwd=workdir, capture_output=True, text=True)


_TOTAL_ORDERING_CALL = re.compile(r"^(\w+) = total_ordering\(\1\)[ \t]*\n", re.MULTILINE)
_CLASS = re.compile(r"^((?:@.*\n)*)class (\w+)(?:\(([^)]*)\))?:", re.MULTILINE)
_UNTYPED_PROPERTY = re.compile(r"(^[ \t]+@property\n[ \t]+def \w+\(self\)):", re.MULTILINE)
_RECURSIVE_REPR = re.compile(r"^[ \t]+@recursive_repr\(.*\)[ \t]*\n", re.MULTILINE)
_FIRST_IMPORT = re.compile(r"^(?!from __future__ )(?:import|from) ", re.MULTILINE)


def for_mypyc(source):
    """The plain module's source with the edits mypyc needs, and none that change what it does
    on the benchmark's paths:
    - a class made with total_ordering, and every class derived from one, is a regular Python
      class (@mypyc_attr(native_class=False)); `X = total_ordering(X)` becomes the decorator;
    - a property with no return annotation returns Any, so that no numpy float is made a float;
    - the reprs lose reprlib.recursive_repr, which cannot wrap a compiled method (no repr runs
      here)."""
    ordered = set(_TOTAL_ORDERING_CALL.findall(source))
    source = _TOTAL_ORDERING_CALL.sub("", source)
    regular = set()
    for match in _CLASS.finditer(source):
        decorators, name, bases = match.group(1), match.group(2), match.group(3) or ""
        if (name in ordered or "@total_ordering" in decorators
                or regular.intersection(base.strip() for base in bases.split(","))):
            regular.add(name)

    def mark(match):
        decorators, name = match.group(1), match.group(2)
        if name not in regular:
            return match.group(0)
        ordering = "@total_ordering\n" if name in ordered else ""
        return "@mypyc_attr(native_class=False)\n" + decorators + ordering + match.group(0)[len(decorators):]

    source = _CLASS.sub(mark, source)
    source = _UNTYPED_PROPERTY.sub(r"\1 -> Any:", source)
    source = _RECURSIVE_REPR.sub("", source)
    first_import = _FIRST_IMPORT.search(source)
    at = first_import.start() if first_import else 0
    return source[:at] + "from typing import Any\n\nfrom mypy_extensions import mypyc_attr\n" + source[at:]


def compile_with_mypyc(name, path, workdir):
    """Compile the mypyc form of a module file (for_mypyc) into `workdir` under `name`; returns
    the built extension's path."""
    with open(path, encoding="utf-8") as source_file:
        source = for_mypyc(source_file.read())
    with open(os.path.join(workdir, name + ".py"), "w", encoding="utf-8") as target:
        target.write(source)
    env = dict(os.environ)
    # mypy finds the package in site-packages; a development build on PYTHONPATH it must be told of.
    package = os.path.dirname(os.path.dirname(importlib.util.find_spec("plenx_metrics_plugin").origin))
    if os.path.basename(package) != "site-packages":
        env["MYPYPATH"] = package
    result = subprocess.run([sys.executable, "-m", "mypyc", name + ".py"], cwd=workdir, env=env,
                            capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout[-4000:] + result.stderr[-4000:])
        raise SystemExit(f"mypyc could not build {path}")
    return _built_extension(name, workdir, "mypyc", path), "edited for it as for_mypyc says"


def build_compiled(args, workdir):
    """Compiles what the arguments ask for into `workdir`. Returns the builds, as (label,
    module name, extension path, note) lists, and the compilers' header lines."""
    builds, header = [], []
    to_cython = list(args.cython) + ([path for path in args.baseline if path.endswith(".py")]
                                     if args.with_cython else [])
    to_mypyc = [path for path in args.baseline if path.endswith(".py")] if args.with_mypyc else []
    if to_cython:
        version = cython_version()
        for index, path in enumerate(to_cython):
            name = f"_cython_baseline_{index}"
            print(f"compiling {_label(path)} with Cython {version} in {workdir}", file=sys.stderr)
            extension, note = compile_with_cython(name, path, workdir)
            builds.append([_label(path), name, extension, f"Cython {version} build" + (f", {note}" if note else "")])
        header.append(f"Cython {version}")
    if to_mypyc:
        version = mypyc_version()
        if version is None:
            header.append("mypyc skipped: mypy or setuptools not installed")
        else:
            for index, path in enumerate(to_mypyc):
                name = f"_mypyc_baseline_{index}"
                print(f"compiling {_label(path)} with mypyc (mypy {version}) in {workdir}", file=sys.stderr)
                extension, note = compile_with_mypyc(name, path, workdir)
                builds.append([_label(path), name, extension, f"mypyc build, mypy {version}, {note}"])
            header.append(f"mypy {version}")
    return builds, header


def _label(path):
    return "tests/interval_model.py" if path == MODEL else path


# ---------------------------------------------------------------------------------------------
# Checking that the implementations did the same work, so the figures compare like with like.

def _without_id(dicts):
    return [[(key, type(value), value) for key, value in dict_.items() if key != "id"] for dict_ in dicts]


def disagreements(ours, theirs):
    """Differences between two lifecycles' outputs (sorted dictionary forms, then the restored
    intervals' dictionary forms), ignoring the random identifiers."""
    problems = []
    for kind, our_dicts, their_dicts in (("continuous", ours[0], theirs[0]), ("discrete", ours[1], theirs[1])):
        if _without_id(our_dicts) != _without_id(their_dicts):
            problems.append(f"{kind} to_dict of the sorted intervals differs")
    for label, result in (("ours", ours), ("theirs", theirs)):
        for kind, dicts, restored in (("continuous", result[0], result[2][0]),
                                      ("discrete", result[1], result[2][1])):
            if [interval.to_dict() for interval in restored] != dicts:
                problems.append(f"{label}: {kind} from_dict does not give back what to_dict stored")
    return problems


# ---------------------------------------------------------------------------------------------
# Report.

def machine_description():
    model = platform.processor() or platform.machine()
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    return f"{model}, {os.cpu_count()} logical cores, {platform.system()} {platform.release()}"


def figures_of(candidate, work, modes):
    """What the report shows of one implementation, by flat keys ("on build", "off total",
    "collector to_dict", "memory"): median ns per interval, bytes per interval."""
    figures = {"memory": candidate.memory}
    for mode in modes:
        for phase in PHASES + ("total",):
            figures[f"{mode} {phase}"] = statistics.median(candidate.times[mode][phase]) / work.count
            if mode == "on":
                figures[f"collector {phase}"] = statistics.median(candidate.collector[phase]) / work.count
    return {"label": candidate.label, "note": candidate.note, "figures": figures}


def print_report(results, args, extra_header, runs=1):
    import numpy
    print(f"Interval lifecycle: {args.count:,} continuous + {args.count:,} discrete intervals, "
          f"{args.rounds} rounds, seed {args.seed}" + (f"; median of {runs} runs" if runs > 1 else ""))
    print(f"machine: {machine_description()}")
    print(f"python:  {platform.python_implementation()} {platform.python_version()}, numpy {numpy.__version__}"
          + "".join(f", {line}" for line in extra_header)
          + ("" if os.environ.get("PLENX_GLUE_SHORTCUTS", "1") != "0" else ", PLENX_GLUE_SHORTCUTS=0"))
    print("figures: median ns per interval of each phase over the rounds; total = median of the rounds' totals")
    print("          ratio = theirs / ours (above 1: ours is faster or smaller)")
    print("          gc = the share of the time spent inside the garbage collector (gc.callbacks)")
    print("          memory = bytes per interval still allocated after build + measures (tracemalloc)")
    print("heap:    " + ("the written intervals stay alive through from_dict (--keep-intervals)" if args.keep_intervals
                         else "the written intervals are let go before from_dict"))
    for index, result in enumerate(results[1:], 1):
        print(f"  B{index}: {result['label']}" + (f" ({result['note']})" if result["note"] else ""))
    for position, mode in enumerate(modes_of(args)):
        print()
        title = "collector on, as users run it (the headline)" if mode == "on" else "collector off"
        print_table(results, mode, title, with_memory=position == 0)


def print_table(results, mode, title, with_memory):
    with_collector = mode == "on"
    ours = results[0]["figures"]
    share = f"{'gc':>5}" if with_collector else ""
    header = f"{'phase':<18}{'ours':>10}{share}"
    for index in range(1, len(results)):
        header += f" |{f'B{index}':>10}{'ratio':>8}{share}"
    print(title)
    print(header)
    print("-" * len(header))

    def cell(figures, key, collected):
        if not with_collector:
            return ""
        if collected is None:
            return " " * 5
        return f"{100 * figures[collected] / figures[key]:>4.0f}%" if figures[key] else f"{'-':>5}"

    def row(name, key, digits, collected=None):
        line = f"{name:<18}{ours[key]:>10.{digits}f}{cell(ours, key, collected)}"
        for result in results[1:]:
            value = result["figures"][key]
            ratio = f"{value / ours[key]:>7.2f}x" if ours[key] else f"{'-':>8}"
            line += f" |{value:>10.{digits}f}{ratio}{cell(result['figures'], key, collected)}"
        print(line)

    for phase in PHASES + ("total",):
        if phase == "total":
            print("-" * len(header))
        row(f"{phase} ns", f"{mode} {phase}", 1, f"collector {phase}" if with_collector else None)
    if with_collector:
        for result in results:
            figures = result["figures"]
            figures["outside"] = figures["on total"] - figures["collector total"]
        row("in collector ns", "collector total", 1)
        row("outside it ns", "outside", 1)
    if with_memory:
        row("memory B", "memory", 0)


# ---------------------------------------------------------------------------------------------

def modes_of(args):
    return GC_MODES if args.gc == "both" else (args.gc,)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Time the whole life of drift statistics intervals, ours against other implementations.")
    parser.add_argument("-n", "--count", type=int, default=20_000, metavar="N",
                        help="intervals of each kind (continuous and discrete) per round (default 20000)")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds (default 5)")
    parser.add_argument("--runs", type=int, default=1,
                        help="run the benchmark this many times, each in a fresh interpreter, and print "
                             "the median of the runs' figures (default 1)")
    parser.add_argument("--seed", type=int, default=20240601, help="seed of the input data")
    parser.add_argument("--baseline", action="append", default=[], metavar="PATH",
                        help="another implementation of the interval module as a file (repeatable; "
                             "default: the plain-Python model, tests/interval_model.py)")
    parser.add_argument("--cython", action="append", default=[], metavar="PATH",
                        help="a .py implementation to compile with Cython 3 and compare (repeatable)")
    parser.add_argument("--with-cython", action="store_true",
                        help="also compare a Cython 3 build of every --baseline .py file")
    parser.add_argument("--with-mypyc", action="store_true",
                        help="also compare a mypyc build of every --baseline .py file (skipped, with a "
                             "message, when mypy is not installed)")
    parser.add_argument("--gc", choices=("both", "on", "off"), default="both",
                        help="time with the cyclic garbage collector on, off, or both in each round (default both)")
    parser.add_argument("--gc-off", dest="gc", action="store_const", const="off",
                        help="the same as --gc off")
    parser.add_argument("--keep-intervals", action="store_true",
                        help="keep the written intervals alive through from_dict (by default they are let go)")
    parser.add_argument("--json", metavar="PATH", help=argparse.SUPPRESS)  # one run's figures, for --runs
    parser.add_argument("--prebuilt", metavar="PATH", help=argparse.SUPPRESS)  # the parent's builds, for --runs
    args = parser.parse_args(argv)
    if args.count < 1 or args.rounds < 1 or args.runs < 1:
        parser.error("--count, --rounds and --runs must be positive")
    if not args.baseline:
        args.baseline = [MODEL]
    for path in args.baseline + args.cython:
        if not os.path.isfile(path):
            parser.error(f"no such file: {path}")
    return args


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = parse_arguments(argv)
    with contextlib.ExitStack() as cleanup:
        workdir = tempfile.mkdtemp(prefix="interval-bench-")
        cleanup.callback(shutil.rmtree, workdir, ignore_errors=True)
        if args.prebuilt:
            with open(args.prebuilt, encoding="utf-8") as prebuilt:
                builds, extra_header = json.load(prebuilt)
        else:
            builds, extra_header = build_compiled(args, workdir)
        if args.runs > 1:
            return repeated(args, argv, builds, extra_header, workdir)

        candidates = [Candidate("ours", importlib.import_module(OURS))]
        for index, path in enumerate(args.baseline):
            kind = "plain Python" if path.endswith(".py") else "as built"
            candidates.append(Candidate(_label(path), load_file(f"_baseline_{index}", path), kind))
        for label, name, extension, note in builds:
            candidates.append(Candidate(label, load_file(name, extension), note))

        work = Workload(args.count, args.seed)
        try:
            run(candidates, work, args)
        finally:
            gc.enable()
        results = [figures_of(candidate, work, modes_of(args)) for candidate in candidates]
        if args.json:
            with open(args.json, "w", encoding="utf-8") as out:
                json.dump({"results": results}, out)
        else:
            print_report(results, args, extra_header)
    return 0


def repeated(args, argv, builds, extra_header, folder):
    """Runs the benchmark args.runs times, each in a fresh interpreter loading the builds made
    here, and reports the median of each figure over the runs."""
    runs = []
    prebuilt = os.path.join(folder, "builds.json")
    with open(prebuilt, "w", encoding="utf-8") as out:
        json.dump([builds, extra_header], out)
    for index in range(args.runs):
        out = os.path.join(folder, f"run{index}.json")
        command = [sys.executable, "-P", os.path.abspath(__file__), *argv, "--runs", "1", "--json", out,
                   "--prebuilt", prebuilt]
        subprocess.run(command, check=True)
        with open(out, encoding="utf-8") as figures:
            runs.append(json.load(figures))
        total = runs[-1]["results"][0]["figures"][f"{modes_of(args)[0]} total"]
        print(f"run {index + 1} of {args.runs}: total {total:.1f} ns per interval (ours)", file=sys.stderr)
    results = runs[0]["results"]
    for position, result in enumerate(results):
        for key in result["figures"]:
            result["figures"][key] = statistics.median(run["results"][position]["figures"][key] for run in runs)
    print_report(results, args, extra_header, runs=args.runs)
    return 0


def run(candidates, work, args):
    # An untimed lifecycle each: warms caches and checks that all did the same work.
    outputs = []
    for candidate in candidates:
        outputs.append(lifecycle(candidate.module, work)[2])
        gc.collect()
    for index, candidate in enumerate(candidates[1:], 1):
        for problem in disagreements(outputs[0], outputs[index]):
            print(f"warning: {candidate.label}: {problem}", file=sys.stderr)
    # Nothing of the warm-up may stay alive (a loop variable bound to one of its outputs once kept
    # 40,000 restored intervals in the heap that every timed full collection walked).
    del outputs

    collector = CollectorClock()
    gc.callbacks.append(collector)
    try:
        for round_index in range(args.rounds):
            # Rotating the starting implementation keeps any drift of the machine off one column.
            shift = round_index % len(candidates)
            for candidate in candidates[shift:] + candidates[:shift]:
                for mode in modes_of(args):
                    gc.collect()
                    if mode == "off":
                        gc.disable()
                    elapsed, collecting, made = lifecycle(candidate.module, work, collector, args.keep_intervals)
                    gc.enable()
                    del made
                    times = candidate.times[mode]
                    for phase in PHASES:
                        times[phase].append(elapsed[phase])
                        if mode == "on":
                            candidate.collector[phase].append(collecting[phase])
                    times["total"].append(sum(elapsed.values()))
                    if mode == "on":
                        candidate.collector["total"].append(sum(collecting.values()))
    finally:
        gc.callbacks.remove(collector)

    for candidate in candidates:
        candidate.memory = memory_per_interval(candidate.module, work)


if __name__ == "__main__":
    sys.exit(main())
