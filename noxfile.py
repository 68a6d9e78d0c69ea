"""The test matrix: each verified interpreter, the oldest with every shortcut turned off, and the
stable-ABI build on 3.12 and 3.13.

    nox                 # all sessions (what the test script runs)
    nox -s tests-3.12   # one of them

Each session installs the package (built for its interpreter) with its test extras into its own
virtual environment, runs the test suite from outside the source tree, then stubtest.
"""
import os
import shutil
import tempfile
import tomllib
from pathlib import Path

import nox

nox.options.default_venv_backend = "venv"
nox.options.reuse_existing_virtualenvs = True
# CI must run them all; on a machine without one of them, that session is skipped.
nox.options.error_on_missing_interpreters = bool(os.environ.get("CI"))

# The interpreters the fast build is verified on: the one list, in pyproject.toml.
with open(Path(__file__).parent / "pyproject.toml", "rb") as file:
    PYPROJECT = tomllib.load(file)
PYTHONS = PYPROJECT["tool"]["plenx"]["verified-python"]
# numpy's lower bound, the version the tests session of the oldest interpreter runs against.
(NUMPY_OLDEST,) = [dep.split(">=")[1] for dep in PYPROJECT["project"]["dependencies"] if dep.startswith("numpy>=")]
# One stable-ABI wheel, built on the first and tested on each (every newer CPython installs it).
STABLE_ABI_PYTHONS = ["3.12", "3.13"]
STUBBED = [
    "plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval",
    "plenx_metrics_plugin.metrics.llm.common.model_providers.plenx_auvrix_ai_provider",
    "plenx_metrics_plugin.common.utils.python_utils",
    "plenx_metrics_plugin.metrics.drift_v2.utils.constants",
    "plenx_metrics_plugin.metrics.drift_v2.utils.control_box",
    "plenx_metrics_plugin.metrics.llm.utils.constants",
]


def suite(session, shortcuts, package=".", python="python", extra=()):
    """Installs `package` with its test extras (and `extra`) into `python`'s environment and tests it there."""
    session.run(python, "-m", "pip", "install", "--quiet", f"{package}[test]", *extra, external=True)
    if package.endswith(".whl"):  # pip keeps an installed wheel of the same version: this very file replaces it
        session.run(python, "-m", "pip", "install", "--quiet", "--force-reinstall", "--no-deps", package, external=True)
    env = {"PLENX_GLUE_SHORTCUTS": shortcuts}
    tests = os.path.join(os.getcwd(), "tests")
    # -P keeps the source tree off sys.path, so the installed package is what is tested.
    session.run(python, "-P", "-m", "pytest", "-q", tests, *session.posargs, env=env, external=True)
    # mypy reads the installed package too (and leaves its cache there) from an empty folder.
    with tempfile.TemporaryDirectory() as away, session.chdir(away):
        session.run(python, "-P", "-m", "mypy.stubtest", *STUBBED, env=env, external=True)


@nox.session(python=PYTHONS)
def tests(session):
    """The whole suite and stubtest, with the shortcuts on: on the oldest interpreter against the
    oldest numpy supported, on the newest with distributed (the Dask cluster example runs there)."""
    extra = {PYTHONS[0]: [f"numpy=={NUMPY_OLDEST}"], PYTHONS[-1]: ["distributed"]}.get(session.python, [])
    suite(session, "1", extra=extra)


@nox.session(python=PYTHONS[0])
def tests_plain(session):
    """The same on the oldest with every shortcut off: only the public C API runs."""
    suite(session, "0")


@nox.session(python=STABLE_ABI_PYTHONS[0])
def tests_stable_abi(session):
    """One stable-ABI (abi3) wheel, built once, then installed and tested on each of STABLE_ABI_PYTHONS."""
    # Outside the tree, and not session.create_tmp(): that would move the tests' TMPDIR into the tree.
    with tempfile.TemporaryDirectory(prefix="plenx-abi3-") as work:
        wheels = Path(work) / "wheels"
        session.run("python", "-m", "pip", "wheel", "--quiet", "--no-deps", "--wheel-dir", str(wheels), ".",
                    env={"PLENX_STABLE_ABI": "1"})
        (wheel,) = wheels.glob("*-cp312-abi3-*.whl")
        session.install("abi3audit")
        session.run("abi3audit", "--strict", "--verbose", str(wheel))
        suite(session, "1", str(wheel))
        for version in STABLE_ABI_PYTHONS[1:]:
            interpreter = shutil.which(f"python{version}")
            if interpreter is None:
                if nox.options.error_on_missing_interpreters:
                    session.error(f"python{version} not found")
                session.warn(f"python{version} not found: the abi3 wheel is not tested on it")
                continue
            venv = Path(work) / f"venv-{version}"
            session.run(interpreter, "-m", "venv", str(venv), external=True)
            suite(session, "1", str(wheel), str(venv / "bin" / "python"))
