"""The provider demo runs as a new user would run it, minus the real pause."""
import runpy
import sys
import types
from pathlib import Path

from plenx_metrics_plugin.metrics.llm.common.model_providers import plenx_auvrix_ai_provider as provider_module

DEMO = Path(__file__).resolve().parents[1] / "examples" / "provider_demo.py"


def test_demo_retries_one_gateway_timeout(monkeypatch, capsys, caplog):
    pauses = []
    monkeypatch.setattr(provider_module, "time", types.SimpleNamespace(sleep=pauses.append))
    monkeypatch.setattr(sys, "path", list(sys.path))
    try:
        runpy.run_path(str(DEMO), run_name="__main__")
    finally:  # the stand-in client must not outlive the test
        for name in [name for name in sys.modules if name.startswith("plenx_auvrix_ai")]:
            del sys.modules[name]
    out = capsys.readouterr().out
    assert all(f"\n{label}: " in f"\n{out}" for label in ("model", "judge", "paraphrase"))
    assert pauses == [2] and len(caplog.records) == 1 and "not-a-real-key" not in caplog.text
