"""What the README and docs/ promise a user: every rule they state, run as a table of expressions
and what each gives; their examples print what they show; the version is the one written in
pyproject.toml, read back from the installed metadata."""
import importlib.metadata
import json
import math
import os
import pickle
import re
import shutil
import subprocess
import sys
import time
import tomllib
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from packaging.version import Version

import plenx_metrics_plugin
from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.llm.common.model_providers.plenx_auvrix_ai_provider import PLENXAuvrixAIProvider

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()
USER_DOCS = " ".join(" ".join((ROOT / name).read_text().split()) for name in
                     ["README.md", "docs/provider.md", "docs/scale-out.md"])
C, D, inf, nan = iv.ContinuousStatisticsInterval, iv.DiscreteStatisticsInterval, math.inf, math.nan
# Pickled by the fast build (CPython 3.11): a complete 20-40 bin whose change was never read.
FAST_BUILD_PICKLE = (
    b"\x80\x04\x95\xc4\x01\x00\x00\x00\x00\x00\x00\x8c@plenx_metrics_plugin.metrics.drift_v2.entity.statistics."
    b"interval\x94\x8c\x1cContinuousStatisticsInterval\x93)\x81}(\x8c\x0blower_boundK\x14\x8c\x0bupper_boundK("
    b"\x8c\x02id\x8c\nfast-build\x8c\x05field\x8c\x0520-40\x8c\x06values](h\x00\x8c\rIntervalValue\x93\x94)\x81}("
    b"\x8c\x04type\x94\x8c5plenx_metrics_plugin.metrics.drift_v2.utils.constants\x8c\x0bDataSetType\x93\x94\x8c"
    b"\x08baseline\x85R\x8c\x0eabsolute_count\x94K\x04\x8c\npercentage\x94G@D\x00\x00\x00\x00\x00\x00ubh\x01)\x81}("
    b"h\x02h\x03\x8c\nproduction\x85Rh\x04K\x02h\x05G@4\x00\x00\x00\x00\x00\x00ube\x8c\x1b_absolute_change_percentage"
    b"J\xff\xff\xff\xff\x8c\x16_eligible_for_insightsN\x8c\x12insights_available\x89ub.")


def bin_(base=(10, 20.0), prod=(15, 30.0), *more, bounds=(0, 1)):
    """A continuous bin with a baseline, a production and `more` production (count, percentage)."""
    interval = C(*bounds)
    for add, value in [(interval.add_baseline_value, base), (interval.add_production_value, prod),
                       *[(interval.add_production_value, extra) for extra in more]]:
        if value is not None:
            add(*value)
    return interval


def discrete(contribution=-1, field="f", buffer=-1):
    interval = D(field)
    interval.add_baseline_value(10, 20.0)
    interval.add_production_value(15, 30.0)
    interval.contribution_to_distance, interval.statistical_buffer = contribution, buffer
    return interval


def kept(interval):
    """The change read, then read again after one more measurement."""
    first = interval.absolute_change_percentage
    interval.add_production_value(1, 90.0)
    return first, interval.absolute_change_percentage


NAN_BIN = "bin_((10, nan))"
CONTINUOUS = 'PLENXAuvrixAIProvider(project_id="p", credentials={"url": "u", "apikey": "k"}, model_name="m")'
# A sentence of the docs (whitespace aside), an expression, and what it gives: a value, or an
# exception (its type, or an instance whose text the error's message must hold).
CLAIMS = [
    ("has an `absolute_change_percentage` of 0.5, not 50", "bin_().absolute_change_percentage", 0.5),
    ("The change is 0 when both shares are equal", "bin_((10, 20.0), (12, 20.0)).absolute_change_percentage", 0),
    ("-1 while the interval lacks one of its two measurements", "bin_(prod=None).absolute_change_percentage", -1),
    ("so measurements added later do not change it", "kept(bin_())", (0.5, 0.5)),
    ('the change is `INFINITY` (`float("inf")`)', "bin_((0, 0.0), (3, 10.0)).absolute_change_percentage", inf),
    ("`json.dumps` writes it as `Infinity`, which `json.loads` reads back",
     "json.loads(json.dumps(bin_((0, 0.0), (3, 10.0)).to_dict()))['absolute_change_percentage']", inf),
    ("refuses it with `ValueError: Out of range float values are not JSON compliant`",
     "json.dumps(bin_((0, 0.0), (3, 10.0)).to_dict(), allow_nan=False)",
     ValueError("Out of range float values are not JSON compliant")),
    ("When both counts are 0 the change is 0", "bin_((0, 0.0), (0, 0.0)).absolute_change_percentage", 0),
    ('(2.5, 10 / 3) gives `"2.5-3.33"`, and (-5, -1) gives `"-5--1"`', "C(2.5, 10 / 3).field, C(-5, -1).field",
     ("2.5-3.33", "-5--1")),
    ("Integers stay integers", "type(C(1, 2).upper_bound)", int),
    ("Intervals sort by `absolute_change_percentage`", "bin_((10, 20.0), (10, 20.0)) < bin_(bounds=(-9, -8))", True),
    ("breaks a tie by `lower_bound`, then by `upper_bound`",
     "bin_(bounds=(0, 9)) < bin_(bounds=(1, 2)), bin_(bounds=(0, 1)) < bin_(bounds=(0, 2))", (True, True)),
    ("a discrete one by `contribution_to_distance`", "discrete(1) < discrete(2)", True),
    ("two bins with different counts, ids or `field` can be equal",
     "bin_((1, 20.0), (2, 30.0)) == bin_(), discrete(1, 'a') == discrete(1, 'b')", (True, True)),
    ("`>`, `<=` and `>=` follow from `<` and `==`",
     "bin_() > bin_(bounds=(0, 0.5)), bin_() <= bin_(), bin_() >= bin_(bounds=(1, 2))", (True, True, False)),
    ("`interval == None` is `False`", "bin_() == None", False),
    ("`interval < None` raises `TypeError`", "bin_() < None", TypeError),
    ("The base class `Interval` does not compare at all (`NotImplementedError`)",
     "iv.Interval('f') == iv.Interval('f')", NotImplementedError),
    ("Intervals are not hashable", "hash(bin_())", TypeError),
    ("`TypeError: Argument 'absolute_count' has incorrect type (expected int, got numpy.int64)`",
     "C(0, 1).add_baseline_value(np.int64(3), 20.0)",
     TypeError("Argument 'absolute_count' has incorrect type (expected int, got numpy.int64)")),
    ("A percentage may be any real number, numpy's included",
     "bin_((10, np.float64(20.0)), (15, Fraction(30))).absolute_change_percentage", 0.5),
    ("significant when it is above the interval's `statistical_buffer`",
     "discrete(buffer=0.4).is_change_significant, discrete(buffer=0.5).is_change_significant", (True, False)),
    ("(both start at -1)", "D('f').statistical_buffer, D('f').contribution_to_distance", (-1, -1)),
    ("A continuous interval's change always counts as significant", "C(0, 1).is_change_significant", True),
    ("The defaults are 5.0 percent and 10 records",
     "[bin_(*pair).eligible_for_insights for pair in [((10, 5.0), (10, 5.0)), ((9, 5.0), (10, 5.0)),"
     " ((10, 4.9), (10, 5.0))]]", [True, False, False]),
    ("A missing key raises `ValueError`", "C.from_dict({})", ValueError("Missing key 'lower_bound'")),
    ("Counts may be negative", "bin_((-10, 20.0), (-15, 30.0)).absolute_change_percentage", 0.5),
    ("NaN and infinity included, and they flow into the change",
     f"math.isnan({NAN_BIN}.absolute_change_percentage), bin_(prod=(15, inf)).absolute_change_percentage",
     (True, inf)),
    ("a NaN change sorts in no useful order", f"{NAN_BIN} < bin_(), bin_() < {NAN_BIN}, {NAN_BIN} == bin_()",
     (False, False, False)),
    ("give the same change (up to float rounding) but never reach the insight thresholds",
     "round(bin_((10, 0.2), (15, 0.3)).absolute_change_percentage, 9), bin_((99, 0.2), (99, 0.3)).eligible_for_insights",
     (0.5, False)),
    ("`Decimal` bounds are kept as they are", "C(Decimal('1.005'), 2).field", "1.005-2"),
    ("`json.dumps` refuses them in `to_dict()`", "json.dumps(bin_(bounds=(Decimal('1.5'), 2)).to_dict())", TypeError),
    ("until then `to_dict()` and `eligible_for_insights` raise `IndexError`", "bin_(prod=None).to_dict()", IndexError),
    ("until then `to_dict()` and `eligible_for_insights` raise `IndexError`",
     "bin_(base=None).eligible_for_insights", IndexError),
    ("`has_increased_in_production()` raises `StopIteration`", "bin_(prod=None).has_increased_in_production()",
     StopIteration),
    ("growth, eligibility and `to_dict()` use the first one",
     "(lambda i: (i.has_increased_in_production(), i.eligible_for_insights, i.to_dict()['production_percentage']))"
     "(bin_((10, 20.0), (15, 30.0), (1, 1.0)))", (True, True, 30.0)),
    ("the change reads -1 unless it was read before the second came",
     "bin_((10, 20.0), (15, 30.0), (1, 1.0)).absolute_change_percentage", -1),
    ("ignores the stored `absolute_change_percentage`",
     "C.from_dict({**bin_().to_dict(), 'absolute_change_percentage': 7.0}).absolute_change_percentage", 0.5),
    ("fails first, with a `ValueError` that names what is missing", CONTINUOUS.replace(', "apikey": "k"', ""),
     ValueError("apikey is missing")),
    ("`ModuleNotFoundError: No module named 'plenx_auvrix_ai'`", CONTINUOUS,
     ModuleNotFoundError("No module named 'plenx_auvrix_ai'")),
    ("an interval pickled by the fast build loads in the stable-ABI build",
     "pickle.loads(FAST_BUILD_PICKLE).to_dict()['absolute_change_percentage']", 0.5),
]


@pytest.mark.parametrize("claim, expression, expected", CLAIMS, ids=[row[1][:60] for row in CLAIMS])
def test_the_docs_state_what_the_code_does(claim, expression, expected):
    assert claim in USER_DOCS, "the sentence changed: change its row as well"
    if isinstance(expected, BaseException) or isinstance(expected, type) and issubclass(expected, BaseException):
        kind, text = (type(expected), str(expected)) if isinstance(expected, BaseException) else (expected, "")
        with pytest.raises(kind, match=re.escape(text) if text else None):
            eval(expression, globals())
    else:
        assert eval(expression, globals()) == expected


def example(text):
    """The first Python block of `text` that is followed by what it prints, and that output."""
    return re.search(r"```python\n(.*?)```\s*\nprints[^\n]*\n\s*```\n(.*?)```", text, re.DOTALL).groups()


def test_the_readme_example_prints_what_the_readme_shows(capsys):
    code, shown = example(README.split("\n## Use\n", 1)[1])
    exec(compile(code, "README.md", "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out == shown


def test_the_provider_example_prints_what_it_shows(capsys, monkeypatch):
    pauses = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    code, shown = example((ROOT / "docs" / "provider.md").read_text())
    try:
        exec(compile(code, "provider.md", "exec"), {"__name__": "provider_example"})
    finally:
        for name in [name for name in sys.modules if name.split(".")[0] == "plenx_auvrix_ai"]:
            del sys.modules[name]
    assert capsys.readouterr().out == shown and pauses == [2, 2, 2]


def test_the_scale_out_example_prints_what_it_shows(tmp_path):
    pytest.importorskip("distributed")
    code, shown = example((ROOT / "docs" / "scale-out.md").read_text())
    (tmp_path / "scale_out.py").write_text(code)
    env = {**os.environ, "PYTHONPATH": str(ROOT / "examples" / "offline_client")}
    run = subprocess.run([sys.executable, "-P", "scale_out.py"], cwd=tmp_path, env=env, capture_output=True,
                         text=True, timeout=180)
    assert (run.returncode, run.stdout) == (0, shown), run.stderr[-2000:]


def test_python_m_pytest_from_the_root_tests_the_installed_package():
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "tests/test_docs.py", "-k", "readme_example"],
                         cwd=ROOT, capture_output=True, text=True, timeout=180)
    assert run.returncode == 0, run.stdout[-2000:]


def test_the_wheels_need_no_newer_glibc_than_the_readme_names():
    if shutil.which("objdump") is None:
        pytest.skip("needs objdump")
    needed = re.search(r"glibc (\d+)\.(\d+) or newer \(platform tag `manylinux_\1_\2_x86_64`\)", " ".join(README.split()))
    for module in Path(plenx_metrics_plugin.__file__).parent.rglob("*.so"):
        symbols = subprocess.run(["objdump", "-T", str(module)], capture_output=True, text=True, check=True).stdout
        versions = {tuple(map(int, v)) for v in re.findall(r"GLIBC_(\d+)\.(\d+)", symbols)}
        assert max(versions) <= tuple(map(int, needed.groups())), module


def test_the_readme_lists_what_the_tests_install_and_works_on_an_index_page():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    tests_line = " ".join(README.split("`scripts/test.sh` installs", 1)[1].split())
    assert all(name.split(">")[0] in tests_line for name in project["optional-dependencies"]["test"])
    # A package index shows the README on its own: a relative link or a heading anchor would break there.
    assert re.findall(r"\]\((?!https://)[^)]*\)", README) == []
    assert all((ROOT / name).is_file() for name in re.findall(r"`(docs/[\w.-]+\.md)`", README))


def test_the_version_is_written_once():
    try:
        importlib.metadata.version("plenx_metrics_plugin")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("run against a development build of the tree, which has no package metadata")
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert plenx_metrics_plugin.__version__ == importlib.metadata.version("plenx_metrics_plugin") == declared
    # Each released version has its date; while changes are listed as unreleased, the version has moved on.
    headings = re.findall(r"\n## (\S+) \((.*?)\)\n", (ROOT / "CHANGELOG.md").read_text())
    (top, when), *released = headings
    assert all(re.fullmatch(r"\d{4}-\d\d-\d\d", date) for _, date in released)
    assert Version(declared).base_version == top and Version(top) > Version(released[0][0])
    assert when == "unreleased" if Version(declared).is_devrelease else re.fullmatch(r"\d{4}-\d\d-\d\d", when)
    # No command in the README needs editing at a release.
    assert declared not in README and top not in README
