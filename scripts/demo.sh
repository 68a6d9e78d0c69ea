#!/usr/bin/env bash
# Installs the package (extension modules built from source) into .venv and runs the demos.
# PYTHON=/path/to/python picks the interpreter (default: python3); it must be a CPython the
# package supports (requires-python in pyproject.toml).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/_env.sh
plenx_python
plenx_venv .venv
# Skips the install when .venv already holds the build of these very sources.
plenx_install_current .venv
# -P keeps the source tree off sys.path, so the demos import the installed package.
"$VPY" -P examples/drift_demo.py
if [ -f examples/provider_demo.py ]; then
    "$VPY" -P examples/provider_demo.py
fi
