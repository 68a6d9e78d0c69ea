"""A short run of the fuzz script: hostile objects against every member of both modules."""
import importlib.util
import pathlib

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "fuzz_modules.py"


@pytest.fixture(scope="module")
def fuzz():
    spec = importlib.util.spec_from_file_location("fuzz_modules", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_short_run_meets_only_defined_results_and_python_exceptions(fuzz):
    tally = fuzz.run_cases(4000, first_seed=20261208)
    assert tally.cases >= 4000
    assert {result for label, result in tally.outcomes if label == "scenario"} == set(fuzz.SCENARIOS)
    members = {label for label, _ in tally.outcomes}
    assert {"to_dict", "from_own_dict", "get_paraphrasing_responses", "PLENXAuvrixAIProvider()"} <= members


def test_a_wrong_result_is_reported(fuzz, monkeypatch):
    monkeypatch.setattr(fuzz, "model_increased", lambda values: "wrong")
    with pytest.raises(fuzz.Failure, match="has_increased_in_production"):
        fuzz.run_cases(200, first_seed=1)
