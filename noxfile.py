"""The test matrix: each supported interpreter, and 3.11 with every shortcut turned off.

    nox                 # all sessions (what the test script runs)
    nox -s tests-3.12   # one of them

Each session installs the package (built for its interpreter) with its test extras into its own
virtual environment, runs the test suite from outside the source tree, then stubtest.
"""
import os
import tempfile

import nox

nox.options.default_venv_backend = "venv"
nox.options.reuse_existing_virtualenvs = True
# CI must run them all; on a machine without one of them, that session is skipped.
nox.options.error_on_missing_interpreters = bool(os.environ.get("CI"))

PYTHONS = ["3.11", "3.12", "3.13"]
STUBBED = [
    "plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval",
    "plenx_metrics_plugin.metrics.llm.common.model_providers.plenx_auvrix_ai_provider",
    "plenx_metrics_plugin.common.utils.python_utils",
    "plenx_metrics_plugin.metrics.drift_v2.utils.constants",
    "plenx_metrics_plugin.metrics.drift_v2.utils.control_box",
    "plenx_metrics_plugin.metrics.llm.utils.constants",
]


def suite(session, shortcuts):
    session.install(".[test]")
    env = {"PLENX_GLUE_SHORTCUTS": shortcuts}
    tests = os.path.join(os.getcwd(), "tests")
    # -P keeps the source tree off sys.path, so the installed package is what is tested.
    session.run("python", "-P", "-m", "pytest", "-q", tests, *session.posargs, env=env)
    # mypy reads the installed package too (and leaves its cache there) from an empty folder.
    with tempfile.TemporaryDirectory() as away, session.chdir(away):
        session.run("python", "-P", "-m", "mypy.stubtest", *STUBBED, env=env)


@nox.session(python=PYTHONS)
def tests(session):
    """The whole suite and stubtest, with the shortcuts on."""
    suite(session, "1")


@nox.session(python="3.11")
def tests_plain(session):
    """The same on 3.11 with every shortcut off: only the public C API runs."""
    suite(session, "0")
