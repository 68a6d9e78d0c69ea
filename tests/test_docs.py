"""What the README promises a user: its example prints what it shows, and the version is the one
written in pyproject.toml, read back from the installed metadata."""
import importlib.metadata
import re
import tomllib
from pathlib import Path

import pytest

import plenx_metrics_plugin

ROOT = Path(__file__).resolve().parents[1]


def test_the_readme_example_prints_what_the_readme_shows(capsys):
    usage = (ROOT / "README.md").read_text().split("\n## Use\n", 1)[1]
    code, shown = re.match(r"\s*```python\n(.*?)```\s*\nprints\s*\n\s*```\n(.*?)```", usage, re.DOTALL).groups()
    exec(compile(code, "README.md", "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out == shown


def test_the_version_is_written_once():
    try:
        importlib.metadata.version("plenx_metrics_plugin")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("run against a development build of the tree, which has no package metadata")
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert plenx_metrics_plugin.__version__ == importlib.metadata.version("plenx_metrics_plugin") == declared
    assert f"\n## {declared}" in (ROOT / "CHANGELOG.md").read_text()
    # No command in the README needs editing at a release.
    assert declared not in (ROOT / "README.md").read_text()
