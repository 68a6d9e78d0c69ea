"""Long run of the lockstep test: the compiled interval module against its plain-Python model
(tests/lockstep.py) over many random operation sequences with hostile objects.

    python -P fuzz/model_run.py --sequences 200000 --workers 2

Prints the number of sequences and steps run, and the first disagreement (with its seed) if any.
"""
import argparse
import collections
import multiprocessing
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))


def run_sequences(first_seed, count, steps):
    from lockstep import Lockstep, RandomSource

    outcomes = collections.Counter()
    for seed in range(first_seed, first_seed + count):
        rng = random.Random(seed)
        lockstep = Lockstep()
        try:
            for _ in range(rng.randint(1, steps)):
                result = lockstep.step(RandomSource(rng))
                outcomes[result[0] if result[0] == "returned" else result[1][0]] += 1
        except AssertionError as failure:
            return seed, outcomes, str(failure)
        finally:
            try:
                lockstep.close()
            except AssertionError as failure:
                return seed, outcomes, str(failure)
    return None, outcomes, None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sequences", type=int, default=200_000)
    parser.add_argument("--steps", type=int, default=25, help="most steps in one sequence")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0, help="first seed")
    args = parser.parse_args(argv)
    chunk = 500
    jobs = [(seed, min(chunk, args.seed + args.sequences - seed), args.steps)
            for seed in range(args.seed, args.seed + args.sequences, chunk)]
    started = time.perf_counter()
    totals, done = collections.Counter(), 0
    with multiprocessing.get_context("spawn").Pool(args.workers) as pool:
        for (first, count, _), (failed, outcomes, message) in zip(jobs, pool.imap(_job, jobs)):
            totals += outcomes
            if failed is not None:
                print(f"disagreement in sequence {failed}:\n{message}")
                return 1
            done += count
    elapsed = time.perf_counter() - started
    print(f"{done} sequences, {sum(totals.values())} steps in {elapsed:.0f} s: all agree")
    print("outcomes:", ", ".join(f"{k} {v}" for k, v in totals.most_common()))
    return 0


def _job(job):
    return run_sequences(*job)


if __name__ == "__main__":
    sys.exit(main())
