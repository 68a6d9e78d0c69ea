"""The first steps of scripts/demo.sh, test.sh and sanitize.sh (scripts/_env.sh): the interpreter
is checked against requires-python before anything is built, and a stale .venv is rebuilt. And a
short run of the lifecycle benchmark."""
import os
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
ENV_SH = ROOT / "scripts" / "_env.sh"

pytestmark = pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")


def source_env(script, cwd, env_sh="scripts/_env.sh", **env):
    """Runs `script` in bash, in `cwd`, after sourcing `env_sh` (by default the copy in `cwd`)."""
    return subprocess.run(["bash", "-c", f"set -euo pipefail; source '{env_sh}'; {script}"], cwd=cwd,
                          env={**os.environ, **env}, capture_output=True, text=True, timeout=300)


def fake_python(path, output):
    """An executable that answers every question with `output`."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!/bin/sh\necho '{output}'\n")
    path.chmod(0o755)
    return path


@pytest.fixture
def project(tmp_path):
    """A project folder with the real _env.sh; write() sets its requires-python."""
    (tmp_path / "scripts").mkdir()
    shutil.copy(ENV_SH, tmp_path / "scripts")

    def write(requires):
        (tmp_path / "pyproject.toml").write_text(f'[project]\nname = "p"\nrequires-python = "{requires}"\n')
        return tmp_path

    return write


@pytest.mark.parametrize("requires, found, message", [
    (">=3.11,<3.12", "CPython 3.10.13", "needs CPython 3.11; found CPython 3.10.13 ({exe}); "
                                        "set PYTHON to a CPython 3.11 interpreter"),
    (">=3.11,<3.12", "CPython 3.12.1", "needs CPython 3.11; found CPython 3.12.1"),
    (">=3.11, <3.14", "CPython 3.14.0", "needs CPython 3.11 to 3.13; found CPython 3.14.0"),
    (">=3.11,<3.14", "PyPy 3.11.13", "needs CPython 3.11 to 3.13; found PyPy 3.11.13"),
    (">=3.11", "CPython 3.10.13", "needs CPython 3.11 or newer; found CPython 3.10.13"),
    (">=3.11.4,<3.12", "CPython 3.11.2", "needs CPython 3.11.4 or a later 3.11; found CPython 3.11.2"),
    ("~=3.11", "CPython 2.7.18", "needs CPython 3.11 or newer; found CPython 2.7.18"),
])
def test_an_unsupported_interpreter_is_refused_in_one_line(project, tmp_path, requires, found, message):
    exe = fake_python(tmp_path / "bin" / "python", f"{found} /opt/python/bin/python")
    done = source_env("plenx_python; echo chose $PY", project(requires), PYTHON=str(exe))
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.count("\n") == 1
    assert done.stderr.startswith("bash: " + message.format(exe="/opt/python/bin/python"))


@pytest.mark.parametrize("requires, found", [
    (">=3.11,<3.12", "CPython 3.11.0"),
    (">=3.11,<3.14", "CPython 3.13.0"),
    ("==3.11.*", "CPython 3.11.7"),
    (">=3.10,!=3.11.*,<3.13", "CPython 3.12.1"),
])
def test_a_supported_interpreter_is_taken(project, tmp_path, requires, found):
    exe = fake_python(tmp_path / "bin" / "python", f"{found} /opt/python with space/bin/python")
    done = source_env("plenx_python; echo chose $PY", project(requires), PYTHON=str(exe))
    assert (done.returncode, done.stdout, done.stderr) == (0, "chose /opt/python with space/bin/python\n", "")


def test_a_missing_interpreter_is_named(project, tmp_path):
    done = source_env("plenx_python", project(">=3.11"), PYTHON=str(tmp_path / "nowhere" / "python"))
    assert done.returncode == 1
    assert done.stderr == (f"bash: needs CPython 3.11 or newer; cannot run PYTHON={tmp_path}/nowhere/python; "
                           "set PYTHON to a CPython 3.11 or newer interpreter\n")


@pytest.mark.parametrize("stale, reason", [
    ("made by another interpreter", "it was made by CPython 3.10.13 (/opt/python3.10), not CPython"),
    ("its python is gone", "its python does not run"),
])
def test_a_stale_environment_is_rebuilt_then_reused(tmp_path, stale, reason):
    venv = tmp_path / ".venv"
    (venv / "bin").mkdir(parents=True)
    (venv / "pyvenv.cfg").write_text("home = /opt/python3.10/bin\n")
    if stale == "made by another interpreter":
        fake_python(venv / "bin" / "python", "CPython 3.10.13|/opt/python3.10")
    else:
        (venv / "bin" / "python").symlink_to(tmp_path / "removed" / "python3")

    first = source_env("plenx_venv .venv; echo $VPY", tmp_path, ENV_SH, PY=sys.executable)
    assert first.returncode == 0, first.stderr
    assert first.stderr.startswith(f"bash: rebuilding .venv: {reason}")
    assert first.stdout == f"{venv}/bin/python\n"
    prefix = subprocess.run([str(venv / "bin" / "python"), "-c", "import sys; print(sys.base_prefix)"],
                            capture_output=True, text=True, check=True).stdout.strip()
    assert os.path.realpath(prefix) == os.path.realpath(sys.base_prefix)

    (venv / "kept").touch()
    again = source_env("plenx_venv .venv", tmp_path, ENV_SH, PY=sys.executable)
    assert (again.returncode, again.stderr) == (0, "")
    assert (venv / "kept").exists()


def test_a_folder_that_is_no_environment_is_left_alone(tmp_path):
    (tmp_path / ".venv").mkdir()
    (tmp_path / ".venv" / "notes.txt").write_text("mine")
    done = source_env("plenx_venv .venv", tmp_path, ENV_SH, PY=sys.executable)
    assert done.returncode == 1
    assert done.stderr == "bash: .venv is not a virtual environment; move it away and run again\n"
    assert (tmp_path / ".venv" / "notes.txt").read_text() == "mine"


def test_the_demo_reinstalls_exactly_when_the_build_would_differ(project, tmp_path):
    root = project(">=3.11")
    for name in ["CMakeLists.txt", "README.md", "glue/src/a.cpp", "plenx_metrics_plugin/__init__.py", "examples/demo.py"]:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text("one\n")
    # Stands in for pip: each install logs a line and rewrites the package's install record.
    record = root / ".venv/lib/python3.11/site-packages/plenx_metrics_plugin-1.0.dist-info/RECORD"
    (root / ".venv").mkdir()
    pip = fake_python(tmp_path / "pip", "unused")
    pip.write_text(f"#!/bin/sh\necho \"$*\" >> '{tmp_path}/installs'\nmkdir -p '{record.parent}'\n"
                   f"date +%s%N > '{record}'\n")

    def demo(**env):
        done = source_env("plenx_install_current .venv", root, VPY=str(pip), **env)
        assert done.returncode == 0, done.stderr
        installs = (tmp_path / "installs").read_text().count("\n")
        return installs, done.stderr

    assert demo() == (1, "")
    assert demo() == (1, "bash: .venv has the build of these sources; not reinstalling\n")
    # What does not go into the build changes nothing: examples, caches, the runtime switch.
    (root / "examples/demo.py").write_text("two\n")
    (root / "plenx_metrics_plugin/__pycache__").mkdir()
    (root / "plenx_metrics_plugin/__pycache__/x.pyc").write_text("cache")
    assert demo(PLENX_GLUE_SHORTCUTS="0")[0] == 1
    # A source, a build setting, or another build installed meanwhile: installed again, once.
    (root / "glue/src/a.cpp").write_text("two\n")
    assert [demo()[0], demo()[0]] == [2, 2]
    assert [demo(PLENX_STABLE_ABI="1")[0], demo(PLENX_STABLE_ABI="1")[0]] == [3, 3]
    record.write_text("another build\n")
    assert [demo(PLENX_STABLE_ABI="1")[0], demo(PLENX_STABLE_ABI="1")[0]] == [4, 4]


def test_the_verified_interpreters_are_one_list_that_the_abi3_override_follows():
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text())
    verified = pyproject["tool"]["plenx"]["verified-python"]
    assert pyproject["project"]["requires-python"] == f">={verified[0]}"
    done = source_env("plenx_verified_pythons", ROOT, env_sh=str(ENV_SH))
    assert done.returncode == 0 and done.stdout.split() == verified, done.stderr
    # A CPython newer than the last verified one builds the cp312-abi3 wheel, as PLENX_STABLE_ABI=1 does.
    newer, switch = ([o for o in pyproject["tool"]["scikit-build"]["overrides"] if key in o["if"]]
                     for key in ("python-version", "env"))
    assert newer[0]["if"]["python-version"] == f">{verified[-1]}"
    assert newer[0]["wheel"] == switch[0]["wheel"] == {"py-api": "cp312"}
    assert newer[0]["cmake"] == switch[0]["cmake"] == {"define": {"PLENX_STABLE_ABI": "ON"}}


def test_a_short_benchmark_run_prints_both_tables_and_skips_mypyc_without_mypy():
    # mypyc hidden: importlib.util.find_spec answers None for a name set to None in sys.modules.
    hide = "import runpy, sys; sys.modules['mypyc'] = None; del sys.argv[0]; runpy.run_path(sys.argv[0], run_name='__main__')"
    done = subprocess.run([sys.executable, "-P", "-c", hide, str(ROOT / "benchmarks" / "lifecycle.py"),
                           "-n", "40", "--rounds", "1", "--with-mypyc"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "mypyc is not installed (pip install mypy)" in done.stderr and "warning" not in done.stderr
    on, off = done.stdout.split("collector on, as users run it (the headline)\n")[1].split("\ncollector off\n")
    assert "mypyc skipped" in done.stdout and " B1: tests/interval_model.py (plain Python)" in done.stdout
    assert "B2" not in done.stdout
    assert [line.split(" ns")[0] for line in on.splitlines() if " ns " in line] == [
        "build", "measures", "sort", "to_dict", "from_dict", "total", "in collector", "outside it"]
    assert "from_dict ns" in off and "in collector" not in off
