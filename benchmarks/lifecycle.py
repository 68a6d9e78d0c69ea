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
of the interval rules, tests/interval_model.py; --baseline PATH names other files instead.

    python -P benchmarks/lifecycle.py --runs 3            # the figures of docs/performance.md

The garbage collector stays on while timing, as users run it (--gc-off turns it off). --runs N
runs the whole benchmark N times, each in a fresh interpreter, and prints the median of the runs'
figures.

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
_FUTURE_ANNOTATIONS = re.compile(r"^from __future__ import annotations[ \t]*(#.*)?\n", re.MULTILINE)


class Candidate:
    """One implementation of the interval module and the figures gathered for it."""

    def __init__(self, label, module, note=""):
        self.label = label
        self.module = module
        self.note = note
        self.times = {phase: [] for phase in PHASES + ("total",)}
        self.memory = None


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


def lifecycle(module, work):
    """One full life of the workload; returns the nanoseconds of each phase and what it made."""
    clock = time.perf_counter_ns
    t0 = clock()
    continuous, discrete = build(module, work)
    t1 = clock()
    measures(continuous, discrete)
    t2 = clock()
    continuous, discrete = sort(continuous, discrete)
    t3 = clock()
    continuous_dicts, discrete_dicts = to_dicts(continuous, discrete)
    t4 = clock()
    restored = from_dicts(module, continuous_dicts, discrete_dicts)
    t5 = clock()
    elapsed = dict(zip(PHASES, (t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4)))
    return elapsed, (continuous_dicts, discrete_dicts, restored)


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


def cython_version():
    try:
        import Cython
    except ImportError:
        raise SystemExit("--cython/--with-cython need Cython 3 in this environment: "
                         "pip install 'cython>=3'") from None
    if int(Cython.__version__.split(".")[0]) < 3:
        raise SystemExit(f"Cython {Cython.__version__} found; these comparisons need Cython 3: "
                         "pip install -U 'cython>=3'")
    return Cython.__version__


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
    built = [entry for entry in os.listdir(workdir)
             if entry.startswith(name + ".") and entry.endswith((".so", ".pyd"))]
    if len(built) != 1:
        raise SystemExit(f"Cython build of {path} left no single extension in {workdir}")
    return os.path.join(workdir, built[0]), note


def _cythonize(filename, source, workdir):
    with open(os.path.join(workdir, filename), "w", encoding="utf-8") as target:
        target.write(source)
    command = [sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-q", "-f", "-3", "-j", "1", filename]
    return subprocess.run(command, cwd=workdir, capture_output=True, text=True)


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


def figures_of(candidate, work):
    """What the report shows of one implementation: ns per interval of each phase, bytes."""
    figures = {phase: statistics.median(candidate.times[phase]) / work.count for phase in PHASES + ("total",)}
    return {"label": candidate.label, "note": candidate.note, "figures": {**figures, "memory": candidate.memory}}


def print_report(results, args, extra_header, runs=1):
    import numpy
    ours = results[0]["figures"]
    print(f"Interval lifecycle: {args.count:,} continuous + {args.count:,} discrete intervals, "
          f"{args.rounds} rounds, seed {args.seed}" + (f"; median of {runs} runs" if runs > 1 else ""))
    print(f"machine: {machine_description()}")
    print(f"python:  {platform.python_implementation()} {platform.python_version()}, numpy {numpy.__version__}"
          + "".join(f", {line}" for line in extra_header)
          + ("" if os.environ.get("PLENX_GLUE_SHORTCUTS", "1") != "0" else ", PLENX_GLUE_SHORTCUTS=0"))
    print(f"figures: median ns per interval of each phase; total = median of the rounds' totals; "
          f"gc {'off' if args.gc_off else 'on'} while timing")
    print("          memory = bytes per interval still allocated after build + measures (tracemalloc)")
    print("          ratio = theirs / ours (above 1: ours is faster or smaller)")
    for index, result in enumerate(results[1:], 1):
        print(f"  B{index}: {result['label']}" + (f" ({result['note']})" if result["note"] else ""))
    print()

    header = f"{'phase':<18}{'ours':>10}"
    for index in range(1, len(results)):
        header += f" |{f'B{index}':>10}{'ratio':>8}"
    print(header)
    print("-" * len(header))

    def row(name, key, digits):
        line = f"{name:<18}{ours[key]:>10.{digits}f}"
        for result in results[1:]:
            value = result["figures"][key]
            line += f" |{value:>10.{digits}f}{value / ours[key]:>7.2f}x"
        print(line)

    for phase in PHASES + ("total",):
        if phase == "total":
            print("-" * len(header))
        row(f"{phase} ns", phase, 1)
    row("memory B", "memory", 0)


# ---------------------------------------------------------------------------------------------

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
    parser.add_argument("--gc-off", action="store_true",
                        help="turn the cyclic garbage collector off while timing (it is on by default)")
    parser.add_argument("--json", metavar="PATH", help=argparse.SUPPRESS)  # one run's figures, for --runs
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
    if args.runs > 1:
        return repeated(args, argv)
    to_compile = list(args.cython)
    if args.with_cython:
        to_compile += [path for path in args.baseline if path.endswith(".py")]

    candidates = [Candidate("ours", importlib.import_module(OURS))]
    for index, path in enumerate(args.baseline):
        label = "tests/interval_model.py" if path == MODEL else path
        kind = "plain Python" if path.endswith(".py") else "as built"
        candidates.append(Candidate(label, load_file(f"_baseline_{index}", path), kind))

    extra_header = []
    with contextlib.ExitStack() as cleanup:
        if to_compile:
            version = cython_version()
            workdir = tempfile.mkdtemp(prefix="interval-bench-cython-")
            cleanup.callback(shutil.rmtree, workdir, ignore_errors=True)
            started = time.perf_counter()
            for index, path in enumerate(to_compile):
                name = f"_cython_baseline_{index}"
                extension, note = compile_with_cython(name, path, workdir)
                label = "tests/interval_model.py" if path == MODEL else path
                candidates.append(Candidate(label, load_file(name, extension),
                                            f"Cython {version} build" + (f", {note}" if note else "")))
            extra_header.append(f"Cython {version}")

        work = Workload(args.count, args.seed)
        try:
            run(candidates, work, args)
        finally:
            gc.enable()
        results = [figures_of(candidate, work) for candidate in candidates]
        if args.json:
            with open(args.json, "w", encoding="utf-8") as out:
                json.dump({"results": results, "extra_header": extra_header}, out)
        else:
            print_report(results, args, extra_header)
    return 0


def repeated(args, argv):
    """Runs the benchmark args.runs times, each in a fresh interpreter, and reports the median of
    each figure over the runs."""
    runs = []
    with tempfile.TemporaryDirectory(prefix="interval-bench-") as folder:
        for index in range(args.runs):
            out = os.path.join(folder, f"run{index}.json")
            command = [sys.executable, "-P", os.path.abspath(__file__), *argv, "--runs", "1", "--json", out]
            subprocess.run(command, check=True)
            with open(out, encoding="utf-8") as figures:
                runs.append(json.load(figures))
            print(f"run {index + 1} of {args.runs}: total {runs[-1]['results'][0]['figures']['total']:.1f} ns "
                  "per interval (ours)", file=sys.stderr)
    results = runs[0]["results"]
    for position, result in enumerate(results):
        for key in result["figures"]:
            result["figures"][key] = statistics.median(run["results"][position]["figures"][key] for run in runs)
    print_report(results, args, runs[0]["extra_header"], runs=args.runs)
    return 0


def run(candidates, work, args):
    # An untimed lifecycle each: warms caches and checks that all did the same work.
    outputs = []
    for candidate in candidates:
        outputs.append(lifecycle(candidate.module, work)[1])
        gc.collect()
    for candidate, output in zip(candidates[1:], outputs[1:]):
        for problem in disagreements(outputs[0], output):
            print(f"warning: {candidate.label}: {problem}", file=sys.stderr)
    del outputs

    for round_index in range(args.rounds):
        # Rotating the starting implementation keeps any drift of the machine off one column.
        shift = round_index % len(candidates)
        for candidate in candidates[shift:] + candidates[:shift]:
            gc.collect()
            if args.gc_off:
                gc.disable()
            elapsed, made = lifecycle(candidate.module, work)
            gc.enable()
            del made
            for phase, nanoseconds in elapsed.items():
                candidate.times[phase].append(nanoseconds)
            candidate.times["total"].append(sum(elapsed.values()))

    for candidate in candidates:
        candidate.memory = memory_per_interval(candidate.module, work)


if __name__ == "__main__":
    sys.exit(main())
