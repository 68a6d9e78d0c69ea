"""Drift between a baseline and a production data set, bin by bin.

Bins the shipped sample data (a numeric `age` and a categorical `channel` feature) into
statistics intervals, prints each feature's bins ranked by how much their share changed, then
stores every interval as a dictionary in a JSON file and restores it from there.

    python examples/drift_demo.py [--out intervals.json]
"""
import argparse
import csv
import json
import tempfile
from collections import Counter
from pathlib import Path

from plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval import (
    ContinuousStatisticsInterval,
    DiscreteStatisticsInterval,
)

DATA = Path(__file__).resolve().parent / "data"
AGE_BINS = 6
STATISTICAL_BUFFER = 0.1  # a category's share must change by more than 10% to be significant


def read_column(name, column):
    with open(DATA / name, newline="") as source:
        return [row[column] for row in csv.DictReader(source)]


def add_shares(interval, baseline_count, baseline_total, production_count, production_total):
    interval.add_baseline_value(baseline_count, 100 * baseline_count / baseline_total)
    interval.add_production_value(production_count, 100 * production_count / production_total)


def age_intervals(baseline, production):
    """Equal-width bins over the baseline's range; production values outside it land in the end bins."""
    low, high = min(baseline), max(baseline)
    width = (high - low) / AGE_BINS

    def bin_of(value):
        return min(max(int((value - low) // width), 0), AGE_BINS - 1)

    baseline_counts = Counter(map(bin_of, baseline))
    production_counts = Counter(map(bin_of, production))
    intervals = []
    for i in range(AGE_BINS):
        interval = ContinuousStatisticsInterval(low + i * width, low + (i + 1) * width)
        add_shares(interval, baseline_counts[i], len(baseline), production_counts[i], len(production))
        intervals.append(interval)
    return intervals


def channel_intervals(baseline, production):
    """One bin per category seen in either data set."""
    baseline_counts, production_counts = Counter(baseline), Counter(production)
    intervals = []
    for channel in sorted(baseline_counts.keys() | production_counts.keys()):
        interval = DiscreteStatisticsInterval(channel)
        add_shares(interval, baseline_counts[channel], len(baseline),
                   production_counts[channel], len(production))
        # The drift computation would supply both numbers; the demo uses simple stand-ins.
        interval.statistical_buffer = STATISTICAL_BUFFER
        interval.contribution_to_distance = abs(
            interval.get_production_value().percentage - interval.get_baseline_value().percentage) / 100
        intervals.append(interval)
    return intervals


def print_report(feature, intervals):
    print(f"{feature}: bins ranked by change in share")
    print(f"  {'bin':<12}{'baseline':>15}{'production':>15}{'change':>9}  significant  insight  grew")
    for interval in sorted(intervals, reverse=True):
        base, prod = interval.get_baseline_value(), interval.get_production_value()
        print(f"  {interval.field!s:<12}"
              f"{base.absolute_count:>7} {base.percentage:>6.2f}%"
              f"{prod.absolute_count:>7} {prod.percentage:>6.2f}%"
              f"{interval.absolute_change_percentage:>9.3f}"
              f"  {'yes' if interval.is_change_significant else 'no':<11}"
              f"  {'yes' if interval.eligible_for_insights else 'no':<7}"
              f"  {'up' if interval.has_increased_in_production() else 'down'}")
    print()


def round_trip(features, path):
    """Store every interval's dictionary form as JSON and restore it; returns the restored intervals."""
    path.write_text(json.dumps(
        {feature: [interval.to_dict() for interval in intervals] for feature, intervals in features.items()},
        indent=1))
    stored = json.loads(path.read_text())
    restored = {}
    for feature, intervals in features.items():
        restored[feature] = [type(original).from_dict(dict_) for original, dict_ in zip(intervals, stored[feature])]
        for original, copy in zip(intervals, restored[feature]):
            # Equality looks only at the change and the bin's order keys, so compare the full form too.
            assert copy == original and copy.to_dict() == original.to_dict(), (original.field, copy.field)
    return restored


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, help="JSON file for the intervals (default: a temporary file)")
    args = parser.parse_args(argv)

    features = {
        "age": age_intervals([int(v) for v in read_column("baseline.csv", "age")],
                             [int(v) for v in read_column("production.csv", "age")]),
        "channel": channel_intervals(read_column("baseline.csv", "channel"),
                                     read_column("production.csv", "channel")),
    }
    print("change = |production share - baseline share| / baseline share\n")
    for feature, intervals in features.items():
        print_report(feature, intervals)

    with tempfile.TemporaryDirectory() as scratch:
        path = args.out or Path(scratch) / "intervals.json"
        restored = round_trip(features, path)
        count = sum(map(len, restored.values()))
        print(f"{count} intervals stored in {path.name if args.out is None else path} "
              f"and restored with from_dict: all equal to the originals")
    return features, restored


if __name__ == "__main__":
    main()
