"""The drift demo runs on the shipped sample data, ranks the bins and round-trips them through JSON."""
import importlib.util
import json
import math
from pathlib import Path

import pytest

from plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval import (
    ContinuousStatisticsInterval,
    DiscreteStatisticsInterval,
)

DEMO = Path(__file__).resolve().parent.parent / "examples" / "drift_demo.py"


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("drift_demo", DEMO)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_round_trip_through_json(demo, tmp_path, capsys):
    out = tmp_path / "intervals.json"
    features, restored = demo.main(["--out", str(out)])

    stored = json.loads(out.read_text())
    assert set(stored) == {"age", "channel"}
    assert [len(stored["age"]), len(stored["channel"])] == [6, 5]
    for feature, kind in [("age", ContinuousStatisticsInterval), ("channel", DiscreteStatisticsInterval)]:
        assert all(type(interval) is kind for interval in restored[feature])
        assert [i.id for i in restored[feature]] == [i.id for i in features[feature]]
        assert [i.field for i in restored[feature]] == [i.field for i in features[feature]]
    # A category new in production has an infinite change, which JSON carries as Infinity.
    app = next(d for d in stored["channel"] if d["field"] == "app")
    assert math.isinf(app["absolute_change_percentage"])
    assert capsys.readouterr().out.rstrip().endswith("all equal to the originals")


def test_report_ranks_largest_change_first(demo, tmp_path, capsys):
    features, _ = demo.main(["--out", str(tmp_path / "intervals.json")])
    report = capsys.readouterr().out
    for feature, intervals in features.items():
        section = report.split(f"{feature}:")[1].split("\n\n")[0]
        rows = section.splitlines()[2:]
        changes = [float(row.split()[5]) for row in rows]
        assert len(rows) == len(intervals)
        assert changes == sorted(changes, reverse=True)
    # Every data set's bins cover all of its rows, production ages beyond the baseline's range included.
    for intervals in features.values():
        assert sum(i.get_baseline_value().absolute_count for i in intervals) == 3000
        assert sum(i.get_production_value().absolute_count for i in intervals) == 2500
        assert sum(i.get_production_value().percentage for i in intervals) == pytest.approx(100)
