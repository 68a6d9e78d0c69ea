"""The source distribution holds the sources, whatever builds and environments lie in the tree."""
import importlib.util
import shutil
import tarfile
from pathlib import Path

import pytest

build = pytest.importorskip("scikit_build_core.build")

ROOT = Path(__file__).resolve().parents[1]
CHECK = ROOT / "scripts" / "check_sdist.py"

# What local builds and environments leave in a working tree.
LEFTOVERS = [
    "build/cp311-cp311-linux_x86_64/CMakeFiles/plenx_glue.dir/glue/src/names.cpp.o",
    "build/asan/CMakeCache.txt",
    "plenx_metrics_plugin/metrics/drift_v2/entity/statistics/interval.cpython-311-x86_64-linux-gnu.so",
    ".venv311/bin/python",
    ".venv-asan/pyvenv.cfg",
    "dist/plenx_metrics_plugin-0.1.0-cp311-cp311-linux_x86_64.whl",
]


@pytest.fixture(scope="module")
def check():
    spec = importlib.util.spec_from_file_location("check_sdist", CHECK)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_sdist_of_a_used_tree_holds_only_the_sources(check, tmp_path, monkeypatch):
    tree = tmp_path / "tree"
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(".git", "build", "dist", ".venv*", ".nox", "__pycache__"))
    for name in LEFTOVERS:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_bytes(b"\x7fELF")
    monkeypatch.chdir(tree)
    sdist = tmp_path / build.build_sdist(str(tmp_path))
    assert check.problems(sdist, tree) == []
    assert not {Path(name) for name in LEFTOVERS} & {Path(name) for name in check.members(sdist)}


def test_the_check_reports_leftovers_and_missing_sources(check, tmp_path):
    sdist = tmp_path / "p-0.1.0.tar.gz"
    with tarfile.open(sdist, "w:gz") as archive:
        for name in ["pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO", LEFTOVERS[0]]:
            archive.add(ROOT / "pyproject.toml", arcname=f"p-0.1.0/{name}")
    found = check.problems(sdist, ROOT)
    assert found[0] == f"built or local file: {LEFTOVERS[0]}"
    assert "missing: glue/src/names.cpp" in found
    assert "missing: plenx_metrics_plugin/py.typed" in found
