#!/usr/bin/env bash
# Installs the package (extension modules built from source) into .venv and runs every test.
# PYTHON=/path/to/python picks the interpreter (default: python3); it must be a CPython the
# package supports (requires-python in pyproject.toml).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/_env.sh
plenx_python
plenx_venv .venv
"$VPY" -m pip install --quiet --disable-pip-version-check ".[test]"
# -P keeps the source tree off sys.path, so the tests import the installed package.
"$VPY" -P -m pytest -q tests "$@"
plenx_stubtest "$VPY"
