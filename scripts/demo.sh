#!/usr/bin/env bash
# Installs the package (extension modules built from source) into .venv and runs the demos.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check .
# -P keeps the source tree off sys.path, so the demos import the installed package.
.venv/bin/python -P examples/drift_demo.py
if [ -f examples/provider_demo.py ]; then
    .venv/bin/python -P examples/provider_demo.py
fi
