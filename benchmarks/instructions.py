"""Instructions per interval of each phase of benchmarks/lifecycle.py, counted by callgrind.

Wall time varies by several percent between runs; instruction counts do not, so a change of 1%
shows. Each count runs the lifecycle up to the end of one phase in a fresh interpreter under
`valgrind --tool=callgrind`, with the collector off; a phase's count is the difference between
the runs that end after it and before it, divided by the number of intervals (N of each kind).

    python -P benchmarks/instructions.py                 # ours, N = 20,000
    python -P benchmarks/instructions.py -n 4000 --baseline tests/interval_model.py

Needs valgrind on PATH. Run from the repository root, after `pip install .` (or with
`PYTHONPATH=.` after the development build of docs/development.md).
"""

import argparse
import importlib
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lifecycle  # noqa: E402  (the phases and the workload, shared with the timed benchmark)


def run_phases(module_path, count, upto):
    """The child: the workload, then the phases up to `upto` (0: none), collector off."""
    import gc
    gc.disable()
    module = importlib.import_module(lifecycle.OURS) if module_path == "ours" else lifecycle.load_file(
        "_baseline", module_path)
    work = lifecycle.Workload(count, 20240601)
    if upto >= 1:
        continuous, discrete = lifecycle.build(module, work)
    if upto >= 2:
        lifecycle.measures(continuous, discrete)
    if upto >= 3:
        continuous, discrete = lifecycle.sort(continuous, discrete)
    if upto >= 4:
        continuous_dicts, discrete_dicts = lifecycle.to_dicts(continuous, discrete)
    if upto >= 5:
        del continuous, discrete
        lifecycle.from_dicts(module, continuous_dicts, discrete_dicts)


def instructions(module_path, count, upto):
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-P",
               os.path.abspath(__file__), "--child", module_path, str(count), str(upto)]
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    found = re.search(r"Collected : (\d+)", done.stderr)
    if found is None:
        raise SystemExit(f"no instruction count from callgrind:\n{done.stderr[-2000:]}")
    return int(found.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", "--count", type=int, default=20_000, help="intervals of each kind (default 20,000)")
    parser.add_argument("--baseline", action="append", default=[], metavar="PATH",
                        help="also count this implementation of the module (repeatable)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_phases(args.child[0], int(args.child[1]), int(args.child[2]))
        return 0
    if shutil.which("valgrind") is None:
        raise SystemExit("instructions.py: valgrind is not on PATH")
    print(f"instructions per interval, {args.count:,} intervals of each kind, collector off")
    print(f"{'':24}" + "".join(f"{phase:>11}" for phase in lifecycle.PHASES) + f"{'total':>11}")
    for module_path in ["ours", *args.baseline]:
        counts = [instructions(module_path, args.count, upto) for upto in range(len(lifecycle.PHASES) + 1)]
        per_phase = [(after - before) / (2 * args.count) for before, after in zip(counts, counts[1:])]
        label = "ours" if module_path == "ours" else os.path.basename(module_path)
        print(f"{label:24}" + "".join(f"{n:>11,.0f}" for n in per_phase) + f"{sum(per_phase):>11,.0f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
