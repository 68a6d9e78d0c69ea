#!/usr/bin/env bash
# Installs the package (extension modules built from source) into .venv and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check ".[test]"
# -P keeps the source tree off sys.path, so the tests import the installed package.
.venv/bin/python -P -m pytest -q tests "$@"
# The stubs must describe the compiled modules as installed. Run from an empty directory, so that
# mypy too reads the installed package (and leaves its cache there, not in the tree).
python="$PWD/.venv/bin/python"
away="$(mktemp -d)"
trap 'rm -rf "$away"' EXIT
cd "$away"
"$python" -P -m mypy.stubtest plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval \
    plenx_metrics_plugin.metrics.llm.common.model_providers.plenx_auvrix_ai_provider \
    plenx_metrics_plugin.common.utils.python_utils plenx_metrics_plugin.metrics.drift_v2.utils.constants \
    plenx_metrics_plugin.metrics.drift_v2.utils.control_box plenx_metrics_plugin.metrics.llm.utils.constants
