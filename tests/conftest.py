"""Shared fixtures: a fresh drift configuration per test, and a builder of complete intervals."""
import sys
from pathlib import Path

import pytest

from plenx_metrics_plugin.metrics.drift_v2.utils import control_box


@pytest.fixture(autouse=True)
def thresholds(monkeypatch):
    """Gives every test its own control box with the default thresholds; calling the fixture's
    value installs other thresholds. Both are undone after the test."""

    def install(percent=control_box.DEFAULT_INTERVAL_PERCENT_THRESHOLD_FOR_INSIGHTS,
                count=control_box.DEFAULT_INTERVAL_COUNT_THRESHOLD_FOR_INSIGHTS):
        box = control_box.ControlBox(percent, count)
        monkeypatch.setattr(control_box.ControlBoxManager, "_control_box", box)
        return box

    install()
    return install


@pytest.fixture
def filled():
    """Adds a baseline and a production measurement, each a (count, percentage) pair or None."""

    def fill(interval, baseline=(10, 20.0), production=(15, 30.0)):
        if baseline is not None:
            interval.add_baseline_value(*baseline)
        if production is not None:
            interval.add_production_value(*production)
        return interval

    return fill


# The lockstep tests import their helpers (the plain-Python model) from this folder.
sys.path.insert(0, str(Path(__file__).resolve().parent))
