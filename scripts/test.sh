#!/usr/bin/env bash
# Installs the package (extension modules built from source) into .venv and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check ".[test]"
# -P keeps the source tree off sys.path, so the tests import the installed package.
exec .venv/bin/python -P -m pytest -q tests "$@"
